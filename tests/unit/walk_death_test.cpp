// SPDX-License-Identifier: MIT
// A damaged block stops a walk, or a release, at an assertion instead of
// letting it read outside the block. The assertions stay on in every build
// type. Each damage is done inside the dying statement, so the test's own
// process keeps a sound tree that it can release.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#if defined(__linux__)
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "sanitizers.hpp"
#include "tarnwick.h"
#include "tarnwick.hpp"

#if GTEST_HAS_DEATH_TEST

namespace {

int TARNWICK_CALL ignore(void *, int, unsigned, const unsigned char *, int) { return 0; }

void walk_all(const tarnwick_list *tree) { tarnwick_visit_node(tree, nullptr, nullptr, ignore); }

class WalkDeathTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Re-running the program for each death is the safe style; a run
        // that cannot re-run it (under a user-mode emulator) chooses "fast"
        // through GTEST_DEATH_TEST_STYLE.
        if (std::getenv("GTEST_DEATH_TEST_STYLE") == nullptr) GTEST_FLAG_SET(death_test_style, "threadsafe");
        tarnwick_init(&tree);
    }
    void TearDown() override { tarnwick_dispose(&tree); }

    tarnwick_block *block() const { return tree.first; }

    tarnwick_list tree;
};

// "ab" takes five bytes and a filler; a data_end cut to the odd address in
// front of the filler leaves the read position, rounded up to even after the
// payload, one past the block's end.
TEST_F(WalkDeathTest, DataEndCutBeforeAFillerStopsTheWalk) {
    ASSERT_EQ(tarnwick_create_data(&tree, nullptr, 1, "ab", 2), 0);
    ASSERT_EQ(block()->data_end - block()->data, 6);
    EXPECT_DEATH(
        {
            block()->data_end -= 1;
            walk_all(&tree);
        },
        "top->ptr<=block->data_end");
}

// The same cut in front of the filler of a record that lies whole before it
// (nine bytes): the walks give its events and end at the cut, without reading
// the record after it, and the C++ range gives what the C walk gives.
int TARNWICK_CALL keep(void *kept, int type, unsigned tag, const unsigned char *, int length) {
    auto &events = *static_cast<std::vector<int> *>(kept);
    events.insert(events.end(), {type, static_cast<int>(tag), length});
    return 0;
}
TEST_F(WalkDeathTest, DataEndCutBeforeTheFillerOfAWholeRecordEndsTheWalkThere) {
    ASSERT_EQ(tarnwick_create_data(&tree, nullptr, 1, "abcdef", 6), 0);
    ASSERT_EQ(tarnwick_create_data(&tree, nullptr, 2, "x", 1), 0);
    unsigned char *const end = block()->data_end;
    block()->data_end = block()->data + 9;
    std::vector<int> walked, ranged;
    tarnwick_visit_node(&tree, nullptr, &walked, keep);
    for (const tarnwick::event &e : tarnwick::event_range(&tree, nullptr))
        ranged.insert(ranged.end(), {static_cast<int>(e.kind()), e.tag(), static_cast<int>(e.bytes().size())});
    block()->data_end = end;
    EXPECT_EQ(walked,
              (std::vector<int>{TARNWICK_EVENT_START, 1, 0, TARNWICK_EVENT_DATA, 1, 6, TARNWICK_EVENT_END, 1, 0}));
    EXPECT_EQ(ranged, walked);
}

// A record that fills its block up to a filler, with data_end cut to the odd
// address in front of the filler: the release, which finds where the next
// record would begin one past that end, which is past the allocation, stops
// before reading there (the sanitizer build sees any read past the block).
TEST_F(WalkDeathTest, DataEndCutBeforeTheBlocksLastFillerStopsTheRelease) {
    const std::string fill(TARNWICK_FIRST_CAPACITY - 4, 'x');  // header word, one length byte, filler
    ASSERT_EQ(tarnwick_create_data(&tree, nullptr, 1, fill.data(), static_cast<uint32_t>(fill.size())), 0);
    ASSERT_EQ(block()->space, 0);
    EXPECT_DEATH(
        {
            block()->data_end -= 1;
            tarnwick_dispose(&tree);
        },
        "after<=block->data_end");
}

// A data_end below the first block's data: every walk stops at the first
// record instead of taking it as lying whole before that end.
TEST_F(WalkDeathTest, DataEndBelowTheDataStopsEveryWalk) {
    ASSERT_EQ(tarnwick_create_data(&tree, nullptr, 5, "secret", 6), 0);
    unsigned char *const below = block()->data - 2;  // inside the block's header
    EXPECT_DEATH(
        {
            block()->data_end = below;
            walk_all(&tree);
        },
        "top->ptr<=block->data_end");
    const auto ignore_event = [](const tarnwick::event &) {};
    EXPECT_DEATH(
        {
            block()->data_end = below;
            tarnwick::detail::visit(&tree, nullptr, ignore_event);
        },
        "damaged tree: top->ptr<=block->data_end");
    EXPECT_DEATH(
        {
            block()->data_end = below;
            for (const tarnwick::event &e : tarnwick::event_range(&tree, nullptr)) ignore_event(e);
        },
        "damaged tree: top->ptr<=block->data_end");
    EXPECT_DEATH(
        {
            block()->data_end = below;
            for (const tarnwick::child &c : tarnwick::child_range(&tree)) (void)c;
        },
        "damaged tree: after<=block->data_end");
}

// A data_end moved back below the read position between two steps.
TEST_F(WalkDeathTest, DataEndBelowTheReadPositionStopsTheIterator) {
    ASSERT_EQ(tarnwick_create_data(&tree, nullptr, 1, "hello", 5), 0);
    EXPECT_DEATH(
        {
            tarnwick_iter iter;
            tarnwick_iter_init(&tree, &iter, nullptr);
            tarnwick_iter_next(&tree, &iter);  // START: the read position is at the payload
            block()->data_end = block()->data + 1;
            tarnwick_iter_next(&tree, &iter);
        },
        "top->ptr<=block->data_end");
}

