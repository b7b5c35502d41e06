// SPDX-License-Identifier: MIT
// The tree notation, read in one pass that builds the tree as it goes:
//
//   items are separated by white space; '#' starts a comment to the line's end
//   TAG{ ITEMS }      a node and its children
//   TAG:"text"        a data record; C escapes \n \t \r \a \b \f \v \\ \" \'
//                     \? \0 to \377 (octal) and \xHH
//   TAG:x68656c6c6f   a data record of hex bytes (an even number of digits)
//   TAG:*N            N bytes of the counting pattern 0, 1, ..., 255, 0, ...
//   TAG:@PATH         a file's bytes; PATH ends at white space or '}', and a
//                     relative PATH starts from the folder given to build
//   TAG:""            an empty data record
//
// TAG is decimal or 0x-hex, 0 to 4095. Open nodes are kept on an explicit
// stack, so nesting depth costs heap, never call stack.
#include "notation.hpp"

namespace tool {

built_tree::built_tree() {
    tarnwick_init(&root);
    lists.push_back({&root, nullptr, 0, 0, 0, 0});
}

built_tree::~built_tree() { tarnwick_dispose(&root); }

namespace {

constexpr unsigned kPatternPeriod = 256;

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The value of a hex digit, or -1.
int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A character for a message: itself when printable, else its \xHH escape.
std::string shown(char c) {
    static constexpr char kDigits[] = "0123456789abcdef";
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F) return std::string(1, c);
    return std::string("\\x") + kDigits[byte >> 4] + kDigits[byte & 0xF];
}

std::string describe(place p) { return std::to_string(p.line) + ":" + std::to_string(p.column); }

// A character that ends a folder's name in a path: '/', and on Windows '\\'.
bool is_separator(char c) {
#ifdef _WIN32
    if (c == '\\') return true;
#endif
    return c == '/';
}

// A path that names the same file from any folder: rooted, or on Windows
// also one with a drive ("C:x" is taken as given, as the system does).
bool is_absolute(std::string_view path) {
#ifdef _WIN32
    if (path.size() >= 2 && path[1] == ':') return true;
#endif
    return !path.empty() && is_separator(path[0]);
}

// The reader and builder. Every method that reads leaves `pos` and `at` on the
// first character it did not take.
class parser {
public:
    parser(std::string_view text, std::string_view folder, built_tree &tree)
        : text_(text), folder_(folder), tree_(tree) {}

    void run();

private:
    // A node whose '}' has not been read yet; the bottom entry is the root list.
    struct open_list {
        std::size_t entry;
        tarnwick_node *handle;
        std::size_t records;
        place opened;
    };

    bool at_end() const { return pos_ == text_.size(); }
    char peek() const { return at_end() ? '\0' : text_[pos_]; }
    void advance();
    [[noreturn]] void fail(place p, std::string message) const { throw input_error{p, std::move(message)}; }

    void skip_blanks_and_comments();
    void expect_separator();
    unsigned read_tag();
    std::string read_value();
    std::string read_string();
    char read_escape();
    std::string read_hex();
    std::string read_count();
    std::string read_path_bytes();

    void add_node(unsigned tag, place item);
    void add_data(unsigned tag, const std::string &bytes, place item);

