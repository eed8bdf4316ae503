// libFuzzer target: object files of any bytes through the report reader's
// lookup, checked by lookup_fuzz_check.
#include <stdio.h>
#include <stdlib.h>

#include "lookup_fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string fault = check_lookup_input(data, size);
    if (!fault.empty()) {
        printf("lookup check failed: %s\n", fault.c_str());
        fflush(stdout);
        abort();
    }
    return 0;
}
