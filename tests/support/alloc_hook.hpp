// SPDX-License-Identifier: MIT
// The test build of the library allocates and frees blocks through these
// hooks. They count allocations, can refuse chosen ones, and record every
// allocation and release in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace test_alloc {

struct journal {
    std::vector<void *> allocated;   // in allocation order
    std::vector<std::size_t> sizes;  // bytes asked for, same order
    std::vector<void *> freed;       // in release order
};

// Refuses allocation number `k` (1-based, counted from the last reset), and
// with `and_after` every one after it too. k = 0 refuses none.
void refuse(std::size_t k, bool and_after = false);

// Forgets the journal and the counter; refuses nothing.
void reset();

const journal &log();
std::size_t attempts();  // allocations asked for since reset, refused ones included
std::size_t live();      // allocated and not yet freed

}  // namespace test_alloc
