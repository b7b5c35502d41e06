// SPDX-License-Identifier: MIT
/*
 * tarnwick/engine.hpp - the record format as it is read, and the steps of a
 * walk, written once for the library, for the inline walks of tarnwick.hpp
 * and for the tarnwick tool. Programs include tarnwick.h or tarnwick.hpp, not
 * this file; its names (tarnwick::internal) are no interface to call.
 *
 * What it reads is a contract all the same. tarnwick.hpp inlines these steps
 * into every C++ program, so a program built today reads the trees that a
 * later libtarnwick.so.1 builds with the code compiled into it now. The
 * record format is therefore fixed for SONAME 1: it is the same format that
 * tarnwick.h's public structures (tarnwick_block, tarnwick_node and the
 * constants beside them) already expose, and a change of format is a change
 * of SONAME. The store tests pin its exact bytes for both pointer widths.
 *
 * This is the one place that spells out the bits of a record. The library
 * writes records through the encoders below and stays their only writer.
 *
 * The checks that keep a walk inside its blocks are listed once, below
 * (TARNWICK_ENGINE_READ_CHECKS), each with the condition it tests as a
 * failure reports it; the code that instantiates the templates turns the list
 * into a class `Checks` of four static functions, each of which must stop the
 * program when its condition fails. The library reports through the
 * runtime's assertion, tarnwick.hpp with a message of its own.
 */
#ifndef TARNWICK_ENGINE_HPP
#define TARNWICK_ENGINE_HPP

#include <bit>
#include <cstddef>
#include <cstdint>

#include "../tarnwick.h"

#if defined(_MSC_VER) && !defined(__GNUC__) && (defined(_M_IX86) || defined(_M_X64))
#include <xmmintrin.h>
#endif

/* Helpers that run once per event or per record are forced inline into the
 * loops that call them; left to themselves, compilers inline them in one
 * build and not in the next. TARNWICK_ENGINE_PREFETCH asks for the cache line
 * at an address without reading it; it never faults, so the address need not
 * be inside any allocation; TARNWICK_ENGINE_COLD keeps a path that a sound
 * tree never takes out of line. Both are undefined again at the end;
 * TARNWICK_ENGINE_INLINE serves tarnwick.hpp's walks too. A build that
 * defines TARNWICK_ENGINE_INLINE itself keeps its own (the coverage build
 * makes it plain `inline`, so that each helper is one function to count). */
#if defined(__GNUC__)
#ifndef TARNWICK_ENGINE_INLINE
#define TARNWICK_ENGINE_INLINE inline __attribute__((always_inline))
#endif
#define TARNWICK_ENGINE_PREFETCH(address) __builtin_prefetch(address)
#define TARNWICK_ENGINE_COLD              __attribute__((noinline, cold))
#elif defined(_MSC_VER)
#ifndef TARNWICK_ENGINE_INLINE
#define TARNWICK_ENGINE_INLINE __forceinline
#endif
#if defined(_M_IX86) || defined(_M_X64)
#define TARNWICK_ENGINE_PREFETCH(address) _mm_prefetch(static_cast<const char *>(address), _MM_HINT_T0)
#endif
#define TARNWICK_ENGINE_COLD __declspec(noinline)
#elif !defined(TARNWICK_ENGINE_INLINE)
#define TARNWICK_ENGINE_INLINE inline
#endif
#ifndef TARNWICK_ENGINE_PREFETCH
#define TARNWICK_ENGINE_PREFETCH(address) ((void)(address))
#endif
#ifndef TARNWICK_ENGINE_COLD
#define TARNWICK_ENGINE_COLD
#endif

