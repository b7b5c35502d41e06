// SPDX-License-Identifier: MIT
// A program of calls run against the library and, side by side, against a
// plain model: tree_model for the records and a shadow of every list's block
// accounting (capacity and space of the tail, number of blocks). Every call is
// checked as it returns (return code, allocations asked for and their sizes,
// the tail block's numbers), every walk against the model's events, and every
// release against the journal of the allocation hooks: each block freed once,
// none left at the end.
//
// The fuzz target decodes its input into such a program (run()); the
// allocation-failure test and the replay of past fuzz inputs use the same
// interpreter, so a check added here serves all three.
//
// Needs the library built with allocation hooks (tests/support/alloc_hook).
// A failed check throws check_failed with a description of what differed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "model.hpp"
#include "tarnwick.h"

namespace program {

struct check_failed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The byte at `offset` of the payload that starts with `start`: varies with
// the position beyond 256 bytes, so that a misplaced piece shows.
unsigned char payload_byte(unsigned char start, std::size_t offset);

class interpreter {
public:
    static constexpr int root = tree_model::root;
    static constexpr int none = -2;  // what a failed create returns; calls on it do nothing
    static constexpr std::size_t iterator_count = 4;

    interpreter();
    ~interpreter();
    interpreter(const interpreter &) = delete;
    interpreter &operator=(const interpreter &) = delete;

    // Appends under `list` (root or a node's index); returns the new record's
    // index, or none when the library refused (as predicted).
    int create_node(int list, int tag);
    int create_data(int list, int tag, std::size_t length, unsigned char start = 0);
    void dispose(int list);
    // A callback walk and a full pull walk of `list`, both checked.
    void visit(int list);
    // Pull iterators stepped one call at a time, several at once.
    void iter_start(std::size_t slot, int list);
    void iter_step(std::size_t slot, unsigned steps);
    // Refuses the allocation `ahead` calls from now (1: the next one), and
    // with `and_after` every one after it; 0 refuses none.
    void refuse(std::size_t ahead, bool and_after);
    // Calls with missing or out-of-range arguments that must change nothing.
    void misuse(unsigned which);
    // Completes the iterators, walks every list, disposes the root and checks
    // that every block came back exactly once.
    void finish();

    const std::vector<int> &nodes() const { return nodes_; }  // live node indices, oldest first
    std::size_t attempts() const { return attempts_; }
    std::size_t payload_bytes() const { return payload_bytes_; }

private:
    // What the library's accounting of one list must be.
    struct shadow_list {
        std::size_t blocks = 0;
        unsigned capacity = 0;  // of the tail
        unsigned space = 0;     // of the tail
    };
    struct record_info {
        int parent = root;
        tarnwick_node *handle = nullptr;  // nodes only
        shadow_list chain;                // a node's child list
    };
    struct iterator_slot {
        bool active = false;
        bool ended = false;
        int list = root;
        tarnwick_iter iter{};
        std::vector<raw_event> events;
    };

    tarnwick_list *list_of(int list);
    tarnwick_node *handle_of(int list) const;
    shadow_list &shadow_of(int list);
    bool usable(int list) const;
    bool within(int list, int ancestor) const;
    std::vector<int> lists_below(int list) const;

    bool refused(std::size_t attempt) const;
    bool shadow_allocate(shadow_list &chain, unsigned capacity);
    bool shadow_room(shadow_list &chain, std::size_t need);
    void check_tail(int list);
    void check_journal(std::size_t expected_freed);
    void check_walk(int list, const std::vector<raw_event> &events, bool stopped, const char *walk);
    void end_iterator(iterator_slot &slot);
    void changed(int list, bool removed);

    tarnwick_list root_{};
    tree_model model_;
    std::vector<record_info> records_;
    std::vector<int> nodes_;
    shadow_list root_chain_;
    std::array<iterator_slot, iterator_count> iterators_;

    std::size_t attempts_ = 0;   // allocations asked for, as the shadow counts them
    std::size_t refuse_at_ = 0;  // absolute attempt number; 0: none
    bool refuse_after_ = false;
    std::vector<std::size_t> expected_sizes_;  // of the allocations still to be seen in the journal
    std::size_t seen_allocated_ = 0, seen_freed_ = 0;
    std::set<void *> live_;
    std::size_t live_at_start_;
    std::size_t payload_bytes_ = 0;
    unsigned last_stop_tag_ = 0;  // of the node the last stopped walk did not enter
    bool finished_ = false;
};

// Decodes `size` bytes into calls on a fresh interpreter and finishes it.
void run(const std::uint8_t *bytes, std::size_t size);

}  // namespace program
