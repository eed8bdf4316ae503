// String copies and the case-insensitive comparison for the option lookup.
#include "string_util.h"

#include <ctype.h>
#include <errno.h>
#include <string.h>

#include "error_line.h"
#include "private_heap/private_heap.h"

static const char _source_file[] = "src/string_util.cpp";

extern "C" char *local_strdup(const char *text) {
    size_t length = text != nullptr ? strlen(text) : 0;
    char *copy = (char *)dlmalloc(length + 1);
    if (copy == nullptr)
        return nullptr;
    if (length != 0)
        memcpy(copy, text, length);
    copy[length] = '\0';
    return copy;
}

// In the locale the host has set; in the default one only 'A' to 'Z' change.
static void to_lower_case(char *text) {
    for (; *text != '\0'; ++text)
        *text = (char)tolower((unsigned char)*text); // a negative char is outside tolower's domain
}

extern "C" {

int strcmp_ci(const char *first, const char *second, int *order) {
    int status = 0;
    char *first_copy = local_strdup(first);
    char *second_copy = nullptr;
    if (first_copy == nullptr) {
        QUARROW_ERROR_FORMAT("Couldn't malloc space to copy string. Errno=%d", errno);
        status = 1;
    } else {
        second_copy = local_strdup(second);
        if (second_copy == nullptr) {
            QUARROW_ERROR_FORMAT("Couldn't malloc space to copy string. Errno=%d", errno);
            status = 2;
        } else {
            to_lower_case(first_copy);
            to_lower_case(second_copy);
            *order = strcmp(first_copy, second_copy);
        }
    }
    dlfree(first_copy); // the heap ignores null
    dlfree(second_copy);
    return status;
}

} // extern "C"
