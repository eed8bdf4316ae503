/*
 * The ordered map behind every table of the tracker: a height-balanced
 * binary search tree of opaque key and value pointers, ordered by a
 * comparator its owner supplies. Every node is also threaded into a doubly
 * linked list in key order, so a walk over a whole table is one link per
 * entry and needs no stack.
 *
 * The tree stores pointers only; it never copies or releases a key or a
 * value. Nodes and handles come from the private heap. Nothing here locks:
 * the owner of a tree serialises every use of it, iterations included.
 * A corrupt tree is dumped to standard output and ends the process.
 */
#ifndef QUARROW_AHT_AVL_H
#define QUARROW_AHT_AVL_H

#include <stdint.h>

#include "export.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Called as compare(stored key, probe key): 0 when equal, negative when the
 * stored key is smaller than the probe, positive when it is larger. Only the
 * sign counts.
 */
typedef int (*aht_compare_function)(const void *stored_key, const void *probe_key);

/* Renders a key or a value for dumps; never null, read only, not released. */
typedef const char *(*aht_to_string_function)(const void *item);

typedef struct aht_avl_node {
    struct aht_avl_node *parent;      /* null at the root */
    struct aht_avl_node *left;        /* smaller keys */
    struct aht_avl_node *right;       /* larger keys */
    struct aht_avl_node *predecessor; /* in-order previous; null at the smallest */
    struct aht_avl_node *successor;   /* in-order next; null at the largest */
    void *key;
    void *value;
    int32_t left_height; /* nodes on the longest path down the left side; 0 without a left child */
    int32_t right_height;
} aht_avl_node;

typedef struct aht_avl_tree {
    aht_compare_function compare;
    aht_to_string_function key_to_string;   /* null: dumps print the pointer */
    aht_to_string_function value_to_string; /* null: dumps print the pointer */
    aht_avl_node *root;                     /* null when empty */
} aht_avl_tree;

/* A new empty tree, or null when the handle cannot be allocated (no message). */
QUARROW_EXPORT aht_avl_tree *aht_alloc_avl_tree(aht_compare_function compare, aht_to_string_function key_to_string,
                                                aht_to_string_function value_to_string);

/*
 * Adds key with value; an equal key already present keeps its key pointer and
 * takes the new value. 0 when done; when a node cannot be allocated the tree
 * is unchanged and the result is 1 (empty tree), 2 (new left child) or 4
 * (new right child).
 */
QUARROW_EXPORT int aht_avl_insert(aht_avl_tree *tree, void *key, void *value);

/*
 * 0 and the value stored through `value` when found; 1 for an empty tree;
 * 2 or 4 when not found (the last step would have gone left or right).
 * `value` is written only on success.
 */
QUARROW_EXPORT int aht_avl_search(aht_avl_tree *tree, const void *key, void **value);

/*
 * Removes the entry of key, storing its value through `value` unless that is
 * null. 0 when removed, 1 when not found. Key and value are not released.
 */
QUARROW_EXPORT int aht_avl_delete(aht_avl_tree *tree, const void *key, void **value);

/*
 * Cursor walk in ascending key order. Start with a null cursor; each call
 * returns the next value, or null at the end (and keeps returning null).
 * The cursor is a node: any change to the tree invalidates it.
 */
QUARROW_EXPORT void *aht_avl_tree_iterate(aht_avl_tree *tree, aht_avl_node **cursor);

/* Releases every node and the handle; keys and values are untouched. */
QUARROW_EXPORT void aht_avl_free(aht_avl_tree *tree);

/* Checks every stored height and the balance; ends the process on a violation. */
QUARROW_EXPORT void aht_avl_check_consistency(aht_avl_tree *tree);

/* Dumps the tree to standard output, one line per node in pre-order. */
QUARROW_EXPORT void aht_print_tree(aht_avl_tree *tree);

/* A node with every link and both heights zero, or null. */
QUARROW_EXPORT aht_avl_node *_allocate_node(void);

/*
 * The link that holds node: the tree's root field, or the parent's left or
 * right field. Ends the process when the parent does not point at node.
 */
QUARROW_EXPORT aht_avl_node **_get_reference(aht_avl_tree *tree, aht_avl_node *node);

#ifdef __cplusplus
}
#endif

#endif
