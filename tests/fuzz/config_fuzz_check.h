// The checks that the option-parser fuzz target and its corpus replay share.
#ifndef QUARROW_CONFIG_FUZZ_CHECK_H
#define QUARROW_CONFIG_FUZZ_CHECK_H

#include <stddef.h>
#include <stdint.h>

#include <string>

/*
 * Parses data (as a NUL-terminated string: bytes after a NUL are not seen)
 * and checks the result against a plain model of the option language, then
 * looks every name up until the list is empty, and checks that the private
 * heap's in-use bytes are back where they started. Does the same once more
 * with the heap failing after a number of allocations picked from the input.
 * Returns an empty string when every check held, else what failed.
 * The library's error lines go to standard error as usual.
 */
std::string check_config_input(const uint8_t *data, size_t size);

#endif
