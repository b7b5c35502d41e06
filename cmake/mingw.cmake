# SPDX-License-Identifier: MIT
# The part shared by the toolchain files for Windows from a Linux host
# (mingw-i686.cmake, mingw-x86_64.cmake). Each sets CMAKE_SYSTEM_PROCESSOR,
# tarnwick_mingw (the MinGW-w64 triplet) and tarnwick_wine (the names of the
# wine loader that runs its programs, and where Debian keeps it).
#
# The posix thread model: GoogleTest needs std::mutex, which the win32 model
# of this compiler lacks. The DLL uses no threads and links libgcc statically,
# so it imports only the C runtime and KERNEL32; programs link every runtime
# (libgcc, libstdc++, winpthread) statically, so wine needs only the DLL.
set(CMAKE_SYSTEM_NAME Windows)

find_program(CMAKE_C_COMPILER NAMES ${tarnwick_mingw}-gcc-posix ${tarnwick_mingw}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${tarnwick_mingw}-g++-posix ${tarnwick_mingw}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${tarnwick_mingw}-windres)

# Libraries and packages come from the MinGW-w64 tree, and from the prefixes
# named in CMAKE_PREFIX_PATH (an unpacked Windows release of this library,
# say), which would otherwise be looked for inside that tree.
set(CMAKE_FIND_ROOT_PATH /usr/${tarnwick_mingw} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_SHARED_LINKER_FLAGS_INIT -static-libgcc)
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# CTest runs the programs under wine in a wine prefix of the build's own
# (created on first use): quiet, with no window even where a display exists,
# and without the .NET and HTML runtimes a new prefix offers to install.
find_program(tarnwick_wine_program ${tarnwick_wine})
if(tarnwick_wine_program)
  set(CMAKE_CROSSCOMPILING_EMULATOR env -u DISPLAY WINEPREFIX=${CMAKE_BINARY_DIR}/wine WINEDEBUG=-all
      WINEDLLOVERRIDES=mscoree,mshtml= ${tarnwick_wine_program})
endif()
