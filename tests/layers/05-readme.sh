# SPDX-License-Identifier: MIT
# What the README promises a new user, checked as the user meets it.
# 1. Its first command, read from README.md itself (the first line of its
#    first code block), run in a clean copy of the tree as it stands, once
#    with the default compiler and once with clang: it must build and print
#    the embedded sample's events, and build neither the tests nor the
#    benchmarks. This is a user's build: warnings are not errors in it.
# 2. Every build type of the library, the tool and the examples, with
#    warnings as errors, under GCC and Clang (no tests and no benchmarks, to
#    keep it fast).
need_packages cmake g++ clang libgtest-dev

command=$(awk '/^```/ { if (open) exit; open = 1; next } open { print; exit }' README.md)
[ -n "$command" ] || { echo "README.md has no first command"; exit 1; }
echo "the README's first command: $command"
expected=tests/tool/cases/sample-walk.out

for compiler in default clang; do
  copy=build/readme/$compiler
  copy_tree "$copy"
  compilers=()
  [ "$compiler" = clang ] && compilers=(CC=clang CXX=clang++)
  echo "--- the first command with the $compiler compiler"
  if ! (cd "$copy" && env "${compilers[@]}" bash -c "$command") >"$copy.log" 2>&1; then
    tail -n 40 "$copy.log"
    echo "the README's first command failed with the $compiler compiler"
    exit 1
  fi
  # The tool's output is the log's tail; the build's lines come before it.
  if [ "$(tail -n "$(wc -l <"$expected")" "$copy.log")" != "$(cat "$expected")" ]; then
    tail -n 40 "$copy.log"
    echo "the first command did not print the embedded sample's events (see $expected)"
    exit 1
  fi
  grep -i 'warning' "$copy.log" || true
  # A first build is quick: it makes neither the tests nor the benchmarks.
  [ -z "$(find "$copy/build" -type d \( -name tests -o -name bench \))" ] \
    || { echo "the first command built the tests or the benchmarks"; exit 1; }
  echo "ok: the sample's events, with the $compiler compiler"
done

mkdir -p build/readme
for compiler in gcc clang; do
  for type in Debug Release RelWithDebInfo MinSizeRel; do
    name=readme/$compiler-$type
    if [ "$compiler" = clang ]; then export CC=clang CXX=clang++; else export CC=gcc CXX=g++; fi
    build "$name" -DCMAKE_BUILD_TYPE="$type" -DTARNWICK_BUILD_TESTS=OFF -DTARNWICK_BUILD_BENCH=OFF \
      || { echo "the $type build with $compiler failed"; exit 1; }
    echo "ok: $type with $compiler, warnings as errors"
  done
done
