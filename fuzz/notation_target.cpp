// SPDX-License-Identifier: MIT
// libFuzzer entry for the tool's notation: the input is notation text (see
// notation_check.hpp). A failed check throws, and the uncaught exception
// aborts, which the fuzzer reports as a crash with the input that caused it.
#include <cstddef>
#include <cstdint>

#include "notation_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *bytes, std::size_t size) {
    notation_check::run(bytes, size);
    return 0;
}
