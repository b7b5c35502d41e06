// SPDX-License-Identifier: MIT
// Reading a list's block chain directly, for tests that check the bytes and
// block shapes the builders leave behind, and payloads that show where every
// byte went.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tarnwick.h"

namespace chain {

constexpr std::size_t kPointer = sizeof(void *);
constexpr std::size_t kNodeRecord = TARNWICK_NODE_RECORD_SIZE;
constexpr std::size_t kBlockHeader = offsetof(tarnwick_block, data);
constexpr std::size_t kFirstCapacity = TARNWICK_FIRST_CAPACITY;

// The blocks of `list` from `first` along `next`.
inline std::vector<tarnwick_block *> blocks(const tarnwick_list &list) {
    std::vector<tarnwick_block *> out;
    for (tarnwick_block *b = list.first; b != nullptr; b = b->next) out.push_back(b);
    return out;
}

inline std::size_t used(const tarnwick_block *b) { return static_cast<std::size_t>(b->data_end - b->data); }

inline unsigned header_word(const unsigned char *p) { return p[0] | static_cast<unsigned>(p[1]) << 8; }

// A data record's length field, read here from the format's layout and not
// by the engine's decoder, which these tests check: the number of its bytes
// (bits 1 to 3 of the header word) and its value, least significant byte
// first after the header word.
inline unsigned length_bytes_of(const unsigned char *record) { return record[0] >> 1 & 7; }
inline std::size_t length_of(const unsigned char *record) {
    std::size_t length = 0;
    for (unsigned i = length_bytes_of(record); i-- > 0;) length = length << 8 | record[2 + i];
    return length;
}

// Capacity an appended block gets after one of `capacity` bytes.
inline unsigned doubled(unsigned capacity) {
    const unsigned cap = TARNWICK_MAX_CAPACITY;
    return 2 * capacity < cap ? 2 * capacity : cap;
}

// `n` bytes in which every position differs from its neighbours and from
// the same position one block further on, so a misplaced piece shows.
inline std::string pattern(std::size_t n) {
    std::string out(n, '\0');
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return out;
}

// The payload of a list whose first record is data and runs to the list's
// end: the bytes after its header, across blocks, cut to its length field.
inline std::string only_payload(const tarnwick_list &list) {
    const unsigned char *record = list.first->data;
    const unsigned char *payload = record + 2 + length_bytes_of(record);
    const std::size_t length = length_of(record);
    std::string out(reinterpret_cast<const char *>(payload), list.first->data_end - payload);
    for (const tarnwick_block *b = list.first->next; b != nullptr; b = b->next)
        out.append(reinterpret_cast<const char *>(b->data), used(b));
    out.resize(length < out.size() ? length : out.size());
    return out;
}

// Appends one data record (tag 0) to an empty list so that its first block
// is left with exactly `space` bytes (even, at most 252, or 254), and returns
// the payload it stored.
inline std::string leave_space(tarnwick_list *list, std::size_t space) {
    // A record of length n < 256 takes 3 + n bytes rounded up to even.
    const std::size_t take = kFirstCapacity - space;
    const std::string payload = pattern(take == 2 ? 0 : take - 3);
    tarnwick_create_data(list, nullptr, 0, payload.data(), static_cast<uint32_t>(payload.size()));
    return payload;
}

}  // namespace chain
