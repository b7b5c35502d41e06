// SPDX-License-Identifier: MIT
// The tree a C++ programmer would write without a library: each record holds
// its children in a std::vector and its payload in a std::vector<std::byte>;
// built and walked recursively.
#include <cstddef>
#include <vector>

#include "workload.hpp"

namespace bench {
namespace {

struct record {
    std::vector<record> children;
    std::vector<std::byte> payload;
    uint16_t tag = 0;
    bool is_node = false;
};

// Builds `count` records from the steps at `at`, leaving `at` after them.
void build_list(const op *&at, std::size_t count, std::vector<record> &out) {
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const op &o = *at++;
        record &r = out.emplace_back();
        r.tag = o.tag;
        if (o.kind == op::node) {
            r.is_node = true;
            build_list(at, o.count, r.children);
            ++at;  // the node's end step
        } else {
            const auto *bytes = reinterpret_cast<const std::byte *>(o.bytes);
            r.payload.assign(bytes, bytes + o.count);
        }
    }
}

void walk_list(const std::vector<record> &list, checksum &sum) {
    for (const record &r : list) {
        on_event(sum, ev_start, r.tag, nullptr, 0);
        if (r.is_node)
            walk_list(r.children, sum);
        else if (!r.payload.empty())
            on_event(sum, ev_data, r.tag, reinterpret_cast<const unsigned char *>(r.payload.data()), r.payload.size());
        on_event(sum, ev_end, r.tag, nullptr, 0);
    }
}

class plain_tree final : public contender {
public:
    std::string name() const override { return "plain C++ tree"; }
    void build(const workload &w) override {
        const op *at = w.ops.data();
        build_list(at, w.root_count, root_);
    }
    void clear() override { std::vector<record>().swap(root_); }
    std::vector<walk_kind> walks() override {
        return {{"recursive", [this](checksum &sum) { walk_list(root_, sum); }}};
    }

private:
    std::vector<record> root_;
};

}  // namespace

std::unique_ptr<contender> make_plain_tree() { return std::make_unique<plain_tree>(); }

}  // namespace bench
