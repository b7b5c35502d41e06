// SPDX-License-Identifier: MIT
// The C++ interface: ownership of trees, appends from every kind of byte
// range, walks as a range and as a visit with depths, and the nesting limit.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <ranges>
#include <stdexcept>
#include <string>
#include <vector>

#include "events.hpp"
#include "tarnwick.hpp"

// clang 14 cannot compile libstdc++ 12's view adaptors over any range.
#if defined(__clang__) && __clang_major__ < 15 && defined(__GLIBCXX__)
#define VIEWS_COMPILE 0
#else
#define VIEWS_COMPILE 1
#endif

namespace {

using tarnwick::event_kind;

static_assert(std::ranges::input_range<tarnwick::event_range>);
static_assert(std::input_iterator<tarnwick::event_range::iterator>);
static_assert(std::sentinel_for<std::default_sentinel_t, tarnwick::event_range::iterator>);
static_assert(std::ranges::input_range<tarnwick::record_range> && !std::movable<tarnwick::record_range>);
static_assert(!std::movable<tarnwick::event_range>, "the range holds a walk that must not move");
static_assert(std::movable<tarnwick::tree> && !std::copyable<tarnwick::tree>);
static_assert(std::is_trivially_copyable_v<tarnwick::node> && sizeof(tarnwick::node) == sizeof(void *));
static_assert(std::is_base_of_v<std::bad_alloc, tarnwick::partial_write>);
static_assert(tarnwick::byte_range<std::vector<std::uint8_t>> && tarnwick::byte_range<std::array<std::byte, 2>> &&
              tarnwick::byte_range<signed char[3]> && !tarnwick::byte_range<std::vector<int>> &&
              !tarnwick::byte_range<std::vector<std::string>>);

// An event with its bytes copied out, comparable as a whole.
struct seen {
    event_kind kind;
    unsigned tag;
    int depth;
    std::string bytes;
    bool operator==(const seen &) const = default;
};

std::ostream &operator<<(std::ostream &out, const seen &s) {
    return out << static_cast<int>(s.kind) << '/' << s.tag << '@' << s.depth << " \"" << s.bytes << '"';
}

seen copy(const tarnwick::event &e) {
    return {e.kind(), e.tag(), e.depth(), {reinterpret_cast<const char *>(e.bytes().data()), e.bytes().size()}};
}

// Joins a record's DATA pieces, which depend on block boundaries.
void add(std::vector<seen> &out, const tarnwick::event &e) {
    if (e.kind() == event_kind::data && !out.empty() && out.back().kind == event_kind::data)
        out.back().bytes += copy(e).bytes;
    else
        out.push_back(copy(e));
}

std::vector<seen> pulled(tarnwick::event_range &&range) {
    std::vector<seen> out;
    for (const tarnwick::event &e : range) add(out, e);
    return out;
}

std::vector<seen> visited(const tarnwick::tree &tree, const tarnwick::node *from = nullptr) {
    std::vector<seen> out;
    auto keep = [&out](const tarnwick::event &e) { add(out, e); };
    from ? tree.visit(*from, keep) : tree.visit(keep);
    return out;
}

seen S(unsigned tag, int depth) { return {event_kind::start, tag, depth, {}}; }
seen D(unsigned tag, int depth, std::string bytes) { return {event_kind::data, tag, depth, std::move(bytes)}; }
seen E(unsigned tag, int depth) { return {event_kind::end, tag, depth, {}}; }

// [1 {2:"hi" 3{} 4{5:""}} 6:300 bytes], which has every kind of record, an
// empty node, an empty record and a payload over two blocks.
struct sample {
    tarnwick::tree tree;
    tarnwick::node one = tree.add_node(1);
    std::string long_payload = std::string(300, 'x');
    sample() {
        one.add_data(2, "hi");
        one.add_node(3);
        one.add_node(4).add_data(5, "");
        tree.add_data(6, long_payload);
    }
    std::vector<seen> expected() const {
        return {S(1, 0), S(2, 1), D(2, 2, "hi"),         E(2, 1), S(3, 1), E(3, 1), S(4, 1), S(5, 2), E(5, 2), E(4, 1),
                E(1, 0), S(6, 0), D(6, 1, long_payload), E(6, 0)};
    }
};

bool is_data(const tarnwick::event &e) { return e.kind() == event_kind::data; }

TEST(CppWalk, RangeAndVisitGiveTheSameEventsWithDepths) {
    sample s;
    EXPECT_EQ(pulled(s.tree.events()), s.expected());
    EXPECT_EQ(visited(s.tree), s.expected());
    // Unmerged, the range agrees with the C walk piece by piece.
    std::vector<recorded_event> plain;
    for (const tarnwick::event &e : s.tree.events())
        plain.push_back({static_cast<int>(e.kind()), e.tag(), copy(e).bytes});
    EXPECT_EQ(plain, visit_events(s.tree.root()));
}

TEST(CppWalk, WalkFromANodeCountsDepthFromItsChildren) {
    sample s;
    const std::vector<seen> children = {S(2, 0), D(2, 1, "hi"), E(2, 0), S(3, 0), E(3, 0),
                                        S(4, 0), S(5, 1),       E(5, 1), E(4, 0)};
    EXPECT_EQ(pulled(s.tree.events(s.one)), children);
    EXPECT_EQ(visited(s.tree, &s.one), children);
}

TEST(CppWalk, RangeWorksWithTheStandardAlgorithms) {
    sample s;
    EXPECT_EQ(std::ranges::count_if(s.tree.events(), is_data), 3);  // "hi" and two pieces of 300
    auto events = s.tree.events();
    auto found = std::ranges::find_if(events, [](const tarnwick::event &e) { return e.tag() == 5; });
    ASSERT_NE(found, events.end());
    EXPECT_EQ(copy(*found), S(5, 2));
#if VIEWS_COMPILE
    std::vector<unsigned> ends;  // the rest of the same walk, from the iterator find_if gave
    for (const tarnwick::event &e : std::ranges::subrange(found, events.end()) |
                                        std::views::filter([](const auto &e) { return e.kind() == event_kind::end; }))
        ends.push_back(e.tag());
    EXPECT_EQ(ends, (std::vector<unsigned>{5, 4, 1, 6}));
    EXPECT_TRUE(events.begin() == events.end());  // once moved on, the walk is had
    std::size_t bytes = 0;
    auto again = s.tree.events();
    for (const tarnwick::event &e : again | std::views::filter(is_data)) bytes += e.bytes().size();
    EXPECT_EQ(bytes, 302u);
#endif
}

// Unmerged: each payload comes as one DATA, and its START tells its length.
std::vector<seen> whole(tarnwick::record_range &&range, std::vector<std::size_t> *lengths = nullptr) {
    std::vector<seen> out;
    for (const tarnwick::record_event &e : range) {
        out.push_back(copy(e));
        if (lengths != nullptr && e.kind() == event_kind::start) lengths->push_back(e.record_length());
    }
    return out;
}

TEST(CppWalk, RecordsGiveEachPayloadWholeAndItsLengthAtItsStart) {
    sample s;
    std::vector<std::size_t> lengths;
    EXPECT_EQ(whole(s.tree.records(), &lengths), s.expected());
    EXPECT_EQ(lengths, (std::vector<std::size_t>{0, 2, 0, 0, 0, 300}));  // nodes tell 0
    EXPECT_EQ(whole(s.tree.records(s.one)), pulled(s.tree.events(s.one)));
    // A payload in one block is not copied: its DATA points where the walk's does.
    const auto at = [](auto &&range) {
        for (const auto &e : range)
            if (e.tag() == 2 && e.kind() == event_kind::data) return e.bytes().data();
        return static_cast<const std::byte *>(nullptr);
    };
    EXPECT_EQ(at(s.tree.records()), at(s.tree.events()));
    // Split payloads of different lengths, one after another, share the buffer.
    tarnwick::tree tree;
    const std::string longer(20000, 'y');
    tree.add_data(1, s.long_payload);
    tree.add_data(2, std::string(5000, 'z'));
    tree.add_data(3, longer);
    tree.add_data(4, s.long_payload);
    EXPECT_EQ(
        whole(tree.records()),
        (std::vector<seen>{S(1, 0), D(1, 1, s.long_payload), E(1, 0), S(2, 0), D(2, 1, std::string(5000, 'z')), E(2, 0),
                           S(3, 0), D(3, 1, longer), E(3, 0), S(4, 0), D(4, 1, s.long_payload), E(4, 0)}));
}

TEST(CppWalk, TellsAWalkStoppedByTheNestingLimitFromACompleteOne) {
    struct row {
        int nesting;  // nodes nested in a chain, each but the last holding the next
        bool stopped;
    };
    for (const row r :
         {row{0, false}, row{1, false}, row{TARNWICK_MAX_LEVELS, false}, row{TARNWICK_MAX_LEVELS + 1, true}}) {
        SCOPED_TRACE(r.nesting);
        tarnwick::tree tree;
        if (r.nesting > 0) {
            tarnwick::node n = tree.add_node(1);
            for (int level = 1; level < r.nesting; ++level) n = n.add_node(level + 1);
        }
        auto events = tree.events();
        EXPECT_FALSE(events.stopped_at_limit());
        const auto starts = std::ranges::count_if(events, [](const auto &e) { return e.kind() == event_kind::start; });
        EXPECT_EQ(events.stopped_at_limit(), r.stopped);
        EXPECT_EQ(starts, r.stopped ? TARNWICK_MAX_LEVELS : r.nesting);
        EXPECT_EQ(tree.visit([](const tarnwick::event &) noexcept {}), !r.stopped);
        auto records = tree.records();
        EXPECT_EQ(std::ranges::count_if(records, [](const auto &e) { return e.kind() == event_kind::start; }), starts);
        EXPECT_EQ(records.stopped_at_limit(), r.stopped);
    }
}

TEST(CppWalk, VisitRethrowsTheFirstExceptionAndCallsNoMore) {
    sample s;
    int calls = 0;
    auto throw_on_third = [&calls](const tarnwick::event &) {
        if (++calls == 3) throw std::runtime_error("third");
    };
    EXPECT_THROW(s.tree.visit(throw_on_third), std::runtime_error);
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(visited(s.tree), s.expected());
}

TEST(CppTree, MovesHandTheBlocksOverAndLeaveAnEmptyTree) {
    sample s;
    tarnwick::tree moved(std::move(s.tree));
    EXPECT_EQ(s.tree.root()->first, nullptr);
    EXPECT_TRUE(pulled(s.tree.events()).empty());
    s.one.add_data(7, "!");  // handles live in the blocks, which did not move
    std::vector<seen> expected = s.expected();
    expected.insert(expected.begin() + 10, {S(7, 1), D(7, 2, "!"), E(7, 1)});
    EXPECT_EQ(pulled(moved.events()), expected);

    tarnwick::tree other;
    other.add_node(9);
    other = std::move(moved);
    EXPECT_EQ(moved.root()->first, nullptr);
    EXPECT_EQ(pulled(other.events()), expected);
    other = tarnwick::tree();
    EXPECT_EQ(other.root()->first, nullptr);
    moved.add_data(8, "again");  // a moved-from tree is built again from scratch
    EXPECT_EQ(pulled(moved.events()), (std::vector<seen>{S(8, 0), D(8, 1, "again"), E(8, 0)}));
}

TEST(CppTree, DisposingANodeKeepsTheNodeChildless) {
    sample s;
    s.one.dispose();
    EXPECT_EQ(pulled(s.tree.events(s.one)), std::vector<seen>{});
    s.one.add_data(2, "new");
    EXPECT_EQ(pulled(s.tree.events()), (std::vector<seen>{S(1, 0), S(2, 1), D(2, 2, "new"), E(2, 1), E(1, 0), S(6, 0),
                                                          D(6, 1, s.long_payload), E(6, 0)}));
}

TEST(CppTree, AppendsFromEveryKindOfByteRange) {
    tarnwick::tree tree;
    const std::string text = "str";
    const std::array<std::byte, 2> bytes = {std::byte{0x41}, std::byte{0x42}};
    const unsigned char raw[] = {'r', 'a', 'w'};
    tree.add_data(1, "literal");
    tree.add_data(2, text);
    tree.add_data(3, std::span<const std::byte>(bytes));
    tree.add_data(4, bytes);
    tree.add_data(5, std::vector<std::uint8_t>{'u', '8'});
    tree.add_data(6, std::vector<char>{'c', '\0', 'z'});  // a range keeps its zero bytes
    tree.add_data(7, raw);
    tree.add_data(8, std::string_view());
    std::vector<std::string> payloads;
    for (const tarnwick::event &e : tree.events())
        if (e.kind() != event_kind::end) payloads.push_back(copy(e).bytes);
    EXPECT_EQ(payloads, (std::vector<std::string>{"", "literal", "", "str", "", "AB", "", "AB", "", "u8", "",
                                                  std::string("c\0z", 3), "", "raw", ""}));
}

// A range that claims more bytes than a record may hold; its bytes are never read.
struct oversized {
    std::byte one[1] = {};
    const std::byte *begin() const { return one; }
    const std::byte *end() const { return one + 1; }
    std::size_t size() const { return std::size_t{TARNWICK_MAX_LENGTH} + 1; }
};

TEST(CppTree, RefusesARecordLongerThanTheFormatHolds) {
    tarnwick::tree tree;
    tarnwick::node n = tree.add_node(1);
    EXPECT_THROW(tree.add_data(2, oversized{}), std::length_error);
    EXPECT_THROW(n.add_data(2, oversized{}), std::length_error);
    EXPECT_EQ(pulled(tree.events()), (std::vector<seen>{S(1, 0), E(1, 0)}));
}

// Where the C functions keep a tag's low 12 bits, the C++ appends refuse it,
// before any block is allocated: the empty tree stays without one.
TEST(CppTree, RefusesATagOutsideTheFormat) {
    tarnwick::tree tree;
    for (int tag : {-1, 4096, 5000}) {
        EXPECT_THROW(tree.add_node(tag), std::out_of_range) << tag;
        EXPECT_THROW(tree.add_data(tag, "x"), std::out_of_range) << tag;
        EXPECT_THROW(tree.add_data(tag, std::vector<char>{'x'}), std::out_of_range) << tag;
    }
    EXPECT_EQ(tree.root()->first, nullptr);
    tarnwick::node n = tree.add_node(4095);
    EXPECT_THROW(n.add_node(4096), std::out_of_range);
    EXPECT_THROW(n.add_data(-1, "x"), std::out_of_range);
    EXPECT_THROW(n.add_data(5000, std::span<const std::byte>()), std::out_of_range);
    EXPECT_EQ(n.handle()->children.first, nullptr);
    n.add_data(0, "x");
    EXPECT_EQ(pulled(tree.events()), (std::vector<seen>{S(4095, 0), S(0, 1), D(0, 2, "x"), E(0, 1), E(4095, 0)}));
}

}  // namespace
