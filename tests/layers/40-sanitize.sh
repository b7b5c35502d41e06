# SPDX-License-Identifier: MIT
# The whole suite built with clang, AddressSanitizer (leaks included) and
# UndefinedBehaviorSanitizer, every finding fatal. GoogleTest is built from
# Debian's sources with the same compiler and flags rather than linked from
# the g++ build Debian installs. Tests too big for the sanitizers' memory
# overhead skip themselves.
# The library is C++ checked by -fsanitize=function (the callback's type), whose
# runtime is in UBSan's C++ part: C programs linking it get that part and
# libstdc++ too.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
need_packages cmake clang libclang-rt-14-dev googletest
CC=clang CXX=clang++ build sanitize -DTARNWICK_SANITIZE=address,undefined \
  -DTARNWICK_GTEST_SOURCE=/usr/src/googletest -DTARNWICK_BUILD_BENCH=OFF \
  -DCMAKE_EXE_LINKER_FLAGS=-fsanitize-link-c++-runtime -DCMAKE_C_STANDARD_LIBRARIES=-lstdc++
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1
run_ctest sanitize
