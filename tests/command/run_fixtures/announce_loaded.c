/* Stands in for the tracker and its starter: it only says it was loaded,
 * and of which class, which shows that LD_PRELOAD reached the program with
 * the right build. With TRACKER it defines the tracker's entry point, which
 * the launcher looks for; without it, it is an older install's stand-in. */
#include <stdio.h>

#ifdef TRACKER
void initQuarrow(void) {}
#endif

__attribute__((constructor)) static void announce(void) {
    fprintf(stderr, "loaded " LIBRARY_NAME " (%d-bit)\n", (int)(8 * sizeof(void *)));
}
