// The option string parser, the option list and its case-insensitive lookup.
#include "config.h"

#include <stdlib.h>
#include <string.h>

#include "debug_alloc_log.h"
#include "error_line.h"
#include "private_heap/private_heap.h"
#include "string_util.h"

static const char _source_file[] = "src/config.cpp";

// The parser's states; the numbers appear in the "Unexpected state" line.
enum { PARSE_NAME = 0, PARSE_VALUE = 1, PARSE_BRACED_VALUE = 2 };

// The value of every item written without '='. Read-only, so a consumer that
// writes into it faults at once instead of changing every such option.
static const char _empty_value[] = "";

static config_option *alloc_config_option() {
    config_option *option = (config_option *)dlmalloc(sizeof(config_option));
    if (option == nullptr) {
        QUARROW_ERROR_LINE("Failed malloc trying to create config_option.");
        return nullptr;
    }
    option->name = nullptr;
    option->value = nullptr;
    option->next = nullptr;
    return option;
}

static void free_config_option_list(config_option *option) {
    while (option != nullptr) {
        config_option *next = option->next;
        free_config_option(&option);
        option = next;
    }
}

static void add_to_end_of_list(config_option **list, config_option **tail, config_option *option) {
    if (*list == nullptr)
        *list = option;
    else
        (*tail)->next = option;
    *tail = option;
}

// text[start, end) as a private NUL-terminated string, or null (the caller
// reports it).
static char *_copy_item(const char *text, size_t start, size_t end) {
    size_t length = end - start;
    char *copy = (char *)dlmalloc(length + 1);
    if (copy == nullptr)
        return nullptr;
    memcpy(copy, text + start, length);
    copy[length] = '\0';
    return copy;
}

// Every failed parse leaves nothing behind: the pending record (not in the
// list yet) and the list built so far are released.
static int _abandon_parse(config_option **list, config_option **pending) {
    free_config_option(pending);
    free_config_option_list(*list);
    *list = nullptr;
    return 1;
}

static int _abandon_for_record(config_option **list, config_option **pending) {
    QUARROW_ERROR_LINE("config_option allocate failed.");
    return _abandon_parse(list, pending);
}

static int _abandon_for_copy(config_option **list, config_option **pending) {
    QUARROW_ERROR_LINE("Failed malloc trying to copy option text.");
    return _abandon_parse(list, pending);
}

extern "C" {

int parse_config_string(const char *text, config_option **list) {
    configure_internal_memory_debugging(); // it only reports success
    if (list == nullptr)
        return 1; // nowhere to put a result
    *list = nullptr;
    if (text == nullptr || text[0] == '\0')
        return 0;

    size_t length = strlen(text);
    size_t item_start = 0;
    int state = PARSE_NAME;
    config_option *tail = nullptr;
    config_option *pending = alloc_config_option();
    if (pending == nullptr)
        return _abandon_for_record(list, &pending);

    for (size_t index = 0; index < length; ++index) {
        char byte = text[index];
        switch (state) {
        case PARSE_NAME:
            if (byte == '=') {
                pending->name = _copy_item(text, item_start, index);
                if (pending->name == nullptr)
                    return _abandon_for_copy(list, &pending);
                item_start = index + 1;
                state = PARSE_VALUE;
            } else if (byte == ',') {
                pending->name = _copy_item(text, item_start, index);
                if (pending->name == nullptr)
                    return _abandon_for_copy(list, &pending);
                pending->value = (char *)_empty_value;
                item_start = index + 1;
                add_to_end_of_list(list, &tail, pending);
                pending = alloc_config_option();
                if (pending == nullptr)
                    return _abandon_for_record(list, &pending);
            }
            break;
        case PARSE_VALUE:
            if (byte == ',') {
                pending->value = _copy_item(text, item_start, index);
                if (pending->value == nullptr)
                    return _abandon_for_copy(list, &pending);
                item_start = index + 1;
                state = PARSE_NAME;
                add_to_end_of_list(list, &tail, pending);
                pending = alloc_config_option();
                if (pending == nullptr)
                    return _abandon_for_record(list, &pending);
            } else if (byte == '{') {
                state = PARSE_BRACED_VALUE;
            }
            break;
        case PARSE_BRACED_VALUE:
            if (byte == '}') // braces do not nest: the first '}' closes
                state = PARSE_VALUE;
            break;
        default:
            QUARROW_ERROR_FORMAT("Unexpected state: %d", state);
            abort();
        }
    }

    switch (state) {
    case PARSE_VALUE:
        pending->value = _copy_item(text, item_start, length);
        if (pending->value == nullptr)
            return _abandon_for_copy(list, &pending);
        add_to_end_of_list(list, &tail, pending);
        return 0;
    case PARSE_BRACED_VALUE:
        QUARROW_ERROR_FORMAT("Parse error, did not close curly brace for option %s", pending->name);
        return _abandon_parse(list, &pending);
    case PARSE_NAME:
        if (item_start == length) { // a trailing ',' adds no option
            free_config_option(&pending);
            return 0;
        }
        pending->name = _copy_item(text, item_start, length);
        if (pending->name == nullptr)
            return _abandon_for_copy(list, &pending);
        pending->value = (char *)_empty_value;
        add_to_end_of_list(list, &tail, pending);
        return 0;
    default:
        QUARROW_ERROR_FORMAT("Unexpected state: %d", state);
        abort();
    }
}

config_option *find_option(config_option **list, const char *name) {
    config_option *result = nullptr;
    if (list == nullptr)
        return nullptr;
    // Walk the links themselves so that a match is unlinked in place.
    config_option **link = list;
    while (*link != nullptr) {
        config_option *option = *link;
        int order = 0;
        int status = strcmp_ci(name, option->name, &order);
        if (status != 0) {
            QUARROW_ERROR_FORMAT("Error comparing %s and %s, err code = %d", name != nullptr ? name : "", option->name,
                                 status);
            break; // the records not yet examined stay listed
        }
        if (order == 0) {
            free_config_option(&result); // a later item of the same name wins
            result = option;
            *link = option->next;
            option->next = nullptr; // detached: nothing of the list is reachable through it
        } else {
            link = &option->next;
        }
    }
    return result;
}

void free_config_option(config_option **option) {
    if (option == nullptr || *option == nullptr)
        return;
    dlfree((*option)->name); // the heap ignores null
    if ((*option)->value != _empty_value)
        dlfree((*option)->value);
    dlfree(*option);
    *option = nullptr;
}

} // extern "C"
