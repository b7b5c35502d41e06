// SPDX-License-Identifier: MIT
// The printers. The walk and the statistics use the C interface and the
// public block fields only; the layout also reads record headers, through the
// library's engine (tarnwick/engine.hpp).
#include "show.hpp"

#include "tarnwick/engine.hpp"

#include <algorithm>
#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

namespace tool {

namespace {

constexpr std::size_t kPreviewBytes = 16;
constexpr std::size_t kDumpRow = 16;
constexpr std::size_t kIndent = 2;
// Deeper lists are labelled by number, so that labels stay short at any depth.
constexpr std::size_t kMaxPathDepth = 8;
constexpr std::size_t kBlockHeaderSize = offsetof(tarnwick_block, data);
constexpr std::size_t kPointerSize = sizeof(void *);

std::string pad(std::string text, std::size_t width) {
    if (text.size() < width) text.append(width - text.size(), ' ');
    return text;
}

std::string plural(std::size_t count, const char *one, const char *many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

bool is_printable(unsigned char c) { return (c >= 0x20 && c < 0x7F) || c == '\n' || c == '\t' || c == '\r'; }

// At most kPreviewBytes bytes in the notation: "text" when every byte shown
// is printable, else xHEX; "..." follows when bytes were left out.
std::string preview(const unsigned char *bytes, std::size_t length) {
    static constexpr char kDigits[] = "0123456789abcdef";
    const std::size_t shown = length < kPreviewBytes ? length : kPreviewBytes;
    bool printable = true;
    for (std::size_t i = 0; i < shown; ++i) printable = printable && is_printable(bytes[i]);
    std::string text = printable ? "\"" : "x";
    for (std::size_t i = 0; i < shown; ++i) {
        const unsigned char c = bytes[i];
        if (!printable) {
            text += kDigits[c >> 4];
            text += kDigits[c & 0xF];
        } else if (c == '\n') {
            text += "\\n";
        } else if (c == '\t') {
            text += "\\t";
        } else if (c == '\r') {
            text += "\\r";
        } else {
            if (c == '"' || c == '\\') text += '\\';
            text += static_cast<char>(c);
        }
    }
    if (printable) text += '"';
    if (shown < length) text += "...";
    return text;
}

std::size_t used_bytes(const tarnwick_block *block) { return static_cast<std::size_t>(block->data_end - block->data); }

}  // namespace

walk_result print_walk(const built_tree &tree, std::ostream &out) {
    tarnwick_iter iter;
    tarnwick_iter_init(&tree.root, &iter, nullptr);
    std::size_t depth = 0;
    while (const tarnwick_event *e = tarnwick_iter_next(&tree.root, &iter)) {
        if (e->type == TARNWICK_EVENT_END && depth > 0) --depth;
        out << std::string(kIndent * depth, ' ');
        if (e->type == TARNWICK_EVENT_START) {
            out << "START " << e->tag << '\n';
            ++depth;
        } else if (e->type == TARNWICK_EVENT_DATA) {
            const auto length = static_cast<std::size_t>(e->length);
            out << "DATA " << e->tag << " (" << plural(length, "byte", "bytes") << ") " << preview(e->data, length)
                << '\n';
        } else {
            out << "END " << e->tag << '\n';
        }
    }
    return {iter.top == nullptr, iter.event.tag};
}

void print_stats(const built_tree &tree, std::ostream &out) {
    std::size_t blocks = 0, capacity = 0, used = 0;
    for (const list_entry &entry : tree.lists) {
        for (const tarnwick_block *b = entry.list->first; b != nullptr; b = b->next) {
            ++blocks;
            capacity += b->capacity;
            used += used_bytes(b);
        }
    }
    const std::size_t records = tree.nodes + tree.data_records;
    const std::size_t allocated = blocks * kBlockHeaderSize + capacity;
    out << "records    " << records << ": " << plural(tree.nodes, "node", "nodes") << ", "
        << plural(tree.data_records, "data record", "data records") << " with "
        << plural(static_cast<std::size_t>(tree.payload_bytes), "payload byte", "payload bytes") << '\n'
        << "lists      " << tree.lists.size() << ": the root list and " << plural(tree.nodes, "node list", "node lists")
        << '\n'
        << "blocks     " << blocks << '\n'
        << "allocated  " << plural(allocated, "byte", "bytes") << ": " << blocks << " block headers of "
        << kBlockHeaderSize << " bytes and " << capacity << " bytes of data area\n"
        << "used       " << plural(used, "byte", "bytes") << " of the data areas\n";
    if (records == 0) {
        out << "overhead   no records\n";
        return;
    }
    // Per record, to one decimal place, in integers so the output never
    // depends on floating-point formatting.
    const auto per_record = [&](std::size_t total) {
        const std::size_t tenths =
            ((total - static_cast<std::size_t>(tree.payload_bytes)) * 10 + records / 2) / records;
        return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
    };
    out << "overhead   " << per_record(allocated) << " bytes allocated and " << per_record(used)
        << " bytes used per record, beyond the payload\n";
}

namespace {

// A record header, read through the library's own reader of the format.
struct record_header {
    bool is_node;
    unsigned length_bytes;
    unsigned tag;
    std::uint32_t length;
};

record_header read_header(const unsigned char *p) {
    const tarnwick::internal::record_header header = tarnwick::internal::read_header(p);
    return {header.is_node, header.length_bytes, header.tag, tarnwick::internal::read_record_length(p, header)};
}

constexpr std::size_t kWordSize = tarnwick::internal::kWordSize;

// The offset in `block` where a record that ends at `offset` is followed,
// past its filler.
std::size_t past_filler(const tarnwick_block *block, std::size_t offset) {
    return static_cast<std::size_t>(tarnwick::internal::round_even(block->data + offset) - block->data);
}

// Prints one list's chain. A payload that runs on past its block is followed
// into the next blocks, as the walk follows it.
class layout_printer {
public:
    layout_printer(const built_tree &tree, bool hex, std::ostream &out) : tree_(tree), hex_(hex), out_(out) {
        for (std::size_t i = 1; i < tree.lists.size(); ++i) node_list_[tree.lists[i].handle->record] = i;
    }

