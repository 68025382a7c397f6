/* Runs a command as the child of this small process and reports the child's peak RSS.
 *
 *     peak_rss <report file> <command> [arguments...]
 *
 * The kernel carries a process's peak RSS across exec: a command started straight from a
 * large process (the benchmark's Python, which holds the lists of hundreds of thousands of
 * files) reports at least that process's size. A child of this launcher starts from the
 * launcher's few hundred KiB. The peak (KiB) goes to the report file; the exit status is
 * the command's (128 + the signal when a signal ended it). The child dies with the launcher,
 * so a benchmark that kills the launcher on a time-out leaves nothing running. */
#include <signal.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s <report file> <command> [arguments...]\n", argv[0]);
        return 2;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        perror("fork");
        return 2;
    }
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        execvp(argv[2], argv + 2);
        perror(argv[2]);
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    if (wait4(pid, &status, 0, &usage) < 0) {
        perror("wait4");
        return 2;
    }
    FILE* report = fopen(argv[1], "w");
    if (report == NULL || fprintf(report, "%ld\n", usage.ru_maxrss) < 0 || fclose(report) != 0) {
        perror(argv[1]);
        return 2;
    }
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}
