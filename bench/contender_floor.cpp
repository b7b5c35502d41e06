// SPDX-License-Identifier: MIT
// The format floor: what any code that keeps libtarnwick's block format must
// do to hold a tree, and nothing else. Building makes the same callocs as
// libtarnwick (the same sizes, in the same order) and copies each payload
// piece to the place libtarnwick puts it; releasing frees the blocks in the
// order libtarnwick frees them. No record headers, no chain links, no tail
// bookkeeping: the difference to libtarnwick is what its code adds.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "alloc_count.h"
#include "workload.hpp"

namespace bench {

// One payload piece: where it comes from and where it goes. A piece never
// crosses a block, so it is at most a block's size, and its block, its
// offset there and its length pack into one word.
struct floor_piece {
    const unsigned char *source;
    uint64_t where;  // block << kBlockShift | offset << kOffsetShift | length
};

struct format_plan {
    std::vector<std::size_t> sizes;       // of each calloc, in order
    std::vector<floor_piece> pieces;      // in the order they are written
    std::vector<uint32_t> release_order;  // block numbers, in the order freed
};

namespace {

constexpr unsigned kOffsetShift = 16, kBlockShift = 32;
constexpr uint64_t kFieldMask = 0xFFFF;

[[noreturn]] void fail(const char *what) {
    std::fprintf(stderr, "format floor: %s\n", what);
    std::abort();
}

// Block numbers by address, to find the block a piece lies in.
struct block_index {
    explicit block_index(const std::vector<const unsigned char *> &starts) {
        for (uint32_t i = 0; i < starts.size(); ++i) by_address.push_back({starts[i], i});
        std::sort(by_address.begin(), by_address.end());
    }
    // The block that holds `at`: the last one that starts at or before it.
    uint32_t find(const void *at) const {
        const auto *byte = static_cast<const unsigned char *>(at);
        auto it = std::upper_bound(by_address.begin(), by_address.end(), std::pair{byte, UINT32_MAX});
        if (it == by_address.begin()) fail("a piece outside every block");
        return std::prev(it)->second;
    }
    std::vector<std::pair<const unsigned char *, uint32_t>> by_address;
};

// Builds the workload with libtarnwick while logging its callocs; returns
// where each block starts.
std::vector<const unsigned char *> plan_blocks(const workload &w, contender &library, format_plan &plan) {
    alloc_log_start();
    library.build(w);
    std::size_t count = 0;
    const alloc_log_entry *log = alloc_log_stop(&count);
    std::vector<const unsigned char *> starts;
    for (std::size_t i = 0; i < count; ++i) {
        if (log[i].size == 0) fail("a release during the build");
        plan.sizes.push_back(log[i].size);
        starts.push_back(static_cast<const unsigned char *>(log[i].memory));
    }
    return starts;
}

// Takes the place of each payload piece from the pieces libtarnwick's walk
// delivers, which come in the order of the workload's data steps.
void plan_pieces(const workload &w, const contender &library, format_plan &plan, const block_index &index,
                 const std::vector<const unsigned char *> &starts) {
    std::vector<event_record> events;
    library.record_events(events);
    auto next = events.begin();
    for (const op &o : w.ops) {
        if (o.kind != op::data) continue;
        for (std::size_t done = 0; done < o.count; ++next) {
            if (next == events.end()) fail("the walk ran out of pieces");
            if (next->type != ev_data) continue;
            const uint32_t block = index.find(next->data);
            const auto offset = static_cast<uint64_t>(next->data - starts[block]);
            if (offset > kFieldMask || next->length > kFieldMask) fail("a piece too long");
            plan.pieces.push_back(
                {o.bytes + done, uint64_t{block} << kBlockShift | offset << kOffsetShift | next->length});
            done += next->length;
        }
    }
}

// Releases libtarnwick's tree while logging its frees.
void plan_release(contender &library, format_plan &plan, const block_index &index) {
    alloc_log_start();
    library.clear();
    std::size_t count = 0;
    const alloc_log_entry *log = alloc_log_stop(&count);
    for (std::size_t i = 0; i < count; ++i) plan.release_order.push_back(index.find(log[i].memory));
    if (plan.release_order.size() != plan.sizes.size()) fail("not every block was freed once");
}

// Copies a short piece inline, as a library would; a call to memcpy costs
// more than the copy itself.
inline void copy_piece(unsigned char *to, const unsigned char *from, std::size_t length) {
    if (length < sizeof(uint64_t) || length > 2 * sizeof(uint64_t)) {
        std::memcpy(to, from, length);
        return;
    }
    uint64_t head, tail;
    std::memcpy(&head, from, sizeof head);
    std::memcpy(&tail, from + length - sizeof tail, sizeof tail);
    std::memcpy(to, &head, sizeof head);
    std::memcpy(to + length - sizeof tail, &tail, sizeof tail);
}

class floor_contender final : public contender {
public:
    explicit floor_contender(std::shared_ptr<const format_plan> plan) : plan_(std::move(plan)) {
        if (plan_) blocks_.resize(plan_->sizes.size());
    }
    ~floor_contender() override { clear(); }
    std::string name() const override { return "format floor"; }

