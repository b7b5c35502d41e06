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

// The walk callback that hands each event to a consumer of type C.
template <class C>
int TARNWICK_CALL to_consumer(void *context, int type, unsigned tag, const unsigned char *data, int length) {
    (*static_cast<C *>(context))(type, tag, data, static_cast<std::size_t>(length));
    return 0;
}

#ifdef TARNWICK_BENCH_RANGE
template <class C> void feed(C &consume, const tarnwick::event &e) {
    const auto bytes = e.bytes();
    consume(static_cast<int>(e.kind()), e.tag(), reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size());
}
#endif

// The walks of one consumer C, named after the walk and the consumer, with
// the settling step of C; the sums keep the walk's plain name.
template <class C> void add_walk(std::vector<walk_kind> &kinds, std::vector<event_record> &kept, const char *walk,
                                 std::function<void(C &)> run) {
    kinds.push_back({std::string(walk) + C::name,
                     [run, &kept](checksum &sum) {
                         C consume(sum, kept);
                         run(consume);
                     },
                     [&kept](checksum &sum) { C::settle(sum, kept); }});
}

// Reserves room in `kept` for every event of what `c` built, and leaves it empty.
void reserve_kept(const contender &c, std::vector<event_record> &kept) {
    kept.clear();
    c.record_events(kept);
    kept.clear();
}

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
        reserve_kept(*this, kept_);
        std::vector<walk_kind> kinds;
        const tarnwick_list *root = &root_;
        for_each_consumer([&]<class C>() {
            add_walk<C>(kinds, kept_, "callback",
                        [root](C &consume) { tarnwick_visit_node(root, nullptr, &consume, to_consumer<C>); });
            add_walk<C>(kinds, kept_, "iterator", [root](C &consume) {
                tarnwick_iter iter;
                tarnwick_iter_init(root, &iter, nullptr);
                while (const tarnwick_event *e = tarnwick_iter_next(root, &iter))
                    consume(e->type, e->tag, e->data, static_cast<std::size_t>(e->length));
            });
#ifdef TARNWICK_BENCH_RANGE
            add_walk<C>(kinds, kept_, "C++ range", [root](C &consume) {
                for (const tarnwick::event &e : tarnwick::event_range(root, nullptr)) feed(consume, e);
            });
            // What tarnwick::tree::visit runs, on the contender's own root list.
            add_walk<C>(kinds, kept_, "C++ visit", [root](C &consume) {
                auto take = [&consume](const tarnwick::event &e) noexcept { feed(consume, e); };
                tarnwick::detail::visit(root, nullptr, take);
            });
#endif
        });
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
    std::vector<event_record> kept_;  // for the vector consumer
};

// Hands out the payload of a data record from `payload` on: the piece in
// this block, and its END if the rest is not in later blocks. Returns the
// bytes left for them. Forced inline: it runs once per record, and with two
// chains per consumer the compiler no longer inlines it by itself.
template <class C> TARNWICK_ENGINE_INLINE uint32_t payload_piece(C &consume, unsigned tag, const unsigned char *payload,
                                                                 const tarnwick_block *block, uint32_t length) {
    const auto room = static_cast<std::size_t>(block->data_end - payload);
    const uint32_t piece = length < room ? length : static_cast<uint32_t>(room);
    if (piece != 0) consume(ev_data, tag, payload, piece);
    if (piece == length) consume(ev_end, tag, nullptr, 0);
    return length - piece;
}

// The least a walk of libtarnwick's blocks can do: read each record's header
// and length and hand out its events, block by block, recursing into node
// lists, with no nesting limit, no checks and no state kept between steps;
// it asks for memory ahead as the library's walks do, without which a walk
// of many small lists waits on memory at nearly every block. With a
// predicted stride it finds each record after the first in a block as the
// library's runs do.
template <tarnwick::internal::stride S, class C> void chain_walk(const tarnwick_list &list, C &consume) {
    namespace engine = tarnwick::internal;
    engine::stride_guess guess;
    uint32_t left = 0;  // payload bytes of the record `tag` in later blocks
    unsigned tag = 0;
    for (const tarnwick_block *block = list.first; block != nullptr; block = block->next) {
        const unsigned char *at = block->data;
        if (left != 0) {
            const uint32_t rest = left;
            left = payload_piece(consume, tag, at, block, rest);
            if (left != 0) continue;  // the whole block is payload
            at = engine::round_even(at + rest);
        }
        while (at < block->data_end) {
            const engine::record_header header = engine::read_header(at);
            engine::read_ahead(at);
            consume(ev_start, header.tag, nullptr, 0);
            if (header.is_node) {
                chain_walk<S>(engine::node_handle(at)->children, consume);
                consume(ev_end, header.tag, nullptr, 0);
                at += engine::kNodeRecordSize;
                continue;
            }
            const uint32_t length = engine::read_record_length(at, header);
            const unsigned char *payload = at + engine::kWordSize + header.length_bytes;
            tag = header.tag;
            left = payload_piece(consume, tag, payload, block, length);
            if (left != 0) break;  // the payload runs on into the next block
            const unsigned char *const next = engine::round_even(payload + length);
            at = S == engine::stride::plain ? next
                                            : engine::record_after(guess, at, static_cast<std::size_t>(next - at));
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
        std::vector<walk_kind> kinds = {
            {"event array",
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
        };
        // The plainest reader of libtarnwick's own tree, the floor of a walk,
        // with every consumer.
        const tarnwick_list *root = &events_from_.root();
        reserve_kept(events_from_, kept_);
        for_each_consumer([&]<class C>() {
            add_walk<C>(kinds, kept_, "record chain",
                        [root](C &consume) { chain_walk<tarnwick::internal::stride::plain>(*root, consume); });
            add_walk<C>(kinds, kept_, "predicted chain",
                        [root](C &consume) { chain_walk<tarnwick::internal::stride::predicted>(*root, consume); });
        });
        return kinds;
    }

private:
    const tarnwick_contender &events_from_;
    unsigned char *copy_ = nullptr;
    std::vector<event_record> events_;
    std::vector<event_record> kept_;  // for the vector consumer
};

}  // namespace

std::unique_ptr<contender> make_tarnwick() { return std::make_unique<tarnwick_contender>(); }
std::unique_ptr<contender> make_bound(const contender &events_from) {
    return std::make_unique<bound_contender>(dynamic_cast<const tarnwick_contender &>(events_from));
}

}  // namespace bench
