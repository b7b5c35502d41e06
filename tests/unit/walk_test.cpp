// SPDX-License-Identifier: MIT
// The walks on trees whose events are known exactly: the stream's shape,
// where DATA pieces fall, block boundaries, the nesting limit, starting
// lists without records, null arguments, several walks at once, and records
// appended while a walk is under way.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "events.hpp"
#include "model.hpp"
#include "walk_check.hpp"

namespace {

constexpr int root = tree_model::root;

std::string bytes_of(std::size_t n, unsigned salt = 0) {
    std::string out(n, '\0');
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<char>((i * 131 + i / 256 + salt) & 0xFF);
    return out;
}

std::vector<unsigned> start_tags(const std::vector<recorded_event> &events) {
    std::vector<unsigned> tags;
    for (const recorded_event &e : events)
        if (e.type == TARNWICK_EVENT_START) tags.push_back(e.tag);
    return tags;
}

// Each call of a callback walk, with the context it was given.
struct call {
    void *context;
    raw_event event;
};

int TARNWICK_CALL note_call(void *context, int type, unsigned tag, const unsigned char *bytes, int length) {
    static_cast<std::vector<call> *>(context)->push_back({context, {type, tag, bytes, length}});
    return 0;
}

int TARNWICK_CALL count_call(void *context, int, unsigned, const unsigned char *, int) {
    ++*static_cast<int *>(context);
    return 0;
}

// ---- The stream's shape -----------------------------------------------------

TEST(WalkTest, TypicalLifeGivesFiveEventsIntoTheBlockAndThenEnds) {
    tarnwick_list tree;
    tarnwick_init(&tree);
    tarnwick_node *node = tarnwick_create_node(&tree, nullptr, 1);
    ASSERT_NE(node, nullptr);
    ASSERT_EQ(tarnwick_create_data(&tree, node, 2, "hi", 2), 0);
    // The leaf is the first record of the node's first block: its two bytes
    // follow its header word and one length byte.
    const unsigned char *leaf_bytes = node->children.first->data + 3;
    const std::vector<raw_event> expected = {{TARNWICK_EVENT_START, 1, nullptr, 0},
                                             {TARNWICK_EVENT_START, 2, nullptr, 0},
                                             {TARNWICK_EVENT_DATA, 2, leaf_bytes, 2},
                                             {TARNWICK_EVENT_END, 2, nullptr, 0},
                                             {TARNWICK_EVENT_END, 1, nullptr, 0}};

    std::vector<call> calls;
    tarnwick_visit_node(&tree, nullptr, &calls, note_call);
    ASSERT_EQ(calls.size(), expected.size());
    for (std::size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].context, &calls) << "call " << i;
        EXPECT_EQ(calls[i].event, expected[i]) << "call " << i;
    }

    tarnwick_iter iter;
    tarnwick_iter_init(&tree, &iter, nullptr);
    EXPECT_EQ(iter.levels, TARNWICK_MAX_LEVELS);
    EXPECT_EQ(iter.top, &iter.frames[0]);
    EXPECT_EQ(tarnwick_iter_next(&tree, &iter), &iter.event);

    // Once the last END is out, the iterator returns null for good and keeps it.
    const pulled_walk pulled = pull(&tree, nullptr);
    EXPECT_EQ(pulled.events, expected);
    EXPECT_FALSE(pulled.stopped);
    EXPECT_EQ(pulled.after_null, expected.back());
    EXPECT_TRUE(pulled.stays_null);
    tarnwick_dispose(&tree);
}

// Small trees, one block per list, compared event by event.
struct shape_case {
    const char *name;
    std::function<void(mirrored_tree &)> build;
    std::vector<recorded_event> expected;
};

