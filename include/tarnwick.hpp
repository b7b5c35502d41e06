// SPDX-License-Identifier: MIT
/*
 * tarnwick.hpp - the C++20 face of tarnwick.h: a tree that owns its root
 * list, node handles, appends that throw, walks as a range or a visit, and
 * reads of one list's records (a node's tag, its children, a child by tag).
 *
 *     tarnwick::tree tree;
 *     tarnwick::node n = tree.add_node(1);
 *     n.add_data(2, "hi");
 *     for (const tarnwick::event &e : tree.events())
 *         ...  START 1 (depth 0), START 2 (1), DATA 2 "hi" (2), END 2 (1), END 1 (0)
 *
 * Header-only. Building and releasing are one C call each and a few
 * instructions around it; the walks run inline, in the caller's code, through
 * the library's own walk steps (tarnwick/engine.hpp, not for callers), so a
 * callable given to visit is inlined into the walk. Nothing allocates. Link
 * the program with the library as for C.
 *
 * Damage: a walk checks every position it reads against its block, as the
 * library's walks do. A tree whose blocks were damaged (written to other than
 * through this library) stops the program with a message on stderr, in every
 * build type, instead of being read outside its blocks.
 *
 * Validity: a tree's node handles and the bytes its events carry live in its
 * blocks, which never move. They stay valid, across moves of the tree too,
 * until the list that holds them is disposed (the tree destroyed or assigned
 * to, or an enclosing node disposed).
 *
 * Threads: as for the C interface. Any number of walks of one tree may run at
 * once while nothing appends to it or disposes it.
 *
 * Appending during a walk: the code a walk runs (visit's callable, or the body
 * of a loop over events() or records()) may append anywhere in the tree.
 * Records appended to a list that the walk has not finished are reported in
 * turn; a list is finished once the END of its last record has been
 * delivered. Children appended to a node that had none when its START was
 * delivered are not reported. Every START still gets exactly one END. Nothing
 * that the walk has not finished may be disposed.
 *
 * Depth: an event's depth is the number of records that enclose it. The START
 * and END of a record in the list a walk starts from have depth 0; the DATA
 * of such a record, and the START and END of a node's child, have depth 1;
 * and so on. Walking from a node counts from that node's children.
 */
/* Stop here, with one plain message, before an older standard fails deep in
 * the engine. MSVC reports its standard in _MSVC_LANG (__cplusplus stays
 * 199711L without /Zc:__cplusplus). Defining the guard skips the rest of
 * this file, and the message comes once however often it is included. */
#if defined(_MSVC_LANG)
#define TARNWICK_HPP_STANDARD _MSVC_LANG
#elif defined(__cplusplus)
#define TARNWICK_HPP_STANDARD __cplusplus
#else
#define TARNWICK_HPP_STANDARD 0L
#endif
#if TARNWICK_HPP_STANDARD < 202002L && !defined(TARNWICK_HPP)
#error "tarnwick.hpp needs C++20 (-std=c++20, /std:c++20); C and older C++ include tarnwick.h instead"
#define TARNWICK_HPP
#endif
#undef TARNWICK_HPP_STANDARD

#ifndef TARNWICK_HPP
#define TARNWICK_HPP

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <new>
#include <ranges>
#include <span>
#include <stdexcept>
#include <string_view>
#include <type_traits>

#include "tarnwick.h"
#include "tarnwick/engine.hpp"

/* Inlines every call a function makes, and theirs, where the compiler can. */
#if defined(__GNUC__)
#define TARNWICK_HPP_FLATTEN __attribute__((flatten))
#else
#define TARNWICK_HPP_FLATTEN
#endif

