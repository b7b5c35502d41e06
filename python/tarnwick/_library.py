# SPDX-License-Identifier: MIT
"""Finding libtarnwick, declaring its seven functions, and refusing a library
whose structures are not laid out as _layout says."""

import ctypes
import ctypes.util
import os
import sys
from ctypes import (CFUNCTYPE, POINTER, addressof, byref, c_int, c_uint, c_uint32, c_void_p, sizeof,
                    string_at)

from . import _layout
from ._layout import (BLOCK_DATA, EVENT_DATA, EVENT_START, MAX_LEVELS, WORD_SIZE, Iter, List, NodeHandle,
                      record_length)


class LibraryError(ImportError):
    """libtarnwick could not be found, or does not match this binding."""


if sys.platform == "win32":
    _NAMES = ["libtarnwick.dll"]
elif sys.platform == "darwin":
    _NAMES = ["libtarnwick.1.dylib", "libtarnwick.dylib"]
else:
    _NAMES = ["libtarnwick.so.1"]

# The callback of tarnwick_visit_node. TARNWICK_CALL is the C convention
# (__cdecl on Windows), which is CFUNCTYPE's, never WINFUNCTYPE's.
VISIT_FN = CFUNCTYPE(c_int, c_void_p, c_int, c_uint, c_void_p, c_int)


def _candidates() -> list[str]:
    """Where to look, in order: $TARNWICK_LIBRARY alone when it is set; else
    the package's own folder, then the loader's search."""
    given = os.environ.get("TARNWICK_LIBRARY")
    if given:
        return [given]
    here = os.path.dirname(os.path.abspath(__file__))
    found = [os.path.join(here, name) for name in _NAMES if os.path.exists(os.path.join(here, name))]
    searched = ctypes.util.find_library("tarnwick")
    return found + ([searched] if searched else []) + _NAMES


# The seven functions' types, as tarnwick.h declares them (a test holds them
# to it): a pointer to a structure the binding builds itself is a POINTER of
# it, any other pointer a c_void_p.
def _declare(lib: ctypes.CDLL) -> ctypes.CDLL:
    lists = POINTER(List)
    lib.tarnwick_init.argtypes = [lists]
    lib.tarnwick_init.restype = c_int
    lib.tarnwick_create_node.argtypes = [lists, c_void_p, c_int]
    lib.tarnwick_create_node.restype = c_void_p
    lib.tarnwick_create_data.argtypes = [lists, c_void_p, c_int, c_void_p, c_uint32]
    lib.tarnwick_create_data.restype = c_int
    lib.tarnwick_dispose.argtypes = [c_void_p]
    lib.tarnwick_dispose.restype = None
    lib.tarnwick_visit_node.argtypes = [lists, c_void_p, c_void_p, VISIT_FN]
    lib.tarnwick_visit_node.restype = None
    lib.tarnwick_iter_init.argtypes = [lists, c_void_p, c_void_p]
    lib.tarnwick_iter_init.restype = None
    lib.tarnwick_iter_next.argtypes = [c_void_p, c_void_p]
    lib.tarnwick_iter_next.restype = c_void_p
    return lib


def load() -> tuple[ctypes.CDLL, str]:
    """The first candidate that loads and passes the probe, and its path."""
    tried = []
    for path in _candidates():
        try:
            lib = ctypes.CDLL(path)
        except OSError as error:
            tried.append(f"{path}: {error}")
            continue
        differences = probe(_declare(lib))
        if differences:
            raise LibraryError(f"{path} does not match this binding: " + "; ".join(differences))
        return lib, path
    raise LibraryError("libtarnwick not found: install a tarnwick wheel, which carries it, or the package from "
                       "its sdist or source, which builds it with CMake; or install the library where the "
                       "loader finds it; or set TARNWICK_LIBRARY to its path. Tried " + "; ".join(tried))


def probe(lib: ctypes.CDLL, iter_type: type[ctypes.Structure] = Iter, max_levels: int = MAX_LEVELS) -> list[str]:
    """Walks a known tree and measures, from what the library writes, the
    sizes the binding depends on. Returns one text per difference; empty
    when all match.

    The tree is node 1 holding data 2 "probe" and a chain of nested nodes
    one deeper than a walk goes. tarnwick_iter_init overwrites the whole
    iterator, so filling a larger buffer with a pattern first shows the
    library's sizeof(tarnwick_iter); where `top` and the returned event
    point gives the offsets of `frames` and `event`; how far `top` moves on
    entering a node gives sizeof(tarnwick_frame). Pointers from the library
    are compared with addresses known here, never followed, until the
    sizes are known to agree."""
    root = List()
    lib.tarnwick_init(byref(root))
    try:
        return _measure(lib, root, iter_type, max_levels)
    finally:
        lib.tarnwick_dispose(byref(root))


