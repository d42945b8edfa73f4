// Trees, runs and checks for the fault tests. Runs go through fork and exec
// with stdout in a file, so a run killed halfway leaves exactly what a crash
// would: whatever it had written, and nothing of its unflushed output.
#include "fault_harness.h"

#include <algorithm>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "harness.h"

#ifndef KAVRELT_FAULTY_BINARY
#define KAVRELT_FAULTY_BINARY "kavrelt_faulty"
#endif
#ifndef KAVRELT_FAULTS_TMPDIR
#define KAVRELT_FAULTS_TMPDIR "/tmp"
#endif

namespace fs = std::filesystem;

const char MARKER_NAME[] = "filesok.orv";
static const char MEMORY_TMPDIR[] = "/dev/shm";

const std::string& kavrelt_binary()
{
    static const std::string binary = KAVRELT_DEFAULT_BINARY;
    return binary;
}

const std::string& faulty_binary()
{
    static const std::string binary = KAVRELT_FAULTY_BINARY;
    return binary;
}

RunSetup run_setup(const std::string& binary, const std::string& fault, const std::string& report_path)
{
    RunSetup setup;
    setup.binary = binary;
    setup.fault = fault;
    setup.report_path = report_path;
    return setup;
}

void make_tree(const std::string& root, const std::vector<TreeFile>& files)
{
    make_directory(root);
    for (const TreeFile& file : files) {
        const std::string path = root + "/" + file.path;
        make_directory(fs::path(path).parent_path().string());
        write_file(path, file.bytes);
        ASSERT_EQ(chmod(path.c_str(), file.mode), 0) << path;
        const timespec times[2] = {{file.mtime, 0}, {file.mtime, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
    }
}

Snapshot snapshot_tree(const std::string& root)
{
    Snapshot snapshot;
    std::error_code error;
    for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().lexically_relative(root).generic_string();
        struct stat info;
        if (lstat(it->path().c_str(), &info) != 0) continue;
        if (S_ISDIR(info.st_mode)) {
            snapshot[name + "/"] = {"", 0, 0};
            continue;
        }
        const int64_t mtime = name == MARKER_NAME ? 0 : static_cast<int64_t>(info.st_mtime);
        snapshot[name] = {read_file(it->path().string()), mtime, static_cast<uint32_t>(info.st_mode & 07777)};
    }
    return snapshot;
}

static std::string describe_state(const FileState& state)
{
    std::ostringstream text;
    text << state.bytes.size() << " bytes, mtime " << state.mtime << ", mode " << std::oct << state.mode;
    return text.str();
}

std::string describe_difference(const Snapshot& expected, const Snapshot& actual)
{
    std::string text;
    for (const auto& [name, state] : expected) {
        const auto found = actual.find(name);
        if (found == actual.end()) {
            text += "  missing " + name + "\n";
        } else if (found->second.bytes != state.bytes || found->second.mtime != state.mtime ||
                   found->second.mode != state.mode) {
            text += "  differs " + name + ": " + describe_state(found->second) + ", expected " +
                    describe_state(state) + (found->second.bytes != state.bytes ? " (content differs)" : "") +
                    "\n";
        }
    }
    for (const auto& [name, state] : actual) {
        if (expected.count(name) == 0) text += "  extra " + name + ": " + describe_state(state) + "\n";
    }
    return text;
}

[[noreturn]] static void exec_run(const RunSetup& setup, const std::string& root, const std::string& output_path)
{
    const int out_fd = open(output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int null_fd = open("/dev/null", O_RDWR);
    if (out_fd < 0 || null_fd < 0) _exit(126);
    dup2(null_fd, 0);
    dup2(out_fd, 1);
    dup2(null_fd, 2);
    // Nothing of the test process may count against a descriptor limit.
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    umask(022);
    if (setup.fault.empty()) unsetenv("KAVRELT_FAULT");
    else setenv("KAVRELT_FAULT", setup.fault.c_str(), 1);
    if (setup.report_path.empty()) unsetenv("KAVRELT_FAULT_REPORT");
    else setenv("KAVRELT_FAULT_REPORT", setup.report_path.c_str(), 1);
    if (setup.descriptor_limit >= 0) {
        const rlimit limit = {static_cast<rlim_t>(setup.descriptor_limit), static_cast<rlim_t>(setup.descriptor_limit)};
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(126);
    }
    execl(setup.binary.c_str(), setup.binary.c_str(), root.c_str(), static_cast<char*>(nullptr));
    _exit(127);
}

RunOutcome run_on_tree(const RunSetup& setup, const std::string& root, const std::string& output_path)
{
    const pid_t pid = fork();
    if (pid == 0) exec_run(setup, root, output_path);
    if (pid < 0) return {"", -1, 0};
    if (setup.kill_after_us >= 0) {
        usleep(static_cast<useconds_t>(setup.kill_after_us));
        kill(pid, SIGKILL);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    RunOutcome outcome{read_file(output_path), -1, 0};
    if (WIFEXITED(status)) outcome.status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) outcome.signal = WTERMSIG(status);
    return outcome;
}

std::map<std::string, uint64_t> read_report(const std::string& path)
{
    std::map<std::string, uint64_t> counts;
    std::ifstream report(path);
    std::string kind;
    uint64_t count = 0;
    while (report >> kind >> count) counts[kind] += count;  // reports appended run after run add up
    return counts;
}

bool ends_with_error(const std::string& output)
{
    const std::string unexpected = "unexpected error\n";
    if (output.size() >= unexpected.size() &&
        output.compare(output.size() - unexpected.size(), unexpected.size(), unexpected) == 0) {
        return true;
    }
    const size_t start = output.rfind("\nerror: ");
    if (start == std::string::npos) return false;
    const std::string message = output.substr(start + 8);
    return message.size() > 1 && message.find('\n') == message.size() - 1;
}

static bool holds(const std::string& path, const std::string& bytes)
{
    return file_exists(path) && read_file(path) == bytes;
}

static bool ends_with(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string output_path_of(const TreeFile& file)
{
    if (ends_with(file.path, ".gz")) return file.path.substr(0, file.path.size() - 3);
    return file.path;
}

std::string lost_data(const std::string& root, const std::vector<TreeFile>& files)
{
    std::string text;
    for (const TreeFile& file : files) {
        const std::string path = root + "/" + file.path;
        if (!file.compressed) {
            if (!holds(path, file.bytes)) text += "  changed " + file.path + "\n";
            continue;
        }
        // A restored name is the found name plus ".gz"; it holds the same bytes.
        if (holds(path, file.bytes) || holds(path + ".gz", file.bytes)) continue;
        if (holds(root + "/" + output_path_of(file), file.decoded)) continue;
        text += "  lost " + file.path + " (neither compressed data nor its complete output)\n";
    }
    return text;
}

static void put_le(std::string* out, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

uint64_t call_stride()
{
    const char* value = getenv("KAVRELT_FAULTS_STRIDE");
    const unsigned long long stride = value != nullptr ? strtoull(value, nullptr, 10) : 1;
    return stride > 0 ? stride : 1;
}

std::string stored_member(const std::string& data, uint32_t mtime)
{
    std::string member("\x1f\x8b\x08\x00", 4);  // magic, Deflate, no flags
    put_le(&member, mtime, 4);
    member += std::string("\x00\x03", 2);  // extra flags, operating system
    // Blocks of at most 65535 bytes, the last one final.
    size_t at = 0;
    do {
        const uint32_t length = static_cast<uint32_t>(std::min<size_t>(data.size() - at, 65535));
        member.push_back(at + length == data.size() ? '\x01' : '\x00');
        put_le(&member, length, 2);
        put_le(&member, ~length & 0xFFFF, 2);
        member += data.substr(at, length);
        at += length;
    } while (at < data.size());
    const uint32_t length = static_cast<uint32_t>(data.size());
    put_le(&member, static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(data.data()),
                                                static_cast<uInt>(data.size()))), 4);
    put_le(&member, length, 4);
    return member;
}

std::string random_bytes(size_t count, uint32_t seed)
{
    std::mt19937 generator(seed);
    std::string bytes(count, '\0');
    for (char& byte : bytes) byte = static_cast<char>(generator() & 0xFF);
    return bytes;
}

// Hundreds of trees are made and removed per test: memory-backed storage
// makes that several times faster than a disk.
static std::string temp_base()
{
    const char* chosen = getenv("KAVRELT_FAULTS_TMPDIR");
    if (chosen != nullptr && *chosen != '\0') return chosen;
    if (access(MEMORY_TMPDIR, W_OK) == 0) return MEMORY_TMPDIR;
    return KAVRELT_FAULTS_TMPDIR;
}

void FaultTreeTest::SetUp()
{
    const std::string base_dir = temp_base();
    make_directory(base_dir);
    std::string pattern = base_dir + "/kavrelt-faults-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr) << pattern;
    temp_dir = pattern;
}

void FaultTreeTest::TearDown()
{
    std::error_code error;
    fs::remove_all(temp_dir, error);
}

std::string FaultTreeTest::fresh_tree(const std::string& name, const std::vector<TreeFile>& files)
{
    const std::string root = temp_dir + "/" + name;
    std::error_code error;
    fs::remove_all(root, error);
    make_tree(root, files);
    return root;
}

RunOutcome FaultTreeTest::run(const RunSetup& setup, const std::string& root)
{
    return run_on_tree(setup, root, temp_dir + "/output");
}
