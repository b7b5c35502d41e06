// SPDX-License-Identifier: MIT
// What every contender builds and walks: a workload is the tree written out
// as a preorder list of building steps, and every walk folds its events into
// the same checksum, so that no contender can skip work.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace bench {

// One building step. A node step is followed by its children's steps and
// then an end step; `count` of a node is its number of children, which the
// encoders that write array sizes up front need.
struct op {
    enum kind_t : uint8_t { node, data, end };
    const unsigned char *bytes;  // data: the payload
    uint32_t count;              // data: payload length; node: children
    uint16_t tag;
    kind_t kind;
};

struct workload {
    std::string name;
    std::vector<op> ops;
    uint32_t root_count = 0;  // records in the root list
    std::size_t records = 0;  // node and data records
    std::size_t nodes = 0;
    std::size_t payload_bytes = 0;
    bool walks_read_every_byte = false;  // W3: a walk adds up every payload byte
    std::vector<unsigned char> pool;     // the bytes payloads are taken from
};

// Builds W1, W2 or one size of W3. Deterministic: the rng has a fixed start value.
std::unique_ptr<workload> make_flat();
std::unique_ptr<workload> make_nested();
std::unique_ptr<workload> make_bulk(uint32_t record_size, std::size_t total_bytes);

// W4, a real document: the machine's package database, read whole from
// package_database_path() into the pool. Each package's stanza is a node
// (tag 0) holding one data record per field, in the file's order. Each
// distinct field name gets the next tag from 1, in order of first
// appearance. A field's payload is its value only: the bytes after the colon
// and its blanks up to the end of its last continuation line, those lines'
// own newlines and leading blanks included, the final newline not. Returns
// null when the file cannot be read or holds no stanza, or when it has more
// distinct field names than there are tags.
std::unique_ptr<workload> make_package_database();

// TARNWICK_BENCH_PACKAGES when set and not empty, else /var/lib/dpkg/status.
const char *package_database_path();

// Event types, the same numbers as the library's.
enum : int { ev_start = 1, ev_data = 2, ev_end = 3 };

// The work every walk does per event: add up the tags, the types, the
// lengths and the first byte of each payload piece, or, where the payloads
// are the point (W3), every byte of it. A byte sum is the same however a
// payload is cut into pieces.
struct checksum {
    uint64_t events = 0, types = 0, tags = 0, lengths = 0, bytes = 0;
    bool every_byte = false;
    bool operator==(const checksum &) const = default;
};

inline checksum checksum_for(const workload &w) {
    checksum sum;
    sum.every_byte = w.walks_read_every_byte;
    return sum;
}

// The sum of `length` bytes, eight at a time: each word's bytes are added in
// four 16-bit lanes, emptied into the total before a lane can overflow.
inline uint64_t byte_sum(const unsigned char *data, std::size_t length) {
    constexpr uint64_t kEvenBytes = 0x00FF00FF00FF00FFull, kLane = 0xFFFF;
    constexpr std::size_t kWordsPerFlush = 128;  // 2 * 255 per word per lane: 65280 at most
    uint64_t total = 0;
    std::size_t i = 0;
    while (length - i >= sizeof(uint64_t)) {
        uint64_t lanes = 0;
        for (std::size_t n = 0; n < kWordsPerFlush && length - i >= sizeof(uint64_t); ++n, i += sizeof(uint64_t)) {
            uint64_t word;
            std::memcpy(&word, data + i, sizeof word);
            lanes += (word & kEvenBytes) + (word >> 8 & kEvenBytes);
        }
        total += (lanes & kLane) + (lanes >> 16 & kLane) + (lanes >> 32 & kLane) + (lanes >> 48);
    }
    for (; i < length; ++i) total += data[i];
    return total;
}

inline void on_event(checksum &sum, int type, unsigned tag, const unsigned char *data, std::size_t length) {
    ++sum.events;
    sum.types += static_cast<unsigned>(type);
    sum.tags += tag;
    sum.lengths += length;
    if (length != 0) sum.bytes += sum.every_byte ? byte_sum(data, length) : data[0];
}

// The ways a caller's code takes events, each used by every walk of
// libtarnwick's tree. Each folds the events into the same checksum, however
// it gets there, so that every walk is checked with every consumer. They are
// made from the checksum and a vector to keep events in (kept empty but
// reserved by the walk's owner); `settle` folds what was kept, after the
// timed runs.
struct event_record {
    int type;
    unsigned tag;
    const unsigned char *data;
    std::size_t length;
};

// A consumer that folds each event into the checksum at once: nothing to settle.
struct folds_at_once {
    static void settle(checksum &, const std::vector<event_record> &) {}
};

// Hands each event to `Fold`, which adds it to the checksum.
template <void (*Fold)(checksum &, int, unsigned, const unsigned char *, std::size_t)> struct folding_consumer
    : folds_at_once {
    folding_consumer(checksum &s, std::vector<event_record> &) : sum(s) {}
    void operator()(int type, unsigned tag, const unsigned char *data, std::size_t length) {
        Fold(sum, type, tag, data, length);
    }
    checksum &sum;
};

// The benchmark's branch-free sums.
struct sum_consumer : folding_consumer<on_event> {
    static constexpr const char *name = "";
    using folding_consumer::folding_consumer;
};

