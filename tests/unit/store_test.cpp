// SPDX-License-Identifier: MIT
// The record store as the shipped library builds it: the bytes of records,
// the shape of block chains, and what the builders do with arguments they
// cannot use. Every check is written in terms of the format's constants; a
// few literal numbers per pointer width pin the constants themselves.
//
// These exact bytes guard the record format, which is fixed for SONAME 1:
// tarnwick.hpp inlines the walk steps of tarnwick/engine.hpp into programs,
// which then read whatever a later libtarnwick.so.1 writes. A test here that
// must change for a new format means a new SONAME, not an edit of the test.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string_view>

#include "chain.hpp"
#include "events.hpp"
#include "model.hpp"

using namespace chain;

namespace {

constexpr bool k32 = kPointer == 4;

// A root list that is released when the test ends.
struct tree {
    tarnwick_list root;
    tree() { tarnwick_init(&root); }
    ~tree() { tarnwick_dispose(&root); }
    tree(const tree &) = delete;
    tree &operator=(const tree &) = delete;
};

std::vector<int> bytes_at(const unsigned char *p, std::size_t n) { return std::vector<int>(p, p + n); }

// The prefix of one long pattern, so that large payloads are built once.
std::string_view payload(std::size_t n) {
    static const std::string all = pattern(16777216);
    return std::string_view(all).substr(0, n);
}

// Every block links back to the one before it, the tail is `last`, and
// capacities double from the first block's up to the cap.
void expect_linked(const tarnwick_list &list) {
    const std::vector<tarnwick_block *> chain = blocks(list);
    ASSERT_FALSE(chain.empty());
    EXPECT_EQ(list.last, chain.back());
    unsigned capacity = kFirstCapacity;
    for (std::size_t i = 0; i < chain.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(chain[i]->prev, i == 0 ? nullptr : chain[i - 1]);
        EXPECT_EQ(chain[i]->capacity, capacity);
        capacity = doubled(capacity);
    }
}

// One data record over its chain: every block but the last is filled to its
// end, the last keeps its even remainder free, and the payload arrived
// unchanged.
void expect_single_payload(const tarnwick_list &list, std::string_view bytes) {
    expect_linked(list);
    for (const tarnwick_block *b : blocks(list)) {
        EXPECT_EQ(used(b) % 2, 0u);
        if (b != list.last) {
            EXPECT_EQ(used(b), b->capacity);
        }
        EXPECT_EQ(b->space, b->capacity - used(b));
    }
    EXPECT_TRUE(only_payload(list) == bytes);
}

TEST(Format, ConstantsFollowThePointerWidth) {
    EXPECT_EQ(TARNWICK_NODE_LENGTH, 4 * kPointer);
    EXPECT_EQ(kNodeRecord % 2, 0u);
    EXPECT_GE(kNodeRecord, std::size_t{3} + TARNWICK_NODE_LENGTH);
    EXPECT_LE(kNodeRecord, std::size_t{4} + TARNWICK_NODE_LENGTH);
    EXPECT_EQ(kBlockHeader, 3 * kPointer + 4);
    if constexpr (k32) {
        EXPECT_EQ(TARNWICK_NODE_LENGTH, 16);
        EXPECT_EQ(kNodeRecord, 20u);
        EXPECT_EQ(kBlockHeader, 16u);
    } else {
        EXPECT_EQ(TARNWICK_NODE_LENGTH, 32);
        EXPECT_EQ(kNodeRecord, 36u);
        EXPECT_EQ(kBlockHeader, 28u);
    }
}

TEST(Build, FirstRecordGetsA256ByteBlock) {
    tree t;
    ASSERT_EQ(tarnwick_create_data(&t.root, nullptr, 5, "hello", 5), 0);
    const tarnwick_block *b = t.root.first;
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(t.root.last, b);
    EXPECT_EQ(b->next, nullptr);
    EXPECT_EQ(b->prev, nullptr);
    EXPECT_EQ(b->capacity, 256);
    EXPECT_EQ(bytes_at(b->data, 8), (std::vector<int>{0x52, 0x00, 0x05, 0x68, 0x65, 0x6C, 0x6C, 0x6F}));
    EXPECT_EQ(used(b), 8u);
    EXPECT_EQ(b->space, 248);
    // The next record follows with no filler, since 8 is even.
    ASSERT_EQ(tarnwick_create_data(&t.root, nullptr, 1, nullptr, 0), 0);
    EXPECT_EQ(bytes_at(b->data + 8, 2), (std::vector<int>{0x10, 0x00}));
    EXPECT_EQ(used(b), 10u);
}

TEST(Build, LengthFieldTakesTheFewestBytes) {
    struct row {
        uint32_t length;
        std::vector<int> field;  // the length bytes after the header word
    };
    const row rows[] = {
        {0, {}},
        {1, {0x01}},
        {255, {0xFF}},
        {256, {0x00, 0x01}},
        {300, {0x2C, 0x01}},
        {65535, {0xFF, 0xFF}},
        {65536, {0x00, 0x00, 0x01}},
        {16777215, {0xFF, 0xFF, 0xFF}},
        {16777216, {0x00, 0x00, 0x00, 0x01}},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.length);
        tree t;
        const std::string_view bytes = payload(r.length);
        ASSERT_EQ(tarnwick_create_data(&t.root, nullptr, 9, bytes.data(), r.length), 0);
        const unsigned char *record = t.root.first->data;
        const unsigned length_bytes = static_cast<unsigned>(r.field.size());
        // With tag 9 the words for L = 0..4 read 90, 92, 94, 96, 98, then 00.
        EXPECT_EQ(bytes_at(record, 2), (std::vector<int>{static_cast<int>(0x90 | length_bytes << 1), 0x00}));
        EXPECT_EQ(bytes_at(record + 2, length_bytes), r.field);
        expect_single_payload(t.root, bytes);
    }
}

