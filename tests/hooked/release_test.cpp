// SPDX-License-Identifier: MIT
// Releasing trees: which blocks are freed, in which order, what the disposed
// lists look like afterwards, and that stack use does not grow with depth.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#endif

#include "alloc_hook.hpp"
#include "chain.hpp"
#include "events.hpp"
#include "model.hpp"

using namespace chain;

namespace {

using block_order = std::vector<void *>;

// A tree built alongside a model of it and a note of which node handles
// each list holds, in record order, from which the release order follows.
struct tracked_tree {
    tarnwick_list root;
    tree_model model;
    std::map<const tarnwick_list *, std::vector<tarnwick_node *>> nodes;
    std::map<const tarnwick_node *, int> index;

    tracked_tree() { tarnwick_init(&root); }
    ~tracked_tree() { tarnwick_dispose(&root); }
    tracked_tree(const tracked_tree &) = delete;
    tracked_tree &operator=(const tracked_tree &) = delete;

    tarnwick_list *list_of(tarnwick_node *parent) { return parent ? &parent->children : &root; }
    int index_of(tarnwick_node *parent) const { return parent ? index.at(parent) : tree_model::root; }

    tarnwick_node *node(tarnwick_node *parent, int tag) {
        tarnwick_node *n = tarnwick_create_node(parent ? nullptr : &root, parent, tag);
        EXPECT_NE(n, nullptr);
        nodes[list_of(parent)].push_back(n);
        index[n] = model.add_node(index_of(parent), tag);
        return n;
    }

    void data(tarnwick_node *parent, int tag, const std::string &bytes) {
        EXPECT_EQ(tarnwick_create_data(parent ? nullptr : &root, parent, tag, bytes.data(),
                                       static_cast<uint32_t>(bytes.size())),
                  0);
        model.add_data(index_of(parent), tag, bytes);
    }

    // The order the release must follow: every node's descendants, in record
    // order, before the blocks of the list that holds it, in chain order.
    void release_order(const tarnwick_list *list, block_order &out) const {
        if (auto it = nodes.find(list); it != nodes.end())
            for (const tarnwick_node *n : it->second) release_order(&n->children, out);
        for (tarnwick_block *b : blocks(*list)) out.push_back(b);
    }
    block_order release_order(const tarnwick_list *list) const {
        block_order out;
        release_order(list, out);
        return out;
    }

    // Forgets what disposing `n`'s handle released.
    void forget_children(tarnwick_node *n) {
        nodes.erase(&n->children);
        model.clear(index.at(n));
    }
};

class Release : public ::testing::Test {
protected:
    void SetUp() override {
        test_alloc::reset();
        live_before = test_alloc::live();
    }
    void TearDown() override { EXPECT_EQ(test_alloc::live(), live_before) << "blocks left unreleased"; }

    // Every block allocated since the reset was freed, and freed once.
    static void expect_each_freed_once() {
        block_order allocated = test_alloc::log().allocated;
        block_order freed = test_alloc::log().freed;
        std::sort(allocated.begin(), allocated.end());
        std::sort(freed.begin(), freed.end());
        EXPECT_EQ(freed, allocated);
    }