namespace tarnwick::internal {

/* ---- Layout facts the format depends on ------------------------------------ */

constexpr std::size_t kPointerSize = sizeof(void *);

static_assert(offsetof(tarnwick_block, data) == 3 * kPointerSize + 4,
              "a block's data area starts right after its five header fields");
static_assert(offsetof(tarnwick_block, data) % 2 == 0, "data areas start at even addresses");
static_assert(sizeof(tarnwick_list) == 2 * kPointerSize, "a list is two pointers");
static_assert(sizeof(tarnwick_node) == 3 * kPointerSize, "a node handle is three pointers");
static_assert(offsetof(tarnwick_node, children) == 0, "a node handle starts with its list");
static_assert(alignof(tarnwick_node) <= kPointerSize, "handles sit at pointer-aligned addresses");
static_assert(TARNWICK_NODE_LENGTH <= 0xFF, "a node's length fits its one length byte");
static_assert(TARNWICK_NODE_LENGTH >= sizeof(tarnwick_node) + kPointerSize - 1,
              "a node's payload holds its handle wherever alignment puts it");

/* ---- Record format -----------------------------------------------------------
 * The header word, little-endian at an even address:
 *   bit 0     kind: 1 node record, 0 data record
 *   bits 1-3  L: number of length bytes after the word
 *   bits 4-15 tag
 * then L bytes of payload length, least significant first, then the payload,
 * then one zero filler byte when that leaves the end odd. A node record's
 * payload is TARNWICK_NODE_LENGTH bytes (one length byte) and holds the
 * node's handle. */

constexpr unsigned kKindNode = 1;
constexpr unsigned kLengthShift = 1;
constexpr unsigned kLengthMask = 7;
constexpr unsigned kTagShift = 4;
constexpr std::size_t kWordSize = 2;
constexpr unsigned kBitsPerByte = 8;
constexpr unsigned kByteMask = 0xFF;
constexpr uint32_t kCountMask = TARNWICK_MAX_LENGTH;  // a walk counts payload bytes in 31 bits
constexpr unsigned kNodeLengthBytes = 1;
constexpr std::size_t kNodeRecordSize = TARNWICK_NODE_RECORD_SIZE;

/* What the header word says. The length bytes behind it are read separately,
 * once a reader has checked that they lie inside the block. */
struct record_header {
    bool is_node;
    unsigned length_bytes;  // L
    uint16_t tag;
};

// The filler: records start, and payloads end, at even addresses.
template <class Byte> TARNWICK_ENGINE_INLINE Byte *round_even(Byte *p) {
    return p + (reinterpret_cast<uintptr_t>(p) & 1);
}

// The fewest bytes that hold `length`: 0 for 0, then 1 to 4.
TARNWICK_ENGINE_INLINE unsigned length_bytes_for(uint32_t length) {
    return (std::bit_width(length) + kBitsPerByte - 1) / kBitsPerByte;
}

TARNWICK_ENGINE_INLINE uint32_t read_length(const unsigned char *field, unsigned length_bytes) {
    uint32_t length = 0;
    // Most significant first, so that bytes beyond the fourth shift out.
    for (unsigned i = length_bytes; i-- > 0;) length = length << kBitsPerByte | field[i];
    return length;
}

/* The same length when at least four bytes lie readable at `field`: the
 * field's low four bytes, less those beyond its own L. One load and a mask,
 * where the byte loop's trip count changes from record to record. */
constexpr std::size_t kFourBytes = sizeof(uint32_t);

TARNWICK_ENGINE_INLINE uint32_t read_length_of_four(const unsigned char *field, unsigned length_bytes) {
    const uint32_t four = field[0] | static_cast<uint32_t>(field[1]) << kBitsPerByte |
                          static_cast<uint32_t>(field[2]) << 2 * kBitsPerByte |
                          static_cast<uint32_t>(field[3]) << 3 * kBitsPerByte;
    // L is at most 7, so the shift stays below 64; bytes past the fourth fall
    // off with the conversion to 32 bits.
    const uint64_t mask = (uint64_t{1} << kBitsPerByte * length_bytes) - 1;
    return static_cast<uint32_t>(four & mask);
}

TARNWICK_ENGINE_INLINE void write_length(unsigned char *field, unsigned length_bytes, uint32_t length) {
    for (unsigned i = 0; i < length_bytes; ++i, length >>= kBitsPerByte)
        field[i] = static_cast<unsigned char>(length & kByteMask);
}

TARNWICK_ENGINE_INLINE unsigned read_word(const unsigned char *p) {
    return p[0] | static_cast<unsigned>(p[1]) << kBitsPerByte;
}

// Writes the header word of a record with the low 12 bits of `tag`.
TARNWICK_ENGINE_INLINE void write_word(unsigned char *p, bool is_node, unsigned length_bytes, int tag) {
    const unsigned word = (static_cast<unsigned>(tag) & TARNWICK_MAX_TAG) << kTagShift | length_bytes << kLengthShift |
                          (is_node ? kKindNode : 0);
    p[0] = static_cast<unsigned char>(word & kByteMask);
    p[1] = static_cast<unsigned char>(word >> kBitsPerByte);
}

TARNWICK_ENGINE_INLINE record_header read_header(const unsigned char *p) {
    const unsigned word = read_word(p);
    return {(word & kKindNode) != 0, word >> kLengthShift & kLengthMask, static_cast<uint16_t>(word >> kTagShift)};
}

// The payload length n of the record at `p`: the low 32 bits of its field.
TARNWICK_ENGINE_INLINE uint32_t read_record_length(const unsigned char *p, record_header header) {
    return read_length(p + kWordSize, header.length_bytes);
}

// The tag alone, for the steps after a record's START: the word without the
// length bytes behind it.
TARNWICK_ENGINE_INLINE uint16_t read_tag(const unsigned char *p) {
    return static_cast<uint16_t>(read_word(p) >> kTagShift);
}

// A node record embeds its handle at the first pointer-aligned address after
// its length byte; the record is large enough for any alignment.
inline tarnwick_node *node_handle(const unsigned char *record) {
    const uintptr_t at = reinterpret_cast<uintptr_t>(record + kWordSize + kNodeLengthBytes);
    const uintptr_t aligned = (at + kPointerSize - 1) & ~uintptr_t{kPointerSize - 1};
    // Through void *: the address is aligned for the handle, which a direct
    // cast from a byte pointer cannot tell (-Wcast-align=strict).
    void *handle = const_cast<unsigned char *>(record) + (aligned - at) + kWordSize + kNodeLengthBytes;
    return static_cast<tarnwick_node *>(handle);
}

// The bytes a data record of `length` needs in the block it begins in: its
// header word and its length field. The payload may run on into later blocks.
TARNWICK_ENGINE_INLINE std::size_t data_header_size(uint32_t length) { return kWordSize + length_bytes_for(length); }

// Where an append places a record whose first `need` bytes must lie in one
// block (data_header_size, or a whole node record): at the end of the list's
// tail when the tail's space holds them, else at the start of a block linked
// after the tail, or of the first block of a list that has none. The library
// writes by this rule, and the C++ header finds a partly written record by it.
TARNWICK_ENGINE_INLINE bool record_fits_tail(std::size_t tail_space, std::size_t need) { return need <= tail_space; }

/* ---- Read-path checks --------------------------------------------------------
 * Every check a reader makes before it reads at an address it has worked
 * out, as CHECK(name, condition, parameter): `after` is an address worked
 * out from a record's header or length field, `top` the handle of the frame
 * being stepped (either handle below: the check reads `top->ptr`, and as a
 * template over the handle it costs the walk nothing), `block` the block
 * either lies in. A list applies its CHECK to each entry, as
 *     #define CHECK(name, condition, parameter) \
 *         static void name(const tarnwick_block *block, parameter) { if (!(condition)) stop(#condition); }
 *     struct my_checks { TARNWICK_ENGINE_READ_CHECKS(CHECK) };
 * The conditions are spelt without spaces: the library's assertion prints
 * them as written, and callers and tests compare that text. */
// clang-format off
#define TARNWICK_ENGINE_READ_CHECKS(CHECK) \
    CHECK(record_after_data, block->data<=after, const unsigned char *after) \
    CHECK(record_before_end, after<=block->data_end, const unsigned char *after) \
    CHECK(position_after_data, block->data<=top->ptr, auto &top) \
    CHECK(position_before_end, top->ptr<=block->data_end, auto &top)
// clang-format on

/* ---- Reading a list ------------------------------------------------------------ */

// The list an operation works on: the node's children, else the root list.
template <class List, class Node> TARNWICK_ENGINE_INLINE List *target_list(List *root, Node *node) {
    return node ? &node->children : root;
}

// A list is empty when it has no block or its first block holds no bytes:
// every block is linked by the call that writes a record into it. Every
// reader applies this one test before walking a list; one that goes on finds
// a record where it starts, so it meets a record before the list's end. The
// test reads the block the walk reads next, not the tail, which in a long
// list lies far away.
inline bool list_is_empty(const tarnwick_list *list) {
    return list->first == nullptr || list->first->data_end == list->first->data;
}

struct position {
    const tarnwick_block *block;  // null: the end of the list
    const unsigned char *record;
};

// Where the next record begins, given the end of a record (before its
// filler) in `block`: a record that ends exactly at a block's end leads to
// the next block's data area.
TARNWICK_ENGINE_INLINE position position_after(const tarnwick_block *block, const unsigned char *end) {
    end = round_even(end);
    if (end != block->data_end) return {block, end};
    if (block->next == nullptr) return {nullptr, nullptr};
    return {block->next, block->next->data};
}

// Finds where the record after the one at `record` (in `block`) begins,
// following a payload that runs on across blocks.
template <class Checks> position skip_record(const tarnwick_block *block, const unsigned char *record) {
    const record_header header = read_header(record);
    const unsigned char *after = record + kWordSize + header.length_bytes;
    Checks::record_after_data(block, after);
    Checks::record_before_end(block, after);
    uint32_t left = read_record_length(record, header);
    for (;;) {
        const std::size_t room = static_cast<std::size_t>(block->data_end - after);
        if (room > left) {
            after += left;
            break;
        }
        left -= static_cast<uint32_t>(room);
        if (left == 0) {
            after = block->data_end;
            break;
        }
        block = block->next;
        if (block == nullptr) return {nullptr, nullptr};
        after = block->data;
        Checks::record_before_end(block, after);
    }
    return position_after(block, after);
}

// The handle inside the node record at `record` in `block`, once the whole
// record is known to lie inside the block.
template <class Checks> const tarnwick_node *node_in_block(const tarnwick_block *block, const unsigned char *record) {
    const unsigned char *after = record + kNodeRecordSize;
    Checks::record_before_end(block, after);
    return node_handle(record);
}

/* ---- Traversal ------------------------------------------------------------------
 * A walk is a stack of frames, one per open list. Each step produces one
 * event. A frame is "inside" a record (state bit 0) from its START until its
 * END is produced; state's upper bits count payload bytes still to deliver.
 * The END of a list's last record is produced together with closing the
 * list. Each step rereads `data_end` and `next`, so records appended between
 * steps are seen if the walk has not yet passed their place.
 *
 * The steps are written once, over a handle `top` to the deepest open frame:
 * `in_place` steps the frame where it lies, inside its tarnwick_iter, once
 * per call (a pull walk); `live_frame` copies it into a local, which the
 * compiler keeps in registers across a whole walk, and writes it back only
 * when it pushes or pops a frame (a walk that runs to its end in one call). */

constexpr uint32_t kInside = 1;

// How far ahead of each record header a walk asks for memory. Blocks are
// allocated as the tree grows, one after another, so what lies ahead in
// memory is mostly what the walk reads next, the blocks of child lists
// included; without the hint, a walk of a tree of many small lists waits
// on memory at nearly every block. Records are often longer than a cache
// line, so each header asks for two adjacent lines; and since the walk
// jumps back and forth between a list and its children's blocks, it asks at
// three distances. On the benchmarks' tree of many small lists (W2) a walk
// took about 57 ms with no hint, 36 with one line per record, 17 with this.
constexpr uintptr_t kReadAhead = 4096;
constexpr unsigned kReadAheadDistances = 3;
constexpr uintptr_t kCacheLine = 64;

// The address is worked out as an integer, so no pointer outside the
// allocation is ever formed.
TARNWICK_ENGINE_INLINE void read_ahead(const unsigned char *ptr) {
    uintptr_t ahead = reinterpret_cast<uintptr_t>(ptr);
    for (unsigned i = 0; i < kReadAheadDistances; ++i) {
        ahead += kReadAhead;
        // NOLINTBEGIN(performance-no-int-to-ptr): a hint's address, never read through, made from an integer on purpose
        TARNWICK_ENGINE_PREFETCH(reinterpret_cast<const void *>(ahead));
        TARNWICK_ENGINE_PREFETCH(reinterpret_cast<const void *>(ahead + kCacheLine));
        // NOLINTEND(performance-no-int-to-ptr)
    }
}

// The two handles to the deepest frame. The steps need only two things of a
// handle: its fields, through `top->`, and `move_to`, which makes another
// frame (or none, once the walk is complete) the deepest.

// The deepest frame of a pull walk, stepped where it lies. The library's
// pull iterator takes LeavesEmptiedLists, and leaves a list emptied between
// two of its steps (leave_emptied_list). The C++ range does not: that one
// more test at each list's end, inlined with the range's steps into its
// caller's loop, changed how g++ compiled the loop and cost the range up to
// a fifth of its time in the benchmarks.
template <bool LeavesEmptiedLists> struct in_place_frame {
    static constexpr bool kLeavesEmptiedLists = LeavesEmptiedLists;
    tarnwick_frame *frame;  // null once the walk is complete
    tarnwick_frame *operator->() const { return frame; }
    void move_to(tarnwick_frame *to) { frame = to; }
};
using in_place = in_place_frame<false>;
using pulled_in_place = in_place_frame<true>;

// The deepest frame of a walk held in a local copy. The frame itself is
// brought up to date only when the walk moves to another one.
struct live_frame {
    static constexpr bool kLeavesEmptiedLists = false;
    explicit live_frame(tarnwick_frame *from) : frame(from), fields(*from) {}

