// The end-to-end harness: spawning the binary under test, zlib helpers to
// make and check gzip data, and small file utilities.
#include "harness.h"

#include "banner.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#ifndef KAVRELT_DEFAULT_BINARY
#define KAVRELT_DEFAULT_BINARY "kavrelt"
#endif

namespace fs = std::filesystem;

const std::string BANNER = std::string("\n") + BANNER_START + "DATE)\n";
const char USAGE[] =
    "\nUsage: kavrelt [OPTION]... DIRECTORY\n"
    "kavrelt converts ORVANTE files from DVD:\n"
    "It restores stripped .gz extensions and extracts files from archives.\n\n"
    "The following additional OPTIONs are available:\n"
    "  -u   rename uppercase filenames to lowercase filenames\n"
    "  -c   convert line endings of textfiles to lf only (!cr will be removed!)\n\n";

// A run that takes longer has hung (a FIFO opened for reading, a loop).
constexpr int RUN_TIMEOUT_SECONDS = 60;

static TargetSystem make_target_system()
{
    TargetSystem system;
    const char* binary = getenv("KAVRELT_BINARY");
    system.binary = binary != nullptr && *binary != '\0' ? binary : KAVRELT_DEFAULT_BINARY;
    if (const char* runner = getenv("KAVRELT_TEST_RUNNER")) {
        std::istringstream words(runner);
        for (std::string word; words >> word;) system.runner.push_back(word);
    }
    const bool win32 = system.binary.size() >= 4 &&
                       system.binary.compare(system.binary.size() - 4, 4, ".exe") == 0;
    system.separator = win32 ? '\\' : '/';
    system.names_ignore_case = win32;
    system.posix = !win32;
    system.file_links_visible = !win32;
    return system;
}

const TargetSystem& target_system()
{
    static const TargetSystem system = make_target_system();
    return system;
}

[[noreturn]] static void exec_child(const std::vector<std::string>& command, const RunOptions& options, int out_fd)
{
    dup2(out_fd, 1);
    const int null_fd = open("/dev/null", O_RDWR);
    dup2(null_fd, 0);
    dup2(null_fd, 2);
    umask(022);
    if (options.user >= 0) {
        const gid_t group = static_cast<gid_t>(options.group);
        if (setgroups(0, nullptr) != 0 || setgid(group) != 0 || setuid(static_cast<uid_t>(options.user)) != 0) {
            _exit(126);
        }
    }
    if (options.file_size_limit >= 0) {
        const rlimit limit = {static_cast<rlim_t>(options.file_size_limit), static_cast<rlim_t>(options.file_size_limit)};
        setrlimit(RLIMIT_FSIZE, &limit);
        // Past the limit a write comes back short instead of killing the run.
        signal(SIGXFSZ, SIG_IGN);
    }
    std::vector<char*> argv;
    for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

RunResult run_kavrelt(const std::vector<std::string>& arguments, const RunOptions& options)
{
    const TargetSystem& system = target_system();
    std::vector<std::string> command = system.runner;
    command.push_back(system.binary);
    command.insert(command.end(), arguments.begin(), arguments.end());

    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return {"", -1};
    const pid_t pid = fork();
    if (pid == 0) {
        close(pipe_fds[0]);
        exec_child(command, options, pipe_fds[1]);
    }
    close(pipe_fds[1]);
    RunResult result{"", -1};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(RUN_TIMEOUT_SECONDS);
    int status = 0;
    bool exited = false;
    bool timed_out = false;
    // Read until end of file, or until the child has exited and the pipe is
    // drained: a helper the runner started may keep the pipe open.
    for (;;) {
        pollfd poll_fd = {pipe_fds[0], POLLIN, 0};
        if (poll(&poll_fd, 1, exited ? 0 : 100) > 0) {
            char buffer[65536];
            const ssize_t count = read(pipe_fds[0], buffer, sizeof buffer);
            if (count <= 0) break;
            result.output.append(buffer, static_cast<size_t>(count));
            continue;
        }
        if (exited) break;
        exited = waitpid(pid, &status, WNOHANG) == pid;
        if (!exited && std::chrono::steady_clock::now() > deadline) {
            timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
    }
    close(pipe_fds[0]);
    if (!exited) waitpid(pid, &status, 0);
    if (!timed_out && WIFEXITED(status)) result.status = WEXITSTATUS(status);
    if (!system.posix) {
        std::string text;
        for (size_t i = 0; i < result.output.size(); ++i) {
            if (result.output[i] == '\r' && i + 1 < result.output.size() && result.output[i + 1] == '\n') continue;
            text += result.output[i];
        }
        result.output = text;
    }
    return result;
}

// "Nov 19 2025", or "Dec  8 2026" with the day padded by a blank.
static bool is_build_date(const std::string& text)
{
    if (text.size() != 11) return false;
    const auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    return letter(text[0]) && letter(text[1]) && letter(text[2]) && text[3] == ' ' &&
           (text[4] == ' ' || digit(text[4])) && digit(text[5]) && text[6] == ' ' &&
           digit(text[7]) && digit(text[8]) && digit(text[9]) && digit(text[10]);
}

std::string without_banner_date(const std::string& output)
{
    const std::string before = std::string("\n") + BANNER_START;
    if (output.compare(0, before.size(), before) != 0 || output.size() < before.size() + 13) return output;
    const std::string date = output.substr(before.size(), 11);
    if (!is_build_date(date) || output.compare(before.size() + 11, 2, ")\n") != 0) return output;
    return before + "DATE" + output.substr(before.size() + 11);
}

// Decodes members while the next two bytes are the gzip magic; whatever else
// follows a member is ignored, as the converter does.
bool zlib_gunzip(const std::string& bytes, std::string* out)
{
    out->clear();
    size_t pos = 0;
    do {
        z_stream stream{};
        if (inflateInit2(&stream, 31) != Z_OK) return false;
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data() + pos));
        stream.avail_in = static_cast<uInt>(bytes.size() - pos);
        int rc = Z_OK;
        while (rc == Z_OK) {
            char buffer[65536];
            stream.next_out = reinterpret_cast<Bytef*>(buffer);
            stream.avail_out = sizeof buffer;
            rc = inflate(&stream, Z_NO_FLUSH);
            out->append(buffer, sizeof buffer - stream.avail_out);
            if (rc == Z_BUF_ERROR && stream.avail_in == 0) break;
        }
        pos += stream.total_in;
        inflateEnd(&stream);
        if (rc != Z_STREAM_END) return false;
    } while (pos + 1 < bytes.size() && bytes[pos] == '\x1f' && bytes[pos + 1] == '\x8b');
    return true;
}