// A small state machine, as a parser over the events would be: it branches
// on the kind, and takes the tag of a DATA and of a data record's END from
// the START it kept, which it knows from whether it is inside a payload.
struct branch_consumer : folds_at_once {
    static constexpr const char *name = ", branches";
    branch_consumer(checksum &s, std::vector<event_record> &) : sum(s) {}
    void operator()(int type, unsigned tag, const unsigned char *data, std::size_t length) {
        ++sum.events;
        switch (type) {
        case ev_start:
            sum.types += ev_start;
            sum.tags += tag;
            open_tag = tag;
            break;
        case ev_data:
            sum.types += ev_data;
            sum.tags += open_tag;
            sum.lengths += length;
            sum.bytes += sum.every_byte ? byte_sum(data, length) : data[0];
            inside = true;
            break;
        default:
            sum.types += ev_end;
            sum.tags += inside ? open_tag : tag;
            inside = false;
            break;
        }
    }
    checksum &sum;
    unsigned open_tag = 0;
    bool inside = false;  // after a DATA, until the END of its record
};

#if defined(__GNUC__)
#define BENCH_FORCE_INLINE inline __attribute__((always_inline))
#else
#define BENCH_FORCE_INLINE inline
#endif

// A smaller state machine that branches on whether a payload has begun: a
// payload's first DATA adds the kind, tag, length and first byte, a further
// piece only its length and first byte (its kind and tag are added with the
// record's END), and any other event ends the payload. Its call is forced
// inline, as a caller's hot loop body would be.
struct payload_consumer : folds_at_once {
    static constexpr const char *name = ", payload state";
    payload_consumer(checksum &s, std::vector<event_record> &) : sum(s) {}
    BENCH_FORCE_INLINE void operator()(int type, unsigned tag, const unsigned char *data, std::size_t length) {
        ++sum.events;
        if (type == ev_data) {
            sum.lengths += length;
            sum.bytes += sum.every_byte ? byte_sum(data, length) : data[0];
            if (in_payload) {
                ++further;
            } else {
                sum.types += ev_data;
                sum.tags += tag;
                in_payload = true;
            }
            return;
        }
        sum.types += static_cast<unsigned>(type) + ev_data * further;
        sum.tags += tag * (1 + further);
        further = 0;
        in_payload = false;
    }
    checksum &sum;
    uint64_t further = 0;  // pieces of the current payload after its first
    bool in_payload = false;
};

// Keeps every event in a vector reserved for all of them; the checksum is
// made from the vector afterwards.
struct vector_consumer {
    static constexpr const char *name = ", vector";
    vector_consumer(checksum &, std::vector<event_record> &k) : kept(k) { kept.clear(); }
    void operator()(int type, unsigned tag, const unsigned char *data, std::size_t length) {
        kept.push_back({type, tag, data, length});
    }
    static void settle(checksum &sum, const std::vector<event_record> &kept) {
        for (const event_record &e : kept) on_event(sum, e.type, e.tag, e.data, e.length);
    }
    std::vector<event_record> &kept;
};

// on_event in a function of its own that the compiler may not inline.
void opaque_event(checksum &sum, int type, unsigned tag, const unsigned char *data, std::size_t length);

// Calls a function that the compiler cannot see into, once per event.
struct opaque_consumer : folding_consumer<opaque_event> {
    static constexpr const char *name = ", opaque call";
    using folding_consumer::folding_consumer;
};

// Calls `f.template operator()<C>()` for every consumer C, in the order of
// the page's columns.
template <class F> void for_each_consumer(F f) {
    f.template operator()<sum_consumer>();
    f.template operator()<branch_consumer>();
    f.template operator()<vector_consumer>();
    f.template operator()<opaque_consumer>();
    f.template operator()<payload_consumer>();
}

// The events a walk that delivers each payload whole must give.
checksum whole_payload_checksum(const workload &w);

// One contender: how it builds a workload into its own structure, releases
// it, and the ways it walks what it built. `split_payloads` marks walks that
// deliver a payload in one piece per block, as libtarnwick does.
// `settle`, when set, completes the checksum of the last run, after the
// timed runs.
struct walk_kind {
    std::string name;
    std::function<void(checksum &)> run;
    std::function<void(checksum &)> settle = {};
};

class contender {
public:
    virtual ~contender() = default;
    virtual std::string name() const = 0;
    virtual void build(const workload &w) = 0;
    virtual void clear() = 0;
    virtual std::vector<walk_kind> walks() = 0;
    virtual bool split_payloads() const { return false; }
    // Appends the events of what was built, for the bound to replay.
    virtual void record_events(std::vector<event_record> &) const {}
};

std::unique_ptr<contender> make_tarnwick();
std::unique_ptr<contender> make_plain_tree();
std::unique_ptr<contender> make_msgpack();
std::unique_ptr<contender> make_cbor();
// The bound builds by copying the payloads into one fresh buffer and walks a
// prebuilt array of the events that `events_from`, a libtarnwick contender,
// gives; it also walks that contender's tree by the least code that reads it.
std::unique_ptr<contender> make_bound(const contender &events_from);

// The format floor replays a plan taken from one libtarnwick build of the
// workload: its callocs, where its payload pieces lie, and its frees. A
// floor made without a plan only gives its name.
struct format_plan;
std::shared_ptr<const format_plan> plan_format_floor(const workload &w);
std::unique_ptr<contender> make_format_floor(std::shared_ptr<const format_plan> plan);

}  // namespace bench
