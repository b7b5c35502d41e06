#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Events per second of the binding's walks against a plain Python walk of
nested lists holding the same tree: 10,000 nodes of 9 data records of 8
bytes each, 100,000 records, 300,000 events. Prints one line per walk, the
best of five runs. Run with the library found as for the package, e.g.
TARNWICK_LIBRARY=build/release/libtarnwick.so.1 python3 python/bench_walk.py"""

import time

import tarnwick

NODES, PER_NODE = 10_000, 9


def build():
    tree, plain = tarnwick.Tree(), []
    for n in range(NODES):
        node, children = tree.add_node(1), []
        for i in range(PER_NODE):
            payload = (n * PER_NODE + i).to_bytes(8, "little")
            node.add_data(2 + i, payload)
            children.append((2 + i, payload))
        plain.append((1, children))
    return tree, plain


def plain_walk(items):
    """The same events from nested lists: (tag, children) or (tag, bytes)."""
    stack, depth = [iter(items)], 0
    while stack:
        for tag, body in stack[-1]:
            yield tarnwick.Event(tarnwick.EventKind.START, tag, depth, b"")
            if isinstance(body, list):
                stack.append(iter(body))
                depth += 1
                break
            if body:
                yield tarnwick.Event(tarnwick.EventKind.DATA, tag, depth + 1, body)
            yield tarnwick.Event(tarnwick.EventKind.END, tag, depth, b"")
        else:
            stack.pop()
            if stack:
                depth -= 1
                yield tarnwick.Event(tarnwick.EventKind.END, 1, depth, b"")


def count(events):
    """Each walk looks at every event and keeps none, as visit's fn does."""
    n = 0
    for e in events:
        n += e.kind > 0
    return n


def visit_count(tree):
    n = 0

    def one(e):
        nonlocal n
        n += e.kind > 0

    tree.visit(one)
    return n


def best(walk, runs=5):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        events = walk()
        times.append(time.perf_counter() - start)
    return events, min(times)


def main():
    tree, plain = build()
    walks = {
        "events()": lambda: count(tree.events()),
        "records()": lambda: count(tree.records()),
        "visit()": lambda: visit_count(tree),
        "plain nested lists": lambda: count(plain_walk(plain)),
    }
    results = {name: best(walk) for name, walk in walks.items()}
    totals = {events for events, _ in results.values()}
    assert totals == {NODES * (2 + 3 * PER_NODE)}, totals
    floor = results["plain nested lists"][1]
    for name, (events, seconds) in results.items():
        print(f"{name:20} {events / seconds / 1e6:6.2f} M events/s  {seconds * 1e3:7.1f} ms  "
              f"{seconds / floor:5.2f}x the plain walk")
    tree.dispose()


if __name__ == "__main__":
    main()
