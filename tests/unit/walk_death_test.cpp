// SPDX-License-Identifier: MIT
// A damaged block stops a walk, or a release, at an assertion instead of
// letting it read outside the block. The assertions stay on in every build
// type. Each damage is done inside the dying statement, so the test's own
// process keeps a sound tree that it can release.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <utility>
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

// The walks a damage is tried on. "Iterator, damaged after START" takes one
// step before the damage, so that the read position is already inside the
// record.
enum class walk { callback, iterator_damaged_after_start, release, visit, range, children };
const char *const walk_names[] = {"callback walk", "iterator, damaged after START", "release", "C++ visit", "C++ range",
                                  "C++ children"};

void walk_damaged(walk kind, tarnwick_list *tree, const std::function<void(tarnwick_list *)> &damage) {
    const auto ignore_event = [](const tarnwick::event &) {};
    if (kind != walk::iterator_damaged_after_start) damage(tree);
    switch (kind) {
    case walk::callback: walk_all(tree); break;
    case walk::iterator_damaged_after_start: {
        tarnwick_iter iter;
        tarnwick_iter_init(tree, &iter, nullptr);
        tarnwick_iter_next(tree, &iter);
        damage(tree);
        while (tarnwick_iter_next(tree, &iter) != nullptr) {
        }
        break;
    }
    case walk::release: tarnwick_dispose(tree); break;
    case walk::visit: tarnwick::detail::visit(tree, nullptr, ignore_event); break;
    case walk::range:
        for (const tarnwick::event &e : tarnwick::event_range(tree, nullptr)) ignore_event(e);
        break;
    case walk::children:
        for (const tarnwick::child &c : tarnwick::child_range(tree)) (void)c;
        break;
    }
}

// One kind of damage to a sound tree, and the check each walk stops at.
struct damage_case {
    const char *name;
    std::function<void(tarnwick_list *)> build, damage;
    std::vector<std::pair<walk, const char *>> stops;
};

tarnwick_block *first(tarnwick_list *tree) { return tree->first; }

constexpr unsigned char kSevenLengthBytes = 7 << 1;

// Fills the first block to its end: a record up to the last two bytes, and
// there an empty record's header, whose length bytes would lie past it.
void fill_to_a_last_header(tarnwick_list *tree) {
    constexpr uint32_t kFill = TARNWICK_FIRST_CAPACITY - 2 - 2 - 2;  // header, length bytes, last record
    const std::string fill(kFill, 'x');
    ASSERT_EQ(tarnwick_create_data(tree, nullptr, 1, fill.data(), kFill), 0);
    ASSERT_EQ(tarnwick_create_data(tree, nullptr, 2, nullptr, 0), 0);
    ASSERT_EQ(first(tree)->space, 0);
}

