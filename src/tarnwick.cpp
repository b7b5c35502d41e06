// libtarnwick: the record store (blocks, records, building, releasing) and
// the traversal engine that both walks share.
//
// A list is a chain of blocks. Records are packed into the tail block, each at
// an even address, starting with a 16-bit header word; a data record's payload
// runs on into the following blocks when it does not fit. Nothing is moved
// after it is written, so handles and data pointers stay valid until dispose.

// The read-path assertions guard against walking a damaged tree outside its
// blocks, so they stay on in every build type.
#undef NDEBUG
#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "tarnwick.h"

#if defined(_MSC_VER) && !defined(__GNUC__) && (defined(_M_IX86) || defined(_M_X64))
#include <xmmintrin.h>
#define TARNWICK_SSE_PREFETCH 1
#endif

#ifdef TARNWICK_ALLOC_HOOK
// Provided by the test build; see block_calloc below.
extern "C" void *tarnwick_hook_calloc(std::size_t count, std::size_t size);
extern "C" void tarnwick_hook_free(void *memory);
#endif

// Helpers that run once per event or per record are forced inline into the
// loops that call them; left to themselves, compilers inline them in one
// build and not in the next.
// The rare paths are kept out of line, so that the common ones stay lean.
// PREFETCH asks for the cache line at an address without reading it; it never
// faults, so the address need not be inside any allocation.
#if defined(__GNUC__)
#define HOT_INLINE inline __attribute__((always_inline))
#define COLD_PATH __attribute__((noinline))
#define PREFETCH(address) __builtin_prefetch(address)
#elif defined(_MSC_VER)
#define HOT_INLINE __forceinline
#define COLD_PATH __declspec(noinline)
#else
#define HOT_INLINE inline
#define COLD_PATH
#endif
#if defined(TARNWICK_SSE_PREFETCH)
#define PREFETCH(address) _mm_prefetch(static_cast<const char *>(address), _MM_HINT_T0)
#elif !defined(PREFETCH)
#define PREFETCH(address) ((void)(address))
#endif

