/*
 * Unit tests of the threaded AVL tree: a randomized run against std::map
 * that checks every invariant after each step, the shape rules of delete,
 * the result codes, the dump lines, the fatal stops, allocation failure and
 * the return of every byte on free.
 */
#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "aht_avl.h"
#include "private_heap.h"

namespace {

/* ---- keys, values and comparators --------------------------------------- */

// Keys are pointers to ints ordered by the int. Two pools hold equal numbers
// at different addresses (to see which key pointer a node keeps); probes for
// search and delete come from a third pool that is never stored.
const int kPoolSize = 2048;
int stored_pool_a[kPoolSize];
int stored_pool_b[kPoolSize];
int probe_pool[kPoolSize];
int swapped_arguments = 0;

void fill_pools() {
    for (int i = 0; i < kPoolSize; i++)
        stored_pool_a[i] = stored_pool_b[i] = probe_pool[i] = i;
}

void note(const void *stored, const void *probe, int *a, int *b) {
    if (stored >= (const void *)probe_pool && stored < (const void *)(probe_pool + kPoolSize))
        swapped_arguments++;
    *a = *(const int *)stored;
    *b = *(const int *)probe;
}

int compare_sign(const void *stored, const void *probe) {
    int a, b;
    note(stored, probe, &a, &b);
    return (a > b) - (a < b);
}

// Only the sign may count: the largest magnitudes at both ends.
int compare_extreme(const void *stored, const void *probe) {
    int a, b;
    note(stored, probe, &a, &b);
    if (a < b)
        return INT_MIN + (b - a - 1);
    if (a > b)
        return INT_MAX - (a - b - 1);
    return 0;
}

int compare_scaled(const void *stored, const void *probe) {
    int a, b;
    note(stored, probe, &a, &b);
    return (a - b) * 1000003; // |a - b| < 2048 keeps this in range
}

void *value_for(int n) { return (void *)(uintptr_t)(8 * n + 8); }

/* ---- whole-tree checker ------------------------------------------------- */

// Recomputes heights, checks balance and parent links, and lists the nodes
// in order. Returns the exact height; the first fault found lands in fault.
int walk(aht_avl_node *node, aht_avl_node *parent, std::vector<aht_avl_node *> &nodes, std::string &fault) {
    if (node == nullptr)
        return 0;
    char where[64];
    snprintf(where, sizeof where, "node of key %d: ", *(int *)node->key);
    if (node->parent != parent && fault.empty())
        fault = std::string(where) + "wrong parent link";
    int left = walk(node->left, node, nodes, fault);
    nodes.push_back(node);
    int right = walk(node->right, node, nodes, fault);
    if ((node->left_height != left || node->right_height != right) && fault.empty())
        fault = std::string(where) + "stored heights " + std::to_string(node->left_height) + "/" +
                std::to_string(node->right_height) + ", actual " + std::to_string(left) + "/" + std::to_string(right);
    if (abs(left - right) > 1 && fault.empty())
        fault = std::string(where) + "unbalanced";
    return 1 + std::max(left, right);
}

struct Entry {
    int *key; // the pointer the node must keep
    void *value;
};
typedef std::map<int, Entry> Model;

std::string tree_fault(aht_avl_tree *tree, const Model &model) {
    std::vector<aht_avl_node *> nodes;
    std::string fault;
    walk(tree->root, nullptr, nodes, fault);
    if (!fault.empty())
        return fault;
    if (nodes.size() != model.size())
        return "tree holds " + std::to_string(nodes.size()) + " nodes, model " + std::to_string(model.size());
    size_t i = 0;
    for (const auto &entry : model) {
        aht_avl_node *node = nodes[i];
        if (*(int *)node->key != entry.first)
            return "in-order key " + std::to_string(*(int *)node->key) + " where " + std::to_string(entry.first);
        if (node->key != entry.second.key)
            return "key pointer replaced at " + std::to_string(entry.first);
        if (node->value != entry.second.value)
            return "wrong value at " + std::to_string(entry.first);
        if (node->predecessor != (i > 0 ? nodes[i - 1] : nullptr))
            return "predecessor of " + std::to_string(entry.first);
        if (node->successor != (i + 1 < nodes.size() ? nodes[i + 1] : nullptr))
            return "successor of " + std::to_string(entry.first);
        i++;
    }
    aht_avl_node *cursor = nullptr;
    for (const auto &entry : model) {
        void *value = aht_avl_tree_iterate(tree, &cursor);
        if (value != entry.second.value)
            return "iteration differs at " + std::to_string(entry.first);
    }
    if (aht_avl_tree_iterate(tree, &cursor) != nullptr || aht_avl_tree_iterate(tree, &cursor) != nullptr)
        return "iteration runs past the end";
    aht_avl_check_consistency(tree); // ends the process if it disagrees
    return "";
}

int depth_of(const aht_avl_node *node) {
    int depth = 0;
    for (; node->parent != nullptr; node = node->parent)
        depth++;
    return depth;
}

aht_avl_node *find_node(aht_avl_tree *tree, int key) {
    std::vector<aht_avl_node *> nodes;
    std::string fault;
    walk(tree->root, nullptr, nodes, fault);
    for (aht_avl_node *node : nodes)
        if (*(int *)node->key == key)
            return node;
    return nullptr;
}

// A missing key's search path runs through both of its neighbours and ends
// at the deeper one: 2 when that is the larger neighbour, 4 otherwise.
int expected_miss_code(aht_avl_tree *tree, const Model &model, int key) {
    if (model.empty())
        return 1;
    auto above = model.upper_bound(key);
    if (above == model.begin())
        return 2;
    if (above == model.end())
        return 4;
    auto below = std::prev(above);
    int above_depth = depth_of(find_node(tree, above->first));
    int below_depth = depth_of(find_node(tree, below->first));
    return above_depth > below_depth ? 2 : 4;
}

/* ---- randomized run against a model ------------------------------------- */

void run_against_model(aht_compare_function compare, unsigned seed, int key_range, int steps) {
    fill_pools();
    swapped_arguments = 0;
    std::mt19937 random(seed);
    aht_avl_tree *tree = aht_alloc_avl_tree(compare, nullptr, nullptr);
    ASSERT_NE(tree, nullptr);
    Model model;
    void *const untouched = (void *)(uintptr_t)0xdead0;

    for (int step = 0; step < steps; step++) {
        int key = (int)(random() % (unsigned)key_range);
        unsigned action = random() % 100;
        SCOPED_TRACE("seed " + std::to_string(seed) + " step " + std::to_string(step) + " key " + std::to_string(key) +
                     " action " + std::to_string(action));
        if (action < 45) {
            int *key_pointer = random() % 2 ? &stored_pool_a[key] : &stored_pool_b[key];
            void *value = value_for(step);
            ASSERT_EQ(aht_avl_insert(tree, key_pointer, value), 0);
            auto found = model.find(key);
            if (found == model.end())
                model[key] = Entry{key_pointer, value};
            else
                found->second.value = value;
        } else if (action < 80) {
            void *removed = untouched;
            bool with_address = action < 75;
            int result = aht_avl_delete(tree, &probe_pool[key], with_address ? &removed : nullptr);
            auto found = model.find(key);
            if (found == model.end()) {
                ASSERT_EQ(result, 1);
                ASSERT_EQ(removed, untouched);
            } else {
                ASSERT_EQ(result, 0);
                ASSERT_EQ(removed, with_address ? found->second.value : untouched);
                model.erase(found);
            }
        } else {
            void *got = untouched;
            int result = aht_avl_search(tree, &probe_pool[key], &got);
            auto found = model.find(key);
            if (found != model.end()) {
                ASSERT_EQ(result, 0);
                ASSERT_EQ(got, found->second.value);
            } else {
                ASSERT_EQ(result, expected_miss_code(tree, model, key));
                ASSERT_EQ(got, untouched);
            }
        }
        ASSERT_EQ(tree_fault(tree, model), "");
    }
    EXPECT_EQ(swapped_arguments, 0) << "the comparator must get the stored key first";
    aht_avl_free(tree);
}

// Small ranges give many duplicates and misses; the large one deep trees
// whose deletes move big subtrees.
TEST(AvlTreeModel, RandomInsertDeleteSearch) {
    const struct {
        unsigned seed;
        int key_range, steps;
    } runs[] = {{1, 24, 3000}, {2, 24, 3000}, {3, 24, 3000}, {11, 200, 4000}, {12, 200, 4000}, {21, 2000, 6000}};
    for (const auto &run : runs)
        run_against_model(compare_sign, run.seed, run.key_range, run.steps);
}

TEST(AvlTreeModel, ComparatorsReturningExtremeValues) {
    for (unsigned seed = 31; seed <= 33; seed++) {
        run_against_model(compare_extreme, seed, 64, 2500);
        run_against_model(compare_scaled, seed + 100, 2047, 2500);
    }
}

// Emptying a full tree from the root down makes every delete move the
// largest possible subtree under an in-order neighbour.
TEST(AvlTreeModel, RepeatedRootDeletesWithRefills) {
    fill_pools();
    for (unsigned seed = 41; seed <= 46; seed++) {
        std::mt19937 random(seed);
        aht_avl_tree *tree = aht_alloc_avl_tree(compare_sign, nullptr, nullptr);
        Model model;
        int count = 200 + (int)(random() % 300);
        for (int i = 0; i < count; i++) {
            int key = (int)(random() % kPoolSize);
            ASSERT_EQ(aht_avl_insert(tree, &stored_pool_a[key], value_for(key)), 0);
            model[key] = Entry{&stored_pool_a[key], value_for(key)};
        }
        while (tree->root != nullptr) {
            SCOPED_TRACE("seed " + std::to_string(seed) + " entries " + std::to_string(model.size()));
            int key = *(int *)tree->root->key;
            ASSERT_EQ(aht_avl_delete(tree, &probe_pool[key], nullptr), 0);
            model.erase(key);
            if (random() % 5 == 0) {
                int extra = (int)(random() % kPoolSize);
                if (model.find(extra) == model.end()) {
                    ASSERT_EQ(aht_avl_insert(tree, &stored_pool_a[extra], value_for(extra)), 0);
                    model[extra] = Entry{&stored_pool_a[extra], value_for(extra)};
                }
            }
            ASSERT_EQ(tree_fault(tree, model), "");
        }
        aht_avl_free(tree);
    }
}

/* ---- edge cases --------------------------------------------------------- */

class AvlTreeEdge : public testing::Test {
protected:
    void SetUp() override {
        fill_pools();
        tree = aht_alloc_avl_tree(compare_sign, nullptr, nullptr);
        ASSERT_NE(tree, nullptr);
    }
    void TearDown() override { aht_avl_free(tree); }

