// SPDX-License-Identifier: MIT
// Random trees, built into the library and into the model by the same calls,
// walked both ways from the root and from random nodes, and compared with
// the model event by event and byte by byte, and read list by list. Each tree comes from its own
// start value, so a failure names the one tree to rebuild. One large tree is
// walked by four threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "model.hpp"
#include "walk_check.hpp"

namespace {

constexpr uint32_t kFirstStartValue = 0x7A2D1;
constexpr int kTrees = 300;
constexpr int kQuickTrees = 30;  // under an emulator: TARNWICK_QUICK set
constexpr int kNodeStartsPerTree = 3;
constexpr uint32_t kSharedTreeStartValue = 0x5EED;
constexpr int kSharedTreeAppends = 3000;

int tree_count() { return std::getenv("TARNWICK_QUICK") != nullptr ? kQuickTrees : kTrees; }

// Payload sizes: mostly short, some that run over several blocks, now and
// then one that spans the largest blocks.
std::size_t payload_size(std::mt19937 &rng) {
    const unsigned roll = rng() % 100;
    if (roll < 30) return rng() % 5;
    if (roll < 60) return 5 + rng() % 300;
    if (roll < 85) return 300 + rng() % 2700;
    if (roll < 97) return 3000 + rng() % 17000;
    return 20000 + rng() % 50000;
}

std::string payload(std::mt19937 &rng) {
    std::string bytes(payload_size(rng), '\0');
    uint32_t state = rng() | 1;
    for (char &b : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        b = static_cast<char>(state >> 24);
    }
    return bytes;
}

// Mostly 12-bit tags, some wider to check that only the low bits count.
int random_tag(std::mt19937 &rng) { return static_cast<int>(rng() % 8 == 0 ? rng() % 0x10000 : rng() % 0x1000); }

// Grows a tree by appends spread over all its lists. A "deep" tree mostly
// appends to the newest node, so that chains reach past the nesting limit.
class random_builder {
public:
    random_builder(mirrored_tree &tree, uint32_t start_value)
        : tree_(tree), rng_(start_value), deep_(rng_() % 3 == 0) {}

    void grow(int appends) {
        for (int i = 0; i < appends; ++i) append_one();
    }

    // A live node, or the root list.
    int any_start() {
        const std::vector<int> nodes = tree_.nodes();
        if (nodes.empty() || rng_() % 4 == 0) return tree_model::root;
        return nodes[rng_() % nodes.size()];
    }

    std::mt19937 &rng() { return rng_; }

private:
    int pick_parent() {
        const std::vector<int> nodes = tree_.nodes();
        if (!nodes.empty() && rng_() % 100 < (deep_ ? 70u : 25u)) return nodes.back();
        return any_start();
    }

    void append_one() {
        const int parent = pick_parent();
        const unsigned roll = rng_() % 100;
        if (roll < 2 && parent != tree_model::root) {
            tree_.dispose_children(parent);
        } else if (roll < 30) {
            ASSERT_GE(tree_.node(parent, random_tag(rng_)), 0);
        } else {
            ASSERT_GE(tree_.data(parent, random_tag(rng_), payload(rng_)), 0);
        }
    }

