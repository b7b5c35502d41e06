# SPDX-License-Identifier: MIT
"""Trees of tagged records in chains of heap blocks, walked as a stream of
START, DATA and END events: libtarnwick from Python, over ctypes.

    with tarnwick.Tree() as tree:
        node = tree.add_node(1)
        node.add_data(2, b"hi")
        for e in tree.events():
            ...   START 1 (depth 0), START 2 (1), DATA 2 b"hi" (2), END 2 (1), END 1 (0)

A Tree owns its records; Node handles stay usable until the tree, or a node
enclosing them, is disposed, and raise ValueError after that. Events carry
copies of the bytes, so they outlive the tree. The library is found through
$TARNWICK_LIBRARY, then in this package's folder, then by the loader's
search; one that does not match this binding's structures is refused at
import with LibraryError.

Appending during a walk: the code a walk runs (visit's fn, or the body of a
loop over events() or records()) may append anywhere in the tree. Records
appended to a list that the walk has not finished are reported in turn; a
list is finished once the END of its last record has been delivered.
Children appended to a node that had none when its START was delivered are
not reported. Every START still gets exactly one END. A disposal in the tree
ends the walk with RuntimeError."""

import enum
import itertools
import operator
from collections.abc import Callable, Iterator
from ctypes import addressof, byref, c_void_p, string_at
from typing import NamedTuple, Optional, cast

from . import _layout
from ._layout import BLOCK_DATA, MAX_LENGTH, MAX_TAG, Block, Iter, List, NodeHandle, data_header_size, record_length
from ._library import LibraryError, load

__version__ = "1.1.0"

__all__ = ["Tree", "Node", "Child", "Event", "EventKind", "Walk", "PartialWrite", "LibraryError", "MAX_LEVELS",
           "library_path"]

_lib, library_path = load()
MAX_LEVELS = _layout.MAX_LEVELS


class EventKind(enum.IntEnum):
    START = _layout.EVENT_START  # a record begins
    DATA = _layout.EVENT_DATA    # a piece of a data record's payload (whole, from records())
    END = _layout.EVENT_END      # a record ends


class Event(NamedTuple):
    """One event. `depth` is the number of records enclosing it: 0 for the
    START and END of a record in the list the walk starts from, 1 for its
    DATA and its children's START and END, and so on. `data` is b"" for
    START and END."""
    kind: EventKind
    tag: int
    depth: int
    data: bytes


class Child(NamedTuple):
    """One record of a list, as children() gives it: whether it is a node,
    its tag, and its payload whole (b"" for a node). `node` is the Node of a
    node record that has children, and None otherwise: the binding finds a
    node's handle only where the walk opens its list, and reads no record
    itself."""
    is_node: bool
    tag: int
    data: bytes
    node: "Node | None"


_KINDS = (None, EventKind.START, EventKind.DATA, EventKind.END)
_START, _DATA, _END = EventKind.START, EventKind.DATA, EventKind.END


class PartialWrite(MemoryError):
    """A data record whose payload met a refused allocation halfway: the
    record stands, shortened to its first `stored` of `requested` bytes."""

    def __init__(self, requested: int, stored: int) -> None:
        super().__init__(f"tarnwick: data record written in part ({stored} of {requested} bytes)")
        self.requested = requested
        self.stored = stored


def _tag(tag: int) -> int:
    tag = operator.index(tag)
    if not 0 <= tag <= MAX_TAG:
        raise ValueError(f"tarnwick: tag {tag} outside 0..{MAX_TAG}")
    return tag


def _stored_length(target: List, old_tail: Optional[int], old_end: int, old_space: int, requested: int) -> int:
    """The bytes a partly written record of `requested` bytes holds, read
    from its length field. The record begins where the library begins one:
    at the end of the list's tail (as it was before the write) when its
    header fits the tail's space, else at the start of the block after it,
    or of the list's first block when it had none."""
    if old_tail is None:
        record = target.first + BLOCK_DATA
    elif data_header_size(requested) <= old_space:
        record = old_end
    else:
        record = Block.from_address(old_tail).next + BLOCK_DATA
    return record_length(record)


class _Owner:
    """What tree and nodes share: the tree's root list, and a count of the
    disposals made in it, by which walks notice one made under them."""

    def __init__(self) -> None:
        self.root = List()
        self.disposals = 0
        _lib.tarnwick_init(byref(self.root))