TEST(WalkTest, ShapesOfSmallTrees) {
    const shape_case cases[] = {
        {"node holding data, then data",
         [](mirrored_tree &t) {
             t.data(t.node(root, 1), 2, "hi");
             t.data(root, 3, "x");
         },
         {start(1), start(2), data(2, "hi"), end(2), end(1), start(3), data(3, "x"), end(3)}},
        {"zero-length records at every place",
         [](mirrored_tree &t) {
             t.data(root, 4, "");
             const int n = t.node(root, 5);
             t.data(n, 6, "");
             t.data(n, 7, "");
             t.data(root, 8, "");
         },
         {start(4), end(4), start(5), start(6), end(6), start(7), end(7), end(5), start(8), end(8)}},
        {"nodes that never had children, first, between and last",
         [](mirrored_tree &t) {
             t.node(root, 1);
             t.data(root, 2, "a");
             t.node(t.node(root, 3), 4);
             t.node(root, 5);
         },
         {start(1), end(1), start(2), data(2, "a"), end(2), start(3), start(4), end(4), end(3), start(5), end(5)}},
        {"nodes whose children were disposed",
         [](mirrored_tree &t) {
             const int a = t.node(root, 1);
             t.data(a, 2, "gone");
             const int b = t.node(root, 3);
             t.data(t.node(b, 4), 5, "gone too");
             t.dispose_children(a);
             t.dispose_children(b);
         },
         {start(1), end(1), start(3), end(3)}},
        {"disposed children, then new ones",
         [](mirrored_tree &t) {
             const int a = t.node(root, 1);
             t.data(a, 2, "old");
             t.dispose_children(a);
             t.data(a, 3, "new");
         },
         {start(1), start(3), data(3, "new"), end(3), end(1)}},
    };
    for (const shape_case &c : cases) {
        SCOPED_TRACE(c.name);
        mirrored_tree t;
        c.build(t);
        EXPECT_EQ(visit_events(t.root()), c.expected);
        EXPECT_EQ(iter_events(t.root()), c.expected);
        EXPECT_TRUE(walks_match_model(t, root));
    }
}

// ---- Payloads over several blocks ----------------------------------------------

// A record's first piece fills what its header leaves of the first block;
// every further block of a fresh list is filled whole (256, 512, ... up to
// 16384 bytes) except the last. Only node records in front of the record
// depend on the pointer width.
struct pieces_case {
    const char *name;
    int nodes_before;
    uint32_t length;
    std::vector<int> pieces;
};

TEST(WalkTest, LongRecordsGiveOnePiecePerBlockInsideIt) {
    constexpr int kNode = TARNWICK_NODE_RECORD_SIZE;  // 20 with 4-byte pointers, 36 with 8
    const pieces_case cases[] = {
        {"1000 bytes in a fresh list", 0, 1000, {252, 512, 236}},
        {"65536 bytes in a fresh list", 0, 65536, {251, 512, 1024, 2048, 4096, 8192, 16384, 16384, 16384, 261}},
        {"1000 bytes after a node record", 1, 1000, {252 - kNode, 512, 236 + kNode}},
        {"1000 bytes after two node records", 2, 1000, {252 - 2 * kNode, 512, 236 + 2 * kNode}},
    };
    if (sizeof(void *) == 4) {
        EXPECT_EQ(cases[2].pieces, (std::vector<int>{232, 512, 256}));
    }
    for (const pieces_case &c : cases) {
        SCOPED_TRACE(c.name);
        mirrored_tree t;
        for (int i = 0; i < c.nodes_before; ++i) t.node(root, 1);
        ASSERT_GE(t.data(root, 9, bytes_of(c.length)), 0);
        const std::vector<raw_event> events = visit_raw(t.root());
        EXPECT_EQ(iter_raw(t.root()), events);
        std::vector<const raw_event *> pieces;
        for (const raw_event &e : events)
            if (e.type == TARNWICK_EVENT_DATA) pieces.push_back(&e);
        ASSERT_EQ(pieces.size(), c.pieces.size());
        // Piece i lies in block i: it runs to the block's end (the last one,
        // which starts at an even data area, to its filler byte, if odd), and
        // all but the first start at the block's data.
        const tarnwick_block *block = t.root()->first;
        for (std::size_t i = 0; i < pieces.size(); ++i, block = block->next) {
            ASSERT_NE(block, nullptr);
            EXPECT_EQ(pieces[i]->length, c.pieces[i]) << "piece " << i;
            const std::ptrdiff_t short_of_end = block->data_end - (pieces[i]->data + pieces[i]->length);
            EXPECT_EQ(short_of_end, i + 1 < pieces.size() ? 0 : c.pieces.back() % 2) << "piece " << i;
            if (i > 0) {
                EXPECT_EQ(pieces[i]->data, block->data) << "piece " << i;
            }
        }
        EXPECT_EQ(block, nullptr);
        EXPECT_TRUE(walks_match_model(t, root));
    }
}

