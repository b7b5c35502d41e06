// SPDX-License-Identifier: MIT
// tarnwick: builds a tree from a small notation with libtarnwick and shows
// its event stream (walk) or its blocks and records (layout).
#include <cstddef>
#include <iostream>
#include <limits>
#include <new>
#include <sstream>
#include <string>
#include <string_view>

#include "notation.hpp"
#include "show.hpp"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace {

// Exit statuses; --help documents them.
constexpr int kOk = 0;
constexpr int kOutOfMemory = 1;
constexpr int kBadInput = 2;
constexpr int kStoppedAtLimit = 3;

// The tree walked when none is given: a node with a short record and one
// split across blocks, and an empty node.
constexpr std::string_view kSample = R"(# The embedded sample tree.
1{                # a node with two children
  2:"hello"       # a short data record
  3:*1000         # 1000 bytes of counting pattern, split over three blocks
}
4:x00ff           # two bytes in hex, in the root list
5{ }              # a node without children
6:""              # an empty data record
)";

constexpr std::string_view kHelp = R"(Usage: tarnwick walk [--stats] [TREE | -f FILE | -]
       tarnwick layout [--no-hex] [--svg] [TREE | -f FILE | -]
       tarnwick -h | --help | --version

Builds a tree with libtarnwick from the notation below and shows it.

  walk     prints the event stream, one event per line, indented by depth;
           DATA lines give the piece's length and a preview of at most 16
           bytes, as "text" when printable, else as xHEX.
           --stats adds the number of records, lists and blocks, the bytes
           allocated (block headers and data areas) and used, and the overhead
           per record beyond the payload.
  layout   prints every list's block chain: the root list "/", then each
           node's list, labelled by record indices ("/0/2" is the list of
           record 2 in the list of record 0 of the root list; lists deeper
           than 8 are labelled "#N", N counting lists in input order). For
           each block: capacity, used bytes, space, one line per record
           (offset, kind, tag, L, length) and a hex dump of the used bytes in
           which '[' marks a record header and '>' a payload continued from
           the block before; the bytes of addresses show as "..".
           --no-hex leaves out the dumps. Offsets are decimal.
           --svg draws the same as an SVG picture: each block as rows of 32
           byte cells, coloured by part (header word, length bytes, payload,
           node handle, filler, free or abandoned space), each record outlined
           by kind (data green, node purple) and labelled with its tag, and an
           arrow from each node record to its list; --no-hex leaves the bytes
           out of the cells.

The tree is the TREE argument, the contents of FILE (-f), or standard input
(- or -f -); with none, the embedded sample below.

Notation: items separated by white space; '#' starts a comment.
  TAG{ ... }      a node and its children
  TAG:"text"      a data record; C escapes \n \t \r \a \b \f \v \\ \" \' \?,
                  octal \0 to \377 and \xHH
  TAG:x68656c6c6f a data record of hex bytes
  TAG:*N          N bytes of the pattern 0, 1, ..., 255, 0, ... (N at most 16777216)
  TAG:@PATH       a file's bytes (at most 16777216); PATH ends at white space or '}';
                  in a FILE, a relative PATH starts from FILE's folder
  TAG:""          an empty data record
TAG is decimal or 0x-hex, 0 to 4095.

Exit status:
  0  the tree was shown
  1  the library refused an allocation (out of memory)
  2  bad input (with its line and column) or bad usage
  3  walk only: the nesting limit stopped the walk (nodes nested more than 7
     deep); the events before the stop are printed and standard error says so

The embedded sample:
)";

struct usage_error {
    std::string message;
};

// A tree file that cannot be read: bad input, without the usage hint.
struct unreadable_file {
    std::string message;
};

enum class command { walk, layout };

struct options {
    command what = command::walk;
    bool stats = false;
    bool no_hex = false;
    bool svg = false;
    enum class source { sample, argument, file, input } from = source::sample;
    std::string tree;  // the argument, or the file name
};

void set_source(options &o, options::source from, std::string tree) {
    if (o.from != options::source::sample) throw usage_error{"more than one tree given"};
    o.from = from;
    o.tree = std::move(tree);
}

// An option that says the same thing twice is a slip, refused like others.
void set_once(bool &option, std::string_view arg) {
    if (option) throw usage_error{"option '" + std::string(arg) + "' given more than once"};
    option = true;
}

