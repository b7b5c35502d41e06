#include "events.hpp"

std::ostream &operator<<(std::ostream &out, const recorded_event &e) {
    static const char *const names[] = {"?", "START", "DATA", "END"};
    out << (e.type >= 1 && e.type <= 3 ? names[e.type] : names[0]) << '(' << e.tag;
    if (e.type == TARNWICK_EVENT_DATA) out << ", " << e.bytes.size() << " bytes";
    return out << ')';
}

namespace {
int TARNWICK_CALL record(void *context, int type, unsigned tag, const unsigned char *bytes, int length) {
    auto *events = static_cast<std::vector<recorded_event> *>(context);
    events->push_back({type, tag, bytes ? std::string(reinterpret_cast<const char *>(bytes), static_cast<std::size_t>(length)) : std::string()});
    return 0;
}
}  // namespace

std::vector<recorded_event> visit_events(const tarnwick_list *root, const tarnwick_node *node) {
    std::vector<recorded_event> events;
    tarnwick_visit_node(root, node, &events, record);
    return events;
}

std::vector<recorded_event> iter_events(const tarnwick_list *root, const tarnwick_node *node) {
    std::vector<recorded_event> events;
    tarnwick_iter iter;
    tarnwick_iter_init(root, &iter, node);
    while (const tarnwick_event *e = tarnwick_iter_next(root, &iter))
        record(&events, e->type, e->tag, e->data, e->length);
    return events;
}