namespace {

// ---- Layout facts the format depends on -----------------------------------

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
static_assert(TARNWICK_MAX_CAPACITY <= UINT16_MAX, "capacities fit a block's 16-bit fields");

// ---- Allocation ----------------------------------------------------------
// Every block is one zero-filled calloc, released with free. The test build
// routes both through hooks so that tests can refuse allocations and watch
// releases; the shipped library has no such seam.

#ifdef TARNWICK_ALLOC_HOOK
void *block_calloc(std::size_t size) { return tarnwick_hook_calloc(1, size); }
void block_free(void *memory) { tarnwick_hook_free(memory); }
#else
void *block_calloc(std::size_t size) { return std::calloc(1, size); }
void block_free(void *memory) { std::free(memory); }
#endif

// ---- Record format ------------------------------------------------------
// The header word, little-endian at an even address:
//   bit 0     kind: 1 node record, 0 data record
//   bits 1-3  L: number of length bytes after the word
//   bits 4-15 tag
// then L bytes of payload length, least significant first, then the payload,
// then one zero filler byte when that leaves the end odd. This section is the
// only code that knows these bits.

constexpr unsigned kKindNode = 1;
constexpr unsigned kLengthShift = 1;
constexpr unsigned kLengthMask = 7;
constexpr unsigned kTagShift = 4;
constexpr std::size_t kWordSize = 2;
constexpr uint32_t kCountMask = TARNWICK_MAX_LENGTH;  // a walk counts payload bytes in 31 bits
constexpr unsigned kNodeLengthBytes = 1;
constexpr std::size_t kNodeRecordSize = TARNWICK_NODE_RECORD_SIZE;
constexpr unsigned kMaxCapacity = TARNWICK_MAX_CAPACITY;

// What the header word says. The length bytes behind it are read separately,
// once a reader has checked that they lie inside the block.
struct record_header {
    bool is_node;
    unsigned length_bytes;  // L
    uint16_t tag;
};

template <class Byte> HOT_INLINE Byte *round_even(Byte *p) { return p + (reinterpret_cast<uintptr_t>(p) & 1); }

// The fewest bytes that hold `length`: 0 for 0, then 1 to 4.
HOT_INLINE unsigned length_bytes_for(uint32_t length) {
    constexpr unsigned kBitsPerByte = 8;
    return static_cast<unsigned>(std::bit_width(length) + kBitsPerByte - 1) / kBitsPerByte;
}

HOT_INLINE uint32_t read_length(const unsigned char *field, unsigned length_bytes) {
    uint32_t length = 0;
    // Most significant first, so that bytes beyond the fourth shift out.
    for (unsigned i = length_bytes; i-- > 0;) length = length << 8 | field[i];
    return length;
}

HOT_INLINE void write_length(unsigned char *field, unsigned length_bytes, uint32_t length) {
    for (unsigned i = 0; i < length_bytes; ++i, length >>= 8)
        field[i] = static_cast<unsigned char>(length & 0xFF);
}

HOT_INLINE unsigned read_word(const unsigned char *p) { return p[0] | static_cast<unsigned>(p[1]) << 8; }

HOT_INLINE record_header read_header(const unsigned char *p) {
    const unsigned word = read_word(p);
    return {(word & kKindNode) != 0, word >> kLengthShift & kLengthMask, static_cast<uint16_t>(word >> kTagShift)};
}

// The payload length n of the record at `p`: the low 32 bits of its field.
HOT_INLINE uint32_t read_record_length(const unsigned char *p, record_header header) {
    return read_length(p + kWordSize, header.length_bytes);
}

// The tag alone, for the steps after a record's START: the word without the
// length bytes behind it.
HOT_INLINE uint16_t read_tag(const unsigned char *p) { return static_cast<uint16_t>(read_word(p) >> kTagShift); }

// Writes the word and the length bytes; returns the address after them.
HOT_INLINE unsigned char *write_header(unsigned char *p, bool is_node, unsigned length_bytes, int tag,
                            uint32_t length) {
    const unsigned word = (static_cast<unsigned>(tag) & TARNWICK_MAX_TAG) << kTagShift |
                          length_bytes << kLengthShift | (is_node ? kKindNode : 0);
    p[0] = static_cast<unsigned char>(word & 0xFF);
    p[1] = static_cast<unsigned char>(word >> 8);
    write_length(p + kWordSize, length_bytes, length);
    return p + kWordSize + length_bytes;
}

// A node record embeds its handle at the first pointer-aligned address after
// its length byte; the record is large enough for any alignment.
tarnwick_node *node_handle(const unsigned char *record) {
    const uintptr_t at = reinterpret_cast<uintptr_t>(record + kWordSize + kNodeLengthBytes);
    const uintptr_t aligned = (at + kPointerSize - 1) & ~static_cast<uintptr_t>(kPointerSize - 1);
    return reinterpret_cast<tarnwick_node *>(const_cast<unsigned char *>(record) + (aligned - at) +
                                             kWordSize + kNodeLengthBytes);
}

// ---- Block chain ---------------------------------------------------------

// The list an operation works on: the node's children, else the root list.
template <class List, class Node> HOT_INLINE List *target_list(List *root, Node *node) {
    return node ? &node->children : root;
}

// A list is empty when it has no block or its tail holds no bytes. Every
// reader applies this one test before walking a list.
bool list_is_empty(const tarnwick_list *list) {
    return list->first == nullptr || list->last->data_end == list->last->data;
}

tarnwick_block *new_block(uint16_t capacity, tarnwick_block *prev) {
    auto *block = static_cast<tarnwick_block *>(block_calloc(offsetof(tarnwick_block, data) + capacity));
    if (block == nullptr) return nullptr;
    block->next = nullptr;
    block->prev = prev;
    block->data_end = block->data;
    block->space = capacity;
    block->capacity = capacity;
    return block;
}

// Links a fresh block after the tail, twice the tail's size up to the cap.
tarnwick_block *append_block(tarnwick_list *list) {
    tarnwick_block *tail = list->last;
    const unsigned doubled = 2u * tail->capacity;
    tarnwick_block *block = new_block(static_cast<uint16_t>(doubled < kMaxCapacity ? doubled : kMaxCapacity), tail);
    if (block == nullptr) return nullptr;
    tail->next = block;
    list->last = block;
    return block;
}

// Returns a tail block with at least `need` bytes of space, starting the
// chain or abandoning a tail that is too full (its space becomes 0, so the
// next append of any kind moves on even if this allocation is refused).
// Returns null when the allocation is refused.
tarnwick_block *tail_with_room(tarnwick_list *list, std::size_t need) {
    if (list->last == nullptr) {
        tarnwick_block *block = new_block(TARNWICK_FIRST_CAPACITY, nullptr);
        if (block != nullptr) list->first = list->last = block;
        return block;
    }
    if (list->last->space >= need) return list->last;
    list->last->space = 0;
    return append_block(list);
}

HOT_INLINE void consume(tarnwick_block *tail, std::size_t used) {
    tail->data_end += used;
    tail->space = static_cast<uint16_t>(tail->space - used);
}

// ---- Reading a list --------------------------------------------------------

struct position {
    const tarnwick_block *block;  // null: the end of the list
    const unsigned char *record;
};

// Finds where the record after the one at `record` (in `block`) begins,
// following a payload that runs on across blocks. A record that ends exactly
// at a block's end leads to the next block's data area.
position skip_record(const tarnwick_block *block, const unsigned char *record) {
    const record_header header = read_header(record);
    const unsigned char *after = record + kWordSize + header.length_bytes;
    assert(block->data<=after);
    assert(after<=block->data_end);
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
        assert(after<=block->data_end);
    }
    after = round_even(after);
    if (after != block->data_end) return {block, after};
    if (block->next == nullptr) return {nullptr, nullptr};
    return {block->next, block->next->data};
}

