// SPDX-License-Identifier: MIT
// The tool's printers: the event stream, its statistics and the block layout.
#ifndef TARNWICK_TOOL_SHOW_HPP
#define TARNWICK_TOOL_SHOW_HPP

#include <ostream>

#include "notation.hpp"

namespace tool {

// How a walk ended: complete, or stopped by the nesting limit before the
// START of the node with tag `stopped_tag`.
struct walk_result {
    bool complete;
    unsigned stopped_tag;
};

// Prints the event stream of the whole tree, one event per line, indented by
// depth. Uses the pull iterator, which tells a stop at the nesting limit from
// the end of the walk.
walk_result print_walk(const built_tree &tree, std::ostream &out);

// Prints counts of records and blocks, bytes allocated and used, and overhead.
void print_stats(const built_tree &tree, std::ostream &out);

// Prints every list's block chain with its records, and with `hex` a dump of
// each block's bytes.
void print_layout(const built_tree &tree, bool hex, std::ostream &out);

// Draws the same as an SVG picture: each list a chain of blocks, each block
// rows of byte cells coloured by the part of the record they belong to, the
// free or abandoned tail, and an arrow from each node record to its list.
// With `hex`, each cell shows its byte.
void print_layout_svg(const built_tree &tree, bool hex, std::ostream &out);

}  // namespace tool

#endif
