# SPDX-License-Identifier: MIT
# 32-bit x86 Linux on a 64-bit host (Debian: g++-i686-linux-gnu, which
# coexists with the other cross compilers, unlike g++-multilib).
#
# The programs name the target's own loader and libraries, so a kernel that
# runs 32-bit x86 code runs them as they are; where it does not, the build
# is given qemu-i386 as CMAKE_CROSSCOMPILING_EMULATOR (tests/layers/20-linux32.sh).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(tarnwick_triplet i686-linux-gnu)
set(tarnwick_qemu "")
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-Wl,--dynamic-linker=/usr/${tarnwick_triplet}/lib/ld-linux.so.2 -Wl,-rpath,/usr/${tarnwick_triplet}/lib")
