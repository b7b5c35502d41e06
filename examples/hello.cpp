// SPDX-License-Identifier: MIT
// The same tree in C++: appends throw std::bad_alloc when memory runs out,
// the walk is a range, and the tree releases its blocks at the end of scope.
#include <cstdio>
#include <new>
#include <tarnwick.hpp>

int main() try {
    static const char *const names[] = {"", "START", "DATA", "END"};
    tarnwick::tree tree;
    tarnwick::node greeting = tree.add_node(1);
    greeting.add_data(2, "hello");
    greeting.add_data(3, "world");
    for (const tarnwick::event &e : tree.events()) {
        std::printf("%*s%s %u", 2 * e.depth(), "", names[static_cast<int>(e.kind())], e.tag());
        if (e.kind() == tarnwick::event_kind::data)
            std::printf(" \"%.*s\"", static_cast<int>(e.bytes().size()),
                        reinterpret_cast<const char *>(e.bytes().data()));
        std::printf("\n");
    }
    return 0;
} catch (const std::bad_alloc &) {
    std::fprintf(stderr, "out of memory\n");
    return 1;
}
