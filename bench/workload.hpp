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

// The events a walk that delivers each payload whole must give.
checksum whole_payload_checksum(const workload &w);

// One contender: how it builds a workload into its own structure, releases
// it, and the ways it walks what it built. `split_payloads` marks walks that
// deliver a payload in one piece per block, as libtarnwick does.
struct walk_kind {
    std::string name;
    std::function<void(checksum &)> run;
};

struct event_record {
    int type;
    unsigned tag;
    const unsigned char *data;
    std::size_t length;
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