    void print_list(std::size_t entry);

private:
    // The rest of a payload that continues in the next block.
    struct continuation {
        std::uint32_t left = 0;
        unsigned tag = 0;
        std::size_t block = 0;
        std::size_t offset = 0;
    };

    std::string label(std::size_t entry) const;
    void print_block(const tarnwick_block *block, std::size_t index);
    std::size_t print_continuation(const tarnwick_block *block, std::size_t used);
    std::size_t print_record(const tarnwick_block *block, std::size_t index, std::size_t offset);
    void hide_handle(const tarnwick_block *block, const tarnwick_node *handle);
    void dump(const tarnwick_block *block) const;

    const built_tree &tree_;
    bool hex_;
    std::ostream &out_;
    std::unordered_map<const void *, std::size_t> node_list_;  // record header -> list entry
    continuation pending_;
    std::vector<char> marks_;   // per byte: '[' record header, '>' continued payload, ' '
    std::vector<bool> hidden_;  // per byte: part of a non-null pointer
};

// `mark` followed by the decimal `number`: "/2", "+36", "#5". Built by
// appending, since GCC 12 at -O3 reports a false -Wrestrict inside
// std::string when a literal is prepended to a temporary string.
std::string marked(char mark, std::size_t number) {
    std::string text(1, mark);
    text += std::to_string(number);
    return text;
}

// "/" for the root list, "/0/2" for the list of record 2 in the list of
// record 0 of the root list, "#N" (input order) below kMaxPathDepth.
std::string layout_printer::label(std::size_t entry) const {
    if (entry == 0) return "/";
    if (tree_.lists[entry].depth > kMaxPathDepth) return marked('#', entry);
    std::vector<std::size_t> path;  // record indices from the list up to the root
    for (std::size_t i = entry; i != 0; i = tree_.lists[i].parent) path.push_back(tree_.lists[i].index);
    std::string text;
    for (auto i = path.rbegin(); i != path.rend(); ++i) text += marked('/', *i);
    return text;
}

void layout_printer::print_list(std::size_t entry) {
    const list_entry &list = tree_.lists[entry];
    std::size_t blocks = 0;
    for (const tarnwick_block *b = list.list->first; b != nullptr; b = b->next) ++blocks;
    out_ << "list " << label(entry);
    if (entry == 0) {
        out_ << " (root)";
    } else {
        out_ << " (node tag " << list.tag << ", depth " << list.depth << ")";
    }
    out_ << ": " << (blocks == 0 ? std::string("no blocks") : plural(blocks, "block", "blocks")) << '\n';
    pending_ = {};
    std::size_t index = 0;
    for (const tarnwick_block *b = list.list->first; b != nullptr; b = b->next) print_block(b, index++);
}

void layout_printer::print_block(const tarnwick_block *block, std::size_t index) {
    const std::size_t used = used_bytes(block);
    out_ << "  block " << index << ": capacity " << block->capacity << ", used " << used << ", space " << block->space;
    if (block->space == 0 && used < block->capacity)
        out_ << " (abandoned: " << block->capacity - used << " bytes never written)";
    out_ << '\n';
    marks_.assign(used, ' ');
    hidden_.assign(used, false);
    std::size_t offset = print_continuation(block, used);
    while (offset < used) offset = print_record(block, index, offset);
    if (hex_) dump(block);
}

// Prints the part of a continued payload at the start of `block`; returns
// where the next record starts.
std::size_t layout_printer::print_continuation(const tarnwick_block *block, std::size_t used) {
    if (pending_.left == 0 || used == 0) return 0;
    const std::size_t piece = pending_.left < used ? pending_.left : used;
    pending_.left -= static_cast<std::uint32_t>(piece);
    marks_[0] = '>';
    out_ << "    " << pad("+0", 7) << "continued: tag " << pending_.tag << " from block " << pending_.block << " +"
         << pending_.offset << ", " << plural(piece, "byte", "bytes") << " here";
    if (pending_.left != 0) out_ << ", " << pending_.left << " in the next blocks";
    out_ << ": " << preview(block->data, piece) << '\n';
    return pending_.left == 0 ? past_filler(block, piece) : used;
}

// Prints the record whose header is at `offset`; returns where the next
// record starts in this block (the block's used size when none does).
std::size_t layout_printer::print_record(const tarnwick_block *block, std::size_t index, std::size_t offset) {
    const std::size_t used = used_bytes(block);
    out_ << "    " << pad(marked('+', offset), 7);
    const unsigned char *p = block->data + offset;
    const record_header h = used - offset >= kWordSize ? read_header(p) : record_header{};
    const std::size_t payload = offset + kWordSize + h.length_bytes;
    if (used - offset < kWordSize || payload > used) {
        out_ << "malformed: the header does not fit in the block\n";
        return used;
    }
    marks_[offset] = '[';
    out_ << (h.is_node ? "node" : "data") << " tag " << pad(std::to_string(h.tag), 5) << "L" << h.length_bytes
         << " n=" << h.length;
    if (h.is_node || h.length != 0)
        out_ << std::string(6 - std::min<std::size_t>(5, std::to_string(h.length).size()), ' ');
    const std::size_t here = h.length < used - payload ? h.length : used - payload;
    if (h.is_node) {
        const auto found = node_list_.find(p);
        if (found != node_list_.end()) {
            const tarnwick_node *handle = tree_.lists[found->second].handle;
            out_ << "handle at +" << reinterpret_cast<const unsigned char *>(handle) - block->data << ", ";
            if (handle->children.first) {
                out_ << "children in list " << label(found->second);
            } else {
                out_ << "no children";
            }
            hide_handle(block, handle);
        }
    } else if (here < h.length) {
        out_ << plural(here, "byte", "bytes") << " here, " << h.length - here << " in the next blocks";
        if (here != 0) out_ << ": " << preview(p + kWordSize + h.length_bytes, here);
        pending_ = {static_cast<std::uint32_t>(h.length - here), h.tag, index, offset};
    } else if (h.length != 0) {
        out_ << preview(p + kWordSize + h.length_bytes, here);
    }
    out_ << '\n';
    return here < h.length ? used : past_filler(block, payload + here);
}

// Marks the bytes of the handle's non-null pointers, which are addresses and
// would differ from run to run.
void layout_printer::hide_handle(const tarnwick_block *block, const tarnwick_node *handle) {
    const std::size_t at = static_cast<std::size_t>(reinterpret_cast<const unsigned char *>(handle) - block->data);
    const bool set[] = {handle->children.first != nullptr, handle->children.last != nullptr, handle->record != nullptr};
    const std::size_t field[] = {offsetof(tarnwick_node, children) + offsetof(tarnwick_list, first),
                                 offsetof(tarnwick_node, children) + offsetof(tarnwick_list, last),
                                 offsetof(tarnwick_node, record)};
    for (std::size_t f = 0; f < 3; ++f)
        for (std::size_t i = 0; set[f] && i < kPointerSize; ++i) hidden_[at + field[f] + i] = true;
}

// The used bytes, kDumpRow to a line, each preceded by its mark; the bytes
// of addresses show as "..".
void layout_printer::dump(const tarnwick_block *block) const {
    static constexpr char kDigits[] = "0123456789abcdef";
    const std::size_t used = used_bytes(block);
    for (std::size_t row = 0; row < used; row += kDumpRow) {
        std::string line = std::to_string(row);
        line.insert(0, line.size() < 5 ? 5 - line.size() : 0, ' ');
        line.insert(0, "      ");
        line += ' ';
        for (std::size_t i = row; i < used && i < row + kDumpRow; ++i) {
            if (i == row + kDumpRow / 2) line += ' ';
            line += marks_[i];
            const unsigned char c = block->data[i];
            line += hidden_[i] ? '.' : kDigits[c >> 4];
            line += hidden_[i] ? '.' : kDigits[c & 0xF];
        }
        out_ << line << '\n';
    }
}

}  // namespace

void print_layout(const built_tree &tree, bool hex, std::ostream &out) {
    layout_printer printer(tree, hex, out);
    for (std::size_t entry = 0; entry < tree.lists.size(); ++entry) printer.print_list(entry);
}

}  // namespace tool
