// The option parser, lookup and case-insensitive comparison: the lists that
// option strings produce, the exact error lines, and that every path --
// success, bad input, or the heap running out at any allocation -- returns
// the private heap's in-use bytes to where they started.
#include <gtest/gtest.h>

#include <errno.h>
#include <string.h>

#include <regex>
#include <string>
#include <vector>

#include "config.h"
#include "private_heap.h"
#include "string_util.h"

namespace {

size_t in_use() { return dlmallinfo().uordblks; }

struct Option {
    std::string name;
    std::string value;
    bool shared_empty; // the value is the one static empty string
    bool operator==(const Option &o) const {
        return name == o.name && value == o.value && shared_empty == o.shared_empty;
    }
};

std::ostream &operator<<(std::ostream &out, const Option &o) {
    return out << "(" << o.name << ", " << o.value << (o.shared_empty ? ", shared" : "") << ")";
}

// The shared empty value, learned from an item written without '='.
const char *shared_empty() {
    static const char *value = [] {
        config_option *list = nullptr;
        EXPECT_EQ(parse_config_string("a", &list), 0);
        const char *v = list->value;
        EXPECT_FALSE(private_heap_owns(v)) << "a static string, not a heap block";
        free_config_option(&list);
        return v;
    }();
    return value;
}

std::vector<Option> collect(const config_option *list) {
    std::vector<Option> options;
    for (; list != nullptr; list = list->next)
        options.push_back({list->name, list->value, list->value == shared_empty()});
    return options;
}

void release_list(config_option **list) {
    while (*list != nullptr) {
        config_option *next = (*list)->next;
        free_config_option(list);
        *list = next;
    }
}

std::string escape(const std::string &text) {
    return std::regex_replace(text, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
}

// The two shapes of an error line, as regular expressions.
std::string error_line(const std::string &text, const char *file = "src/config.cpp") {
    return "QUARROW ERROR: " + escape(text) + ", File: " + escape(file) + ", Line: [0-9]+\n";
}
std::string error_format(const std::string &text, const char *file = "src/config.cpp") {
    return "QUARROW ERROR: " + escape(text) + " File: " + escape(file) + ", Line [0-9]+\n";
}

const std::string kRecordFailure =
    error_line("Failed malloc trying to create config_option.") + error_line("config_option allocate failed.");
const std::string kCopyFailure = error_line("Failed malloc trying to copy option text.");

#define EXPECT_STDERR_MATCHES(captured, pattern)                                                                       \
    EXPECT_TRUE(std::regex_match(captured, std::regex(pattern))) << captured

struct Case {
    const char *text;
    std::vector<Option> expected;
    const char *unclosed_brace_in; // name in the brace error, or null when the parse succeeds
    const char *allocations;       // R record, N name copy, V value copy, in the order they are made
};

const std::vector<Case> kCases = {
    {"a", {{"a", "", true}}, nullptr, "RN"},
    {"a=", {{"a", "", false}}, nullptr, "RNV"},
    {"=1", {{"", "1", false}}, nullptr, "RNV"},
    {"a=1,", {{"a", "1", false}}, nullptr, "RNVR"},
    {",", {{"", "", true}}, nullptr, "RNR"},
    {",a=1", {{"", "", true}, {"a", "1", false}}, nullptr, "RNRNV"},
    {"a=1,,b=2", {{"a", "1", false}, {"", "", true}, {"b", "2", false}}, nullptr, "RNVRNRNV"},
    {"a=b=c", {{"a", "b=c", false}}, nullptr, "RNV"},
    {"a={x,y},b=2", {{"a", "{x,y}", false}, {"b", "2", false}}, nullptr, "RNVRNV"},
    {"a=x{y,z}w", {{"a", "x{y,z}w", false}}, nullptr, "RNV"},
    {"a={x{y}z,w}", {{"a", "{x{y}z", false}, {"w}", "", true}}, nullptr, "RNVRN"},
    {"{a,b}=1", {{"{a", "", true}, {"b}", "1", false}}, nullptr, "RNRNV"},
    {"a=1}", {{"a", "1}", false}}, nullptr, "RNV"},
    {"a = 1", {{"a ", " 1", false}}, nullptr, "RNV"},
    {"write_period_seconds=600,output=native_memory_42.log,stack_depth=7",
     {{"write_period_seconds", "600", false}, {"output", "native_memory_42.log", false}, {"stack_depth", "7", false}},
     nullptr,
     "RNVRNVRNV"},
    {"a={x", {}, "a", "RN"},
    {"a=1,b={x,y", {}, "b", "RNVRN"},
    {"a=}{", {}, "a", "RN"},
};

void expect_outcome(const Case &c, int result, config_option *list, const std::string &captured) {
    if (c.unclosed_brace_in == nullptr) {
        EXPECT_EQ(result, 0);
        EXPECT_EQ(collect(list), c.expected);
        EXPECT_EQ(captured, "");
    } else {
        EXPECT_EQ(result, 1);
        EXPECT_EQ(list, nullptr);
        EXPECT_STDERR_MATCHES(captured, error_format(std::string("Parse error, did not close curly brace for option ") +
                                                     c.unclosed_brace_in));
    }
}

TEST(ParseConfigString, EachOptionStringGivesItsListAndReleasesCleanly) {
    size_t start = in_use();
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.text);
        config_option *list = reinterpret_cast<config_option *>(1); // must be overwritten
        testing::internal::CaptureStderr();
        int result = parse_config_string(c.text, &list);
        expect_outcome(c, result, list, testing::internal::GetCapturedStderr());
        release_list(&list);
        EXPECT_EQ(in_use(), start);
    }
    EXPECT_EQ(private_heap_check(), 0);
}

