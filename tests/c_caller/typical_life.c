/* SPDX-License-Identifier: MIT */
/* A plain C program using the shipped library through its header alone: it
 * builds a node holding one data record, and checks that both walks give
 * exactly the five events of that tree, that the DATA event points into the
 * node's block, and that dispose empties the root. Exits 0 when all hold. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "tarnwick.h"

#define NODE_TAG       1
#define LEAF_TAG       2
#define PAYLOAD        "hello"
#define PAYLOAD_LENGTH ((int)(sizeof PAYLOAD - 1))
#define EVENT_COUNT    5

/* The first events of one walk, and how many it gave in all. */
typedef struct walk_record {
    tarnwick_event events[EVENT_COUNT];
    int count;
} walk_record;

static int failures = 0;

static void expect(int holds, const char *walk, const char *what) {
    if (!holds) {
        fprintf(stderr, "%s: %s\n", walk, what);
        ++failures;
    }
}

/* Keeps the first EVENT_COUNT events; counts all of them. */
static void record_event(walk_record *walk, const tarnwick_event *event) {
    if (walk->count < EVENT_COUNT) walk->events[walk->count] = *event;
    ++walk->count;
}

static int TARNWICK_CALL on_event(void *context, int type, unsigned tag, const unsigned char *data, int length) {
    tarnwick_event event;
    event.type = type;
    event.tag = (uint16_t)tag;
    event.data = data;
    event.length = length;
    record_event((walk_record *)context, &event);
    return 0;
}

/* The bytes [data, data + length) lie in the data area in use of `block`;
 * compared as integers, since a wrong pointer may point anywhere. */
static int lies_in(const tarnwick_block *block, const unsigned char *data, int length) {
    uintptr_t p = (uintptr_t)data;
    return block != NULL && p >= (uintptr_t)block->data && p + (uintptr_t)length <= (uintptr_t)block->data_end;
}

/* START 1, START 2, DATA 2 "hello" inside the node's block, END 2, END 1. */
static void check_walk(const char *name, const walk_record *walk, const tarnwick_node *node) {
    static const int types[EVENT_COUNT] = {TARNWICK_EVENT_START, TARNWICK_EVENT_START, TARNWICK_EVENT_DATA,
                                           TARNWICK_EVENT_END, TARNWICK_EVENT_END};
    static const unsigned tags[EVENT_COUNT] = {NODE_TAG, LEAF_TAG, LEAF_TAG, LEAF_TAG, NODE_TAG};
    int i;
    expect(walk->count == EVENT_COUNT, name, "not five events");
    for (i = 0; i < EVENT_COUNT && i < walk->count; ++i) {
        const tarnwick_event *e = &walk->events[i];
        int is_data = types[i] == TARNWICK_EVENT_DATA;
        printf("%s: type %d tag %u length %d\n", name, e->type, (unsigned)e->tag, e->length);
        expect(e->type == types[i] && e->tag == tags[i], name, "wrong type or tag");
        expect(is_data ? e->length == PAYLOAD_LENGTH : e->length == 0 && e->data == NULL, name,
               "wrong length or data pointer");
        if (is_data && e->length == PAYLOAD_LENGTH) {
            expect(lies_in(node->children.first, e->data, e->length), name, "data not in the node's block");
            expect(memcmp(e->data, PAYLOAD, (size_t)PAYLOAD_LENGTH) == 0, name, "wrong data bytes");
        }
    }
}

int main(void) {
    tarnwick_list root;
    tarnwick_node *node;
    tarnwick_iter iter;
    const tarnwick_event *event;
    walk_record visited = {0}, pulled = {0};

    expect(tarnwick_init(&root) == 0, "init", "failed");
    node = tarnwick_create_node(&root, NULL, NODE_TAG);
    if (node == NULL || tarnwick_create_data(&root, node, LEAF_TAG, PAYLOAD, PAYLOAD_LENGTH) != 0) {
        fprintf(stderr, "building the tree failed\n");
        return 1;
    }

    tarnwick_visit_node(&root, NULL, &visited, on_event);
    check_walk("visit", &visited, node);

    tarnwick_iter_init(&root, &iter, NULL);
    while ((event = tarnwick_iter_next(&root, &iter)) != NULL && pulled.count <= EVENT_COUNT)
        record_event(&pulled, event);
    check_walk("iter", &pulled, node);
    expect(event == NULL && iter.top == NULL, "iter", "not complete after the last END");

    tarnwick_dispose(&root);
    expect(root.first == NULL && root.last == NULL, "dispose", "root not empty");
    printf("%s\n", failures == 0 ? "typical life ok" : "typical life FAILED");
    return failures == 0 ? 0 : 1;
}