// Short payloads are copied by a path of their own, in overlapping words.
// Lengths 0 to 17 back to back cover every way of cutting them: each record
// holds exactly its bytes, fillers stay zero, and nothing past the last
// record is written.
TEST(Build, ShortPayloadsArriveExactlyAndWriteNothingAroundThem) {
    tree t;
    constexpr uint32_t kLongest = 17;  // 0, 1-3, 4-7, 8-16 and longer, all in the first block
    const std::string source = pattern(kLongest) + std::string(8, '\x5A');  // bytes past the end must not leak in
    for (uint32_t n = 0; n <= kLongest; ++n)
        ASSERT_EQ(tarnwick_create_data(&t.root, nullptr, static_cast<int>(n), source.data(), n), 0);
    const tarnwick_block *b = t.root.first;
    ASSERT_EQ(b->next, nullptr);
    const unsigned char *p = b->data;
    for (uint32_t n = 0; n <= kLongest; ++n) {
        SCOPED_TRACE(n);
        EXPECT_EQ(header_word(p) >> 4, n);
        const unsigned length_bytes = length_bytes_of(p);
        EXPECT_EQ(length_bytes, n == 0 ? 0u : 1u);
        p += 2 + length_bytes;
        EXPECT_EQ(std::string_view(reinterpret_cast<const char *>(p), n), std::string_view(source).substr(0, n));
        p += n;
        if ((p - b->data) % 2 != 0) {
            EXPECT_EQ(*p, 0);
            ++p;
        }
    }
    EXPECT_EQ(p, b->data_end);
    EXPECT_EQ(bytes_at(b->data_end, b->space), std::vector<int>(b->space, 0));
}

TEST(Build, PayloadRunsOnOverDoublingBlocks) {
    struct row {
        uint32_t length;
        std::vector<std::size_t> pieces;  // payload bytes per block
        unsigned last_space;
    };
    const row rows[] = {
        {1000, {252, 512, 236}, 788},
        {65536, {251, 512, 1024, 2048, 4096, 8192, 16384, 16384, 16384, 261}, 16384 - 262},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.length);
        tree t;
        const std::string_view bytes = payload(r.length);
        ASSERT_EQ(tarnwick_create_data(&t.root, nullptr, 1, bytes.data(), r.length), 0);
        const std::vector<tarnwick_block *> chain = blocks(t.root);
        ASSERT_EQ(chain.size(), r.pieces.size());
        const std::size_t header = 2 + length_bytes_of(chain[0]->data);
        EXPECT_EQ(used(chain[0]) - header, r.pieces[0]);
        for (std::size_t i = 1; i < chain.size(); ++i)
            EXPECT_EQ(used(chain[i]), r.pieces[i] + r.pieces[i] % 2) << "block " << i;
        EXPECT_EQ(t.root.last->space, r.last_space);
        expect_single_payload(t.root, bytes);
    }
}