class _Appender:
    """add_node and add_data for a tree and for a node, both appending
    through the C calls to the list _live() gives (None: the root list)."""

    _owner: _Owner
    _epoch: int  # disposals of the list's records, by which its nodes notice theirs

    def _live(self) -> Optional[int]:
        raise NotImplementedError

    def add_node(self, tag: int) -> "Node":
        """Appends a node with `tag` (0..4095) and returns it. Raises
        ValueError for a tag out of range, MemoryError when a block is
        refused (nothing appended)."""
        tag = _tag(tag)
        handle = _lib.tarnwick_create_node(byref(self._owner.root), self._live(), tag)
        if handle is None:
            raise MemoryError("tarnwick: no memory for a node record")
        return Node(self._owner, handle, self, tag)

    def add_data(self, tag: int, data: bytes | bytearray | memoryview) -> None:
        """Appends a data record with `tag` and a copy of `data` (any
        bytes-like object). Raises ValueError for a tag out of range or more
        than 2**31 - 1 bytes, MemoryError when a block is refused (nothing
        appended), PartialWrite when the record was stored in part."""
        tag = _tag(tag)
        view = memoryview(data)
        if view.nbytes > MAX_LENGTH:
            raise ValueError(f"tarnwick: data record longer than {MAX_LENGTH} bytes")
        payload = data if type(data) is bytes else view.tobytes()
        handle = self._live()
        target = NodeHandle.from_address(handle).children if handle else self._owner.root
        old_tail = target.last
        old_end, old_space = 0, 0
        if old_tail:
            tail = Block.from_address(old_tail)
            old_end, old_space = tail.data_end, tail.space
        status = _lib.tarnwick_create_data(byref(self._owner.root), handle, tag, payload, len(payload))
        if status > 0:
            raise MemoryError("tarnwick: no memory for a data record")
        if status < 0:
            raise PartialWrite(len(payload), _stored_length(target, old_tail, old_end, old_space, len(payload)))

    def children(self) -> Iterator["Child"]:
        """The records of this list (the tree's root list, or the node's
        children), in order, as Child tuples. Read by the library's pull
        iterator, which is taken back to this list whenever it enters a
        node, so at the cost of this list's records and none of their
        descendants, however deep they nest. A disposal in the tree
        meanwhile raises RuntimeError."""
        owner = self._owner
        disposals = owner.disposals
        it = Iter()
        _lib.tarnwick_iter_init(byref(owner.root), byref(it), self._live())
        at = c_void_p(addressof(it))
        list_frame = addressof(it.frames[0])
        # Every node record the walk begins sets up the frame above its
        # list's, opened on the node's children or all zero when it has
        # none; a data record leaves that frame alone. A mark left there
        # before each step therefore tells the two kinds apart.
        above = it.frames[1]
        event = it.event
        step = _lib.tarnwick_iter_next
        start_type, data_type = _layout.EVENT_START, _layout.EVENT_DATA
        is_node = False
        node: Optional[Node] = None
        pieces: list[bytes] = []
        while True:
            if owner.disposals != disposals:
                raise RuntimeError("tarnwick: the tree was disposed during the walk")
            above.list = _UNTOUCHED
            if step(None, at) is None:
                return
            kind = event.type
            if kind == start_type:
                is_node, node, pieces = above.list != _UNTOUCHED, None, []
                if it.top != list_frame:
                    # Entered the node's children: back to this list, as
                    # when they end, so that the next step gives its END.
                    node = Node(owner, above.list, self, event.tag)
                    it.top = list_frame
                    it.levels += 1
            elif kind == data_type:
                pieces.append(string_at(event.data, event.length))
            else:
                yield Child(is_node, event.tag, pieces[0] if len(pieces) == 1 else b"".join(pieces), node)


# The mark children() leaves in a frame: an odd address, which no list has.
_UNTOUCHED = 1


class Node(_Appender):
    """A node record's handle. Valid until the tree, or a node enclosing it,
    is disposed; after that every use raises ValueError."""

    def __init__(self, owner: _Owner, handle: int, parent: _Appender, tag: int) -> None:
        self._owner = owner
        self._handle = handle
        self._parent = parent
        self._tag = tag
        self._born = parent._epoch  # the parent's count of disposals when made
        self._epoch = 0             # disposals of this node's children
        self._checked = owner.disposals

    @property
    def tag(self) -> int:
        """The node's tag. Raises ValueError once the node was disposed."""
        self._live()
        return self._tag

    def _valid(self) -> bool:
        """Whether no node above was disposed since it made its child. The
        path up is checked again only after a disposal somewhere in the
        tree, so an append costs no walk up as a rule."""
        disposals = self._owner.disposals
        if self._checked != disposals:
            node: _Appender = self
            while isinstance(node, Node):
                if node._born != node._parent._epoch:
                    return False
                node = node._parent
            self._checked = disposals
        return True

    def _live(self) -> int:
        """The handle, once the node is found valid."""
        if not self._valid():
            raise ValueError("tarnwick: the node was disposed")
        return self._handle

    def dispose(self) -> None:
        """Releases the node's descendants; the node stays in its list,
        childless, and may get children again. Nodes below it become
        invalid."""
        handle = self._live()
        self._owner.disposals += 1
        _lib.tarnwick_dispose(handle)
        self._epoch += 1

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Node) and self._handle == other._handle

    def __hash__(self) -> int:
        return hash(self._handle)


