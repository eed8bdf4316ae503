/*
 * The threaded AVL tree behind every table (allocations, callers,
 * libraries), and its fatal stop. Rotations act on the link that holds a
 * node so they can re-point whatever held it; they never touch the
 * predecessor/successor thread, because they keep the in-order sequence.
 */
#include "aht_avl.h"

#include <stdio.h>
#include <stdlib.h>

#include "error_line.h"
#include "private_heap/private_heap.h"

static const char _source_file[] = "src/aht_avl.cpp";

// Read through a volatile object so the compiler cannot see that the store
// in crash() goes to address zero and replace it with a trap of its own.
static int *volatile _zero_address = nullptr;

// Not instrumented: the sanitizer would report the store and exit instead of
// letting the process die of the fault.
[[noreturn]] __attribute__((no_sanitize_undefined)) static void crash(void) {
    fflush(stderr);
    fflush(stdout);
    *(volatile int *)_zero_address = 42;
    abort(); // only if page zero were ever mapped
}

static int32_t _side_height(const aht_avl_node *child) {
    if (child == nullptr)
        return 0;
    return 1 + (child->left_height > child->right_height ? child->left_height : child->right_height);
}

static void _recompute_heights(aht_avl_node *node) {
    node->left_height = _side_height(node->left);
    node->right_height = _side_height(node->right);
}

static void _rotate_left(aht_avl_node **link);

static void _rotate_right(aht_avl_node **link) {
    aht_avl_node *node = *link;
    // A left child heavier on its inner side would only move the excess
    // across; turn it outward first.
    if (node->left != nullptr && node->left->right_height > node->left->left_height)
        _rotate_left(&node->left);
    aht_avl_node *pivot = node->left;
    pivot->parent = node->parent;
    node->parent = pivot;
    *link = pivot;
    node->left = pivot->right;
    if (node->left != nullptr)
        node->left->parent = node;
    pivot->right = node;
    _recompute_heights(node);
    _recompute_heights(pivot);
}

static void _rotate_left(aht_avl_node **link) {
    aht_avl_node *node = *link;
    if (node->right != nullptr && node->right->left_height > node->right->right_height)
        _rotate_right(&node->right);
    aht_avl_node *pivot = node->right;
    pivot->parent = node->parent;
    node->parent = pivot;
    *link = pivot;
    node->right = pivot->left;
    if (node->right != nullptr)
        node->right->parent = node;
    pivot->left = node;
    _recompute_heights(node);
    _recompute_heights(pivot);
}

// Each rotation moves node down one level; the loops re-test it until it is
// within 1, since a subtree moved by delete can leave it off by more than 2.
static void _balance(aht_avl_tree *tree, aht_avl_node *node) {
    while (node->right_height - node->left_height > 1)
        _rotate_left(_get_reference(tree, node));
    while (node->left_height - node->right_height > 1)
        _rotate_right(_get_reference(tree, node));
}

static int32_t _node_check_consistency(aht_avl_tree *tree, aht_avl_node *node) {
    int32_t actual_left = node->left != nullptr ? 1 + _node_check_consistency(tree, node->left) : 0;
    int32_t actual_right = node->right != nullptr ? 1 + _node_check_consistency(tree, node->right) : 0;
    bool failed = false;
    if (actual_left != node->left_height) {
        fprintf(stderr, "Inconsistent left height calculated. Ptr = %p, actual = %d, set = %d\n", (void *)node,
                (int)actual_left, (int)node->left_height);
        failed = true;
    } else if (actual_right != node->right_height) {
        fprintf(stderr, "Inconsistent right height calculated. Ptr = %p, actual = %d, set = %d\n", (void *)node,
                (int)actual_right, (int)node->right_height);
        failed = true;
    } else if (node->left_height - node->right_height > 1 || node->right_height - node->left_height > 1) {
        fprintf(stderr, "Node %p is unbalanced\n", (void *)node);
        failed = true;
    }
    if (failed) {
        aht_print_tree(tree);
        crash();
    }
    return node->left_height > node->right_height ? node->left_height : node->right_height;
}

static void _node_recursive_free(aht_avl_node *node) {
    if (node->left != nullptr)
        _node_recursive_free(node->left);
    if (node->right != nullptr)
        _node_recursive_free(node->right);
    dlfree(node);
}

// Dumps run on the way to crash(), so a formatter that broke its promise
// and returned null must not take the dump down with it.
static const char *_render(aht_to_string_function to_string, const void *item) {
    const char *text = to_string(item);
    return text != nullptr ? text : "(null)";
}

