// SPDX-License-Identifier: MIT
// Every allocation of a fixed, mixed workload refused in turn: for each k the
// workload runs again with the k-th allocation refused, then with every one
// from the k-th on. The interpreter checks each call's return code against
// what the block accounting predicts at that point, each walk against the
// model (partial records cut to the bytes stored), and that every block comes
// back exactly once.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "program.hpp"

namespace {

using program::interpreter;
constexpr int root = interpreter::root;

// Nested nodes, records from 0 bytes to ten blocks, appends interleaved across
// lists, records whose header ends exactly at a block's end, a tag out of
// range, walks in the middle, a node's children released and built again,
// and a chain deeper than the nesting limit.
void workload(interpreter &p) {
    const int a = p.create_node(root, 1);
    p.create_data(root, 2, 0);
    const int b = p.create_node(a, 3);
    p.create_data(a, 4, 1000, 7);
    p.create_data(b, 5, 300, 11);
    p.create_data(root, 0x1234, 255, 13);
    const int c = p.create_node(b, 6);
    p.iter_start(0, a);
    p.iter_step(0, 3);
    p.create_data(c, 7, 20000, 17);
    for (int i = 0; i < 14; ++i) {
        p.create_node(i % 2 ? c : root, 100 + i);
        p.create_data(b, 200 + i, static_cast<std::size_t>(i) * 37, static_cast<unsigned char>(i));
    }
    p.iter_start(1, root);
    p.iter_step(1, 40);
    p.create_data(a, 8, 70000, 19);

    // Header and length bytes that end exactly at a block's end: 252 + 4
    // leaves a 300-byte record only its header, 254 + 2 an empty record.
    const int d = p.create_node(root, 9);
    p.create_data(d, 10, 248);
    p.create_data(d, 11, 300, 23);
    const int e = p.create_node(root, 12);
    p.create_data(e, 13, 250);
    p.create_data(e, 14, 0);
    p.create_data(e, 15, 1);
    p.visit(root);

    p.dispose(b);
    p.create_data(b, 16, 600, 29);
    p.create_node(b, 17);
    p.create_data(a, 18, 3);

    int deep = e;
    for (int level = 0; level < TARNWICK_MAX_LEVELS + 2; ++level) deep = p.create_node(deep, 300 + level);
    p.create_data(deep, 19, 5);
    p.iter_start(2, e);
    p.iter_step(2, 100);
}

std::size_t count_allocations() {
    interpreter p;
    workload(p);
    const std::size_t n = p.attempts();
    p.finish();
    return n;
}

// What the first failed check said, or nothing when all held.
std::string run_refusing(std::size_t k, bool and_after) {
    try {
        interpreter p;
        p.refuse(k, and_after);
        workload(p);
        p.finish();
    } catch (const program::check_failed &failure) {
        return failure.what();
    }
    return {};
}

TEST(AllocationFailure, EveryAllocationRefusedInTurn) {
    const std::size_t n = count_allocations();
    ASSERT_GT(n, 20u);
    std::size_t runs = 0;
    for (bool and_after : {false, true})
        for (std::size_t k = 1; k <= n; ++k, ++runs)
            ASSERT_EQ(run_refusing(k, and_after), "")
                << "allocation " << k << (and_after ? " and every later one" : "") << " refused";
    std::printf("allocation failure: N = %zu allocations, %zu runs with refusals\n", n, runs);
    RecordProperty("allocations", static_cast<int>(n));
    RecordProperty("runs", static_cast<int>(runs));
}

}  // namespace
