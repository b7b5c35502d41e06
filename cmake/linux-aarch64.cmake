# SPDX-License-Identifier: MIT
# 64-bit ARM Linux (Debian: g++-aarch64-linux-gnu), run under qemu-aarch64.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(tarnwick_triplet aarch64-linux-gnu)
set(tarnwick_qemu qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
