# Runs kestro_generate_exports() on one table in script mode, for the generator tests.
#
#   cmake -DTABLE=<table.tsv> -DOUT=<dir> [-DEXPECTED=<dir>] -P run_generator.cmake
#       The outputs must equal <EXPECTED>/<table name>{.h,.def,.txt,.map,_host_forms.cpp} when given.
#   cmake -DTABLE=<table.tsv> -DOUT=<dir> -DEXPECT_ERROR=<regex> -P run_generator.cmake
#       The generator must refuse the table with a message matching <regex>.
cmake_minimum_required(VERSION 3.20)

if(DEFINED EXPECT_ERROR)
  execute_process(
    COMMAND "${CMAKE_COMMAND}" "-DTABLE=${TABLE}" "-DOUT=${OUT}" -P "${CMAKE_CURRENT_LIST_FILE}"
    OUTPUT_VARIABLE out
    ERROR_VARIABLE err
    RESULT_VARIABLE status)
  # CMake wraps long messages; compare against the text with its line breaks undone.
  string(REGEX REPLACE "[ \n]+" " " flat "${err}")
  if(status EQUAL 0)
    message(FATAL_ERROR "the generator accepted ${TABLE}, which it must refuse")
  elseif(NOT flat MATCHES "${EXPECT_ERROR}")
    message(FATAL_ERROR "the generator refused ${TABLE} with an unexpected message:\n${err}")
  endif()
  message(STATUS "refused as expected: ${EXPECT_ERROR}")
  return()
endif()

include("${CMAKE_CURRENT_LIST_DIR}/../../cmake/KestroExports.cmake")

get_filename_component(stem "${TABLE}" NAME_WE)
file(MAKE_DIRECTORY "${OUT}")
kestro_generate_exports(
  TABLE "${TABLE}"
  HEADER "${OUT}/${stem}.h"
  DEF "${OUT}/${stem}.def"
  SYMBOLS "${OUT}/${stem}.txt"
  VERSION_SCRIPT "${OUT}/${stem}.map"
  EXTRA_SYMBOLS KestroCreateMessageWindow KestroGetMessage KestroDestroyMessageWindow
  HOST_FORMS "${OUT}/${stem}_host_forms.cpp")

if(DEFINED EXPECTED)
  foreach(ext h def txt map _host_forms.cpp)
    if(ext STREQUAL "_host_forms.cpp")
      set(ext "_host_forms.cpp")
    else()
      set(ext ".${ext}")
    endif()
    file(READ "${EXPECTED}/${stem}${ext}" want)
    file(READ "${OUT}/${stem}${ext}" got)
    if(NOT got STREQUAL want)
      message(FATAL_ERROR "${OUT}/${stem}${ext} differs from ${EXPECTED}/${stem}${ext}:\n${got}")
    endif()
  endforeach()
endif()
message(STATUS "generated from ${TABLE}")
