# SPDX-License-Identifier: MIT
# 32-bit Windows from a Linux host (Debian: g++-mingw-w64-i686), with wine
# to run the built programs (Debian: wine, wine32:i386).
set(CMAKE_SYSTEM_PROCESSOR x86)
set(tarnwick_mingw i686-w64-mingw32)
set(tarnwick_wine NAMES wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
