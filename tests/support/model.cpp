// SPDX-License-Identifier: MIT
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
int tree_model::walk(const std::vector<int> &list, int level, std::vector<recorded_event> &out) const {
    for (int index : list) {
        const record &r = records_[static_cast<std::size_t>(index)];
        if (r.is_node && level == TARNWICK_MAX_LEVELS) return index;
        out.push_back(start(r.tag));
        if (r.is_node) {
            if (const int stop = walk(r.children, level + 1, out); stop >= 0) return stop;
        } else if (!r.bytes.empty()) {
            out.push_back(data(r.tag, r.bytes));
        }
        out.push_back(end(r.tag));
    }
    return -1;
}

std::vector<recorded_event> tree_model::events(int parent, bool *stopped, unsigned *stop_tag) const {
    std::vector<recorded_event> out;
    const int stop = walk(children(parent), 0, out);
    if (stopped != nullptr) *stopped = stop >= 0;
    if (stop_tag != nullptr) *stop_tag = stop >= 0 ? records_[static_cast<std::size_t>(stop)].tag : 0;
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

mirrored_tree::mirrored_tree() { tarnwick_init(&root_); }

mirrored_tree::~mirrored_tree() { tarnwick_dispose(&root_); }

tarnwick_node *mirrored_tree::handle(int index) const {
    return index == tree_model::root ? nullptr : handles_[static_cast<std::size_t>(index)];
}

tarnwick_list *mirrored_tree::list(int parent) {
    return parent == tree_model::root ? &root_ : &handle(parent)->children;
}

int mirrored_tree::node(int parent, int tag) {
    tarnwick_node *made = tarnwick_create_node(&root_, handle(parent), tag);
    if (made == nullptr) return -1;
    const int index = model_.add_node(parent, tag);
    handles_.push_back(made);
    parents_.push_back(parent);
    return index;
}

int mirrored_tree::data(int parent, int tag, std::string bytes) {
    if (tarnwick_create_data(&root_, handle(parent), tag, bytes.data(), static_cast<uint32_t>(bytes.size())) != 0)
        return -1;
    const int index = model_.add_data(parent, tag, std::move(bytes));
    handles_.push_back(nullptr);
    parents_.push_back(parent);
    return index;
}

// A record of n bytes takes 2 + L + n rounded up to even; the lengths that
// take exactly what must go are 0 (2 bytes), 1 to 255 (L = 1), or more (L = 2).
int mirrored_tree::leave_space(int parent, unsigned space, int tag) {
    const tarnwick_list *target = list(parent);
    const unsigned room = target->last == nullptr ? unsigned{TARNWICK_FIRST_CAPACITY} : target->last->space;
    if (space % 2 != 0 || space >= room) return -1;
    const unsigned take = room - space;
    const unsigned length = take == 2 ? 0 : take - 3 <= 0xFF ? take - 3 : take - 4;
    const int index = data(parent, tag, std::string(length, static_cast<char>(0xA5)));
    if (index < 0 || target->last->space != space) return -1;
    return index;
}

void mirrored_tree::dispose_children(int parent) {
    tarnwick_dispose(list(parent));
    model_.clear(parent);
    for (std::size_t i = 0; i < handles_.size(); ++i) {
        for (int up = parents_[i]; up != tree_model::root; up = parents_[static_cast<std::size_t>(up)]) {
            if (up == parent) {
                handles_[i] = nullptr;
                break;
            }
        }
    }
}

std::vector<int> mirrored_tree::nodes() const {
    std::vector<int> out;
    for (std::size_t i = 0; i < handles_.size(); ++i)
        if (handles_[i] != nullptr) out.push_back(static_cast<int>(i));
    return out;
}

std::vector<const tarnwick_list *> mirrored_tree::lists() const {
    std::vector<const tarnwick_list *> out = {&root_};
    for (const tarnwick_node *h : handles_)
        if (h != nullptr) out.push_back(&h->children);
    return out;
}
