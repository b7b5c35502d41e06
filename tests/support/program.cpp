// SPDX-License-Identifier: MIT
#include "program.hpp"

#include <algorithm>
#include <cstddef>
#include <sstream>

#include "alloc_hook.hpp"

namespace program {
namespace {

constexpr std::size_t kBlockHeader = offsetof(tarnwick_block, data);
constexpr std::size_t kWordSize = 2;

void expect(bool ok, const std::string &what) {
    if (!ok) throw check_failed(what);
}

template <typename... Parts> std::string describe(const Parts &...parts) {
    std::ostringstream out;
    (out << ... << parts);
    return out.str();
}

std::string list_name(int list) { return list == interpreter::root ? "root" : describe("node #", list); }

std::size_t length_bytes_for(std::size_t length) {
    std::size_t count = 0;
    for (; length != 0; length >>= 8) ++count;
    return count;
}

std::string show(const std::vector<recorded_event> &events) {
    std::ostringstream out;
    for (const recorded_event &e : events) out << e << ' ';
    return out.str();
}

// Each block after a list's first has twice the tail's capacity, up to the cap.
unsigned next_capacity(unsigned capacity) {
    return std::min(2 * capacity, static_cast<unsigned>(TARNWICK_MAX_CAPACITY));
}

}  // namespace

unsigned char payload_byte(unsigned char start, std::size_t offset) {
    return static_cast<unsigned char>(start + offset + (offset >> 8) * 31);
}

interpreter::interpreter() {
    test_alloc::reset();
    live_at_start_ = test_alloc::live();
    tarnwick_init(&root_);
}

// After a failed check the tree may be in any state the library left it in;
// releasing it is all that is left to do.
interpreter::~interpreter() {
    if (finished_) return;
    test_alloc::refuse(0);
    tarnwick_dispose(&root_);
}

// ---- Lists and handles --------------------------------------------------------

tarnwick_list *interpreter::list_of(int list) {
    return list == root ? &root_ : &records_[static_cast<std::size_t>(list)].handle->children;
}

tarnwick_node *interpreter::handle_of(int list) const {
    return list == root ? nullptr : records_[static_cast<std::size_t>(list)].handle;
}

interpreter::shadow_list &interpreter::shadow_of(int list) {
    return list == root ? root_chain_ : records_[static_cast<std::size_t>(list)].chain;
}

// Calls name the root or a node that is still in the tree; a failed create's
// none, or a node released with its parent, makes the call do nothing.
bool interpreter::usable(int list) const {
    return list == root || (list != none && std::find(nodes_.begin(), nodes_.end(), list) != nodes_.end());
}

// Whether `list` is `ancestor` or lies below it.
bool interpreter::within(int list, int ancestor) const {
    for (;; list = records_[static_cast<std::size_t>(list)].parent) {
        if (list == ancestor) return true;
        if (list == root) return false;
    }
}

// `list` and the lists of every node beneath it.
std::vector<int> interpreter::lists_below(int list) const {
    std::vector<int> lists{list};
    for (std::size_t i = 0; i < lists.size(); ++i)
        for (int child : model_.children(lists[i]))
            if (model_.is_node(child)) lists.push_back(child);
    return lists;
}

// ---- The shadow of the block accounting -------------------------------------

bool interpreter::refused(std::size_t attempt) const {
    return refuse_at_ != 0 && (attempt == refuse_at_ || (refuse_after_ && attempt > refuse_at_));
}

// One block allocation as the library must ask for it.
bool interpreter::shadow_allocate(shadow_list &chain, unsigned capacity) {
    if (refused(++attempts_)) return false;
    expected_sizes_.push_back(kBlockHeader + capacity);
    ++chain.blocks;
    chain.capacity = chain.space = capacity;
    return true;
}

// A tail with `need` bytes of space: the first block, the tail itself, or a
// new block after a tail that is marked full whether or not it comes.
bool interpreter::shadow_room(shadow_list &chain, std::size_t need) {
    if (chain.blocks == 0) return shadow_allocate(chain, TARNWICK_FIRST_CAPACITY);
    if (chain.space >= need) return true;
    chain.space = 0;
    return shadow_allocate(chain, next_capacity(chain.capacity));
}

void interpreter::check_tail(int list) {
    const tarnwick_list *real = list_of(list);
    const shadow_list &chain = shadow_of(list);
    const std::string name = list_name(list);
    if (chain.blocks == 0) {
        expect(real->first == nullptr && real->last == nullptr, name + ": blocks where none were expected");
        return;
    }
    expect(real->first != nullptr && real->last != nullptr, name + ": no blocks");
    expect(real->last->capacity == chain.capacity && real->last->space == chain.space,
           describe(name, ": tail has capacity ", real->last->capacity, " space ", real->last->space, ", expected ",
                    chain.capacity, " and ", chain.space));
    expect(real->last->data_end == real->last->data + (chain.capacity - chain.space) || chain.space == 0,
           name + ": tail's data_end disagrees with its space");
}

// The allocations since the last check are those the shadow asked for, in
// size and number; every release since is of a live block, once.
void interpreter::check_journal(std::size_t expected_freed) {
    const test_alloc::journal &log = test_alloc::log();
    expect(test_alloc::attempts() == attempts_,
           describe("the library asked for ", test_alloc::attempts(), " allocations, expected ", attempts_));
    const std::size_t allocated = log.allocated.size() - seen_allocated_;
    expect(allocated == expected_sizes_.size(),
           describe(allocated, " blocks allocated, expected ", expected_sizes_.size()));
    for (std::size_t i = 0; i < allocated; ++i) {
        expect(log.sizes[seen_allocated_ + i] == expected_sizes_[i],
               describe("a block of ", log.sizes[seen_allocated_ + i], " bytes, expected ", expected_sizes_[i]));
        live_.insert(log.allocated[seen_allocated_ + i]);
    }
    const std::size_t freed = log.freed.size() - seen_freed_;
    expect(freed == expected_freed, describe(freed, " blocks freed, expected ", expected_freed));
    for (std::size_t i = 0; i < freed; ++i)
        expect(live_.erase(log.freed[seen_freed_ + i]) == 1, "a block freed twice or never allocated");
    seen_allocated_ = log.allocated.size();
    seen_freed_ = log.freed.size();
    expected_sizes_.clear();
}

// ---- Building -------------------------------------------------------------------

int interpreter::create_node(int list, int tag) {
    if (!usable(list)) return none;
    shadow_list &chain = shadow_of(list);
    const bool room = shadow_room(chain, TARNWICK_NODE_RECORD_SIZE);
    tarnwick_node *handle = tarnwick_create_node(list == root ? &root_ : nullptr, handle_of(list), tag);
    check_journal(0);
    expect((handle != nullptr) == room, describe(list_name(list), ": create_node returned ", handle,
                                                 room ? ", expected a handle" : ", expected null"));
    if (room) chain.space -= TARNWICK_NODE_RECORD_SIZE;
    check_tail(list);
    if (!room) return none;

    const tarnwick_block *tail = list_of(list)->last;
    const auto *at = reinterpret_cast<const unsigned char *>(handle);
    expect(at > tail->data && at + sizeof *handle <= tail->data_end, "the handle lies outside its tail block");
    expect(handle->children.first == nullptr && handle->children.last == nullptr, "a new node has children");
    const int index = model_.add_node(list, tag);
    records_.resize(model_.size());
    records_[static_cast<std::size_t>(index)] = {list, handle, {}};
    nodes_.push_back(index);
    changed(list, false);
    return index;
}

int interpreter::create_data(int list, int tag, std::size_t length, unsigned char start) {
    if (!usable(list)) return none;
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>(payload_byte(start, i));

    // The shadow: header and length bytes in one block, then the payload
    // across as many blocks as it needs, cut short by a refused one.
    shadow_list &chain = shadow_of(list);
    const std::size_t header = kWordSize + length_bytes_for(length);
    int expected = 1;
    std::size_t stored = 0;
    if (shadow_room(chain, header)) {
        expected = 0;
        stored = std::min(length, chain.space - header);
        chain.space -= static_cast<unsigned>((header + stored + 1) / 2 * 2);
        while (stored < length) {
            if (!shadow_allocate(chain, next_capacity(chain.capacity))) {
                expected = -1;
                break;
            }
            const std::size_t piece = std::min<std::size_t>(chain.space, length - stored);
            stored += piece;
            chain.space -= static_cast<unsigned>(piece);
            if (stored == length) chain.space &= ~1u;
        }
    }
    // A zero-length payload may come without a buffer.
    const void *source = length == 0 && start % 2 == 1 ? nullptr : bytes.data();
    const int code = tarnwick_create_data(list == root ? &root_ : nullptr, handle_of(list), tag, source,
                                          static_cast<uint32_t>(length));
    check_journal(0);
    expect(code == expected,
           describe(list_name(list), ": create_data of ", length, " bytes returned ", code, ", expected ", expected));
    check_tail(list);
    if (expected == 1) return none;

    const int index = model_.add_data(list, tag, std::move(bytes));
    model_.truncate(index, stored);
    records_.resize(model_.size());
    records_[static_cast<std::size_t>(index)].parent = list;
    payload_bytes_ += stored;
    changed(list, false);
    return index;
}

// ---- Releasing ------------------------------------------------------------------

void interpreter::dispose(int list) {
    if (!usable(list)) return;
    const std::vector<int> lists = lists_below(list);
    std::size_t blocks = 0;
    for (int each : lists) blocks += shadow_of(each).blocks;
    tarnwick_dispose(list_of(list));
    check_journal(blocks);
    for (int each : lists) shadow_of(each) = {};
    nodes_.erase(
        std::remove_if(nodes_.begin(), nodes_.end(), [&](int node) { return node != list && within(node, list); }),
        nodes_.end());
    model_.clear(list);
    check_tail(list);
    changed(list, true);
}

// ---- Walking --------------------------------------------------------------------

// A walk matches the model once each record's pieces are joined, and is cut
// short exactly where the model says the nesting limit stops it (at a node
// with the tag the model names). Every START is closed by one END with its
// tag, and every DATA piece lies inside one block of the lists walked.
void interpreter::check_walk(int list, const std::vector<raw_event> &events, bool stopped, const char *walk) {
    const std::string name = describe(walk, " of ", list_name(list));
    bool model_stopped = false;
    unsigned stop_tag = 0;
    const std::vector<recorded_event> expected = model_.events(list, &model_stopped, &stop_tag);
    expect(stopped == model_stopped, name + (stopped ? ": stopped early" : ": did not stop at the nesting limit"));
    const std::string nesting = unbalanced(events, !stopped);
    expect(nesting.empty(), name + ": " + nesting);
    std::vector<const tarnwick_list *> lists;
    for (int each : lists_below(list)) lists.push_back(list_of(each));
    const std::string pieces = pieces_outside_blocks(events, lists);
    expect(pieces.empty(), name + ": " + pieces);
    const std::vector<recorded_event> merged = merge_data(recorded(events));
    expect(merged == expected, name + ": got " + show(merged) + "\nexpected " + show(expected));
    if (stopped) last_stop_tag_ = stop_tag;
}

// The callback walk and a pull walk give the very same events, pointers
// included.
void interpreter::visit(int list) {
    if (!usable(list)) return;
    const tarnwick_list *from = list == root ? &root_ : nullptr;
    const std::vector<raw_event> by_callback = visit_raw(from, handle_of(list));
    const std::vector<raw_event> by_pull = iter_raw(from, handle_of(list));
    expect(by_callback == by_pull, "the callback walk and the pull iterator differ");
    bool stopped = false;
    model_.events(list, &stopped);
    check_walk(list, by_callback, stopped, "walk");
    check_journal(0);
}

void interpreter::iter_start(std::size_t slot, int list) {
    if (!usable(list)) return;
    iterator_slot &it = iterators_[slot % iterator_count];
    it.active = true;
    it.ended = false;
    it.list = list;
    it.events.clear();
    tarnwick_iter_init(list == root ? &root_ : nullptr, &it.iter, handle_of(list));
}

void interpreter::iter_step(std::size_t slot, unsigned steps) {
    iterator_slot &it = iterators_[slot % iterator_count];
    if (!it.active) return;
    for (unsigned i = 0; i < steps; ++i) {
        const tarnwick_event *event = tarnwick_iter_next(nullptr, &it.iter);
        if (it.ended) {
            expect(event == nullptr, "an iterator goes on after it returned null");
            continue;
        }
        if (event == nullptr) {
            end_iterator(it);
            continue;
        }
        expect(event == &it.iter.event, "the iterator returned a pointer other than its event");
        it.events.push_back({event->type, event->tag, event->data, event->length});
    }
}

// At its first null an iterator has given the whole walk, or stopped at the
// nesting limit with `top` still set.
void interpreter::end_iterator(iterator_slot &slot) {
    slot.ended = true;
    const bool stopped = slot.iter.top != nullptr;
    check_walk(slot.list, slot.events, stopped, "iterator");
    if (stopped)
        expect(slot.iter.event.type == TARNWICK_EVENT_START && slot.iter.event.tag == last_stop_tag_,
               "a stopped iterator's event is not the START of the node it did not enter");
}

// A change to `list` invalidates the iterators walking it or a list above it:
// they start again. Those walking below a released list are dropped.
void interpreter::changed(int list, bool removed) {
    for (iterator_slot &it : iterators_) {
        if (!it.active) continue;
        if (removed && it.list != list && within(it.list, list))
            it.active = false;
        else if (within(list, it.list))
            iter_start(static_cast<std::size_t>(&it - iterators_.data()), it.list);
    }
}

// ---- Allocation refusals and misuse ---------------------------------------------

void interpreter::refuse(std::size_t ahead, bool and_after) {
    refuse_at_ = ahead == 0 ? 0 : attempts_ + ahead;
    refuse_after_ = and_after;
    test_alloc::refuse(refuse_at_, and_after);
}

void interpreter::misuse(unsigned which) {
    const char bytes[] = "x";
    const std::string name = describe("misuse ", which % 8);
    switch (which % 8) {
    case 0: expect(tarnwick_create_node(nullptr, nullptr, 1) == nullptr, name); break;
    case 1: expect(tarnwick_create_data(nullptr, nullptr, 1, bytes, 1) == 1, name); break;
    case 2: expect(tarnwick_create_data(&root_, nullptr, 1, nullptr, 1 + which / 8) == 1, name); break;
    case 3:
        expect(tarnwick_create_data(&root_, nullptr, 1, bytes, TARNWICK_MAX_LENGTH + 1u + which / 8) == 1, name);
        break;
    case 4: tarnwick_dispose(nullptr); break;
    case 5: tarnwick_visit_node(&root_, nullptr, nullptr, nullptr); break;
    case 6:
        tarnwick_iter_init(&root_, nullptr, nullptr);
        expect(tarnwick_iter_next(&root_, nullptr) == nullptr, name);
        break;
    default: expect(tarnwick_init(nullptr) == -1, name); break;
    }
    check_journal(0);
    check_tail(root);
}

void interpreter::finish() {
    for (std::size_t slot = 0; slot < iterator_count; ++slot)
        while (iterators_[slot].active && !iterators_[slot].ended) iter_step(slot, 1);
    visit(root);
    for (int node : nodes_) visit(node);
    refuse(0, false);
    dispose(root);
    expect(live_.empty(), describe(live_.size(), " blocks never freed"));
    expect(test_alloc::live() == live_at_start_, "the allocation hooks count blocks still live");
    finished_ = true;
}

// ---- Decoding a program from bytes ----------------------------------------------
// Each call is an opcode byte followed by its operands; missing bytes read as
// 0. Operands that name a list pick the root (0), the newest node (0xC0 and
// above, which builds deep chains) or a live node by number.

namespace {

constexpr std::size_t kMaxCalls = 2000;
constexpr std::size_t kPayloadBudget = 512u << 10;  // bytes per program, to keep runs fast

struct reader {
    const std::uint8_t *at;
    const std::uint8_t *end;
    bool done() const { return at == end; }
    unsigned byte() { return at == end ? 0 : *at++; }
    unsigned word() { return byte() | byte() << 8; }
};

int pick_list(const interpreter &p, unsigned b) {
    const std::vector<int> &nodes = p.nodes();
    if (nodes.empty() || b == 0) return interpreter::root;
    if (b >= 0xC0) return nodes.back();
    return nodes[b % nodes.size()];
}

// Short payloads mostly, then up to three blocks, then lengths that need
// three length bytes.
std::size_t pick_length(reader &in) {
    const unsigned b = in.byte();
    if (b < 0xC0) return b;
    if (b < 0xF0) return (b & 0x3F) << 8 | in.byte();
    return (b & 1u) << 16 | in.word();
}

int pick_tag(reader &in) { return static_cast<std::int16_t>(in.word()); }

}  // namespace

void run(const std::uint8_t *bytes, std::size_t size) {
    interpreter p;
    reader in{bytes, bytes + size};
    for (std::size_t calls = 0; !in.done() && calls < kMaxCalls; ++calls) {
        switch (in.byte() % 8) {
        case 0: {
            const int list = pick_list(p, in.byte());
            p.create_node(list, pick_tag(in));
            break;
        }
        case 1: {
            const int list = pick_list(p, in.byte());
            const int tag = pick_tag(in);
            std::size_t length = pick_length(in);
            if (p.payload_bytes() + length > kPayloadBudget) length %= 256;
            p.create_data(list, tag, length, static_cast<unsigned char>(in.byte()));
            break;
        }
        case 2: p.dispose(pick_list(p, in.byte())); break;
        case 3: p.visit(pick_list(p, in.byte())); break;
        case 4: {
            const unsigned slot = in.byte();
            p.iter_start(slot, pick_list(p, in.byte()));
            break;
        }
        case 5: {
            const unsigned slot = in.byte();
            p.iter_step(slot, 1 + in.byte() % 32);
            break;
        }
        case 6: {
            const unsigned b = in.byte();
            p.refuse(b == 0xFF ? 0 : 1 + (b >> 1) % 4, b & 1);
            break;
        }
        default: p.misuse(in.byte()); break;
        }
    }
    p.finish();
}

}  // namespace program