    void insert_all(std::initializer_list<int> keys) {
        for (int key : keys) {
            ASSERT_EQ(aht_avl_insert(tree, &stored_pool_a[key], value_for(key)), 0);
            model[key] = Entry{&stored_pool_a[key], value_for(key)};
        }
    }
    aht_avl_node *node(int key) { return find_node(tree, key); }
    int key_of(aht_avl_node *n) { return n != nullptr ? *(int *)n->key : -1; }

    aht_avl_tree *tree = nullptr;
    Model model;
};

TEST_F(AvlTreeEdge, AscendingThenDescendingInsertsStayBalanced) {
    for (int key = 1; key <= 1000; key++) {
        ASSERT_EQ(aht_avl_insert(tree, &stored_pool_a[key], value_for(key)), 0);
        aht_avl_check_consistency(tree);
        model[key] = Entry{&stored_pool_a[key], value_for(key)};
        ASSERT_EQ(tree_fault(tree, model), "") << "after inserting " << key;
    }
    // 1000 nodes fit an AVL tree of height 10 at best and 14 at worst
    int height = 1 + std::max(tree->root->left_height, tree->root->right_height);
    EXPECT_GE(height, 10);
    EXPECT_LE(height, 14);
    for (int key = 1000; key >= 1; key -= 2) {
        ASSERT_EQ(aht_avl_delete(tree, &probe_pool[key], nullptr), 0);
        model.erase(key);
        ASSERT_EQ(tree_fault(tree, model), "") << "after deleting " << key;
    }
    for (int key = 2000 - 1; key >= 1001; key -= 2) {
        ASSERT_EQ(aht_avl_insert(tree, &stored_pool_a[key], value_for(key)), 0);
        model[key] = Entry{&stored_pool_a[key], value_for(key)};
        ASSERT_EQ(tree_fault(tree, model), "") << "after inserting " << key;
    }
}

TEST_F(AvlTreeEdge, EqualKeyReplacesTheValueAndKeepsTheFirstKeyPointer) {
    insert_all({5, 3, 8});
    ASSERT_EQ(aht_avl_insert(tree, &stored_pool_b[3], value_for(300)), 0);
    aht_avl_node *three = node(3);
    ASSERT_NE(three, nullptr);
    EXPECT_EQ(three->key, &stored_pool_a[3]);
    EXPECT_EQ(three->value, value_for(300));
    void *got = nullptr;
    EXPECT_EQ(aht_avl_search(tree, &probe_pool[3], &got), 0);
    EXPECT_EQ(got, value_for(300));
    model[3].value = value_for(300);
    EXPECT_EQ(tree_fault(tree, model), ""); // still three nodes
}

TEST_F(AvlTreeEdge, SearchCodes) {
    void *got = value_for(-1);
    EXPECT_EQ(aht_avl_search(tree, &probe_pool[4], &got), 1);
    insert_all({10, 5, 15});
    EXPECT_EQ(aht_avl_search(tree, &probe_pool[1], &got), 2);
    EXPECT_EQ(aht_avl_search(tree, &probe_pool[20], &got), 4);
    EXPECT_EQ(aht_avl_search(tree, &probe_pool[7], &got), 4);  // ends at 5, would go right
    EXPECT_EQ(aht_avl_search(tree, &probe_pool[12], &got), 2); // ends at 15, would go left
    EXPECT_EQ(got, value_for(-1)) << "a miss must not write the value";
    EXPECT_EQ(aht_avl_search(tree, &probe_pool[15], &got), 0);
    EXPECT_EQ(got, value_for(15));
}

TEST_F(AvlTreeEdge, DeleteOfAMissingKeyAndDeleteWithoutAValueAddress) {
    void *got = value_for(-1);
    EXPECT_EQ(aht_avl_delete(tree, &probe_pool[3], &got), 1) << "empty tree";
    insert_all({2, 1, 3});
    EXPECT_EQ(aht_avl_delete(tree, &probe_pool[4], &got), 1);
    EXPECT_EQ(got, value_for(-1));
    EXPECT_EQ(aht_avl_delete(tree, &probe_pool[1], nullptr), 0);
    model.erase(1);
    EXPECT_EQ(tree_fault(tree, model), "");
    EXPECT_EQ(aht_avl_delete(tree, &probe_pool[2], &got), 0);
    EXPECT_EQ(got, value_for(2));
    model.erase(2);
    EXPECT_EQ(tree_fault(tree, model), "");
}

// Subtrees written as (left key right), empty sides left out.
std::string shape(const aht_avl_node *node) {
    if (node == nullptr)
        return "";
    return "(" + shape(node->left) + std::to_string(*(int *)node->key) + shape(node->right) + ")";
}

TEST_F(AvlTreeEdge, ShapesAfterDeleteAndDoubleRotation) {
    const struct {
        std::vector<int> inserts;
        int deleted; // 0: none
        const char *shape;
        const char *why;
    } cases[] = {
        {{2, 1, 3}, 2, "(1(3))", "equal heights: the left child takes the place"},
        {{2, 1, 3, 4}, 2, "((1)3(4))", "right side higher: the right child takes the place"},
        {{4, 2, 6, 1, 3, 5, 7},
         4,
         "(((1)2(3))5(6(7)))",
         "2 rises, its right subtree 3 goes under the successor 5, and balancing lifts 5"},
        {{4, 2, 6, 1, 3, 5, 7, 8},
         4,
         "(((1)2(3(5)))6(7(8)))",
         "mirror: 6 rises and its left subtree 5 goes under the predecessor 3"},
        {{1, 2, 3, 5, 6, 4},
         0,
         "(((1)2(3))4(5(6)))",
         "2 is right-heavy by 2 with 5 heavy inward: pre-rotations cascade 3, 4, 5 and 4 ends at the root"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.why);
        aht_avl_tree *t = aht_alloc_avl_tree(compare_sign, nullptr, nullptr);
        Model m;
        for (int key : c.inserts) {
            ASSERT_EQ(aht_avl_insert(t, &stored_pool_a[key], value_for(key)), 0);
            m[key] = Entry{&stored_pool_a[key], value_for(key)};
        }
        if (c.deleted != 0) {
            ASSERT_EQ(aht_avl_delete(t, &probe_pool[c.deleted], nullptr), 0);
            m.erase(c.deleted);
        }
        EXPECT_EQ(shape(t->root), c.shape);
        EXPECT_EQ(tree_fault(t, m), "");
        aht_avl_free(t);
    }
}

TEST_F(AvlTreeEdge, DeletingTheOnlyNodeLeavesAnEmptyTree) {
    insert_all({9});
    void *got = nullptr;
    ASSERT_EQ(aht_avl_delete(tree, &probe_pool[9], &got), 0);
    EXPECT_EQ(got, value_for(9));
    EXPECT_EQ(tree->root, nullptr);
    testing::internal::CaptureStdout();
    aht_print_tree(tree);
    char expected[64];
    snprintf(expected, sizeof expected, "Tree %p is empty\n", (void *)tree);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected);
}

