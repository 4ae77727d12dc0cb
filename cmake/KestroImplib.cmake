# Writes Kestro.lib, the import library of Kestro.dll, in two parts (run at build time
# by the Windows DLL target):
#   - the C exports from CDEF ("Name@N"), with dlltool --kill-at: a host declaring them
#     __stdcall refers to _Name@N, which must import the plain name Name;
#   - the class members, virtual tables and statics from MDEF under their Microsoft
#     names, without --kill-at, which would cut "?thread@CCtlProtocol@@2HA" at "@2".
# The member objects join the first archive between its head and tail objects (the
# linker orders an import's sections by the names of these objects), so both parts make
# one import descriptor for Kestro.dll.
#
#   cmake -DDLLTOOL=... -DAR=... -DCDEF=... -DMDEF=... -DOUT=<Kestro.lib> -DWORK=<dir> -P KestroImplib.cmake
cmake_minimum_required(VERSION 3.20)

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}/members")
get_filename_component(name "${OUT}" NAME)

function(run)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY "${WORK}" RESULT_VARIABLE status ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${ARGN} failed: ${err}")
  endif()
endfunction()

# Same output name in the same directory, so that both parts name the same head symbol.
run("${DLLTOOL}" --input-def "${MDEF}" --dllname Kestro.dll --output-lib "${name}" --temp-prefix Kestrosm)
file(RENAME "${WORK}/${name}" "${WORK}/members/members.lib")
run("${DLLTOOL}" --kill-at --input-def "${CDEF}" --dllname Kestro.dll --output-lib "${name}" --temp-prefix Kestro)
execute_process(COMMAND "${AR}" t members.lib WORKING_DIRECTORY "${WORK}/members" OUTPUT_VARIABLE list
                RESULT_VARIABLE status)
string(REGEX MATCHALL "Kestrosms[0-9]+\\.o" objects "${list}")
if(objects)
  execute_process(COMMAND "${AR}" x members.lib ${objects} WORKING_DIRECTORY "${WORK}/members" RESULT_VARIABLE status)
  list(TRANSFORM objects PREPEND "members/")
  run("${AR}" q "${name}" ${objects})
  run("${AR}" s "${name}")
endif()
file(COPY_FILE "${WORK}/${name}" "${OUT}")
