# Windows build of the shared library: Kestro.dll with its fixed export table, a
# version resource, an import library, and the compiler runtime linked in statically
# so that the DLL needs only system DLLs.

enable_language(RC)

# KESTRO_EXPORTS_DEF: the module-definition file generated from the export table.
if(NOT KESTRO_EXPORTS_DEF)
  message(FATAL_ERROR "KESTRO_EXPORTS_DEF is not set")
endif()

# Writes a file only when its content changes. (Not file(CONFIGURE): the Microsoft names
# of the class members are full of "@...@" that it would take for variables.)
function(_kestro_write_if_changed path content)
  if(EXISTS "${path}")
    file(READ "${path}" old)
    if(old STREQUAL content)
      return()
    endif()
  endif()
  file(WRITE "${path}" "${content}")
endfunction()

function(kestro_configure_windows_dll target)
  set(generated "${CMAKE_CURRENT_BINARY_DIR}/generated")
  configure_file("${PROJECT_SOURCE_DIR}/src/Kestro.rc.in" "${generated}/Kestro.rc" @ONLY)

  # 32-bit: each line binds the plain name to the decorated __stdcall symbol
  # ("Name = Name@N @ordinal", or "Name = kestroHost_Name@N @ordinal" for the host
  # forms of the framework objects), so a wrong argument size fails the link. 64-bit has
  # one calling convention and no decoration: only the "@N" is dropped.
  file(READ "${KESTRO_EXPORTS_DEF}" def_text)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    string(REGEX REPLACE "(=[ \t]*[A-Za-z_][A-Za-z0-9_]*)@[0-9]+" "\\1" def_text "${def_text}")
  endif()
  _kestro_write_if_changed("${generated}/Kestro-link.def" "${def_text}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${KESTRO_EXPORTS_DEF}")

  # The host forms of the exports that take or return framework objects.
  target_sources(${target} PRIVATE "${generated}/Kestro.rc" "${generated}/Kestro-link.def"
                 "${generated}/kestro_host_forms.cpp")
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME Kestro
    PREFIX ""
    IMPORT_PREFIX ""
    IMPORT_SUFFIX ".lib")
  target_link_libraries(${target} PRIVATE version ws2_32)
  target_link_options(${target} PRIVATE
    # libgcc, libstdc++ and winpthread (std::thread of the -posix compilers) linked in;
    # system DLLs are still imported through their import libraries
    -static
    # only the table above is exported, nothing the compiler marks on its own
    -Wl,--exclude-all-symbols,--kill-at)

  # The import library that ld writes names the plain symbols; a host that declares
  # the functions __stdcall refers to "_Name@N". dlltool --kill-at writes one with the
  # decorated symbols bound to the plain export names.
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    # "Name = Symbol@N" becomes "Name@N": the import library defines _Name@N for the
    # export Name, with the N of the symbol that is exported.
    string(REGEX REPLACE "([A-Za-z_][A-Za-z0-9_]*)[ \t]*=[ \t]*[A-Za-z_][A-Za-z0-9_]*(@[0-9]+)" "\\1\\2"
           implib_def "${def_text}")
    _kestro_write_if_changed("${generated}/Kestro-implib.def" "${implib_def}")
    # The two parts of the import library (see KestroImplib.cmake): C exports, and the
    # class members under their Microsoft names.
    string(REGEX REPLACE "\n[ \t]*\\?[^\n]*" "" implib_c "${implib_def}")
    string(REGEX REPLACE "\n[ \t]+[A-Za-z_][^\n]*" "" implib_members "${implib_def}")
    string(REGEX REPLACE "\n([ \t]*\\?[^ \t\n]+)[ \t]*=[ \t]*[^ \t\n]+" "\n\\1" implib_members "${implib_members}")
    _kestro_write_if_changed("${generated}/Kestro-implib-c.def" "${implib_c}")
    _kestro_write_if_changed("${generated}/Kestro-implib-members.def" "${implib_members}")
    get_filename_component(compiler_dir "${CMAKE_CXX_COMPILER}" DIRECTORY)
    string(REGEX REPLACE "-g\\+\\+(-posix|-win32)?$" "-dlltool" dlltool_name "${CMAKE_CXX_COMPILER}")
    find_program(KESTRO_DLLTOOL NAMES "${dlltool_name}" i686-w64-mingw32-dlltool dlltool HINTS "${compiler_dir}")
    if(NOT KESTRO_DLLTOOL)
      message(FATAL_ERROR "dlltool not found (needed for the import library)")
    endif()
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND "${CMAKE_COMMAND}" "-DDLLTOOL=${KESTRO_DLLTOOL}" "-DAR=${CMAKE_AR}"
              "-DCDEF=${generated}/Kestro-implib-c.def" "-DMDEF=${generated}/Kestro-implib-members.def"
              "-DOUT=$<TARGET_LINKER_FILE:${target}>" "-DWORK=${CMAKE_CURRENT_BINARY_DIR}/implib"
              -P "${PROJECT_SOURCE_DIR}/cmake/KestroImplib.cmake"
      COMMENT "Import library with __stdcall symbols")
  endif()
endfunction()

# The platform layer reads version resources (VERSION.dll) and the socketcand backend
# uses Winsock (WS2_32.dll): whatever links the test
# archive needs its import library too.
target_link_libraries(kestro_objects PUBLIC version ws2_32)
