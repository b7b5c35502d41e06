/* The life of a small tree: build a node holding one data record, walk it,
 * print its events and the bytes of its blocks, and release it. */
#include <stdio.h>

#include "tarnwick.h"

static int TARNWICK_CALL print_event(void *context, int type, unsigned tag, const unsigned char *data,
                                     int length) {
    static const char *const names[] = {"?", "START", "DATA", "END"};
    int *count = (int *)context;
    ++*count;
    printf("%-5s tag %u", names[type], tag);
    if (type == TARNWICK_EVENT_DATA) printf(" \"%.*s\" (%d bytes)", length, (const char *)data, length);
    printf("\n");
    return 0;
}

static void print_blocks(const char *name, const tarnwick_list *list) {
    const tarnwick_block *block;
    for (block = list->first; block != NULL; block = block->next) {
        const unsigned char *p;
        printf("%s block: capacity %u, used %d, space %u:", name, (unsigned)block->capacity,
               (int)(block->data_end - block->data), (unsigned)block->space);
        for (p = block->data; p != block->data_end; ++p) printf(" %02x", *p);
        printf("\n");
    }
}

int main(void) {
    tarnwick_list root;
    tarnwick_node *node;
    int events = 0;

    tarnwick_init(&root);
    node = tarnwick_create_node(&root, NULL, 1);
    if (node == NULL || tarnwick_create_data(&root, node, 2, "hello", 5) != 0) {
        fprintf(stderr, "out of memory\n");
        return 1;
    }
    tarnwick_visit_node(&root, NULL, &events, print_event);
    print_blocks("root", &root);
    print_blocks("node", &node->children);
    tarnwick_dispose(&root);
    return events == 5 && root.first == NULL ? 0 : 1;
}