_PATTERN = 0xA5
_PAYLOAD = b"probe"


def _build_probe_tree(lib: ctypes.CDLL, root: List, nesting: int) -> int:
    first = lib.tarnwick_create_node(byref(root), None, 1)
    if first is None or lib.tarnwick_create_data(byref(root), first, 2, _PAYLOAD, len(_PAYLOAD)) != 0:
        raise MemoryError("libtarnwick: no memory for the load-time probe")
    node = first
    for level in range(nesting):
        node = lib.tarnwick_create_node(byref(root), node, 3)
        if node is None:
            raise MemoryError("libtarnwick: no memory for the load-time probe")
    return int(first)


def _measure(lib: ctypes.CDLL, root: List, iter_type: type[ctypes.Structure], max_levels: int) -> list[str]:
    first = _build_probe_tree(lib, root, max_levels)
    frames_at = iter_type.frames.offset
    frame_size = sizeof(_layout.Frame)
    buffer = (ctypes.c_ubyte * (4 * sizeof(iter_type) + 256))()  # room for a library's larger iterator
    ctypes.memset(buffer, _PATTERN, sizeof(buffer))
    lib.tarnwick_iter_init(byref(root), buffer, None)
    base = addressof(buffer)
    written = max(i for i, b in enumerate(buffer) if b != _PATTERN) + 1
    it = iter_type.from_buffer(buffer)
    seen = {"tarnwick_iter": written, "offsetof(tarnwick_iter, frames)": (it.top or 0) - base}
    step = lib.tarnwick_iter_next(None, buffer)
    seen["offsetof(tarnwick_iter, event)"] = (step or 0) - base
    seen["sizeof(tarnwick_frame)"] = (it.top or 0) - base - frames_at
    expected = {"tarnwick_iter": sizeof(iter_type), "offsetof(tarnwick_iter, frames)": frames_at,
                "offsetof(tarnwick_iter, event)": iter_type.event.offset, "sizeof(tarnwick_frame)": frame_size}
    differences = [f"{name} is {seen[name]} bytes in the library, {expected[name]} in the binding" for name in expected
                   if seen[name] != expected[name]]
    if differences:
        return differences
    return _check_fields(lib, root, first, buffer, it, max_levels)


def _check_fields(lib: ctypes.CDLL, root: List, first: int, buffer: "ctypes.Array[ctypes.c_ubyte]",
                  it: ctypes.Structure, max_levels: int) -> list[str]:
    """With the sizes agreed, the fields: the first frame, the node handle,
    the data record's START, header and DATA, and where the nesting limit
    stops."""
    differences = []
    header = root.first + BLOCK_DATA
    frame = it.frames[0]
    if (frame.list, frame.block, frame.record) != (addressof(root), root.first, header):
        differences.append("tarnwick_frame's list, block or record fields differ")
    if NodeHandle.from_address(first).record != header:
        differences.append("tarnwick_node's record field differs")
    if it.event.type != EVENT_START or it.event.tag != 1 or it.levels != max_levels - 1:
        differences.append("tarnwick_event's type or tag, or tarnwick_iter's levels, differ")
    lib.tarnwick_iter_next(None, buffer)
    data_header = NodeHandle.from_address(first).children.first + BLOCK_DATA
    if it.frames[1].record != data_header or it.frames[1].state != len(_PAYLOAD) << 1 | 1:
        differences.append("tarnwick_frame's record or state fields differ")
    if record_length(data_header) != len(_PAYLOAD):
        differences.append("a data record's length field is read otherwise")
    lib.tarnwick_iter_next(None, buffer)
    event = it.event
    if (event.type, event.length, event.data) != (EVENT_DATA, len(_PAYLOAD), data_header + WORD_SIZE + 1) or \
            string_at(event.data, event.length) != _PAYLOAD:
        differences.append("tarnwick_event's data or length fields differ")
    starts = 2
    while lib.tarnwick_iter_next(None, buffer) is not None:
        starts += it.event.type == EVENT_START
    if it.top is None or starts != max_levels + 1:
        differences.append(f"TARNWICK_MAX_LEVELS is {starts - 1} there, {max_levels} here")
    return differences