// The handle inside the node record at `record` in `block`, once the whole
// record is known to lie inside the block.
const tarnwick_node *node_in_block(const tarnwick_block *block, const unsigned char *record) {
    const unsigned char *after = record + kNodeRecordSize;
    assert(after<=block->data_end);
    return node_handle(record);
}

}  // namespace

// ---- Building ----------------------------------------------------------------
// The exported functions take C linkage and visibility from their declarations.

int TARNWICK_CALL tarnwick_init(tarnwick_list *list) {
    if (list == nullptr) return -1;
    list->first = list->last = nullptr;
    return 0;
}

tarnwick_node *TARNWICK_CALL tarnwick_create_node(tarnwick_list *root, tarnwick_node *node, int tag) {
    tarnwick_list *list = target_list(root, node);
    if (list == nullptr) return nullptr;
    tarnwick_block *tail = tail_with_room(list, kNodeRecordSize);
    if (tail == nullptr) return nullptr;
    unsigned char *record = tail->data_end;
    write_header(record, true, kNodeLengthBytes, tag, TARNWICK_NODE_LENGTH);
    consume(tail, kNodeRecordSize);
    tarnwick_node *handle = node_handle(record);
    handle->children.first = handle->children.last = nullptr;
    handle->record = record;
    return handle;
}

