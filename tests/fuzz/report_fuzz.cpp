// libFuzzer target: report files of any bytes through the report reader's
// parser, checked by report_fuzz_check.
#include <stdio.h>
#include <stdlib.h>

#include "report_fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string fault = check_report_input(data, size);
    if (!fault.empty()) {
        printf("report check failed: %s\n", fault.c_str());
        fflush(stdout);
        abort();
    }
    return 0;
}
