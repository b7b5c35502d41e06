// SPDX-License-Identifier: MIT
// libtarnwick as its users would drive it: appends through the C functions
// with a stack of node handles, walks by callback, by pull iterator and
// through the C++ range and visit. Also the bound, which replays
// libtarnwick's events.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tarnwick.h"
#include "workload.hpp"

#include "tarnwick/engine.hpp"

// The C++ walks are measured when the C++ header is there.
#if __has_include("tarnwick.hpp") && !defined(TARNWICK_BENCH_NO_RANGE)
#include "tarnwick.hpp"
#define TARNWICK_BENCH_RANGE 1
#endif

namespace bench {
namespace {

[[noreturn]] void fail(const char *what) {
    std::fprintf(stderr, "libtarnwick: %s\n", what);
    std::abort();
}

// Deep enough for every workload; the library walks seven levels of nodes.
constexpr int kMaxOpenNodes = 64;

int TARNWICK_CALL add_to_checksum(void *context, int type, unsigned tag, const unsigned char *data, int length) {
    on_event(*static_cast<checksum *>(context), type, tag, data, static_cast<std::size_t>(length));
    return 0;
}

#ifdef TARNWICK_BENCH_RANGE
void add_event(checksum &sum, const tarnwick::event &e) {
    const auto bytes = e.bytes();
    on_event(sum, static_cast<int>(e.kind()), e.tag(), reinterpret_cast<const unsigned char *>(bytes.data()),
             bytes.size());
}
#endif

class tarnwick_contender final : public contender {
public:
    tarnwick_contender() { tarnwick_init(&root_); }
    ~tarnwick_contender() override { tarnwick_dispose(&root_); }
    std::string name() const override { return "libtarnwick"; }
    bool split_payloads() const override { return true; }

    void build(const workload &w) override {
        tarnwick_init(&root_);
        tarnwick_node *open[kMaxOpenNodes];
        int depth = 0;
        open[0] = nullptr;
        for (const op &o : w.ops) {
            switch (o.kind) {
            case op::node:
                open[depth + 1] = tarnwick_create_node(&root_, open[depth], o.tag);
                if (open[++depth] == nullptr) fail("node refused");
                break;
            case op::data:
                if (tarnwick_create_data(&root_, open[depth], o.tag, o.bytes, o.count) != 0) fail("data refused");
                break;
            case op::end: --depth; break;
            }
        }
    }

    void clear() override { tarnwick_dispose(&root_); }

    std::vector<walk_kind> walks() override {
        std::vector<walk_kind> kinds = {
            {"callback", [this](checksum &sum) { tarnwick_visit_node(&root_, nullptr, &sum, add_to_checksum); }},
            {"iterator",
             [this](checksum &sum) {
                 tarnwick_iter iter;
                 tarnwick_iter_init(&root_, &iter, nullptr);
                 while (const tarnwick_event *e = tarnwick_iter_next(&root_, &iter))
                     on_event(sum, e->type, e->tag, e->data, static_cast<std::size_t>(e->length));
             }},
        };
#ifdef TARNWICK_BENCH_RANGE
        kinds.push_back({"C++ range", [this](checksum &sum) {
                             for (const tarnwick::event &e : tarnwick::event_range(&root_, nullptr)) add_event(sum, e);
                         }});
        // What tarnwick::tree::visit runs, on the contender's own root list.
        kinds.push_back({"C++ visit", [this](checksum &sum) {
                             auto add = [&sum](const tarnwick::event &e) noexcept { add_event(sum, e); };
                             tarnwick::detail::visit(&root_, nullptr, add);
                         }});
#endif
        return kinds;
    }

    const tarnwick_list &root() const { return root_; }

