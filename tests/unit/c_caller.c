/* A C caller of the library: the public headers compile as C, the records
 * have the layout a C declaration gives them, and the exported functions
 * link by their plain names from the shared library. */
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "aht_avl.h"
#include "config.h"
#include "debug_alloc_log.h"
#include "event_processing/event_processing.h"
#include "private_heap/private_heap.h"
#include "stack_walk/stack_walk.h"
#include "string_util.h"
#include "trigger.h"

_Static_assert(sizeof(call_stack) == 8 && offsetof(call_stack, return_addresses) == 4, "call_stack");
_Static_assert(sizeof(config_option) == 12 && offsetof(config_option, next) == 8, "config_option");
_Static_assert(offsetof(aht_avl_tree, root) == 12, "aht_avl_tree");
_Static_assert(offsetof(aht_avl_node, key) == 20 && offsetof(aht_avl_node, right_height) == 32 &&
                   sizeof(aht_avl_node) == 36,
               "aht_avl_node");
_Static_assert(sizeof(event_record) == 20, "event_record");
_Static_assert(offsetof(caller_record, total_allocated) == 12 && sizeof(caller_record) == 44, "caller_record");
_Static_assert(sizeof(allocation_record) == 12 && sizeof(friendly_frame) == 12, "allocation_record");

static int compare_ints(const void *stored, const void *probe) {
    return *(const int *)stored - *(const int *)probe;
}

#define CHECK(cond)                                                                                                    \
    do {                                                                                                               \
        if (!(cond)) {                                                                                                 \
            fprintf(stderr, "failed: %s\n", #cond);                                                                    \
            return 1;                                                                                                  \
        }                                                                                                              \
    } while (0)

int main(void) {
    config_option *list = NULL;
    CHECK(parse_config_string("a=1,B={x,y}", &list) == 0);
    config_option *b = find_option(&list, "b");
    CHECK(b != NULL && strcmp(b->value, "{x,y}") == 0);
    free_config_option(&b);
    CHECK(b == NULL && list != NULL && strcmp(list->name, "a") == 0);
    free_config_option(&list);

    call_stack *stack = walk_stack(4, 0);
    CHECK(stack != NULL && stack->frame_count >= 1);
    call_stack *copy = clone_stack(stack);
    CHECK(copy != NULL && copy->return_addresses[0] == stack->return_addresses[0]);
    free_stack(copy);
    free_stack(stack);

    int keys[3] = {2, 1, 3};
    aht_avl_tree *tree = aht_alloc_avl_tree(compare_ints, NULL, NULL);
    CHECK(tree != NULL);
    for (int i = 0; i < 3; i++)
        CHECK(aht_avl_insert(tree, &keys[i], &keys[i]) == 0);
    aht_avl_node *cursor = NULL;
    for (int expected = 1; expected <= 3; expected++)
        CHECK(*(int *)aht_avl_tree_iterate(tree, &cursor) == expected);
    aht_avl_free(tree);

    int order = 0;
    CHECK(strcmp_ci("ABC", "abc", &order) == 0 && order == 0);
    CHECK(is_trace_enabled() == 1 && current_thread_is_profiler() == 0);
    char *text = pf_debug_strdup("x", __FILE__, __LINE__);
    CHECK(text != NULL && dlmalloc_usable_size(text) >= 2);
    pf_debug_free(text, __FILE__, __LINE__);
    return 0;
}
