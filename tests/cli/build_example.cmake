# Configures and builds the C example host against a Kestro build tree, as a user would:
# cmake -P build_example.cmake -DSOURCE=... -DBUILD=... -DKESTRO_DIR=<build>/src
file(REMOVE_RECURSE "${BUILD}")
execute_process(COMMAND "${CMAKE_COMMAND}" -S "${SOURCE}" -B "${BUILD}" "-DKestro_DIR=${KESTRO_DIR}"
                RESULT_VARIABLE configured)
if(NOT configured EQUAL 0)
  message(FATAL_ERROR "configuring the example failed")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" --build "${BUILD}" RESULT_VARIABLE built)
if(NOT built EQUAL 0)
  message(FATAL_ERROR "building the example failed")
endif()
