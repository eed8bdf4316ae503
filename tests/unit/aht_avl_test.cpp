// Unit tests of the threaded AVL tree: randomized runs against std::map that
// check every invariant after each step, the delete shape rules, the dump
// lines, the fatal stops, allocation failure and the return of every byte.
#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <map>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "aht_avl.h"
#include "private_heap/private_heap.h"

namespace {

// Keys point at ints. Pools a and b hold equal numbers at different addresses
// (to see which key pointer a node keeps); probes come from a pool never stored.
const int kPool = 2048;
int pool_a[kPool], pool_b[kPool], probes[kPool];
int swapped_arguments = 0;
const bool pools_filled = [] {
    for (int i = 0; i < kPool; i++)
        pool_a[i] = pool_b[i] = probes[i] = i;
    return true;
}();

int key_of(const aht_avl_node *node) { return *(const int *)node->key; }
void *value_for(int n) { return (void *)(uintptr_t)(8 * n + 8); }
std::string P(const void *pointer) {
    char text[32];
    return std::string(text, snprintf(text, sizeof text, "%p", pointer));
}

// Only the sign may count: kind 1 gives the largest magnitudes, kind 2 scaled ones.
template <int kind> int compare(const void *stored, const void *probe) {
    if (stored >= (const void *)probes && stored < (const void *)(probes + kPool))
        swapped_arguments++;
    int a = *(const int *)stored, b = *(const int *)probe;
    if (kind == 1)
        return a < b ? INT_MIN + (b - a - 1) : a > b ? INT_MAX - (a - b - 1) : 0;
    if (kind == 2)
        return (a - b) * 1000003; // |a - b| < 2048 keeps this in range
    return (a > b) - (a < b);
}

typedef std::map<int, std::pair<int *, void *>> Model; // key: the key pointer kept, the value

int walk(aht_avl_node *node, aht_avl_node *parent, std::vector<aht_avl_node *> &nodes, std::string &fault) {
    if (node == nullptr)
        return 0;
    int left = walk(node->left, node, nodes, fault);
    nodes.push_back(node);
    int right = walk(node->right, node, nodes, fault);
    if (fault.empty() &&
        (node->parent != parent || node->left_height != left || node->right_height != right || abs(left - right) > 1))
        fault = "parent link, heights or balance at key " + std::to_string(key_of(node));
    return 1 + std::max(left, right);
}

// The first difference from the model in heights, balance, parent links,
// order, key pointers, values, threading or iteration; "" when none.
std::string tree_fault(aht_avl_tree *tree, const Model &model, std::vector<aht_avl_node *> *in_order = nullptr) {
    std::vector<aht_avl_node *> nodes;
    std::string fault;
    walk(tree->root, nullptr, nodes, fault);
    if (fault.empty() && nodes.size() != model.size())
        fault = std::to_string(nodes.size()) + " nodes for " + std::to_string(model.size()) + " entries";
    aht_avl_node *cursor = nullptr;
    size_t i = 0;
    for (auto entry = model.begin(); fault.empty() && entry != model.end(); ++entry, ++i) {
        aht_avl_node *node = nodes[i];
        if (key_of(node) != entry->first || node->key != entry->second.first || node->value != entry->second.second)
            fault = "key, key pointer or value of entry " + std::to_string(entry->first);
        else if (node->predecessor != (i > 0 ? nodes[i - 1] : nullptr) ||
                 node->successor != (i + 1 < nodes.size() ? nodes[i + 1] : nullptr))
            fault = "threading at " + std::to_string(entry->first);
        else if (aht_avl_tree_iterate(tree, &cursor) != node->value)
            fault = "iteration at " + std::to_string(entry->first);
    }
    if (fault.empty() && (aht_avl_tree_iterate(tree, &cursor) != nullptr || aht_avl_tree_iterate(tree, &cursor)))
        fault = "iteration runs past the end";
    if (fault.empty())
        aht_avl_check_consistency(tree); // ends the process if it disagrees
    if (in_order != nullptr)
        *in_order = nodes;
    return fault;
}

int depth(const aht_avl_node *node) { return node->parent == nullptr ? 0 : 1 + depth(node->parent); }

// A missing key's search ends at the deeper of its two neighbours: 2 when
// that is the larger one, 4 otherwise.
int miss_code(const Model &model, const std::vector<aht_avl_node *> &nodes, int key) {
    size_t above = std::distance(model.begin(), model.upper_bound(key));
    if (model.empty() || above == 0 || above == nodes.size())
        return model.empty() ? 1 : above == 0 ? 2 : 4;
    return depth(nodes[above]) > depth(nodes[above - 1]) ? 2 : 4;
}

void run_against_model(aht_compare_function compare, unsigned seed, int key_range, int steps) {
    swapped_arguments = 0;
    std::mt19937 random(seed);
    aht_avl_tree *tree = aht_alloc_avl_tree(compare, nullptr, nullptr);
    ASSERT_NE(tree, nullptr);
    Model model;
    std::vector<aht_avl_node *> nodes;
    void *const untouched = value_for(-7);
    for (int step = 0; step < steps; step++) {
        int key = (int)(random() % (unsigned)key_range);
        unsigned action = random() % 100;
        if (action >= 70 && action < 80 && tree->root != nullptr)
            key = key_of(tree->root); // the delete that moves the largest subtree
        SCOPED_TRACE("seed " + std::to_string(seed) + " step " + std::to_string(step) + " key " + std::to_string(key) +
                     " action " + std::to_string(action));
        auto found = model.find(key);
        void *got = untouched;
        if (action < 45) {
            int *pointer = random() % 2 ? &pool_a[key] : &pool_b[key];
            ASSERT_EQ(aht_avl_insert(tree, pointer, value_for(step)), 0);
            model.emplace(key, std::make_pair(pointer, nullptr)).first->second.second = value_for(step);
        } else if (action < 80) {
            bool with_address = action % 7 != 0;
            ASSERT_EQ(aht_avl_delete(tree, &probes[key], with_address ? &got : nullptr), found == model.end() ? 1 : 0);
            ASSERT_EQ(got, found == model.end() || !with_address ? untouched : found->second.second);
            if (found != model.end())
                model.erase(found);
        } else {
            ASSERT_EQ(aht_avl_search(tree, &probes[key], &got),
                      found != model.end() ? 0 : miss_code(model, nodes, key));
            ASSERT_EQ(got, found != model.end() ? found->second.second : untouched);
        }
        ASSERT_EQ(tree_fault(tree, model, &nodes), "");
    }
    while (tree->root != nullptr) { // then empty it from the root down
        int key = key_of(tree->root);
        ASSERT_EQ(aht_avl_delete(tree, &probes[key], nullptr), 0);
        model.erase(key);
        ASSERT_EQ(tree_fault(tree, model), "") << "root delete of " << key;
    }
    void *got = untouched;
    aht_avl_node *cursor = nullptr;
    EXPECT_EQ(aht_avl_search(tree, &probes[1], &got), 1);
    EXPECT_EQ(aht_avl_delete(tree, &probes[1], &got), 1);
    EXPECT_TRUE(aht_avl_tree_iterate(tree, &cursor) == nullptr && cursor == nullptr && got == untouched);
    EXPECT_EQ(swapped_arguments, 0) << "the comparator must get the stored key first";
    aht_avl_free(tree);
}

// Small key ranges give many duplicates and misses, the large ones deep trees.
TEST(AvlTreeModel, RandomInsertDeleteSearch) {
    const struct {
        aht_compare_function compare;
        unsigned seed;
        int key_range, steps;
    } runs[] = {{compare<0>, 1, 24, 3000},    {compare<0>, 2, 24, 3000},   {compare<0>, 3, 24, 3000},
                {compare<0>, 11, 200, 4000},  {compare<0>, 12, 200, 4000}, {compare<0>, 21, 2000, 6000},
                {compare<1>, 31, 64, 2500},   {compare<1>, 32, 64, 2500},  {compare<2>, 131, 2047, 2500},
                {compare<2>, 132, 2047, 2500}};
    for (const auto &run : runs)
        run_against_model(run.compare, run.seed, run.key_range, run.steps);
}

class AvlTree : public testing::Test {
protected:
    void SetUp() override {
        tree = aht_alloc_avl_tree(compare<0>, nullptr, nullptr);
        ASSERT_NE(tree, nullptr);
    }
    void TearDown() override { aht_avl_free(tree); }
    void put(const std::vector<int> &keys) {
        for (int key : keys) {
            ASSERT_EQ(aht_avl_insert(tree, &pool_a[key], value_for(key)), 0);
            model[key] = {&pool_a[key], value_for(key)};
        }
    }
    void remove(int key) {
        ASSERT_EQ(aht_avl_delete(tree, &probes[key], nullptr), 0);
        model.erase(key);
    }
    aht_avl_node *node(int key) {
        aht_avl_node *cursor = nullptr;
        while (aht_avl_tree_iterate(tree, &cursor) != nullptr)
            if (key_of(cursor) == key)
                return cursor;
        return nullptr;
    }
    std::string dump() {
        testing::internal::CaptureStdout();
        aht_print_tree(tree);
        return testing::internal::GetCapturedStdout();
    }
    aht_avl_tree *tree = nullptr;
    Model model;
};

TEST_F(AvlTree, SortedInsertsAndDeletes) {
    for (int i = 0; i < 2000; i++) { // 1 to 1000 in, the even ones out from 1000 down, 1999 down to 1001 in
        int key = i < 1000 ? i + 1 : i < 1500 ? 1000 - 2 * (i - 1000) : 1999 - 2 * (i - 1500);
        if (i < 1000 || i >= 1500)
            put({key});
        else
            remove(key);
        ASSERT_EQ(tree_fault(tree, model), "") << "after step " << i << " on " << key;
    }
}

TEST(AvlTreeLayout, NodesStartZeroed) {
    void *dirty = dlmalloc(sizeof(aht_avl_node)); // so the node's block is likely not zero already
    memset(dirty, 0xa5, sizeof(aht_avl_node));
    dlfree(dirty);
    aht_avl_node *fresh = _allocate_node();
    aht_avl_node zero = {};
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(memcmp(fresh, &zero, sizeof zero), 0);
    dlfree(fresh);
    // Seven links and two heights; four words: 36 and 16 bytes on i386.
    EXPECT_EQ(sizeof(aht_avl_node), 7 * sizeof(void *) + 8);
    EXPECT_EQ(sizeof(aht_avl_tree), 4 * sizeof(void *));
}

// Subtrees written as (left key right), empty sides left out.
std::string shape(const aht_avl_node *node) {
    return node == nullptr ? "" : "(" + shape(node->left) + std::to_string(key_of(node)) + shape(node->right) + ")";
}

TEST_F(AvlTree, DeleteShapesAndCascadedRotations) {
    const struct {
        std::vector<int> keys;
        int deleted; // 0: none
        const char *shape;
    } cases[] = {
        {{2, 1, 3}, 2, "(1(3))"},                               // equal heights: the left child takes the place
        {{2, 1, 3, 4}, 2, "((1)3(4))"},                         // right side higher: the right child does
        {{4, 2, 6, 1, 3, 5, 7}, 4, "(((1)2(3))5(6(7)))"},       // 3 goes under the successor 5, 5 is lifted
        {{4, 2, 6, 1, 3, 5, 7, 8}, 4, "(((1)2(3(5)))6(7(8)))"}, // 5 goes under the predecessor 3
        {{1, 2, 3, 5, 6, 4}, 0, "(((1)2(3))4(5(6)))"},          // pre-rotations cascade, 4 ends at the root
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.shape);
        TearDown();
        SetUp();
        model.clear();
        put(c.keys);
        if (c.deleted != 0)
            remove(c.deleted);
        EXPECT_EQ(shape(tree->root), c.shape);
        EXPECT_EQ(tree_fault(tree, model), "");
    }
}

