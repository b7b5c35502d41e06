# SPDX-License-Identifier: MIT
# What the README promises a new user, checked as the user meets it.
# 1. Its first command, read from README.md itself (the first line of its
#    first code block), run in a clean copy of the tree as it stands, once
#    with the default compiler and once with clang: it must build and print
#    the embedded sample's events, and build neither the tests nor the
#    benchmarks. This is a user's build: warnings do not stop it, but a
#    compiler warning in its log fails the layer, which makes it the Release
#    build of both compilers with warnings as errors.
# 2. The build types that no other layer builds with warnings as errors, for
#    the library, the tool and the examples (no tests and no benchmarks, to
#    keep it fast): MinSizeRel with GCC, Debug and MinSizeRel with Clang.
#    The others are built elsewhere: RelWithDebInfo with GCC by native,
#    valgrind, install and abi, and with Clang by sanitize, threads and fuzz;
#    Debug with GCC by coverage; Release with both by the first command above.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
need_packages cmake g++ clang libgtest-dev
# The copies compile through ccache too, by CMake's environment variables.
use_ccache
[ ${#launcher[@]} -eq 0 ] || export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache

command=$(readme_first_command README.md)
[ -n "$command" ] || { echo "README.md has no first command"; exit 1; }
echo "the README's first command: $command"
expected=tests/tool/cases/sample-walk.out

for compiler in default clang; do
  copy=build/readme/$compiler
  copy_tree "$copy"
  compilers=()
  [ "$compiler" = clang ] && compilers=(CC=clang CXX=clang++)
  echo "--- the first command with the $compiler compiler"
  logged "$copy.log" env -C "$copy" "${compilers[@]}" bash -c "$command" \
    || { echo "the README's first command failed with the $compiler compiler"; exit 1; }
  # The tool's output is the log's tail; the build's lines come before it.
  if [ "$(tail -n "$(wc -l <"$expected")" "$copy.log")" != "$(cat "$expected")" ]; then
    tail -n 40 "$copy.log"
    echo "the first command did not print the embedded sample's events (see $expected)"
    exit 1
  fi
  if grep ': warning:' "$copy.log"; then
    echo "the first command's build warns with the $compiler compiler"
    exit 1
  fi
  # A first build is quick: it makes neither the tests nor the benchmarks.
  [ -z "$(find "$copy/build" -type d \( -name tests -o -name bench \))" ] \
    || { echo "the first command built the tests or the benchmarks"; exit 1; }
  echo "ok: the sample's events, with the $compiler compiler, and no warning"
done
unset CMAKE_C_COMPILER_LAUNCHER CMAKE_CXX_COMPILER_LAUNCHER

mkdir -p build/readme
for build_type in gcc:MinSizeRel clang:Debug clang:MinSizeRel; do
  compiler=${build_type%:*} type=${build_type#*:}
  if [ "$compiler" = clang ]; then export CC=clang CXX=clang++; else export CC=gcc CXX=g++; fi
  build "readme/$compiler-$type" -DCMAKE_BUILD_TYPE="$type" -DTARNWICK_BUILD_TESTS=OFF -DTARNWICK_BUILD_BENCH=OFF \
    || { echo "the $type build with $compiler failed"; exit 1; }
  echo "ok: $type with $compiler, warnings as errors"
done
