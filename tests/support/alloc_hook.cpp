// SPDX-License-Identifier: MIT
#include "alloc_hook.hpp"

#include <cstdlib>

namespace test_alloc {
namespace {
journal the_journal;
std::size_t attempt_count = 0;
std::size_t refused_from = 0;
bool refuse_after = false;
std::size_t live_count = 0;
}  // namespace

void refuse(std::size_t k, bool and_after) {
    refused_from = k;
    refuse_after = and_after;
}

void reset() {
    the_journal = journal{};
    attempt_count = 0;
    refused_from = 0;
    refuse_after = false;
}

const journal &log() { return the_journal; }
std::size_t attempts() { return attempt_count; }
std::size_t live() { return live_count; }

}  // namespace test_alloc

using namespace test_alloc;

extern "C" void *tarnwick_hook_calloc(std::size_t count, std::size_t size) {
    ++attempt_count;
    if (refused_from != 0 && (attempt_count == refused_from || (refuse_after && attempt_count > refused_from)))
        return nullptr;
    void *memory = std::calloc(count, size);
    if (memory != nullptr) {
        the_journal.allocated.push_back(memory);
        the_journal.sizes.push_back(count * size);
        ++live_count;
    }
    return memory;
}

extern "C" void tarnwick_hook_free(void *memory) {
    if (memory != nullptr) {
        the_journal.freed.push_back(memory);
        --live_count;
    }
    std::free(memory);
}