namespace {

// Copies `count` bytes, at least one Word and at most two, as two Words
// that overlap when `count` is less than two.
template <class Word> HOT_INLINE void copy_two_words(unsigned char *to, const unsigned char *from, std::size_t count) {
    Word head, tail;
    std::memcpy(&head, from, sizeof head);
    std::memcpy(&tail, from + count - sizeof tail, sizeof tail);
    std::memcpy(to, &head, sizeof head);
    std::memcpy(to + count - sizeof tail, &tail, sizeof tail);
}

// Copies `count` bytes. Short payloads are the common case and are copied
// inline: a call to memcpy would cost more than the copy itself.
HOT_INLINE void copy_payload(unsigned char *to, const unsigned char *from, std::size_t count) {
    if (count > 2 * sizeof(uint64_t)) {
        std::memcpy(to, from, count);
    } else if (count >= sizeof(uint64_t)) {
        copy_two_words<uint64_t>(to, from, count);
    } else if (count >= sizeof(uint32_t)) {
        copy_two_words<uint32_t>(to, from, count);
    } else if (count != 0) {
        // One to three bytes: the first, the middle and the last cover them.
        to[0] = from[0];
        to[count / 2] = from[count / 2];
        to[count - 1] = from[count - 1];
    }
}

// Writes a data record's header and the first `piece` bytes of its payload
// at the tail's end, and takes their room, filler included. Returns the
// record's address.
HOT_INLINE unsigned char *write_data_start(tarnwick_block *tail, int tag, const unsigned char *source, uint32_t length,
                                           unsigned length_bytes, std::size_t piece) {
    unsigned char *record = tail->data_end;
    unsigned char *payload = write_header(record, false, length_bytes, tag, length);
    copy_payload(payload, source, piece);
    consume(tail, static_cast<std::size_t>(round_even(payload + piece) - record));
    return record;
}

// Writes the header and as much of the payload as fits in the tail, then
// fills further blocks one after another. If a further block is refused, the
// record is cut back to the bytes stored, so that it ends exactly where they
// end and the list stays readable.
COLD_PATH int append_data_in_pieces(tarnwick_list *list, int tag, const unsigned char *source, uint32_t length,
                                    unsigned length_bytes) {
    const std::size_t header_size = kWordSize + length_bytes;
    tarnwick_block *tail = tail_with_room(list, header_size);
    if (tail == nullptr) return 1;
    const std::size_t room = tail->space - header_size;
    std::size_t piece = length < room ? length : room;
    unsigned char *record = write_data_start(tail, tag, source, length, length_bytes, piece);

    std::size_t remaining = length - piece;
    while (remaining != 0) {
        source += piece;
        tail = append_block(list);
        if (tail == nullptr) {
            write_length(record + kWordSize, length_bytes, length - static_cast<uint32_t>(remaining));
            return -1;
        }
        piece = remaining < tail->space ? remaining : tail->space;
        std::memcpy(tail->data_end, source, piece);
        consume(tail, piece);
        remaining -= piece;
    }
    if (reinterpret_cast<uintptr_t>(tail->data_end) & 1) consume(tail, 1);
    return 0;
}

}  // namespace

// Most records fit the tail whole: they take one header and one copy, with
// no look at the chain.
int TARNWICK_CALL tarnwick_create_data(tarnwick_list *root, tarnwick_node *node, int tag, const void *bytes,
                                       uint32_t length) {
    tarnwick_list *list = target_list(root, node);
    if (list == nullptr || length > TARNWICK_MAX_LENGTH || (bytes == nullptr && length != 0)) return 1;
    const unsigned length_bytes = length_bytes_for(length);
    const auto *source = static_cast<const unsigned char *>(bytes);
    tarnwick_block *tail = list->last;
    if (tail != nullptr && kWordSize + length_bytes + length <= tail->space) {
        write_data_start(tail, tag, source, length, length_bytes, length);
        return 0;
    }
    return append_data_in_pieces(list, tag, source, length, length_bytes);
}

// ---- Releasing -----------------------------------------------------------
// Release is depth-first: a list's node children are released, in record
// order, before the list's own blocks, which are then freed in chain order.
// To keep stack use constant at any depth, the way back up is kept in memory
// that is about to be released: on entering the children of the node record
// R (in block B of list P), whose handle is H,
//   H.children.last      holds B     (the walk never needs a list's tail)
//   H.record             holds P
//   H's first block's space holds R's offset in B
// Nothing reads these fields again before their blocks are freed: H lies in
// P's blocks, and the walk itself follows only `next` and `data_end`. The
// one handle that outlives the release, the list it was called on, is never
// borrowed.

