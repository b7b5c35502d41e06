// SPDX-License-Identifier: MIT
// Appending during a walk: a work list that grows as it is worked through.
// Each job is a data record holding a count; working on a job with a count
// above 0 appends one more job with the count less one. Records appended to a
// list that the walk has not finished are reported in turn, so one walk works
// through every job, the new ones included. Children appended to a node that
// had none when its START was delivered are not reported: the node tagged 9
// gets one too late, and the walk does not show it.
#include <cstdio>
#include <new>
#include <string>
#include <tarnwick.hpp>

int main() try {
    constexpr unsigned kJob = 1;
    tarnwick::tree tree;
    tree.add_data(kJob, "3");
    tarnwick::node late = tree.add_node(9);

    tree.visit([&](const tarnwick::event &e) {
        if (e.kind() == tarnwick::event_kind::data && e.tag() == kJob) {
            const char count = static_cast<char>(e.bytes()[0]);
            std::printf("job %c\n", count);
            if (count > '0') tree.add_data(kJob, std::string(1, static_cast<char>(count - 1)));
        } else if (e.kind() == tarnwick::event_kind::start && e.tag() == 9) {
            late.add_data(10, "not reported");
        }
    });

    int records = 0;
    for (const tarnwick::event &e : tree.events())
        if (e.kind() == tarnwick::event_kind::start) ++records;
    std::printf("%d records now, the late child among them\n", records);
    return 0;
} catch (const std::bad_alloc &) {
    std::fprintf(stderr, "out of memory\n");
    return 1;
}
