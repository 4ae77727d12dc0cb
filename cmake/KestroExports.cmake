# Generates everything that depends on the export table (src/api/exports.tsv):
#
#   kestro_generate_exports(TABLE <exports.tsv>
#                           HEADER <out.h>
#                           DEF <out.def>
#                           [SYMBOLS <out.txt>]
#                           [VERSION_SCRIPT <out.map> [EXTRA_SYMBOLS <name>...]]
#                           [HOST_FORMS <out.cpp>])
#
# HEADER          extern "C" declarations "KESTRO_API <declaration>;" of every
#                 implemented c row; meant to be included by include/kestro/kestro.h
# DEF             module-definition file of the 32-bit Kestro.dll (MinGW ld syntax)
# SYMBOLS         implemented c names, one a line, in ordinal order (Linux export check)
# VERSION_SCRIPT  GNU ld version script that exports exactly the implemented c names
#                 plus EXTRA_SYMBOLS and hides everything else
# HOST_FORMS      C++ source of the Windows host forms: one function per implemented c
#                 row that takes or returns framework objects (KestroStringArg
#                 arguments, a KestroString result, a KestroUIntArray* argument). It
#                 has the framework's binary contract, converts, and calls the plain C
#                 form; the DEF exports it under the row's name. See docs/exports.md.
#
# Runs at configure time and makes the table a configure dependency, so editing the
# table re-runs CMake. A malformed table stops the configure with a message naming the
# line. The function also works in script mode (cmake -P), which the tests use.
#
# The parser here and the one in tests/exports/export_table_test.cpp are deliberately
# separate implementations of the same format; keep them in step.

include_guard(DIRECTORY)
# include() gives this file its own policy scope; the functions keep these settings.
cmake_policy(VERSION 3.20)

# Argument and result types a c declaration may use. Everything is 4 bytes on the
# 32-bit stack except double. Pointers of any type are accepted (4 bytes).
set(_KESTRO_EXPORT_SCALAR_TYPES
  "int" "unsigned int" "unsigned char" "char" "uint32_t" "int32_t" "float" "double" "HWND")
# KestroString: a text returned by value. The plain C form returns a 4-byte struct in
# EAX; the Windows host form returns a framework string object through a hidden result
# pointer (4 more bytes on the stack).
set(_KESTRO_EXPORT_RESULT_TYPES ${_KESTRO_EXPORT_SCALAR_TYPES} "void" "KestroString")
# KestroStringArg: a text passed by value, as "const char*" in the C form and as a
# framework string object (one pointer, released by the callee) in the host form.
set(_KESTRO_EXPORT_STRING_ARG "KestroStringArg")

set(_KESTRO_EXPORT_BLOCKS "1-211" "501-561" "1001-1003" "1005-1016" "1050-1056" "1058-1068")

function(_kestro_exports_fail table lineno msg)
  message(FATAL_ERROR "Export table ${table}, line ${lineno}: ${msg}")
endfunction()

