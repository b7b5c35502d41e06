// SPDX-License-Identifier: MIT
// libtarnwick: the record store (blocks, records, building, releasing) and
// the two C walks. The format's bits, the reading of records and the steps of
// a walk are tarnwick/engine.hpp's; this file is the only writer of records
// and gives the engine its read-path checks.
//
// A list is a chain of blocks. Records are packed into the tail block, each at
// an even address, starting with a 16-bit header word; a data record's payload
// runs on into the following blocks when it does not fit. Nothing is moved
// after it is written, so handles and data pointers stay valid until dispose.

// The read-path assertions guard against walking a damaged tree outside its
// blocks, so they stay on in every build type.
#undef NDEBUG
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "tarnwick.h"
#include "tarnwick/engine.hpp"

#ifdef TARNWICK_ALLOC_HOOK
// Provided by the test build; see block_calloc below.
extern "C" void *tarnwick_hook_calloc(std::size_t count, std::size_t size);
extern "C" void tarnwick_hook_free(void *memory);
#endif

// Helpers that run once per record are forced inline into the loops that
// call them, as the engine's are (and, like them, left plain inline in the
// coverage build). The rare paths are kept out of line, so that the common
// ones stay lean.
#define HOT_INLINE TARNWICK_ENGINE_INLINE
#if defined(__GNUC__)
#define COLD_PATH __attribute__((noinline))
#elif defined(_MSC_VER)
#define COLD_PATH __declspec(noinline)
#else
#define COLD_PATH
#endif

namespace {

using namespace tarnwick::internal;

static_assert(TARNWICK_MAX_CAPACITY <= UINT16_MAX, "capacities fit a block's 16-bit fields");

// The engine's read-path checks, each a standard assertion here, so that a
// damaged tree stops the program with this file's name and the check's
// condition as the engine lists it.
#define LIBRARY_CHECK(name, condition, parameter) \
    static HOT_INLINE void name(const tarnwick_block *block, parameter) { assert(condition); }
struct library_checks {
    TARNWICK_ENGINE_READ_CHECKS(LIBRARY_CHECK)
};
#undef LIBRARY_CHECK

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

// ---- Writing records -------------------------------------------------------

constexpr unsigned kMaxCapacity = TARNWICK_MAX_CAPACITY;

// Writes the word and the length bytes; returns the address after them.
HOT_INLINE unsigned char *write_header(unsigned char *p, bool is_node, unsigned length_bytes, int tag,
                                       uint32_t length) {
    write_word(p, is_node, length_bytes, tag);
    write_length(p + kWordSize, length_bytes, length);
    return p + kWordSize + length_bytes;
}

// ---- Block chain ---------------------------------------------------------

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

// Returns the block a record whose first `need` bytes must lie in one block
// begins in (record_fits_tail), starting the chain or abandoning a tail that
// is too full (its space becomes 0, so the next append of any kind moves on
// even if this allocation is refused). Returns null when the allocation is
// refused.
tarnwick_block *tail_with_room(tarnwick_list *list, std::size_t need) {
    if (list->last == nullptr) {
        tarnwick_block *block = new_block(TARNWICK_FIRST_CAPACITY, nullptr);
        if (block != nullptr) list->first = list->last = block;
        return block;
    }
    if (record_fits_tail(list->last->space, need)) return list->last;
    list->last->space = 0;
    return append_block(list);
}

HOT_INLINE void consume(tarnwick_block *tail, std::size_t used) {
    tail->data_end += used;
    tail->space = static_cast<uint16_t>(tail->space - used);
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
    const std::size_t header_size = data_header_size(length);
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
// `list` in them and returns them; otherwise returns null. A block end that
// damage left odd can put `at` one past it, after a filler: checked before
// the header there is read.
tarnwick_list *enter_children(tarnwick_list *list, position at) {
    library_checks::record_before_end(at.block, at.record);
    if (!read_header(at.record).is_node) return nullptr;
    auto *child = const_cast<tarnwick_node *>(node_in_block<library_checks>(at.block, at.record));
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
        at = skip_record<library_checks>(at.block, at.record);
        if (at.block != nullptr) return at;
        if (*current == top) {
            free_chain(top);
            return at;
        }
        at = leave_children(current);
    }
}

}  // namespace

// Each record header is read once, as by a walk, and asks for the memory
// ahead of it as a walk's does: a tree is usually cold when it is released,
// and the blocks ahead (whose allocator headers free reads too) are mostly
// those released next. On the benchmarks' tree of many small lists (W2) a
// release took about 53 ns per record without the hint, 19 with it.
void TARNWICK_CALL tarnwick_dispose(tarnwick_list *list) {
    if (list == nullptr || list_is_empty(list)) return;
    tarnwick_list *current = list;
    position at = {list->first, list->first->data};
    while (at.block != nullptr) {
        read_ahead(at.record);
        if (tarnwick_list *children = enter_children(current, at)) {
            current = children;
            at = {children->first, children->first->data};
        } else {
            at = release_past(list, &current, at);
        }
    }
}

// ---- Traversal --------------------------------------------------------------
// Both walks are the engine's steps with this file's checks: the pull
// iterator steps the frame in place, inside its tarnwick_iter, once per call;
// the callback walk is the engine's run_walk, with a plain stride: the calls
// to the callback, three for each record, take longer than the wait for each
// record's size, which a predicted stride would save at the cost of more
// instructions.

void TARNWICK_CALL tarnwick_visit_node(const tarnwick_list *root, const tarnwick_node *node, void *context,
                                       tarnwick_visit_fn callback) {
    if (callback == nullptr) return;
    tarnwick_iter iter;
    setup(&iter, root, node);
    if (iter.top == nullptr) return;
    auto deliver = [context, callback](const tarnwick_event &e) { callback(context, e.type, e.tag, e.data, e.length); };
    run_walk<library_checks, stride::plain>(&iter, deliver);
}

void TARNWICK_CALL tarnwick_iter_init(const tarnwick_list *root, tarnwick_iter *iter, const tarnwick_node *node) {
    if (iter != nullptr) setup(iter, root, node);
}

const tarnwick_event *TARNWICK_CALL tarnwick_iter_next(const tarnwick_list *, tarnwick_iter *iter) {
    if (iter == nullptr || iter->top == nullptr) return nullptr;
    pulled_in_place top{iter->top};
    const bool delivered = next_event<library_checks>(top, iter, &iter->event);
    iter->top = top.frame;
    return delivered ? &iter->event : nullptr;
}
