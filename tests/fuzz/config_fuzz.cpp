// libFuzzer target: option strings of any bytes through the parser, the
// lookup and the release, checked against the model in config_fuzz_check.
#include <stdio.h>
#include <stdlib.h>

#include "config_fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string fault = check_config_input(data, size);
    if (!fault.empty()) {
        // stdout: the fuzzer is run with the target's stderr closed
        printf("config check failed: %s\n", fault.c_str());
        fflush(stdout);
        abort();
    }
    return 0;
}
