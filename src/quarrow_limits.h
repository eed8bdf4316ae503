/*
 * Limits the library enforces and the launcher checks before it starts a
 * program, in one place for both. Plain C, no library types: the 64-bit
 * launcher includes it too.
 */
#ifndef QUARROW_LIMITS_H
#define QUARROW_LIMITS_H

/*
 * The deepest stack a capture keeps. Its scratch array lives on the
 * allocating thread's own stack, so a larger depth is cut to this.
 */
#define QUARROW_MAX_STACK_DEPTH 1024

/* The longest write period: the library reads the setting into a 32-bit int. */
#define QUARROW_MAX_WRITE_PERIOD_SECONDS 0x7fffffff

#endif