// Each damage is done inside the dying statement; the C walks stop at the
// library's assertions, the C++ walks at the same checks with "damaged tree:"
// in front. Reads past a block that no check catches show in the sanitizer
// build, which runs these too.
TEST_F(WalkDeathTest, DamagedBlocksStopEveryWalkAtACheck) {
    const damage_case cases[] = {
        // "ab" takes five bytes and a filler; data_end cut to the odd address
        // in front of the filler leaves the read position, rounded up to even
        // after the payload, one past the block's end.
        {"data_end cut before a filler",
         [](tarnwick_list *t) { ASSERT_EQ(tarnwick_create_data(t, nullptr, 1, "ab", 2), 0); },
         [](tarnwick_list *t) { first(t)->data_end -= 1; },
         {{walk::callback, "top->ptr<=block->data_end"}}},
        // A record that fills its block up to a filler: the release finds the
        // next record one past the cut end, past the allocation, and stops
        // before reading there.
        {"data_end cut before the block's last filler",
         [](tarnwick_list *t) {
             const std::string fill(TARNWICK_FIRST_CAPACITY - 4, 'x');  // header word, one length byte, filler
             ASSERT_EQ(tarnwick_create_data(t, nullptr, 1, fill.data(), static_cast<uint32_t>(fill.size())), 0);
             ASSERT_EQ(first(t)->space, 0);
         },
         [](tarnwick_list *t) { first(t)->data_end -= 1; },
         {{walk::release, "after<=block->data_end"}}},
        // The same cut after a long run of records of one size and a few of
        // another ("ab" again): walks that guess where each record begins
        // from the sizes before it stop at the same check.
        {"data_end cut before a filler after a long run of one size",
         [](tarnwick_list *t) {
             for (int i = 0; i < 200; ++i) ASSERT_EQ(tarnwick_create_data(t, nullptr, 1, "12345678", 8), 0);
             for (int i = 0; i < 3; ++i) ASSERT_EQ(tarnwick_create_data(t, nullptr, 2, "ab", 2), 0);
         },
         [](tarnwick_list *t) { t->last->data_end -= 1; },
         {{walk::callback, "top->ptr<=block->data_end"},
          {walk::visit, "damaged tree: top->ptr<=block->data_end"},
          {walk::range, "damaged tree: top->ptr<=block->data_end"}}},
        // Below the first block's data: every walk stops at the first record
        // instead of taking it as lying whole before that end.
        {"data_end below the data",
         [](tarnwick_list *t) { ASSERT_EQ(tarnwick_create_data(t, nullptr, 5, "secret", 6), 0); },
         [](tarnwick_list *t) { first(t)->data_end = first(t)->data - 2; },  // inside the block's header
         {{walk::callback, "top->ptr<=block->data_end"},
          {walk::visit, "damaged tree: top->ptr<=block->data_end"},
          {walk::range, "damaged tree: top->ptr<=block->data_end"},
          {walk::children, "damaged tree: after<=block->data_end"}}},
        {"data_end moved below the read position between two steps",
         [](tarnwick_list *t) { ASSERT_EQ(tarnwick_create_data(t, nullptr, 1, "hello", 5), 0); },
         [](tarnwick_list *t) { first(t)->data_end = first(t)->data + 1; },
         {{walk::iterator_damaged_after_start, "top->ptr<=block->data_end"}}},
        // A walk moves past a node record by skipping it; a block that ends
        // inside the node's header leaves the skip outside the block.
        {"block ending inside a node header",
         [](tarnwick_list *t) { ASSERT_NE(tarnwick_create_node(t, nullptr, 1), nullptr); },
         [](tarnwick_list *t) { first(t)->data_end = first(t)->data + 2; },
         {{walk::callback, "after<=block->data_end"},
          {walk::visit, "damaged tree: after<=block->data_end"},
          {walk::children, "damaged tree: after<=block->data_end"}}},
        // Seven length bytes claimed, more than the block holds after the
        // header: the release stops before it frees anything.
        {"length field past the block",
         [](tarnwick_list *t) { ASSERT_EQ(tarnwick_create_data(t, nullptr, 1, "hello", 5), 0); },
         [](tarnwick_list *t) { first(t)->data[0] |= kSevenLengthBytes; },
         {{walk::release, "after<=block->data_end"}}},
        // The same claim in the block's last two bytes: the length bytes would
        // lie past the allocation, so the check comes before they are read.
        {"length bytes past the allocation",
         fill_to_a_last_header,
         [](tarnwick_list *t) { *(first(t)->data_end - 2) |= kSevenLengthBytes; },
         {{walk::callback, "top->ptr<=block->data_end"},
          {walk::release, "after<=block->data_end"},
          {walk::visit, "damaged tree: top->ptr<=block->data_end"},
          {walk::range, "damaged tree: top->ptr<=block->data_end"},
          {walk::children, "damaged tree: after<=block->data_end"}}},
    };
    for (const damage_case &c : cases) {
        tarnwick_list damaged;
        tarnwick_init(&damaged);
        c.build(&damaged);
        for (const auto &[kind, check] : c.stops) {
            SCOPED_TRACE(std::string(c.name) + ", " + walk_names[static_cast<int>(kind)]);
            EXPECT_DEATH(walk_damaged(kind, &damaged, c.damage), check);
        }
        tarnwick_dispose(&damaged);
    }
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