TEST(Build, TagKeepsItsLow12BitsAndNothingElse) {
    const std::pair<int, unsigned> tags[] = {{0x1234, 0x234}, {4095, 4095}, {4096, 0}, {-1, 0xFFF}};
    const uint32_t lengths[] = {0, 1, 256, 65536};
    const std::string_view bytes = payload(65536);
    for (const auto &[tag, stored] : tags) {
        SCOPED_TRACE(tag);
        tree t;
        tarnwick_node *node = tarnwick_create_node(&t.root, nullptr, tag);
        ASSERT_NE(node, nullptr);
        EXPECT_EQ(header_word(t.root.first->data), stored << 4 | 1u << 1 | 1u);
        // Each data record starts a child list of its own, so its word is first.
        const unsigned length_bytes[] = {0, 1, 2, 3};
        for (std::size_t i = 0; i < std::size(lengths); ++i) {
            tarnwick_node *holder = tarnwick_create_node(&t.root, nullptr, 1);
            ASSERT_EQ(tarnwick_create_data(nullptr, holder, tag, bytes.data(), lengths[i]), 0);
            EXPECT_EQ(header_word(holder->children.first->data), stored << 4 | length_bytes[i] << 1) << lengths[i];
        }
        const std::vector<recorded_event> walk = visit_events(&t.root);
        ASSERT_FALSE(walk.empty());
        EXPECT_EQ(walk.front(), start(stored));
    }
}

TEST(Build, NodeHandleSitsAtTheFirstPointerAlignedByte) {
    // Zero bytes between the length byte and the handle, for header
    // addresses 0, 2, ... modulo the pointer size.
    const std::vector<std::size_t> padding =
        k32 ? std::vector<std::size_t>{1, 3} : std::vector<std::size_t>{5, 3, 1, 7};
    for (std::size_t residue = 0; residue < kPointer; residue += 2) {
        SCOPED_TRACE(residue);
        tree t;
        ASSERT_EQ(tarnwick_create_data(&t.root, nullptr, 0, nullptr, 0), 0);
        const std::size_t at = reinterpret_cast<uintptr_t>(t.root.first->data_end) % kPointer;
        const std::size_t gap = (residue + kPointer - at) % kPointer;
        // Even gaps of 2, 4, 6: a record of length 0, 1 or 3.
        if (gap != 0) tarnwick_create_data(&t.root, nullptr, 0, "xyz", static_cast<uint32_t>(gap == 2 ? 0 : gap - 3));
        unsigned char *record = t.root.first->data_end;
        ASSERT_EQ(reinterpret_cast<uintptr_t>(record) % kPointer, residue);
        const int tag = 1 + static_cast<int>(residue / 2);
        tarnwick_node *node = tarnwick_create_node(&t.root, nullptr, tag);
        ASSERT_NE(node, nullptr);

        const auto *handle = reinterpret_cast<unsigned char *>(node);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(handle) % kPointer, 0u);
        ASSERT_EQ(static_cast<std::size_t>(handle - record - 3), padding[residue / 2]);
        EXPECT_EQ(bytes_at(record, 3), (std::vector<int>{tag << 4 | 3, 0, TARNWICK_NODE_LENGTH}));
        EXPECT_EQ(bytes_at(record + 3, padding[residue / 2]), std::vector<int>(padding[residue / 2], 0));
        EXPECT_EQ(node->children.first, nullptr);
        EXPECT_EQ(node->children.last, nullptr);
        EXPECT_EQ(node->record, record);
        const unsigned char *after = handle + sizeof(tarnwick_node);
        const std::size_t tail = static_cast<std::size_t>(record + kNodeRecord - after);
        EXPECT_EQ(bytes_at(after, tail), std::vector<int>(tail, 0));
        EXPECT_EQ(t.root.first->data_end, record + kNodeRecord);
    }
}

