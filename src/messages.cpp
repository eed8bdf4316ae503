// The library's lines: standard error, or a followed child's side file.
#include "messages.h"

#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

// -1: standard error. A followed child sets it once, before its threads.
static int _side_file = -1;
static bool _side_file_wanted = false;
static bool _holding_errors = false;
static char _first_error[1024];

static const char _error_prefix[] = "QUARROW ERROR: ";

extern "C" {

void quarrow_line(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    if (!_side_file_wanted) {
        vfprintf(stderr, format, arguments);
        va_end(arguments);
        return;
    }
    char line[PATH_MAX + 512];
    int size = vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    if (size < 0)
        return;
    size_t length = (size_t)size < sizeof line ? (size_t)size : sizeof line - 1;
    if (_holding_errors && strncmp(line, _error_prefix, sizeof _error_prefix - 1) == 0) {
        if (_first_error[0] == '\0') {
            size_t kept = length < sizeof _first_error ? length : sizeof _first_error - 1;
            memcpy(_first_error, line, kept);
            _first_error[kept] = '\0';
            char *newline = strchr(_first_error, '\n');
            if (newline != nullptr)
                *newline = '\0';
        }
        return;
    }
    if (_side_file >= 0) {
        // One write with O_APPEND: lines of children writing at once never mix.
        ssize_t ignored = write(_side_file, line, length);
        (void)ignored;
    }
}

void quarrow_write_line(const char *line, size_t length) {
    ssize_t ignored = write(_side_file >= 0 ? _side_file : 2, line, length);
    (void)ignored;
}

int messages_use_side_file(const char *dir) {
    _side_file_wanted = true;
    _holding_errors = true;
    _first_error[0] = '\0';
    char path[PATH_MAX];
    if (snprintf(path, sizeof path, "%s/" QUARROW_SIDE_FILE_NAME, dir) >= (int)sizeof path)
        return -1;
    _side_file = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    return _side_file >= 0 ? 0 : -1;
}

const char *messages_release_errors(void) {
    _holding_errors = false;
    return _first_error;
}

} // extern "C"