template <bool of_key> const char *text_of(const void *item) {
    static std::string texts[kPool + 1];
    int n = of_key ? *(const int *)item : (int)((uintptr_t)item / 8);
    return (texts[n] = of_key ? "key-" + std::to_string(n) + "-and-more" : "v" + std::to_string(n)).c_str();
}

// Text columns are cut to 10 characters; the root's parent key is "" as text
// and a null pointer otherwise.
TEST_F(AvlTree, DumpLinesForEveryFormatterCombination) {
    EXPECT_EQ(dump(), "Tree " + P(tree) + " is empty\n");
    put({2, 1, 3, 4});
    aht_avl_node *n[] = {nullptr, node(1), node(2), node(3), node(4)};
    ASSERT_EQ(shape(tree->root), "((1)2(3(4)))");
    // pre-order: node, left and right height, left, right, parent, predecessor, successor
    const int rows[4][8] = {
        {2, 1, 2, 1, 3, 0, 1, 3}, {1, 0, 0, 0, 0, 2, 0, 2}, {3, 0, 1, 0, 4, 2, 2, 4}, {4, 0, 0, 0, 0, 3, 3, 0}};
    for (int with_key = 0; with_key < 2; with_key++) {
        for (int with_value = 0; with_value < 2; with_value++) {
            tree->key_to_string = with_key ? text_of<true> : nullptr;
            tree->value_to_string = with_value ? text_of<false> : nullptr;
            auto key_column = [&](int k) {
                return with_key ? (k ? "key-" + std::to_string(k) + "-and-" : "") : P(k ? n[k]->key : nullptr);
            };
            std::string expected = "Start Print Tree\n";
            for (const auto &r : rows)
                expected += "Node," + P(n[r[0]]) + "," + std::to_string(r[1]) + "," + std::to_string(r[2]) + "," +
                            P(n[r[3]]) + "," + P(n[r[4]]) + "," + P(n[r[5]]) + "," + key_column(r[5]) + "," +
                            key_column(r[0]) + "," +
                            (with_value ? "v" + std::to_string(r[0] + 1) : P(value_for(r[0]))) + "," + P(n[r[6]]) +
                            "," + P(n[r[7]]) + "\n";
            EXPECT_EQ(dump(), expected + "End Print Tree\n")
                << "key text " << with_key << ", value text " << with_value;
        }
    }
}

