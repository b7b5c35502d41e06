// SPDX-License-Identifier: MIT
#include "events.hpp"

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <utility>

namespace {
const char *type_name(int type) {
    static const char *const names[] = {"?", "START", "DATA", "END"};
    return type >= 1 && type <= 3 ? names[type] : names[0];
}

int TARNWICK_CALL record(void *context, int type, unsigned tag, const unsigned char *bytes, int length) {
    static_cast<std::vector<raw_event> *>(context)->push_back({type, tag, bytes, length});
    return 0;
}

uintptr_t address(const void *p) { return reinterpret_cast<uintptr_t>(p); }
}  // namespace

std::ostream &operator<<(std::ostream &out, const recorded_event &e) {
    out << type_name(e.type) << '(' << e.tag;
    if (e.type == TARNWICK_EVENT_DATA) out << ", " << e.bytes.size() << " bytes";
    return out << ')';
}

std::ostream &operator<<(std::ostream &out, const raw_event &e) {
    out << type_name(e.type) << '(' << e.tag;
    if (e.data != nullptr || e.length != 0) out << ", " << static_cast<const void *>(e.data) << ", " << e.length;
    return out << ')';
}

std::vector<raw_event> visit_raw(const tarnwick_list *root, const tarnwick_node *node) {
    std::vector<raw_event> events;
    tarnwick_visit_node(root, node, &events, record);
    return events;
}

std::vector<raw_event> iter_raw(const tarnwick_list *root, const tarnwick_node *node) {
    std::vector<raw_event> events;
    tarnwick_iter iter;
    tarnwick_iter_init(root, &iter, node);
    while (const tarnwick_event *e = tarnwick_iter_next(root, &iter))
        record(&events, e->type, e->tag, e->data, e->length);
    return events;
}

std::vector<recorded_event> recorded(const std::vector<raw_event> &events) {
    std::vector<recorded_event> out;
    out.reserve(events.size());
    for (const raw_event &e : events) {
        std::string bytes;
        if (e.data != nullptr && e.length > 0)
            bytes.assign(reinterpret_cast<const char *>(e.data), static_cast<std::size_t>(e.length));
        out.push_back({e.type, e.tag, std::move(bytes)});
    }
    return out;
}

std::vector<recorded_event> visit_events(const tarnwick_list *root, const tarnwick_node *node) {
    return recorded(visit_raw(root, node));
}

std::vector<recorded_event> iter_events(const tarnwick_list *root, const tarnwick_node *node) {
    return recorded(iter_raw(root, node));
}

// Blocks are sorted by address, so the one a piece could lie in is the last
// that begins at or before the piece.
std::string pieces_outside_blocks(const std::vector<raw_event> &events,
                                  const std::vector<const tarnwick_list *> &lists) {
    std::vector<std::pair<uintptr_t, uintptr_t>> blocks;
    for (const tarnwick_list *list : lists)
        for (const tarnwick_block *b = list->first; b != nullptr; b = b->next)
            blocks.emplace_back(address(b->data), address(b->data_end));
    std::sort(blocks.begin(), blocks.end());
    for (std::size_t i = 0; i < events.size(); ++i) {
        const raw_event &e = events[i];
        if (e.type != TARNWICK_EVENT_DATA) continue;
        const uintptr_t begin = address(e.data);
        auto in = std::upper_bound(blocks.begin(), blocks.end(), std::make_pair(begin, UINTPTR_MAX));
        const bool inside = e.length >= 1 && in != blocks.begin() && begin >= std::prev(in)->first &&
                            begin + static_cast<uintptr_t>(e.length) <= std::prev(in)->second;
        if (!inside) {
            std::ostringstream out;
            out << "event " << i << ' ' << e << " is not a piece inside one block";
            return out.str();
        }
    }
    return {};
}

std::string unbalanced(const std::vector<raw_event> &events, bool complete) {
    std::vector<unsigned> open;
    std::ostringstream out;
    for (std::size_t i = 0; i < events.size(); ++i) {
        const raw_event &e = events[i];
        if (e.type == TARNWICK_EVENT_START) {
            open.push_back(e.tag);
        } else if (open.empty()) {
            out << "event " << i << ' ' << e << " outside every record";
            return out.str();
        } else if (e.type == TARNWICK_EVENT_END) {
            if (open.back() != e.tag) {
                out << "event " << i << ' ' << e << " closes START(" << open.back() << ')';
                return out.str();
            }
            open.pop_back();
        } else if (e.type != TARNWICK_EVENT_DATA || open.back() != e.tag) {
            out << "event " << i << ' ' << e << " inside START(" << open.back() << ')';
            return out.str();
        }
    }
    if (complete && !open.empty()) {
        out << open.size() << " records never ended";
        return out.str();
    }
    return {};
}
