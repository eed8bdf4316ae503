/*
 * The shared object of the offline-lookup tests. Every call of
 * fixture_record (in the program) records the stack at that point; the
 * "LINE:" markers name the lines the lookup must find for those calls.
 */
extern void fixture_record(void);

/* Static: only .symtab names it; the report can only give the nearest
 * exported symbol or none. */
static __attribute__((noinline)) void hidden_leaf(void) {
    fixture_record(); /* LINE:hidden_leaf */
    __asm__ volatile("");
}

static inline __attribute__((always_inline)) void inlined_helper(void) {
    fixture_record(); /* LINE:inlined_helper */
}

__attribute__((noinline)) void fixture_exported(void) {
    hidden_leaf(); /* LINE:exported_calls_hidden */
    inlined_helper(); /* LINE:exported_calls_inlined */
    __asm__ volatile("");
}
