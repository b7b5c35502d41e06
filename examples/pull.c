/* SPDX-License-Identifier: MIT */
/* Pulls a walk's events one at a time with the iterator, whose state lives
 * in a tarnwick_iter of the caller's, and tells the two ways a walk ends: a
 * null with `top` null is the end, a null with `top` set is the nesting
 * limit, which a chain of nodes one deeper than TARNWICK_MAX_LEVELS meets. */
#include <stdio.h>
#include <tarnwick.h>

/* Prints every event of the walk, indented by depth, and how it ended.
 * Returns 1 when the nesting limit stopped it. */
static int print_walk(const tarnwick_list *root) {
    static const char *const names[] = {"", "START", "DATA", "END"};
    tarnwick_iter iter;
    const tarnwick_event *e;
    int depth = 0;

    tarnwick_iter_init(root, &iter, NULL);
    while ((e = tarnwick_iter_next(root, &iter)) != NULL) {
        if (e->type == TARNWICK_EVENT_END) --depth;
        printf("%*s%s %u", 2 * depth, "", names[e->type], (unsigned)e->tag);
        if (e->type == TARNWICK_EVENT_DATA) printf(" (%d bytes)", e->length);
        printf("\n");
        if (e->type == TARNWICK_EVENT_START) ++depth;
    }
    if (iter.top == NULL) {
        printf("complete\n");
        return 0;
    }
    /* The iterator keeps the START of the node it did not enter. */
    printf("stopped at the nesting limit: node %u lies more than %d deep\n", (unsigned)iter.event.tag,
           TARNWICK_MAX_LEVELS);
    return 1;
}

/* Appends a chain of `count` nodes, each inside the one before, tagged 1,
 * 2, ...; the innermost holds one data record. Returns 0, or 1 when out of
 * memory. */
static int build_chain(tarnwick_list *root, int count) {
    tarnwick_node *node = NULL;
    int tag;
    for (tag = 1; tag <= count; ++tag) {
        node = tarnwick_create_node(root, node, tag);
        if (node == NULL) return 1;
    }
    return tarnwick_create_data(root, node, 100, "deep", 4) != 0;
}

int main(void) {
    tarnwick_list shallow, deep;
    int failed;

    tarnwick_init(&shallow);
    tarnwick_init(&deep);
    failed = build_chain(&shallow, 2) || build_chain(&deep, TARNWICK_MAX_LEVELS + 1);
    if (!failed) {
        print_walk(&shallow);
        print_walk(&deep);
    }
    tarnwick_dispose(&shallow);
    tarnwick_dispose(&deep);
    if (failed) fprintf(stderr, "out of memory\n");
    return failed;
}