// In the dying child: no core file, and the dump (standard output) joins
// standard error, which is all a death test sees. Standard output is then a
// fully buffered pipe, so the dump shows only if the stop flushed it. The
// child makes the corruption; fork without exec keeps the addresses named.
int prepare_to_die() {
    struct rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    fflush(stdout);
    return dup2(2, 1);
}
#define EXPECT_CRASH(pattern, ...)                                                                                     \
    EXPECT_EXIT((prepare_to_die(), __VA_ARGS__), testing::KilledBySignal(SIGSEGV), pattern)

class AvlTreeDeathTest : public AvlTree {};

TEST_F(AvlTreeDeathTest, CorruptionIsReportedDumpedAndFatal) {
    GTEST_FLAG_SET(death_test_style, "fast");
    put({2, 1, 3, 4});
    aht_avl_node *root = tree->root, *n1 = node(1), *n4 = node(4);
    EXPECT_CRASH("^Inconsistent left height calculated. Ptr = " + P(root) +
                     ", actual = 1, set = 7\nStart Print Tree\nNode," + P(root) + ",7,2,.*End Print Tree\n",
                 root->left_height = 7, aht_avl_check_consistency(tree));
    EXPECT_CRASH("^Inconsistent right height calculated. Ptr = " + P(n4) + ", actual = 0, set = 2\n.*End Print Tree",
                 n4->right_height = 2, aht_avl_check_consistency(tree));
    EXPECT_CRASH("^Node " + P(root) + " is unbalanced\nStart Print Tree", root->left = nullptr, root->left_height = 0,
                 aht_avl_check_consistency(tree));
    EXPECT_CRASH("^Corrupt tree detected. Node = " + P(n4) + "\nStart Print Tree\n", n4->parent = n1,
                 aht_avl_delete(tree, &probes[4], nullptr));
}

