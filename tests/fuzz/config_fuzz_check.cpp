// Checks of the option parser against a plain model of the option language,
// shared by the fuzz target and the corpus replay.
#include "config_fuzz_check.h"

#include <ctype.h>
#include <string.h>

#include <vector>

#include "config.h"
#include "private_heap/private_heap.h"

namespace {

struct ModelOption {
    std::string name;
    std::string value;
    bool shared_empty;
};

struct Model {
    bool parses = true;
    std::string unclosed_brace_in; // the option named in the brace error
    std::vector<ModelOption> options;
    size_t allocations = 0; // records and copies a successful parse makes
};

// The language as a reader would state it: items are split at commas outside
// a value's brace stretches; the first '=' splits name from value; an item
// without '=' has the shared empty value; a final comma ends the last item.
Model model_of(const std::string &text) {
    Model model;
    if (text.empty())
        return model;
    size_t records = 1, copies = 0, pos = 0;
    while (pos < text.size()) {
        size_t stop = text.find_first_of("=,", pos);
        if (stop == std::string::npos) {
            model.options.push_back({text.substr(pos), "", true});
            copies += 1;
            break;
        }
        std::string name = text.substr(pos, stop - pos);
        if (text[stop] == ',') {
            model.options.push_back({name, "", true});
            copies += 1;
            records += 1;
            pos = stop + 1;
            continue;
        }
        size_t value_start = stop + 1, scan = value_start, comma;
        for (;;) {
            comma = text.find(',', scan);
            size_t open = text.find('{', scan);
            if (open == std::string::npos || open > comma)
                break;
            size_t close = text.find('}', open + 1);
            if (close == std::string::npos) {
                model.parses = false;
                model.unclosed_brace_in = name;
                model.options.clear();
                return model;
            }
            scan = close + 1;
        }
        size_t value_end = comma == std::string::npos ? text.size() : comma;
        model.options.push_back({name, text.substr(value_start, value_end - value_start), false});
        copies += 2;
        if (comma == std::string::npos)
            break;
        records += 1;
        pos = comma + 1;
    }
    model.allocations = records + copies;
    return model;
}

std::string lower(std::string text) {
    for (char &c : text)
        c = (char)tolower((unsigned char)c);
    return text;
}

const char *shared_empty_value() {
    static const char *value = [] {
        config_option *list = nullptr;
        parse_config_string("a", &list);
        const char *v = list != nullptr ? list->value : nullptr;
        free_config_option(&list);
        return v;
    }();
    return value;
}

// Compares the list with the expected options; empty when they agree.
std::string compare_list(const config_option *list, const std::vector<ModelOption> &expected) {
    size_t i = 0;
    for (; list != nullptr; list = list->next, ++i) {
        if (i == expected.size())
            return "the list is longer than the model's " + std::to_string(expected.size()) + " options";
        const ModelOption &e = expected[i];
        if (list->name == nullptr || list->value == nullptr)
            return "option " + std::to_string(i) + " has a null string";
        bool shared = list->value == shared_empty_value();
        if (e.name != list->name || e.value != list->value || e.shared_empty != shared)
            return "option " + std::to_string(i) + " is (" + list->name + ", " + list->value +
                   (shared ? ", shared" : "") + "), the model says (" + e.name + ", " + e.value +
                   (e.shared_empty ? ", shared" : "") + ")";
        if (!shared && !private_heap_owns(list->value))
            return "option " + std::to_string(i) + " has a value that is not a heap copy";
    }
    if (i != expected.size())
        return "the list has " + std::to_string(i) + " options, the model " + std::to_string(expected.size());
    return "";
}

void release_list(config_option **list) {
    while (*list != nullptr) {
        config_option *next = (*list)->next;
        free_config_option(list);
        *list = next;
    }
}

// Written back as items, the options give the text again (without the final
// comma, which adds no item).
std::string rejoin_check(const std::string &text, const config_option *list) {
    std::string joined;
    for (const config_option *o = list; o != nullptr; o = o->next) {
        if (o != list)
            joined += ',';
        joined += o->name;
        if (o->value != shared_empty_value())
            joined += std::string("=") + o->value;
    }
    if (joined == text || joined + "," == text)
        return "";
    return "the options rejoin as '" + joined + "'";
}

// Takes every name out of the list (alternately as written and upper-cased);
// each lookup returns the last option of that name and leaves the others.
std::string lookup_check(config_option **list, std::vector<ModelOption> remaining) {
    for (size_t round = 0; !remaining.empty(); ++round) {
        std::string name = remaining.front().name;
        std::string key = lower(name);
        std::string probe = name;
        if (round % 2 == 1)
            for (char &c : probe)
                c = (char)toupper((unsigned char)c);
        const ModelOption *last = nullptr;
        std::vector<ModelOption> kept;
        for (const ModelOption &o : remaining) {
            if (lower(o.name) == key)
                last = &o;
            else
                kept.push_back(o);
        }
        config_option *found = find_option(list, probe.c_str());
        std::string fault;
        if (found == nullptr)
            fault = "no option found for '" + probe + "'";
        else if (found->next != nullptr)
            fault = "the option found for '" + probe + "' still links to the list";
        else
            fault = compare_list(found, {*last});
        free_config_option(&found);
        if (fault.empty())
            fault = compare_list(*list, kept);
        if (fault.empty() && (found = find_option(list, probe.c_str())) != nullptr) {
            fault = "a second lookup of '" + probe + "' found an option";
            free_config_option(&found);
        }
        if (!fault.empty())
            return fault;
        remaining = kept;
    }
    return *list == nullptr ? "" : "options are left after every name was looked up";
}

uint32_t hash(const std::string &text) {
    uint32_t h = 2166136261u;
    for (char c : text)
        h = (h ^ (uint8_t)c) * 16777619u;
    return h;
}

std::string check_once(const std::string &text, const Model &model, int successes) {
    size_t start = dlmallinfo().uordblks;
    config_option *list = reinterpret_cast<config_option *>(1); // must be overwritten
    private_heap_fail_after(successes);
    int result = parse_config_string(text.c_str(), &list);
    private_heap_fail_after(-1);

    bool starved = successes >= 0 && (size_t)successes < model.allocations;
    std::string fault;
    if (result != 0 && result != 1)
        fault = "result " + std::to_string(result);
    else if (result == 1 && list != nullptr)
        fault = "a failed parse left a list";
    else if (!model.parses && result != 1)
        fault = "an unclosed brace in option '" + model.unclosed_brace_in + "' was accepted";
    else if (model.parses && !starved && result != 0)
        fault = "the parse failed";
    else if (model.parses && starved && result != 1)
        fault = "the parse succeeded with too little memory";
    else if (result == 0) {
        fault = compare_list(list, model.options);
        if (fault.empty())
            fault = rejoin_check(text, list);
        if (fault.empty() && successes < 0)
            fault = lookup_check(&list, model.options);
    }
    release_list(&list);
    if (fault.empty() && (size_t)dlmallinfo().uordblks != start)
        fault = "in-use bytes went from " + std::to_string(start) + " to " + std::to_string(dlmallinfo().uordblks);
    if (fault.empty() && private_heap_check() != 0)
        fault = "the heap is inconsistent";
    return fault;
}

} // namespace

std::string check_config_input(const uint8_t *data, size_t size) {
    const uint8_t *nul = (const uint8_t *)memchr(data, 0, size);
    std::string text((const char *)data, nul != nullptr ? (size_t)(nul - data) : size);
    if (shared_empty_value() == nullptr)
        return "the shared empty value could not be learned";
    Model model = model_of(text);
    std::string fault = check_once(text, model, -1);
    if (!fault.empty())
        return "with memory: " + fault;
    int successes = (int)(hash(text) % (model.allocations + 2));
    fault = check_once(text, model, successes);
    if (!fault.empty())
        return "failing after " + std::to_string(successes) + " allocations: " + fault;
    return "";
}
