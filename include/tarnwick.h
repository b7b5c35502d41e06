/* SPDX-License-Identifier: MIT */
/*
 * tarnwick.h - trees of tagged records in chains of heap blocks, walked as a
 * stream of START, DATA and END events.
 *
 * A tree is a list of records. A record is either a node, which owns a list
 * of child records of its own, or a data record, which holds a tag and a copy
 * of a caller's byte string. Records are appended at the end of a list and are
 * never moved or changed afterwards; tarnwick_dispose releases a whole list, or
 * all the children of one node, at once. Tags are 12-bit numbers (0..4095)
 * that mean whatever the caller wants them to mean.
 *
 * The header compiles as C99 or later and as C++11 or later.
 *
 *     tarnwick_list root;
 *     tarnwick_init(&root);
 *     tarnwick_node *n = tarnwick_create_node(&root, NULL, 1);
 *     tarnwick_create_data(&root, n, 2, "hi", 2);
 *     tarnwick_visit_node(&root, NULL, ctx, on_event);  (START 1, START 2,
 *                                                  DATA 2 "hi", END 2, END 1)
 *     tarnwick_dispose(&root);
 *
 * Memory: every block is one zero-filled calloc() and is released with free()
 * by tarnwick_dispose and nothing else. The library keeps no global state,
 * starts no threads and does no input or output (a failed assertion, below,
 * is reported by the C runtime). It never reallocates, so node handles
 * and the data pointers that events carry stay valid until the list that holds
 * them is disposed.
 *
 * Threads: a tree may be walked by any number of walks at once, as long as no
 * thread appends to it or disposes it meanwhile. Appending and disposing need
 * exclusive access to the lists they touch.
 *
 * Appending during a walk: the code a walk runs (the callback of
 * tarnwick_visit_node, or the caller's own code between two calls of
 * tarnwick_iter_next) may append anywhere in the tree. Records appended to a
 * list that the walk has not finished are reported in turn; a list is
 * finished once the END of its last record has been delivered. Children
 * appended to a node that had none when its START was delivered are not
 * reported. Every START still gets exactly one END. Nothing that the walk has
 * not finished may be disposed.
 *
 * Internal consistency is checked by assertions on the read paths that stay on
 * in every build: a walk or release over records or block headers that were
 * overwritten stops the program rather than read outside its blocks (pointers
 * inside a damaged node handle cannot be checked). Trees built through these
 * functions never trip them.
 */
#ifndef TARNWICK_H
#define TARNWICK_H

#include <stddef.h>
#include <stdint.h>

/* TARNWICK_API marks the exported functions. Building the library defines
 * TARNWICK_BUILDING; on Windows, where the functions are otherwise declared
 * dllimport, a program that links the library statically defines
 * TARNWICK_STATIC (elsewhere it changes nothing). TARNWICK_CALL is the calling convention of every function
 * and of the callback: the platform's C default, spelled out on Windows so
 * that a caller built with another default (/Gz, /Gr) still agrees. */
/* clang-format off */
#if defined(_WIN32) || defined(__CYGWIN__)
#  if defined(TARNWICK_STATIC)
#    define TARNWICK_API
#  elif defined(TARNWICK_BUILDING)
#    define TARNWICK_API __declspec(dllexport)
#  else
#    define TARNWICK_API __declspec(dllimport)
#  endif
#  define TARNWICK_CALL __cdecl
#else
#  if defined(TARNWICK_BUILDING) && defined(__GNUC__)
#    define TARNWICK_API __attribute__((visibility("default")))
#  else
#    define TARNWICK_API
#  endif
#  define TARNWICK_CALL
#endif
/* clang-format on */

/* The release this header belongs to: MAJOR.MINOR.PATCH. A new major
 * version changes the interface or the record format and the library's
 * SONAME (libtarnwick.so.1) with it; a new minor version adds without
 * breaking; a new patch version only mends. These describe the header a
 * program was compiled against, and a program may test them with #if; there
 * is no function that reports the version of the library loaded at run time.
 * TARNWICK_VERSION_STRING is the same three numbers as a string literal. */
#define TARNWICK_VERSION_MAJOR  1
#define TARNWICK_VERSION_MINOR  1
#define TARNWICK_VERSION_PATCH  0
#define TARNWICK_VERSION_STRING "1.1.0"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- The format's numbers ---------------------------------------------
 * Callers who only build and walk trees never need these; they describe the
 * bytes for those who read blocks directly (see docs/format.md). A node
 * record's payload must hold its embedded tarnwick_node (three pointers) at
 * the first pointer-aligned address after its length byte, so its size
 * follows from the pointer width: 20 bytes with 4-byte pointers, 36 with 8. */