// What the next append does with a first block that has `space` bytes left.
// Afterwards that block is always full or abandoned: its space is 0.
TEST(Build, TailTakesARecordOnlyWhenItsHeaderFits) {
    EXPECT_EQ(kNodeRecord - 2, k32 ? 18u : 34u);  // the largest space a node cannot use
    struct row {
        std::size_t space;
        bool node;
        uint32_t length;  // data records only
        bool in_first;    // the header lands in the first block
        std::size_t blocks;
    };
    const row rows[] = {
        {kNodeRecord, true, 0, true, 1},       // exactly fills the block
        {kNodeRecord - 2, true, 0, false, 2},  // too little room: abandoned
        {2, false, 0, true, 1},                // the header word alone fits
        {2, false, 1, false, 2},               // word and length byte do not
        {4, false, 300, true, 2},              // header fills it, payload goes on
        {0, false, 5, false, 2},               // full already: a new block, nothing marked
        {0, true, 0, false, 2},
    };
    const std::string bytes(payload(300));
    for (const row &r : rows) {
        SCOPED_TRACE(testing::Message() << "space " << r.space << (r.node ? " node" : " data ") << r.length);
        tree t;
        tree_model model;
        model.add_data(tree_model::root, 0, leave_space(&t.root, r.space));
        tarnwick_block *first = t.root.first;
        ASSERT_EQ(first->space, r.space);
        const unsigned char *end = first->data_end;
        if (r.node) {
            ASSERT_NE(tarnwick_create_node(&t.root, nullptr, 3), nullptr);
            model.add_node(tree_model::root, 3);
        } else {
            ASSERT_EQ(tarnwick_create_data(&t.root, nullptr, 3, bytes.data(), r.length), 0);
            model.add_data(tree_model::root, 3, bytes.substr(0, r.length));
        }
        EXPECT_EQ(first->space, 0);
        EXPECT_EQ(blocks(t.root).size(), r.blocks);
        EXPECT_EQ(used(first), r.in_first ? kFirstCapacity : kFirstCapacity - r.space);
        const unsigned char *header = r.in_first ? end : t.root.last->data;
        EXPECT_EQ(header_word(header) >> 4, 3u);
        if (r.in_first && r.blocks == 2) {
            EXPECT_EQ(std::string(reinterpret_cast<char *>(t.root.last->data), r.length), bytes);
        }
        expect_linked(t.root);
        EXPECT_EQ(merge_data(visit_events(&t.root)), model.events());
    }
}

// Every block but the last is abandoned with less than a node record free;
// the records run on in order at the start of the next block.
TEST(Build, NodesSpreadOverDoublingBlocks) {
    tree t;
    constexpr int kNodes = 3000;
    for (int i = 0; i < kNodes; ++i) ASSERT_NE(tarnwick_create_node(&t.root, nullptr, i), nullptr);
    expect_linked(t.root);
    std::vector<std::size_t> counts;
    unsigned tag = 0;
    for (const tarnwick_block *b : blocks(t.root)) {
        EXPECT_EQ(used(b) % kNodeRecord, 0u);
        if (b != t.root.last) {
            EXPECT_EQ(b->space, 0);
            EXPECT_LT(b->capacity - used(b), kNodeRecord);
        }
        for (const unsigned char *r = b->data; r != b->data_end; r += kNodeRecord, ++tag) {
            ASSERT_EQ(header_word(r), (tag & TARNWICK_MAX_TAG) << 4 | 3);
            ASSERT_EQ(r[2], TARNWICK_NODE_LENGTH);
        }
        counts.push_back(used(b) / kNodeRecord);
    }
    EXPECT_EQ(tag, static_cast<unsigned>(kNodes));
    // Twelve 20-byte records fill 240 bytes of the first block; the
    // thirteenth, finding 16 bytes free, opens the second.
    EXPECT_EQ(used(t.root.first), k32 ? 240u : 252u);
    if constexpr (k32)
        EXPECT_EQ(counts, (std::vector<std::size_t>{12, 25, 51, 102, 204, 409, 819, 819, 559}));
    else
        EXPECT_EQ(counts, (std::vector<std::size_t>{7, 14, 28, 56, 113, 227, 455, 455, 455, 455, 455, 280}));
}

