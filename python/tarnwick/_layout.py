# SPDX-License-Identifier: MIT
"""The one place that spells out the C structures the binding reads.

ctypes lays the fields out with the platform's alignment, so every size and
offset here follows from the pointer size, as the C compiler's do. The walk
state is a fixed stack of TARNWICK_MAX_LEVELS + 1 frames; that number is a
#define in tarnwick.h, so it is kept here, and both are checked against the
library when it is loaded (see _library.probe) and against a program built
from tarnwick.h in the tests (layout())."""

from ctypes import Structure, c_int, c_uint16, c_uint32, c_void_p, sizeof

MAX_LEVELS = 7  # TARNWICK_MAX_LEVELS
MAX_TAG = 0xFFF  # TARNWICK_MAX_TAG
MAX_LENGTH = 0x7FFFFFFF  # TARNWICK_MAX_LENGTH

EVENT_START, EVENT_DATA, EVENT_END = 1, 2, 3


class List(Structure):
    _fields_ = [("first", c_void_p), ("last", c_void_p)]


class NodeHandle(Structure):
    _fields_ = [("children", List), ("record", c_void_p)]


# The block header; the data area follows it directly (no padding before it).
class Block(Structure):
    _fields_ = [("next", c_void_p), ("prev", c_void_p), ("data_end", c_void_p),
                ("space", c_uint16), ("capacity", c_uint16)]


BLOCK_DATA = Block.capacity.offset + Block.capacity.size  # offsetof(tarnwick_block, data)


class Event(Structure):
    _fields_ = [("type", c_int), ("tag", c_uint16), ("data", c_void_p), ("length", c_int)]


class Frame(Structure):
    _fields_ = [("block", c_void_p), ("record", c_void_p), ("list", c_void_p),
                ("state", c_uint32), ("ptr", c_void_p)]


def iter_type(max_levels=MAX_LEVELS):
    """tarnwick_iter for a given frame count less one (the tests build others)."""
    return type("Iter", (Structure,), {"_fields_": [
        ("levels", c_int), ("event", Event), ("top", c_void_p), ("frames", Frame * (max_levels + 1))]})


Iter = iter_type()

_STRUCTS = {"tarnwick_list": List, "tarnwick_node": NodeHandle, "tarnwick_event": Event,
            "tarnwick_frame": Frame, "tarnwick_iter": Iter}


def layout():
    """Every size and offset above, named as the C probe in the tests prints
    them: "tarnwick_frame" is a size, "tarnwick_frame.ptr" an offset."""
    table = {"TARNWICK_MAX_LEVELS": MAX_LEVELS, "TARNWICK_MAX_TAG": MAX_TAG, "TARNWICK_MAX_LENGTH": MAX_LENGTH,
             "TARNWICK_EVENT_START": EVENT_START, "TARNWICK_EVENT_DATA": EVENT_DATA,
             "TARNWICK_EVENT_END": EVENT_END, "tarnwick_block.data": BLOCK_DATA}
    for field, _ in Block._fields_:
        table["tarnwick_block." + field] = getattr(Block, field).offset
    for name, struct in _STRUCTS.items():
        table[name] = sizeof(struct)
        for field, _ in struct._fields_:
            table[name + "." + field] = getattr(struct, field).offset
    return table