options parse_arguments(int argc, char **argv) {
    if (argc < 2) throw usage_error{"no command given"};
    options o;
    const std::string_view name = argv[1];
    if (name == "walk") {
        o.what = command::walk;
    } else if (name == "layout") {
        o.what = command::layout;
    } else {
        throw usage_error{"unknown command '" + std::string(name) + "'"};
    }
    for (int i = 2; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--stats" && o.what == command::walk) {
            set_once(o.stats, arg);
        } else if (arg == "--no-hex" && o.what == command::layout) {
            set_once(o.no_hex, arg);
        } else if (arg == "--svg" && o.what == command::layout) {
            set_once(o.svg, arg);
        } else if (arg == "-f") {
            if (i + 1 == argc) throw usage_error{"-f needs a file name"};
            const std::string_view path = argv[++i];
            if (path == "-") {
                set_source(o, options::source::input, "");
            } else {
                set_source(o, options::source::file, std::string(path));
            }
        } else if (arg == "-") {
            set_source(o, options::source::input, "");
        } else if (arg.size() > 1 && arg[0] == '-') {
            throw usage_error{"unknown option '" + std::string(arg) + "' for " + std::string(name)};
        } else {
            set_source(o, options::source::argument, std::string(arg));
        }
    }
    return o;
}

// The input's text, the name that messages give it, and the folder its
// relative @PATHs start from (empty: the current folder).
struct input {
    std::string name;
    std::string text;
    std::string folder;
};

input read_input(const options &o) {
    switch (o.from) {
    case options::source::argument: return {"<argument>", o.tree, {}};
    case options::source::input: {
        std::ostringstream text;
        text << std::cin.rdbuf();
        return {"<stdin>", text.str(), {}};
    }
    case options::source::file: {
        std::string text, error;
        if (!tool::read_file(o.tree, std::numeric_limits<std::size_t>::max(), text, error))
            throw unreadable_file{"cannot read '" + o.tree + "': " + error};
        return {o.tree, text, tool::folder_of(o.tree)};
    }
    case options::source::sample: break;
    }
    return {"<sample>", std::string(kSample), {}};
}

int show(const options &o, const tool::built_tree &tree) {
    if (o.what == command::layout) {
        if (o.svg) {
            tool::print_layout_svg(tree, !o.no_hex, std::cout);
        } else {
            tool::print_layout(tree, !o.no_hex, std::cout);
        }
        return kOk;
    }
    const tool::walk_result walked = tool::print_walk(tree, std::cout);
    if (o.stats) {
        std::cout << '\n';
        tool::print_stats(tree, std::cout);
    }
    if (walked.complete) return kOk;
    std::cout.flush();
    std::cerr << "tarnwick: the walk stopped at the nesting limit: the node with tag " << walked.stopped_tag
              << " is nested more than " << TARNWICK_MAX_LEVELS << " deep and was not entered\n";
    return kStoppedAtLimit;
}

int run(int argc, char **argv) {
    if (argc == 2 && (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h")) {
        std::cout << kHelp << kSample;
        return kOk;
    }
    if (argc == 2 && std::string_view(argv[1]) == "--version") {
        std::cout << "tarnwick " TARNWICK_VERSION_STRING "\n";
        return kOk;
    }
    const options o = parse_arguments(argc, argv);
    const input in = read_input(o);
    tool::built_tree tree;
    try {
        tool::build(in.text, tree, in.folder);
    } catch (const tool::input_error &e) {
        std::cerr << "tarnwick: " << in.name << ":" << e.at.line << ":" << e.at.column << ": " << e.message << '\n';
        return kBadInput;
    } catch (const tool::out_of_memory &e) {
        std::cerr << "tarnwick: " << in.name << ":" << e.at.line << ":" << e.at.column
                  << ": out of memory: the library refused an allocation for this item\n";
        return kOutOfMemory;
    }
    return show(o, tree);
}

}  // namespace

int main(int argc, char **argv) {
#ifdef _WIN32
    // Bytes in and out as they are: a tree read from standard input keeps
    // every byte, and the output is the same on every platform.
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
#endif
    try {
        return run(argc, argv);
    } catch (const usage_error &e) {
        std::cerr << "tarnwick: " << e.message << "\nTry 'tarnwick --help'.\n";
        return kBadInput;
    } catch (const unreadable_file &e) {
        std::cerr << "tarnwick: " << e.message << '\n';
        return kBadInput;
    } catch (const std::bad_alloc &) {
        std::cerr << "tarnwick: out of memory\n";
        return kOutOfMemory;
    }
}
