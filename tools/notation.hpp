// SPDX-License-Identifier: MIT
// The tool's tree notation and the tree it builds through the C interface.
#ifndef TARNWICK_TOOL_NOTATION_HPP
#define TARNWICK_TOOL_NOTATION_HPP

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tarnwick.h"

namespace tool {

// Longest payload a `*N` count or an `@FILE` may give: large enough to show
// any block chain, small enough that a typing slip cannot eat the machine.
constexpr std::size_t kMaxPayload = std::size_t{1} << 24;

// A place in the input: 1-based line and column, columns counted in bytes.
struct place {
    std::size_t line = 1;
    std::size_t column = 1;
};

// Input that does not follow the notation, or names a file that cannot be read.
struct input_error {
    place at;
    std::string message;
};

// The library refused a block allocation for the item at `at`.
struct out_of_memory {
    place at;
};

// One list of the tree: the root list (entry 0) or the children of a node.
// Entries are kept in the order the nodes appear in the input, which is the
// order of a depth-first walk.
struct list_entry {
    const tarnwick_list *list;
    const tarnwick_node *handle;  // null for the root list
    std::size_t parent;           // entry of the list holding the node
    std::size_t index;            // the node's place among its parent's records
    unsigned tag;
    std::size_t depth;  // 0 for the root list
};

// A tree built from the notation, with the bookkeeping the printers need.
// It owns the tree and disposes it.
struct built_tree {
    built_tree();
    ~built_tree();
    built_tree(const built_tree &) = delete;
    built_tree &operator=(const built_tree &) = delete;

    tarnwick_list root;
    std::vector<list_entry> lists;
    std::size_t nodes = 0;
    std::size_t data_records = 0;
    std::uint64_t payload_bytes = 0;
};

// Reads a whole file of at most `limit` bytes into `bytes`. On failure,
// returns false with the reason in `error`.
bool read_file(const std::string &path, std::size_t limit, std::string &bytes, std::string &error);

// Appends the records that `text` describes to `tree`. A relative `@PATH` is
// read from `folder`, which is empty for the current folder or ends with a
// separator (see folder_of). Throws input_error for bad input and
// out_of_memory when the library refuses an allocation; the records built so
// far stay in `tree`, which disposes them.
void build(std::string_view text, built_tree &tree, std::string_view folder = {});

// The folder that holds `file`, with its final separator ("trees/" for
// "trees/a.tw"), or "" for a file in the current folder: where the relative
// `@PATH`s of a notation file start from.
std::string folder_of(std::string_view file);

}  // namespace tool

#endif
