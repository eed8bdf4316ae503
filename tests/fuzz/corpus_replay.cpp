// Replays every file of a fuzz corpus directory through one fuzz target's
// checks, so that the inputs the fuzzer found keep being checked in CTest.
// The build names the checks: FUZZ_CHECK_HEADER declares FUZZ_CHECK, which
// takes the bytes of one input and returns what went wrong, or "".
#include <dirent.h>
#include <errno.h>
#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

#include FUZZ_CHECK_HEADER

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s CORPUS_DIRECTORY\n", argv[0]);
        return 2;
    }
    DIR *dir = opendir(argv[1]);
    if (dir == nullptr) {
        perror(argv[1]);
        return 2;
    }
    std::vector<std::string> names;
    errno = 0;
    while (struct dirent *entry = readdir(dir))
        if (entry->d_name[0] != '.')
            names.push_back(entry->d_name);
    if (errno != 0) { // e.g. an inode number too wide for a 32-bit dirent
        perror(argv[1]);
        return 2;
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    if (names.empty()) {
        fprintf(stderr, "%s: no inputs\n", argv[1]);
        return 2;
    }

    int failures = 0;
    for (const std::string &name : names) {
        std::string data;
        FILE *file = fopen((std::string(argv[1]) + "/" + name).c_str(), "rb");
        bool readable = file != nullptr;
        if (readable) {
            char buffer[4096];
            size_t got;
            while ((got = fread(buffer, 1, sizeof buffer, file)) > 0)
                data.append(buffer, got);
            readable = !ferror(file);
            fclose(file);
        }
        if (!readable) {
            printf("FAIL %s: unreadable\n", name.c_str());
            ++failures;
            continue;
        }
        std::string fault = FUZZ_CHECK((const uint8_t *)data.data(), data.size());
        if (!fault.empty()) {
            printf("FAIL %s: %s\n", name.c_str(), fault.c_str());
            ++failures;
        }
    }
    printf("%zu inputs, %d failed\n", names.size(), failures);
    return failures == 0 ? 0 : 1;
}
