// Runs one program and writes its exit status, wall time, peak memory and
// processor time (user and system) to a file:  measure_run RESULT_FILE PROGRAM [ARGUMENT]...
// Linux counts the memory of the process a child was started from into the
// child's peak, so the benchmark, which holds its whole corpus, cannot start
// kavrelt itself; this program is linked statically to stay far smaller than
// what it measures.
#include <cstdio>
#include <ctime>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

extern char** environ;

static double now_seconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

int main(int argc, char** argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: measure_run RESULT_FILE PROGRAM [ARGUMENT]...\n");
        return 2;
    }
    const double start = now_seconds();
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[2], nullptr, nullptr, argv + 2, environ) != 0) return 2;
    int status = 0;
    struct rusage usage {};
    if (wait4(pid, &status, 0, &usage) != pid) return 2;
    const double seconds = now_seconds() - start;
    const int exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    FILE* result = fopen(argv[1], "w");
    if (result == nullptr) return 2;
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    fprintf(result, "%d %.6f %ld %.6f\n", exit_status, seconds, usage.ru_maxrss, cpu);
    return fclose(result) == 0 ? 0 : 2;
}
