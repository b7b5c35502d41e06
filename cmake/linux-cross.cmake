# SPDX-License-Identifier: MIT
# The part shared by the toolchain files for Linux on other processors
# (linux-aarch64.cmake and its kind beside this one). Each sets
# CMAKE_SYSTEM_PROCESSOR, tarnwick_triplet (the GNU triplet of Debian's cross
# compiler, g++-TRIPLET, whose target runtimes lie under /usr/TRIPLET) and
# tarnwick_qemu (the user-mode emulator, from Debian's qemu-user-static, or
# empty for a target that the host may run itself).
#
# CTest runs the built programs under that emulator, which finds the
# target's program interpreter and shared libraries under /usr/TRIPLET.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${tarnwick_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${tarnwick_triplet}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${tarnwick_triplet})

set(CMAKE_FIND_ROOT_PATH /usr/${tarnwick_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(tarnwick_qemu)
  find_program(tarnwick_qemu_program NAMES ${tarnwick_qemu}-static ${tarnwick_qemu})
endif()
if(tarnwick_qemu_program)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${tarnwick_qemu_program} -L /usr/${tarnwick_triplet})
endif()
