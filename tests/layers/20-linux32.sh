# SPDX-License-Identifier: MIT
# The 32-bit build, in which the format's numbers are those of 4-byte
# pointers, cross-built with i686-linux-gnu-g++ (cmake/linux-i686.cmake).
# GoogleTest is built from Debian's sources for it (gtest_for). On a kernel
# that runs no 32-bit x86 programs, the suite runs under qemu's user-mode
# emulator instead: tests that set a memory limit are then skipped, since
# the emulator's own allocations do not fit under one, death tests fork
# without re-running the program, which the kernel would refuse, and the
# random-model tests take their quick setting, as in the other emulated layers.
need_packages cmake g++-i686-linux-gnu googletest
emulator=()
if ! runs_i386; then
  echo "this kernel runs no 32-bit x86 programs: running them under qemu-i386"
  need_packages qemu-user-static
  emulator=(-DCMAKE_CROSSCOMPILING_EMULATOR=/usr/bin/qemu-i386-static)
  export GTEST_DEATH_TEST_STYLE=fast TARNWICK_QUICK=1
fi
gtest_for linux-i686
build linux32 -DCMAKE_TOOLCHAIN_FILE=cmake/linux-i686.cmake "${gtest[@]}" -DTARNWICK_BUILD_BENCH=OFF "${emulator[@]}"
run_ctest linux32
tests/check-exports build/linux32/libtarnwick.so
