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


def best(walk, runs=5):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        count = walk()
        times.append(time.perf_counter() - start)
    return count, min(times)


def main():
    tree, plain = build()
    counter = []
    walks = {
        "events()": lambda: sum(1 for _ in tree.events()),
        "records()": lambda: sum(1 for _ in tree.records()),
        "visit()": lambda: (counter.clear(), tree.visit(counter.append), len(counter))[2],
        "plain nested lists": lambda: sum(1 for _ in plain_walk(plain)),
    }
    results = {name: best(walk) for name, walk in walks.items()}
    counts = {count for count, _ in results.values()}
    assert counts == {NODES * (2 + 3 * PER_NODE)}, counts
    floor = results["plain nested lists"][1]
    for name, (count, seconds) in results.items():
        print(f"{name:20} {count / seconds / 1e6:6.2f} M events/s  {seconds * 1e3:7.1f} ms  "
              f"{seconds / floor:5.2f}x the plain walk")
    tree.dispose()


if __name__ == "__main__":
    main()