class Tree(_Appender):
    """Owns a root list and every record beneath it, and releases them when
    disposed, at the end of a `with` block, or when collected."""

    def __init__(self) -> None:
        self._owner = _Owner()
        self._epoch = 0

    def _live(self) -> None:
        return None

    def dispose(self) -> None:
        """Releases every record. The tree is empty afterwards and may be
        built again; its nodes become invalid."""
        self._owner.disposals += 1
        _lib.tarnwick_dispose(addressof(self._owner.root))
        self._epoch += 1

    def __enter__(self) -> "Tree":
        return self

    def __exit__(self, *exc: object) -> None:
        self.dispose()

    def __del__(self) -> None:
        if _lib is not None and getattr(self, "_owner", None) is not None:
            _lib.tarnwick_dispose(addressof(self._owner.root))

    def events(self, node: Optional[Node] = None) -> "Walk":
        """A walk of the whole tree, or of the children of `node`, over the
        library's pull iterator, one Event per piece of payload (a payload
        spans as many DATA events as blocks). May be appended to meanwhile
        (see "Appending during a walk" in the module's help); a disposal in
        the tree ends the walk with RuntimeError."""
        return Walk(self, node, whole=False)

    def records(self, node: Optional[Node] = None) -> "Walk":
        """As events(), with each data record's payload whole in one DATA."""
        return Walk(self, node, whole=True)

    def visit(self, fn: Callable[[Event], object], node: Optional[Node] = None) -> bool:
        """Calls fn(event) for every event of events(node). Returns True
        after a complete walk, False when the nesting limit stopped it. The
        first exception fn raises ends the walk there, and visit raises it.
        fn may append to the tree (see "Appending during a walk" in the
        module's help); a disposal in it raises RuntimeError.

        The walk is the pull iterator's, stepped here, rather than the C
        callback walk: that one cannot be stopped from its callback, and a
        ctypes callback costs more per event than a call does."""
        walk = self.events(node)
        for event in walk:
            fn(event)
        return not walk.stopped_at_limit


class Walk(itertools.chain[Event]):
    """One walk of a tree, iterated once. `stopped_at_limit` is True once it
    has ended because a node lay deeper than the nesting limit (MAX_LEVELS
    below the starting list; that node's START is not delivered), False
    while it runs and after a complete walk.

    A walk is its own iterator. It is an itertools.chain over the one
    generator of its events, so that a step is the chain's C call into the
    generator: a __next__ written in Python would cost a call per event,
    an eighth of the walk."""

    stopped_at_limit: bool
    _sources: list[Iterator[Event]]

    def __new__(cls, tree: "Tree", node: Optional[Node], whole: bool) -> "Walk":
        # The generator needs the walk, so the chain is made over a list of
        # generators that __init__ then fills; the chain reads it lazily.
        sources: list[Iterator[Event]] = []
        walk = cast(Walk, cls.from_iterable(sources))
        walk._sources = sources
        return walk

    def __init__(self, tree: "Tree", node: Optional[Node], whole: bool) -> None:
        self.stopped_at_limit = False
        self._tree = tree  # kept alive while the walk lasts
        self._iter = Iter()
        if node is not None and node._owner is not tree._owner:
            raise ValueError("tarnwick: the node is not in this tree")
        _lib.tarnwick_iter_init(byref(tree._owner.root), byref(self._iter),
                                node._live() if node is not None else None)
        events = self._pull(tree._owner.disposals)
        self._sources.append(_joined(events) if whole else events)

    def _pull(self, disposals: int) -> Iterator[Event]:
        owner = self._tree._owner
        it = self._iter
        at = c_void_p(addressof(it))
        step = _lib.tarnwick_iter_next
        event = it.event
        # Event's own constructor is a Python function that calls this;
        # calling it directly makes each event with one C call, not two
        # calls and a tuple of arguments.
        make = tuple.__new__
        data_type, start_type = _layout.EVENT_DATA, _layout.EVENT_START
        open_ = 0  # records begun and not ended: the depth of what comes next
        while True:
            if owner.disposals != disposals:
                raise RuntimeError("tarnwick: the tree was disposed during the walk")
            if step(None, at) is None:
                break
            kind = event.type
            if kind == data_type:
                yield make(Event, (_DATA, event.tag, open_, string_at(event.data, event.length)))
            elif kind == start_type:
                yield make(Event, (_START, event.tag, open_, b""))
                open_ += 1
            else:
                open_ -= 1
                yield make(Event, (_END, event.tag, open_, b""))
        self.stopped_at_limit = it.top is not None


def _joined(events: Iterator[Event]) -> Iterator[Event]:
    """The events with each data record's DATA pieces, which lie in a row
    before its END, joined into one."""
    pieces = []
    for e in events:
        if e.kind == _DATA:
            pieces.append(e.data)
            continue
        if pieces:
            yield Event(_DATA, e.tag, e.depth + 1, pieces[0] if len(pieces) == 1 else b"".join(pieces))
            pieces = []
        yield e
