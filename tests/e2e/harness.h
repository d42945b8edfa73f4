// End-to-end harness: runs the built kavrelt on trees made in a temporary
// directory and gives the tests what they need to check stdout, exit status
// and the resulting tree. The binary under test may be a native build or a
// Win32 build run through a runner such as wine: everything that differs
// between the two lives in TargetSystem.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "zlib_gzip.h"

// What the binary under test does differently on its system.
struct TargetSystem {
    std::string binary;               // KAVRELT_BINARY, else the native build
    std::vector<std::string> runner;  // KAVRELT_TEST_RUNNER split at blanks, e.g. "wine"
    char separator;                   // '/' natively, '\\' for a Win32 build
    bool names_ignore_case;           // the Win32 file system ignores case
    bool posix;                       // FIFOs, symlinks, modes, resource limits apply
    // A link to a file is seen as a link. Wine shows a Unix link to a file as
    // the file itself, a link to a directory as a reparse point.
    bool file_links_visible;
};

// Read from the environment once. A binary whose name ends in ".exe" is a
// Win32 build: paths are shown to it as drive Z: with backslashes.
const TargetSystem& target_system();

struct RunResult {
    std::string output;  // stdout, with CR LF turned into LF for a Win32 build
    int status;          // exit status, or -1 if killed by a signal or the timeout
};

struct RunOptions {
    int64_t file_size_limit = -1;  // RLIMIT_FSIZE for the run (POSIX only)
    int64_t user = -1;             // run as this user and group, with no other groups (as root, POSIX only)
    int64_t group = -1;
};

// Runs the binary with `arguments` (paths already in target form).
RunResult run_kavrelt(const std::vector<std::string>& arguments, const RunOptions& options = {});

// The banner line as printed, with the build date replaced by "DATE".
std::string without_banner_date(const std::string& output);
// The banner that starts every run, in the form without_banner_date gives.
extern const std::string BANNER;
// The six usage lines after the banner.
extern const char USAGE[];

// Every member of `bytes` decoded by zlib; false if zlib rejects them.
bool zlib_gunzip(const std::string& bytes, std::string* out);

void write_file(const std::string& path, const std::string& bytes);
std::string read_file(const std::string& path);
bool file_exists(const std::string& path);  // any kind of entry, links not followed
int64_t mtime_of(const std::string& path);
void make_directory(const std::string& path);
// Names of every entry below `root`, relative, sorted, directories with a
// trailing '/'.
std::vector<std::string> list_tree(const std::string& root);

// Each test gets its own tree root, `root`, below a fresh temporary directory
// that is removed afterwards.
class TreeTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // `host_path` as the binary sees and prints it.
    std::string shown(const std::string& host_path) const;
    // As shown() for a name printed under -u: a system that ignores case
    // prints the whole part below the root in lower case.
    std::string shown_lower(const std::string& host_path) const;
    // Runs on `root` with the options before it.
    RunResult run(const std::vector<std::string>& options = {}, const RunOptions& run_options = {});

    // Expected message pieces.
    std::string directory_line(const std::string& host_dir) const;
    std::string unzipped(const std::string& from, const std::string& to) const;
    std::string renamed(const std::string& from, const std::string& to) const;

    // Checks that `output` is the banner, then `head`, then every group in
    // any order (a directory's files come in listing order), then `tail`.
    void expect_output(const std::string& output, const std::string& head,
                       std::vector<std::string> groups, const std::string& tail) const;
    void expect_marker() const;

    std::string temp_dir;
    std::string root;
};
