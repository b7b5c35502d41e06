# SPDX-License-Identifier: MIT
"""The one place that spells out the C structures the binding reads.

ctypes lays the fields out with the platform's alignment, so every size and
offset here follows from the pointer size, as the C compiler's do. The walk
state is a fixed stack of TARNWICK_MAX_LEVELS + 1 frames; that number is a
#define in tarnwick.h, so it is kept here, and both are checked against the
library when it is loaded (see _library.probe) and against a program built
from tarnwick.h in the tests (layout())."""

from ctypes import Structure, c_int, c_uint16, c_uint32, c_void_p, sizeof, string_at

MAX_LEVELS = 7  # TARNWICK_MAX_LEVELS
MAX_TAG = 0xFFF  # TARNWICK_MAX_TAG
MAX_LENGTH = 0x7FFFFFFF  # TARNWICK_MAX_LENGTH

EVENT_START, EVENT_DATA, EVENT_END = 1, 2, 3

# A record begins with a header word whose first byte holds, above the kind
# bit, how many length bytes follow the word (0 to 4, least significant
# first). A node record's payload, one length byte's worth, is its embedded
# handle and the padding before it; tarnwick.h states both sizes, so the
# word's size is checked through them.
WORD_SIZE = 2
LENGTH_SHIFT, LENGTH_MASK = 1, 7
NODE_LENGTH = 4 * sizeof(c_void_p)  # TARNWICK_NODE_LENGTH
NODE_RECORD_SIZE = (WORD_SIZE + 1 + NODE_LENGTH + 1) // 2 * 2  # TARNWICK_NODE_RECORD_SIZE: rounded up to even


def data_header_size(length: int) -> int:
    """The header word and the fewest length bytes that hold `length`: the
    bytes of a data record that must lie in the block it begins in."""
    return WORD_SIZE + (length.bit_length() + 7) // 8


def record_length(record: int) -> int:
    """The length field of the record at address `record`."""
    length_bytes = string_at(record, 1)[0] >> LENGTH_SHIFT & LENGTH_MASK
    return int.from_bytes(string_at(record + WORD_SIZE, length_bytes), "little")


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


def iter_type(max_levels: int = MAX_LEVELS) -> type[Structure]:
    """tarnwick_iter for a given frame count less one (the tests build others)."""
    return type("Iter", (Structure,), {"_fields_": [
        ("levels", c_int), ("event", Event), ("top", c_void_p), ("frames", Frame * (max_levels + 1))]})


Iter = iter_type()

_STRUCTS: dict[str, type[Structure]] = {"tarnwick_list": List, "tarnwick_node": NodeHandle, "tarnwick_event": Event,
            "tarnwick_frame": Frame, "tarnwick_iter": Iter}


def layout() -> dict[str, int]:
    """Every size and offset above, named as the C probe in the tests prints
    them: "tarnwick_frame" is a size, "tarnwick_frame.ptr" an offset."""
    table = {"TARNWICK_MAX_LEVELS": MAX_LEVELS, "TARNWICK_MAX_TAG": MAX_TAG, "TARNWICK_MAX_LENGTH": MAX_LENGTH,
             "TARNWICK_EVENT_START": EVENT_START, "TARNWICK_EVENT_DATA": EVENT_DATA,
             "TARNWICK_EVENT_END": EVENT_END, "TARNWICK_NODE_LENGTH": NODE_LENGTH,
             "TARNWICK_NODE_RECORD_SIZE": NODE_RECORD_SIZE, "tarnwick_block.data": BLOCK_DATA}
    for field, _ in Block._fields_:
        table["tarnwick_block." + field] = getattr(Block, field).offset
    for name, struct in _STRUCTS.items():
        table[name] = sizeof(struct)
        for field, *_ in struct._fields_:
            table[name + "." + field] = getattr(struct, field).offset
    return table
