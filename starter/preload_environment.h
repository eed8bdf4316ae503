/*
 * The starters' view of their own process's environment: read and edited
 * in `environ` itself, never through getenv, setenv or unsetenv. A program
 * may define those itself (bash does: its setenv and unsetenv change only
 * its table of shell variables, which it fills from `environ` later), and a
 * constructor would then edit nothing that the program passes on.
 */
#ifndef QUARROW_PRELOAD_ENVIRONMENT_H
#define QUARROW_PRELOAD_ENVIRONMENT_H

/* Set by the launcher: the PID of the process it started, the one it tracks. */
#define QUARROW_TRACKED_PID_VARIABLE "QUARROW_TRACKED_PID"

/* The value of NAME in `environ`, or NULL. */
const char *preload_environment_value(const char *name);

/* Takes NAME out of `environ`, every copy of it. */
void preload_environment_remove(const char *name);

/* Takes the tracker's two libraries out of LD_PRELOAD, keeping every other
 * entry in order, and LD_PRELOAD itself out when nothing is left. */
void preload_environment_drop_tracker(void);

/* Whether the launcher's PID variable names another process than this one:
 * 1 another, 0 this one, -1 not set (no launcher). */
int preload_environment_is_descendant(void);

#endif