function(_kestro_exports_strip out text)
  string(STRIP "${text}" text)
  string(REGEX REPLACE "[ ]+" " " text "${text}")
  string(REPLACE " *" "*" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Splits a declaration "<result> KESTRO_CALL <name>(<args>)" and works out the number
# of argument bytes on the 32-bit stack (the N of the stdcall decoration Name@N).
function(_kestro_exports_parse_c table lineno name decl out_bytes)
  if(NOT decl MATCHES "^(.+) KESTRO_CALL ([A-Za-z_][A-Za-z0-9_]*)\\((.*)\\)$")
    _kestro_exports_fail("${table}" ${lineno}
      "declaration \"${decl}\" is not of the form \"<result> KESTRO_CALL <name>(<arguments>)\"")
  endif()
  set(result "${CMAKE_MATCH_1}")
  set(declName "${CMAKE_MATCH_2}")
  set(args "${CMAKE_MATCH_3}")
  if(NOT declName STREQUAL name)
    _kestro_exports_fail("${table}" ${lineno}
      "declaration names \"${declName}\" but the row's name is \"${name}\"")
  endif()
  _kestro_exports_strip(result "${result}")
  if(NOT result MATCHES "\\*$")
    string(REGEX REPLACE "^const " "" bare "${result}")
    if(NOT bare IN_LIST _KESTRO_EXPORT_RESULT_TYPES)
      _kestro_exports_fail("${table}" ${lineno}
        "result type \"${result}\" of ${name} is not one the generator knows how the 32-bit ABI returns")
    endif()
  endif()
  _kestro_exports_strip(args "${args}")
  set(bytes 0)
  set(hostArgs "")
  set(callArgs "")
  set(prologue "")
  set(framework FALSE)
  set(arrayArg "")
  if(result STREQUAL "KestroString")
    set(framework TRUE)
  endif()
  if(NOT args STREQUAL "void")
    if(args STREQUAL "")
      _kestro_exports_fail("${table}" ${lineno} "${name}: write (void) for an empty argument list")
    endif()
    string(REPLACE "," ";" argList "${args}")
    foreach(arg IN LISTS argList)
      _kestro_exports_strip(arg "${arg}")
      if(NOT arg MATCHES "^(.*[ *])([A-Za-z_][A-Za-z0-9_]*)$")
        _kestro_exports_fail("${table}" ${lineno} "${name}: argument \"${arg}\" has no name")
      endif()
      _kestro_exports_strip(type "${CMAKE_MATCH_1}")
      set(argName "${CMAKE_MATCH_2}")
      if(argName MATCHES "^(char|int|float|double|void|unsigned|signed|long|short|bool|const|HWND|u?int32_t)$")
        _kestro_exports_fail("${table}" ${lineno} "${name}: argument \"${arg}\" has no name")
      elseif(type STREQUAL "" OR type STREQUAL "const")
        _kestro_exports_fail("${table}" ${lineno} "${name}: argument \"${arg}\" has no type")
      elseif(type MATCHES "\\*$")
        math(EXPR bytes "${bytes} + 4")
        if(type STREQUAL "KestroUIntArray*")
          if(NOT arrayArg STREQUAL "")
            _kestro_exports_fail("${table}" ${lineno} "${name}: at most one KestroUIntArray* argument")
          endif()
          set(framework TRUE)
          set(arrayArg "${argName}")
          list(APPEND hostArgs "KestroUIntArrayObject* ${argName}")
          list(APPEND callArgs "kestroArray")
        else()
          list(APPEND hostArgs "${type} ${argName}")
          list(APPEND callArgs "${argName}")
        endif()
      elseif(type STREQUAL _KESTRO_EXPORT_STRING_ARG)
        math(EXPR bytes "${bytes} + 4")
        set(framework TRUE)
        list(APPEND hostArgs "KestroStringObject ${argName}")
        list(APPEND callArgs "${argName}Text.text()")
        string(APPEND prologue "    const kestro::win32::StringArgument ${argName}Text(&${argName});\n")
      else()
        string(REGEX REPLACE "^const " "" bare "${type}")
        if(bare STREQUAL "double")
          math(EXPR bytes "${bytes} + 8")
        elseif(bare IN_LIST _KESTRO_EXPORT_SCALAR_TYPES)
          math(EXPR bytes "${bytes} + 4")
        else()
          _kestro_exports_fail("${table}" ${lineno}
            "${name}: argument type \"${type}\" is not one the generator knows the size of")
        endif()
        list(APPEND hostArgs "${type} ${argName}")
        list(APPEND callArgs "${argName}")
      endif()
    endforeach()
  endif()
  set(${out_bytes} ${bytes} PARENT_SCOPE)
  # The plain C form: texts by value are const char*.
  string(REPLACE "${_KESTRO_EXPORT_STRING_ARG} " "const char* " cDecl "${decl}")
  set(${out_bytes}_c_decl "${cDecl}" PARENT_SCOPE)
  set(${out_bytes}_framework ${framework} PARENT_SCOPE)
  if(NOT framework)
    set(${out_bytes}_host_bytes ${bytes} PARENT_SCOPE)
    return()
  endif()
  # The Windows host form and its definition.
  set(hostBytes ${bytes})
  set(hostResult "${result}")
  if(result STREQUAL "KestroString")
    math(EXPR hostBytes "${bytes} + 4")
    set(hostResult "KestroStringObject*")
    list(INSERT hostArgs 0 "KestroStringObject* kestroResult")
  endif()
  if(hostArgs STREQUAL "")
    set(hostArgs "void")
  endif()
  list(JOIN hostArgs ", " hostArgText)
  list(JOIN callArgs ", " callText)
  set(call "${name}(${callText})")
  if(NOT arrayArg STREQUAL "")
    set(call "kestro::win32::fillUIntArray(${arrayArg}, [&](KestroUIntArray* kestroArray) { return ${call}; })")
  endif()
  if(result STREQUAL "KestroString")
    set(body "    return kestro::win32::constructString(kestroResult, ${call}.text);\n")
  elseif(result STREQUAL "void")
    set(body "    ${call};\n")
  else()
    set(body "    return ${call};\n")
  endif()
  set(${out_bytes}_host_bytes ${hostBytes} PARENT_SCOPE)
  set(${out_bytes}_host_decl "${hostResult} KESTRO_CALL ${name}(${hostArgText})" PARENT_SCOPE)
  set(${out_bytes}_host_def
    "/* @ORDINAL@ */\nextern \"C\" ${hostResult} KESTRO_CALL kestroHost_${name}(${hostArgText}) {\n${prologue}${body}}\n"
    PARENT_SCOPE)
endfunction()

function(_kestro_exports_ordinal_allowed ordinal out)
  set(ok FALSE)
  foreach(block IN LISTS _KESTRO_EXPORT_BLOCKS)
    string(REPLACE "-" ";" range "${block}")
    list(GET range 0 first)
    list(GET range 1 last)
    if(ordinal GREATER_EQUAL first AND ordinal LESS_EQUAL last)
      set(ok TRUE)
    endif()
  endforeach()
  set(${out} ${ok} PARENT_SCOPE)
endfunction()

# Writes a file only when its content changes, so that unchanged output does not
# trigger rebuilds.
function(_kestro_exports_write path content)
  if(EXISTS "${path}")
    file(READ "${path}" old)
    if(old STREQUAL content)
      return()
    endif()
  endif()
  file(WRITE "${path}" "${content}")
endfunction()

function(kestro_generate_exports)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "TABLE;HEADER;DEF;SYMBOLS;VERSION_SCRIPT;HOST_FORMS" "EXTRA_SYMBOLS")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "kestro_generate_exports: unexpected arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()
  foreach(required TABLE HEADER DEF)
    if(NOT arg_${required})
      message(FATAL_ERROR "kestro_generate_exports: ${required} is required")
    endif()
  endforeach()
  set(table "${arg_TABLE}")
  if(NOT EXISTS "${table}")
    message(FATAL_ERROR "kestro_generate_exports: export table ${table} does not exist")
  endif()
  if(NOT CMAKE_SCRIPT_MODE_FILE)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${table}")
  endif()

  file(READ "${table}" text)
  string(REPLACE "\r" "" text "${text}")
  # Comment lines are emptied (not removed, so line numbers stay right). Rows cannot
  # carry ';' or brackets: CMake lists would split them wrongly.
  string(REGEX REPLACE "(^|\n)[ \t]*#[^\n]*" "\\1" text "${text}")
  if(text MATCHES "[][;]")
    message(FATAL_ERROR "Export table ${table}: the characters ; [ ] are not allowed in table rows")
  endif()
  string(REPLACE "\n" ";" lines "${text}")

  get_filename_component(tableName "${table}" NAME)
  set(banner "Generated from ${tableName} by kestro_generate_exports() (cmake/KestroExports.cmake). Do not edit.")
  set(headerBody "")
  set(hostBody "")
  set(defBody "")
  set(symbols "")
  set(seenOrdinals "")
  set(seenNames "")
  set(lineno 0)
  foreach(line IN LISTS lines)
    math(EXPR lineno "${lineno} + 1")
    if(line MATCHES "^[ \t]*(#|$)")
      continue()
    endif()
    string(REPLACE "\t" ";" cols "${line}")
    list(LENGTH cols ncols)
    if(NOT (ncols EQUAL 5 OR ncols EQUAL 6))
      _kestro_exports_fail("${table}" ${lineno}
        "expected 5 or 6 TAB-separated columns, found ${ncols}")
    endif()
    list(GET cols 0 ordinal)
    list(GET cols 1 name)
    list(GET cols 2 kind)
    list(GET cols 3 decl)
    list(GET cols 4 implemented)
    set(internal "")
    if(ncols EQUAL 6)
      list(GET cols 5 internal)
    endif()
    foreach(col ordinal name kind decl implemented)
      if("${${col}}" STREQUAL "" OR "${${col}}" MATCHES "^ | $")
        _kestro_exports_fail("${table}" ${lineno}
          "column ${col} is empty or has leading or trailing blanks")
      endif()
    endforeach()
    if(NOT ordinal MATCHES "^[1-9][0-9]*$")
      _kestro_exports_fail("${table}" ${lineno} "ordinal \"${ordinal}\" is not a positive decimal number")
    endif()
    _kestro_exports_ordinal_allowed(${ordinal} allowed)
    if(NOT allowed)
      _kestro_exports_fail("${table}" ${lineno}
        "ordinal ${ordinal} lies outside the ordinal blocks ${_KESTRO_EXPORT_BLOCKS}")
    endif()
    if(ordinal IN_LIST seenOrdinals)
      _kestro_exports_fail("${table}" ${lineno} "duplicate ordinal ${ordinal}")
    endif()
    if(name IN_LIST seenNames)
      _kestro_exports_fail("${table}" ${lineno} "duplicate name ${name}")
    endif()
    list(APPEND seenOrdinals ${ordinal})
    list(APPEND seenNames "${name}")
    if(NOT kind MATCHES "^(c|member|vtable|static)$")
      _kestro_exports_fail("${table}" ${lineno}
        "kind \"${kind}\" is not one of c, member, vtable, static")
    endif()
    if(NOT implemented MATCHES "^(yes|no)$")
      _kestro_exports_fail("${table}" ${lineno} "implemented must be yes or no, not \"${implemented}\"")
    endif()

    if(kind STREQUAL "c")
      if(NOT name MATCHES "^[A-Za-z_][A-Za-z0-9_]*$")
        _kestro_exports_fail("${table}" ${lineno} "c export name \"${name}\" is not a C identifier")
      endif()
      if(NOT internal STREQUAL "")
        _kestro_exports_fail("${table}" ${lineno}
          "an internal symbol is only allowed on member, vtable and static rows")
      endif()
      # Parsed even when not implemented, so that every row stays well formed.
      _kestro_exports_parse_c("${table}" ${lineno} "${name}" "${decl}" bytes)
      if(implemented STREQUAL "yes")
        if(bytes_framework)
          # Windows hosts see the framework form; the library itself and other
          # platforms the plain C form.
          string(APPEND headerBody "#if defined(_WIN32) && !defined(KESTRO_BUILDING_LIBRARY)\n"
            "/* @${ordinal} */ KESTRO_API ${bytes_host_decl};\n#else\n"
            "/* @${ordinal} */ KESTRO_API ${bytes_c_decl};\n#endif\n")
          string(APPEND defBody "    ${name} = kestroHost_${name}@${bytes_host_bytes} @${ordinal}\n")
          string(REPLACE "@ORDINAL@" "@${ordinal}" hostDef "${bytes_host_def}")
          string(APPEND hostBody "\n${hostDef}")
        else()
          string(APPEND headerBody "/* @${ordinal} */ KESTRO_API ${bytes_c_decl};\n")
          string(APPEND defBody "    ${name} = ${name}@${bytes} @${ordinal}\n")
        endif()
        list(APPEND symbols "${name}")
      endif()
    else()
      if(NOT name MATCHES "^\\?")
        _kestro_exports_fail("${table}" ${lineno}
          "${kind} row name \"${name}\" is not a decorated C++ name (must start with ?)")
      endif()
      if(implemented STREQUAL "yes")
        if(internal STREQUAL "")
          string(APPEND defBody "    ; @${ordinal} ${name}: no internal symbol in the table yet\n")
        else()
          set(data "")
          if(NOT kind STREQUAL "member")
            set(data " DATA")
          endif()
          string(APPEND defBody "    ${name} = ${internal} @${ordinal}${data}\n")
        endif()
      endif()
    endif()
  endforeach()

  set(header "/* ${banner} */\n")
  string(APPEND header [=[
/*
 * Declarations of the implemented C exports of the Kestro library. Included by
 * <kestro/kestro.h>, which defines before it: KESTRO_API, KESTRO_CALL, HWND,
 * KestroString, KestroUIntArray, _APRDataInfo, _APRSourceData and the <stdint.h> types
 * (on Windows also KestroStringObject and KestroUIntArrayObject).
 */
#ifndef KESTRO_EXPORTS_GENERATED_H
#define KESTRO_EXPORTS_GENERATED_H

#ifndef KESTRO_CALL
#error "Include <kestro/kestro.h>, not this generated header."
#endif

#ifdef __cplusplus
extern "C" {
#endif

]=])
  string(APPEND header "${headerBody}")
  string(APPEND header [=[

#ifdef __cplusplus
}
#endif

#endif
]=])

  set(def "; ${banner}\nLIBRARY Kestro.dll\nEXPORTS\n${defBody}")

  _kestro_exports_write("${arg_HEADER}" "${header}")
  if(arg_HOST_FORMS)
    set(content "// ${banner}\n")
    string(APPEND content [=[
// The Windows host forms of the exports that take or return framework objects: each
// converts between the framework's objects and the plain C form, and calls it.
#include "api/win32/framework_types.h"
]=])
    string(APPEND content "${hostBody}")
    _kestro_exports_write("${arg_HOST_FORMS}" "${content}")
  endif()
  _kestro_exports_write("${arg_DEF}" "${def}")
  if(arg_SYMBOLS)
    set(content "")
    foreach(symbol IN LISTS symbols)
      string(APPEND content "${symbol}\n")
    endforeach()
    _kestro_exports_write("${arg_SYMBOLS}" "${content}")
  endif()
  if(arg_VERSION_SCRIPT)
    set(content "/* ${banner} */\n{\n")
    set(exported ${symbols} ${arg_EXTRA_SYMBOLS})
    if(exported)
      string(APPEND content "  global:\n")
      foreach(symbol IN LISTS exported)
        string(APPEND content "    ${symbol};\n")
      endforeach()
    endif()
    string(APPEND content "  local:\n    *;\n};\n")
    _kestro_exports_write("${arg_VERSION_SCRIPT}" "${content}")
  endif()
endfunction()
