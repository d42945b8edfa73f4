// Shared by the fault-injection, crash and descriptor tests: trees described
// in memory and made afresh on disk for every run, runs of kavrelt and
// kavrelt_faulty under a fault plan, a kill timer or a descriptor limit,
// snapshots of a tree, and the checks that a broken run lost nothing.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// One regular file of a tree to make. A compressed file also says what it
// decodes to; the test derives the names it ends up under.
struct TreeFile {
    std::string path;  // relative to the root, '/' separated
    std::string bytes;
    int64_t mtime;
    uint32_t mode;
    bool compressed;
    std::string decoded;  // the output a compressed file must give
};

struct FileState {
    std::string bytes;
    int64_t mtime;
    uint32_t mode;
};

// Every entry below a root, by relative path; directories end in '/' and
// carry nothing. The marker's time is the time of the run: it is left out.
using Snapshot = std::map<std::string, FileState>;

struct RunSetup {
    std::string binary;
    std::string fault;             // KAVRELT_FAULT; empty for none
    std::string report_path;       // KAVRELT_FAULT_REPORT; empty for none
    int64_t kill_after_us = -1;    // SIGKILL from outside after this long
    int descriptor_limit = -1;     // RLIMIT_NOFILE of the run
};

// A run of `binary`, under the fault plan `fault` when it is not empty,
// writing call counts to `report_path` when that is not empty.
RunSetup run_setup(const std::string& binary, const std::string& fault = "", const std::string& report_path = "");

struct RunOutcome {
    std::string output;
    int status;  // exit status, or -1 when a signal ended the run
    int signal;  // the signal, or 0
};

const std::string& kavrelt_binary();
const std::string& faulty_binary();

// Makes `files` below `root`, which must not exist yet.
void make_tree(const std::string& root, const std::vector<TreeFile>& files);
Snapshot snapshot_tree(const std::string& root);
// Empty when equal, else a line per difference.
std::string describe_difference(const Snapshot& expected, const Snapshot& actual);

// Runs a binary on `root` with stdout in `output_path`.
RunOutcome run_on_tree(const RunSetup& setup, const std::string& root, const std::string& output_path);
// The counts a run of kavrelt_faulty wrote to its report, by kind.
std::map<std::string, uint64_t> read_report(const std::string& path);

// True when the output ends with one of the run's error messages.
bool ends_with_error(const std::string& output);
// One line per file of `files` whose data is gone: a compressed file that is
// neither still there (under its name, or its name plus ".gz") nor decoded
// correctly into its output, or any other file that changed.
std::string lost_data(const std::string& root, const std::vector<TreeFile>& files);
// The path a compressed file's output takes.
std::string output_path_of(const TreeFile& file);

// The file a complete run leaves in the root.
extern const char MARKER_NAME[];

// The series that fault, kill, cut or swap at every call of a run take every
// N-th call (1, 1+N, 1+2N, ...) when KAVRELT_FAULTS_STRIDE is N: a fixed
// subset for builds such as ThreadSanitizer's that run each call many times
// slower. 1, every call, when it is not set.
uint64_t call_stride();

// Gzip member of `data` in one stored block, for exact control of its size.
std::string stored_member(const std::string& data, uint32_t mtime);
// Bytes that compress poorly, from a fixed seed.
std::string random_bytes(size_t count, uint32_t seed);

// A test's own directory below the temporary area (KAVRELT_FAULTS_TMPDIR, else
// /dev/shm where it is writable, else the build tree), removed afterwards.
class FaultTreeTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A fresh root for `files`, replacing the previous one of that name.
    std::string fresh_tree(const std::string& name, const std::vector<TreeFile>& files);
    RunOutcome run(const RunSetup& setup, const std::string& root);

    std::string temp_dir;
};
