// SPDX-License-Identifier: MIT
// The workloads: three generated from a fixed rng start value so that every
// run builds the same trees, and one read from the machine's package database.
#include "workload.hpp"

#include <cstdio>
#include <cstdlib>
#include <unordered_map>

namespace bench {
namespace {

constexpr std::size_t kPoolBytes = 4u << 20;
constexpr uint64_t kStartValue = 0x7a2b3c4d5e6f7081ull;
constexpr unsigned kTagCount = 4096;

// splitmix64: small, fast and the same on every platform.
class rng {
public:
    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    unsigned below(unsigned n) { return static_cast<unsigned>(next() % n); }

private:
    uint64_t state_ = kStartValue;
};

// Payloads are taken one after another from a pool of random bytes, wrapping
// at its end, as a builder would read them from its input.
class payload_source {
public:
    explicit payload_source(workload &w, rng &r) : pool_(w.pool) {
        pool_.resize(kPoolBytes);
        for (auto &b : pool_) b = static_cast<unsigned char>(r.next());
    }
    const unsigned char *take(std::size_t length) {
        if (cursor_ + length > pool_.size()) cursor_ = 0;
        const unsigned char *at = pool_.data() + cursor_;
        cursor_ += length;
        return at;
    }

private:
    std::vector<unsigned char> &pool_;
    std::size_t cursor_ = 0;
};

void add_data(workload &w, payload_source &source, uint16_t tag, uint32_t length) {
    w.ops.push_back({source.take(length), length, tag, op::data});
    ++w.records;
    w.payload_bytes += length;
}

// W2's shape: a node has 2 to 16 children; a child is a node (while the depth
// allows) one time in four, else data of 0 to 200 bytes.
constexpr unsigned kMinFanOut = 2, kMaxFanOut = 16, kMaxDepth = 7, kNodeOneIn = 4, kMaxPayload = 200;

void add_nested_record(workload &w, rng &r, payload_source &source, unsigned depth) {
    const auto tag = static_cast<uint16_t>(r.below(kTagCount));
    if (depth >= kMaxDepth || r.below(kNodeOneIn) != 0) {
        add_data(w, source, tag, r.below(kMaxPayload + 1));
        return;
    }
    const unsigned children = kMinFanOut + r.below(kMaxFanOut - kMinFanOut + 1);
    w.ops.push_back({nullptr, children, tag, op::node});
    ++w.records;
    ++w.nodes;
    for (unsigned i = 0; i < children; ++i) add_nested_record(w, r, source, depth + 1);
    w.ops.push_back({nullptr, 0, 0, op::end});
}

}  // namespace

std::unique_ptr<workload> make_flat() {
    constexpr std::size_t kRecords = 1000000;
    constexpr uint32_t kPayload = 8;
    auto w = std::make_unique<workload>();
    w->name = "W1";
    rng r;
    payload_source source(*w, r);
    w->ops.reserve(kRecords);
    for (std::size_t i = 0; i < kRecords; ++i)
        add_data(*w, source, static_cast<uint16_t>(r.below(kTagCount)), kPayload);
    w->root_count = kRecords;
    return w;
}

std::unique_ptr<workload> make_nested() {
    constexpr std::size_t kRecords = 1000000;
    auto w = std::make_unique<workload>();
    w->name = "W2";
    rng r;
    payload_source source(*w, r);
    while (w->records < kRecords) {
        add_nested_record(*w, r, source, 0);
        ++w->root_count;
    }
    return w;
}

std::unique_ptr<workload> make_bulk(uint32_t record_size, std::size_t total_bytes) {
    auto w = std::make_unique<workload>();
    w->name = "W3/" + (record_size >= (1u << 20) ? std::to_string(record_size >> 20) + "MiB"
                                                 : std::to_string(record_size >> 10) + "KiB");
    w->walks_read_every_byte = true;
    rng r;
    payload_source source(*w, r);
    for (std::size_t i = 0; i < total_bytes / record_size; ++i)
        add_data(*w, source, static_cast<uint16_t>(r.below(kTagCount)), record_size);
    w->root_count = static_cast<uint32_t>(w->records);
    return w;
}

namespace {

// Reads the whole file at `path` into `bytes`; false when it cannot.
bool read_whole_file(const char *path, std::vector<unsigned char> &bytes) {
    std::FILE *in = std::fopen(path, "rb");
    if (in == nullptr) return false;
    unsigned char chunk[1 << 16];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, in)) != 0;) bytes.insert(bytes.end(), chunk, chunk + n);
    const bool read = std::ferror(in) == 0;
    std::fclose(in);
    return read;
}

