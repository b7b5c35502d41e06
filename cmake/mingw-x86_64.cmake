# SPDX-License-Identifier: MIT
# 64-bit Windows from a Linux host (Debian: g++-mingw-w64-x86-64), with
# wine64 to run the built programs (Debian: wine64, which keeps it in
# /usr/lib/wine and needs no 32-bit support from the kernel).
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(tarnwick_mingw x86_64-w64-mingw32)
set(tarnwick_wine NAMES wine64 PATHS /usr/lib/wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