    void record_events(std::vector<event_record> &out) const override {
        tarnwick_iter iter;
        tarnwick_iter_init(&root_, &iter, nullptr);
        while (const tarnwick_event *e = tarnwick_iter_next(&root_, &iter))
            out.push_back({e->type, e->tag, e->data, static_cast<std::size_t>(e->length)});
    }

private:
    tarnwick_list root_;
};

// Hands out the payload of a data record from `payload` on: the piece in
// this block, and its END if the rest is not in later blocks. Returns the
// bytes left for them.
uint32_t payload_piece(checksum &sum, unsigned tag, const unsigned char *payload, const tarnwick_block *block,
                       uint32_t length) {
    const auto room = static_cast<std::size_t>(block->data_end - payload);
    const uint32_t piece = length < room ? length : static_cast<uint32_t>(room);
    if (piece != 0) on_event(sum, ev_data, tag, payload, piece);
    if (piece == length) on_event(sum, ev_end, tag, nullptr, 0);
    return length - piece;
}

// The least a walk of libtarnwick's blocks can do: read each record's header
// and length and hand out its events, block by block, recursing into node
// lists, with no nesting limit, no checks and no state kept between steps;
// it asks for memory ahead as the library's walks do, without which a walk
// of many small lists waits on memory at nearly every block.
void chain_walk(const tarnwick_list &list, checksum &sum) {
    namespace engine = tarnwick::internal;
    uint32_t left = 0;  // payload bytes of the record `tag` in later blocks
    unsigned tag = 0;
    for (const tarnwick_block *block = list.first; block != nullptr; block = block->next) {
        const unsigned char *at = block->data;
        if (left != 0) {
            const uint32_t rest = left;
            left = payload_piece(sum, tag, at, block, rest);
            if (left != 0) continue;  // the whole block is payload
            at = engine::round_even(at + rest);
        }
        while (at < block->data_end) {
            const engine::record_header header = engine::read_header(at);
            engine::read_ahead(at);
            on_event(sum, ev_start, header.tag, nullptr, 0);
            if (header.is_node) {
                chain_walk(engine::node_handle(at)->children, sum);
                on_event(sum, ev_end, header.tag, nullptr, 0);
                at += engine::kNodeRecordSize;
                continue;
            }
            const uint32_t length = engine::read_record_length(at, header);
            const unsigned char *payload = at + engine::kWordSize + header.length_bytes;
            tag = header.tag;
            left = payload_piece(sum, tag, payload, block, length);
            if (left != 0) break;  // the payload runs on into the next block
            at = engine::round_even(payload + length);
        }
    }
}

// The walk callback behind a pointer the compiler cannot see through, for the
// bound's walk by callback.
tarnwick_visit_fn volatile opaque_callback = add_to_checksum;

// The least work that yields the same results: building copies the payloads
// into one fresh buffer; walking loops over an array of the events.
class bound_contender final : public contender {
public:
    explicit bound_contender(const tarnwick_contender &events_from) : events_from_(events_from) {}
    ~bound_contender() override { clear(); }
    std::string name() const override { return "bound"; }
    bool split_payloads() const override { return events_from_.split_payloads(); }

    void build(const workload &w) override {
        copy_ = static_cast<unsigned char *>(std::malloc(w.payload_bytes == 0 ? 1 : w.payload_bytes));
        if (copy_ == nullptr) fail("bound: no memory");
        unsigned char *at = copy_;
        for (const op &o : w.ops) {
            if (o.kind != op::data) continue;
            std::memcpy(at, o.bytes, o.count);
            at += o.count;
        }
    }

    void clear() override {
        std::free(copy_);
        copy_ = nullptr;
    }

    std::vector<walk_kind> walks() override {
        if (events_.empty()) events_from_.record_events(events_);
        return {{"event array",
                 [this](checksum &sum) {
                     for (const event_record &e : events_) on_event(sum, e.type, e.tag, e.data, e.length);
                 }},
                // The same events handed one by one to libtarnwick's walk
                // callback: the least a walk by callback costs.
                {"event array, callback",
                 [this](checksum &sum) {
                     const tarnwick_visit_fn callback = opaque_callback;
                     for (const event_record &e : events_)
                         callback(&sum, e.type, e.tag, e.data, static_cast<int>(e.length));
                 }},
                // The plainest reader of libtarnwick's own tree: the floor of a walk.
                {"record chain", [this](checksum &sum) { chain_walk(events_from_.root(), sum); }}};
    }

private:
    const tarnwick_contender &events_from_;
    unsigned char *copy_ = nullptr;
    std::vector<event_record> events_;
};

}  // namespace

std::unique_ptr<contender> make_tarnwick() { return std::make_unique<tarnwick_contender>(); }
std::unique_ptr<contender> make_bound(const contender &events_from) {
    return std::make_unique<bound_contender>(dynamic_cast<const tarnwick_contender &>(events_from));
}

}  // namespace bench
