# SPDX-License-Identifier: MIT
"""The binding: the typical tree, walks against the C tool's on random trees
(and their lists read back by children()), refusals, an exception in visit,
payloads over several blocks, and the layout table against a program built
from tarnwick.h. The layer sets TARNWICK_TOOL (the tarnwick tool) and
TARNWICK_PROBE (tests/layout_probe.c built); without them those tests are
skipped."""

import importlib.metadata
import mmap
import os
import random
import re
import shutil
import subprocess
import sys
import textwrap
from ctypes import POINTER, c_int, c_uint, c_uint32, c_void_p, sizeof

import pytest

import tarnwick
from tarnwick import EventKind, _layout, _library

S, D, E = EventKind.START, EventKind.DATA, EventKind.END


def sample():
    """1{2:"hi" 3{} 4{5:""}} 6:300 bytes: every kind of record, an empty node,
    an empty record and a payload over two blocks."""
    tree = tarnwick.Tree()
    one = tree.add_node(1)
    one.add_data(2, b"hi")
    one.add_node(3)
    one.add_node(4).add_data(5, bytearray())
    tree.add_data(6, memoryview(b"x" * 300))
    return tree, one


SAMPLE = [(S, 1, 0, b""), (S, 2, 1, b""), (D, 2, 2, b"hi"), (E, 2, 1, b""), (S, 3, 1, b""), (E, 3, 1, b""),
          (S, 4, 1, b""), (S, 5, 2, b""), (E, 5, 2, b""), (E, 4, 1, b""), (E, 1, 0, b""), (S, 6, 0, b""),
          (D, 6, 1, b"x" * 300), (E, 6, 0, b"")]


def joined(events):
    out = []
    for e in events:
        if e.kind == D and out and out[-1].kind == D:
            out[-1] = out[-1]._replace(data=out[-1].data + e.data)
        else:
            out.append(e)
    return out


def test_typical_tree_walks_alike_every_way():
    with sample()[0] as tree:
        assert joined(tree.events()) == SAMPLE
        assert list(tree.records()) == SAMPLE  # one DATA per payload, unjoined
        seen = []
        assert tree.visit(seen.append) is True
        assert seen == list(tree.events())
        assert [int(e.kind) for e in seen[:3]] == [1, 1, 2]  # the C constants
    assert list(tree.events()) == []  # disposed, empty, and may be built again


def test_children_are_read_list_by_list():
    """Kind, tag and whole payload of each record of a list, and the Node of
    a node that has children, with the tag it was made with."""
    with sample()[0] as tree:
        one = [c for c in tree.children() if c.is_node][0].node
        assert [(c.is_node, c.tag, c.data) for c in tree.children()] == [(True, 1, b""), (False, 6, b"x" * 300)]
        assert one.tag == 1
        kids = list(one.children())
        assert [(c.is_node, c.tag, c.data) for c in kids] == [(False, 2, b"hi"), (True, 3, b""), (True, 4, b"")]
        assert kids[1].node is None and kids[2].node.tag == 4  # node 3 has no children to open
        assert [(c.is_node, c.tag, c.data) for c in kids[2].node.children()] == [(False, 5, b"")]
        kids[2].node.add_data(9, b"more")  # a Node from children() takes appends too
        assert [c.tag for c in kids[2].node.children()] == [5, 9]
        assert list(tree.add_node(7).children()) == []


def test_children_of_a_chain_deeper_than_a_walk_goes():
    """children() never enters a node, so the nesting limit does not cut it."""
    tree = tarnwick.Tree()
    deep = tree.add_node(1)
    for _ in range(tarnwick.MAX_LEVELS + 3):
        deep = deep.add_node(2)
    tree.add_data(3, b"after")
    walk = tree.events()
    list(walk)
    assert walk.stopped_at_limit
    assert [(c.is_node, c.tag, c.data) for c in tree.children()] == [(True, 1, b""), (False, 3, b"after")]


def test_walk_from_a_node_counts_depth_from_its_children():
    tree, one = sample()
    assert list(tree.records(one)) == [(k, t, d - 1, b) for k, t, d, b in SAMPLE[1:10]]
    with pytest.raises(ValueError):
        tarnwick.Tree().events(one)


def test_the_c_callback_walk_gives_the_same_events():
    tree, _ = sample()
    seen = []
    callback = _library.VISIT_FN(lambda ctx, kind, tag, data, length: seen.append((kind, tag, length)) or 0)
    tarnwick._lib.tarnwick_visit_node(tree._owner.root, None, None, callback)
    assert seen == [(int(e.kind), e.tag, len(e.data)) for e in tree.events()]


