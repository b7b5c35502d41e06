// SPDX-License-Identifier: MIT
// Refused block allocations: what each append returns, what it leaves in the
// list, and that the next append simply tries again.
#include <gtest/gtest.h>

#include <cstring>

#include "alloc_hook.hpp"
#include "chain.hpp"
#include "events.hpp"
#include "model.hpp"

using namespace chain;

namespace {

class Refusal : public ::testing::Test {
protected:
    void SetUp() override {
        tarnwick_init(&root);
        test_alloc::reset();
    }
    void TearDown() override {
        test_alloc::refuse(0);
        tarnwick_dispose(&root);
    }

    tarnwick_list root;
    tree_model model;
};

// One append of either kind, so that a table row can name it; returns
// whether it succeeded and records it in `model`.
struct append {
    bool node;
    uint32_t length;  // data records only

    bool run(tarnwick_list *root, tarnwick_node *parent, int parent_index, tree_model &model) const {
        static const std::string bytes = pattern(65536);
        if (node) {
            if (tarnwick_create_node(parent ? nullptr : root, parent, 7) == nullptr) return false;
            model.add_node(parent_index, 7);
            return true;
        }
        if (tarnwick_create_data(parent ? nullptr : root, parent, 7, bytes.data(), length) != 0) return false;
        model.add_data(parent_index, 7, bytes.substr(0, length));
        return true;
    }
};

// The bytes of a whole block allocation, header included.
std::string snapshot(const tarnwick_block *b) {
    return std::string(reinterpret_cast<const char *>(b), kBlockHeader + b->capacity);
}

TEST_F(Refusal, FirstBlockLeavesTheListAsItWas) {
    const append appends[] = {{true, 0}, {false, 5}, {false, 0}};
    for (bool under_node : {false, true}) {
        for (const append &a : appends) {
            SCOPED_TRACE(testing::Message()
                         << (under_node ? "child list, " : "root, ") << (a.node ? "node" : "data ") << a.length);
            tree_model m;
            tarnwick_list top;
            tarnwick_init(&top);
            tarnwick_node *parent = under_node ? tarnwick_create_node(&top, nullptr, 1) : nullptr;
            const int parent_index = under_node ? m.add_node(tree_model::root, 1) : tree_model::root;
            tarnwick_list *target = under_node ? &parent->children : &top;
            test_alloc::reset();
            test_alloc::refuse(1);
            EXPECT_FALSE(a.run(&top, parent, parent_index, m));
            EXPECT_EQ(target->first, nullptr);
            EXPECT_EQ(target->last, nullptr);
            EXPECT_EQ(test_alloc::attempts(), 1u);
            ASSERT_TRUE(a.run(&top, parent, parent_index, m));
            EXPECT_EQ(test_alloc::attempts(), 2u);
            ASSERT_NE(target->first, nullptr);
            EXPECT_EQ(target->first, target->last);
            EXPECT_EQ(target->first->capacity, kFirstCapacity);
            EXPECT_EQ(merge_data(visit_events(&top)), m.events());
            tarnwick_dispose(&top);
        }
    }
}

// The longest payload goes on to its first block allocation (refused here,
// before any byte of it is read); one byte more is refused with none.
TEST_F(Refusal, LongestPayloadReachesTheAllocator) {
    const struct {
        uint32_t length;
        std::size_t attempts;
    } rows[] = {{TARNWICK_MAX_LENGTH, 1}, {uint32_t{TARNWICK_MAX_LENGTH} + 1, 0}};
    const char unread = 0;
    for (const auto &r : rows) {
        SCOPED_TRACE(r.length);
        test_alloc::reset();
        test_alloc::refuse(1);
        EXPECT_EQ(tarnwick_create_data(&root, nullptr, 1, &unread, r.length), 1);
        EXPECT_EQ(test_alloc::attempts(), r.attempts);
        EXPECT_EQ(root.first, nullptr);
    }
}

// The tail that could not take the record is marked full and stays so: the
// next append of any kind allocates again, even one that would fit in the
// bytes the tail still has free.
TEST_F(Refusal, AppendedBlockAbandonsTheTailAndNothingElse) {
    struct row {
        std::size_t space;
        append refused;
        append next;
    };
    const row rows[] = {
        {kNodeRecord - 2, {true, 0}, {false, 0}},
        {2, {false, 1}, {false, 0}},
        {4, {false, 65536}, {false, 300}},
        {0, {true, 0}, {true, 0}},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(testing::Message() << "space " << r.space);
        tarnwick_dispose(&root);
        model = tree_model{};
        model.add_data(tree_model::root, 0, leave_space(&root, r.space));
        tarnwick_block *tail = root.first;
        test_alloc::reset();
        test_alloc::refuse(1);
        std::string before = snapshot(tail);
        EXPECT_FALSE(r.refused.run(&root, nullptr, tree_model::root, model));
        EXPECT_EQ(test_alloc::attempts(), 1u);
        EXPECT_EQ(tail->space, 0);
        // Apart from its space, the tail is byte for byte what it was.
        std::memset(&before[offsetof(tarnwick_block, space)], 0, sizeof tail->space);
        EXPECT_EQ(snapshot(tail), before);
        EXPECT_EQ(root.first, tail);
        EXPECT_EQ(root.last, tail);

        ASSERT_TRUE(r.next.run(&root, nullptr, tree_model::root, model));
        EXPECT_EQ(test_alloc::attempts(), 2u);
        EXPECT_EQ(snapshot(tail).substr(offsetof(tarnwick_block, prev)), before.substr(offsetof(tarnwick_block, prev)));
        ASSERT_NE(tail->next, nullptr);
        EXPECT_EQ(root.last, tail->next);
        EXPECT_EQ(root.last->prev, tail);
        EXPECT_EQ(root.last->capacity, doubled(tail->capacity));
        EXPECT_EQ(header_word(root.last->data) >> 4, 7u);
        EXPECT_EQ(merge_data(visit_events(&root)), model.events());
    }
}

// A payload cut short keeps its length field's size, says in it how much was
// stored, and ends exactly where the stored bytes end.
TEST_F(Refusal, ContinuationBlockShortensTheRecord) {
    struct row {
        std::size_t space;  // in the first block before the record
        uint32_t length;
        std::size_t refused;  // which allocation, counting the first block's
        uint32_t stored;
    };
    const row rows[] = {
        {256, 1000, 2, 252},           {256, 1000, 3, 252 + 512},
        {256, 65536, 2, 251},          {256, 65536, 5, 251 + 512 + 1024 + 2048},
        {256, 65536, 10, 65536 - 261}, {4, 300, 2, 0},  // the header filled the first block
    };
    const std::string bytes = pattern(65536);
    for (const row &r : rows) {
        SCOPED_TRACE(testing::Message() << r.length << " refusing " << r.refused);
        tarnwick_dispose(&root);
        model = tree_model{};
        test_alloc::reset();
        test_alloc::refuse(r.refused);
        if (r.space != kFirstCapacity) model.add_data(tree_model::root, 0, leave_space(&root, r.space));
        const unsigned char *record = root.first ? root.first->data_end : nullptr;
        EXPECT_EQ(tarnwick_create_data(&root, nullptr, 9, bytes.data(), r.length), -1);
        if (record == nullptr) record = root.first->data;
        EXPECT_EQ(test_alloc::attempts(), r.refused);
        const unsigned length_bytes = r.length < 65536 ? 2 : 3;
        EXPECT_EQ(header_word(record), 0x90u | length_bytes << 1);
        EXPECT_EQ(length_of(record), r.stored);
        EXPECT_EQ(blocks(root).size(), r.refused - 1);
        EXPECT_EQ(root.last->space, 0);
        EXPECT_EQ(used(root.last), root.last->capacity);
        model.truncate(model.add_data(tree_model::root, 9, bytes.substr(0, r.length)), r.stored);
        EXPECT_EQ(merge_data(visit_events(&root)), model.events());

        test_alloc::refuse(0);
        ASSERT_EQ(tarnwick_create_data(&root, nullptr, 10, "after", 5), 0);
        model.add_data(tree_model::root, 10, "after");
        EXPECT_EQ(blocks(root).size(), r.refused);
        EXPECT_EQ(header_word(root.last->data), 0xA2u);
        EXPECT_EQ(merge_data(visit_events(&root)), model.events());
    }
}

}  // namespace
