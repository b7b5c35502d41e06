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