    std::size_t live_before = 0;
};

TEST_F(Release, ChildrenGoBeforeTheBlocksThatHoldThem) {
    tracked_tree t;
    t.data(nullptr, 1, pattern(1000));
    tarnwick_node *n = t.node(nullptr, 2);
    t.data(nullptr, 3, "x");
    t.data(n, 4, pattern(300));
    tarnwick_node *m = t.node(n, 5);
    t.data(m, 6, "m");
    const std::vector<tarnwick_block *> r = blocks(t.root), nb = blocks(n->children), mb = blocks(m->children);
    ASSERT_EQ(r.size(), 3u);
    ASSERT_EQ(nb.size(), 2u);
    ASSERT_EQ(mb.size(), 1u);

    tarnwick_dispose(&t.root);
    EXPECT_EQ(test_alloc::log().freed, (block_order{mb[0], nb[0], nb[1], r[0], r[1], r[2]}));
    EXPECT_EQ(t.root.first, nullptr);
    EXPECT_EQ(t.root.last, nullptr);
    expect_each_freed_once();
}

TEST_F(Release, NothingToReleaseFreesNothing) {
    tarnwick_dispose(nullptr);
    tracked_tree t;
    tarnwick_dispose(&t.root);
    EXPECT_EQ(t.root.first, nullptr);
    EXPECT_EQ(t.root.last, nullptr);
    tarnwick_node *childless = t.node(nullptr, 1);
    const tarnwick_node before = *childless;
    tarnwick_dispose(&childless->children);
    EXPECT_TRUE(test_alloc::log().freed.empty());
    EXPECT_EQ(std::memcmp(childless, &before, sizeof before), 0);

    tarnwick_dispose(&t.root);
    const std::size_t freed = test_alloc::log().freed.size();
    EXPECT_EQ(freed, 1u);
    tarnwick_dispose(&t.root);
    EXPECT_EQ(test_alloc::log().freed.size(), freed);
    EXPECT_EQ(t.root.first, nullptr);
}

// Disposing a node's handle frees its descendants only: the parent's blocks
// keep every byte but the handle's list, which is now empty, and the node
// can be built again from a fresh first block.
TEST_F(Release, DisposedHandleLeavesTheNodeChildless) {
    tracked_tree t;
    t.data(nullptr, 1, "before");
    tarnwick_node *n = t.node(nullptr, 2);
    tarnwick_node *sibling = t.node(nullptr, 3);
    t.data(sibling, 4, pattern(700));
    t.data(n, 5, pattern(1000));
    for (int i = 0; i < 40; ++i) t.data(t.node(n, 6 + i % 3), 9, pattern(static_cast<std::size_t>(i) * 37));
    t.data(nullptr, 10, "after");
    const void *record = n->record;
    const block_order expected = t.release_order(&n->children);
    ASSERT_GT(blocks(n->children).size(), 2u);

    std::string parent_bytes =
        std::string(reinterpret_cast<const char *>(t.root.first), kBlockHeader + t.root.first->capacity);
    const std::size_t handle_at =
        static_cast<std::size_t>(reinterpret_cast<char *>(n) - reinterpret_cast<char *>(t.root.first));
    std::memset(&parent_bytes[handle_at], 0, sizeof(tarnwick_list));

    tarnwick_dispose(&n->children);
    t.forget_children(n);
    EXPECT_EQ(test_alloc::log().freed, expected);
    EXPECT_EQ(n->children.first, nullptr);
    EXPECT_EQ(n->children.last, nullptr);
    EXPECT_EQ(n->record, record);
    ASSERT_EQ(t.root.first, t.root.last);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(t.root.first), parent_bytes.size()), parent_bytes);
    EXPECT_EQ(merge_data(visit_events(&t.root)), t.model.events());

    t.data(n, 11, "again");
    EXPECT_EQ(test_alloc::log().sizes.back(), kBlockHeader + kFirstCapacity);
    ASSERT_NE(n->children.first, nullptr);
    EXPECT_EQ(n->children.first, n->children.last);
    EXPECT_EQ(n->children.first->capacity, kFirstCapacity);
    EXPECT_EQ(merge_data(visit_events(&t.root)), t.model.events());

    const block_order rest = t.release_order(&t.root);
    const std::size_t done = test_alloc::log().freed.size();
    tarnwick_dispose(&t.root);
    EXPECT_EQ(
        block_order(test_alloc::log().freed.begin() + static_cast<std::ptrdiff_t>(done), test_alloc::log().freed.end()),
        rest);
    expect_each_freed_once();
}

