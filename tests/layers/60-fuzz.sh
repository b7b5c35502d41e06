# The fuzz target, run for a bounded time from the checked-in corpus. New
# inputs it finds go to build/fuzz/corpus, never into fuzz/corpus; an input
# that fails a check or trips a sanitizer is written to build/fuzz/ and fails
# the layer (keep it in fuzz/regressions/ once the fault is mended).
# FUZZ_SECONDS overrides the 60 seconds.
need_packages cmake clang libclang-rt-14-dev
CC=clang CXX=clang++ build fuzz -DTARNWICK_BUILD_FUZZ=ON -DTARNWICK_BUILD_TESTS=OFF -DTARNWICK_BUILD_TOOLS=OFF \
  -DTARNWICK_BUILD_EXAMPLES=OFF -DTARNWICK_BUILD_BENCH=OFF
mkdir -p build/fuzz/corpus
build/fuzz/fuzz/tarnwick_fuzz -max_total_time="${FUZZ_SECONDS:-60}" -print_final_stats=1 -max_len=4096 \
  -artifact_prefix=build/fuzz/ build/fuzz/corpus fuzz/corpus 2>&1 \
  | sed -e '/^###### Recommended dictionary/,/^###### End of recommended dictionary/d' -e '/^#[0-9]/d' | tail -n 40
