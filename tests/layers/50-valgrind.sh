# SPDX-License-Identifier: MIT
# The suite under valgrind's memcheck: every test whose command is one of the
# build's programs runs through valgrind (CMake's emulator hook), and any
# error, including a definitely or indirectly lost block, fails it. Tests run
# by scripts (the tool's cases) run without it.
# Left out, as too slow under valgrind: the release of a million nested nodes
# (run natively and under the sanitizers) and the 1 GiB scale test (natively);
# and the walk under a capped address space, which valgrind's own mappings fill.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
need_packages cmake g++ libgtest-dev valgrind
build valgrind -DTARNWICK_BUILD_BENCH=OFF \
  "-DCMAKE_CROSSCOMPILING_EMULATOR=valgrind;-q;--error-exitcode=1;--leak-check=full;--show-leak-kinds=definite,indirect;--errors-for-leak-kinds=definite,indirect;--child-silent-after-fork=yes"
export GTEST_FILTER='-Release.MillionNestedNodesOnSmallStack:Scale.*:RecordsDeathTest.*'
run_ctest valgrind
