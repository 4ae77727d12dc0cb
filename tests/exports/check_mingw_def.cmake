# Links a 32-bit Windows DLL from stub definitions of every C export of the table and
# the .def file the generator writes for it, then reads the DLL's export directory back.
# The link succeeds only if every Name@N of the .def matches how MinGW decorates the
# declared prototype, and the export directory must show each name at its ordinal.
#
#   cmake -DTABLE=<exports.tsv> -DWORK=<dir> -DCC=<i686-w64-mingw32-gcc>
#         -DOBJDUMP=<i686-w64-mingw32-objdump> -P check_mingw_def.cmake
cmake_minimum_required(VERSION 3.20)
include("${CMAKE_CURRENT_LIST_DIR}/../../cmake/KestroExports.cmake")

foreach(var TABLE WORK CC OBJDUMP)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "check_mingw_def: -D${var}=... is required")
  endif()
endforeach()
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

# A copy of the table in which every c row counts as implemented (and nothing else,
# since the stubs cannot provide class members).
file(READ "${TABLE}" text)
string(REGEX REPLACE "(^|\n)[ \t]*#[^\n]*" "\\1" text "${text}")
string(REPLACE "\r" "" text "${text}")
string(REPLACE "\n" ";" lines "${text}")
set(table "")
set(stubs "")
set(expected "")
foreach(line IN LISTS lines)
  if(line MATCHES "^[ \t]*(#|$)")
    continue()
  endif()
  string(REPLACE "\t" ";" cols "${line}")
  list(GET cols 0 ordinal)
  list(GET cols 1 name)
  list(GET cols 2 kind)
  list(GET cols 3 decl)
  if(kind STREQUAL "c")
    string(APPEND table "${ordinal}\t${name}\tc\t${decl}\tyes\n")
    list(APPEND expected "${ordinal} ${name}")
    if(decl MATCHES "^KestroString KESTRO_CALL |KestroStringArg |KestroUIntArray\\*")
      # The framework host form: exported from kestroHost_<name>, the framework's
      # objects in place of the C types, a string result through a hidden pointer.
      string(REPLACE "KestroStringArg " "KestroStringObject " decl "${decl}")
      string(REPLACE "KestroUIntArray*" "KestroUIntArrayObject*" decl "${decl}")
      string(REPLACE " KESTRO_CALL ${name}(" " KESTRO_CALL kestroHost_${name}(" decl "${decl}")
      if(decl MATCHES "^KestroString KESTRO_CALL ")
        string(REGEX REPLACE "^KestroString (KESTRO_CALL [A-Za-z_0-9]+)\\(void\\)$"
               "KestroStringObject* \\1(KestroStringObject* r)" decl "${decl}")
        string(REGEX REPLACE "^KestroString (KESTRO_CALL [A-Za-z_0-9]+)\\("
               "KestroStringObject* \\1(KestroStringObject* r, " decl "${decl}")
        string(APPEND stubs "${decl} { return r; }\n")
      elseif(decl MATCHES "^void KESTRO_CALL ")
        string(APPEND stubs "${decl} {}\n")
      else()
        string(REGEX REPLACE " KESTRO_CALL .*$" "" result "${decl}")
        string(APPEND stubs "${decl} { ${result} r; memset(&r, 0, sizeof r); return r; }\n")
      endif()
    elseif(decl MATCHES "^void KESTRO_CALL ")
      string(APPEND stubs "KESTRO_API ${decl} {}\n")
    else()
      string(REGEX REPLACE " KESTRO_CALL .*$" "" result "${decl}")
      string(APPEND stubs
        "KESTRO_API ${decl} { ${result} r; memset(&r, 0, sizeof r); return r; }\n")
    endif()
  endif()
endforeach()
file(WRITE "${WORK}/all_c.tsv" "${table}")

kestro_generate_exports(TABLE "${WORK}/all_c.tsv" HEADER "${WORK}/kestro_exports.h" DEF "${WORK}/Kestro.def")

# What include/kestro/kestro.h provides on Windows, reduced to what the declarations need.
file(WRITE "${WORK}/stubs.c" [=[
#include <stdint.h>
#include <string.h>
#define KESTRO_API
#define KESTRO_CALL __stdcall
typedef struct HWND__* HWND;
typedef struct KestroString { const char* text; } KestroString;
typedef struct KestroUIntArray { uint32_t* items; int count; int capacity; } KestroUIntArray;
typedef struct KestroStringObject { char* text; } KestroStringObject;
typedef struct KestroUIntArrayObject { const void* vtable; unsigned* data; int size, maxSize, growBy; } KestroUIntArrayObject;
typedef struct _APRDataInfo { int values[10]; } _APRDataInfo;
typedef struct _APRSourceData { int kv; float ma, ms, mas; int rest[6]; } _APRSourceData;
#include "kestro_exports.h"
]=])
file(APPEND "${WORK}/stubs.c" "${stubs}")

execute_process(
  COMMAND "${CC}" -shared -Wall -Wno-unused-parameter -o Kestro.dll stubs.c Kestro.def
  WORKING_DIRECTORY "${WORK}"
  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT err STREQUAL "")
  message(FATAL_ERROR "building the stub DLL failed or warned (${status}):\n${out}${err}")
endif()

execute_process(
  COMMAND "${OBJDUMP}" -p "${WORK}/Kestro.dll"
  OUTPUT_VARIABLE dump ERROR_VARIABLE err RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p failed: ${err}")
endif()
if(NOT dump MATCHES "Ordinal Base ([0-9]+)")
  message(FATAL_ERROR "no export directory in the stub DLL")
endif()
set(base ${CMAKE_MATCH_1})
if(NOT dump MATCHES "\nName[ \t]+[0-9a-fA-F]+ Kestro\\.dll\n")
  message(FATAL_ERROR "the export directory does not name Kestro.dll")
endif()

# The name table lists "[index] name" with ordinal = index + base.
string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n(.*)" names "${dump}")
string(REPLACE "\n" ";" nameLines "${CMAKE_MATCH_1}")
set(actual "")
foreach(line IN LISTS nameLines)
  if(line MATCHES "^[ \t]*\\[ *([0-9]+)\\] (.+)$")
    math(EXPR ordinal "${CMAKE_MATCH_1} + ${base}")
    list(APPEND actual "${ordinal} ${CMAKE_MATCH_2}")
  elseif(actual)
    break()
  endif()
endforeach()
list(SORT expected)
list(SORT actual)
if(NOT actual STREQUAL expected)
  set(missing ${expected})
  list(REMOVE_ITEM missing ${actual})
  set(extra ${actual})
  list(REMOVE_ITEM extra ${expected})
  message(FATAL_ERROR "stub DLL exports differ from the table.\n  missing: ${missing}\n  extra: ${extra}")
endif()
list(LENGTH actual n)
message(STATUS "Kestro.dll stub exports ${n} C functions at their ordinals (ordinal base ${base})")
