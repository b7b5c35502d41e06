// SPDX-License-Identifier: MIT
// records() gives each data record's payload whole, in one DATA event, even
// where it runs on over several blocks (events() gives one DATA per block).
// Then the nesting limit as C++ tells it: visit returns false, and a range
// says stopped_at_limit().
#include <cstdio>
#include <new>
#include <string>
#include <tarnwick.hpp>

int main() try {
    tarnwick::tree tree;
    tarnwick::node doc = tree.add_node(1);
    doc.add_data(2, "title");
    doc.add_data(3, std::string(1000, 'x'));  // longer than a first block

    int pieces = 0;
    for (const tarnwick::event &e : tree.events())
        if (e.kind() == tarnwick::event_kind::data) ++pieces;
    std::printf("events(): %d DATA events\n", pieces);
    for (const tarnwick::record_event &e : tree.records())
        if (e.kind() == tarnwick::event_kind::data)
            std::printf("records(): tag %u, %lu bytes whole\n", e.tag(), static_cast<unsigned long>(e.bytes().size()));

    // Nodes nested one deeper than the limit: the walk stops before the
    // START of the node too deep, and says so.
    tarnwick::node inner = doc;
    for (int level = 1; level <= TARNWICK_MAX_LEVELS; ++level) inner = inner.add_node(10 + level);
    int starts = 0;
    const bool complete = tree.visit([&](const tarnwick::event &e) {
        if (e.kind() == tarnwick::event_kind::start) ++starts;
    });
    std::printf("visit: %s after %d STARTs\n", complete ? "complete" : "stopped at the nesting limit", starts);
    tarnwick::record_range records = tree.records();
    for (const tarnwick::record_event &e : records) static_cast<void>(e);
    std::printf("records(): stopped_at_limit() is %s\n", records.stopped_at_limit() ? "true" : "false");
    return 0;
} catch (const std::bad_alloc &) {
    std::fprintf(stderr, "out of memory\n");
    return 1;
}
