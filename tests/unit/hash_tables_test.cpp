// The processing thread's hash tables: live blocks by address, and caller
// records by stack, each against a plain model under random traffic.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

#include "event_processing/event_processing_internal.h"
#include "private_heap/private_heap.h"

namespace {

TEST(BlockTable, MatchesAModelUnderRandomPutsAndTakes) {
    block_table table;
    ASSERT_TRUE(block_table_init(&table, 8)); // small, so it grows many times
    std::map<uintptr_t, allocation_record> model;
    std::mt19937 random(7);
    // Few distinct addresses, clustered so probe runs collide and wrap.
    auto address = [&] { return (uintptr_t)(random() % 4096) * 8 + 8; };
    for (int step = 0; step < 200000; ++step) {
        uintptr_t key = address();
        if (random() % 3 != 0) {
            allocation_record record = {(void *)key, (uint32_t)step, (caller_record *)(uintptr_t)(step * 16)};
            allocation_record displaced = {};
            int result = block_table_put(&table, &record, &displaced);
            auto known = model.find(key);
            if (known != model.end()) {
                ASSERT_EQ(result, 1);
                EXPECT_EQ(displaced.size, known->second.size);
                EXPECT_EQ(displaced.caller, known->second.caller);
            } else {
                ASSERT_EQ(result, 0);
            }
            model[key] = record;
        } else {
            allocation_record taken = {};
            bool found = block_table_take(&table, (void *)key, &taken);
            auto known = model.find(key);
            ASSERT_EQ(found, known != model.end()) << "step " << step;
            if (found) {
                EXPECT_EQ(taken.address, (void *)key);
                EXPECT_EQ(taken.size, known->second.size);
                model.erase(known);
            }
        }
        ASSERT_EQ(table.count, model.size());
    }
    // Every remaining record is still reachable after all the removals.
    for (auto &[key, record] : model) {
        allocation_record taken = {};
        ASSERT_TRUE(block_table_take(&table, (void *)key, &taken));
        EXPECT_EQ(taken.size, record.size);
    }
    EXPECT_EQ(table.count, 0u);
    allocation_record none;
    EXPECT_FALSE(block_table_take(&table, nullptr, &none));
}

struct StackWithRecord {
    std::vector<void *> frames;
    call_stack stack;
    caller_record record;
};

TEST(CallerIndex, FindsEachRecordByStackAndTypeEvenWhenHashesCollide) {
    caller_index index;
    ASSERT_TRUE(caller_index_init(&index, 4));
    std::vector<StackWithRecord> entries(600);
    std::mt19937 random(11);
    for (size_t i = 0; i < entries.size(); ++i) {
        StackWithRecord &entry = entries[i];
        // Pairs share their stack and differ in type; the first pair's stack is empty.
        size_t base = i / 2;
        for (size_t f = 0; f < (base == 0 ? 0 : 1 + base % 8); ++f)
            entry.frames.push_back((void *)(uintptr_t)(0x1000 + base * 64 + f));
        entry.stack = {(uint32_t)entry.frames.size(), entry.frames.empty() ? nullptr : entry.frames.data()};
        entry.record = {};
        entry.record.stack = &entry.stack;
        entry.record.type = (int32_t)(i % 2);
        // Every tenth record goes in under a forced common hash.
        uint32_t hash = i % 10 == 0 ? 12345u : caller_index_hash(&entry.stack, entry.record.type);
        ASSERT_TRUE(caller_index_add(&index, &entry.record, hash));
    }
    for (size_t i = 0; i < entries.size(); ++i) {
        StackWithRecord &entry = entries[i];
        uint32_t hash = i % 10 == 0 ? 12345u : caller_index_hash(&entry.stack, entry.record.type);
        std::vector<void *> copy = entry.frames; // equal contents, other array
        call_stack probe = {(uint32_t)copy.size(), copy.empty() ? nullptr : copy.data()};
        EXPECT_EQ(caller_index_find(&index, &probe, entry.record.type, hash), &entry.record) << i;
        // The same stack under another type, or one frame changed, is not it.
        EXPECT_NE(caller_index_find(&index, &probe, 5, hash), &entry.record);
        if (!copy.empty()) {
            copy.back() = (void *)((uintptr_t)copy.back() + 1);
            EXPECT_NE(caller_index_find(&index, &probe, entry.record.type, hash), &entry.record);
        }
    }
    EXPECT_EQ(index.count, entries.size());
}

TEST(FrameCache, KeepsItsOwnSymbolCopiesAndForgetsThemAllOnClear) {
    frame_cache cache;
    ASSERT_TRUE(frame_cache_init(&cache, 2)); // grows on the way
    library_record library = {(char *)"libx.so", (void *)0x1000};
    auto fill = [&] {
        for (uintptr_t i = 1; i <= 300; ++i) {
            std::string name = "symbol_" + std::to_string(i);
            friendly_frame frame = {&library, &name[0], (uint32_t)i};
            ASSERT_TRUE(frame_cache_add(&cache, (void *)(i * 4), &frame));
            name.assign(name.size(), 'x'); // the cache must not refer to the caller's text
        }
    };
    fill();
    for (uintptr_t i = 1; i <= 300; ++i) {
        const friendly_frame *found = frame_cache_find(&cache, (void *)(i * 4));
        ASSERT_NE(found, nullptr) << i;
        EXPECT_EQ(found->library, &library);
        EXPECT_EQ(found->offset, i);
        EXPECT_STREQ(found->symbol, ("symbol_" + std::to_string(i)).c_str());
    }
    EXPECT_EQ(frame_cache_find(&cache, (void *)(301 * 4)), nullptr);
    EXPECT_EQ(frame_cache_find(&cache, nullptr), nullptr);
    frame_cache_clear(&cache);
    EXPECT_EQ(frame_cache_find(&cache, (void *)4), nullptr);
    EXPECT_EQ(cache.count, 0u);
    // Filling the same cache again and clearing it leaves the private heap
    // as the first clear did: every symbol copy went back.
    size_t in_use_after_clear = dlmallinfo().uordblks;
    fill();
    EXPECT_GT(dlmallinfo().uordblks, in_use_after_clear);
    frame_cache_clear(&cache);
    EXPECT_EQ(dlmallinfo().uordblks, in_use_after_clear);
}

} // namespace
