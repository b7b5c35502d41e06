// SPDX-License-Identifier: MIT
// libcbor: the tree encoded with its low-level encoders into one growing
// buffer. A list is a definite array holding, for each record, its tag as an
// unsigned integer and then either an array (a node's list) or a byte string
// (a payload). (CBOR's own tags would fit better, but libcbor's streaming
// decoder refuses the one-byte tags 6 to 20.) Walked with the streaming
// decoder, which reports items one by one and leaves the nesting to the
// caller.
#include <cbor.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "workload.hpp"

namespace bench {
namespace {

[[noreturn]] void fail(const char *what) {
    std::fprintf(stderr, "libcbor: %s\n", what);
    std::abort();
}

// The longest item head: one initial byte and an 8-byte argument.
constexpr std::size_t kMaxHead = 9;
constexpr std::size_t kFirstCapacity = 8192;

class cbor_buffer {
public:
    ~cbor_buffer() { std::free(data_); }
    void reset() {
        std::free(data_);
        data_ = nullptr;
        size_ = capacity_ = 0;
    }
    // Makes room for `bytes` more at end().
    void reserve(std::size_t bytes) {
        if (capacity_ - size_ < bytes) grow(size_ + bytes);
    }
    unsigned char *end() { return data_ + size_; }
    std::size_t available() const { return capacity_ - size_; }
    // An encoder wrote an item head: it reports 0 when it had no room.
    void wrote(std::size_t bytes) {
        if (bytes == 0) fail("encoding failed");
        size_ += bytes;
    }
    void copied(std::size_t bytes) { size_ += bytes; }
    const unsigned char *data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    void grow(std::size_t need) {
        std::size_t capacity = capacity_ == 0 ? kFirstCapacity : capacity_;
        while (capacity < need) capacity *= 2;
        auto *grown = static_cast<unsigned char *>(std::realloc(data_, capacity));
        if (grown == nullptr) fail("no memory");
        data_ = grown;
        capacity_ = capacity;
    }
    unsigned char *data_ = nullptr;
    std::size_t size_ = 0, capacity_ = 0;
};

// The decoder's state: the lists still open and how many items each lacks.
struct walk_state {
    struct level {
        unsigned tag;
        std::size_t left;
    };
    checksum *sum;
    unsigned tag = 0;  // from the tag item just before the current item
    bool root_open = false;
    int depth = 0;
    level open[64];
};

// A record's value, the last item of the record, is complete; lists that it
// completes end too. The root list (depth 0) has no END.
void record_done(walk_state &w) {
    while (--w.open[w.depth].left == 0 && w.depth > 0) on_event(*w.sum, ev_end, w.open[w.depth--].tag, nullptr, 0);
}

// A record's tag, the first of its two items.
void on_tag(walk_state &w, unsigned tag) {
    w.tag = tag;
    --w.open[w.depth].left;
}
void on_uint8(void *context, uint8_t value) { on_tag(*static_cast<walk_state *>(context), value); }
void on_uint16(void *context, uint16_t value) { on_tag(*static_cast<walk_state *>(context), value); }

void on_array(void *context, std::size_t size) {
    auto &w = *static_cast<walk_state *>(context);
    if (!w.root_open) {
        w.root_open = true;
        w.open[0] = {0, size};
        return;
    }
    on_event(*w.sum, ev_start, w.tag, nullptr, 0);
    if (size == 0) {
        on_event(*w.sum, ev_end, w.tag, nullptr, 0);
        record_done(w);
        return;
    }
    w.open[++w.depth] = {w.tag, size};
}

void on_bytes(void *context, cbor_data data, std::size_t length) {
    auto &w = *static_cast<walk_state *>(context);
    on_event(*w.sum, ev_start, w.tag, nullptr, 0);
    if (length != 0) on_event(*w.sum, ev_data, w.tag, data, length);
    on_event(*w.sum, ev_end, w.tag, nullptr, 0);
    record_done(w);
}

cbor_callbacks make_callbacks() {
    cbor_callbacks callbacks = cbor_empty_callbacks;
    callbacks.uint8 = on_uint8;
    callbacks.uint16 = on_uint16;
    callbacks.array_start = on_array;
    callbacks.byte_string = on_bytes;
    return callbacks;
}

class cbor_contender final : public contender {
public:
    std::string name() const override { return "libcbor"; }

    void build(const workload &w) override {
        buffer_.reset();
        buffer_.reserve(kMaxHead);
        buffer_.wrote(cbor_encode_array_start(2 * std::size_t{w.root_count}, buffer_.end(), buffer_.available()));
        for (const op &o : w.ops) {
            switch (o.kind) {
            case op::node:
                buffer_.reserve(2 * kMaxHead);
                buffer_.wrote(cbor_encode_uint(o.tag, buffer_.end(), buffer_.available()));
                buffer_.wrote(cbor_encode_array_start(2 * std::size_t{o.count}, buffer_.end(), buffer_.available()));
                break;
            case op::data:
                buffer_.reserve(2 * kMaxHead + o.count);
                buffer_.wrote(cbor_encode_uint(o.tag, buffer_.end(), buffer_.available()));
                buffer_.wrote(cbor_encode_bytestring_start(o.count, buffer_.end(), buffer_.available()));
                std::memcpy(buffer_.end(), o.bytes, o.count);
                buffer_.copied(o.count);
                break;
            case op::end: break;
            }
        }
    }

    void clear() override { buffer_.reset(); }

    std::vector<walk_kind> walks() override {
        return {{"stream decode", [this](checksum &sum) {
                     static const cbor_callbacks callbacks = make_callbacks();
                     walk_state state;
                     state.sum = &sum;
                     std::size_t offset = 0;
                     while (offset < buffer_.size()) {
                         const cbor_decoder_result r =
                             cbor_stream_decode(buffer_.data() + offset, buffer_.size() - offset, &callbacks, &state);
                         if (r.status != CBOR_DECODER_FINISHED) fail("decoding failed");
                         offset += r.read;
                     }
                 }}};
    }

private:
    cbor_buffer buffer_;
};

}  // namespace

std::unique_ptr<contender> make_cbor() { return std::make_unique<cbor_contender>(); }

}  // namespace bench
