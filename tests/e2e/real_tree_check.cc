// Converts a copy of a real directory tree with kavrelt and checks the result
// with zlib as the reference (scripts/real-tree makes the copy):
//   real_tree_check DIRECTORY
// Before the run it notes what every file the run is to decompress must
// become (length and SHA-256 of zlib's decoding, the header time) and every
// symbolic link with its target; a file zlib cannot decode either is left
// out, and a tree without gzip files with header times gets a few made here.
// After the run: the run completed (status 0, marker), no regular .gz file is left, every
// output is what was noted and carries the header's time where one was
// recorded, and every link is still the same link.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "harness.h"
#include "sha256.h"

namespace fs = std::filesystem;

namespace {

const char MARKER[] = "files converted o.k.\n";
const char MADE_DIRECTORY[] = "kavrelt-made";

// What one compressed file must turn into.
struct ExpectedOutput {
    fs::path compressed;  // the name the run decompresses and then deletes
    fs::path output;
    uint64_t size;
    std::string sha256;
    uint32_t mtime;  // of the header; 0 when none was recorded
};

struct SymbolicLink {
    fs::path path;
    fs::path target;
};

struct TreeNotes {
    std::vector<ExpectedOutput> outputs;
    std::vector<SymbolicLink> links;
    uint64_t files = 0;
    uint64_t bytes = 0;
    uint64_t compressed_bytes = 0;
    uint64_t decoded_bytes = 0;
};

bool ends_with(const std::string& text, const std::string& suffix)
{
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Gzip magic and the Deflate method (RFC 1952, 2.3.1).
bool starts_as_gzip(const std::string& bytes)
{
    return bytes.size() >= 3 && bytes[0] == '\x1f' && bytes[1] == '\x8b' && bytes[2] == '\x08';
}

// The first member's MTIME field (RFC 1952, 2.3.1), little-endian.
uint32_t header_mtime(const std::string& bytes)
{
    uint32_t mtime = 0;
    for (int i = 3; i >= 0; --i) mtime = mtime << 8 | static_cast<uint8_t>(bytes[4 + i]);
    return mtime;
}

std::string sha256_of(const std::string& bytes)
{
    return sha256_hex(std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

// Every entry the run visits, in no particular order: names that begin with
// a dot are passed over, and so is what a hidden directory holds.
std::vector<fs::path> visible_entries(const fs::path& root)
{
    std::vector<fs::path> entries;
    std::error_code error;
    fs::recursive_directory_iterator it(root, error);
    for (const fs::recursive_directory_iterator end; !error && it != end; it.increment(error)) {
        if (it->path().filename().string()[0] == '.') {
            it.disable_recursion_pending();
            continue;
        }
        entries.push_back(it->path());
    }
    if (error) {
        fprintf(stderr, "real_tree_check: cannot list %s: %s\n", root.c_str(), error.message().c_str());
        exit(1);
    }
    return entries;
}

// Notes every link, and what every file the run will decompress must become.
// A file zlib rejects as well would stop the run by design: it is removed.
TreeNotes note_tree(const fs::path& root)
{
    TreeNotes notes;
    for (const fs::path& path : visible_entries(root)) {
        const fs::file_status status = fs::symlink_status(path);
        if (fs::is_symlink(status)) {
            notes.links.push_back({path, fs::read_symlink(path)});
            continue;
        }
        if (!fs::is_regular_file(status)) continue;
        ++notes.files;
        notes.bytes += fs::file_size(path);
        const std::string name = path.filename().string();
        const bool restored = ends_with(name, ".hlp") || ends_with(name, ".tar");
        if (!restored && !ends_with(name, ".gz")) continue;
        const std::string bytes = read_file(path.string());
        if (restored && !starts_as_gzip(bytes)) continue;
        std::string decoded;
        if (!zlib_gunzip(bytes, &decoded)) {
            printf("real-tree: left out %s: zlib cannot decode it either\n", path.c_str());
            fs::remove(path);
            continue;
        }
        ExpectedOutput expected;
        expected.compressed = restored ? fs::path(path.string() + ".gz") : path;
        expected.output = restored ? path : path.parent_path() / name.substr(0, name.size() - 3);
        expected.size = decoded.size();
        expected.sha256 = sha256_of(decoded);
        expected.mtime = header_mtime(bytes);
        notes.outputs.push_back(expected);
        notes.compressed_bytes += bytes.size();
        notes.decoded_bytes += decoded.size();
    }
    return notes;
}

void write_bytes(const fs::path& path, const std::string& bytes)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!file.good()) {
        fprintf(stderr, "real_tree_check: cannot write %s\n", path.c_str());
        exit(1);
    }
}

// A tree without gzip files proves nothing, and one whose headers record no
// time (reproducible builds write 0) leaves the times unchecked: a few files
// are made then, with links as real trees have them.
fs::path make_gzip_files(const fs::path& root)
{
    const fs::path dir = root / MADE_DIRECTORY;
    fs::create_directories(dir);
    std::string text;
    for (int line = 0; line < 2000; ++line) text += "line " + std::to_string(line * 7919 % 1000) + " of a made file\n";
    write_bytes(dir / "changelog.gz", zlib_gzip(text, 1600000000));
    write_bytes(dir / "two-members.gz", zlib_gzip("first\n", 1500000000) + zlib_gzip(text, 1, 1));
    write_bytes(dir / "stripped.hlp", zlib_gzip(text.substr(100, 5000), 1400000000, 9));
    fs::create_symlink("changelog.gz", dir / "NEWS.gz");
    fs::create_symlink("two-members.gz", dir / "a-link.gz");
    fs::create_symlink("nowhere.gz", dir / "dangling.gz");
    printf("real-tree: made 3 gzip files with header times and 3 links in %s\n", dir.c_str());
    return dir;
}

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Returns the problems found in the converted tree, one line each.
std::vector<std::string> check_tree(const fs::path& root, const TreeNotes& notes)
{
    std::vector<std::string> problems;
    if (read_file((root / "filesok.orv").string()) != MARKER) problems.push_back("no marker");
    for (const ExpectedOutput& expected : notes.outputs) {
        if (fs::exists(fs::symlink_status(expected.compressed))) {
            problems.push_back("still there: " + expected.compressed.string());
        }
        if (!fs::is_regular_file(fs::symlink_status(expected.output))) {
            problems.push_back("no output: " + expected.output.string());
            continue;
        }
        const std::string bytes = read_file(expected.output.string());
        if (bytes.size() != expected.size || sha256_of(bytes) != expected.sha256) {
            problems.push_back("differs from zlib's decoding: " + expected.output.string());
        }
        const int64_t mtime = mtime_of(expected.output.string());
        if (expected.mtime != 0 && mtime != expected.mtime) {
            problems.push_back("time " + std::to_string(mtime) + " instead of " + std::to_string(expected.mtime) +
                               ": " + expected.output.string());
        }
    }
    for (const SymbolicLink& link : notes.links) {
        std::error_code error;
        if (!fs::is_symlink(fs::symlink_status(link.path)) || fs::read_symlink(link.path, error) != link.target) {
            problems.push_back("link changed: " + link.path.string());
        }
    }
    for (const fs::path& path : visible_entries(root)) {
        if (ends_with(path.filename().string(), ".gz") && fs::is_regular_file(fs::symlink_status(path))) {
            problems.push_back("regular .gz file left: " + path.string());
        }
    }
    return problems;
}

// The last lines of the run's output, where an error shows.
std::string output_tail(const std::string& output)
{
    size_t start = output.size();
    int lines = 0;
    while (start > 0 && lines <= 6) {
        --start;
        if (output[start] == '\n') ++lines;
    }
    return output.substr(start);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: real_tree_check DIRECTORY\n");
        return 2;
    }
    const fs::path root = fs::absolute(argv[1]);
    auto start = std::chrono::steady_clock::now();
    TreeNotes notes = note_tree(root);
    const auto has_time = [](const ExpectedOutput& expected) { return expected.mtime != 0; };
    if (std::none_of(notes.outputs.begin(), notes.outputs.end(), has_time)) {
        const TreeNotes made = note_tree(make_gzip_files(root));
        notes.outputs.insert(notes.outputs.end(), made.outputs.begin(), made.outputs.end());
        notes.links.insert(notes.links.end(), made.links.begin(), made.links.end());
        notes.files += made.files;
        notes.bytes += made.bytes;
        notes.compressed_bytes += made.compressed_bytes;
        notes.decoded_bytes += made.decoded_bytes;
    }
    printf("real-tree: %llu regular files (%.1f MB), %zu links; %zu to decompress, %.1f MB into %.1f MB "
           "(noted in %.1f s)\n",
           static_cast<unsigned long long>(notes.files), notes.bytes / 1e6, notes.links.size(),
           notes.outputs.size(), notes.compressed_bytes / 1e6, notes.decoded_bytes / 1e6, seconds_since(start));

    start = std::chrono::steady_clock::now();
    const RunResult result = run_kavrelt({root.string()});
    const double run_seconds = seconds_since(start);
    printf("real-tree: kavrelt ran %.1f s, status %d\n", run_seconds, result.status);
    if (result.status != 0) {
        printf("real-tree: the run did not complete; its output ended with:\n%s\n", output_tail(result.output).c_str());
        return 1;
    }

    start = std::chrono::steady_clock::now();
    const std::vector<std::string> problems = check_tree(root, notes);
    for (size_t i = 0; i < problems.size() && i < 20; ++i) printf("real-tree: %s\n", problems[i].c_str());
    if (!problems.empty()) {
        printf("real-tree: FAILED, %zu problems\n", problems.size());
        return 1;
    }
    const auto timed = std::count_if(notes.outputs.begin(), notes.outputs.end(), has_time);
    printf("real-tree: passed (checked in %.1f s): marker written, no regular .gz file left, %zu outputs equal "
           "zlib's decoding, %td of them carry their header's time, %zu links unchanged\n",
           seconds_since(start), notes.outputs.size(), timed, notes.links.size());
    return 0;
}
