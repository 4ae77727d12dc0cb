# Install layout beyond the targets, the pkg-config file, the CMake package in the build
# tree, and the Debian package (CPack). Included by the top-level CMakeLists.txt after
# the library and the tools are defined.

include(CMakePackageConfigHelpers)

# ---- Relocatable tools: they find the library beside them (bin/../lib) -------------------
foreach(tool kestro-cli kestro-sim)
  if(TARGET ${tool})
    set_target_properties(${tool} PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
    # RUNPATH, not the older RPATH: LD_LIBRARY_PATH still wins, as users expect.
    target_link_options(${tool} PRIVATE "LINKER:--enable-new-dtags")
  endif()
endforeach()

# ---- The CMake package in the build tree ---------------------------------------------------
# src/ writes KestroConfig.cmake (which includes KestroTargets.cmake beside it) for the
# install; the same file in the build tree finds the build's targets here:
# cmake -DKestro_DIR=<build>/src.
if(NOT WIN32)
  export(EXPORT KestroTargets NAMESPACE Kestro:: FILE "${PROJECT_BINARY_DIR}/src/KestroTargets.cmake")
endif()

# ---- pkg-config ----------------------------------------------------------------------------
# Relative to the file itself, so that the installed tree can be moved.
set(kestro_pc_dir "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
file(RELATIVE_PATH kestro_pc_to_prefix "/prefix/${kestro_pc_dir}" "/prefix")
string(REGEX REPLACE "/$" "" kestro_pc_to_prefix "${kestro_pc_to_prefix}")
configure_file("${PROJECT_SOURCE_DIR}/cmake/kestro.pc.in" "${PROJECT_BINARY_DIR}/kestro.pc" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/kestro.pc" DESTINATION "${kestro_pc_dir}")

# ---- Man pages, bash completion, documentation, examples ----------------------------------
set(kestro_docdir "${CMAKE_INSTALL_DATADIR}/doc/kestro")
if(NOT WIN32)
  install(FILES "${PROJECT_SOURCE_DIR}/docs/man/kestro.1" "${PROJECT_SOURCE_DIR}/docs/man/kestro-sim.1"
          DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
  install(FILES "${PROJECT_SOURCE_DIR}/tools/cli/kestro.bash-completion"
          DESTINATION "${CMAKE_INSTALL_DATADIR}/bash-completion/completions" RENAME kestro)
  install(FILES "${PROJECT_SOURCE_DIR}/README.md" DESTINATION "${kestro_docdir}")
  foreach(doc settings.md host-guide.md tool.md design.md exports.md windows.md dose-and-facade.md)
    if(EXISTS "${PROJECT_SOURCE_DIR}/docs/${doc}")
      install(FILES "${PROJECT_SOURCE_DIR}/docs/${doc}" DESTINATION "${kestro_docdir}")
    endif()
  endforeach()
  if(EXISTS "${PROJECT_SOURCE_DIR}/examples")
    install(DIRECTORY "${PROJECT_SOURCE_DIR}/examples/" DESTINATION "${kestro_docdir}/examples"
            PATTERN "build" EXCLUDE PATTERN "__pycache__" EXCLUDE)
  endif()
endif()

# ---- The Debian package: cpack -G DEB in the build tree gives kestro_<version>_amd64.deb -----
set(CPACK_PACKAGE_NAME "kestro")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "Kestro")
set(CPACK_PACKAGE_CONTACT "Kestro developers <kestro@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "X-ray generator control library, simulator and command-line tool")
set(CPACK_PACKAGE_DESCRIPTION
    "libkestro drives a high-voltage X-ray generator for an imaging host: exposure parameters, state and\n"
    "handshake, stored configuration, trace, notifications. kestro-sim simulates the generator; kestro is\n"
    "the command-line tool.")
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # kestro_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_SECTION "science")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)   # Depends from the binaries (dpkg-shlibdeps)
set(CPACK_STRIP_FILES OFF)
set(CPACK_SOURCE_IGNORE_FILES "/build/" "/\\\\.git/")
include(CPack)
