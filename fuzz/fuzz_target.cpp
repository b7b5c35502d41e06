// SPDX-License-Identifier: MIT
// libFuzzer entry: the input is a program of calls (see
// tests/support/program.cpp). A check that fails throws, and the uncaught
// exception aborts, which the fuzzer reports as a crash with the input that
// caused it.
#include <cstddef>
#include <cstdint>

#include "program.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *bytes, std::size_t size) {
    program::run(bytes, size);
    return 0;
}
