# SPDX-License-Identifier: MIT
# The two fuzz targets, each run for a bounded time from its checked-in
# corpus: the library's (a program of calls, fuzz/corpus) and the tool's
# notation (text, fuzz/corpus-notation). New inputs they find go to
# build/fuzz/corpus*, never into fuzz/; an input that fails a check or trips
# a sanitizer is written to build/fuzz/ and fails the layer (keep it in
# fuzz/regressions*/ once the fault is mended). FUZZ_SECONDS overrides the
# 45 seconds each target runs. The notation target runs under memory limits
# well below the machine's: an input that makes the tool allocate without
# bound must fail the layer, never exhaust the machine.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
need_packages cmake clang libclang-rt-14-dev
CC=clang CXX=clang++ build fuzz -DTARNWICK_BUILD_FUZZ=ON -DTARNWICK_BUILD_TESTS=OFF -DTARNWICK_BUILD_TOOLS=OFF \
  -DTARNWICK_BUILD_EXAMPLES=OFF -DTARNWICK_BUILD_BENCH=OFF

# Runs build/fuzz/fuzz/TARGET on fuzz/CORPUS with any further libFuzzer
# options; prints its final lines.
fuzz() {
  local target=$1 corpus=$2 status=0
  mkdir -p "build/fuzz/$corpus"
  "build/fuzz/fuzz/$target" -max_total_time="${FUZZ_SECONDS:-45}" -print_final_stats=1 -max_len=4096 \
    -artifact_prefix=build/fuzz/ "${@:3}" "build/fuzz/$corpus" "fuzz/$corpus" >"build/fuzz/$target.log" 2>&1 \
    || status=$?
  sed -e '/^###### Recommended dictionary/,/^###### End of recommended dictionary/d' -e '/^#[0-9]/d' \
    "build/fuzz/$target.log" | tail -n 40
  return $status
}

fuzz tarnwick_fuzz corpus && fuzz tarnwick_notation_fuzz corpus-notation -rss_limit_mb=1024 -malloc_limit_mb=256
