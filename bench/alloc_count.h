/* SPDX-License-Identifier: MIT */
/* Counts the heap bytes a stretch of code holds at its peak. The benchmark
 * binary replaces malloc and friends with thin wrappers around the C
 * library's own entry points, so every allocation in the process goes through
 * them: the shared libtarnwick's callocs as well as operator new, msgpack-c's
 * and libcbor's mallocs. Bytes are counted as the allocator reports them
 * (malloc_usable_size), so every contender is measured by one rule; for a
 * libtarnwick block that is exactly the size it asks for. Outside a counted
 * stretch the wrappers only forward.
 *
 * They can also log a stretch: every allocation with the size asked for, and
 * every release, in the order they happen. The format floor replays
 * libtarnwick's log. */
#ifndef BENCH_ALLOC_COUNT_H
#define BENCH_ALLOC_COUNT_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

void alloc_count_start(void);
/* Stops counting; returns the peak of live bytes since the start. */
size_t alloc_count_stop(void);
/* Allocations made since the last start. */
size_t alloc_count_calls(void);

/* One logged call: the memory allocated and the bytes asked for, or the
 * memory released and 0. */
struct alloc_log_entry {
    void *memory;
    size_t size;
};

void alloc_log_start(void);
/* Stops logging; returns the calls since the start, in order, and stores
 * their number in `count`. They stay readable until the next start. */
const struct alloc_log_entry *alloc_log_stop(size_t *count);

#ifdef __cplusplus
}
#endif

#endif