// ---- Records at a block's end ---------------------------------------------------

// The tail of a list is left with exactly `space` bytes, then the record
// under test is appended, then records of both kinds follow it.
struct block_end_case {
    const char *name;
    unsigned space;
    bool node;        // the record under test is a node record
    uint32_t length;  // its payload, for a data record
};

TEST(WalkTest, RecordsAtABlocksEndAndTheRecordsAfterThemAreReported) {
    const block_end_case cases[] = {
        {"header and length fill the tail, payload in the next block", 4, false, 300},
        {"a four-byte length fills the tail, 2^24 + 1 bytes follow", 6, false, (uint32_t{1} << 24) + 1},
        {"zero-length record fills the tail", 2, false, 0},
        {"record fills the tail exactly", 20, false, 17},
        {"odd record's filler byte fills the tail", 6, false, 3},
        {"header does not fit: the tail is abandoned", 2, false, 300},
        {"node record fills the tail exactly", TARNWICK_NODE_RECORD_SIZE, true, 0},
        {"node record does not fit: the tail is abandoned", TARNWICK_NODE_RECORD_SIZE - 2, true, 0},
    };
    for (const block_end_case &c : cases) {
        for (const bool under_node : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (under_node ? ", in a node's list" : ", in the root list"));
            mirrored_tree t;
            const int parent = under_node ? t.node(root, 1) : root;
            ASSERT_GE(t.leave_space(parent, c.space, 6), 0);
            const int tested = c.node ? t.node(parent, 7) : t.data(parent, 7, bytes_of(c.length));
            ASSERT_GE(tested, 0);
            if (c.node) t.data(tested, 12, "inside");
            t.data(parent, 8, "next");
            t.data(t.node(parent, 9), 10, "c");
            t.data(parent, 11, "");
            if (under_node) t.data(root, 13, "after the node");
            ASSERT_NE(t.list(parent)->first, t.list(parent)->last) << "the records after it are in a new block";
            EXPECT_TRUE(walks_match_model(t, root));
            if (under_node) {
                EXPECT_TRUE(walks_match_model(t, parent));
            }
        }
    }
}

// ---- Children appended after later records ----------------------------------------

TEST(WalkTest, ChildrenAppendedAfterLaterRecordsOfTheParentStayInsideTheirNode) {
    mirrored_tree t;
    const int a = t.node(root, 1);
    t.data(root, 2, "b");
    const int c = t.node(root, 3);
    t.data(a, 4, bytes_of(600, 4));
    t.data(c, 5, "c");
    const int e = t.node(a, 6);
    t.data(e, 7, bytes_of(3000, 7));
    t.data(root, 8, bytes_of(2000, 8));
    t.data(e, 10, bytes_of(40, 10));
    t.data(a, 9, bytes_of(700, 9));
    const std::vector<recorded_event> events = merge_data(visit_events(t.root()));
    EXPECT_EQ(start_tags(events), (std::vector<unsigned>{1, 4, 6, 7, 10, 9, 2, 3, 5, 8}));
    EXPECT_TRUE(walks_match_model(t, root));
    EXPECT_TRUE(walks_match_model(t, a));
    EXPECT_TRUE(walks_match_model(t, e));
}