// Trees of many shapes, deep and wide, with payloads over several blocks,
// against the depth-first definition of the order; first one node's
// handle, then the root.
TEST_F(Release, OrderFollowsTheDepthFirstDefinition) {
    uint32_t rng_state = 12345;
    auto next = [&rng_state](uint32_t bound) {
        rng_state = rng_state * 1103515245u + 12345u;
        return (rng_state >> 16) % bound;
    };
    const std::size_t lengths[] = {0, 1, 5, 250, 300, 1000, 3000};
    for (int round = 0; round < 30; ++round) {
        SCOPED_TRACE(round);
        test_alloc::reset();
        tracked_tree t;
        std::vector<tarnwick_node *> handles = {nullptr};
        for (int step = 0; step < 300; ++step) {
            // Half the appends go under the newest node, so trees grow deep.
            tarnwick_node *parent = next(2) ? handles.back() : handles[next(static_cast<uint32_t>(handles.size()))];
            if (next(3) == 0)
                handles.push_back(t.node(parent, step));
            else
                t.data(parent, step, pattern(lengths[next(std::size(lengths))]));
        }
        ASSERT_GT(handles.size(), 1u);
        tarnwick_node *chosen = handles[1 + next(static_cast<uint32_t>(handles.size() - 1))];
        const block_order below = t.release_order(&chosen->children);
        tarnwick_dispose(&chosen->children);
        t.forget_children(chosen);
        ASSERT_EQ(test_alloc::log().freed, below);

        block_order all = below;
        t.release_order(&t.root, all);
        tarnwick_dispose(&t.root);
        ASSERT_EQ(test_alloc::log().freed, all);
        expect_each_freed_once();
    }
}

// A length field damaged to claim more bytes than the chain holds, in one
// block and across three: the release stops at the end of the last block,
// reads nothing beyond it (the sanitizer builds see such reads) and still
// frees every block once.
TEST_F(Release, LengthPastTheChainsEndStillFreesEveryBlock) {
    for (const std::size_t length : {5u, 1000u}) {
        SCOPED_TRACE(length);
        test_alloc::reset();
        tarnwick_list root;
        tarnwick_init(&root);
        const std::string bytes = pattern(length);
        ASSERT_EQ(tarnwick_create_data(&root, nullptr, 1, bytes.data(), static_cast<uint32_t>(length)), 0);
        ASSERT_EQ(blocks(root).size(), length < kFirstCapacity ? 1u : 3u);
        unsigned char *record = root.first->data;
        record[2 + length_bytes_of(record) - 1] = 0xFF;  // the length field's top byte
        tarnwick_dispose(&root);
        EXPECT_EQ(root.first, nullptr);
        expect_each_freed_once();
    }
}

// Runs tarnwick_dispose(list) on a thread with a small stack, far too small
// for one frame per level of a deep tree; returns whether the thread ran.
constexpr std::size_t kSmallStack = 256 * 1024;

#ifdef _WIN32
DWORD WINAPI dispose_thread(LPVOID list) {
    tarnwick_dispose(static_cast<tarnwick_list *>(list));
    return 0;
}

bool dispose_on_small_stack(tarnwick_list *list) {
    HANDLE thread =
        CreateThread(nullptr, kSmallStack, dispose_thread, list, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == nullptr) return false;
    const bool done = WaitForSingleObject(thread, INFINITE) == WAIT_OBJECT_0;
    CloseHandle(thread);
    return done;
}
#else
void *dispose_thread(void *list) {
    tarnwick_dispose(static_cast<tarnwick_list *>(list));
    return nullptr;
}

bool dispose_on_small_stack(tarnwick_list *list) {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return false;
    pthread_t thread;
    const bool started = pthread_attr_setstacksize(&attributes, kSmallStack) == 0 &&
                         pthread_create(&thread, &attributes, dispose_thread, list) == 0;
    pthread_attr_destroy(&attributes);
    return started && pthread_join(thread, nullptr) == 0;
}
#endif

// Each level is one node in a one-block list, so the blocks are freed in
// exactly the reverse of the order they were allocated.
TEST_F(Release, MillionNestedNodesOnSmallStack) {
    constexpr std::size_t kDepth = 1000000;
    tarnwick_list root;
    tarnwick_init(&root);
    tarnwick_node *node = tarnwick_create_node(&root, nullptr, 1);
    for (std::size_t level = 1; level < kDepth && node != nullptr; ++level)
        node = tarnwick_create_node(nullptr, node, static_cast<int>(level));
    ASSERT_NE(node, nullptr);
    const block_order &allocated = test_alloc::log().allocated;
    ASSERT_EQ(allocated.size(), kDepth);

    ASSERT_TRUE(dispose_on_small_stack(&root));
    EXPECT_EQ(root.first, nullptr);
    EXPECT_EQ(root.last, nullptr);
    const block_order &freed = test_alloc::log().freed;
    ASSERT_EQ(freed.size(), kDepth);
    EXPECT_TRUE(std::equal(freed.begin(), freed.end(), allocated.rbegin()));
}

}  // namespace