TEST(ParseConfigString, NullAndEmptyTextsGiveAnEmptyList) {
    size_t start = in_use();
    for (const char *text : {(const char *)nullptr, ""}) {
        config_option *list = reinterpret_cast<config_option *>(1);
        EXPECT_EQ(parse_config_string(text, &list), 0);
        EXPECT_EQ(list, nullptr);
    }
    EXPECT_EQ(parse_config_string("a=1", nullptr), 1) << "no list to fill";
    EXPECT_EQ(in_use(), start);
}

// The heap fails at every allocation in turn: each run either gives the
// normal outcome or fails with the line of the allocation that failed, and
// nothing stays allocated either way.
TEST(ParseConfigString, RunningOutOfMemoryAtAnyAllocationLeavesNothingBehind) {
    size_t start = in_use();
    for (const Case &c : kCases) {
        size_t allocations = strlen(c.allocations);
        for (size_t successes = 0; successes <= allocations + 1; ++successes) {
            SCOPED_TRACE(std::string(c.text) + " with " + std::to_string(successes) + " successes");
            config_option *list = reinterpret_cast<config_option *>(1);
            testing::internal::CaptureStderr();
            private_heap_fail_after((int)successes);
            int result = parse_config_string(c.text, &list);
            private_heap_fail_after(-1);
            std::string captured = testing::internal::GetCapturedStderr();
            if (successes >= allocations) {
                expect_outcome(c, result, list, captured);
            } else {
                EXPECT_EQ(result, 1);
                EXPECT_EQ(list, nullptr);
                EXPECT_STDERR_MATCHES(captured, c.allocations[successes] == 'R' ? kRecordFailure : kCopyFailure);
            }
            release_list(&list);
            EXPECT_EQ(in_use(), start);
        }
    }
}

TEST(ParseConfigString, OneMebibyteOfOptionsOrOfOneValue) {
    size_t start = in_use();
    std::string many;
    int items = 0;
    while (many.size() < (1u << 20))
        many += "k" + std::to_string(items++) + "=v,";
    many += "last";
    config_option *list = nullptr;
    ASSERT_EQ(parse_config_string(many.c_str(), &list), 0);
    int count = 0;
    const config_option *o = list;
    for (; o->next != nullptr; o = o->next, ++count)
        ASSERT_EQ(std::string(o->name), "k" + std::to_string(count));
    EXPECT_EQ(count, items);
    EXPECT_STREQ(o->name, "last");
    config_option *last = find_option(&list, "LAST");
    ASSERT_NE(last, nullptr);
    free_config_option(&last);
    release_list(&list);
    EXPECT_EQ(in_use(), start);

    std::string value = "{" + std::string(1u << 20, 'x') + ",=}" + std::string(1000, 'y');
    ASSERT_EQ(parse_config_string(("big=" + value).c_str(), &list), 0);
    EXPECT_EQ(collect(list), (std::vector<Option>{{"big", value, false}}));
    release_list(&list);
    std::string unclosed = "big={" + std::string(1u << 20, 'x') + ",=";
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse_config_string(unclosed.c_str(), &list), 1);
    EXPECT_STDERR_MATCHES(testing::internal::GetCapturedStderr(),
                          error_format("Parse error, did not close curly brace for option big"));
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(in_use(), start);
}

TEST(FindOption, MatchesWithoutRegardToCaseAndKeepsTheValueAsWritten) {
    size_t start = in_use();
    config_option *list = nullptr;
    ASSERT_EQ(parse_config_string("write_period_seconds=600,stack_depth=Seven,a = 1", &list), 0);
    config_option *depth = find_option(&list, "STACK_DEPTH");
    ASSERT_NE(depth, nullptr);
    EXPECT_STREQ(depth->value, "Seven");
    EXPECT_EQ(depth->next, nullptr);
    EXPECT_EQ(find_option(&list, "a"), nullptr) << "the name is 'a ', blank included";
    EXPECT_EQ(find_option(&list, "missing"), nullptr);
    EXPECT_EQ(collect(list), (std::vector<Option>{{"write_period_seconds", "600", false}, {"a ", " 1", false}}));
    free_config_option(&depth);
    EXPECT_EQ(depth, nullptr);
    free_config_option(&depth); // already null: nothing happens
    release_list(&list);
    EXPECT_EQ(in_use(), start);
}

