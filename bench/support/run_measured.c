/* Runs a program to its end, its output thrown away, and prints "NANOSECONDS KILOBYTES STATUS":
 * the time from its start to its exit, its peak resident memory and its exit status (-1 when a
 * signal ended it).
 *
 * A process of its own, and a small one, so that the peak is the program's: Linux counts into a
 * program's peak the memory of the process that started it (posix_spawn shares that memory
 * until the exec), and a benchmark that has loaded Qt would add its own tens of megabytes.
 * Usage: run_measured PROGRAM [ARGUMENT...]   (PROGRAM is looked up on the PATH) */
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>

extern char** environ;

static long long MonotonicNanoseconds(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s PROGRAM [ARGUMENT...]\n", argv[0]);
        return 64;
    }
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
    const long long started = MonotonicNanoseconds();
    pid_t child;
    if (posix_spawnp(&child, argv[1], &quiet, NULL, argv + 1, environ) != 0) {
        perror(argv[1]);
        return 1;
    }
    int status = 0;
    struct rusage usage;
    if (wait4(child, &status, 0, &usage) != child) {
        perror("wait4");
        return 1;
    }
    const long long ended = MonotonicNanoseconds();
    printf("%lld %ld %d\n", ended - started, usage.ru_maxrss,
           WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    return 0;
}