// ---- The nesting limit ----------------------------------------------------------------

// A chain of nested nodes tagged 1, 2, ... with a data leaf (tag 100) in the
// innermost, walked from the root or from one of the chain's nodes.
struct nesting_case {
    const char *name;
    int depth;
    int from;  // 0: the root list; k: node k's handle
    std::vector<unsigned> starts;
    bool complete;
};

TEST(WalkTest, NodesNestedSevenDeepAreWalkedAndAnEighthStopsTheWalk) {
    const nesting_case cases[] = {
        {"seven levels", 7, 0, {1, 2, 3, 4, 5, 6, 7, 100}, true},
        {"eight levels", 8, 0, {1, 2, 3, 4, 5, 6, 7}, false},
        {"eight levels from the first node", 8, 1, {2, 3, 4, 5, 6, 7, 8, 100}, true},
        {"nine levels from the first node", 9, 1, {2, 3, 4, 5, 6, 7, 8}, false},
        {"twelve levels from the fourth node", 12, 4, {5, 6, 7, 8, 9, 10, 11}, false},
    };
    for (const nesting_case &c : cases) {
        SCOPED_TRACE(c.name);
        mirrored_tree t;
        std::vector<int> chain = {root};
        for (int level = 1; level <= c.depth; ++level) chain.push_back(t.node(chain.back(), level));
        t.data(chain.back(), 100, "leaf");
        const tarnwick_node *from = t.handle(chain[static_cast<std::size_t>(c.from)]);
        const std::vector<recorded_event> events = visit_events(t.root(), from);
        EXPECT_EQ(start_tags(events), c.starts);
        if (c.complete) {
            ASSERT_EQ(events.size(), 2 * c.starts.size() + 1) << "a START and an END each, and the leaf's DATA";
            EXPECT_EQ(events.back(), end(c.starts.front()));
        } else {
            EXPECT_EQ(events.size(), c.starts.size()) << "nothing but the STARTs";
        }
        EXPECT_TRUE(walks_match_model(t, chain[static_cast<std::size_t>(c.from)]));
    }
}

// After the null at the limit, the iterator holds the START of the node it
// did not enter, `top` stays set, and no later call returns anything, in
// particular not the node's own bytes. Records before the node at its level
// are delivered; those after it are not.
TEST(WalkTest, NestingLimitStopsTheIteratorForGood) {
    mirrored_tree t;
    int parent = root;
    for (int level = 1; level <= TARNWICK_MAX_LEVELS; ++level) parent = t.node(parent, level);
    t.data(parent, 20, "before");
    const int too_deep = t.node(parent, 8);
    t.data(too_deep, 30, "never");
    t.data(parent, 21, "after");

    tarnwick_iter iter;
    std::memset(&iter, 0xA5, sizeof iter);  // init overwrites all of it
    tarnwick_iter_init(t.root(), &iter, nullptr);
    std::vector<raw_event> pulled;
    while (const tarnwick_event *e = tarnwick_iter_next(nullptr, &iter)) pulled.push_back(as_raw(*e));
    const std::vector<raw_event> visited = visit_raw(t.root());
    EXPECT_EQ(pulled, visited);
    EXPECT_EQ(start_tags(recorded(visited)), (std::vector<unsigned>{1, 2, 3, 4, 5, 6, 7, 20}));
    ASSERT_FALSE(visited.empty());
    EXPECT_EQ(visited.back(), (raw_event{TARNWICK_EVENT_END, 20, nullptr, 0}));

    const tarnwick_frame *top = iter.top;
    ASSERT_NE(top, nullptr);
    EXPECT_EQ(top, &iter.frames[TARNWICK_MAX_LEVELS]);
    EXPECT_EQ(iter.levels, 0);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(tarnwick_iter_next(nullptr, &iter), nullptr) << "call " << i;
        EXPECT_EQ(iter.top, top);
        EXPECT_EQ(as_raw(iter.event), (raw_event{TARNWICK_EVENT_START, 8, nullptr, 0}));
    }
}

