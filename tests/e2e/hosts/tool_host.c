/*
 * Small programs for the shells the end-to-end tests run, each allocating
 * at one call site so that a tracked run of it has something to report:
 *   tool_host echo WORDS...   prints the words, like echo
 *   tool_host wc              prints the number of bytes read from stdin
 *   tool_host true            exits 0
 *   tool_host env NAME        prints NAME's value, or (unset)
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "call_sites.h"

SITE void *site_tool_alloc(size_t size) {
    void *block = malloc(size);
    last_block = block;
    return block;
}

int main(int argc, char **argv) {
    free(site_tool_alloc(64));
    if (argc >= 2 && strcmp(argv[1], "echo") == 0) {
        for (int i = 2; i < argc; i++)
            printf("%s%s", argv[i], i + 1 < argc ? " " : "");
        printf("\n");
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "wc") == 0) {
        char buffer[4096];
        size_t total = 0, got;
        while ((got = fread(buffer, 1, sizeof buffer, stdin)) > 0)
            total += got;
        printf("%zu\n", total);
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "true") == 0)
        return 0;
    if (argc == 3 && strcmp(argv[1], "env") == 0) {
        const char *value = getenv(argv[2]);
        printf("%s\n", value != NULL ? value : "(unset)");
        return 0;
    }
    fprintf(stderr, "tool_host: echo WORDS... | wc | true | env NAME\n");
    return 2;
}
