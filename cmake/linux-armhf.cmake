# SPDX-License-Identifier: MIT
# 32-bit ARM Linux, hard-float (Debian: g++-arm-linux-gnueabihf), run under qemu-arm.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(tarnwick_triplet arm-linux-gnueabihf)
set(tarnwick_qemu qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