constexpr uint16_t kStanzaTag = 0;

// Turns the lines of a package database into steps: a stanza opens with its
// first field and closes at a blank line or the end; a line that starts with
// a blank continues the open field; a line with no colon is skipped.
class stanza_reader {
public:
    explicit stanza_reader(workload &w) : w_(w) {}

    // False when the fields need more tags than there are.
    bool read_line(const unsigned char *line, const unsigned char *eol) {
        if (line == eol) {
            close_stanza();
        } else if (*line == ' ' || *line == '\t') {
            if (field_ != kNone) w_.ops[field_].count = static_cast<uint32_t>(eol - w_.ops[field_].bytes);
        } else {
            return read_field(line, eol);
        }
        return true;
    }

    void close_stanza() {
        if (stanza_ != kNone) w_.ops.push_back({nullptr, 0, 0, op::end});
        stanza_ = field_ = kNone;
    }

private:
    static constexpr std::size_t kNone = SIZE_MAX;

    bool read_field(const unsigned char *line, const unsigned char *eol) {
        const auto *colon = static_cast<const unsigned char *>(std::memchr(line, ':', static_cast<std::size_t>(eol - line)));
        field_ = kNone;
        if (colon == nullptr) return true;
        const auto [named, added] = tags_.try_emplace(std::string(line, colon), static_cast<uint16_t>(tags_.size() + 1));
        if (added && named->second >= kTagCount) return false;
        if (stanza_ == kNone) {
            stanza_ = w_.ops.size();
            w_.ops.push_back({nullptr, 0, kStanzaTag, op::node});
        }
        const unsigned char *value = colon + 1;
        while (value != eol && (*value == ' ' || *value == '\t')) ++value;
        field_ = w_.ops.size();
        w_.ops.push_back({value, static_cast<uint32_t>(eol - value), named->second, op::data});
        ++w_.ops[stanza_].count;
        return true;
    }

    workload &w_;
    std::unordered_map<std::string, uint16_t> tags_;
    std::size_t stanza_ = kNone, field_ = kNone;  // steps of the open stanza and field
};

// Counts the records, nodes and payload bytes of a workload's steps.
void count_steps(workload &w) {
    for (const op &o : w.ops) {
        if (o.kind == op::end) continue;
        ++w.records;
        if (o.kind == op::node) {
            ++w.nodes;
            ++w.root_count;
        }
        w.payload_bytes += o.kind == op::data ? o.count : 0;
    }
}

}  // namespace

const char *package_database_path() {
    const char *path = std::getenv("TARNWICK_BENCH_PACKAGES");
    return path != nullptr && *path != '\0' ? path : "/var/lib/dpkg/status";
}

std::unique_ptr<workload> make_package_database() {
    auto w = std::make_unique<workload>();
    w->name = "W4";
    if (!read_whole_file(package_database_path(), w->pool)) return nullptr;
    stanza_reader reader(*w);
    const unsigned char *at = w->pool.data(), *end = at + w->pool.size();
    while (at != end) {
        const auto *newline = static_cast<const unsigned char *>(std::memchr(at, '\n', static_cast<std::size_t>(end - at)));
        const unsigned char *eol = newline != nullptr ? newline : end;
        if (!reader.read_line(at, eol)) return nullptr;
        at = eol == end ? end : eol + 1;
    }
    reader.close_stanza();
    count_steps(*w);
    return w->nodes != 0 ? std::move(w) : nullptr;
}

checksum whole_payload_checksum(const workload &w) {
    checksum sum = checksum_for(w);
    std::vector<uint16_t> open;
    for (const op &o : w.ops) {
        switch (o.kind) {
        case op::node:
            on_event(sum, ev_start, o.tag, nullptr, 0);
            open.push_back(o.tag);
            break;
        case op::data:
            on_event(sum, ev_start, o.tag, nullptr, 0);
            if (o.count != 0) on_event(sum, ev_data, o.tag, o.bytes, o.count);
            on_event(sum, ev_end, o.tag, nullptr, 0);
            break;
        case op::end:
            on_event(sum, ev_end, open.back(), nullptr, 0);
            open.pop_back();
            break;
        }
    }
    return sum;
}

[[gnu::noinline]] void opaque_event(checksum &sum, int type, unsigned tag, const unsigned char *data,
                                    std::size_t length) {
    on_event(sum, type, tag, data, length);
}

}  // namespace bench
