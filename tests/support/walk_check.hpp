// SPDX-License-Identifier: MIT
// Checks shared by the walk tests: the C walks and the inline C++ walks of one
// starting list, compared with each other, with the model, and with where the
// tree's blocks lie; and the C++ reads of one list against the model.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "events.hpp"
#include "model.hpp"
#include "tarnwick.hpp"

// A pull walk up to its first null, and what the iterator holds then.
struct pulled_walk {
    std::vector<raw_event> events;
    bool stopped = false;       // `top` still set after the null: the nesting limit
    raw_event after_null = {};  // `event` after the null
    bool stays_null = true;     // later calls return null and change nothing
};

inline raw_event as_raw(const tarnwick_event &e) { return {e.type, e.tag, e.data, e.length}; }

// Pulls until the first null, then a few more times, to see that a walk that
// has ended (or stopped) stays that way.
inline pulled_walk pull(const tarnwick_list *root, const tarnwick_node *node) {
    constexpr int kCallsAfterNull = 3;
    pulled_walk walk;
    tarnwick_iter iter;
    tarnwick_iter_init(root, &iter, node);
    while (const tarnwick_event *e = tarnwick_iter_next(root, &iter)) walk.events.push_back(as_raw(*e));
    walk.stopped = iter.top != nullptr;
    walk.after_null = as_raw(iter.event);
    const tarnwick_frame *top = iter.top;
    for (int i = 0; i < kCallsAfterNull; ++i) {
        const bool still =
            tarnwick_iter_next(root, &iter) == nullptr && iter.top == top && as_raw(iter.event) == walk.after_null;
        walk.stays_null = walk.stays_null && still;
    }
    return walk;
}

// An inline C++ walk (tree::visit or a tree's events()), as raw events, and
// whether the nesting limit stopped it. Each event's depth must be the number
// of records open around it, as worked out from the stream itself.
struct cpp_walk {
    std::vector<raw_event> events;
    bool stopped = false;
    bool depths_right = true;
    bool begins_at_end = true;  // after the walk, begin() gives the end
};

inline void add_cpp_event(cpp_walk &walk, const tarnwick::event &e, int &open) {
    const int type = static_cast<int>(e.kind());
    if (type == TARNWICK_EVENT_END) --open;
    walk.depths_right = walk.depths_right && e.depth() == open;
    if (type == TARNWICK_EVENT_START) ++open;
    walk.events.push_back(
        {type, e.tag(), reinterpret_cast<const unsigned char *>(e.bytes().data()), static_cast<int>(e.bytes().size())});
}

inline cpp_walk cpp_visit(const tarnwick_list *root, const tarnwick_node *node) {
    cpp_walk walk;
    int open = 0;
    auto add = [&](const tarnwick::event &e) { add_cpp_event(walk, e, open); };
    walk.stopped = !tarnwick::detail::visit(root, node, add);
    return walk;
}

// With `twice`, begin() is called once more before the walk: begin() alone
// must not move the walk on. Once ++ has, begin() gives the end.
inline cpp_walk cpp_range(const tarnwick_list *root, const tarnwick_node *node, bool twice = false) {
    cpp_walk walk;
    int open = 0;
    tarnwick::event_range range(root, node);
    if (twice) (void)range.begin();
    for (const tarnwick::event &e : range) add_cpp_event(walk, e, open);
    walk.stopped = range.stopped_at_limit();
    walk.begins_at_end = range.begin() == range.end();
    return walk;
}

// A walk with payloads whole (tree.records()), and whether each START of a
// data record and its DATA tell the length that the DATA then holds.
struct cpp_records_walk {
    std::vector<recorded_event> events;
    bool stopped = false;
    bool lengths_right = true;
};

inline cpp_records_walk cpp_records(const tarnwick_list *root, const tarnwick_node *node) {
    cpp_records_walk walk;
    std::size_t told = 0;  // the length the last START told
    tarnwick::record_range range(root, node);
    for (const tarnwick::record_event &e : range) {
        const auto kind = e.kind();
        if (kind == tarnwick::event_kind::start) told = e.record_length();
        const std::size_t expected = kind == tarnwick::event_kind::end ? 0 : told;
        walk.lengths_right = walk.lengths_right && e.record_length() == expected &&
                             (kind != tarnwick::event_kind::data || e.bytes().size() == told);
        walk.events.push_back(
            {static_cast<int>(kind), e.tag(), {reinterpret_cast<const char *>(e.bytes().data()), e.bytes().size()}});
    }
    walk.stopped = range.stopped_at_limit();
    return walk;
}

// Empty when the two sequences are equal, else where they first differ.
template <typename Event>
std::string first_difference(const std::vector<Event> &got, const std::vector<Event> &expected) {
    std::ostringstream out;
    for (std::size_t i = 0; i < got.size() || i < expected.size(); ++i) {
        if (i < got.size() && i < expected.size() && got[i] == expected[i]) continue;
        out << "event " << i << ": got ";
        if (i < got.size())
            out << got[i];
        else
            out << "nothing";
        out << ", expected ";
        if (i < expected.size())
            out << expected[i];
        else
            out << "nothing";
        out << " (" << got.size() << " events, expected " << expected.size() << ")";
        break;
    }
    return out.str();
}