// A walk moves past a node record by skipping it; a block that ends inside
// the node's header leaves the skip outside the block, for the C walk and
// for the C++ walk with its own checks, and for a read of the list.
TEST_F(WalkDeathTest, BlockEndingInsideANodeHeaderStopsTheWalk) {
    ASSERT_NE(tarnwick_create_node(&tree, nullptr, 1), nullptr);
    EXPECT_DEATH(
        {
            block()->data_end = block()->data + 2;
            walk_all(&tree);
        },
        "after<=block->data_end");
    const auto ignore_event = [](const tarnwick::event &) {};
    EXPECT_DEATH(
        {
            block()->data_end = block()->data + 2;
            tarnwick::detail::visit(&tree, nullptr, ignore_event);
        },
        "damaged tree: after<=block->data_end");
    EXPECT_DEATH(
        {
            block()->data_end = block()->data + 2;
            for (const tarnwick::child &c : tarnwick::child_range(&tree)) (void)c;
        },
        "damaged tree: after<=block->data_end");
}

// A header that claims seven length bytes, more than the block holds after
// it, stops the release before it frees anything.
TEST_F(WalkDeathTest, LengthFieldPastTheBlockStopsTheRelease) {
    ASSERT_EQ(tarnwick_create_data(&tree, nullptr, 1, "hello", 5), 0);
    constexpr unsigned char kSevenLengthBytes = 7 << 1;
    EXPECT_DEATH(
        {
            block()->data[0] |= kSevenLengthBytes;
            tarnwick_dispose(&tree);
        },
        "after<=block->data_end");
}

// A header in the last two bytes of a full block that claims seven length
// bytes: they would lie past the allocation, so the check comes before they
// are read (the sanitizer build sees any read past the block), by the C walk,
// the release, and the C++ walks that run inline in the caller's code.
TEST_F(WalkDeathTest, LengthBytesPastTheAllocationAreNeverRead) {
    constexpr uint32_t kFill = TARNWICK_FIRST_CAPACITY - 2 - 2 - 2;  // header, length bytes, last record
    const std::string fill(kFill, 'x');
    ASSERT_EQ(tarnwick_create_data(&tree, nullptr, 1, fill.data(), kFill), 0);
    ASSERT_EQ(tarnwick_create_data(&tree, nullptr, 2, nullptr, 0), 0);
    ASSERT_EQ(block()->space, 0);
    constexpr unsigned char kSevenLengthBytes = 7 << 1;
    unsigned char *last_header = block()->data_end - 2;
    EXPECT_DEATH(
        {
            *last_header |= kSevenLengthBytes;
            walk_all(&tree);
        },
        "top->ptr<=block->data_end");
    EXPECT_DEATH(
        {
            *last_header |= kSevenLengthBytes;
            tarnwick_dispose(&tree);
        },
        "after<=block->data_end");
    const auto ignore_event = [](const tarnwick::event &) {};
    EXPECT_DEATH(
        {
            *last_header |= kSevenLengthBytes;
            tarnwick::detail::visit(&tree, nullptr, ignore_event);
        },
        "damaged tree: top->ptr<=block->data_end");
    EXPECT_DEATH(
        {
            *last_header |= kSevenLengthBytes;
            for (const tarnwick::event &e : tarnwick::event_range(&tree, nullptr)) ignore_event(e);
        },
        "damaged tree: top->ptr<=block->data_end");
    EXPECT_DEATH(
        {
            *last_header |= kSevenLengthBytes;
            for (const tarnwick::child &c : tarnwick::child_range(&tree)) (void)c;
        },
        "damaged tree: after<=block->data_end");
}

// The sanitizers reserve more address space than any cap leaves room for.
#if defined(__linux__) && !defined(TARNWICK_TEST_ASAN) && !defined(TARNWICK_TEST_TSAN)
// Walks records() over a payload split across blocks with the address space
// capped a little above what the process maps: the join buffer is refused.
// Exits 0 when ++ threw std::bad_alloc and the range ended as ended.
[[noreturn]] void walk_records_short_of_memory() {
    constexpr std::size_t kLength = std::size_t{64} << 20, kHeadroom = std::size_t{16} << 20;
    tarnwick::tree tree;
    tree.add_data(1, std::vector<std::byte>(kLength));
    unsigned long pages = 0;
    std::FILE *statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr || std::fscanf(statm, "%lu", &pages) != 1) std::_Exit(3);
    std::fclose(statm);
    const rlim_t mapped = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
    const rlimit limit = {mapped + kHeadroom, mapped + kHeadroom};
    if (setrlimit(RLIMIT_AS, &limit) != 0) std::_Exit(3);
    auto records = tree.records();
    try {
        for (const tarnwick::record_event &e : records) (void)e;
    } catch (const std::bad_alloc &) {
        std::_Exit(records.stopped_at_limit() || records.begin() != records.end() ? 2 : 0);
    }
    std::_Exit(1);
}

// Emulated runs (TARNWICK_QUICK) cannot cap the program without capping the
// emulator too.
TEST(RecordsDeathTest, ARefusedJoinBufferThrowsAndEndsTheWalk) {
    if (std::getenv("TARNWICK_QUICK") != nullptr) GTEST_SKIP() << "no memory limit under an emulator";
    EXPECT_EXIT(walk_records_short_of_memory(), ::testing::ExitedWithCode(0), "");
}
#endif

}  // namespace

#endif  // GTEST_HAS_DEATH_TEST
