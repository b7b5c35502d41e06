/* SPDX-License-Identifier: MIT */
/* Builds a node holding two data records, prints the walk's events and
 * releases the tree. */
#include <stdio.h>
#include <tarnwick.h>

static int TARNWICK_CALL print(void *context, int type, unsigned tag, const unsigned char *data, int length) {
    static const char *const names[] = {"", "START", "DATA", "END"};
    (void)context;
    printf("%s %u", names[type], tag);
    if (type == TARNWICK_EVENT_DATA) printf(" \"%.*s\"", length, (const char *)data);
    printf("\n");
    return 0;
}

int main(void) {
    tarnwick_list root;
    tarnwick_node *greeting;
    int failed;

    tarnwick_init(&root);
    greeting = tarnwick_create_node(&root, NULL, 1);
    failed = greeting == NULL || tarnwick_create_data(&root, greeting, 2, "hello", 5) != 0 ||
             tarnwick_create_data(&root, greeting, 3, "world", 5) != 0;
    if (!failed) tarnwick_visit_node(&root, NULL, NULL, print);
    tarnwick_dispose(&root);
    if (failed) fprintf(stderr, "out of memory\n");
    return failed;
}