enum {
    TARNWICK_MAX_TAG = 0xFFF,                  /* tags keep their low 12 bits */
    TARNWICK_MAX_LENGTH = 0x7FFFFFFF,          /* longest data payload */
    TARNWICK_FIRST_CAPACITY = 256,             /* data area of a list's first block */
    TARNWICK_MAX_CAPACITY = 16384,             /* capacities double up to this */
    TARNWICK_NODE_LENGTH = 4 * sizeof(void *), /* a node record's length byte */
    /* header word, length byte and payload, rounded up to even */
    TARNWICK_NODE_RECORD_SIZE = (3 + TARNWICK_NODE_LENGTH + 1) / 2 * 2
};

/* ---- Records ------------------------------------------------------------ */

typedef struct tarnwick_block tarnwick_block;

/* The head of a chain of blocks. The caller owns the tarnwick_list itself
 * (on its stack, in a struct, anywhere) and must tarnwick_init it before use;
 * the library owns the blocks. Both fields are null while the list holds no
 * block. Do not change them. */
typedef struct tarnwick_list {
    tarnwick_block *first; /* first block of the chain, or null */
    tarnwick_block *last;  /* tail block, which receives the next record */
} tarnwick_list;

/* The handle of a node record, returned by tarnwick_create_node. It lives
 * inside the node record, in a block of the parent's list, and stays valid
 * until that list is disposed. Its `children` member is the node's own list
 * of children, so `&node->children` may be passed wherever a list is taken. */
typedef struct tarnwick_node {
    tarnwick_list children; /* the node's child records */
    const void *record;     /* the node record's header word */
} tarnwick_node;

/* One heap block: a header and `capacity` bytes of records. Callers only read
 * blocks; the fields are public so that tools can show the layout. */
#if defined(__cplusplus) && defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wc99-extensions" /* data[]: C99's flexible array, an extension in C++ */
#elif defined(__cplusplus) && defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic" /* data[]: C99's flexible array, an extension in C++ */
#elif defined(_MSC_VER)
#pragma warning(push)
#pragma warning(disable : 4200) /* zero-sized array in struct */
#endif
struct tarnwick_block {
    tarnwick_block *next;    /* following block, or null for the tail */
    tarnwick_block *prev;    /* preceding block, or null for the first */
    unsigned char *data_end; /* one past the last byte in use */
    uint16_t space;          /* bytes still free; 0 once abandoned as full */
    uint16_t capacity;       /* size of `data` */
    unsigned char data[];    /* capacity bytes, right after the header */
};
#if defined(__cplusplus) && defined(__clang__)
#pragma clang diagnostic pop
#elif defined(__cplusplus) && defined(__GNUC__)
#pragma GCC diagnostic pop
#elif defined(_MSC_VER)
#pragma warning(pop)
#endif

/* ---- Events ------------------------------------------------------------- */

/* Event types. Each record gives a START, then for a data record one DATA per
 * block its payload lies in (none for an empty payload), or for a node the
 * events of its children, and last an END with the same tag. */
enum { TARNWICK_EVENT_START = 1, TARNWICK_EVENT_DATA = 2, TARNWICK_EVENT_END = 3 };

/* Nodes nested this deep below the starting list are walked; a node one level
 * deeper stops the walk (see tarnwick_iter_next). */
#define TARNWICK_MAX_LEVELS 7

/* One event. For DATA, `data` points at `length` (at least 1) payload bytes
 * inside a block; they stay valid until the tree is disposed. A DATA piece
 * never crosses a block. For START and END, `data` is null and `length` 0. */
typedef struct tarnwick_event {
    int type;                  /* TARNWICK_EVENT_START, _DATA or _END */
    uint16_t tag;              /* the record's tag, 0..4095 */
    const unsigned char *data; /* DATA only: first byte of the piece */
    int length;                /* DATA only: bytes in the piece */
} tarnwick_event;

/* One nesting level of a walk. Readable, but owned by the walk: never write. */
typedef struct tarnwick_frame {
    const tarnwick_block *block; /* block holding `ptr`; null for no list */
    const unsigned char *record; /* header of the record last begun here */
    const tarnwick_list *list;   /* the list this level walks */
    uint32_t state;              /* bit 0: inside a record; bits 1..31:
                                    payload bytes not yet delivered */
    const unsigned char *ptr;    /* read position */
} tarnwick_frame;

/* The whole state of one walk: a fixed stack of frames, so a walk never
 * allocates. The caller allocates it for the pull iterator (anywhere: stack,
 * heap, struct). `top` points into `frames`, so a tarnwick_iter must not be
 * copied or moved between tarnwick_iter_init and its last use. It owns
 * nothing and may be abandoned at any time. */