    tarnwick_frame *frame;  // the frame `fields` belong to; null once complete
    tarnwick_frame fields;

    tarnwick_frame *operator->() { return &fields; }
    TARNWICK_ENGINE_INLINE void move_to(tarnwick_frame *to) {
        *frame = fields;
        frame = to;
        if (to != nullptr) fields = *to;
    }
};

// Fields one by one: building a whole struct and copying it would store and
// reload it in pieces of different widths, which stalls the reload.
TARNWICK_ENGINE_INLINE void set_event(tarnwick_event *event, int type, uint16_t tag, const unsigned char *data,
                                      int length) {
    event->type = type;
    event->tag = tag;
    event->data = data;
    event->length = length;
}

// Points `frame` at the start of `list`, or leaves it all zero for an empty
// list. Returns whether there is anything to walk.
inline bool open_frame(tarnwick_frame *frame, const tarnwick_list *list) {
    *frame = tarnwick_frame{};
    if (list == nullptr || list_is_empty(list)) return false;
    frame->block = list->first;
    frame->list = list;
    frame->ptr = list->first->data;
    return true;
}

// Starts a walk of `node`'s children, or of `root` when `node` is null.
inline void setup(tarnwick_iter *iter, const tarnwick_list *root, const tarnwick_node *node) {
    *iter = tarnwick_iter{};
    iter->levels = TARNWICK_MAX_LEVELS;
    // An empty starting list is a walk that is already complete.
    iter->top = open_frame(&iter->frames[0], target_list(root, node)) ? &iter->frames[0] : nullptr;
}

// Once a position reaches its block's end, the next record (or the rest of a
// payload) is at the start of the following block.
template <class Top> TARNWICK_ENGINE_INLINE void move_on_at_block_end(Top &top) {
    if (top->ptr == top->block->data_end && top->block->next != nullptr) {
        top->block = top->block->next;
        top->ptr = top->block->data;
    }
}

// The top frame's list has no more records: its last record ends with the
// list, and the walk goes back to the frame below, or is complete.
template <class Top> TARNWICK_ENGINE_INLINE void close_list(Top &top, tarnwick_iter *iter, tarnwick_event *event) {
#ifdef __clang_analyzer__
    // A frame is opened only on a list that holds a record, so one has begun
    // by now; clang's analyzer cannot keep a position's comparison with its
    // block's end, and reaches here on a path that takes it both ways. (A
    // pull walk whose list was emptied between two steps has left it before:
    // leave_emptied_list.)
    if (top->record == nullptr) __builtin_unreachable();
#endif
    set_event(event, TARNWICK_EVENT_END, read_tag(top->record), nullptr, 0);
    if (top.frame == &iter->frames[0]) {
        top.move_to(nullptr);
    } else {
        ++iter->levels;
        top.move_to(top.frame - 1);
    }
}

// Delivers the next piece of the current record's payload, or its END when
// nothing is left.
template <class Checks, class Top> TARNWICK_ENGINE_INLINE void continue_record(Top &top, tarnwick_event *event) {
    const tarnwick_block *block = top->block;
    Checks::position_after_data(block, top);
    Checks::position_before_end(block, top);
    const uint32_t left = top->state >> 1;
    const std::size_t room = static_cast<std::size_t>(block->data_end - top->ptr);
    const uint32_t piece = room < left ? static_cast<uint32_t>(room) : left;
    const uint16_t tag = read_tag(top->record);
    if (piece != 0) {
        set_event(event, TARNWICK_EVENT_DATA, tag, top->ptr, static_cast<int>(piece));
        top->ptr += piece;
        top->state = (left - piece) << 1 | kInside;
        if (left == piece) top->ptr = round_even(top->ptr);
    } else {
        set_event(event, TARNWICK_EVENT_END, tag, nullptr, 0);
        top->ptr = round_even(top->ptr);
        top->state = 0;
    }
    move_on_at_block_end(top);
}

// Pushes a frame for the children of the node record just begun, and moves
// the top frame past that record. A node without children gets no frame: its
// END then follows at its own level. The frame below keeps the node "inside"
// with nothing left to deliver, so the node's END comes from this level
// whether or not more records follow it by then.
template <class Checks, class Top> TARNWICK_ENGINE_INLINE void enter_node(Top &top, tarnwick_iter *iter) {
    tarnwick_frame *child = top.frame + 1;
    const tarnwick_node *handle = node_in_block<Checks>(top->block, top->record);
    const bool has_children = open_frame(child, &handle->children);
    top->state = kInside;
    // node_in_block has found the whole record in the block.
    const position next = position_after(top->block, top->record + kNodeRecordSize);
    if (next.block != nullptr) {
        top->block = next.block;
        top->ptr = next.record;
    } else {
        top->ptr = top->block->data_end;
    }
    if (has_children) {
        --iter->levels;
        top.move_to(child);
    }
}

// Reads the header at the read position and gives the record's START. A node
// met with no levels left stops the walk (returns false); the frame is left
// at the node's header, so every later step stops there again and never
// reads its bytes.
template <class Checks, class Top>
TARNWICK_ENGINE_INLINE bool begin_record(Top &top, tarnwick_iter *iter, tarnwick_event *event) {
    const record_header header = read_header(top->ptr);
    read_ahead(top->ptr);
    top->record = top->ptr;
    set_event(event, TARNWICK_EVENT_START, header.tag, nullptr, 0);
    if (header.is_node) {
        if (iter->levels == 0) return false;
        enter_node<Checks>(top, iter);
        return true;
    }
    const tarnwick_block *block = top->block;
    top->ptr += kWordSize + header.length_bytes;
    Checks::position_before_end(block, top);
    top->state = (read_record_length(top->record, header) & kCountMask) << 1 | kInside;
    move_on_at_block_end(top);
    return true;
}

// A pull walk steps between its caller's calls. A caller that sets a list's
// first block's end back to its start in between leaves a frame at the end
// of a list in which no record has begun, where closing the list would give
// the END of no record. That list is empty now: the walk leaves it without
// an event, as no walk enters an empty list, and gives the next event from
// the frame below, inside the node whose list it was: the node's END, as that
// frame's next step gives it. Returns false when leaving the list completes
// the walk. Out of line, as a sound tree never comes here.
template <class Checks, class Top>
TARNWICK_ENGINE_COLD bool leave_emptied_list(Top &top, tarnwick_iter *iter, tarnwick_event *event) {
    if (top.frame == &iter->frames[0]) {
        top.move_to(nullptr);
        return false;
    }
    ++iter->levels;
    top.move_to(top.frame - 1);
    move_on_at_block_end(top);
    if (top->ptr == top->block->data_end) {
        close_list(top, iter, event);
    } else {
        continue_record<Checks>(top, event);
    }
    return true;
}

// One step of the walk, leaving its event in `*event`; `top.frame` must not
// be null. Returns false when the nesting limit stops the walk, or when a
// pull walk completes without an event (leave_emptied_list).
template <class Checks, class Top>
TARNWICK_ENGINE_INLINE bool next_event(Top &top, tarnwick_iter *iter, tarnwick_event *event) {
    move_on_at_block_end(top);
    if (top->ptr == top->block->data_end) {
        if constexpr (Top::kLeavesEmptiedLists) {
            if (top->record == nullptr) return leave_emptied_list<Checks>(top, iter, event);
        }
        close_list(top, iter, event);
        return true;
    }
    if (top->state & kInside) {
        continue_record<Checks>(top, event);
        return true;
    }
    return begin_record<Checks>(top, iter, event);
}

// A data record that lies whole before an end, as read from its header.
struct whole_record {
    const unsigned char *payload;
    uint32_t length;
    uint16_t tag;
    std::size_t size;  // with the filler; 0 when the record is not one
};

// Reads the record at `record` when it is a data record that lies whole
// before `end`. Every byte read lies below `end`, which is the block's
// data_end or was so earlier in the walk; any other record is left to the
// steps and their checks, a `record` past `end` (a damaged end) included.
TARNWICK_ENGINE_INLINE whole_record read_whole_record(const unsigned char *record, const unsigned char *end) {
    const std::ptrdiff_t signed_room = end - record;
    if (signed_room < static_cast<std::ptrdiff_t>(kWordSize + kFourBytes)) return {};
    const auto room = static_cast<std::size_t>(signed_room);
    const record_header header = read_header(record);
    if (header.is_node) return {};
    const uint32_t length = read_length_of_four(record + kWordSize, header.length_bytes) & kCountMask;
    const std::size_t size = kWordSize + header.length_bytes + length;
    if (size > room) return {};
    // Records start at even addresses, so an odd size is followed by a filler.
    return {record + kWordSize + header.length_bytes, length, header.tag, size + (size & 1)};
}

// A whole record's START and its DATA, unless the payload is empty: the
// events the steps give one by one.
template <class Deliver> TARNWICK_ENGINE_INLINE void deliver_start_and_data(const whole_record &r, Deliver &deliver) {
    tarnwick_event event;
    set_event(&event, TARNWICK_EVENT_START, r.tag, nullptr, 0);
    deliver(event);
    if (r.length != 0) {
        set_event(&event, TARNWICK_EVENT_DATA, r.tag, r.payload, static_cast<int>(r.length));
        deliver(event);
    }
}

/* How a run finds its next record. A record's place is known only once the
 * record before it has been read, so a run that waits for each size is a
 * chain of loads, each waiting for the one before.
 *
 * `predicted` takes the next record to lie one stride on, the size of the
 * records before it, and compares that guess with the real place. The
 * comparison is a branch the processor predicts, so the next headers are
 * read at the guess while the sizes that confirm it are still on their way.
 * A guess is taken only where it equals the real place, so the run reads and
 * gives exactly what the plain one does. It guesses only after two records
 * of one size in a row (the stride is 0 otherwise, a guess that never holds,
 * since every record takes room): where sizes change from record to record
 * the comparison fails every time, which the processor predicts as well.
 *
 * `plain` waits for each size. A walk that calls out for each event gains
 * nothing by the guess, as each call takes longer than the wait it saves,
 * and pays for it in the instructions that keep the stride; so does the C++
 * range, which steps a run one event per increment in its caller's loop. */
enum class stride { plain, predicted };

// The stride the inline walks take. Built by Clang, the predicted stride
// made C++ visit slower, not faster (1.4 times as long on a flat list of
// small records at -O2, 1.2 on a real document's short fields), so Clang's
// walks wait for each size.
#if defined(__GNUC__) && !defined(__clang__)
constexpr stride kWalkStride = stride::predicted;
#else
constexpr stride kWalkStride = stride::plain;
#endif

// `value` as one the compiler cannot trace back to `value`, at no cost.
// Compilers without GNU inline assembly get `value` itself: the same walk,
// without the gain of a predicted stride.
template <class T> TARNWICK_ENGINE_INLINE T untraced(T value) {
#if defined(__GNUC__)
    __asm__ volatile("" : "+r"(value));
#endif
    return value;
}

// What a predicted stride keeps between records.
struct stride_guess {
    std::size_t stride = 0;     // the size the next record is guessed to follow; 0: no guess
    std::size_t last_size = 0;  // the size of the record before, since the last miss; kNoGuesses: none
};

// The last_size of a run that makes no guesses.
constexpr std::size_t kNoGuesses = SIZE_MAX;

// Where the record after the one at `record`, `size` bytes long, begins,
// guessed from the sizes before it where the guess holds.
//
// Where a guess holds, the compiler must not learn that the record is one
// stride on as well as one size on, or it may compute either from the other
// and keep the size, which brings back the wait; nor may it turn the branch
// into a conditional move, which waits for the size as well. So the stride
// is compared through one untraced copy, and the place that holds is taken
// through another.
TARNWICK_ENGINE_INLINE const unsigned char *record_after(stride_guess &guess, const unsigned char *record,
                                                         std::size_t size) {
    if (guess.last_size == kNoGuesses) return record + size;
    if (untraced(guess.stride) == size) return untraced(record + guess.stride);
    guess.stride = size == guess.last_size ? size : 0;
    guess.last_size = size;
    return record + size;
}

/* A run: the data records that lie whole in one block from a frame's read
 * position on, stepped one record at a time without the frame. The block's
 * end is read once, when the run starts: appends made meanwhile only move it
 * on, so an end read earlier only hands the records after it to the steps.
 * Both the callback walk and the C++ range step a run this way; each record
 * gives its START, its DATA unless the payload is empty, and its END, except
 * that the END of a record that ends the block is left to the steps (see
 * end_run_inside). */
struct record_run {
    const unsigned char *record;  // the current record's header word
    const unsigned char *end;     // the block's end as the run read it
    whole_record current;         // the current record, as its header tells
    stride_guess guess;           // for a predicted stride
};

// Starts a run at `record`, the read position of a frame between records.
// Returns false, and leaves `run` as it was, when the record there is not a
// data record that lies whole before `end`.
TARNWICK_ENGINE_INLINE bool start_run(record_run &run, const unsigned char *record, const unsigned char *end) {
    const whole_record r = read_whole_record(record, end);
    if (r.size == 0) return false;
    run = {record, end, r, {}};
    return true;
}

// Whether the current record ends the block: then it is the run's last, and
// its END comes from the steps.
TARNWICK_ENGINE_INLINE bool run_at_block_end(const record_run &run) {
    return run.current.size >= static_cast<std::size_t>(run.end - run.record);
}

// Moves the run past the current record, which must not end the block.
// Returns false when the record there is not whole: the run has ended, and
// `record` is where the steps go on.
template <stride S = stride::plain> TARNWICK_ENGINE_INLINE bool next_in_run(record_run &run) {
    run.record =
        S == stride::plain ? run.record + run.current.size : record_after(run.guess, run.record, run.current.size);
    run.current = read_whole_record(run.record, run.end);
    return run.current.size != 0;
}

/* Handing the frame back to the steps when a run ends. The frame's `record`
 * must by then be the last record the run gave, the one most recently begun
 * at its level; the frame is still where the run started otherwise. */

// The run's current record ends the block, and the frame is left inside it:
// the steps give its END on closing the list or moving to the next block,
// from inside the record as for any other, since appends only add bytes
// after it.
template <class Top> TARNWICK_ENGINE_INLINE void end_run_inside(Top &top, const record_run &run) {
    top->ptr = run.end;
    top->state = kInside;
}

// next_in_run has ended the run: the frame is left between records, at the
// first one the run did not take, its state still 0 as a run starts only
// between records.
template <class Top> TARNWICK_ENGINE_INLINE void end_run_between(Top &top, const record_run &run) {
    top->ptr = run.record;
}

/* A run guesses only where it begins with at least kPredictedRoom bytes
 * before its block's end and with two records of one size. Keeping the
 * stride costs a few instructions at every record, and a guess pays back
 * only over many records of one size: a block this large belongs to a list
 * of some kilobytes (blocks double from TARNWICK_FIRST_CAPACITY), which the
 * small lists of most trees never reach, and a list of mixed sizes seldom
 * begins a run with two of one size. Elsewhere one comparison per record is
 * all the stride costs. */
constexpr std::ptrdiff_t kPredictedRoom = 4096;

TARNWICK_ENGINE_INLINE bool run_predicts(const record_run &run) {
    // The second record lies before the end when the first does not end the block.
    return run.end - run.record >= kPredictedRoom && !run_at_block_end(run) &&
           read_whole_record(run.record + run.current.size, run.end).size == run.current.size;
}

// Delivers the events of a run from the read position of a frame that is
// between records, in the order the steps would give them.
template <stride S, class Top, class Deliver>
TARNWICK_ENGINE_INLINE void deliver_whole_records(Top &top, Deliver &deliver) {
    record_run run;
    if (!start_run(run, top->ptr, top->block->data_end)) return;
    if (S == stride::predicted && !run_predicts(run)) run.guess.last_size = kNoGuesses;
    for (;;) {
        read_ahead(run.record);
        deliver_start_and_data(run.current, deliver);
        top->record = run.record;
        if (run_at_block_end(run)) {
            end_run_inside(top, run);
            return;
        }
        tarnwick_event event;
        set_event(&event, TARNWICK_EVENT_END, run.current.tag, nullptr, 0);
        deliver(event);
        if (!next_in_run<S>(run)) break;
    }
    end_run_between(top, run);
}

// A whole walk from `iter`, set up and not yet complete, with the deepest
// frame held in registers, handing each event to
// `deliver(const tarnwick_event &)`. Returns false when the nesting limit
// stopped the walk. Its runs take kWalkStride unless told otherwise.
template <class Checks, stride S = kWalkStride, class Deliver>
TARNWICK_ENGINE_INLINE bool run_walk(tarnwick_iter *iter, Deliver &deliver) {
    live_frame top(iter->top);
    while (top.frame != nullptr) {
        move_on_at_block_end(top);
        if (!(top->state & kInside)) deliver_whole_records<S>(top, deliver);
        tarnwick_event event;
        if (!next_event<Checks>(top, iter, &event)) return false;
        deliver(event);
    }
    return true;
}

}  // namespace tarnwick::internal

#undef TARNWICK_ENGINE_PREFETCH
#undef TARNWICK_ENGINE_COLD

#endif /* TARNWICK_ENGINE_HPP */