TEST_F(AvlTree, FailedAllocationsReportTheSiteAndChangeNothing) {
    auto failing = [](auto call) { // every allocation fails: the result of call and standard error
        testing::internal::CaptureStderr();
        private_heap_fail_after(0);
        auto result = call();
        private_heap_fail_after(-1);
        return std::to_string((intptr_t)result) + " " + testing::internal::GetCapturedStderr();
    };
    auto failing_insert = [&](int key) {
        return failing([&] { return aht_avl_insert(tree, &pool_b[key], value_for(1000 + key)); });
    };
    const std::string failed = " QUARROW ERROR: Malloc failed!, File: src/aht_avl\\.cpp, Line: [0-9]+\n";
    EXPECT_TRUE(std::regex_match(failing_insert(5), std::regex("1" + failed)));
    EXPECT_EQ(tree->root, nullptr);
    put({5, 3, 8});
    std::string before = dump();
    const int cases[][2] = {{1, 2}, {9, 4}, {4, 4}, {6, 2}}; // key, result: new left or right child of 3 or 8
    for (const auto &c : cases) {
        std::string outcome = failing_insert(c[0]);
        EXPECT_TRUE(std::regex_match(outcome, std::regex(std::to_string(c[1]) + failed))) << c[0] << ": " << outcome;
    }
    EXPECT_EQ(dump(), before);
    EXPECT_EQ(failing_insert(8), "0 ") << "an equal key needs no node";
    model[8].second = value_for(1008);
    put({1, 9});
    EXPECT_EQ(tree_fault(tree, model), "");

    EXPECT_EQ(failing([] { return aht_alloc_avl_tree(compare<0>, nullptr, nullptr); }), "0 ")
        << "a failed handle allocation gives null, silently";
}

