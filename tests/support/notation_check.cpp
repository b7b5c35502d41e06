// SPDX-License-Identifier: MIT
#include "notation_check.hpp"

#include <algorithm>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "alloc_hook.hpp"
#include "events.hpp"
#include "notation.hpp"
#include "program.hpp"
#include "show.hpp"

namespace tool {

// Stands in for the tool's file reading: every file holds its own name.
bool read_file(const std::string &path, std::size_t limit, std::string &bytes, std::string &error) {
    if (path.size() > limit) {
        error = "larger than " + std::to_string(limit) + " bytes";
        return false;
    }
    bytes = path;
    return true;
}

}  // namespace tool

namespace notation_check {
namespace {

[[noreturn]] void fail(const std::string &what) { throw program::check_failed(what); }

// Whether `at` names a place in `text`: one of its lines, and a column at
// most one past that line's last byte (a fault at a line's or the input's end).
bool names_a_place_in(std::string_view text, tool::place at) {
    if (at.line == 0 || at.column == 0) return false;
    std::size_t line_start = 0;
    for (std::size_t line = 1; line < at.line; ++line) {
        line_start = text.find('\n', line_start);
        if (line_start == std::string_view::npos) return false;
        ++line_start;
    }
    const std::size_t line_end = std::min(text.find('\n', line_start), text.size());
    return at.column <= line_end - line_start + 1;
}

std::string shown(tool::place at) { return std::to_string(at.line) + ":" + std::to_string(at.column); }

bool deeper_than_a_walk_goes(const tool::built_tree &tree) {
    return std::any_of(tree.lists.begin(), tree.lists.end(),
                       [](const tool::list_entry &e) { return e.depth > TARNWICK_MAX_LEVELS; });
}

// Both walks give one stream; it holds every record once, with its payload,
// unless the nesting limit stopped it, which leaves exactly the walk's
// levels open. The printers must get through any tree.
void check_walks(const tool::built_tree &tree) {
    const std::vector<raw_event> visited = visit_raw(&tree.root);
    if (visited != iter_raw(&tree.root)) fail("the callback walk and the iterator differ");
    const bool stopped = deeper_than_a_walk_goes(tree);
    if (const std::string fault = unbalanced(visited, !stopped); !fault.empty()) fail(fault);
    std::size_t starts = 0, ends = 0;
    std::uint64_t payload = 0;
    for (const raw_event &e : visited) {
        starts += e.type == TARNWICK_EVENT_START;
        ends += e.type == TARNWICK_EVENT_END;
        if (e.type == TARNWICK_EVENT_DATA) payload += static_cast<std::uint64_t>(e.length);
    }
    if (stopped && starts - ends != TARNWICK_MAX_LEVELS) fail("the stopped walk left the wrong number open");
    if (!stopped && (starts != tree.nodes + tree.data_records || payload != tree.payload_bytes))
        fail("the walk's records or payload differ from what was built");
    std::ostream nowhere(nullptr);
    if (tool::print_walk(tree, nowhere).complete == stopped) fail("print_walk misreports the nesting limit");
    tool::print_layout(tree, true, nowhere);
}

}  // namespace

void run(const std::uint8_t *bytes, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char *>(bytes), size);
    const std::size_t live_before = test_alloc::live();
    test_alloc::reset();
    test_alloc::refuse(kMaxBlocks + 1, true);
    {
        tool::built_tree tree;
        try {
            tool::build(text, tree);
            check_walks(tree);
        } catch (const tool::input_error &e) {
            if (e.message.empty() || !names_a_place_in(text, e.at))
                fail("refused at " + shown(e.at) + " with '" + e.message + "'");
        } catch (const tool::out_of_memory &e) {
            if (test_alloc::attempts() <= kMaxBlocks) fail("out of memory reported with no allocation refused");
            if (!names_a_place_in(text, e.at)) fail("out of memory reported at " + shown(e.at));
        }
    }
    test_alloc::reset();
    if (test_alloc::live() != live_before) fail("the tree's disposal left blocks allocated");
}

}  // namespace notation_check