// ---- Where a walk starts ----------------------------------------------------------------

TEST(WalkTest, WalkingFromANodeHandleGivesOnlyItsDescendants) {
    mirrored_tree t;
    t.data(root, 1, "before");
    const int n = t.node(root, 2);
    t.data(n, 3, "three");
    const int inner = t.node(n, 4);
    t.data(inner, 5, "five");
    t.data(root, 6, "after");
    const std::vector<recorded_event> from_n = {start(3), data(3, "three"), end(3), start(4),
                                                start(5), data(5, "five"),  end(5), end(4)};
    const std::vector<recorded_event> from_inner = {start(5), data(5, "five"), end(5)};
    // The root list is not read when a node is given.
    EXPECT_EQ(visit_events(nullptr, t.handle(n)), from_n);
    EXPECT_EQ(iter_events(nullptr, t.handle(n)), from_n);
    EXPECT_EQ(visit_events(t.root(), t.handle(inner)), from_inner);
    EXPECT_EQ(iter_events(t.root(), t.handle(inner)), from_inner);
    EXPECT_TRUE(walks_match_model(t, n));
}

// Starting lists without records: the callback is never called, and the
// iterator's first call returns null with `top` already null.
TEST(WalkTest, StartingListWithoutRecordsGivesNoEvents) {
    mirrored_tree t;
    const int childless = t.node(root, 1);
    const int emptied = t.node(root, 2);
    t.data(emptied, 3, "gone");
    t.dispose_children(emptied);
    tarnwick_list fresh;
    tarnwick_init(&fresh);
    tarnwick_list disposed;
    tarnwick_init(&disposed);
    tarnwick_create_data(&disposed, nullptr, 1, "x", 1);
    tarnwick_dispose(&disposed);

    struct start_list {
        const char *name;
        const tarnwick_list *root;
        const tarnwick_node *node;
    };
    const start_list lists[] = {{"fresh root", &fresh, nullptr},
                                {"disposed root", &disposed, nullptr},
                                {"node without children", t.root(), t.handle(childless)},
                                {"node whose children were disposed", nullptr, t.handle(emptied)}};
    for (const start_list &s : lists) {
        SCOPED_TRACE(s.name);
        int calls = 0;
        tarnwick_visit_node(s.root, s.node, &calls, count_call);
        EXPECT_EQ(calls, 0);
        tarnwick_iter iter;
        tarnwick_iter_init(s.root, &iter, s.node);
        EXPECT_EQ(iter.top, nullptr);
        EXPECT_EQ(iter.levels, TARNWICK_MAX_LEVELS);
        EXPECT_EQ(tarnwick_iter_next(s.root, &iter), nullptr);
        EXPECT_EQ(tarnwick_iter_next(s.root, &iter), nullptr);
        EXPECT_EQ(iter.event.type, 0);
    }
}

