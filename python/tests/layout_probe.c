/* SPDX-License-Identifier: MIT */
/* Prints the size and field offsets of every structure the Python binding
 * lays out itself, and TARNWICK_MAX_LEVELS, as "name value" lines named as
 * tarnwick._layout.layout() names them, with the constants it keeps (the
 * record header's word size through the node record's sizes). */
#include <stddef.h>
#include <stdio.h>
#include <tarnwick.h>

#define SIZE(type)         printf("%s %u\n", #type, (unsigned)sizeof(type))
#define FIELD(type, field) printf("%s.%s %u\n", #type, #field, (unsigned)offsetof(type, field))

int main(void) {
    printf("TARNWICK_MAX_LEVELS %d\n", TARNWICK_MAX_LEVELS);
    printf("TARNWICK_MAX_TAG %d\n", TARNWICK_MAX_TAG);
    printf("TARNWICK_MAX_LENGTH %d\n", TARNWICK_MAX_LENGTH);
    printf("TARNWICK_EVENT_START %d\n", TARNWICK_EVENT_START);
    printf("TARNWICK_EVENT_DATA %d\n", TARNWICK_EVENT_DATA);
    printf("TARNWICK_EVENT_END %d\n", TARNWICK_EVENT_END);
    printf("TARNWICK_NODE_LENGTH %d\n", (int)TARNWICK_NODE_LENGTH);
    printf("TARNWICK_NODE_RECORD_SIZE %d\n", (int)TARNWICK_NODE_RECORD_SIZE);
    FIELD(tarnwick_block, next);
    FIELD(tarnwick_block, prev);
    FIELD(tarnwick_block, data_end);
    FIELD(tarnwick_block, space);
    FIELD(tarnwick_block, capacity);
    FIELD(tarnwick_block, data);
    SIZE(tarnwick_list);
    FIELD(tarnwick_list, first);
    FIELD(tarnwick_list, last);
    SIZE(tarnwick_node);
    FIELD(tarnwick_node, children);
    FIELD(tarnwick_node, record);
    SIZE(tarnwick_event);
    FIELD(tarnwick_event, type);
    FIELD(tarnwick_event, tag);
    FIELD(tarnwick_event, data);
    FIELD(tarnwick_event, length);
    SIZE(tarnwick_frame);
    FIELD(tarnwick_frame, block);
    FIELD(tarnwick_frame, record);
    FIELD(tarnwick_frame, list);
    FIELD(tarnwick_frame, state);
    FIELD(tarnwick_frame, ptr);
    SIZE(tarnwick_iter);
    FIELD(tarnwick_iter, levels);
    FIELD(tarnwick_iter, event);
    FIELD(tarnwick_iter, top);
    FIELD(tarnwick_iter, frames);
    return 0;
}