namespace {

void free_chain(tarnwick_list *list) {
    while (list->first != nullptr) {
        tarnwick_block *next = list->first->next;
        block_free(list->first);
        list->first = next;
    }
    list->last = nullptr;
}

// When the record at `at` is a node with children, stores the way back to
// `list` in them and returns them; otherwise returns null.
tarnwick_list *enter_children(tarnwick_list *list, position at) {
    if (!read_header(at.record).is_node) return nullptr;
    auto *child = const_cast<tarnwick_node *>(node_in_block(at.block, at.record));
    if (list_is_empty(&child->children)) return nullptr;
    child->children.last = const_cast<tarnwick_block *>(at.block);
    child->record = list;
    child->children.first->space = static_cast<uint16_t>(at.record - at.block->data);
    return &child->children;
}

// Frees the chain of `*list`, a node's children, and climbs to its parent:
// `*list` becomes the parent list, and the node record's position is returned.
position leave_children(tarnwick_list **list) {
    const auto *child = reinterpret_cast<const tarnwick_node *>(*list);
    const tarnwick_block *block = (*list)->last;
    const position at = {block, block->data + (*list)->first->space};
    tarnwick_list *parent = static_cast<tarnwick_list *>(const_cast<void *>(child->record));
    free_chain(*list);
    *list = parent;
    return at;
}

// Moves past the record at `at`. Each time that ends a list, the list is
// released and the walk climbs back to the node that owns it; once `top`
// itself ends, it is released and the end of the list is returned.
position release_past(tarnwick_list *top, tarnwick_list **current, position at) {
    for (;;) {
        at = skip_record(at.block, at.record);
        if (at.block != nullptr) return at;
        if (*current == top) {
            free_chain(top);
            return at;
        }
        at = leave_children(current);
    }
}

}  // namespace

void TARNWICK_CALL tarnwick_dispose(tarnwick_list *list) {
    if (list == nullptr || list_is_empty(list)) return;
    tarnwick_list *current = list;
    position at = {list->first, list->first->data};
    while (at.block != nullptr) {
        if (tarnwick_list *children = enter_children(current, at)) {
            current = children;
            at = {children->first, children->first->data};
        } else {
            at = release_past(list, &current, at);
        }
    }
}

// ---- Traversal --------------------------------------------------------------
// A walk is a stack of frames, one per open list. Each step produces one
// event. A frame is "inside" a record (state bit 0) from its START until its
// END is produced; state's upper bits count payload bytes still to deliver.
// The END of a list's last record is produced together with closing the
// list. Each step rereads `data_end` and `next`, so records appended between
// steps are seen if the walk has not yet passed their place.
//
// The steps are written once, over a handle `top` to the deepest open frame,
// and serve both walks: the pull iterator steps the frame in place, inside
// its tarnwick_iter, once per call; the callback walk copies the frame into
// a `live_frame`, a local the compiler keeps in registers across the whole
// walk, and writes it back only when it pushes or pops a frame.

namespace {

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

HOT_INLINE void read_ahead(const unsigned char *ptr) {
    uintptr_t ahead = reinterpret_cast<uintptr_t>(ptr);
    for (unsigned i = 0; i < kReadAheadDistances; ++i) {
        ahead += kReadAhead;
        PREFETCH(reinterpret_cast<const void *>(ahead));
        PREFETCH(reinterpret_cast<const void *>(ahead + kCacheLine));
    }
}

// The two handles to the deepest frame. The steps need only two things of a
// handle: its fields, through `top->`, and `move_to`, which makes another
// frame (or none, once the walk is complete) the deepest.

// The deepest frame of a pull iterator, stepped where it lies.
struct in_place {
    tarnwick_frame *frame;  // null once the walk is complete
    tarnwick_frame *operator->() const { return frame; }
    void move_to(tarnwick_frame *to) { frame = to; }
};

// The deepest frame of a callback walk, held in a local copy. The frame
// itself is brought up to date only when the walk moves to another one.
struct live_frame {
    explicit live_frame(tarnwick_frame *from) : frame(from), fields(*from) {}

    tarnwick_frame *frame;  // the frame `fields` belong to; null once complete
    tarnwick_frame fields;