void write_file(const std::string& path, const std::string& bytes)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(file.good()) << path;
}

std::string read_file(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

bool file_exists(const std::string& path)
{
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

int64_t mtime_of(const std::string& path)
{
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return INT64_MIN;
    return info.st_mtime;
}

void make_directory(const std::string& path)
{
    std::error_code error;
    fs::create_directories(path, error);
    ASSERT_FALSE(error) << path << ": " << error.message();
}

std::vector<std::string> list_tree(const std::string& root)
{
    std::vector<std::string> names;
    std::error_code error;
    for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
        std::string name = it->path().lexically_relative(root).generic_string();
        if (it->is_directory() && !it->is_symlink()) name += '/';
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

void TreeTest::SetUp()
{
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/kavrelt-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    temp_dir = pattern;
    root = temp_dir + "/disc";
    make_directory(root);
}

void TreeTest::TearDown()
{
    std::error_code error;
    fs::remove_all(temp_dir, error);
}

std::string TreeTest::shown(const std::string& host_path) const
{
    if (target_system().posix) return host_path;
    std::string path = "Z:" + host_path;
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

std::string TreeTest::shown_lower(const std::string& host_path) const
{
    if (!target_system().names_ignore_case || host_path.compare(0, root.size(), root) != 0) return shown(host_path);
    std::string path = host_path;
    for (size_t i = root.size(); i < path.size(); ++i) {
        if (path[i] >= 'A' && path[i] <= 'Z') path[i] = static_cast<char>(path[i] - 'A' + 'a');
    }
    return shown(path);
}

RunResult TreeTest::run(const std::vector<std::string>& options, const RunOptions& run_options)
{
    std::vector<std::string> arguments = options;
    arguments.push_back(shown(root));
    return run_kavrelt(arguments, run_options);
}

std::string TreeTest::directory_line(const std::string& host_dir) const
{
    return "\n" + shown(host_dir);
}

std::string TreeTest::unzipped(const std::string& from, const std::string& to) const
{
    return "\n  unzipping " + from + " to " + to + " ... done.";
}

std::string TreeTest::renamed(const std::string& from, const std::string& to) const
{
    return "\n  renamed " + from + " to " + to;
}

void TreeTest::expect_output(const std::string& output, const std::string& head,
                             std::vector<std::string> groups, const std::string& tail) const
{
    std::string in_order = std::string(BANNER) + head;
    for (const std::string& group : groups) in_order += group;
    in_order += tail;
    const std::string actual = without_banner_date(output);
    const std::string prefix = std::string(BANNER) + head;
    size_t pos = prefix.size();
    bool matched = actual.compare(0, prefix.size(), prefix) == 0;
    while (matched && !groups.empty()) {
        const auto next = std::find_if(groups.begin(), groups.end(), [&](const std::string& group) {
            return actual.compare(pos, group.size(), group) == 0;
        });
        if (next == groups.end()) matched = false;
        else {
            pos += next->size();
            groups.erase(next);
        }
    }
    if (!matched || actual.compare(pos, std::string::npos, tail) != 0) {
        EXPECT_EQ(actual, in_order) << "(expected groups may come in any order)";
    }
}

void TreeTest::expect_marker() const
{
    EXPECT_EQ(read_file(root + "/filesok.orv"), "files converted o.k.\n");
}
