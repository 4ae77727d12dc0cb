# Checks that libkestro.so exports exactly the implemented C functions of the export
# table plus the Linux message-window helpers, and no other function.
#
#   cmake -DNM=<nm> -DLIBRARY=<libkestro.so> -DSYMBOLS=<implemented names .txt>
#         -DEXTRA=<name>,<name>,... -P check_linux_exports.cmake
cmake_minimum_required(VERSION 3.20)

foreach(var NM LIBRARY SYMBOLS)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "check_linux_exports: -D${var}=... is required")
  endif()
endforeach()

file(STRINGS "${SYMBOLS}" expected)
if(DEFINED EXTRA AND NOT EXTRA STREQUAL "")
  string(REPLACE "," ";" extra "${EXTRA}")
  list(APPEND expected ${extra})
endif()
list(REMOVE_DUPLICATES expected)
list(SORT expected)

execute_process(
  COMMAND "${NM}" -D --defined-only "${LIBRARY}"
  OUTPUT_VARIABLE listing
  ERROR_VARIABLE errors
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} -D --defined-only ${LIBRARY} failed (${status}): ${errors}")
endif()

# Lines look like "0000000000012340 T IO_RadKVValue". Function symbols are text (T),
# weak (W, which is how stray C++ template instances show up) and indirect (i).
string(REPLACE "\n" ";" lines "${listing}")
set(exported "")
foreach(line IN LISTS lines)
  if(line MATCHES "^[0-9a-fA-F]* ([TWi]) (.+)$")
    set(symbol "${CMAKE_MATCH_2}")
    if(NOT symbol MATCHES "^_(init|fini)$")
      list(APPEND exported "${symbol}")
    endif()
  endif()
endforeach()
list(REMOVE_DUPLICATES exported)
list(SORT exported)

set(missing ${expected})
list(REMOVE_ITEM missing ${exported} "")
set(unexpected ${exported})
list(REMOVE_ITEM unexpected ${expected} "")

list(LENGTH expected nExpected)
list(LENGTH exported nExported)
message(STATUS "${LIBRARY}: ${nExported} exported functions, ${nExpected} expected")
if(missing OR unexpected)
  string(REPLACE ";" "\n    " missingText "${missing}")
  string(REPLACE ";" "\n    " unexpectedText "${unexpected}")
  message(FATAL_ERROR
    "The exported functions of ${LIBRARY} differ from the export table.\n"
    "  Implemented in the table (or message-window helpers) but not exported:\n    ${missingText}\n"
    "  Exported but not implemented in the table:\n    ${unexpectedText}\n")
endif()
message(STATUS "Exports match the table")
