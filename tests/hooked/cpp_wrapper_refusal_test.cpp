// SPDX-License-Identifier: MIT
// The C++ interface when blocks are refused: which error an append throws,
// how many bytes a partial record says it stored, and that trees release
// every block they own.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "alloc_hook.hpp"
#include "tarnwick.hpp"

namespace {

// The payload of the last record of a walk, all its DATA pieces joined.
std::string last_payload(tarnwick::event_range &&events) {
    std::string payload;
    for (const tarnwick::event &e : events) {
        if (e.kind() == tarnwick::event_kind::start) payload.clear();
        payload.append(reinterpret_cast<const char *>(e.bytes().data()), e.bytes().size());
    }
    return payload;
}

std::string pattern(std::size_t length) {
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>('a' + i % 26);
    return bytes;
}

TEST(CppRefusal, DataAppendThrowsBadAllocOrPartialWriteWithTheStoredCount) {
    struct row {
        const char *what;
        std::size_t filler;  // a record of this length first fills part of the first block
        std::size_t length;
        std::size_t refused;                // the k-th allocation of the append
        std::optional<std::size_t> stored;  // partial_write's count; none: plain bad_alloc
    };
    // A first block holds 256 bytes; a filler record of n bytes takes n + 3.
    const row rows[] = {
        {"first block refused", 0, 1000, 1, std::nullopt},
        {"second block refused", 0, 1000, 2, 252},
        {"header fills the tail exactly", 249, 300, 1, 0},
        {"tail too full for the header", 251, 1000, 1, std::nullopt},
        {"after moving past a full tail", 251, 1000, 2, 508},
    };
    for (const row &r : rows) {
        for (const bool under_node : {false, true}) {
            SCOPED_TRACE(std::string(r.what) + (under_node ? " under a node" : " at the root"));
            test_alloc::reset();
            tarnwick::tree tree;
            std::optional<tarnwick::node> parent;
            if (under_node) parent = tree.add_node(1);
            const auto append = [&](int tag, const std::string &bytes) {
                parent ? parent->add_data(tag, bytes) : tree.add_data(tag, bytes);
            };
            if (r.filler != 0) append(2, pattern(r.filler));
            const std::string payload = pattern(r.length);
            test_alloc::refuse(test_alloc::attempts() + r.refused);
            try {
                append(3, payload);
                ADD_FAILURE() << "no exception";
            } catch (const tarnwick::partial_write &e) {
                ASSERT_TRUE(r.stored.has_value()) << "partial_write of " << e.stored();
                EXPECT_EQ(e.stored(), *r.stored);
                EXPECT_EQ(e.requested(), r.length);
                EXPECT_EQ(last_payload(parent ? tree.events(*parent) : tree.events()), payload.substr(0, *r.stored));
            } catch (const std::bad_alloc &) {
                EXPECT_FALSE(r.stored.has_value()) << "plain bad_alloc";
                const std::string before = r.filler != 0 ? pattern(r.filler) : std::string();
                EXPECT_EQ(last_payload(parent ? tree.events(*parent) : tree.events()), before);
            }
            test_alloc::refuse(0);
        }
    }
}

TEST(CppRefusal, NodeAppendThrowsBadAllocAndAddsNothing) {
    test_alloc::reset();
    tarnwick::tree tree;
    test_alloc::refuse(1);
    EXPECT_THROW(tree.add_node(1), std::bad_alloc);
    EXPECT_EQ(tree.root()->first, nullptr);
    tarnwick::node n = tree.add_node(1);
    test_alloc::refuse(test_alloc::attempts() + 1);
    EXPECT_THROW(n.add_node(2), std::bad_alloc);
    EXPECT_EQ(n.handle()->children.first, nullptr);
}

TEST(CppRefusal, TreesReleaseEveryBlockTheyOwn) {
    test_alloc::reset();
    const std::size_t before = test_alloc::live();
    {
        tarnwick::tree tree;
        tarnwick::node n = tree.add_node(1);
        n.add_node(2).add_data(3, pattern(1000));
        tree.add_data(4, pattern(70000));
        tarnwick::tree moved(std::move(tree));
        tarnwick::tree other;
        other.add_data(5, "x");
        const std::size_t with_both = test_alloc::live();
        other = std::move(moved);  // releases the one block `other` held
        EXPECT_EQ(test_alloc::live(), with_both - 1);
        n.dispose();
        EXPECT_EQ(test_alloc::live(), with_both - 1 - 4);  // n's first block, its child's three
    }
    EXPECT_EQ(test_alloc::live(), before);
    EXPECT_EQ(test_alloc::log().freed.size(), test_alloc::log().allocated.size());
}

}  // namespace