namespace tarnwick {

/* ---- Errors ---------------------------------------------------------------
 * An append whose block allocation is refused throws std::bad_alloc and
 * appends nothing. A data record whose payload ran into a refused
 * allocation halfway throws partial_write: the record stands, shortened to
 * its leading stored() bytes, and the tree stays well formed. Catching
 * std::bad_alloc catches both. A tag outside 0..TARNWICK_MAX_TAG throws
 * std::out_of_range and appends nothing.
 * A class defined whole in a header has its vtable in every program that
 * uses it, merged by the linker; Clang's -Wweak-vtables says so, and is
 * silenced here alone. */
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wweak-vtables"
#endif
class partial_write : public std::bad_alloc {
public:
    partial_write(std::size_t requested, std::size_t stored) noexcept : requested_(requested), stored_(stored) {}
    const char *what() const noexcept override { return "tarnwick: data record written in part"; }
    // Bytes the caller asked to append.
    std::size_t requested() const noexcept { return requested_; }
    // Leading bytes of them that the record holds.
    std::size_t stored() const noexcept { return stored_; }

private:
    std::size_t requested_;
    std::size_t stored_;
};
#if defined(__clang__)
#pragma clang diagnostic pop
#endif

/* ---- Byte ranges ------------------------------------------------------------
 * add_data takes std::span<const std::byte>, std::string_view (so string
 * literals lose their terminating zero and std::string works), and any
 * contiguous sized range of char, signed or unsigned char, std::byte or
 * std::uint8_t: std::vector, std::array, built-in arrays of bytes. A char
 * array or pointer converts to std::string_view and is therefore read as a C
 * string up to its first zero byte; pass a raw char buffer as a span. */
template <class T>
concept byte_type = std::same_as<T, char> || std::same_as<T, signed char> || std::same_as<T, unsigned char> ||
    std::same_as<T, std::byte> || std::same_as<T, std::uint8_t>;

template <class R>
concept byte_range = std::ranges::contiguous_range<const R> && std::ranges::sized_range<const R> &&
    byte_type<std::remove_cv_t<std::ranges::range_value_t<const R>>>;

/* ---- Events ----------------------------------------------------------------- */

enum class event_kind : int {
    start = TARNWICK_EVENT_START,  // a record begins
    data = TARNWICK_EVENT_DATA,    // a piece of a data record's payload, one per block
    end = TARNWICK_EVENT_END       // a record ends
};

/* One event of a walk, a plain value. bytes() is empty except for DATA, where
 * it is the piece of payload inside a block (at least one byte), valid until
 * the tree is disposed; copying the event does not copy the bytes. */
class event {
public:
    constexpr event() noexcept = default;
    constexpr event(event_kind kind, std::uint16_t tag, int depth, std::span<const std::byte> bytes) noexcept
        : bytes_(bytes), depth_(depth), tag_(tag), kind_(kind) {}
    constexpr event_kind kind() const noexcept { return kind_; }
    constexpr std::uint16_t tag() const noexcept { return tag_; }
    // The number of records enclosing this event (see the top of this file).
    constexpr int depth() const noexcept { return depth_; }
    constexpr std::span<const std::byte> bytes() const noexcept { return bytes_; }

private:
    std::span<const std::byte> bytes_;
    int depth_ = 0;
    std::uint16_t tag_ = 0;
    event_kind kind_ = event_kind::end;
};

namespace detail {

/* Depths come from counting the records begun and not yet ended (`open`):
 * a START raises the count after its own event, an END lowers it before, so
 * an event's depth is the count after it, less one for a START. At the end
 * of a complete walk the count is back at 0; a walk that the nesting limit
 * stopped leaves it above 0. With the types numbered START, DATA, END in a
 * row, the change is one subtraction per event; the depth itself is worked
 * out only where an event is looked at. */
static_assert(TARNWICK_EVENT_DATA == TARNWICK_EVENT_START + 1 && TARNWICK_EVENT_END == TARNWICK_EVENT_DATA + 1);
constexpr int open_change(int type) noexcept { return TARNWICK_EVENT_DATA - type; }
constexpr int depth_after(int type, int open) noexcept { return open - (type == TARNWICK_EVENT_START); }

// The walk's event `e` as a tarnwick::event, counted into `open`, the
// records begun and not yet ended before it.
inline event counted_event(const tarnwick_event &e, int &open) noexcept {
    open += open_change(e.type);
    return {static_cast<event_kind>(e.type),
            e.tag,
            depth_after(e.type, open),
            {reinterpret_cast<const std::byte *>(e.data), static_cast<std::size_t>(e.length)}};
}

/* A C++ caller gets an error for a tag the format cannot hold, where the C
 * functions keep its low 12 bits. Checked before the C call, so a refused
 * tag appends and allocates nothing. */
inline void check_tag(int tag) {
    if (tag < 0 || tag > TARNWICK_MAX_TAG) throw std::out_of_range("tarnwick: tag outside 0..4095");
}

inline tarnwick_node *append_node(tarnwick_list *root, tarnwick_node *node, int tag) {
    check_tag(tag);
    tarnwick_node *child = tarnwick_create_node(root, node, tag);
    if (child == nullptr) throw std::bad_alloc();
    return child;
}

/* `size` as the C interface's 32-bit length, which the caller has checked it
 * fits. A template, so that where std::size_t is itself 32 bits wide GCC does
 * not call the conversion useless (-Wuseless-cast). */
template <class Size> constexpr std::uint32_t length32(Size size) noexcept { return static_cast<std::uint32_t>(size); }

/* The bytes a partly written data record of `size` bytes holds, read back
 * from its length field. The record is the last of `list`, placed by the
 * library's rule (internal::record_fits_tail) given the tail the list had
 * before, `old_tail` (null for none), with its end `old_end` and its space
 * `old_space`. */
inline std::size_t stored_length(const tarnwick_list *list, const tarnwick_block *old_tail,
                                 const unsigned char *old_end, std::size_t old_space, std::size_t size) noexcept {
    const std::size_t header = internal::data_header_size(length32(size));
    const unsigned char *record = old_tail == nullptr                             ? list->first->data
                                  : internal::record_fits_tail(old_space, header) ? old_end
                                                                                  : old_tail->next->data;
    return internal::read_record_length(record, internal::read_header(record));
}

/* Appends one data record. The length check keeps a size of 2^32 or more
 * from being cut to its low 32 bits on the way to the C call. */
inline void append_data(tarnwick_list *root, tarnwick_node *node, int tag, const void *bytes, std::size_t size) {
    check_tag(tag);
    if (size > TARNWICK_MAX_LENGTH) throw std::length_error("tarnwick: data record longer than TARNWICK_MAX_LENGTH");
    const tarnwick_list *list = internal::target_list(root, node);
    const tarnwick_block *old_tail = list->last;
    const unsigned char *old_end = old_tail != nullptr ? old_tail->data_end : nullptr;
    const std::size_t old_space = old_tail != nullptr ? old_tail->space : 0;
    const int status = tarnwick_create_data(root, node, tag, bytes, length32(size));
    if (status == 0) return;
    if (status > 0) throw std::bad_alloc();
    throw partial_write(size, stored_length(list, old_tail, old_end, old_space, size));
}

/* The read-path checks of the inline walks. Each stops the program, in every
 * build type, before a damaged tree is read outside its blocks. */
[[noreturn]] inline void stop_on_damage(const char *check) noexcept {
    // The program stops next whether or not the message could be written.
    (void)std::fprintf(stderr, "tarnwick: damaged tree: %s failed\n", check);
    std::abort();
}

#define TARNWICK_HPP_CHECK(name, condition, parameter)                  \
    static void name(const tarnwick_block *block, parameter) noexcept { \
        if (!(condition)) [[unlikely]]                                  \
            stop_on_damage(#condition);                                 \
    }
struct walk_checks {
    TARNWICK_ENGINE_READ_CHECKS(TARNWICK_HPP_CHECK)
};
#undef TARNWICK_HPP_CHECK

/* Hands each event of a visit to `f`, with its depth. `take` has GCC and
 * Clang inline into it all that `f` calls and that they can see, and is then
 * inlined into the walk itself. Without that, GCC at -O2 inlines `f` but may
 * keep a larger helper of `f` out of line (a vector's append, say) and call
 * it for each event from the middle of the walk: every call then saves and
 * reloads the walk's registers, and a record that `f` builds field by field
 * on the stack is read back in wider loads, which stalls. The price is code
 * size: the rarely taken paths of `f` (a vector's growth) are inlined too.
 * A function that cannot be seen (in another file) is still called. */
template <class F> struct visit_delivery {
    F &f;
    int open;
    TARNWICK_ENGINE_INLINE void operator()(const tarnwick_event &e) { take(e.type, e.tag, e.data, e.length); }
    // The event's fields by value, which a call passes in registers.
    TARNWICK_HPP_FLATTEN void take(int type, std::uint16_t tag, const unsigned char *data, int length) {
        const tarnwick_event e{type, tag, data, length};
        std::invoke(f, counted_event(e, open));
    }
};

/* The walk of tarnwick_visit_node, run here so that `f` is inlined into it. An exception from `f` leaves the
 * walk at once; the walk holds nothing that needs releasing. */
template <class F> bool visit(const tarnwick_list *root, const tarnwick_node *node, F &f) {
    tarnwick_iter iter;
    internal::setup(&iter, root, node);
    if (iter.top == nullptr) return true;
    visit_delivery<F> deliver{f, 0};
    return internal::run_walk<walk_checks>(&iter, deliver);
}

/* Joins a payload that is split over blocks into one piece. One calloc,
 * grown (freed and allocated again) only for a longer payload; what it
 * holds stays until the next join or its destruction. */
class join_buffer {
public:
    join_buffer() noexcept = default;
    ~join_buffer() { std::free(bytes_); }
    join_buffer(const join_buffer &) = delete;
    join_buffer &operator=(const join_buffer &) = delete;

    // Room for `length` bytes, or null when the allocation is refused (the
    // buffer is then empty).
    std::byte *room(std::size_t length) noexcept {
        if (length > size_) {
            std::free(bytes_);
            size_ = 0;
            bytes_ = static_cast<std::byte *>(std::calloc(length, 1));
            if (bytes_ == nullptr) return nullptr;
            size_ = length;
        }
        return bytes_;
    }

private:
    std::byte *bytes_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace detail

/* ---- Walking as a range --------------------------------------------------------
 * An input range over one walk, giving the events that tarnwick_iter_next
 * gives for the same list, in the same order, with their depths:
 *
 *     for (const tarnwick::event &e : tree.events()) ...
 *     auto n = std::ranges::count_if(tree.events(), is_data);
 *     auto events = tree.events();
 *     for (const tarnwick::event &e : events | std::views::filter(is_data)) ...
 *
 * - The range holds the walk's tarnwick_iter itself, which must not move
 *   while the walk runs, so the range can be neither copied nor moved;
 *   iterators point at it. A temporary serves a for statement or an
 *   algorithm call; to pipe it into a view, keep it in a variable first
 *   (views take ownership of temporaries only by moving them).
 * - Like every input range it is walked once: begin() gives the first
 *   event, however often it is called, until ++ on an iterator moves the
 *   walk on; after that, begin() gives the end. To go on from where an
 *   algorithm stopped, go on from the iterator it returned
 *   (std::ranges::subrange(found, range.end())).
 * - Dereferencing an iterator makes the current event as a value (so a
 *   callable given to an algorithm takes `const tarnwick::event &` or
 *   `tarnwick::event`, not `tarnwick::event &`); it stays valid after ++,
 *   its bytes until the tree is disposed.
 * - The range must not outlive the tree, and the tree must not be disposed
 *   or moved while a walk over it is in progress; it may be appended to
 *   (see "Appending during a walk" above).
 * Inside, ++ runs the walk in the caller's loop and calls nothing there. A
 * run of data records that lie whole in their block is stepped by the
 * iterator itself, on its own copy of where the walk stands, which the
 * compiler keeps in registers, so the caller's own state can stay in
 * registers too; anything else goes to the steps of tarnwick_iter_next,
 * inline, on the walk's frames in the range.
 * The loop's body runs once per event. State that it keeps in memory (a
 * member reached through a reference or a pointer) is then loaded and stored
 * at every event, and each event's update waits for the last one's store;
 * visit gives a record's START, DATA and END in one stretch of code, where
 * the compiler keeps such state in registers. For the fastest pull loop, keep
 * running state in local variables and store it after the loop: on a flat
 * list of small records the range then takes about 1.1 of visit's time,
 * against about 2 with the state behind a reference. */
class event_range {
    // The kind of the current event, or none once the walk has ended.
    static constexpr int kEnded = 0;

    /* Where the walk stands: its current event, and the run it is in. The
     * iterator holds it, and the compiler keeps it in registers; the range
     * holds the walk's frames and its first event, and learns how the walk
     * goes at one point (iterator::save), after each event the frames give:
     * whether it has ended. */
    struct cursor {
        int kind = kEnded;  // of the current event
        int open = 0;       // records begun and not ended, as of the current event
        // run.record set: the walk is in a run, at run.current; its events
        // are stepped here, and the frame still stands where the run began.
        // run.record null: the steps gave the current event, and
        // run.current holds its tag and bytes. Either way, run.current's
        // payload and length are the bytes the record's DATA carries, which
        // the event holds only when it is that DATA.
        internal::record_run run = {};
    };

public:
    class iterator {
    public:
        using value_type = event;
        using difference_type = std::ptrdiff_t;
        using iterator_concept = std::input_iterator_tag;

        iterator() noexcept = default;
        event operator*() const noexcept {
            const internal::whole_record &r = at_.run.current;
            const bool data = at_.kind == TARNWICK_EVENT_DATA;
            return {static_cast<event_kind>(at_.kind),
                    r.tag,
                    detail::depth_after(at_.kind, at_.open),
                    {reinterpret_cast<const std::byte *>(data ? r.payload : nullptr), data ? r.length : 0}};
        }
        TARNWICK_ENGINE_INLINE iterator &operator++() noexcept {
            step();
            return *this;
        }
        TARNWICK_ENGINE_INLINE void operator++(int) noexcept { step(); }
        friend bool operator==(const iterator &i, std::default_sentinel_t) noexcept { return i.ended(); }

    private:
        friend class event_range;
        explicit iterator(event_range *range) noexcept : range_(range), at_(range->first_) {}
        bool ended() const noexcept { return at_.kind == kEnded; }

        // Moves on by one event: within a run here, else by the range's steps.
        TARNWICK_ENGINE_INLINE void step() noexcept {
            // The range learns once that the walk has moved on; the test of
            // a flag in a register costs less than a store at each event.
            if (!moved_) [[unlikely]] {
                moved_ = true;
                range_->moved_ = true;
            }
            if (at_.run.record != nullptr && step_in_run()) return;
            range_->step_on(at_);
            save();
        }

        // The run's next event: its record's DATA (unless the payload is
        // empty), then its END, then the next record's START. Returns false
        // when the run has no more events to give, the frame handed back.
        TARNWICK_ENGINE_INLINE bool step_in_run() noexcept {
            internal::record_run &run = at_.run;
            if (at_.kind == TARNWICK_EVENT_START && run.current.length != 0) {
                at_.kind = TARNWICK_EVENT_DATA;
                return true;
            }
            if (at_.kind != TARNWICK_EVENT_END) {
                if (internal::run_at_block_end(run)) {
                    tarnwick_frame *frame = range_->iter_.top;
                    frame->record = run.record;
                    internal::end_run_inside(frame, run);
                    return false;
                }
                --at_.open;
                at_.kind = TARNWICK_EVENT_END;
                return true;
            }
            const unsigned char *const last = run.record;
            if (!internal::next_in_run(run)) {
                tarnwick_frame *frame = range_->iter_.top;
                frame->record = last;
                internal::end_run_between(frame, run);
                return false;
            }
            internal::read_ahead(run.record);
            ++at_.open;
            at_.kind = TARNWICK_EVENT_START;
            return true;
        }

        // The one point where the range learns where the walk stands.
        // The one point where the range learns of the walk: whether it has
        // ended, for stopped_at_limit().
        TARNWICK_ENGINE_INLINE void save() noexcept { range_->kind_ = at_.kind; }

        event_range *range_ = nullptr;
        cursor at_;
        bool moved_ = false;  // this iterator has moved the walk on
    };

    // Starts a walk of `node`'s children, or of `root` when `node` is null.
    event_range(const tarnwick_list *root, const tarnwick_node *node) noexcept {
        internal::setup(&iter_, root, node);
        step_on(first_);
        kind_ = first_.kind;
    }
    event_range(const event_range &) = delete;
    event_range &operator=(const event_range &) = delete;

    // An iterator at the first event, or, once an iterator has moved the
    // walk on, at the end.
    iterator begin() noexcept { return moved_ ? iterator() : iterator(this); }
    std::default_sentinel_t end() const noexcept { return {}; }

    // True once the walk has ended because a node lay deeper than the nesting
    // limit (TARNWICK_MAX_LEVELS below the starting list): the events so far
    // are all there is, and that node's START was not delivered. False while
    // the walk runs and after a complete walk.
    bool stopped_at_limit() const noexcept { return kind_ == kEnded && iter_.top != nullptr; }

private:
    // Moves `at` on from the frames, after any run has handed them back:
    // starts a run when the frame is between records at one that lies whole
    // in its block, else takes one step.
    TARNWICK_ENGINE_INLINE void step_on(cursor &at) noexcept {
        internal::in_place top{iter_.top};
        at.run.record = nullptr;
        if (top.frame == nullptr) {
            at.kind = kEnded;
            return;
        }
        if (!(top->state & internal::kInside)) {
            internal::move_on_at_block_end(top);
            if (internal::start_run(at.run, top->ptr, top->block->data_end)) {
                internal::read_ahead(top->ptr);
                ++at.open;
                at.kind = TARNWICK_EVENT_START;
                return;
            }
        }
        // A walk stopped by the nesting limit stops again, at once, at every step.
        tarnwick_event e;
        const bool stepped = internal::next_event<detail::walk_checks>(top, &iter_, &e);
        iter_.top = top.frame;
        if (!stepped) {
            at.kind = kEnded;
            return;
        }
        at.kind = e.type;
        at.open += detail::open_change(e.type);
        at.run.current = {e.data, static_cast<std::uint32_t>(e.length), e.tag, 0};
    }

    tarnwick_iter iter_;
    cursor first_;        // the walk's first event
    int kind_ = kEnded;   // the kind of the last event the frames gave
    bool moved_ = false;  // an iterator has moved the walk on
};

/* ---- Whole payloads ----------------------------------------------------------
 * tree.records() walks as events() does, except that a data record's payload
 * comes whole, in one DATA event, however many blocks it spans:
 *
 *     for (const tarnwick::record_event &e : tree.records())
 *         if (e.kind() == tarnwick::event_kind::data) use(e.bytes());  // all of it
 *
 * A data record still gives START, then one DATA (none for an empty payload),
 * then END; a node gives START, its children's events and END. The START and
 * the DATA of a data record also tell the payload's length, read from the
 * record's header, so a caller can size its own buffer before the bytes
 * arrive. */
class record_event : public event {
public:
    constexpr record_event() noexcept = default;
    constexpr record_event(const event &e, std::size_t length) noexcept : event(e), length_(length) {}
    // The payload's length for the START and DATA of a data record; 0 for an
    // END and for a node's START.
    constexpr std::size_t record_length() const noexcept { return length_; }

private:
    std::size_t length_ = 0;
};

/* An input range over one walk with payloads whole (see record_event). A
 * DATA's bytes() point into the block when the payload lies in one block,
 * and then stay valid until the tree is disposed. A payload split over
 * blocks is copied once into a buffer that the range owns and reuses: its
 * bytes stay valid until the range joins the next split payload, or is
 * destroyed. The buffer is one calloc, grown (freed and allocated again) only
 * for a longer payload; when it is refused, ++ throws std::bad_alloc and the
 * range ends there. As with event_range, the range holds its walk, so it
 * can be neither copied nor moved, must not outlive the tree, and the tree
 * must not be disposed or moved while a walk is in progress; it may be
 * appended to (see "Appending during a walk" above). */
class record_range {
public:
    class iterator {
    public:
        using value_type = record_event;
        using difference_type = std::ptrdiff_t;
        using iterator_concept = std::input_iterator_tag;

        iterator() noexcept = default;
        record_event operator*() const noexcept { return range_->current_; }
        iterator &operator++() {
            range_->step();
            return *this;
        }
        void operator++(int) { range_->step(); }
        friend bool operator==(const iterator &i, std::default_sentinel_t) noexcept { return i.ended(); }

    private:
        friend class record_range;
        explicit iterator(record_range *range) noexcept : range_(range) {}
        bool ended() const noexcept { return range_->ended_; }
        record_range *range_ = nullptr;
    };

    // Starts a walk of `node`'s children, or of `root` when `node` is null.
    // The first event is never a DATA, so starting allocates nothing.
    record_range(const tarnwick_list *root, const tarnwick_node *node) noexcept {
        internal::setup(&iter_, root, node);
        ended_ = !pull(&raw_);
        if (!ended_) current_ = {detail::counted_event(raw_, open_), started_length_};
    }
    record_range(const record_range &) = delete;
    record_range &operator=(const record_range &) = delete;

    iterator begin() noexcept { return iterator(this); }
    std::default_sentinel_t end() const noexcept { return {}; }

    // As event_range::stopped_at_limit.
    bool stopped_at_limit() const noexcept { return ended_ && iter_.top != nullptr; }

private:
    // One step of the walk into `*e`; false once it has ended. A START of a
    // data record leaves its payload's length in started_length_.
    bool pull(tarnwick_event *e) noexcept {
        tarnwick_frame *level = iter_.top;
        if (level == nullptr) return false;
        internal::in_place top{level};
        const bool delivered = internal::next_event<detail::walk_checks>(top, &iter_, e);
        iter_.top = top.frame;
        if (!delivered) return false;
        if (e->type == TARNWICK_EVENT_START) {
            // The frame that gave the START holds its record's header.
            const internal::record_header header = internal::read_header(level->record);
            started_length_ =
                header.is_node ? 0 : internal::read_record_length(level->record, header) & internal::kCountMask;
        }
        return true;
    }

    // Moves to the next event; a first DATA piece shorter than its record
    // pulls the rest of the payload into joined_.
    void step() {
        ended_ = !pull(&raw_);
        if (ended_) return;
        std::size_t length = raw_.type == TARNWICK_EVENT_END ? 0 : started_length_;
        event e = detail::counted_event(raw_, open_);
        if (raw_.type == TARNWICK_EVENT_DATA && static_cast<std::size_t>(raw_.length) < length)
            e = {e.kind(), e.tag(), e.depth(), join(length)};
        current_ = {e, length};
    }

    // Copies the payload whose first piece is in raw_ into joined_; the
    // walk's later steps give exactly its other pieces, each a DATA.
    std::span<const std::byte> join(std::size_t length) {
        std::byte *const joined = joined_.room(length);
        if (joined == nullptr) {
            // The walk ends for good, and as ended, not as stopped by the
            // nesting limit: stopped_at_limit() reads a set top as that.
            iter_.top = nullptr;
            ended_ = true;
            throw std::bad_alloc();
        }
        std::size_t have = 0;
        for (;;) {
            std::memcpy(joined + have, raw_.data, static_cast<std::size_t>(raw_.length));
            have += static_cast<std::size_t>(raw_.length);
            if (have == length) break;
            if (!pull(&raw_) || raw_.type != TARNWICK_EVENT_DATA ||
                static_cast<std::size_t>(raw_.length) > length - have)
                detail::stop_on_damage("pieces add up to the record's length");
        }
        return {joined, length};
    }

    tarnwick_iter iter_;
    tarnwick_event raw_ = {};
    record_event current_;
    bool ended_ = false;
    int open_ = 0;                    // records begun and not ended, as of current_
    std::size_t started_length_ = 0;  // payload length of the data record begun last
    detail::join_buffer joined_;      // holds the last split payload
};

/* ---- Nodes ------------------------------------------------------------------ */

class child_range;

/* A handle of a node record: a pointer, cheap to copy, owning nothing. Valid
 * while the list that holds the node lives (see Validity at the top). */
class node {
public:
    // Wraps a handle from tarnwick_create_node; it must not be null.
    explicit node(tarnwick_node *handle) noexcept : handle_(handle) {}

    // Appends a child node with `tag` and returns it. Throws
    // std::out_of_range for a tag outside 0..TARNWICK_MAX_TAG (4095), and
    // std::bad_alloc when a block is refused; either way nothing is appended.
    node add_node(int tag) const { return node(detail::append_node(nullptr, handle_, tag)); }

    // Appends a child data record with `tag` and a copy of `bytes`. Throws
    // std::out_of_range (nothing appended) for a tag outside 0..4095,
    // std::bad_alloc (nothing appended) or partial_write (a shortened record
    // appended) when a block is refused, std::length_error (nothing
    // appended) for more than TARNWICK_MAX_LENGTH bytes.
    void add_data(int tag, std::span<const std::byte> bytes) const {
        detail::append_data(nullptr, handle_, tag, bytes.data(), bytes.size());
    }
    void add_data(int tag, std::string_view text) const {
        detail::append_data(nullptr, handle_, tag, text.data(), text.size());
    }
    template <byte_range R>
    requires(!std::convertible_to<const R &, std::string_view>) void add_data(int tag, const R &bytes) const {
        detail::append_data(nullptr, handle_, tag, std::ranges::data(bytes), std::ranges::size(bytes));
    }

    // Releases the node's descendants; the node stays in its list, childless,
    // and may get children again. Handles below it become invalid.
    void dispose() const noexcept { tarnwick_dispose(&handle_->children); }

    // The node's tag, read from its record: constant time.
    std::uint16_t tag() const noexcept {
        return internal::read_tag(static_cast<const unsigned char *>(handle_->record));
    }

    // Whether the node has children: constant time.
    bool has_children() const noexcept { return !internal::list_is_empty(&handle_->children); }

    // The node's direct children, in order (see child_range).
    child_range children() const noexcept;

    tarnwick_node *handle() const noexcept { return handle_; }
    friend bool operator==(node, node) noexcept = default;

private:
    tarnwick_node *handle_;
};

/* ---- Reading a list ------------------------------------------------------------
 * The records of one list, in order, without their descendants:
 *
 *     for (const tarnwick::child &c : tree.children())
 *         if (c.is_node()) look_into(c.as_node());
 *         else use(c.tag(), c.bytes());
 *
 * A child_range reads the list's records in place, one after another: each
 * ++ moves past one record, following its payload over the blocks it spans
 * (not its bytes, and never a node's children). The reads check every
 * position against its block, as the walks do. The range must not outlive
 * the tree, and the list must not be disposed while it is read; records
 * appended to the list meanwhile are read if the range has not yet ended. */

/* A data record's payload, piece by piece: one span per block it lies in,
 * in order, each at least one byte and valid until the tree is disposed. A
 * forward range; an empty payload has no pieces. */
class payload_pieces {
public:
    class iterator {
    public:
        using value_type = std::span<const std::byte>;
        using difference_type = std::ptrdiff_t;

        iterator() noexcept = default;
        value_type operator*() const noexcept { return {reinterpret_cast<const std::byte *>(at_), piece()}; }
        iterator &operator++() noexcept {
            const std::size_t taken = piece();
            at_ += taken;
            left_ -= static_cast<std::uint32_t>(taken);
            settle();
            return *this;
        }
        iterator operator++(int) noexcept {
            iterator before = *this;
            ++*this;
            return before;
        }
        friend bool operator==(const iterator &a, const iterator &b) noexcept { return a.left_ == b.left_; }
        friend bool operator==(const iterator &i, std::default_sentinel_t) noexcept { return i.left_ == 0; }

    private:
        friend class payload_pieces;
        iterator(const tarnwick_block *block, const unsigned char *at, std::uint32_t left) noexcept
            : block_(block), at_(at), left_(left) {
            settle();
        }
        std::size_t piece() const noexcept {
            const auto room = static_cast<std::size_t>(block_->data_end - at_);
            return room < left_ ? room : left_;
        }
        // Moves on to the next block while bytes are left and none are here.
        void settle() noexcept {
            detail::walk_checks::record_before_end(block_, at_);
            while (left_ != 0 && at_ == block_->data_end) {
                block_ = block_->next;
                if (block_ == nullptr) detail::stop_on_damage("pieces add up to the record's length");
                at_ = block_->data;
                detail::walk_checks::record_before_end(block_, at_);
            }
        }

        const tarnwick_block *block_ = nullptr;
        const unsigned char *at_ = nullptr;
        std::uint32_t left_ = 0;  // bytes from at_ to the payload's end
    };

    iterator begin() const noexcept { return left_ == 0 ? iterator() : iterator(block_, at_, left_); }
    std::default_sentinel_t end() const noexcept { return {}; }

private:
    friend class child;
    payload_pieces(const tarnwick_block *block, const unsigned char *at, std::uint32_t length) noexcept
        : block_(block), at_(at), left_(length) {}
    const tarnwick_block *block_ = nullptr;
    const unsigned char *at_ = nullptr;
    std::uint32_t left_ = 0;
};

/* One record of a list, as a child_range reads it: a small value. Its node
 * handle and its pieces stay valid until the tree is disposed; bytes() of a
 * payload split over blocks until its range joins another or is destroyed. */
class child {
public:
    bool is_node() const noexcept { return is_node_; }
    std::uint16_t tag() const noexcept { return tag_; }
    // The node, for a node record only.
    node as_node() const noexcept { return node(const_cast<tarnwick_node *>(node_)); }
    // The payload's length; 0 for a node.
    std::size_t size() const noexcept { return length_; }
    // The payload where it lies, one span per block.
    payload_pieces pieces() const noexcept { return {block_, payload_, length_}; }
    // The payload whole: in place when it lies in one block (constant time),
    // else copied once into its range's buffer. Throws std::bad_alloc when
    // that buffer cannot grow.
    std::span<const std::byte> bytes() const {
        const auto first = pieces().begin();
        if (first == std::default_sentinel) return {};
        if ((*first).size() == length_) return *first;
        std::byte *const joined = joined_->room(length_);
        if (joined == nullptr) throw std::bad_alloc();
        std::size_t have = 0;
        for (const std::span<const std::byte> piece : pieces()) {
            std::memcpy(joined + have, piece.data(), piece.size());
            have += piece.size();
        }
        return {joined, length_};
    }

private:
    friend class child_range;
    const tarnwick_block *block_ = nullptr;  // where the payload begins
    const unsigned char *payload_ = nullptr;
    const tarnwick_node *node_ = nullptr;    // for a node record
    detail::join_buffer *joined_ = nullptr;  // its range's
    std::uint32_t length_ = 0;
    std::uint16_t tag_ = 0;
    bool is_node_ = false;
};

/* An input range over the records of one list (see above). Starting it and
 * each ++ cost one record's header and the blocks its payload spans; bytes()
 * of a split payload copies it. It holds a join buffer, so it can be
 * neither copied nor moved. */
class child_range {
public:
    class iterator {
    public:
        using value_type = child;
        using difference_type = std::ptrdiff_t;
        using iterator_concept = std::input_iterator_tag;

        iterator() noexcept = default;
        const child &operator*() const noexcept { return range_->current_; }
        const child *operator->() const noexcept { return &range_->current_; }
        iterator &operator++() noexcept {
            range_->next();
            return *this;
        }
        void operator++(int) noexcept { range_->next(); }
        friend bool operator==(const iterator &i, std::default_sentinel_t) noexcept { return i.ended(); }

    private:
        friend class child_range;
        explicit iterator(child_range *range) noexcept : range_(range) {}
        bool ended() const noexcept { return range_->at_.block == nullptr; }
        child_range *range_ = nullptr;
    };

    // Reads `list`, a tree's root list or a node's children.
    explicit child_range(const tarnwick_list *list) noexcept {
        if (!internal::list_is_empty(list)) at_ = {list->first, list->first->data};
        read();
    }
    child_range(const child_range &) = delete;
    child_range &operator=(const child_range &) = delete;

    iterator begin() noexcept { return iterator(this); }
    std::default_sentinel_t end() const noexcept { return {}; }

    // Moves on to the first record with `tag`, from the current one on (it
    // included), and returns an iterator at it, or at the end when there is
    // none. ++ and find again give the next one.
    iterator find(int tag) noexcept {
        while (at_.block != nullptr && current_.tag_ != tag) next();
        return begin();
    }

private:
    // Reads the record at `at_` into current_, checking its header's reach
    // against its block before reading behind the word.
    void read() noexcept {
        if (at_.block == nullptr) return;
        detail::walk_checks::record_before_end(at_.block, at_.record);
        const internal::record_header header = internal::read_header(at_.record);
        current_ = {};
        current_.tag_ = header.tag;
        current_.is_node_ = header.is_node;
        current_.joined_ = &joined_;
        if (header.is_node) {
            current_.node_ = internal::node_in_block<detail::walk_checks>(at_.block, at_.record);
            return;
        }
        const unsigned char *const payload = at_.record + internal::kWordSize + header.length_bytes;
        detail::walk_checks::record_after_data(at_.block, payload);
        detail::walk_checks::record_before_end(at_.block, payload);
        current_.block_ = at_.block;
        current_.payload_ = payload;
        current_.length_ = internal::read_record_length(at_.record, header) & internal::kCountMask;
    }
    void next() noexcept {
        at_ = internal::skip_record<detail::walk_checks>(at_.block, at_.record);
        read();
    }

    internal::position at_ = {nullptr, nullptr};  // the current record; null block at the end
    child current_;
    detail::join_buffer joined_;
};

inline child_range node::children() const noexcept { return child_range(&handle_->children); }

/* ---- Trees ------------------------------------------------------------------ */

/* Owns a root list and every block beneath it. Move-only: a move hands the
 * blocks over (handles and bytes stay valid) and leaves the source empty and
 * usable. Destruction, and assignment to a tree, release its blocks. */
class tree {
public:
    tree() noexcept { tarnwick_init(&root_); }
    ~tree() { tarnwick_dispose(&root_); }
    tree(tree &&other) noexcept : root_(other.root_) { tarnwick_init(&other.root_); }
    tree &operator=(tree &&other) noexcept {
        if (this != &other) {
            tarnwick_dispose(&root_);
            root_ = other.root_;
            tarnwick_init(&other.root_);
        }
        return *this;
    }
    tree(const tree &) = delete;
    tree &operator=(const tree &) = delete;

    // The root list, for the C functions. Its blocks stay the tree's.
    tarnwick_list *root() noexcept { return &root_; }
    const tarnwick_list *root() const noexcept { return &root_; }

    // Append to the root list, as node::add_node and node::add_data do.
    node add_node(int tag) { return node(detail::append_node(&root_, nullptr, tag)); }
    void add_data(int tag, std::span<const std::byte> bytes) {
        detail::append_data(&root_, nullptr, tag, bytes.data(), bytes.size());
    }
    void add_data(int tag, std::string_view text) {
        detail::append_data(&root_, nullptr, tag, text.data(), text.size());
    }
    template <byte_range R>
    requires(!std::convertible_to<const R &, std::string_view>) void add_data(int tag, const R &bytes) {
        detail::append_data(&root_, nullptr, tag, std::ranges::data(bytes), std::ranges::size(bytes));
    }

    // Whether the root list has no records: constant time.
    bool empty() const noexcept { return internal::list_is_empty(&root_); }

    // The root list's records, in order (see child_range).
    child_range children() const noexcept { return child_range(&root_); }

    // A walk of the whole tree, or of the children of `from`, one of this
    // tree's nodes, as an input range (see event_range).
    event_range events() const noexcept { return event_range(&root_, nullptr); }
    event_range events(node from) const noexcept { return event_range(&root_, from.handle()); }

    // The same walks with each data record's payload whole (see record_range).
    record_range records() const noexcept { return record_range(&root_, nullptr); }
    record_range records(node from) const noexcept { return record_range(&root_, from.handle()); }

    // Calls `f(const event &)` for every event of a walk of the whole tree,
    // or of the children of `from`. Returns true after a complete walk, false
    // when the nesting limit stopped it. `f` may append to the tree (see
    // "Appending during a walk" above) but must not dispose it. If `f` throws, the walk ends there and the exception
    // leaves visit; the tree is unchanged.
    template <class F>
    requires std::invocable<F &, const event &>
    bool visit(F &&f) const { return detail::visit(&root_, nullptr, f); }
    template <class F>
    requires std::invocable<F &, const event &>
    bool visit(node from, F &&f) const { return detail::visit(&root_, from.handle(), f); }

private:
    tarnwick_list root_;
};

}  // namespace tarnwick

#undef TARNWICK_HPP_FLATTEN

#endif /* TARNWICK_HPP */