static void _print_node(aht_avl_tree *tree, aht_avl_node *node, int recurse) {
    aht_to_string_function key_text = tree->key_to_string;
    aht_to_string_function value_text = tree->value_to_string;
    aht_avl_node *parent = node->parent;
    if (key_text != nullptr && value_text != nullptr) {
        printf("Node,%p,%d,%d,%p,%p,%p,%.10s,%.10s,%.10s,%p,%p\n", (void *)node, (int)node->left_height,
               (int)node->right_height, (void *)node->left, (void *)node->right, (void *)parent,
               parent != nullptr ? _render(key_text, parent->key) : "", _render(key_text, node->key),
               _render(value_text, node->value), (void *)node->predecessor, (void *)node->successor);
    } else if (key_text != nullptr) {
        printf("Node,%p,%d,%d,%p,%p,%p,%.10s,%.10s,%p,%p,%p\n", (void *)node, (int)node->left_height,
               (int)node->right_height, (void *)node->left, (void *)node->right, (void *)parent,
               parent != nullptr ? _render(key_text, parent->key) : "", _render(key_text, node->key), node->value,
               (void *)node->predecessor, (void *)node->successor);
    } else if (value_text != nullptr) {
        printf("Node,%p,%d,%d,%p,%p,%p,%p,%p,%.10s,%p,%p\n", (void *)node, (int)node->left_height,
               (int)node->right_height, (void *)node->left, (void *)node->right, (void *)parent,
               parent != nullptr ? parent->key : nullptr, node->key, _render(value_text, node->value),
               (void *)node->predecessor, (void *)node->successor);
    } else {
        printf("Node,%p,%d,%d,%p,%p,%p,%p,%p,%p,%p,%p\n", (void *)node, (int)node->left_height, (int)node->right_height,
               (void *)node->left, (void *)node->right, (void *)parent, parent != nullptr ? parent->key : nullptr,
               node->key, node->value, (void *)node->predecessor, (void *)node->successor);
    }
    if (recurse) {
        if (node->left != nullptr)
            _print_node(tree, node->left, recurse);
        if (node->right != nullptr)
            _print_node(tree, node->right, recurse);
    }
}

// A node holding key and value, or null after the error line.
static aht_avl_node *_new_node(void *key, void *value) {
    aht_avl_node *node = _allocate_node();
    if (node == nullptr) {
        QUARROW_ERROR_LINE("Malloc failed!");
        return nullptr;
    }
    node->key = key;
    node->value = value;
    return node;
}

