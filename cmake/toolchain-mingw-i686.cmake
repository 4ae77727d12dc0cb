# Cross-build for 32-bit Windows with MinGW-w64 (Debian: g++-mingw-w64-i686).
# The -posix compilers give std::thread and std::mutex; their runtime is linked
# statically into Kestro.dll, so the DLL needs nothing beyond the system DLLs.
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake
#
# KESTRO_MINGW_TRIPLE selects another MinGW-w64 target with the same layout
# (x86_64-w64-mingw32 gives a 64-bit build for a 64-bit-only Wine).

set(CMAKE_SYSTEM_NAME Windows)
if(NOT KESTRO_MINGW_TRIPLE)
  set(KESTRO_MINGW_TRIPLE i686-w64-mingw32)
endif()
if(KESTRO_MINGW_TRIPLE MATCHES "^x86_64")
  set(CMAKE_SYSTEM_PROCESSOR AMD64)
else()
  set(CMAKE_SYSTEM_PROCESSOR x86)
endif()
# Keep the choice for try_compile projects, which read the toolchain file again.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KESTRO_MINGW_TRIPLE)

set(CMAKE_C_COMPILER ${KESTRO_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KESTRO_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KESTRO_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KESTRO_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs built with this toolchain run under Wine.
find_program(KESTRO_WINE_PROGRAM NAMES wine)
if(KESTRO_WINE_PROGRAM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KESTRO_WINE_PROGRAM})
endif()
