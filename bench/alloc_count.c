/* SPDX-License-Identifier: MIT */
/* Replaces the allocator's public entry points with wrappers that forward to
 * glibc's internal ones and, while counting, track live and peak bytes. The
 * benchmark is single-threaded, so plain counters suffice. */
#include "alloc_count.h"

#include <malloc.h>
#include <stdint.h>
#include <errno.h>
#include <stdlib.h>

extern void *__libc_malloc(size_t size);
extern void *__libc_calloc(size_t count, size_t size);
extern void *__libc_realloc(void *memory, size_t size);
extern void *__libc_memalign(size_t alignment, size_t size);
extern void __libc_free(void *memory);

static int counting;
static int64_t live_bytes;
static int64_t peak_bytes;
static size_t calls;

static int logging;
static struct alloc_log_entry *log_entries;
static size_t log_count, log_capacity;

/* The log grows through the C library's own entry points, outside the log. */
static void log_call(void *memory, size_t size) {
    if (!logging || memory == NULL) return;
    if (log_count == log_capacity) {
        size_t capacity = log_capacity == 0 ? 4096 : 2 * log_capacity;
        struct alloc_log_entry *grown = __libc_realloc(log_entries, capacity * sizeof *grown);
        if (grown == NULL) abort();
        log_entries = grown;
        log_capacity = capacity;
    }
    log_entries[log_count].memory = memory;
    log_entries[log_count].size = size;
    ++log_count;
}

static void *counted(void *memory) {
    if (counting && memory != NULL) {
        live_bytes += (int64_t)malloc_usable_size(memory);
        if (live_bytes > peak_bytes) peak_bytes = live_bytes;
        ++calls;
    }
    return memory;
}

static void uncount(void *memory) {
    if (counting && memory != NULL) live_bytes -= (int64_t)malloc_usable_size(memory);
}

void alloc_count_start(void) {
    live_bytes = peak_bytes = 0;
    calls = 0;
    counting = 1;
}

size_t alloc_count_stop(void) {
    counting = 0;
    return (size_t)peak_bytes;
}

size_t alloc_count_calls(void) { return calls; }

void alloc_log_start(void) {
    log_count = 0;
    logging = 1;
}

const struct alloc_log_entry *alloc_log_stop(size_t *count) {
    logging = 0;
    *count = log_count;
    return log_entries;
}

void *malloc(size_t size) {
    void *memory = counted(__libc_malloc(size));
    log_call(memory, size);
    return memory;
}

void *calloc(size_t count, size_t size) {
    void *memory = counted(__libc_calloc(count, size));
    log_call(memory, count * size);
    return memory;
}

void *realloc(void *memory, size_t size) {
    void *moved;
    uncount(memory);
    moved = __libc_realloc(memory, size);
    /* A refused realloc leaves the old block in place and still live. */
    if (moved == NULL && size != 0) {
        counted(memory);
        return NULL;
    }
    return counted(moved);
}

void free(void *memory) {
    uncount(memory);
    log_call(memory, 0);
    __libc_free(memory);
}

void *memalign(size_t alignment, size_t size) { return counted(__libc_memalign(alignment, size)); }

void *aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }

int posix_memalign(void **out, size_t alignment, size_t size) {
    void *memory = memalign(alignment, size);
    if (memory == NULL) return ENOMEM;
    *out = memory;
    return 0;
}