extern "C" {

aht_avl_node *_allocate_node(void) {
    aht_avl_node *node = (aht_avl_node *)dlmalloc(sizeof(aht_avl_node));
    if (node == nullptr)
        return nullptr;
    node->parent = nullptr;
    node->left = nullptr;
    node->right = nullptr;
    node->predecessor = nullptr;
    node->successor = nullptr;
    node->key = nullptr;
    node->value = nullptr;
    node->left_height = 0;
    node->right_height = 0;
    return node;
}

aht_avl_node **_get_reference(aht_avl_tree *tree, aht_avl_node *node) {
    aht_avl_node *parent = node->parent;
    if (parent == nullptr)
        return &tree->root;
    if (parent->left == node)
        return &parent->left;
    if (parent->right == node)
        return &parent->right;
    fprintf(stderr, "Corrupt tree detected. Node = %p\n", (void *)node);
    aht_print_tree(tree);
    crash();
}

aht_avl_tree *aht_alloc_avl_tree(aht_compare_function compare, aht_to_string_function key_to_string,
                                 aht_to_string_function value_to_string) {
    aht_avl_tree *tree = (aht_avl_tree *)dlmalloc(sizeof(aht_avl_tree));
    if (tree == nullptr)
        return nullptr;
    tree->compare = compare;
    tree->key_to_string = key_to_string;
    tree->value_to_string = value_to_string;
    tree->root = nullptr;
    return tree;
}

int aht_avl_insert(aht_avl_tree *tree, void *key, void *value) {
    if (tree->root == nullptr) {
        aht_avl_node *node = _new_node(key, value);
        if (node == nullptr)
            return 1;
        tree->root = node;
        return 0;
    }

    aht_avl_node *node = tree->root;
    for (;;) {
        int order = tree->compare(node->key, key);
        if (order == 0) {
            // The first key pointer stays: the owner may hold on to it.
            node->value = value;
            break;
        }
        if (order > 0) {
            if (node->left != nullptr) {
                node = node->left;
                continue;
            }
            aht_avl_node *added = _new_node(key, value);
            if (added == nullptr)
                return 2;
            added->parent = node;
            node->left = added;
            added->successor = node;
            added->predecessor = node->predecessor;
            if (node->predecessor != nullptr)
                node->predecessor->successor = added;
            node->predecessor = added;
            node = added;
            break;
        }
        if (node->right != nullptr) {
            node = node->right;
            continue;
        }
        aht_avl_node *added = _new_node(key, value);
        if (added == nullptr)
            return 4;
        added->parent = node;
        node->right = added;
        added->predecessor = node;
        added->successor = node->successor;
        if (node->successor != nullptr)
            node->successor->predecessor = added;
        node->successor = added;
        node = added;
        break;
    }

    for (aht_avl_node *parent = node->parent; parent != nullptr; parent = parent->parent) {
        if (parent->left == node)
            parent->left_height = _side_height(node);
        else
            parent->right_height = _side_height(node);
        _balance(tree, parent);
        node = parent;
    }
    return 0;
}

int aht_avl_search(aht_avl_tree *tree, const void *key, void **value) {
    aht_avl_node *node = tree->root;
    if (node == nullptr)
        return 1;
    for (;;) {
        int order = tree->compare(node->key, key);
        if (order == 0) {
            *value = node->value;
            return 0;
        }
        aht_avl_node *next = order > 0 ? node->left : node->right;
        if (next == nullptr)
            return order > 0 ? 2 : 4;
        node = next;
    }
}

int aht_avl_delete(aht_avl_tree *tree, const void *key, void **value) {
    aht_avl_node *doomed = tree->root;
    while (doomed != nullptr) {
        int order = tree->compare(doomed->key, key);
        if (order == 0)
            break;
        doomed = order > 0 ? doomed->left : doomed->right;
    }
    if (doomed == nullptr)
        return 1;
    if (value != nullptr)
        *value = doomed->value;

    if (doomed->predecessor != nullptr)
        doomed->predecessor->successor = doomed->successor;
    if (doomed->successor != nullptr)
        doomed->successor->predecessor = doomed->predecessor;

    aht_avl_node **link = _get_reference(tree, doomed);
    aht_avl_node *left = doomed->left;
    aht_avl_node *right = doomed->right;
    aht_avl_node *start;
    if (left == nullptr && right == nullptr) {
        *link = nullptr;
        start = doomed->parent;
    } else if (doomed->left_height >= doomed->right_height) {
        // The left child rises; its right subtree still lies between it and
        // everything on the right, so it goes under the in-order successor.
        aht_avl_node *moved = left->right;
        if (moved != nullptr) {
            if (right == nullptr) {
                fprintf(stderr, "Corrupt tree detected. Node = %p\n", (void *)doomed);
                aht_print_tree(tree);
                crash();
            }
            aht_avl_node *leftmost = right;
            while (leftmost->left != nullptr)
                leftmost = leftmost->left;
            leftmost->left = moved;
            moved->parent = leftmost;
            start = moved;
        } else {
            start = left;
        }
        *link = left;
        left->right = right;
        if (right != nullptr)
            right->parent = left;
        left->parent = doomed->parent;
    } else {
        aht_avl_node *moved = right->left;
        if (moved != nullptr) {
            if (left == nullptr) {
                fprintf(stderr, "Corrupt tree detected. Node = %p\n", (void *)doomed);
                aht_print_tree(tree);
                crash();
            }
            aht_avl_node *rightmost = left;
            while (rightmost->right != nullptr)
                rightmost = rightmost->right;
            rightmost->right = moved;
            moved->parent = rightmost;
            start = moved;
        } else {
            start = right;
        }
        *link = right;
        right->left = left;
        if (left != nullptr)
            left->parent = right;
        right->parent = doomed->parent;
    }
    dlfree(doomed);

    for (aht_avl_node *node = start; node != nullptr; node = node->parent) {
        _recompute_heights(node);
        _balance(tree, node);
    }
    return 0;
}

void *aht_avl_tree_iterate(aht_avl_tree *tree, aht_avl_node **cursor) {
    aht_avl_node *node = *cursor;
    if (node == nullptr) {
        node = tree->root;
        if (node == nullptr)
            return nullptr;
        while (node->predecessor != nullptr)
            node = node->predecessor;
    } else {
        node = node->successor;
        if (node == nullptr)
            return nullptr;
    }
    *cursor = node;
    return node->value;
}

void aht_avl_free(aht_avl_tree *tree) {
    if (tree->root != nullptr)
        _node_recursive_free(tree->root);
    dlfree(tree);
}

void aht_avl_check_consistency(aht_avl_tree *tree) {
    if (tree->root != nullptr)
        _node_check_consistency(tree, tree->root);
}

void aht_print_tree(aht_avl_tree *tree) {
    if (tree->root == nullptr) {
        printf("Tree %p is empty\n", (void *)tree);
        return;
    }
    printf("Start Print Tree\n");
    _print_node(tree, tree->root, 1);
    printf("End Print Tree\n");
}

} // extern "C"