def test_nesting_limit_stops_the_walk():
    for nesting, stopped in [(tarnwick.MAX_LEVELS, False), (tarnwick.MAX_LEVELS + 1, True)]:
        tree = tarnwick.Tree()
        node = tree.add_node(1)
        for level in range(nesting - 1):
            node = node.add_node(2)
        walk = tree.events()
        assert iter(walk) is walk and walk.stopped_at_limit is False
        starts = sum(e.kind == S for e in walk)
        assert (starts, walk.stopped_at_limit) == (tarnwick.MAX_LEVELS if stopped else nesting, stopped)
        assert tree.visit(lambda e: None) is not stopped


# Appending during a walk, from visit's fn or an events() or records() loop,
# to the tree 1:"one" 2{ 3:"three" 4{ 5:"five" } } 7{}: the event that
# triggers the one append, what it appends (nodes by tag), and the tags of
# the records appended that the walk does not report.
APPEND_CASES = [
    ("to the root at its first record", (S, 1), lambda t, n: t.add_data(6, b"six"), set()),
    ("to an open node, into new blocks", (D, 3), lambda t, n: n[2].add_data(6, bytes(3000)), set()),
    ("to every open list at once", (S, 5),
     lambda t, n: (n[4].add_data(8, b"inner"), n[2].add_node(9).add_data(10, b"deep"), t.add_data(11, b"outer")),
     set()),
    ("to a node that had no children at its START", (S, 7), lambda t, n: n[7].add_data(12, b"late"), {12}),
    ("to the root after the END of its last record", (E, 7), lambda t, n: t.add_data(13, b"after"), {13}),
]


@pytest.mark.parametrize("walk", ["visit", "events", "records"])
@pytest.mark.parametrize("name,trigger,append,unreported", APPEND_CASES, ids=[c[0] for c in APPEND_CASES])
def test_records_appended_during_a_walk_to_unfinished_lists_are_reported(walk, name, trigger, append, unreported):
    tree = tarnwick.Tree()
    tree.add_data(1, b"one")
    nodes = {2: tree.add_node(2)}
    nodes[2].add_data(3, b"three")
    nodes[4] = nodes[2].add_node(4)
    nodes[4].add_data(5, b"five")
    nodes[7] = tree.add_node(7)
    seen, appended = [], []

    def on_event(event):
        seen.append(event)
        if not appended and (event.kind, event.tag) == trigger:
            appended.append(append(tree, nodes))

    if walk == "visit":
        assert tree.visit(on_event) is True
    else:
        for event in getattr(tree, walk)():
            on_event(event)
    assert appended
    assert joined(seen) == [e for e in tree.records() if e.tag not in unreported]


def test_an_exception_in_visit_ends_the_walk_and_is_raised():
    tree, _ = sample()
    calls = []

    def third_fails(event):
        calls.append(event)
        if len(calls) == 3:
            raise KeyError("third")

    with pytest.raises(KeyError, match="third"):
        tree.visit(third_fails)
    assert len(calls) == 3
    assert joined(tree.events()) == SAMPLE


def test_a_payload_over_several_blocks_is_rejoined():
    payload = random.Random(7).randbytes(70000)
    tree = tarnwick.Tree()
    tree.add_data(9, payload)
    pieces = [e.data for e in tree.events() if e.kind == D]
    assert len(pieces) > 4 and b"".join(pieces) == payload
    assert list(tree.records()) == [(S, 9, 0, b""), (D, 9, 1, payload), (E, 9, 0, b"")]


def test_refusals_append_nothing():
    tree = tarnwick.Tree()
    node = tree.add_node(1)
    for bad in (-1, 4096, 0x10001):
        with pytest.raises(ValueError):
            tree.add_node(bad)
        with pytest.raises(ValueError):
            node.add_data(bad, b"x")
    with pytest.raises(TypeError):
        tree.add_node(1.0)
    with pytest.raises(TypeError):
        tree.add_data(2, "text is not bytes")
    too_long = mmap.mmap(-1, _layout.MAX_LENGTH + 1)  # reserved, never touched
    with pytest.raises(ValueError):
        node.add_data(2, too_long)
    too_long.close()
    assert list(tree.events()) == [(S, 1, 0, b""), (E, 1, 0, b"")]


