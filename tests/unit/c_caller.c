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

/* The layouts are given in words (W: 4 bytes on i386, 8 on x86_64); the
 * 64-bit counters align to 4 bytes on i386 and to 8 on x86_64. */
#define W sizeof(void *)
_Static_assert(sizeof(call_stack) == 2 * W && offsetof(call_stack, return_addresses) == W, "call_stack");
_Static_assert(sizeof(config_option) == 3 * W && offsetof(config_option, next) == 2 * W, "config_option");
_Static_assert(offsetof(aht_avl_tree, root) == 3 * W, "aht_avl_tree");
_Static_assert(offsetof(aht_avl_node, key) == 5 * W && offsetof(aht_avl_node, right_height) == 7 * W + 4 &&
                   sizeof(aht_avl_node) == 7 * W + 8,
               "aht_avl_node");
_Static_assert(sizeof(event_record) == 5 * W, "event_record");
_Static_assert(offsetof(caller_record, total_allocated) == 3 * W && sizeof(caller_record) == 3 * W + 32,
               "caller_record");
_Static_assert(sizeof(allocation_record) == 3 * W && offsetof(allocation_record, caller) == 2 * W &&
                   sizeof(friendly_frame) == 3 * W,
               "allocation_record");
_Static_assert(W != 4 || (sizeof(call_stack) == 8 && sizeof(caller_record) == 44 && sizeof(aht_avl_node) == 36),
               "the 32-bit layouts");
#undef W

static int compare_ints(const void *stored, const void *probe) { return *(const int *)stored - *(const int *)probe; }

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
