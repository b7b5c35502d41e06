// SPDX-License-Identifier: MIT
// One list of more than 65,536 blocks and 2^30 payload bytes: built, walked
// and disposed, so that nothing counted along the way (blocks, records,
// events, bytes) may wrap at 16 bits, nor a running byte count at 31.
// It needs a 64-bit address space and a little over 1 GiB; under
// AddressSanitizer (which shadows every byte) it skips itself, and the
// valgrind layer filters it out.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "sanitizers.hpp"
#include "tarnwick.h"

#if defined(TARNWICK_TEST_ASAN) || defined(TARNWICK_TEST_MSAN)
#define TARNWICK_TEST_SHADOWED_MEMORY 1
#endif

namespace {

constexpr std::size_t kRecordLength = 16384;
constexpr std::size_t kRecords = 65536;  // 2^30 payload bytes in all

// Each record starts with its own number and ends with its low byte, so a
// record lost, repeated or misplaced shows in the walk.
void stamp(std::vector<unsigned char> &payload, uint32_t number) {
    std::memcpy(payload.data(), &number, sizeof number);
    payload.back() = static_cast<unsigned char>(number);
}

struct walk_counts {
    std::size_t events = 0, starts = 0, ends = 0, pieces = 0;
    uint64_t bytes = 0;
    std::size_t misplaced = 0;  // records whose first or last byte is not theirs
};

walk_counts walk(const tarnwick_list &root) {
    walk_counts counts;
    tarnwick_iter iter;
    tarnwick_iter_init(&root, &iter, nullptr);
    uint64_t record_bytes = 0;
    unsigned char first[sizeof(uint32_t)] = {};
    unsigned char last = 0;
    while (const tarnwick_event *e = tarnwick_iter_next(&root, &iter)) {
        ++counts.events;
        if (e->type == TARNWICK_EVENT_START) {
            ++counts.starts;
            record_bytes = 0;
        } else if (e->type == TARNWICK_EVENT_DATA) {
            ++counts.pieces;
            for (int i = 0; i < e->length && record_bytes + static_cast<unsigned>(i) < sizeof first; ++i)
                first[record_bytes + static_cast<unsigned>(i)] = e->data[i];
            record_bytes += static_cast<unsigned>(e->length);
            counts.bytes += static_cast<unsigned>(e->length);
            last = e->data[e->length - 1];
        } else {
            uint32_t number;
            std::memcpy(&number, first, sizeof number);
            if (number != counts.ends || last != static_cast<unsigned char>(number) || record_bytes != kRecordLength)
                ++counts.misplaced;
            ++counts.ends;
        }
    }
    return counts;
}

TEST(Scale, ListOfMoreThan65536BlocksWalksAndDisposesWhole) {
    if (sizeof(void *) < 8) GTEST_SKIP() << "needs a 64-bit address space";
#ifdef TARNWICK_TEST_SHADOWED_MEMORY
    GTEST_SKIP() << "too big for a sanitizer's shadow memory";
#endif
    tarnwick_list root;
    tarnwick_init(&root);
    std::vector<unsigned char> payload(kRecordLength, 0x5A);
    for (std::size_t i = 0; i < kRecords; ++i) {
        stamp(payload, static_cast<uint32_t>(i));
        ASSERT_EQ(tarnwick_create_data(&root, nullptr, static_cast<int>(i), payload.data(), kRecordLength), 0) << i;
    }

    std::size_t blocks = 0;
    uint64_t used = 0;
    for (const tarnwick_block *b = root.first; b != nullptr; b = b->next, ++blocks)
        used += static_cast<uint64_t>(b->data_end - b->data);
    EXPECT_GT(blocks, 65536u);
    EXPECT_GE(used, uint64_t{kRecords} * (kRecordLength + 4));

    const walk_counts counts = walk(root);
    EXPECT_EQ(counts.starts, kRecords);
    EXPECT_EQ(counts.ends, kRecords);
    EXPECT_EQ(counts.bytes, uint64_t{1} << 30);
    EXPECT_EQ(counts.misplaced, 0u);
    // One piece per block a record lies in: at least one, at most one more
    // than the blocks it starts in.
    EXPECT_GE(counts.pieces, kRecords);
    EXPECT_LE(counts.pieces, kRecords + blocks);
    EXPECT_EQ(counts.events, counts.starts + counts.pieces + counts.ends);

    tarnwick_dispose(&root);
    EXPECT_EQ(root.first, nullptr);
    EXPECT_EQ(root.last, nullptr);
}

}  // namespace
