// SPDX-License-Identifier: MIT
// The printers. The walk and the statistics use the C interface and the
// public block fields only; the layout, as text or as a picture, also reads
// record headers, through the library's engine (tarnwick/engine.hpp), in one
// reader of a list's chain that both share.
#include "show.hpp"

#include "tarnwick/engine.hpp"

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>
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

// Two lower-case hex digits.
std::string hex_byte(unsigned char c) {
    static constexpr char kDigits[] = "0123456789abcdef";
    return {kDigits[c >> 4], kDigits[c & 0xF]};
}

// At most kPreviewBytes bytes in the notation: "text" when every byte shown
// is printable, else xHEX; "..." follows when bytes were left out.
std::string preview(const unsigned char *bytes, std::size_t length) {
    const std::size_t shown = length < kPreviewBytes ? length : kPreviewBytes;
    bool printable = true;
    for (std::size_t i = 0; i < shown; ++i) printable = printable && is_printable(bytes[i]);
    std::string text = printable ? "\"" : "x";
    for (std::size_t i = 0; i < shown; ++i) {
        const unsigned char c = bytes[i];
        if (!printable) {
            text += hex_byte(c);
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

// What lies at one offset of a block: a record, the rest of a payload
// continued from an earlier block (at offset 0 only), or bytes that do not
// hold a whole header.
struct piece {
    enum class kind { record, continued, malformed } what = kind::malformed;
    std::size_t offset = 0;                       // the header word, or the continued bytes
    record_header header{};                       // of a continued payload, its tag only
    std::size_t payload = 0;                      // the first payload byte in this block
    std::size_t here = 0;                         // payload bytes in this block
    std::uint32_t left = 0;                       // payload bytes in the blocks after this one
    std::size_t next = 0;                         // where the next record starts: the used size when none does here
    std::size_t from_block = 0, from_offset = 0;  // a continued payload's header
};

// Reads one list's records block by block, in order. A payload that runs on
// past its block is followed into the next blocks, as the walk follows it.
class chain_reader {
public:
    // The piece at `offset` of `block`, the list's block number `index`.
    piece read(const tarnwick_block *block, std::size_t index, std::size_t offset);

private:
    piece pending_;  // a payload with bytes left for the next blocks
};

piece chain_reader::read(const tarnwick_block *block, std::size_t index, std::size_t offset) {
    const std::size_t used = used_bytes(block);
    piece p;
    p.offset = offset;
    p.next = used;
    if (offset == 0 && pending_.left != 0) {
        p.what = piece::kind::continued;
        p.header.tag = pending_.header.tag;
        p.from_block = pending_.from_block;
        p.from_offset = pending_.from_offset;
        p.here = pending_.left < used ? pending_.left : used;
        p.left = pending_.left - static_cast<std::uint32_t>(p.here);
        pending_.left = p.left;
        if (p.left == 0) p.next = past_filler(block, p.here);
        return p;
    }
    if (used - offset < kWordSize) return p;
    p.header = read_header(block->data + offset);
    p.payload = offset + kWordSize + p.header.length_bytes;
    if (p.payload > used) return p;
    p.what = piece::kind::record;
    p.here = p.header.length < used - p.payload ? p.header.length : used - p.payload;
    if (p.here < p.header.length) {
        p.left = p.header.length - static_cast<std::uint32_t>(p.here);
        pending_ = p;
        pending_.from_block = index;
        pending_.from_offset = offset;
    } else {
        p.next = past_filler(block, p.payload + p.here);
    }
    return p;
}

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
std::string list_label(const built_tree &tree, std::size_t entry) {
    if (entry == 0) return "/";
    if (tree.lists[entry].depth > kMaxPathDepth) return marked('#', entry);
    std::vector<std::size_t> path;  // record indices from the list up to the root
    for (std::size_t i = entry; i != 0; i = tree.lists[i].parent) path.push_back(tree.lists[i].index);
    std::string text;
    for (auto i = path.rbegin(); i != path.rend(); ++i) text += marked('/', *i);
    return text;
}

// "list /0 (node tag 1, depth 1): 3 blocks"
std::string list_heading(const built_tree &tree, std::size_t entry) {
    const list_entry &list = tree.lists[entry];
    std::size_t blocks = 0;
    for (const tarnwick_block *b = list.list->first; b != nullptr; b = b->next) ++blocks;
    std::string text = "list " + list_label(tree, entry);
    if (entry == 0) {
        text += " (root)";
    } else {
        text += " (node tag " + std::to_string(list.tag) + ", depth " + std::to_string(list.depth) + ")";
    }
    return text + ": " + (blocks == 0 ? std::string("no blocks") : plural(blocks, "block", "blocks"));
}

// "block 0: capacity 256, used 240, space 0 (abandoned: 16 bytes never written)"
std::string block_heading(const tarnwick_block *block, std::size_t index) {
    const std::size_t used = used_bytes(block);
    std::string text = "block " + std::to_string(index) + ": capacity " + std::to_string(block->capacity) + ", used " +
                       std::to_string(used) + ", space " + std::to_string(block->space);
    if (block->space == 0 && used < block->capacity)
        text += " (abandoned: " + std::to_string(block->capacity - used) + " bytes never written)";
    return text;
}

// Each node record's header -> the entry of its list.
std::unordered_map<const void *, std::size_t> node_lists(const built_tree &tree) {
    std::unordered_map<const void *, std::size_t> lists;
    for (std::size_t i = 1; i < tree.lists.size(); ++i) lists[tree.lists[i].handle->record] = i;
    return lists;
}

std::size_t handle_offset(const tarnwick_block *block, const tarnwick_node *handle) {
    return static_cast<std::size_t>(reinterpret_cast<const unsigned char *>(handle) - block->data);
}

// Marks the bytes of the handle's non-null pointers, which are addresses and
// would differ from run to run.
void hide_handle(const tarnwick_block *block, const tarnwick_node *handle, std::vector<bool> &hidden) {
    const std::size_t at = handle_offset(block, handle);
    const bool set[] = {handle->children.first != nullptr, handle->children.last != nullptr, handle->record != nullptr};
    const std::size_t field[] = {offsetof(tarnwick_node, children) + offsetof(tarnwick_list, first),
                                 offsetof(tarnwick_node, children) + offsetof(tarnwick_list, last),
                                 offsetof(tarnwick_node, record)};
    for (std::size_t f = 0; f < 3; ++f)
        for (std::size_t i = 0; set[f] && i < kPointerSize; ++i) hidden[at + field[f] + i] = true;
}

// Prints one list's chain as text.
class layout_printer {
public:
    layout_printer(const built_tree &tree, bool hex, std::ostream &out)
        : tree_(tree), hex_(hex), out_(out), node_list_(node_lists(tree)) {}

    void print_list(std::size_t entry);

private:
    void print_block(const tarnwick_block *block, std::size_t index);
    void print_continuation(const tarnwick_block *block, const piece &p);
    void print_record(const tarnwick_block *block, const piece &p);
    void dump(const tarnwick_block *block) const;

    const built_tree &tree_;
    bool hex_;
    std::ostream &out_;
    std::unordered_map<const void *, std::size_t> node_list_;  // record header -> list entry
    chain_reader reader_;
    std::vector<char> marks_;   // per byte: '[' record header, '>' continued payload, ' '
    std::vector<bool> hidden_;  // per byte: part of a non-null pointer
};

void layout_printer::print_list(std::size_t entry) {
    out_ << list_heading(tree_, entry) << '\n';
    reader_ = {};
    std::size_t index = 0;
    for (const tarnwick_block *b = tree_.lists[entry].list->first; b != nullptr; b = b->next) print_block(b, index++);
}

void layout_printer::print_block(const tarnwick_block *block, std::size_t index) {
    const std::size_t used = used_bytes(block);
    out_ << "  " << block_heading(block, index) << '\n';
    marks_.assign(used, ' ');
    hidden_.assign(used, false);
    for (std::size_t offset = 0; offset < used;) {
        const piece p = reader_.read(block, index, offset);
        if (p.what == piece::kind::continued) {
            print_continuation(block, p);
        } else {
            print_record(block, p);
        }
        offset = p.next;
    }
    if (hex_) dump(block);
}

void layout_printer::print_continuation(const tarnwick_block *block, const piece &p) {
    marks_[0] = '>';
    out_ << "    " << pad("+0", 7) << "continued: tag " << p.header.tag << " from block " << p.from_block << " +"
         << p.from_offset << ", " << plural(p.here, "byte", "bytes") << " here";
    if (p.left != 0) out_ << ", " << p.left << " in the next blocks";
    out_ << ": " << preview(block->data, p.here) << '\n';
}

void layout_printer::print_record(const tarnwick_block *block, const piece &p) {
    out_ << "    " << pad(marked('+', p.offset), 7);
    if (p.what == piece::kind::malformed) {
        out_ << "malformed: the header does not fit in the block\n";
        return;
    }
    const record_header &h = p.header;
    marks_[p.offset] = '[';
    out_ << (h.is_node ? "node" : "data") << " tag " << pad(std::to_string(h.tag), 5) << "L" << h.length_bytes
         << " n=" << h.length;
    if (h.is_node || h.length != 0)
        out_ << std::string(6 - std::min<std::size_t>(5, std::to_string(h.length).size()), ' ');
    if (h.is_node) {
        const auto found = node_list_.find(block->data + p.offset);
        if (found != node_list_.end()) {
            const tarnwick_node *handle = tree_.lists[found->second].handle;
            out_ << "handle at +" << handle_offset(block, handle) << ", ";
            if (handle->children.first) {
                out_ << "children in list " << list_label(tree_, found->second);
            } else {
                out_ << "no children";
            }
            hide_handle(block, handle, hidden_);
        }
    } else if (p.left != 0) {
        out_ << plural(p.here, "byte", "bytes") << " here, " << p.left << " in the next blocks";
        if (p.here != 0) out_ << ": " << preview(block->data + p.payload, p.here);
    } else if (h.length != 0) {
        out_ << preview(block->data + p.payload, p.here);
    }
    out_ << '\n';
}

// The used bytes, kDumpRow to a line, each preceded by its mark; the bytes
// of addresses show as "..".
void layout_printer::dump(const tarnwick_block *block) const {
    const std::size_t used = used_bytes(block);
    for (std::size_t row = 0; row < used; row += kDumpRow) {
        std::string line = std::to_string(row);
        line.insert(0, line.size() < 5 ? 5 - line.size() : 0, ' ');
        line.insert(0, "      ");
        line += ' ';
        for (std::size_t i = row; i < used && i < row + kDumpRow; ++i) {
            if (i == row + kDumpRow / 2) line += ' ';
            line += marks_[i];
            line += hidden_[i] ? ".." : hex_byte(block->data[i]);
        }
        out_ << line << '\n';
    }
}

}  // namespace

void print_layout(const built_tree &tree, bool hex, std::ostream &out) {
    layout_printer printer(tree, hex, out);
    for (std::size_t entry = 0; entry < tree.lists.size(); ++entry) printer.print_list(entry);
}

namespace {

// The picture's geometry, in pixels: one cell per byte, kRowBytes to a row,
// with a lane above each row for the labels of the records that start in it.
constexpr std::size_t kRowBytes = 32;
constexpr int kCell = 14;
constexpr int kCellHeight = 16;
constexpr int kLane = 11;
constexpr int kRowPitch = kLane + kCellHeight;
constexpr int kMargin = 10;
constexpr int kGutter = 40;  // left of the blocks, where the arrows run down
constexpr int kLeft = kMargin + kGutter;
constexpr int kHeadingRoom = 70;  // for a block heading longer than its row
constexpr int kWidth = kLeft + static_cast<int>(kRowBytes) * kCell + kHeadingRoom + kMargin;
constexpr int kHeadingPitch = 18;
constexpr int kLabelCharWidth = 6;  // at the labels' 9px, a little generous

// One colour per part of a record; the record's outline gives its kind.
constexpr std::string_view kStyle = R"(
text { font-family: 'DejaVu Sans Mono', monospace; fill: #222; }
.list-heading { font-size: 13px; font-weight: bold; }
.block-heading { font-size: 11px; }
.label { font-size: 9px; }
.byte { font-size: 8px; text-anchor: middle; }
.note { font-size: 10px; fill: #555; }
.block > rect.outline { fill: none; stroke: #444; stroke-width: 1.5; }
.word { fill: #a0c4e8; } .length { fill: #ffc98b; } .data-payload { fill: #b5e3a8; }
.node-payload { fill: #ecd5e8; } .handle { fill: #cf9fc6; } .filler { fill: #e4e4e4; }
.free { fill: #fff; } .abandoned { fill: url(#never-written); } .malformed { fill: #ff6b6b; }
.record.data > rect.edge { fill: none; stroke: #2f7d32; stroke-width: 1.5; }
.record.node > rect.edge { fill: none; stroke: #7b3f8c; stroke-width: 1.5; }
.piece > rect.edge { fill: none; stroke: #2f7d32; stroke-width: 1.5; stroke-dasharray: 4 2; }
.arrow { fill: none; stroke: #7b3f8c; stroke-width: 1.5; marker-end: url(#head); }
)";

// A point of the picture.
struct point {
    int x, y;
};

// A node record's place in the picture and the list its arrow points to.
struct arrow {
    point from;
    std::size_t list;
};

// Draws the lists one under the other, each block as rows of byte cells.
class svg_printer {
public:
    svg_printer(const built_tree &tree, bool hex) : tree_(tree), hex_(hex), node_list_(node_lists(tree)) {}

    void draw(std::ostream &out);

private:
    void draw_legend();
    void draw_list(std::size_t entry);
    void draw_block(const tarnwick_block *block, std::size_t index);
    void draw_record(const tarnwick_block *block, const piece &p);
    void draw_continuation(const piece &p);
    void draw_free(const tarnwick_block *block);
    void draw_bytes(const tarnwick_block *block);
    void draw_arrows();
    void fill(const char *part, std::size_t from, std::size_t to);
    void edge(std::size_t from, std::size_t to);
    point cell(std::size_t offset) const;

    const built_tree &tree_;
    bool hex_;
    std::unordered_map<const void *, std::size_t> node_list_;
    std::ostringstream body_;
    chain_reader reader_;
    int y_ = kMargin;    // the top of what is drawn next
    int block_top_ = 0;  // the first row of the block being drawn
    std::vector<bool> hidden_;
    std::vector<arrow> arrows_;
    std::vector<int> list_y_;  // each list's heading, by entry
};

point svg_printer::cell(std::size_t offset) const {
    return {kLeft + static_cast<int>(offset % kRowBytes) * kCell,
            block_top_ + static_cast<int>(offset / kRowBytes) * kRowPitch + kLane};
}

// Rectangles of class `part` over the bytes [from, to), one per row.
void svg_printer::fill(const char *part, std::size_t from, std::size_t to) {
    while (from < to) {
        const std::size_t end = std::min(to, (from / kRowBytes + 1) * kRowBytes);
        const point at = cell(from);
        body_ << "<rect class=\"" << part << "\" x=\"" << at.x << "\" y=\"" << at.y << "\" width=\""
              << static_cast<int>(end - from) * kCell << "\" height=\"" << kCellHeight << "\"/>\n";
        from = end;
    }
}

// The outline of a record or piece over the bytes [from, to), one per row.
void svg_printer::edge(std::size_t from, std::size_t to) { fill("edge", from, to); }

void svg_printer::draw(std::ostream &out) {
    list_y_.assign(tree_.lists.size(), 0);
    draw_legend();
    for (std::size_t entry = 0; entry < tree_.lists.size(); ++entry) draw_list(entry);
    draw_arrows();
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kWidth << "\" height=\"" << y_ + kMargin
        << "\" viewBox=\"0 0 " << kWidth << ' ' << y_ + kMargin << "\">\n"
        << "<style>" << kStyle << "</style>\n"
        << "<defs>\n"
        << "<pattern id=\"never-written\" width=\"6\" height=\"6\" patternUnits=\"userSpaceOnUse\">"
        << "<rect width=\"6\" height=\"6\" fill=\"#f4f4f4\"/><path d=\"M0 6 L6 0\" stroke=\"#999\"/></pattern>\n"
        << "<marker id=\"head\" markerWidth=\"8\" markerHeight=\"8\" refX=\"7\" refY=\"4\" orient=\"auto\">"
        << "<path d=\"M0 0 L8 4 L0 8 z\" fill=\"#7b3f8c\"/></marker>\n"
        << "</defs>\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"#fff\"/>\n"
        << body_.str() << "</svg>\n";
}

// A swatch for each part, two rows of four.
void svg_printer::draw_legend() {
    static constexpr const char *kParts[][2] = {
        {"word", "header word"},  {"length", "length bytes"}, {"data-payload", "data payload"},
        {"filler", "filler"},     {"handle", "node handle"},  {"node-payload", "node padding"},
        {"free", "space (free)"}, {"abandoned", "abandoned"},
    };
    for (std::size_t i = 0; i < std::size(kParts); ++i) {
        const int x = kMargin + static_cast<int>(i % 4) * 120, y = y_ + static_cast<int>(i / 4) * 16;
        body_ << "<g class=\"legend\"><rect class=\"" << kParts[i][0] << "\" x=\"" << x << "\" y=\"" << y
              << "\" width=\"12\" height=\"12\" stroke=\"#888\"/><text class=\"note\" x=\"" << x + 16 << "\" y=\""
              << y + 10 << "\">" << kParts[i][1] << "</text></g>\n";
    }
    y_ += 2 * 16 + 8;
}

void svg_printer::draw_list(std::size_t entry) {
    y_ += kHeadingPitch;
    list_y_[entry] = y_ - 4;
    body_ << "<text class=\"list-heading\" x=\"" << kLeft << "\" y=\"" << y_ << "\">" << list_heading(tree_, entry)
          << "</text>\n";
    y_ += 4;
    reader_ = {};
    std::size_t index = 0;
    for (const tarnwick_block *b = tree_.lists[entry].list->first; b != nullptr; b = b->next) draw_block(b, index++);
}

// A block: its heading, a row of cells per kRowBytes of used bytes, and a
// last row for the free or abandoned tail.
void svg_printer::draw_block(const tarnwick_block *block, std::size_t index) {
    const std::size_t used = used_bytes(block);
    y_ += kHeadingPitch - 4;
    body_ << "<g class=\"block\">\n<text class=\"block-heading\" x=\"" << kLeft << "\" y=\"" << y_ << "\">"
          << block_heading(block, index) << "</text>\n";
    block_top_ = y_ + 2;
    hidden_.assign(used, false);
    for (std::size_t offset = 0; offset < used;) {
        const piece p = reader_.read(block, index, offset);
        if (p.what == piece::kind::continued) {
            draw_continuation(p);
        } else {
            draw_record(block, p);
        }
        offset = p.next;
    }
    draw_free(block);
    if (hex_) draw_bytes(block);
    const std::size_t rows = (used + kRowBytes - 1) / kRowBytes + (used < block->capacity ? 1 : 0);
    const int bottom = block_top_ + static_cast<int>(rows) * kRowPitch;
    body_ << "<rect class=\"outline\" x=\"" << kLeft << "\" y=\"" << block_top_ + kLane << "\" width=\""
          << static_cast<int>(kRowBytes) * kCell << "\" height=\"" << bottom - block_top_ - kLane << "\"/>\n</g>\n";
    y_ = bottom + 4;
}

void svg_printer::draw_record(const tarnwick_block *block, const piece &p) {
    const std::size_t used = used_bytes(block);
    if (p.what == piece::kind::malformed) {
        body_ << "<g class=\"malformed\"><title>+" << p.offset << ": the header does not fit in the block</title>\n";
        fill("malformed", p.offset, used);
        body_ << "</g>\n";
        return;
    }
    const record_header &h = p.header;
    const std::size_t end = p.payload + p.here;
    body_ << "<g class=\"record " << (h.is_node ? "node" : "data") << "\"><title>+" << p.offset << ": "
          << (h.is_node ? "node" : "data") << " record, tag " << h.tag << ", L" << h.length_bytes << ", n=" << h.length;
    if (p.left != 0) body_ << ", " << p.here << " bytes here, " << p.left << " in the next blocks";
    body_ << "</title>\n";
    fill("word", p.offset, p.offset + kWordSize);
    fill("length", p.offset + kWordSize, p.payload);
    const auto found = h.is_node ? node_list_.find(block->data + p.offset) : node_list_.end();
    if (found != node_list_.end()) {
        const tarnwick_node *handle = tree_.lists[found->second].handle;
        const std::size_t at = handle_offset(block, handle);
        fill("node-payload", p.payload, at);
        fill("handle", at, at + sizeof(tarnwick_node));
        fill("node-payload", at + sizeof(tarnwick_node), end);
        hide_handle(block, handle, hidden_);
        const point from = cell(at + sizeof(tarnwick_node) / 2);
        arrows_.push_back({{from.x, from.y + kCellHeight}, found->second});
    } else {
        fill(h.is_node ? "node-payload" : "data-payload", p.payload, end);
    }
    if (p.left == 0) fill("filler", end, p.next);
    edge(p.offset, p.left == 0 ? p.next : end);
    // The label, shortened to the tag or left out where the record is too narrow.
    const std::size_t room = std::min(p.left == 0 ? p.next : end, (p.offset / kRowBytes + 1) * kRowBytes) - p.offset;
    std::string label = std::string(h.is_node ? "node " : "data ") + std::to_string(h.tag);
    if (label.size() * kLabelCharWidth > room * kCell) label = std::to_string(h.tag);
    if (label.size() * kLabelCharWidth <= room * kCell) {
        const point at = cell(p.offset);
        body_ << "<text class=\"label\" x=\"" << at.x + 1 << "\" y=\"" << at.y - 2 << "\">" << label << "</text>\n";
    }
    body_ << "</g>\n";
}

// The rest of a payload begun in an earlier block: outlined dashed, with no
// header of its own.
void svg_printer::draw_continuation(const piece &p) {
    body_ << "<g class=\"piece\"><title>+0: continued payload of tag " << p.header.tag << " from block " << p.from_block
          << " +" << p.from_offset << ", " << p.here << " bytes here";
    if (p.left != 0) body_ << ", " << p.left << " in the next blocks";
    body_ << "</title>\n";
    fill("data-payload", 0, p.here);
    if (p.left == 0) fill("filler", p.here, p.next);
    edge(0, p.left == 0 ? p.next : p.here);
    const point at = cell(0);
    body_ << "<text class=\"label\" x=\"" << at.x + 1 << "\" y=\"" << at.y - 2 << "\">tag " << p.header.tag
          << " continued</text>\n</g>\n";
}

// The bytes after data_end: free space, or never written in an abandoned
// block. The rest of the last used row, then one row that says how many.
void svg_printer::draw_free(const tarnwick_block *block) {
    const std::size_t used = used_bytes(block);
    if (used >= block->capacity) return;
    const bool abandoned = block->space == 0;
    const char *part = abandoned ? "abandoned" : "free";
    const std::size_t row_end = (used + kRowBytes - 1) / kRowBytes * kRowBytes;
    fill(part, used, row_end);
    fill(part, row_end, row_end + kRowBytes);
    const point at = cell(row_end);
    body_ << "<text class=\"note\" x=\"" << at.x + 4 << "\" y=\"" << at.y + 12 << "\">" << block->capacity - used
          << " bytes " << (abandoned ? "never written (abandoned)" : "free") << " of " << block->capacity
          << "</text>\n";
}

// Each used byte in hex in its cell; the bytes of addresses as "..".
void svg_printer::draw_bytes(const tarnwick_block *block) {
    body_ << "<g class=\"bytes\">";
    for (std::size_t i = 0; i < used_bytes(block); ++i) {
        const point at = cell(i);
        body_ << "<text class=\"byte\" x=\"" << at.x + kCell / 2 << "\" y=\"" << at.y + 11 << "\">"
              << (hidden_[i] ? ".." : hex_byte(block->data[i])) << "</text>";
        if (i % kRowBytes == kRowBytes - 1) body_ << '\n';
    }
    body_ << "</g>\n";
}

// From each node's handle down its own lane of the gutter to its list.
void svg_printer::draw_arrows() {
    for (std::size_t i = 0; i < arrows_.size(); ++i) {
        const arrow &a = arrows_[i];
        const int lane = kMargin + 4 + static_cast<int>(i % 8) * 4;
        const int below = a.from.y + 4;
        const int to = list_y_[a.list];
        body_ << "<path class=\"arrow\" d=\"M" << a.from.x << ' ' << a.from.y << " L" << a.from.x << ' ' << below
              << " L" << lane << ' ' << below << " L" << lane << ' ' << to << " L" << kLeft - 3 << ' ' << to
              << "\"/>\n";
    }
}

}  // namespace

void print_layout_svg(const built_tree &tree, bool hex, std::ostream &out) { svg_printer(tree, hex).draw(out); }

}  // namespace tool