def test_disposed_nodes_and_walks_refuse_to_go_on():
    tree, one = sample()
    four_child = one.add_node(7)
    for steps in (0, 1):  # a walk not yet begun, and one under way
        walk = tree.events()
        for _ in range(steps):
            next(walk)
        one.dispose()
        with pytest.raises(RuntimeError):
            next(walk)
    for _ in range(2):  # refused again, not waved through once checked
        with pytest.raises(ValueError):
            four_child.add_data(1, b"gone")
    with pytest.raises(ValueError):
        four_child.tag
    walk = tree.children()
    next(walk)
    one.dispose()
    with pytest.raises(RuntimeError):
        next(walk)
    one.add_data(8, b"new")  # the disposed node itself takes children again
    deep = one
    for _ in range(3000):  # deeper than Python's recursion
        deep = deep.add_node(2)
    tree.dispose()
    for _ in range(2):
        with pytest.raises(ValueError):
            deep.add_node(1)


# Run in a child with its address space capped a few MiB above what it uses,
# so that the library's block allocations are refused partway. The tree the
# write starts from is argv[1]: "empty"; "record", whose tail takes the
# record's header; or "full", whose tail has less room than the header (six
# bytes), which then opens the next block.
_REFUSED = textwrap.dedent("""
    import resource, sys, tarnwick
    from tarnwick._layout import Block
    tree = tarnwick.Tree()
    if sys.argv[1] != "empty":
        tree.add_data(3, b"")
    while sys.argv[1] == "full" and Block.from_address(tree._owner.root.last).space >= 6:
        tree.add_data(3, b"")
    payload = bytes(64 << 20)
    with open("/proc/self/statm") as f:
        used = int(f.read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (used + (16 << 20), resource.RLIM_INFINITY))
    try:
        tree.add_data(1, payload)
    except tarnwick.PartialWrite as e:
        partial = (e.requested, e.stored)
    while True:
        try:
            tree.add_node(2)
        except MemoryError as e:
            refused = type(e).__name__
            break
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    stored = len(next(e for e in tree.records() if e.kind == tarnwick.EventKind.DATA and e.tag == 1).data)
    print(partial[0], partial[1], stored, refused)
""")


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs /proc and RLIMIT_AS")
@pytest.mark.parametrize("start", ["empty", "record", "full"])
def test_refused_allocations_raise_memory_errors(start):
    out = subprocess.run([sys.executable, "-c", _REFUSED, start], capture_output=True, text=True,
                         check=True).stdout
    requested, stored, walked, refused = out.split()
    assert int(requested) == 64 << 20 and 0 < int(stored) < int(requested) and walked == stored
    assert refused == "MemoryError"


def test_a_library_that_does_not_match_is_refused():
    differences = _library.probe(tarnwick._lib, _layout.iter_type(6), 6)
    # The size alone: fields are not compared once the sizes differ.
    assert differences == [f"tarnwick_iter is {sizeof(_layout.Iter)} bytes in the library, "
                           f"{sizeof(_layout.iter_type(6))} in the binding"]
    assert _library.probe(tarnwick._lib) == []


def test_the_library_is_found_beside_the_package(tmp_path):
    shutil.copytree(os.path.dirname(tarnwick.__file__), tmp_path / "tarnwick")
    shutil.copy(tarnwick.library_path, tmp_path / "tarnwick" / os.path.basename(_library._NAMES[0]))
    env = {k: v for k, v in os.environ.items() if k != "TARNWICK_LIBRARY"}
    env["PYTHONPATH"] = str(tmp_path)
    code = "import tarnwick; print(tarnwick.library_path)"
    out = subprocess.run([sys.executable, "-c", code], env=env, cwd=tmp_path, capture_output=True, text=True,
                         check=True)
    assert out.stdout.strip() == str(tmp_path / "tarnwick" / _library._NAMES[0])
    env["TARNWICK_LIBRARY"] = str(tmp_path / "nothing.so")
    failed = subprocess.run([sys.executable, "-c", code], env=env, cwd=tmp_path, capture_output=True, text=True)
    assert failed.returncode != 0 and "LibraryError" in failed.stderr
    assert all(way in failed.stderr for way in ("wheel", "where the loader finds it", "TARNWICK_LIBRARY"))


def needs(variable):
    path = os.environ.get(variable)
    if not path:
        pytest.skip(f"{variable} is not set")
    return path


def test_layout_table_matches_the_header():
    out = subprocess.run([needs("TARNWICK_PROBE")], capture_output=True, text=True, check=True).stdout
    probed = {name: int(value) for name, value in (line.split() for line in out.splitlines())}
    assert probed == _layout.layout()


# The ctypes types that pass for a C type of tarnwick.h: a pointer to a
# structure the binding lays out is a POINTER of it or a c_void_p, any other
# pointer a c_void_p.
_C_TYPES = {"int": c_int, "unsigned": c_uint, "uint32_t": c_uint32, "void": None,
            "tarnwick_visit_fn": _library.VISIT_FN}