// A list whose first block's end a caller sets back to its start between
// two steps of the iterator is empty from then on: the iterator leaves it
// without an event and goes on below it, or completes. Root list: node 1
// holding data 2, then data 3.
TEST(WalkTest, ListEmptiedBetweenTwoIteratorStepsIsLeftWithoutAnEvent) {
    mirrored_tree t;
    const int node = t.node(root, 1);
    t.data(node, 2, "in");
    t.data(root, 3, "after");
    struct emptied_case {
        const char *name;
        int steps_before;  // events taken before the list is emptied
        tarnwick_list *list;
        std::vector<raw_event> rest;  // type and tag of each later event
    };
    const emptied_case cases[] = {
        {"root list, before the first step", 0, t.root(), {}},
        {"node's list, after the node's START",
         1,
         &t.handle(node)->children,
         {{TARNWICK_EVENT_END, 1, nullptr, 0},
          {TARNWICK_EVENT_START, 3, nullptr, 0},
          {TARNWICK_EVENT_DATA, 3, nullptr, 5},
          {TARNWICK_EVENT_END, 3, nullptr, 0}}},
    };
    for (const emptied_case &c : cases) {
        SCOPED_TRACE(c.name);
        tarnwick_iter iter;
        tarnwick_iter_init(t.root(), &iter, nullptr);
        for (int i = 0; i < c.steps_before; ++i) ASSERT_NE(tarnwick_iter_next(t.root(), &iter), nullptr);
        unsigned char *const end = c.list->first->data_end;
        c.list->first->data_end = c.list->first->data;
        std::vector<raw_event> rest;
        while (const tarnwick_event *e = tarnwick_iter_next(t.root(), &iter))
            rest.push_back({e->type, e->tag, nullptr, e->length});
        c.list->first->data_end = end;
        EXPECT_EQ(rest, c.rest);
        EXPECT_EQ(iter.top, nullptr);
    }
}

TEST(WalkTest, NullArgumentsDoNothing) {
    mirrored_tree t;
    t.data(t.node(root, 1), 2, "x");
    int calls = 0;
    tarnwick_visit_node(nullptr, nullptr, &calls, count_call);
    EXPECT_EQ(calls, 0);
    tarnwick_visit_node(t.root(), nullptr, &calls, nullptr);
    tarnwick_visit_node(nullptr, t.handle(0), &calls, nullptr);
    tarnwick_iter_init(t.root(), nullptr, nullptr);
    tarnwick_iter_init(t.root(), nullptr, t.handle(0));
    EXPECT_EQ(tarnwick_iter_next(t.root(), nullptr), nullptr);
    EXPECT_EQ(tarnwick_iter_next(nullptr, nullptr), nullptr);

    // No root and no node: an empty walk, whatever the record held before.
    tarnwick_iter iter;
    tarnwick_iter_init(t.root(), &iter, nullptr);
    ASSERT_NE(tarnwick_iter_next(nullptr, &iter), nullptr);
    tarnwick_iter_init(nullptr, &iter, nullptr);
    EXPECT_EQ(iter.top, nullptr);
    EXPECT_EQ(tarnwick_iter_next(nullptr, &iter), nullptr);
    EXPECT_EQ(calls, 0);
}

// ---- Several walks at once ---------------------------------------------------------------

TEST(WalkTest, SeveralIteratorsWalkOneTreeAtOnce) {
    mirrored_tree t;
    const int a = t.node(root, 1);
    t.data(a, 2, bytes_of(5000, 2));
    t.data(t.node(a, 3), 4, bytes_of(300, 4));
    t.data(root, 5, bytes_of(20000, 5));
    t.node(root, 6);

    struct walker {
        const tarnwick_node *node;
        int stride;  // steps taken per turn
        tarnwick_iter iter;
        std::vector<raw_event> events;
        bool done;
    };
    walker walkers[] = {{nullptr, 1, {}, {}, false},
                        {nullptr, 3, {}, {}, false},
                        {t.handle(a), 2, {}, {}, false},
                        {t.handle(a), 1, {}, {}, false}};
    for (walker &w : walkers) tarnwick_iter_init(t.root(), &w.iter, w.node);
    for (bool any = true; any;) {
        any = false;
        for (walker &w : walkers) {
            for (int i = 0; i < w.stride && !w.done; ++i) {
                const tarnwick_event *e = tarnwick_iter_next(t.root(), &w.iter);
                w.done = e == nullptr;
                if (e != nullptr) w.events.push_back(as_raw(*e));
            }
            any = any || !w.done;
        }
    }
    for (const walker &w : walkers) EXPECT_EQ(w.events, visit_raw(t.root(), w.node));
    EXPECT_TRUE(walks_match_model(t, root));
}

