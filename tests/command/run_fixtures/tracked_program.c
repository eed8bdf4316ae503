/* A program for `quarrow run` to start, built for both classes (and
 * statically, to be refused): it shows what it was given and ends as its
 * first argument asks, else with status 7. "spawn PROGRAM" runs PROGRAM
 * as a child first, as a tracked program's children run. */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char **argv) {
    static const char *const names[] = {"LD_PRELOAD",
                                        "PROFILER_WRITE_PERIOD_SECONDS",
                                        "PROFILER_STACK_DEPTH",
                                        "PROFILER_TRIGGER_FILE",
                                        "PROFILER_REPORT_AT_EXIT",
                                        "QUARROW_FOLLOW_CHILDREN",
                                        "QUARROW_REPORT_DIR",
                                        "QUARROW_TRACKED_PID"};
    for (int i = 0; i < argc; i++)
        printf("arg %d: %s\n", i, argv[i]);
    for (size_t i = 0; i < sizeof names / sizeof names[0]; i++) {
        const char *value = getenv(names[i]);
        printf("%s=%s\n", names[i], value ? value : "(unset)");
    }
    fflush(stdout);
    if (argc > 1 && strcmp(argv[1], "wait") == 0)
        pause();
    if (argc > 1 && strcmp(argv[1], "signal") == 0)
        raise(SIGUSR1);
    if (argc > 2 && strcmp(argv[1], "spawn") == 0) {
        pid_t child = fork();
        if (child == 0) {
            execl(argv[2], argv[2], "child", (char *)NULL);
            _exit(127);
        }
        int status = 0;
        if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 7)
            return 1;
    }
    return 7;
}
