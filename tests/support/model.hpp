// SPDX-License-Identifier: MIT
// A plain in-memory model of a tree, built alongside the real one, that says
// which events a walk must produce. DATA pieces depend on block boundaries,
// which the model does not know, so the model gives one DATA per record with
// the whole payload, and walks are compared after merge_data().
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "events.hpp"

class tree_model {
public:
    static constexpr int root = -1;

    // Adds a record at the end of `parent`'s list (root or a node's index) and
    // returns its index.
    int add_node(int parent, int tag);
    int add_data(int parent, int tag, std::string bytes);
    // What a refused or partial append leaves: shortens a data record.
    void truncate(int index, std::size_t length);
    // What tarnwick_dispose on a node's handle leaves: the node, childless.
    // Its former descendants are forgotten for good.
    void clear(int parent);

    bool is_node(int index) const { return records_[static_cast<std::size_t>(index)].is_node; }
    unsigned tag(int index) const { return records_[static_cast<std::size_t>(index)].tag; }
    const std::string &bytes(int index) const { return records_[static_cast<std::size_t>(index)].bytes; }
    const std::vector<int> &children(int parent) const;
    std::size_t size() const { return records_.size(); }

    // The walk of `parent`'s list: DATA merged per record, cut off where the
    // nesting limit stops the walk (then *stopped is set, when given, and
    // *stop_tag is the tag of the node that was not entered).
    std::vector<recorded_event> events(int parent = root, bool *stopped = nullptr, unsigned *stop_tag = nullptr) const;

private:
    struct record {
        bool is_node;
        unsigned tag;
        std::string bytes;
        std::vector<int> children;
    };
    // Returns the node that stopped the walk, or -1 when it is complete.
    int walk(const std::vector<int> &list, int level, std::vector<recorded_event> &out) const;
    std::vector<int> &list_of(int parent);

    std::vector<record> records_;
    std::vector<int> roots_;
};

// Joins the consecutive DATA pieces of each record into one DATA event.
std::vector<recorded_event> merge_data(const std::vector<recorded_event> &events);

// A real tree and its model, built by the same calls, so that a test can walk
// the one and ask the other what the walk must give. Records are named by
// their model index; tree_model::root names the root list.
class mirrored_tree {
public:
    mirrored_tree();
    ~mirrored_tree();
    mirrored_tree(const mirrored_tree &) = delete;
    mirrored_tree &operator=(const mirrored_tree &) = delete;

    // Append to `parent`'s list in both; return the new index, or -1 when
    // the library refused (the model is then left unchanged).
    int node(int parent, int tag);
    int data(int parent, int tag, std::string bytes);
    // Appends a data record that leaves exactly `space` bytes free in the
    // tail block of `parent`'s list (`space` even and below what is free).
    int leave_space(int parent, unsigned space, int tag = 0);
    // tarnwick_dispose on the node's handle; its descendants are gone.
    void dispose_children(int parent);

    const tree_model &model() const { return model_; }
    tarnwick_list *root() { return &root_; }
    // The node's handle (null for the root list or a disposed node).
    tarnwick_node *handle(int index) const;
    // `parent`'s list: the root list or the node's children.
    tarnwick_list *list(int parent);
    // Live nodes, in the order they were made.
    std::vector<int> nodes() const;
    // The root list and the child list of every live node.
    std::vector<const tarnwick_list *> lists() const;

private:
    tarnwick_list root_;
    tree_model model_;
    std::vector<tarnwick_node *> handles_;  // by index; null for data records
    std::vector<int> parents_;              // by index
};