// ---- Appending during a walk --------------------------------------------------------

// Appends records once, from inside a walk, when it reports a given event;
// the walk has not finished the lists appended to, so the whole grown tree
// is reported.
using appender = std::function<void(mirrored_tree &, int two, int four)>;

struct append_during_walk {
    mirrored_tree *tree;
    int two, four;  // the nodes tagged 2 and 4
    int type;
    unsigned tag;
    appender append;
    std::vector<raw_event> events;  // as delivered; DATA pieces of record_range point nowhere

    void seen(const raw_event &e) {
        events.push_back(e);
        if (append && e.type == type && e.tag == tag) {
            append(*tree, two, four);
            append = nullptr;
        }
    }
};

int TARNWICK_CALL append_on_event(void *context, int type, unsigned tag, const unsigned char *bytes, int length) {
    static_cast<append_during_walk *>(context)->seen({type, tag, bytes, length});
    return 0;
}

raw_event raw_of(const tarnwick::event &e) {
    return {static_cast<int>(e.kind()), e.tag(), reinterpret_cast<const unsigned char *>(e.bytes().data()),
            static_cast<int>(e.bytes().size())};
}

// Every walk that a caller can append from, each giving what it delivered
// with payloads whole.
struct appending_walk {
    const char *name;
    std::vector<recorded_event> (*run)(append_during_walk &walk);
};

const appending_walk appending_walks[] = {
    {"C callback",
     [](append_during_walk &w) {
         tarnwick_visit_node(w.tree->root(), nullptr, &w, append_on_event);
         return merge_data(recorded(w.events));
     }},
    {"C pull iterator",
     [](append_during_walk &w) {
         tarnwick_iter iter;
         tarnwick_iter_init(w.tree->root(), &iter, nullptr);
         while (const tarnwick_event *e = tarnwick_iter_next(nullptr, &iter)) w.seen(as_raw(*e));
         return merge_data(recorded(w.events));
     }},
    {"C++ visit",
     [](append_during_walk &w) {
         auto seen = [&](const tarnwick::event &e) { w.seen(raw_of(e)); };
         tarnwick::detail::visit(w.tree->root(), nullptr, seen);
         return merge_data(recorded(w.events));
     }},
    {"C++ event range",
     [](append_during_walk &w) {
         for (const tarnwick::event &e : tarnwick::event_range(w.tree->root(), nullptr)) w.seen(raw_of(e));
         return merge_data(recorded(w.events));
     }},
    {"C++ record range",
     [](append_during_walk &w) {
         std::vector<recorded_event> whole;
         for (const tarnwick::record_event &e : tarnwick::record_range(w.tree->root(), nullptr)) {
             whole.push_back({static_cast<int>(e.kind()),
                              e.tag(),
                              {reinterpret_cast<const char *>(e.bytes().data()), e.bytes().size()}});
             w.seen({static_cast<int>(e.kind()), e.tag(), nullptr, 0});
         }
         return whole;
     }},
};

struct append_case {
    const char *name;
    bool fill_root;  // the root's tail block is full when the walk starts
    int type;
    unsigned tag;
    appender append;
};

