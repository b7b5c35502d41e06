# SPDX-License-Identifier: MIT
# The 32-bit build, in which the format's numbers are those of 4-byte
# pointers, cross-built with i686-linux-gnu-g++ (cmake/linux-i686.cmake).
# GoogleTest is built from Debian's sources for it (gtest_for). Where the
# kernel does not run 32-bit x86 programs itself (i386_mode: none, or
# emulated once binfmt_misc hands them to qemu), the suite runs under qemu's
# user-mode emulator, named explicitly with the cross sysroot: a program
# started through a binfmt entry alone would load the archive's i386
# libraries where they are installed. Under the emulator, tests that set a
# memory limit are skipped, since the emulator's own allocations do not fit
# under one, death tests fork without re-running the program, which the
# emulator cannot follow, and the random-model tests take their quick
# setting, as in the other emulated layers.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
need_packages cmake g++-i686-linux-gnu googletest
mode=$(i386_mode)
if [ "$mode" = native ]; then
  cross_suite --native linux32 linux-i686
else
  echo "32-bit x86 programs run $( [ "$mode" = none ] && echo 'nowhere on this kernel' || echo 'under qemu here'): running the suite under qemu-i386"
  need_packages qemu-user-static
  cross_suite linux32 linux-i686 "-DCMAKE_CROSSCOMPILING_EMULATOR=/usr/bin/qemu-i386-static;-L;/usr/i686-linux-gnu"
fi
tests/check-exports build/linux32/libtarnwick.so
