# SPDX-License-Identifier: MIT
# The native build (64-bit on this machine) with every test, and the shape of
# the shared library: exactly the seven functions exported, a SONAME, and no
# dependency on the C++ runtime.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
need_packages cmake g++ libgtest-dev binutils python3
build native
run_ctest native
tests/check-exports build/native/libtarnwick.so