TEST(WalkTest, RecordsAppendedDuringEveryWalkToUnfinishedListsAreReported) {
    // Root list: data 1, then node 2 (the last record, filling its block when
    // asked) holding data 3 and node 4, which holds data 5.
    const append_case cases[] = {
        {"to the root while at its first record, more following in the block", false, TARNWICK_EVENT_START, 1,
         [](mirrored_tree &t, int, int) { t.data(root, 6, "six"); }},
        {"to the root while inside its last node", false, TARNWICK_EVENT_START, 5,
         [](mirrored_tree &t, int, int) { t.data(root, 6, "six"); }},
        {"to the root, into a new block, while inside its last node", true, TARNWICK_EVENT_DATA, 5,
         [](mirrored_tree &t, int, int) { t.data(t.node(root, 6), 7, bytes_of(400)); }},
        {"to a node while walking its first child", false, TARNWICK_EVENT_DATA, 3,
         [](mirrored_tree &t, int two, int) { t.data(two, 6, bytes_of(3000)); }},
        {"to the innermost list between its last record's START and DATA", false, TARNWICK_EVENT_START, 5,
         [](mirrored_tree &t, int, int four) { t.data(four, 6, "six"); }},
        {"to the innermost list while at its last record", false, TARNWICK_EVENT_DATA, 5,
         [](mirrored_tree &t, int, int four) {
             t.data(four, 6, "");
             t.node(four, 7);
         }},
        {"to every open list at once", true, TARNWICK_EVENT_START, 5,
         [](mirrored_tree &t, int two, int four) {
             t.data(four, 8, "inner");
             t.data(two, 9, "middle");
             t.data(root, 10, "outer");
         }},
    };
    for (const appending_walk &walker : appending_walks)
        for (const append_case &c : cases) {
            SCOPED_TRACE(std::string(walker.name) + ": " + c.name);
            mirrored_tree t;
            t.data(root, 1, "one");
            if (c.fill_root) {
                ASSERT_GE(t.leave_space(root, TARNWICK_NODE_RECORD_SIZE, 99), 0);
            }
            const int two = t.node(root, 2);
            t.data(two, 3, "three");
            const int four = t.node(two, 4);
            t.data(four, 5, bytes_of(10));
            if (c.fill_root) {
                ASSERT_EQ(t.root()->last->space, 0);
            }
            append_during_walk walk{&t, two, four, c.type, c.tag, c.append, {}};
            const std::vector<recorded_event> delivered = walker.run(walk);
            EXPECT_EQ(walk.append, nullptr) << "the walk appended";
            EXPECT_EQ(unbalanced(walk.events), "");
            EXPECT_EQ(first_difference(delivered, t.model().events()), "");
        }
}

// What no walk reports: children appended to a node that had none when its
// START was delivered (the walk has no frame for its list), and records
// appended to a list after the END of its last record (the walk has closed
// it). Root list: data 1, node 2 without children, data 3.
TEST(WalkTest, RecordsAppendedDuringEveryWalkToListsItHasNotOpenedOrHasFinishedAreNotReported) {
    const struct {
        const char *name;
        int type;
        unsigned tag;
        appender append;
        unsigned unreported;  // the tag of the one record not reported
    } cases[] = {
        {"to a node that had no children at its START, and to the root", TARNWICK_EVENT_START, 2,
         [](mirrored_tree &t, int two, int) {
             t.data(two, 4, "four");
             t.data(root, 5, "five");
         },
         4},
        {"to the root at the END of its last record", TARNWICK_EVENT_END, 3,
         [](mirrored_tree &t, int, int) { t.data(root, 6, "six"); }, 6},
    };
    for (const appending_walk &walker : appending_walks)
        for (const auto &c : cases) {
            SCOPED_TRACE(std::string(walker.name) + ": " + c.name);
            mirrored_tree t;
            t.data(root, 1, "one");
            const int two = t.node(root, 2);
            t.data(root, 3, "three");
            append_during_walk walk{&t, two, 0, c.type, c.tag, c.append, {}};
            const std::vector<recorded_event> delivered = walker.run(walk);
            EXPECT_EQ(walk.append, nullptr) << "the walk appended";
            EXPECT_EQ(unbalanced(walk.events), "");
            std::vector<recorded_event> expected = t.model().events();
            std::erase_if(expected, [&](const recorded_event &e) { return e.tag == c.unreported; });
            EXPECT_EQ(first_difference(delivered, expected), "");
        }
}

}  // namespace
