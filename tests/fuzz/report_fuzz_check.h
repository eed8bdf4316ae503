// The report parser run on one report file of any bytes: what the fuzz
// target and its corpus replay share.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

// Parses `data` as a report file the way `quarrow report` reads one, and
// again from memory and twice in one parse; returns a description of what
// broke a rule of the parser, or an empty string. Crashes and hangs are for
// the caller's sanitizer and timeout to see.
std::string check_report_input(const uint8_t *data, size_t size);