TEST_F(AvlTreeEdge, IterationOfAnEmptyTreeAndPastTheEnd) {
    aht_avl_node *cursor = nullptr;
    EXPECT_EQ(aht_avl_tree_iterate(tree, &cursor), nullptr);
    EXPECT_EQ(cursor, nullptr);
    insert_all({3, 1, 2});
    EXPECT_EQ(aht_avl_tree_iterate(tree, &cursor), value_for(1));
    EXPECT_EQ(aht_avl_tree_iterate(tree, &cursor), value_for(2));
    EXPECT_EQ(aht_avl_tree_iterate(tree, &cursor), value_for(3));
    aht_avl_node *last = cursor;
    EXPECT_EQ(key_of(last), 3);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(aht_avl_tree_iterate(tree, &cursor), nullptr);
        EXPECT_EQ(cursor, last);
    }
}

TEST_F(AvlTreeEdge, NewNodesAreZeroed) {
    aht_avl_node *fresh = _allocate_node();
    ASSERT_NE(fresh, nullptr);
    aht_avl_node zero = {};
    EXPECT_EQ(memcmp(fresh, &zero, sizeof zero), 0);
    dlfree(fresh);
    EXPECT_EQ(sizeof(aht_avl_node), 9 * 4u);
    EXPECT_EQ(sizeof(aht_avl_tree), 4 * 4u);
}