TEST(AvlTreeMemory, FreeReturnsEveryByte) {
    auto big_tree = [] { // 5000 inserts, every third followed by a delete of some other key
        aht_avl_tree *big = aht_alloc_avl_tree(compare<0>, nullptr, nullptr);
        std::mt19937 random(7);
        for (int i = 0; big != nullptr && i < 5000; i++) {
            int key = (int)(random() % kPool);
            EXPECT_EQ(aht_avl_insert(big, &pool_a[key], value_for(i)), 0);
            if (i % 3 == 0)
                aht_avl_delete(big, &probes[key * 7 % kPool], nullptr);
        }
        return big;
    };
    // The first round lets the heap grow (a new segment's bookkeeping counts
    // as in use); the second must then come out even.
    aht_avl_free(big_tree());
    size_t before = dlmallinfo().uordblks, nodes = 0;
    aht_avl_tree *big = big_tree();
    for (aht_avl_node *cursor = nullptr; nodes <= 5000 && aht_avl_tree_iterate(big, &cursor) != nullptr;)
        nodes++;
    EXPECT_GT(nodes, 1000u);
    EXPECT_LE(nodes, 5000u);
    EXPECT_GE((size_t)dlmallinfo().uordblks, before + sizeof(aht_avl_tree) + nodes * sizeof(aht_avl_node));
    aht_avl_free(big);
    EXPECT_EQ((size_t)dlmallinfo().uordblks, before);
}

} // namespace