typedef struct tarnwick_iter {
    int levels;           /* nesting levels still available */
    tarnwick_event event; /* the most recent event */
    tarnwick_frame *top;  /* deepest open level; null once complete */
    tarnwick_frame frames[TARNWICK_MAX_LEVELS + 1];
} tarnwick_iter;

/* The callback of tarnwick_visit_node: the caller's context, then the event's
 * type, tag, data and length as in tarnwick_event. `data` stays valid after
 * the call, until the tree is disposed. The return value is ignored: the walk
 * cannot be stopped from the callback (use the pull iterator for that). */
typedef int(TARNWICK_CALL *tarnwick_visit_fn)(void *context, int type, unsigned tag, const unsigned char *data,
                                              int length);

/* ---- Building ------------------------------------------------------------
 * The append functions take the root list and an optional node. With a node,
 * they append to that node's children and do not read `root` (which may be
 * null); with no node, they append to `root`. */

/* Makes `list` empty. Frees nothing: a list that held blocks abandons them
 * (dispose it first). Returns 0, or -1 when `list` is null. */
TARNWICK_API int TARNWICK_CALL tarnwick_init(tarnwick_list *list);

/* Appends a node record with the low 12 bits of `tag` and returns its handle,
 * which has no children yet. The handle stays valid, and may receive children
 * at any time, until the list that holds it is disposed. Returns null, and
 * appends nothing, when a block allocation was refused or when there is no
 * list to append to (both `root` and `node` null). A refused allocation may
 * still have marked the tail block full, so that the next append of any kind
 * starts a new block. */
TARNWICK_API tarnwick_node *TARNWICK_CALL tarnwick_create_node(tarnwick_list *root, tarnwick_node *node, int tag);

/* Appends a data record with the low 12 bits of `tag` and a copy of the
 * `length` bytes at `bytes`. The caller keeps its buffer; it is not read when
 * `length` is 0 (and may then be null). Returns
 *    0  the record was written whole;
 *    1  nothing was written: a block allocation was refused, there is no list
 *       to append to, `length` exceeds TARNWICK_MAX_LENGTH, or `bytes` is
 *       null with a non-zero `length`;
 *   -1  the record was written in part: a block for the rest of the payload
 *       was refused, and the record now holds (and its length says) only the
 *       leading bytes that were stored. The tree stays well formed. */
TARNWICK_API int TARNWICK_CALL tarnwick_create_data(tarnwick_list *root, tarnwick_node *node, int tag,
                                                    const void *bytes, uint32_t length);

/* ---- Releasing ------------------------------------------------------------ */

/* Frees every block of `list` and, first, of every node list beneath it, at
 * any depth, with constant stack use. Afterwards `list` is empty and may be
 * built again. For a node's `&node->children`, the node stays in its parent
 * with no children. Handles and data pointers inside the freed blocks become
 * invalid. Does nothing for a null or empty list. */
TARNWICK_API void TARNWICK_CALL tarnwick_dispose(tarnwick_list *list);

/* ---- Walking ---------------------------------------------------------------
 * Both walks produce the same stream. With a node they walk its children (not
 * the node itself) and do not read `root`; with no node they walk `root`. */

/* Walks the whole stream in one call, passing each event to `callback` with
 * `context` untouched. Returns after the last END, or silently when the
 * nesting limit stops the walk (the START of the node that is too deep is not
 * passed). Calls nothing when there is nothing to walk, no list, or no
 * callback. The walk state lives on this function's stack.
 *
 * The callback may append anywhere in the tree, as "Appending during a walk"
 * above says, and must not dispose any list the walk has not finished. */
TARNWICK_API void TARNWICK_CALL tarnwick_visit_node(const tarnwick_list *root, const tarnwick_node *node, void *context,
                                                    tarnwick_visit_fn callback);

/* Sets up `iter` (overwriting all of it) for a walk of `node`'s children, or
 * of `root` when `node` is null. With no list at all, the walk is empty. Does
 * nothing when `iter` is null. */
TARNWICK_API void TARNWICK_CALL tarnwick_iter_init(const tarnwick_list *root, tarnwick_iter *iter,
                                                   const tarnwick_node *node);

/* Takes one step and returns `&iter->event`, valid until the next call, or
 * null. `root` is not read. Null means either
 *  - the walk is complete: `iter->top` is null and `event` holds the last END
 *    (or is zero for an empty walk); or
 *  - the nesting limit stopped it: `iter->top` is not null and `event` holds
 *    the START of the node that was not entered. The stop is for good.
 * Every later call returns null again. Returns null for a null `iter`. */
TARNWICK_API const tarnwick_event *TARNWICK_CALL tarnwick_iter_next(const tarnwick_list *root, tarnwick_iter *iter);

#ifdef __cplusplus
}
#endif

#endif /* TARNWICK_H */