TEST(FindOption, TheLastItemOfANameWinsAndTheOthersAreReleased) {
    size_t start = in_use();
    config_option *list = nullptr;
    ASSERT_EQ(parse_config_string("x=1,y=a,X=2,x=3,z", &list), 0);
    config_option *x = find_option(&list, "x");
    ASSERT_NE(x, nullptr);
    EXPECT_STREQ(x->value, "3");
    EXPECT_EQ(collect(list), (std::vector<Option>{{"y", "a", false}, {"z", "", true}}));
    EXPECT_EQ(find_option(&list, "x"), nullptr);
    free_config_option(&x);
    config_option *z = find_option(&list, "z");
    config_option *y = find_option(&list, "y");
    EXPECT_EQ(list, nullptr) << "every record was taken out";
    free_config_option(&z);
    free_config_option(&y);
    EXPECT_EQ(in_use(), start) << "the two earlier x records must have been released";
}

// Each comparison makes two copies; the heap fails at each one in turn.
// The walk stops at the failing record: the matches found before it are
// resolved, everything from it on stays listed.
TEST(FindOption, AComparisonFailureStopsTheWalkAndKeepsTheRestListed) {
    const char *text = "a=1,x=2,b=3,x=4";
    const std::vector<Option> all = {{"a", "1", false}, {"x", "2", false}, {"b", "3", false}, {"x", "4", false}};
    size_t start = in_use();
    for (int successes = 0; successes < 8; ++successes) {
        SCOPED_TRACE(successes);
        config_option *list = nullptr;
        ASSERT_EQ(parse_config_string(text, &list), 0);
        testing::internal::CaptureStderr();
        private_heap_fail_after(successes);
        config_option *found = find_option(&list, "x");
        private_heap_fail_after(-1);
        std::string captured = testing::internal::GetCapturedStderr();

        size_t failing = successes / 2; // the record whose comparison failed
        std::vector<Option> listed;
        const Option *match = nullptr;
        for (size_t i = 0; i < all.size(); ++i) {
            if (i < failing && all[i].name == "x")
                match = &all[i];
            else
                listed.push_back(all[i]);
        }
        EXPECT_STDERR_MATCHES(captured,
                              error_format("Couldn't malloc space to copy string. Errno=12", "src/string_util.cpp") +
                                  error_format("Error comparing x and " + all[failing].name +
                                               ", err code = " + std::to_string(1 + successes % 2)));
        if (match == nullptr)
            EXPECT_EQ(found, nullptr);
        else
            EXPECT_EQ(collect(found), std::vector<Option>{*match});
        EXPECT_EQ(collect(list), listed);
        free_config_option(&found);
        release_list(&list);
        EXPECT_EQ(in_use(), start);
    }
}

TEST(StrcmpCi, OrdersLowerCasedCopiesAndLeavesTheArgumentsAlone) {
    size_t start = in_use();
    char mixed[] = "Stack_Depth";
    int order = 99;
    EXPECT_EQ(strcmp_ci(mixed, "STACK_depth", &order), 0);
    EXPECT_EQ(order, 0);
    EXPECT_STREQ(mixed, "Stack_Depth");
    EXPECT_EQ(strcmp_ci("ABC", "abd", &order), 0);
    EXPECT_LT(order, 0);
    EXPECT_EQ(strcmp_ci("b", "A", &order), 0);
    EXPECT_GT(order, 0);
    EXPECT_EQ(strcmp_ci(nullptr, "", &order), 0);
    EXPECT_EQ(order, 0) << "null compares as the empty string";
    EXPECT_EQ(strcmp_ci("\xC9t\xE9", "\xC9T\xE9", &order), 0);
    EXPECT_EQ(order, 0);
    EXPECT_EQ(in_use(), start);
}

TEST(StrcmpCi, AFailedCopyGivesItsStatusAndLeavesTheOrderingUnwritten) {
    size_t start = in_use();
    for (int successes : {0, 1}) {
        int order = 99;
        testing::internal::CaptureStderr();
        private_heap_fail_after(successes);
        int status = strcmp_ci("a", "a", &order);
        private_heap_fail_after(-1);
        EXPECT_STDERR_MATCHES(testing::internal::GetCapturedStderr(),
                              error_format("Couldn't malloc space to copy string. Errno=" + std::to_string(ENOMEM),
                                           "src/string_util.cpp"));
        EXPECT_EQ(status, successes + 1);
        EXPECT_EQ(order, 99);
        EXPECT_EQ(in_use(), start);
    }
}

} // namespace
