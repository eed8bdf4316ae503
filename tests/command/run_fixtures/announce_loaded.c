/* Stands in for the tracker and its starter: it only says it was loaded,
 * which shows that LD_PRELOAD reached the program. */
#include <stdio.h>

__attribute__((constructor)) static void announce(void) { fputs("loaded " LIBRARY_NAME "\n", stderr); }