    // Each block is allocated just before the first piece that goes into it,
    // or at the end: the allocations keep their order.
    void build(const workload &) override {
        const std::vector<std::size_t> &sizes = plan_->sizes;
        std::size_t made = 0;
        for (const floor_piece &p : plan_->pieces) {
            const auto block = static_cast<std::size_t>(p.where >> kBlockShift);
            while (made <= block) allocate(made++, sizes);
            copy_piece(blocks_[block] + (p.where >> kOffsetShift & kFieldMask), p.source, p.where & kFieldMask);
        }
        while (made < sizes.size()) allocate(made++, sizes);
        built_ = true;
    }

    // A tree is cold by the time it is released, and free reads the
    // allocator's header of each block: each free asks for the header of the
    // block kFreeAhead frees later, as libtarnwick's release asks for what
    // lies ahead of the records it reads.
    void clear() override {
        if (!built_) return;
        const std::vector<uint32_t> &order = plan_->release_order;
        for (std::size_t i = 0; i < order.size(); ++i) {
            if (i + kFreeAhead < order.size()) ask_for_header(blocks_[order[i + kFreeAhead]]);
            std::free(blocks_[order[i]]);
        }
        built_ = false;
    }

    std::vector<walk_kind> walks() override { return {}; }

private:
    // Frees ahead: on W2, 4 and 8 gained less, 32 no more.
    static constexpr std::size_t kFreeAhead = 16;
    // The allocator's header lies just below each block (glibc: two size words).
    static constexpr uintptr_t kAllocatorHeader = 2 * sizeof(std::size_t);

    // Asks for the line of the block's allocator header, worked out as an
    // integer so that no pointer outside the block is formed.
    static void ask_for_header(const unsigned char *block) {
        __builtin_prefetch(reinterpret_cast<const void *>(reinterpret_cast<uintptr_t>(block) - kAllocatorHeader));
    }

    void allocate(std::size_t block, const std::vector<std::size_t> &sizes) {
        blocks_[block] = static_cast<unsigned char *>(std::calloc(1, sizes[block]));
        if (blocks_[block] == nullptr) fail("no memory");
    }

    std::shared_ptr<const format_plan> plan_;
    std::vector<unsigned char *> blocks_;
    bool built_ = false;
};

}  // namespace

std::shared_ptr<const format_plan> plan_format_floor(const workload &w) {
    auto plan = std::make_shared<format_plan>();
    auto library = make_tarnwick();
    const std::vector<const unsigned char *> starts = plan_blocks(w, *library, *plan);
    const block_index index(starts);
    plan_pieces(w, *library, *plan, index, starts);
    plan_release(*library, *plan, index);
    return plan;
}

std::unique_ptr<contender> make_format_floor(std::shared_ptr<const format_plan> plan) {
    return std::make_unique<floor_contender>(std::move(plan));
}

}  // namespace bench
