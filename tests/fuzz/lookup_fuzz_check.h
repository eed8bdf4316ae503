// The report reader's object lookup run on one object file of any bytes:
// what the fuzz target and its corpus replay share.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

// Looks frames up in an object holding `data`; returns a description of
// what broke a rule of the lookup, or an empty string. Crashes and hangs
// are for the caller's sanitizer and timeout to see.
std::string check_lookup_input(const uint8_t *data, size_t size);