TEST(Build, InterleavedAppendsStayInTheirOwnLists) {
    tree t;
    tree_model model;
    tarnwick_node *a = tarnwick_create_node(&t.root, nullptr, 1);
    tarnwick_node *b = tarnwick_create_node(&t.root, nullptr, 2);
    ASSERT_TRUE(a && b);
    tarnwick_node *const targets[] = {nullptr, a, b};
    const int indices[] = {tree_model::root, model.add_node(tree_model::root, 1), model.add_node(tree_model::root, 2)};
    for (int i = 0; i < 600; ++i) {
        const std::string bytes(payload(50 + static_cast<std::size_t>(i % 7)).substr(static_cast<std::size_t>(i % 5)));
        ASSERT_EQ(tarnwick_create_data(&t.root, targets[i % 3], i, bytes.data(), static_cast<uint32_t>(bytes.size())),
                  0);
        model.add_data(indices[i % 3], i, bytes);
    }
    EXPECT_EQ(merge_data(visit_events(&t.root)), model.events());
    std::set<const tarnwick_block *> seen;
    for (const tarnwick_list *list : {&t.root, &a->children, &b->children}) {
        expect_linked(*list);
        const std::vector<tarnwick_block *> chain = blocks(*list);
        EXPECT_GT(chain.size(), 1u);
        for (const tarnwick_block *block : chain) EXPECT_TRUE(seen.insert(block).second);
    }
}

// A handle lives in its parent's block, which never moves; appending under it
// needs only the handle.
TEST(Build, HandleTakesChildrenAfterManyAppendsWithoutTheRoot) {
    tree t;
    tarnwick_node *a = tarnwick_create_node(&t.root, nullptr, 7);
    ASSERT_NE(a, nullptr);
    const void *record = a->record;
    const std::vector<int> header = bytes_at(static_cast<const unsigned char *>(record), 3);
    tarnwick_node *b = tarnwick_create_node(&t.root, nullptr, 8);
    for (int i = 0; i < 3000; ++i) {
        ASSERT_EQ(tarnwick_create_data(&t.root, nullptr, 1, "x", 1), 0);
        ASSERT_NE(tarnwick_create_node(nullptr, b, 2), nullptr);
    }
    ASSERT_GT(blocks(t.root).size(), 5u);
    ASSERT_EQ(tarnwick_create_data(nullptr, a, 3, "abc", 3), 0);
    tarnwick_node *child = tarnwick_create_node(nullptr, a, 4);
    ASSERT_NE(child, nullptr);
    ASSERT_EQ(tarnwick_create_data(nullptr, child, 5, "de", 2), 0);
    EXPECT_EQ(a->record, record);
    EXPECT_EQ(bytes_at(static_cast<const unsigned char *>(record), 3), header);
    EXPECT_EQ(visit_events(nullptr, a), (std::vector<recorded_event>{start(3), data(3, "abc"), end(3), start(4),
                                                                     start(5), data(5, "de"), end(5), end(4)}));
}

TEST(Build, ArgumentsItCannotUse) {
    tarnwick_list list = {reinterpret_cast<tarnwick_block *>(&list), reinterpret_cast<tarnwick_block *>(&list)};
    EXPECT_EQ(tarnwick_init(&list), 0);
    EXPECT_EQ(list.first, nullptr);
    EXPECT_EQ(list.last, nullptr);
    EXPECT_EQ(tarnwick_init(nullptr), -1);
    EXPECT_EQ(tarnwick_create_node(nullptr, nullptr, 1), nullptr);
    EXPECT_EQ(tarnwick_create_data(nullptr, nullptr, 1, "x", 1), 1);

    struct row {
        const char *bytes;
        uint32_t length;
        int result;
    };
    const row rows[] = {
        {"x", 0x80000000u, 1},  // the walk counts lengths in 31 bits
        {"x", 0xFFFFFFFFu, 1},
        {nullptr, 1, 1},
        {nullptr, 0, 0},  // nothing to read: an empty record
    };
    for (const row &r : rows) {
        for (bool holds_a_record : {false, true}) {
            SCOPED_TRACE(testing::Message() << r.length << (holds_a_record ? " after a record" : " empty"));
            tree t;
            if (holds_a_record) tarnwick_create_data(&t.root, nullptr, 0, "ab", 2);
            const std::size_t before = t.root.first ? used(t.root.first) : 0;
            EXPECT_EQ(tarnwick_create_data(&t.root, nullptr, 1, r.bytes, r.length), r.result);
            if (r.result == 1) {
                EXPECT_EQ(t.root.first != nullptr, holds_a_record);
                if (holds_a_record) {
                    EXPECT_EQ(used(t.root.first), before);
                }
            } else {
                ASSERT_NE(t.root.first, nullptr);
                EXPECT_EQ(used(t.root.first), before + 2);
                EXPECT_EQ(header_word(t.root.first->data_end - 2), 0x10u);
            }
            EXPECT_EQ(t.root.first, t.root.last);
        }
    }
}

}  // namespace
