// The option parser, its lookup and case-insensitive comparison: the lists and
// exact error lines they give, and that every path, the heap running out at
// any allocation included, returns the in-use bytes to where they started.
#include <gtest/gtest.h>

#include <errno.h>
#include <string.h>

#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "config.h"
#include "private_heap/private_heap.h"
#include "string_util.h"

namespace {

size_t in_use() { return dlmallinfo().uordblks; }

// name, value, and whether the value is a static string (the shared empty one)
typedef std::tuple<std::string, std::string, bool> Option;

std::vector<Option> collect(const config_option *list) {
    std::vector<Option> options;
    for (; list != nullptr; list = list->next)
        options.emplace_back(list->name, list->value, !private_heap_owns(list->value));
    return options;
}

void release_list(config_option **list) {
    while (*list != nullptr) {
        config_option *next = (*list)->next;
        free_config_option(list);
        *list = next;
    }
}

// The two shapes of an error line, as regular expressions (no text has other
// special characters than '.').
std::string error_line(const std::string &text) {
    return "QUARROW ERROR: " + text + ", File: src/config\\.cpp, Line: [0-9]+\n";
}
std::string error_format(const std::string &text, const char *file = "src/config\\.cpp") {
    return "QUARROW ERROR: " + text + " File: " + file + ", Line [0-9]+\n";
}
const std::string kRecordFailure =
    error_line("Failed malloc trying to create config_option.") + error_line("config_option allocate failed.");
const std::string kCopyFailure = error_line("Failed malloc trying to copy option text.");
const std::string kCopyStringFailure =
    error_format("Couldn't malloc space to copy string. Errno=" + std::to_string(ENOMEM), "src/string_util\\.cpp");
#define EXPECT_MATCHES(text, pattern) EXPECT_TRUE(std::regex_match(text, std::regex(pattern))) << text

// Runs call with the heap failing after `successes` more allocations (-1:
// never) and returns what it wrote to standard error.
template <class Call> std::string with_heap_failing_after(int successes, Call call) {
    testing::internal::CaptureStderr();
    private_heap_fail_after(successes);
    call();
    private_heap_fail_after(-1);
    return testing::internal::GetCapturedStderr();
}

struct Case {
    const char *text;
    std::vector<Option> expected;
    const char *unclosed_brace_in; // name in the brace error, or null when the parse succeeds
    const char *allocations;       // R record, N name copy, V value copy, in the order they are made
};

const Case kCases[] = {
    {nullptr, {}, nullptr, ""},
    {"", {}, nullptr, ""},
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
    {"a={x", {}, "a", "RN"},
    {"a=1,b={x,y", {}, "b", "RNVRN"},
    {"a=}{", {}, "a", "RN"},
};

// The heap fails at each allocation in turn and then after the last one: a
// run fails with the line of the allocation that failed or gives the normal
// outcome, and nothing stays allocated either way.
TEST(ParseConfigString, EachOptionStringWithTheHeapFailingAtEveryAllocation) {
    size_t start = in_use();
    for (const Case &c : kCases) {
        const size_t allocations = strlen(c.allocations);
        for (size_t successes = 0; successes <= allocations; ++successes) {
            SCOPED_TRACE(std::string(c.text != nullptr ? c.text : "(null)") + " with " + std::to_string(successes) +
                         " successes");
            config_option *list = reinterpret_cast<config_option *>(1); // must be overwritten
            int result = 0;
            std::string captured =
                with_heap_failing_after((int)successes, [&] { result = parse_config_string(c.text, &list); });
            EXPECT_EQ(result, successes < allocations || c.unclosed_brace_in != nullptr ? 1 : 0);
            EXPECT_MATCHES(captured,
                           successes < allocations ? (c.allocations[successes] == 'R' ? kRecordFailure : kCopyFailure)
                           : c.unclosed_brace_in == nullptr
                               ? ""
                               : error_format(std::string("Parse error, did not close curly brace for option ") +
                                              c.unclosed_brace_in));
            if (result == 0)
                EXPECT_EQ(collect(list), c.expected);
            else
                EXPECT_EQ(list, nullptr);
            release_list(&list);
            EXPECT_EQ(in_use(), start);
        }
    }
    EXPECT_EQ(private_heap_check(), 0);
    EXPECT_EQ(parse_config_string("a=1", nullptr), 1) << "no list to fill";
}

TEST(ParseConfigString, OneMebibyteOfOptionsOrOfOneValue) {
    std::string many;
    size_t items = 0;
    while (many.size() < (1u << 20))
        many += "k" + std::to_string(items++) + "=v,";
    many += "last";
    config_option *list = nullptr;
    ASSERT_EQ(parse_config_string(many.c_str(), &list), 0);
    release_list(&list); // lets the heap grow first: a new segment's bookkeeping counts as in use
    size_t start = in_use(), count = 0;
    ASSERT_EQ(parse_config_string(many.c_str(), &list), 0);
    config_option *last = find_option(&list, "LAST");
    EXPECT_EQ(collect(last), (std::vector<Option>{{"last", "", true}}));
    for (const config_option *o = list; o != nullptr; o = o->next, ++count)
        ASSERT_EQ(o->name, "k" + std::to_string(count));
    EXPECT_EQ(count, items);
    free_config_option(&last);
    release_list(&list);
    EXPECT_EQ(in_use(), start);

    std::string value = "{" + std::string(1u << 20, 'x') + ",=}" + std::string(1000, 'y');
    ASSERT_EQ(parse_config_string(("big=" + value).c_str(), &list), 0);
    EXPECT_EQ(collect(list), (std::vector<Option>{{"big", value, false}}));
    release_list(&list);
    std::string unclosed = "big={" + std::string(1u << 20, 'x') + ",=";
    EXPECT_MATCHES(with_heap_failing_after(-1, [&] { EXPECT_EQ(parse_config_string(unclosed.c_str(), &list), 1); }),
                   error_format("Parse error, did not close curly brace for option big"));
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(in_use(), start);
}

TEST(FindOption, TakesOutEveryRecordOfTheNameInAnyCaseAndTheLastWins) {
    size_t start = in_use();
    config_option *list = nullptr;
    ASSERT_EQ(parse_config_string("x=1,Stack_Depth=Seven,X=2,a = 1,x=3,z", &list), 0);
    config_option *x = find_option(&list, "x");
    EXPECT_EQ(collect(x), (std::vector<Option>{{"x", "3", false}})) << "the last one, detached";
    EXPECT_EQ(find_option(&list, "x"), nullptr);
    EXPECT_EQ(find_option(&list, "a"), nullptr) << "the name is 'a ', blank included";
    config_option *depth = find_option(&list, "STACK_DEPTH");
    EXPECT_EQ(collect(depth), (std::vector<Option>{{"Stack_Depth", "Seven", false}}));
    EXPECT_EQ(collect(list), (std::vector<Option>{{"a ", " 1", false}, {"z", "", true}}));
    config_option *z = find_option(&list, "Z"), *a = find_option(&list, "A ");
    EXPECT_EQ(list, nullptr) << "every record was taken out";
    for (config_option *found : {x, depth, z, a}) {
        free_config_option(&found);
        EXPECT_EQ(found, nullptr);
        free_config_option(&found); // already null: nothing happens
    }
    EXPECT_EQ(in_use(), start) << "the two earlier x records must have been released";
}

// Each comparison makes two copies; the heap fails at each one in turn. The
// walk stops at the failing record: the matches before it are resolved,
// everything from it on stays listed.
TEST(FindOption, AComparisonFailureStopsTheWalkAndKeepsTheRestListed) {
    const std::vector<Option> all = {{"a", "1", false}, {"x", "2", false}, {"b", "3", false}, {"x", "4", false}};
    size_t start = in_use();
    for (int successes = 0; successes < 8; ++successes) {
        SCOPED_TRACE(successes);
        config_option *list = nullptr;
        ASSERT_EQ(parse_config_string("a=1,x=2,b=3,x=4", &list), 0);
        config_option *found = nullptr;
        std::string captured = with_heap_failing_after(successes, [&] { found = find_option(&list, "x"); });
        size_t failing = successes / 2; // the record whose comparison failed
        std::vector<Option> listed, match;
        for (size_t i = 0; i < all.size(); ++i)
            if (i < failing && std::get<0>(all[i]) == "x")
                match = {all[i]};
            else
                listed.push_back(all[i]);
        EXPECT_MATCHES(captured,
                       kCopyStringFailure + error_format("Error comparing x and " + std::get<0>(all[failing]) +
                                                         ", err code = " + std::to_string(1 + successes % 2)));
        EXPECT_EQ(collect(found), match);
        EXPECT_EQ(collect(list), listed);
        free_config_option(&found);
        release_list(&list);
        EXPECT_EQ(in_use(), start);
    }
}

TEST(LocalStrdup, CopiesOntoThePrivateHeap) {
    char *null_copy = local_strdup(nullptr);
    char *empty_copy = local_strdup("");
    const char text[] = "write_period_seconds=600";
    char *copy = local_strdup(text);
    ASSERT_TRUE(null_copy && empty_copy && copy);
    EXPECT_STREQ(null_copy, "");
    EXPECT_STREQ(empty_copy, "");
    EXPECT_STREQ(copy, text);
    EXPECT_NE(copy, text);
    EXPECT_TRUE(private_heap_owns(copy));
    EXPECT_GE(dlmalloc_usable_size(copy), sizeof text);
    dlfree(null_copy);
    dlfree(empty_copy);
    dlfree(copy);

    private_heap_fail_after(0);
    char *failed = local_strdup(text);
    private_heap_fail_after(-1);
    EXPECT_EQ(failed, nullptr);
}

TEST(StrcmpCi, OrdersLowerCasedCopiesAndReportsAFailedCopy) {
    size_t start = in_use();
    char mixed[] = "Stack_Depth";
    auto sign = [](const char *first, const char *second) {
        int order = 99;
        EXPECT_EQ(strcmp_ci(first, second, &order), 0);
        return (order > 0) - (order < 0);
    };
    EXPECT_EQ((std::vector<int>{sign(mixed, "STACK_depth"), sign("ABC", "abd"), sign("b", "A"), sign(nullptr, ""),
                                sign("\xC9t\xE9", "\xC9T\xE9")}),
              (std::vector<int>{0, -1, 1, 0, 0}));
    EXPECT_STREQ(mixed, "Stack_Depth");
    for (int successes : {0, 1}) {
        int order = 99;
        EXPECT_MATCHES(
            with_heap_failing_after(successes, [&] { EXPECT_EQ(strcmp_ci("a", "a", &order), successes + 1); }),
            kCopyStringFailure);
        EXPECT_EQ(order, 99) << "a failure leaves the ordering unwritten";
    }
    EXPECT_EQ(in_use(), start);
}

} // namespace