    mirrored_tree &tree_;
    std::mt19937 rng_;
    bool deep_;
};

TEST(WalkModelTest, RandomTreesWalkAsTheirModelsSay) {
    const int trees = tree_count();
    int stopped_walks = 0, complete_walks = 0;
    for (int n = 0; n < trees; ++n) {
        const uint32_t start_value = kFirstStartValue + static_cast<uint32_t>(n);
        SCOPED_TRACE("tree from start value " + std::to_string(start_value));
        mirrored_tree tree;
        random_builder builder(tree, start_value);
        const int appends = 1 + static_cast<int>(builder.rng()() % 120);
        // Walk halfway too: a tree that is still growing walks as well.
        builder.grow(appends / 2);
        ASSERT_TRUE(walks_match_model(tree, tree_model::root));
        builder.grow(appends - appends / 2);
        ASSERT_TRUE(walks_match_model(tree, tree_model::root));
        for (int i = 0; i < kNodeStartsPerTree; ++i) ASSERT_TRUE(walks_match_model(tree, builder.any_start()));
        ASSERT_TRUE(list_matches_model(tree, tree_model::root));
        for (const int node : tree.nodes()) ASSERT_TRUE(list_matches_model(tree, node));

        bool stopped = false;
        tree.model().events(tree_model::root, &stopped);
        ++(stopped ? stopped_walks : complete_walks);
    }
    // The trees reach both sides of the nesting limit.
    EXPECT_GT(stopped_walks, trees / 20);
    EXPECT_GT(complete_walks, trees / 4);
}

// Lists whose records keep one size for a long stretch and then change it,
// or change it at every record, in the root list and in a node's list, over
// several blocks: a walk that guesses where the next record begins from the
// sizes before it must give the same events as the model wherever a guess
// fails. Each row is a pattern of (records, payload length) repeated.
struct size_pattern {
    const char *name;
    std::vector<std::pair<int, std::size_t>> stretches;
    int repeats;
};

TEST(WalkModelTest, ListsOfRecordsOfOneSizeThenAnotherWalkAsTheirModelsSay) {
    const size_pattern patterns[] = {
        {"a long run, then one longer record", {{400, 8}, {1, 10}, {400, 8}}, 2},
        {"a long run, then one shorter record", {{400, 8}, {1, 4}, {400, 8}}, 2},
        {"a long run, then one with an empty payload", {{400, 8}, {1, 0}, {400, 8}}, 2},
        {"a long run, then a longer run", {{400, 8}, {400, 30}}, 2},
        // Payloads of 8 and 9 bytes take the same room, the filler included.
        {"lengths that differ in the same room", {{300, 8}, {300, 9}, {1, 8}, {1, 9}}, 2},
        {"a long run, then a wider length field", {{60, 255}, {60, 256}}, 2},
        {"two sizes alternating", {{1, 8}, {1, 20}}, 600},
        {"two sizes in pairs", {{2, 8}, {2, 20}}, 300},
        {"three sizes in turn", {{1, 2}, {1, 8}, {1, 14}}, 400},
    };
    std::mt19937 rng(kFirstStartValue);
    for (const size_pattern &p : patterns) {
        SCOPED_TRACE(p.name);
        mirrored_tree tree;
        const int node = tree.node(tree_model::root, 1);
        for (const int list : {tree_model::root, node})
            for (int i = 0; i < p.repeats; ++i)
                for (const auto &[records, length] : p.stretches)
                    for (int r = 0; r < records; ++r)
                        ASSERT_GE(tree.data(list, random_tag(rng), std::string(length, static_cast<char>(r))), 0);
        ASSERT_TRUE(walks_match_model(tree, tree_model::root));
        ASSERT_TRUE(walks_match_model(tree, node));
    }
}

// A large tree whose nodes nest at most as deep as a walk goes, so that a
// walk goes through all of it: each append goes to a random list.
void grow_walkable(mirrored_tree &tree, std::mt19937 &rng, int appends) {
    struct list {
        int node;
        int depth;
    };
    std::vector<list> lists{{tree_model::root, 0}};
    for (int i = 0; i < appends; ++i) {
        const list to = lists[rng() % lists.size()];
        if (rng() % 4 == 0 && to.depth < TARNWICK_MAX_LEVELS) {
            lists.push_back({tree.node(to.node, random_tag(rng)), to.depth + 1});
        } else {
            tree.data(to.node, random_tag(rng), payload(rng));
        }
    }
}

// Walks need no exclusive access: four threads walk one tree at once, two
// by callback and two by iterator, while nothing appends, and each sees the
// stream of a walk made before they started (a ThreadSanitizer build checks
// that they touch nothing in common but the tree's bytes).
TEST(WalkModelTest, FourThreadsWalkOneTreeAtOnce) {
    mirrored_tree tree;
    std::mt19937 rng(kSharedTreeStartValue);
    grow_walkable(tree, rng, tree_count() == kTrees ? kSharedTreeAppends : kSharedTreeAppends / 10);
    const std::vector<raw_event> before = visit_raw(tree.root());
    bool stopped = true;
    tree.model().events(tree_model::root, &stopped);
    ASSERT_FALSE(stopped);

    std::vector<raw_event> seen[4];
    // The threads start together by spinning on a count rather than with
    // std::latch: a run of the MinGW build under wine once waited here for
    // good, and a latch's wait is the one blocking call here besides join.
    std::atomic<std::size_t> waiting = std::size(seen);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < std::size(seen); ++i) {
        threads.emplace_back([&, i] {
            waiting.fetch_sub(1);
            while (waiting.load() != 0) std::this_thread::yield();
            seen[i] = i % 2 == 0 ? visit_raw(tree.root()) : iter_raw(tree.root());
        });
    }
    for (std::thread &t : threads) t.join();
    for (const std::vector<raw_event> &events : seen) EXPECT_TRUE(events == before) << first_difference(events, before);
}

}  // namespace