    tarnwick_frame *operator->() { return &fields; }
    HOT_INLINE void move_to(tarnwick_frame *to) {
        *frame = fields;
        frame = to;
        if (to != nullptr) fields = *to;
    }
};

// Fields one by one: building a whole struct and copying it would store and
// reload it in pieces of different widths, which stalls the reload.
HOT_INLINE void set_event(tarnwick_event *event, int type, uint16_t tag, const unsigned char *data, int length) {
    event->type = type;
    event->tag = tag;
    event->data = data;
    event->length = length;
}

// Points `frame` at the start of `list`, or leaves it all zero for an empty
// list. Returns whether there is anything to walk.
bool open_frame(tarnwick_frame *frame, const tarnwick_list *list) {
    *frame = tarnwick_frame{};
    if (list == nullptr || list_is_empty(list)) return false;
    frame->block = list->first;
    frame->list = list;
    frame->ptr = list->first->data;
    return true;
}

void setup(tarnwick_iter *iter, const tarnwick_list *root, const tarnwick_node *node) {
    *iter = tarnwick_iter{};
    iter->levels = TARNWICK_MAX_LEVELS;
    // An empty starting list is a walk that is already complete.
    iter->top = open_frame(&iter->frames[0], target_list(root, node)) ? &iter->frames[0] : nullptr;
}

// Once a position reaches its block's end, the next record (or the rest of a
// payload) is at the start of the following block.
template <class Top> HOT_INLINE void move_on_at_block_end(Top &top) {
    if (top->ptr == top->block->data_end && top->block->next != nullptr) {
        top->block = top->block->next;
        top->ptr = top->block->data;
    }
}

// The top frame's list has no more records: its last record ends with the
// list, and the walk goes back to the frame below, or is complete.
template <class Top> HOT_INLINE void close_list(Top &top, tarnwick_iter *iter, tarnwick_event *event) {
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
template <class Top> HOT_INLINE void continue_record(Top &top, tarnwick_event *event) {
    const tarnwick_block *block = top->block;
    assert(block->data<=top->ptr);
    assert(top->ptr<=block->data_end);
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
template <class Top> HOT_INLINE void enter_node(Top &top, tarnwick_iter *iter) {
    tarnwick_frame *child = top.frame + 1;
    const tarnwick_node *handle = node_in_block(top->block, top->record);
    const bool has_children = open_frame(child, &handle->children);
    top->state = kInside;
    const position next = skip_record(top->block, top->record);
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
template <class Top> HOT_INLINE bool begin_record(Top &top, tarnwick_iter *iter, tarnwick_event *event) {
    const record_header header = read_header(top->ptr);
    read_ahead(top->ptr);
    top->record = top->ptr;
    set_event(event, TARNWICK_EVENT_START, header.tag, nullptr, 0);
    if (header.is_node) {
        if (iter->levels == 0) return false;
        enter_node(top, iter);
        return true;
    }
    const tarnwick_block *block = top->block;
    top->ptr += kWordSize + header.length_bytes;
    assert(top->ptr<=block->data_end);
    top->state = (read_record_length(top->record, header) & kCountMask) << 1 | kInside;
    move_on_at_block_end(top);
    return true;
}

// One step of the walk, leaving its event in `*event`; `top.frame` must not
// be null. Returns false when the nesting limit stops the walk.
template <class Top> HOT_INLINE bool next_event(Top &top, tarnwick_iter *iter, tarnwick_event *event) {
    move_on_at_block_end(top);
    if (top->ptr == top->block->data_end) {
        close_list(top, iter, event);
        return true;
    }
    if (top->state & kInside) {
        continue_record(top, event);
        return true;
    }
    return begin_record(top, iter, event);
}

}  // namespace

void TARNWICK_CALL tarnwick_visit_node(const tarnwick_list *root, const tarnwick_node *node, void *context,
                                       tarnwick_visit_fn callback) {
    if (callback == nullptr) return;
    tarnwick_iter iter;
    setup(&iter, root, node);
    if (iter.top == nullptr) return;
    live_frame top(iter.top);
    tarnwick_event event;
    while (top.frame != nullptr && next_event(top, &iter, &event))
        callback(context, event.type, event.tag, event.data, event.length);
}

void TARNWICK_CALL tarnwick_iter_init(const tarnwick_list *root, tarnwick_iter *iter, const tarnwick_node *node) {
    if (iter != nullptr) setup(iter, root, node);
}

const tarnwick_event *TARNWICK_CALL tarnwick_iter_next(const tarnwick_list *, tarnwick_iter *iter) {
    if (iter == nullptr || iter->top == nullptr) return nullptr;
    in_place top{iter->top};
    const bool delivered = next_event(top, iter, &iter->event);
    iter->top = top.frame;
    return delivered ? &iter->event : nullptr;
}
