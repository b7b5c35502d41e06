# SPDX-License-Identifier: MIT
# ThreadSanitizer over the test in which four threads walk one tree at once,
# two by callback and two by iterator: walks share nothing but the tree's
# bytes, so any report fails the layer. Only that test runs; the rest of the
# suite has no threads for it to watch.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
need_packages cmake clang libclang-rt-14-dev googletest
build_target=unit_tests CC=clang CXX=clang++ build threads -DTARNWICK_SANITIZE=thread -DTARNWICK_GTEST_SOURCE=/usr/src/googletest \
  -DTARNWICK_BUILD_BENCH=OFF -DTARNWICK_BUILD_TOOLS=OFF -DTARNWICK_BUILD_EXAMPLES=OFF
TSAN_OPTIONS=halt_on_error=1 timeout "$test_timeout" build/threads/tests/unit_tests \
  --gtest_filter='WalkModelTest.FourThreads*'
