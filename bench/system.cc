// The operating-system services of the benchmark: a clock, whole-file reads
// and writes, descriptors for the decoder, and child processes with their
// time and, through measure_run, their peak memory.
#include "bench.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    if (values.size() % 2 == 1) return values[middle];
    return (values[middle - 1] + values[middle]) / 2;
}

double geometric_mean(const std::vector<double>& values)
{
    double log_sum = 0;
    for (const double v : values) log_sum += std::log(v);
    return std::exp(log_sum / static_cast<double>(values.size()));
}

double now_seconds()
{
    const auto since_start = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration<double>(since_start).count();
}

void die(const std::string& message)
{
    fflush(stdout);
    fprintf(stderr, "bench: %s\n", message.c_str());
    exit(1);
}

Bytes read_file_or_die(const std::string& path)
{
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) die("cannot open " + path);
    Bytes data;
    uint8_t chunk[65536];
    size_t count = 0;
    while ((count = fread(chunk, 1, sizeof chunk, file)) > 0) data.insert(data.end(), chunk, chunk + count);
    const bool failed = ferror(file) != 0;
    fclose(file);
    if (failed) die("cannot read " + path);
    return data;
}

void write_file_or_die(const std::string& path, const Bytes& data)
{
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr) die("cannot create " + path);
    const size_t written = fwrite(data.data(), 1, data.size(), file);
    if (fclose(file) != 0 || written != data.size()) die("cannot write " + path);
}

void make_directories_or_die(const std::string& path)
{
    std::error_code error;
    std::filesystem::create_directories(path, error);
    if (error) die("cannot create directory " + path);
}

int open_input_or_die(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) die("cannot open " + path);
    return fd;
}

int open_output_or_die(const std::string& path)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) die("cannot create " + path);
    return fd;
}

void close_fd(int fd)
{
    close(fd);
}

void flush_file_system()
{
    sync();
}

// Sends the child's stdout and stderr to /dev/null: kavrelt prints a line
// per file, and a terminal would make that the thing being measured.
static pid_t spawn_quiet(const std::vector<std::string>& argv)
{
    std::vector<char*> pointers;
    for (const std::string& arg : argv) pointers.push_back(const_cast<char*>(arg.c_str()));
    pointers.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = 0;
    const int error = posix_spawnp(&pid, pointers[0], &actions, nullptr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) die("cannot start " + argv[0]);
    return pid;
}

static std::string describe(const std::vector<std::string>& argv)
{
    std::string command;
    for (const std::string& arg : argv) command += " " + arg;
    return command;
}

double run_or_die(const std::vector<std::string>& argv)
{
    const double start = now_seconds();
    const pid_t pid = spawn_quiet(argv);
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) die("lost child" + describe(argv));
    const double seconds = now_seconds() - start;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) die("failed:" + describe(argv));
    return seconds;
}

ChildRun run_measured_or_die(const std::vector<std::string>& argv, const std::string& result_path)
{
    std::vector<std::string> measured = {MEASURE_RUN_EXECUTABLE, result_path};
    measured.insert(measured.end(), argv.begin(), argv.end());
    run_or_die(measured);
    FILE* result = fopen(result_path.c_str(), "r");
    int exit_status = -1;
    ChildRun run{0, 0, 0};
    long long max_rss_kib = 0;
    const int fields = result == nullptr ? 0
                                         : fscanf(result, "%d %lf %lld %lf", &exit_status, &run.seconds, &max_rss_kib,
                                                  &run.cpu_seconds);
    if (result != nullptr) fclose(result);
    if (fields != 4 || exit_status != 0) die("failed:" + describe(argv));
    run.max_rss_kib = max_rss_kib;
    return run;
}

double copy_tree_or_die(const std::string& from, const std::string& to)
{
    return run_or_die({"cp", "-r", from, to});
}

double copy_tree_as_is_or_die(const std::string& from, const std::string& to)
{
    return run_or_die({"cp", "-a", from, to});
}

void remove_tree_or_die(const std::string& path)
{
    run_or_die({"rm", "-rf", path});
}
