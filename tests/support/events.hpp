// SPDX-License-Identifier: MIT
// Recording a walk's events, from the callback walk or the pull iterator, as
// values that compare byte by byte.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "tarnwick.h"

struct recorded_event {
    int type;
    unsigned tag;
    std::string bytes;  // a DATA piece's payload; empty for START and END

    bool operator==(const recorded_event &) const = default;
};

std::ostream &operator<<(std::ostream &out, const recorded_event &e);

inline recorded_event start(unsigned tag) { return {TARNWICK_EVENT_START, tag, {}}; }
inline recorded_event data(unsigned tag, std::string bytes) { return {TARNWICK_EVENT_DATA, tag, std::move(bytes)}; }
inline recorded_event end(unsigned tag) { return {TARNWICK_EVENT_END, tag, {}}; }

// Every event tarnwick_visit_node passes to its callback.
std::vector<recorded_event> visit_events(const tarnwick_list *root, const tarnwick_node *node = nullptr);

// Every event tarnwick_iter_next returns until its first null.
std::vector<recorded_event> iter_events(const tarnwick_list *root, const tarnwick_node *node = nullptr);

// An event as a walk hands it out, with the DATA pointer itself, for checks
// on where pieces lie. The two walks must agree on these exactly.
struct raw_event {
    int type;
    unsigned tag;
    const unsigned char *data;
    int length;

    bool operator==(const raw_event &) const = default;
};

std::ostream &operator<<(std::ostream &out, const raw_event &e);

std::vector<raw_event> visit_raw(const tarnwick_list *root, const tarnwick_node *node = nullptr);
std::vector<raw_event> iter_raw(const tarnwick_list *root, const tarnwick_node *node = nullptr);

// The same events with each DATA piece's bytes copied out.
std::vector<recorded_event> recorded(const std::vector<raw_event> &events);

// Empty when every DATA piece holds at least one byte and lies inside one
// block, [data, data_end), of one of `lists`; otherwise says which is not.
std::string pieces_outside_blocks(const std::vector<raw_event> &events,
                                  const std::vector<const tarnwick_list *> &lists);

// Empty when every START is closed by exactly one END with the same tag,
// properly nested (`complete`: all of them by the end of the stream);
// otherwise says where that fails.
std::string unbalanced(const std::vector<raw_event> &events, bool complete = true);
