/*
 * Starts itself again as a child: children_host [--child].
 *
 * The parent allocates, then forks and executes its own program with
 * --child, and waits for it. Each side prints what it saw:
 *   PARENT_PID=<pid>            CHILD_PID=<pid> STATUS=<wait status>
 *   CHILD_SELF_PID=<pid>        CHILD_PRELOAD=<LD_PRELOAD or (unset)>
 */
#define _GNU_SOURCE
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>
#include <string.h>

#include "call_sites.h"

SITE void *site_parent_alloc(size_t size) {
    void *block = malloc(size);
    last_block = block;
    return block;
}

SITE void *site_child_alloc(size_t size) {
    void *block = malloc(size);
    last_block = block;
    return block;
}

static int run_child(void) {
    const char *preload = getenv("LD_PRELOAD");
    printf("CHILD_SELF_PID=%d\nCHILD_PRELOAD=%s\n", (int)getpid(), preload != NULL ? preload : "(unset)");
    void *blocks[3];
    for (int i = 0; i < times(3); i++)
        blocks[i] = site_child_alloc(77);
    free(blocks[0]);
    return 0;
}

int main(int argc, char **argv) {
    if (argc == 2 && strcmp(argv[1], "--child") == 0)
        return run_child();

    free(site_parent_alloc(55));
    /* Resolved here rather than executed by name: where 32-bit code runs
     * under an emulator, the kernel's /proc/self/exe is the emulator. */
    char self[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) {
        perror("host: readlink /proc/self/exe");
        return 1;
    }
    self[length] = '\0';
    printf("PARENT_PID=%d\n", (int)getpid());
    fflush(stdout);
    pid_t pid = fork();
    if (pid < 0) {
        perror("host: fork");
        return 1;
    }
    if (pid == 0) {
        execl(self, self, "--child", (char *)NULL);
        perror("host: exec");
        _exit(127);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) {
        perror("host: waitpid");
        return 1;
    }
    printf("CHILD_PID=%d STATUS=%d\n", (int)pid, status);
    return status != 0;
}