// Walks `start` (tree_model::root or a node) both ways. The two raw streams
// must be identical, lie in the tree's blocks, nest properly, and, with DATA
// merged per record, equal the model's, byte by byte; a walk the nesting
// limit stops must stop for good, holding the START of the node not entered.
inline ::testing::AssertionResult walks_match_model(mirrored_tree &tree, int start) {
    const tarnwick_node *node = tree.handle(start);
    const std::vector<raw_event> visited = visit_raw(tree.root(), node);
    const pulled_walk pulled = pull(tree.root(), node);
    bool stopped = false;
    unsigned stop_tag = 0;
    const std::vector<recorded_event> expected = tree.model().events(start, &stopped, &stop_tag);

    if (std::string d = first_difference(pulled.events, visited); !d.empty())
        return ::testing::AssertionFailure() << "iterator against callback walk: " << d;
    for (const auto &[name, walk] :
         {std::pair{"C++ visit", cpp_visit(tree.root(), node)}, std::pair{"C++ range", cpp_range(tree.root(), node)},
          std::pair{"C++ range, begun twice", cpp_range(tree.root(), node, true)}}) {
        if (std::string d = first_difference(walk.events, visited); !d.empty())
            return ::testing::AssertionFailure() << name << " against callback walk: " << d;
        if (walk.stopped != stopped || !walk.depths_right || !walk.begins_at_end)
            return ::testing::AssertionFailure() << name
                                                 << (!walk.depths_right    ? " depths"
                                                     : !walk.begins_at_end ? " begin() after it"
                                                                           : " stop")
                                                 << " wrong";
    }
    const cpp_records_walk whole = cpp_records(tree.root(), node);
    if (std::string d = first_difference(whole.events, merge_data(recorded(visited))); !d.empty())
        return ::testing::AssertionFailure() << "C++ records against callback walk: " << d;
    if (whole.stopped != stopped || !whole.lengths_right)
        return ::testing::AssertionFailure()
               << "C++ records" << (whole.lengths_right ? " stop" : " lengths") << " wrong";
    if (std::string fault = pieces_outside_blocks(visited, tree.lists()); !fault.empty())
        return ::testing::AssertionFailure() << fault;
    if (std::string fault = unbalanced(visited, !stopped); !fault.empty())
        return ::testing::AssertionFailure() << fault;
    if (std::string d = first_difference(merge_data(recorded(visited)), expected); !d.empty())
        return ::testing::AssertionFailure() << "against the model: " << d;
    if (pulled.stopped != stopped)
        return ::testing::AssertionFailure() << "iterator top after the null: " << (pulled.stopped ? "set" : "null")
                                             << ", the model says the walk " << (stopped ? "stops" : "completes");
    const raw_event held = stopped           ? raw_event{TARNWICK_EVENT_START, stop_tag, nullptr, 0}
                           : visited.empty() ? raw_event{}
                                             : visited.back();
    if (pulled.after_null != held)
        return ::testing::AssertionFailure()
               << "iterator holds " << pulled.after_null << " after the null, expected " << held;
    if (!pulled.stays_null) return ::testing::AssertionFailure() << "a call after the null changed the iterator";
    return ::testing::AssertionSuccess();
}

// Reads the list of `parent` (tree_model::root or a node) record by record,
// and finds each of its tags in turn: every child's kind, tag, node and
// payload (whole and in pieces), and each node's tag and whether it has
// children, must be the model's.
inline ::testing::AssertionResult list_matches_model(mirrored_tree &tree, int parent) {
    const tree_model &model = tree.model();
    const std::vector<int> &expected = model.children(parent);
    if (parent != tree_model::root) {
        const tarnwick::node n(tree.handle(parent));
        if (n.tag() != model.tag(parent) || n.has_children() == expected.empty())
            return ::testing::AssertionFailure() << "node " << parent << ": tag or has_children wrong";
    }
    std::size_t i = 0;
    for (const tarnwick::child &c : tarnwick::child_range(tree.list(parent))) {
        if (i == expected.size()) return ::testing::AssertionFailure() << "list " << parent << ": more children";
        const int index = expected[i++];
        if (c.is_node() != model.is_node(index) || c.tag() != model.tag(index))
            return ::testing::AssertionFailure() << "child " << index << ": kind or tag wrong";
        if (c.is_node()) {
            if (c.as_node().handle() != tree.handle(index) || c.size() != 0)
                return ::testing::AssertionFailure() << "child " << index << ": another node";
            continue;
        }
        std::string pieces;
        for (const std::span<const std::byte> piece : c.pieces()) {
            if (piece.empty()) return ::testing::AssertionFailure() << "child " << index << ": an empty piece";
            pieces.append(reinterpret_cast<const char *>(piece.data()), piece.size());
        }
        const std::span<const std::byte> whole = c.bytes();
        if (pieces != model.bytes(index) || c.size() != pieces.size() ||
            std::string(reinterpret_cast<const char *>(whole.data()), whole.size()) != pieces)
            return ::testing::AssertionFailure() << "child " << index << ": payload wrong";
    }
    if (i != expected.size()) return ::testing::AssertionFailure() << "list " << parent << ": fewer children";
    // Finding a tag again and again gives the children with that tag, in
    // order: each named by its node handle, or its payload's length.
    const auto name = [&](bool is_node, const tarnwick_node *handle, std::size_t size) {
        return is_node ? std::to_string(reinterpret_cast<uintptr_t>(handle)) : "data " + std::to_string(size);
    };
    for (const int first : expected) {
        const unsigned tag = model.tag(first);
        std::vector<std::string> found, wanted;
        tarnwick::child_range children(tree.list(parent));
        for (auto at = children.find(static_cast<int>(tag)); at != children.end();
             at = children.find(static_cast<int>(tag))) {
            found.push_back(name(at->is_node(), at->is_node() ? at->as_node().handle() : nullptr, at->size()));
            ++at;
        }
        for (const int index : expected)
            if (model.tag(index) == tag)
                wanted.push_back(name(model.is_node(index), tree.handle(index), model.bytes(index).size()));
        if (found != wanted) return ::testing::AssertionFailure() << "list " << parent << ": find(" << tag << ") wrong";
    }
    return ::testing::AssertionSuccess();
}