def ctypes_of(c_type):
    c_type = c_type.strip().removeprefix("const ")
    if c_type.endswith(" *"):
        struct = _layout._STRUCTS.get(c_type[:-2])
        return {c_void_p} | ({POINTER(struct)} if struct else set())
    return {_C_TYPES[c_type]}


def test_the_functions_are_declared_as_the_header_declares_them():
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
    script = os.path.join(root, "tests", "check-library-man")
    if not os.path.exists(script):
        pytest.skip("needs the source tree's tests/check-library-man")
    out = subprocess.run(["bash", script, "--prototypes", os.path.join(root, "include", "tarnwick.h")],
                         capture_output=True, text=True, check=True).stdout
    declared = []
    for line in out.splitlines():
        callback = re.fullmatch(r"typedef (\w+)\(TARNWICK_CALL \*(\w+)\)\((.*)\)", line)
        if callback:
            returns, name, arguments = callback.groups()
            restype, argtypes = _library.VISIT_FN._restype_, _library.VISIT_FN._argtypes_
        else:
            returns, name, arguments = re.fullmatch(r"(.*?)(tarnwick_\w+)\((.*)\)", line).groups()
            function = getattr(tarnwick._lib, name)
            restype, argtypes = function.restype, function.argtypes
        c_arguments = [re.sub(r" ?\w+$", "", argument) for argument in arguments.split(", ")]
        assert restype in ctypes_of(returns) and len(argtypes) == len(c_arguments), line
        assert all(argtype in ctypes_of(c) for argtype, c in zip(argtypes, c_arguments)), line
        declared.append(name)
    assert len(declared) == 8, declared  # the seven functions and the callback


def test_installed_metadata_states_the_package_version():
    # The version test of the CMake build holds __version__ to tarnwick.h.
    assert importlib.metadata.version("tarnwick") == tarnwick.__version__


# ---- Random trees against the tool's walk --------------------------------

def random_items(rng, depth):
    """Notation and the same records as ("node", tag, items) or ("data",
    tag, bytes); some chains nest past the walk's limit."""
    items = []
    for _ in range(rng.randrange(1, 6 if depth < 3 else 3)):
        tag = rng.randrange(4096)
        roll = rng.random()
        if roll < 0.3 and depth < tarnwick.MAX_LEVELS + 2:
            text, children = random_items(rng, depth + 1)
            items.append((f"{tag}{{ {text} }}", ("node", tag, children)))
        elif roll < 0.5:
            n = rng.choice([0, 1, 255, 256, 3000, 20000])
            items.append((f"{tag}:*{n}", ("data", tag, (bytes(range(256)) * (n // 256 + 1))[:n])))
        else:
            payload = rng.randbytes(rng.randrange(0, 40))
            items.append((f"{tag}:x{payload.hex()}", ("data", tag, payload)))
    return " ".join(text for text, _ in items), [record for _, record in items]


def build(into, records):
    for kind, tag, body in records:
        if kind == "node":
            build(into.add_node(tag), body)
        else:
            into.add_data(tag, body)


def preview(data):
    shown = data[:16]
    if all(0x20 <= c < 0x7F or c in b"\n\t\r" for c in shown):
        escaped = "".join({"\n": "\\n", "\t": "\\t", "\r": "\\r", '"': '\\"', "\\": "\\\\"}.get(chr(c), chr(c))
                          for c in shown)
        text = f'"{escaped}"'
    else:
        text = "x" + shown.hex()
    return text + ("..." if len(data) > 16 else "")


def as_tool_prints(e):
    line = f"{e.kind.name} {e.tag}"
    if e.kind == D:
        line += f" ({len(e.data)} {'byte' if len(e.data) == 1 else 'bytes'}) {preview(e.data)}"
    return "  " * e.depth + line


def children_as_built(list_of):
    """The records as random_items gives them, read by children() list by
    list; a node without children has no Node to read further, nor needs one."""
    return [("node", c.tag, children_as_built(c.node) if c.node else []) if c.is_node else ("data", c.tag, c.data)
            for c in list_of.children()]


def test_random_trees_walk_as_the_tool_walks_them():
    tool = needs("TARNWICK_TOOL")
    stops = 0
    for start_value in range(40):
        rng = random.Random(start_value)
        text, records = random_items(rng, 0)
        tree = tarnwick.Tree()
        build(tree, records)
        walk = tree.events()
        mine = [as_tool_prints(e) for e in walk]
        run = subprocess.run([tool, "walk", text], capture_output=True, text=True)
        assert run.returncode == (3 if walk.stopped_at_limit else 0), (start_value, run.stderr)
        assert run.stdout.splitlines() == mine, start_value
        stops += walk.stopped_at_limit
        assert children_as_built(tree) == records, start_value
        tree.dispose()
    assert 0 < stops < 40
