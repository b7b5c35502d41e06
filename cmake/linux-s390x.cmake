# SPDX-License-Identifier: MIT
# 64-bit big-endian IBM Z Linux (Debian: g++-s390x-linux-gnu), run under qemu-s390x.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(tarnwick_triplet s390x-linux-gnu)
set(tarnwick_qemu qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
