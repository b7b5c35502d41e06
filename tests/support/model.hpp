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
    const std::vector<int> &children(int parent) const;
    std::size_t size() const { return records_.size(); }

    // The walk of `parent`'s list: DATA merged per record, cut off where the
    // nesting limit stops the walk (then *stopped is set, when given).
    std::vector<recorded_event> events(int parent = root, bool *stopped = nullptr) const;

private:
    struct record {
        bool is_node;
        unsigned tag;
        std::string bytes;
        std::vector<int> children;
    };
    bool walk(const std::vector<int> &list, int level, std::vector<recorded_event> &out) const;
    std::vector<int> &list_of(int parent);

    std::vector<record> records_;
    std::vector<int> roots_;
};

// Joins the consecutive DATA pieces of each record into one DATA event.
std::vector<recorded_event> merge_data(const std::vector<recorded_event> &events);
