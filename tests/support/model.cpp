#include "model.hpp"

namespace {
unsigned stored_tag(int tag) { return static_cast<unsigned>(tag) & TARNWICK_MAX_TAG; }
}  // namespace

std::vector<int> &tree_model::list_of(int parent) {
    return parent == root ? roots_ : records_[static_cast<std::size_t>(parent)].children;
}

const std::vector<int> &tree_model::children(int parent) const {
    return parent == root ? roots_ : records_[static_cast<std::size_t>(parent)].children;
}

int tree_model::add_node(int parent, int tag) {
    records_.push_back({true, stored_tag(tag), {}, {}});
    const int index = static_cast<int>(records_.size() - 1);
    list_of(parent).push_back(index);
    return index;
}

int tree_model::add_data(int parent, int tag, std::string bytes) {
    records_.push_back({false, stored_tag(tag), std::move(bytes), {}});
    const int index = static_cast<int>(records_.size() - 1);
    list_of(parent).push_back(index);
    return index;
}

void tree_model::truncate(int index, std::size_t length) {
    records_[static_cast<std::size_t>(index)].bytes.resize(length);
}

void tree_model::clear(int parent) { list_of(parent).clear(); }

// Level 0 is the starting list; a node met in the list at the last level
// stops the walk before its START.
bool tree_model::walk(const std::vector<int> &list, int level, std::vector<recorded_event> &out) const {
    for (int index : list) {
        const record &r = records_[static_cast<std::size_t>(index)];
        if (r.is_node && level == TARNWICK_MAX_LEVELS) return false;
        out.push_back(start(r.tag));
        if (r.is_node) {
            if (!walk(r.children, level + 1, out)) return false;
        } else if (!r.bytes.empty()) {
            out.push_back(data(r.tag, r.bytes));
        }
        out.push_back(end(r.tag));
    }
    return true;
}

std::vector<recorded_event> tree_model::events(int parent, bool *stopped) const {
    std::vector<recorded_event> out;
    const bool complete = walk(children(parent), 0, out);
    if (stopped != nullptr) *stopped = !complete;
    return out;
}

std::vector<recorded_event> merge_data(const std::vector<recorded_event> &events) {
    std::vector<recorded_event> merged;
    for (const recorded_event &e : events) {
        if (e.type == TARNWICK_EVENT_DATA && !merged.empty() && merged.back().type == TARNWICK_EVENT_DATA &&
            merged.back().tag == e.tag)
            merged.back().bytes += e.bytes;
        else
            merged.push_back(e);
    }
    return merged;
}