    std::string_view text_;
    std::string_view folder_;
    built_tree &tree_;
    std::size_t pos_ = 0;
    place at_;
    std::vector<open_list> open_;
};

void parser::advance() {
    if (text_[pos_] == '\n') {
        ++at_.line;
        at_.column = 1;
    } else {
        ++at_.column;
    }
    ++pos_;
}

void parser::skip_blanks_and_comments() {
    while (!at_end()) {
        if (is_blank(peek())) {
            advance();
        } else if (peek() == '#') {
            while (!at_end() && peek() != '\n') advance();
        } else {
            return;
        }
    }
}

// After an item comes white space, a comment, a '}' or the end of the input.
void parser::expect_separator() {
    if (at_end() || is_blank(peek()) || peek() == '#' || peek() == '}') return;
    fail(at_, "expected white space, '}' or the end of the input after the item, not '" + shown(peek()) + "'");
}

unsigned parser::read_tag() {
    const place start = at_;
    const std::size_t first = pos_;
    const bool hex = peek() == '0' && pos_ + 1 < text_.size() && (text_[pos_ + 1] == 'x' || text_[pos_ + 1] == 'X');
    if (hex) {
        advance();
        advance();
    }
    unsigned long value = 0;
    std::size_t digits = 0;
    for (;; ++digits, advance()) {
        const int digit = hex ? hex_value(peek()) : (is_digit(peek()) ? peek() - '0' : -1);
        if (digit < 0) break;
        if (value <= TARNWICK_MAX_TAG) value = value * (hex ? 16 : 10) + static_cast<unsigned>(digit);
    }
    if (digits == 0 && !hex) fail(start, "expected a tag (0 to 4095), '}' or the end of the input");
    if (digits == 0) fail(at_, "expected hex digits after '0x'");
    if (value > TARNWICK_MAX_TAG)
        fail(start, "tag " + std::string(text_.substr(first, pos_ - first)) + " is out of range (0 to 4095)");
    return static_cast<unsigned>(value);
}

std::string parser::read_value() {
    switch (peek()) {
    case '"': return read_string();
    case 'x': return read_hex();
    case '*': return read_count();
    case '@': return read_path_bytes();
    default: fail(at_, "expected a value after ':': \"text\", xHEX, *COUNT or @FILE");
    }
}

std::string parser::read_string() {
    const place opened = at_;
    advance();
    std::string bytes;
    for (;;) {
        if (at_end()) fail(opened, "unterminated string");
        const char c = peek();
        if (c == '\n') fail(at_, "line break inside a string (write \\n)");
        if (c == '"') {
            advance();
            return bytes;
        }
        if (c == '\\') {
            bytes += read_escape();
        } else {
            bytes += c;
            advance();
        }
    }
}

// Reads one escape, from its backslash on.
char parser::read_escape() {
    const place start = at_;
    advance();
    const char c = peek();
    static constexpr std::string_view kNamed = "n\nt\tr\ra\ab\bf\fv\v\\\\\"\"''??";
    for (std::size_t i = 0; i < kNamed.size(); i += 2) {
        if (c == kNamed[i]) {
            advance();
            return kNamed[i + 1];
        }
    }
    if (c >= '0' && c <= '7') {
        unsigned value = 0;
        for (int i = 0; i < 3 && peek() >= '0' && peek() <= '7'; ++i, advance())
            value = value * 8 + static_cast<unsigned>(peek() - '0');
        if (value > 0xFF) fail(start, "octal escape above \\377");
        return static_cast<char>(value);
    }
    if (c == 'x') {
        advance();
        const int high = hex_value(peek());
        const int low = high < 0 ? -1 : hex_value(pos_ + 1 < text_.size() ? text_[pos_ + 1] : '\0');
        if (low < 0) fail(start, "expected two hex digits after \\x");
        advance();
        advance();
        return static_cast<char>(high * 16 + low);
    }
    if (at_end() || c == '\n') fail(start, "unterminated string");
    fail(start, "unknown escape '\\" + shown(c) + "'");
}

std::string parser::read_hex() {
    advance();
    std::string bytes;
    int high = -1;
    while (!at_end() && !is_blank(peek()) && peek() != '}' && peek() != '#') {
        const int digit = hex_value(peek());
        if (digit < 0) fail(at_, "expected a hex digit, not '" + shown(peek()) + "'");
        if (high < 0) {
            high = digit;
        } else {
            bytes += static_cast<char>(high * 16 + digit);
            high = -1;
        }
        advance();
    }
    if (high >= 0) fail(at_, "odd number of hex digits");
    return bytes;
}

std::string parser::read_count() {
    advance();
    const place start = at_;
    const std::size_t first = pos_;
    std::size_t count = 0;
    while (is_digit(peek())) {
        if (count <= kMaxPayload) count = count * 10 + static_cast<std::size_t>(peek() - '0');
        advance();
    }
    if (pos_ == first) fail(start, "expected a decimal count after '*'");
    if (count > kMaxPayload)
        fail(start, "count " + std::string(text_.substr(first, pos_ - first)) + " is too large (at most " +
                        std::to_string(kMaxPayload) + ")");
    std::string bytes(count, '\0');
    for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<char>(i % kPatternPeriod);
    return bytes;
}

std::string parser::read_path_bytes() {
    const place item = at_;
    advance();
    const std::size_t first = pos_;
    while (!at_end() && !is_blank(peek()) && peek() != '}') advance();
    if (pos_ == first) fail(at_, "expected a file name after '@'");
    const std::string_view written = text_.substr(first, pos_ - first);
    const std::string path = is_absolute(written) ? std::string(written) : std::string(folder_) + std::string(written);
    std::string bytes, error;
    if (!read_file(path, kMaxPayload, bytes, error)) fail(item, "cannot read '" + path + "': " + error);
    return bytes;
}

void parser::add_node(unsigned tag, place item) {
    open_list &parent = open_.back();
    tarnwick_node *handle = tarnwick_create_node(&tree_.root, parent.handle, static_cast<int>(tag));
    if (handle == nullptr) throw out_of_memory{item};
    const std::size_t depth = tree_.lists[parent.entry].depth + 1;
    tree_.lists.push_back({&handle->children, handle, parent.entry, parent.records++, tag, depth});
    ++tree_.nodes;
    open_.push_back({tree_.lists.size() - 1, handle, 0, item});
}

void parser::add_data(unsigned tag, const std::string &bytes, place item) {
    open_list &parent = open_.back();
    const int status = tarnwick_create_data(&tree_.root, parent.handle, static_cast<int>(tag), bytes.data(),
                                            static_cast<std::uint32_t>(bytes.size()));
    if (status != 0) throw out_of_memory{item};
    ++parent.records;
    ++tree_.data_records;
    tree_.payload_bytes += bytes.size();
}

void parser::run() {
    open_.push_back({0, nullptr, 0, {}});
    for (;;) {
        skip_blanks_and_comments();
        const place item = at_;
        if (at_end()) {
            if (open_.size() > 1)
                fail(item, "expected '}' to close the node opened at " + describe(open_.back().opened));
            return;
        }
        if (peek() == '}') {
            if (open_.size() == 1) fail(item, "unexpected '}': no node is open");
            advance();
            open_.pop_back();
            expect_separator();
            continue;
        }
        const unsigned tag = read_tag();
        if (peek() == '{') {
            advance();
            add_node(tag, item);
        } else if (peek() == ':') {
            advance();
            add_data(tag, read_value(), item);
            expect_separator();
        } else {
            fail(at_, "expected '{' or ':' after the tag");
        }
    }
}

}  // namespace

void build(std::string_view text, built_tree &tree, std::string_view folder) { parser(text, folder, tree).run(); }

std::string folder_of(std::string_view file) {
    std::size_t end = file.size();
    while (end > 0 && !is_separator(file[end - 1])) --end;
#ifdef _WIN32
    if (end == 0 && file.size() >= 2 && file[1] == ':') end = 2;
#endif
    return std::string(file.substr(0, end));
}

}  // namespace tool