/* ---- dump lines --------------------------------------------------------- */

const char *key_text(const void *key) {
    static std::string names[kPoolSize];
    std::string &name = names[*(const int *)key];
    if (name.empty())
        name = "key-" + std::to_string(*(const int *)key) + "-and-more";
    return name.c_str();
}

const char *value_text(const void *value) {
    static std::map<const void *, std::string> names;
    std::string &name = names[value];
    if (name.empty())
        name = "v" + std::to_string((uintptr_t)value / 8);
    return name.c_str();
}

std::string line(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string line(const char *format, ...) {
    char buffer[512];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(buffer, sizeof buffer, format, arguments);
    va_end(arguments);
    return buffer;
}

std::string pointer(const void *p) { return line("%p", p); }

// The four formatter combinations on keys 2, 1, 3, 4 (root 2, heights 1/2,
// pre-order 2 1 3 4). Text columns are cut to 10 characters; the root's
// parent key is "" as text and a null pointer otherwise.
TEST_F(AvlTreeEdge, DumpLinesForEveryFormatterCombination) {
    insert_all({2, 1, 3, 4});
    aht_avl_node *n2 = tree->root, *n1 = node(1), *n3 = node(3), *n4 = node(4);
    ASSERT_TRUE(n2->left == n1 && n2->right == n3 && n3->right == n4);
    const std::string key_cut[] = {"", "key-1-and-", "key-2-and-", "key-3-and-", "key-4-and-"};
    const std::string value_cut[] = {"", "v2", "v3", "v4", "v5"};

    for (int with_key = 0; with_key < 2; with_key++) {
        for (int with_value = 0; with_value < 2; with_value++) {
            SCOPED_TRACE("key formatter " + std::to_string(with_key) + ", value formatter " +
                         std::to_string(with_value));
            tree->key_to_string = with_key ? key_text : nullptr;
            tree->value_to_string = with_value ? value_text : nullptr;
            auto key_column = [&](aht_avl_node *n) {
                if (n == nullptr)
                    return with_key ? std::string("") : pointer(nullptr);
                return with_key ? key_cut[*(int *)n->key] : pointer(n->key);
            };
            auto node_line = [&](aht_avl_node *n, int lh, int rh, aht_avl_node *l, aht_avl_node *r,
                                 aht_avl_node *parent, aht_avl_node *pred, aht_avl_node *succ) {
                return "Node," + pointer(n) + "," + std::to_string(lh) + "," + std::to_string(rh) + "," + pointer(l) +
                       "," + pointer(r) + "," + pointer(parent) + "," + key_column(parent) + "," + key_column(n) + "," +
                       (with_value ? value_cut[*(int *)n->key] : pointer(n->value)) + "," + pointer(pred) + "," +
                       pointer(succ) + "\n";
            };
            std::string expected = "Start Print Tree\n" + node_line(n2, 1, 2, n1, n3, nullptr, n1, n3) +
                                   node_line(n1, 0, 0, nullptr, nullptr, n2, nullptr, n2) +
                                   node_line(n3, 0, 1, nullptr, n4, n2, n2, n4) +
                                   node_line(n4, 0, 0, nullptr, nullptr, n3, n3, nullptr) + "End Print Tree\n";
            testing::internal::CaptureStdout();
            aht_print_tree(tree);
            EXPECT_EQ(testing::internal::GetCapturedStdout(), expected);
        }
    }
    tree->key_to_string = nullptr;
    tree->value_to_string = nullptr;
    testing::internal::CaptureStdout();
    aht_print_tree(tree);
    EXPECT_NE(testing::internal::GetCapturedStdout().find(",(nil),(nil),"), std::string::npos)
        << "without formatters the root's parent and parent key are null pointers";
}

/* ---- fatal stops -------------------------------------------------------- */

// In the dying child: no core file, and the dump (standard output) joins the
// message on standard error, which is all a death test can see. Standard
// output is then a fully buffered pipe, so the dump shows only if the stop
// flushed it.
void dump_to_stderr_without_core() {
    struct rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    fflush(stdout);
    dup2(2, 1);
}

#define EXPECT_CRASH(statement, pattern)                                                                               \
    EXPECT_EXIT(                                                                                                       \
        {                                                                                                              \
            dump_to_stderr_without_core();                                                                             \
            statement;                                                                                                 \
        },                                                                                                             \
        testing::KilledBySignal(SIGSEGV), pattern)

class AvlTreeDeathTest : public AvlTreeEdge {
protected:
    void SetUp() override {
        // fork without exec: the child's nodes sit at the parent's addresses,
        // which the expected messages name
        GTEST_FLAG_SET(death_test_style, "fast");
        AvlTreeEdge::SetUp();
    }
};

TEST_F(AvlTreeDeathTest, WrongLeftHeightIsReportedDumpedAndFatal) {
    insert_all({2, 1, 3});
    tree->root->left_height = 7;
    EXPECT_CRASH(aht_avl_check_consistency(tree), "Inconsistent left height calculated. Ptr = " + pointer(tree->root) +
                                                      ", actual = 1, set = 7\n.*Start Print Tree\nNode," +
                                                      pointer(tree->root) + ",7,1,.*End Print Tree\n");
}

TEST_F(AvlTreeDeathTest, WrongRightHeightOfALeaf) {
    insert_all({2, 1, 3});
    node(3)->right_height = 2;
    EXPECT_CRASH(aht_avl_check_consistency(tree), "Inconsistent right height calculated. Ptr = " + pointer(node(3)) +
                                                      ", actual = 0, set = 2\n.*End Print Tree");
}

TEST_F(AvlTreeDeathTest, UnbalancedNodeWithExactHeights) {
    // a chain 3 <- 2 <- 1 down the left, heights stored exactly
    insert_all({3});
    aht_avl_node *two = _allocate_node();
    aht_avl_node *one = _allocate_node();
    two->key = &stored_pool_a[2];
    one->key = &stored_pool_a[1];
    tree->root->left = two;
    tree->root->left_height = 2;
    two->parent = tree->root;
    two->left = one;
    two->left_height = 1;
    one->parent = two;
    EXPECT_CRASH(aht_avl_check_consistency(tree),
                 "^Node " + pointer(tree->root) + " is unbalanced\n.*Start Print Tree");
}

TEST_F(AvlTreeDeathTest, NodeThatItsParentDoesNotHold) {
    insert_all({2, 1});
    aht_avl_node *stray = _allocate_node();
    stray->key = &stored_pool_a[5];
    stray->parent = tree->root;
    EXPECT_CRASH(_get_reference(tree, stray),
                 "^Corrupt tree detected. Node = " + pointer(stray) + "\nStart Print Tree\n");
    dlfree(stray);
}

TEST_F(AvlTreeDeathTest, DeleteFindsABrokenParentLink) {
    insert_all({2, 1, 3});
    aht_avl_node *three = node(3);
    three->parent = node(1);
    EXPECT_CRASH(aht_avl_delete(tree, &probe_pool[3], nullptr),
                 "^Corrupt tree detected. Node = " + pointer(three) + "\n");
    three->parent = tree->root;
}

/* ---- memory ------------------------------------------------------------- */

const std::regex kMallocFailedLine("QUARROW ERROR: Malloc failed!, File: src/aht_avl\\.cpp, Line: [0-9]+\n");

class AvlTreeMemory : public AvlTreeEdge {
protected:
    void TearDown() override {
        private_heap_fail_after(-1);
        AvlTreeEdge::TearDown();
    }
    std::string dump() {
        testing::internal::CaptureStdout();
        aht_print_tree(tree);
        return testing::internal::GetCapturedStdout();
    }
    // Runs one insert with every allocation failing; returns the result.
    int failing_insert(int key, std::string &stderr_text) {
        testing::internal::CaptureStderr();
        private_heap_fail_after(0);
        int result = aht_avl_insert(tree, &stored_pool_a[key], value_for(1000 + key));
        private_heap_fail_after(-1);
        stderr_text = testing::internal::GetCapturedStderr();
        return result;
    }
};

TEST_F(AvlTreeMemory, FailedNodeAllocationReportsTheSiteAndChangesNothing) {
    std::string errors;
    EXPECT_EQ(failing_insert(5, errors), 1);
    EXPECT_TRUE(std::regex_match(errors, kMallocFailedLine)) << errors;
    EXPECT_EQ(tree->root, nullptr);

    insert_all({5, 3, 8});
    std::string before = dump();
    EXPECT_EQ(failing_insert(1, errors), 2);
    EXPECT_TRUE(std::regex_match(errors, kMallocFailedLine)) << errors;
    EXPECT_EQ(failing_insert(9, errors), 4);
    EXPECT_TRUE(std::regex_match(errors, kMallocFailedLine)) << errors;
    EXPECT_EQ(failing_insert(4, errors), 4); // right of 3
    EXPECT_EQ(failing_insert(6, errors), 2); // left of 8
    EXPECT_EQ(dump(), before);
    EXPECT_EQ(tree_fault(tree, model), "");

    // an equal key needs no node
    EXPECT_EQ(failing_insert(8, errors), 0);
    EXPECT_EQ(errors, "");
    model[8].value = value_for(1008);
    EXPECT_EQ(tree_fault(tree, model), "");

    insert_all({1, 9});
    EXPECT_EQ(tree_fault(tree, model), "");
}

TEST_F(AvlTreeMemory, TreeHandleAllocationFailureIsSilent) {
    testing::internal::CaptureStderr();
    private_heap_fail_after(0);
    aht_avl_tree *none = aht_alloc_avl_tree(compare_sign, nullptr, nullptr);
    private_heap_fail_after(-1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(none, nullptr);
}

// 5000 inserts, every third followed by a delete of some other key.
aht_avl_tree *build_big_tree() {
    aht_avl_tree *big = aht_alloc_avl_tree(compare_sign, nullptr, nullptr);
    if (big == nullptr)
        return nullptr;
    std::mt19937 random(7);
    for (int i = 0; i < 5000; i++) {
        int key = (int)(random() % kPoolSize);
        if (aht_avl_insert(big, &stored_pool_a[key], value_for(i)) != 0)
            return big;
        if (i % 3 == 0)
            aht_avl_delete(big, &probe_pool[(key * 7) % kPoolSize], nullptr);
    }
    return big;
}

TEST_F(AvlTreeMemory, FreeReturnsEveryByte) {
    // A first round lets the heap grow to fit the tree: the test's own
    // malloc shares the program break, so growing may add a segment whose
    // bookkeeping counts as in use. The second round must then come out even.
    aht_avl_tree *big = build_big_tree();
    ASSERT_NE(big, nullptr);
    aht_avl_free(big);

    size_t before = (size_t)dlmallinfo().uordblks;
    big = build_big_tree();
    ASSERT_NE(big, nullptr);
    size_t nodes = 0;
    aht_avl_node *cursor = nullptr;
    while (nodes <= 5000 && aht_avl_tree_iterate(big, &cursor) != nullptr)
        nodes++;
    EXPECT_GT(nodes, 1000u);
    EXPECT_LE(nodes, 5000u);
    EXPECT_GE((size_t)dlmallinfo().uordblks, before + sizeof(aht_avl_tree) + nodes * sizeof(aht_avl_node));
    aht_avl_free(big);
    EXPECT_EQ((size_t)dlmallinfo().uordblks, before);
}

} // namespace
