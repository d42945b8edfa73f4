// The fault seam of the test binary kavrelt_faulty, never of kavrelt: every
// platform call is counted by kind, and the one call named by KAVRELT_FAULT
// fails, comes back short, or kills the process, so a test can break a whole
// run at any chosen point. The real POSIX layer is compiled a second time
// under other names (platform_faults_rename.h) and does the actual work.
//
// KAVRELT_FAULT="KIND:K:ACTION": the K-th call (from 1) of KIND misbehaves.
//   KIND    open read write close fstat rename unlink utime open_dir
//           (a directory, the root or a subdirectory) find_first find_next
//           find_close last_error owner flush sync, or "any" for the
//           K-th call of whatever kind.
//   ACTION  fail   the call does nothing and reports failure; close does
//                  close, since a descriptor is gone even when close reports
//                  an error, and find_close, which reports nothing, only counts
//           short  read/write move only half the bytes asked for and say so
//                  (any other kind fails instead)
//           kill   SIGKILL before the call, as a crash of the process would
//           cut    a power cut before the call: every file written since the
//                  last sync that succeeded loses its data (truncated to
//                  nothing, as delayed allocation leaves a new file), while
//                  every name created, renamed or deleted stays as it is;
//                  then SIGKILL
//           swap   just before the call, as another user of a shared tree
//                  might: renames the entry KAVRELT_SWAP names away and puts
//                  a symbolic link in its place; the call then goes ahead.
//                  KAVRELT_SWAP="PATH|AWAY|TARGET": rename PATH to AWAY
//                  (unless AWAY is empty), then a link at PATH that points
//                  to TARGET
// KAVRELT_FAULT_REPORT=FILE: at exit, "KIND COUNT" lines for every kind and
// "any" are written to FILE.
// With decoding threads, calls are numbered in the order they happen, which
// varies from run to run; KAVRELT_THREADS=1 makes the numbering repeatable.
#include "platform.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <unistd.h>

int real_open_root_directory(const char* path, DirectoryHandle** handle);
int real_open_subdirectory(const DirectoryHandle* parent, const char* path, const DirectoryEntry* entry,
                           DirectoryHandle** handle);
void real_close_directory(DirectoryHandle* handle);
void real_drop_listing(DirectoryHandle* handle);
DirectoryListing* real_find_first_file(const DirectoryHandle* dir, const char* pattern, DirectoryEntry* entry);
bool real_find_next_file(DirectoryListing* listing, DirectoryEntry* entry);
void real_find_close(DirectoryListing* listing);
uint32_t real_last_error();
int real_platform_open(const DirectoryHandle* dir, const char* name, int flags, int mode);
int real_platform_read(int fd, void* buffer, uint32_t count);
int real_platform_write(int fd, const void* buffer, uint32_t count);
int64_t real_platform_write_gather(int fd, const WriteBuffer* buffers, int count);
int real_platform_close(int fd);
int real_platform_fstat(int fd, FileStatus* status);
void real_platform_give_owner(const DirectoryHandle* dir, int fd, const FileStatus& source);
int real_platform_flush_output(const DirectoryHandle* dir, int fd);
int real_platform_sync(const DirectoryHandle* dir);
uint64_t real_platform_file_system(const DirectoryHandle* dir);
int real_platform_descriptor_limit();
int real_platform_rename(const DirectoryHandle* dir, const char* from, const char* to);
int real_platform_unlink(const DirectoryHandle* dir, const char* name);
int real_platform_unlink_same(const DirectoryHandle* dir, const char* name, const FileStatus& status);
int real_platform_utime(const DirectoryHandle* dir, const char* name, int64_t seconds);
int real_platform_cpu_count();

namespace {

constexpr int KIND_OPEN = 0;
constexpr int KIND_READ = 1;
constexpr int KIND_WRITE = 2;
constexpr int KIND_CLOSE = 3;
constexpr int KIND_FSTAT = 4;
constexpr int KIND_RENAME = 5;
constexpr int KIND_UNLINK = 6;
constexpr int KIND_UTIME = 7;
constexpr int KIND_FIND_FIRST = 8;
constexpr int KIND_FIND_NEXT = 9;
constexpr int KIND_FIND_CLOSE = 10;
constexpr int KIND_LAST_ERROR = 11;
constexpr int KIND_OPEN_DIR = 12;
constexpr int KIND_OWNER = 13;
constexpr int KIND_FLUSH = 14;
constexpr int KIND_SYNC = 15;
constexpr int KIND_ANY = 16;
constexpr int KIND_COUNT = 17;
const char* const KIND_NAMES[KIND_COUNT] = {
    "open",       "read",      "write",      "close",      "fstat",    "rename", "unlink",
    "utime",      "find_first", "find_next", "find_close", "last_error", "open_dir", "owner",
    "flush",      "sync",      "any"};

constexpr int ACTION_NONE = 0;
constexpr int ACTION_FAIL = 1;
constexpr int ACTION_SHORT = 2;
constexpr int ACTION_KILL = 3;
constexpr int ACTION_SWAP = 4;
constexpr int ACTION_CUT = 5;

// What a failed listing reports: neither "file" nor "path not found", since
// a directory that exists must never pass for an empty one.
constexpr uint32_t INJECTED_LISTING_ERROR = 5;

struct FaultPlan {
    bool loaded;
    int kind;
    uint64_t at;
    int action;
    uint64_t calls[KIND_COUNT];
    const char* report_path;
    std::string swap_path;  // KAVRELT_SWAP's three parts
    std::string swap_away;
    std::string swap_target;
};

FaultPlan plan;
// For a power cut: the files written since the last sync, by the path they
// had when first written, and the descriptors already counted among them.
// Guarded by `counting`, as the plan's counts are. Never destroyed: decoding
// threads may still close files while the process exits.
std::mutex counting;
std::set<std::string>& unsynced_files = *new std::set<std::string>;
std::set<int>& unsynced_descriptors = *new std::set<int>;
// The last find_first_file or find_next_file of this thread was made to fail
// (decoding threads list directories ahead of the walk).
thread_local bool listing_failed = false;

// A plan that cannot be read must not pass for a clean run.
[[noreturn]] void reject_plan()
{
    abort();
}

int parse_kind(const char* text, size_t length)
{
    for (int kind = 0; kind < KIND_COUNT; ++kind) {
        if (strlen(KIND_NAMES[kind]) == length && strncmp(KIND_NAMES[kind], text, length) == 0) return kind;
    }
    return -1;
}

int parse_action(const char* text)
{
    if (strcmp(text, "fail") == 0) return ACTION_FAIL;
    if (strcmp(text, "short") == 0) return ACTION_SHORT;
    if (strcmp(text, "kill") == 0) return ACTION_KILL;
    if (strcmp(text, "swap") == 0) return ACTION_SWAP;
    if (strcmp(text, "cut") == 0) return ACTION_CUT;
    return ACTION_NONE;
}

void write_report()
{
    FILE* report = fopen(plan.report_path, "w");
    if (report == nullptr) return;
    for (int kind = 0; kind < KIND_COUNT; ++kind) {
        fprintf(report, "%s %llu\n", KIND_NAMES[kind], static_cast<unsigned long long>(plan.calls[kind]));
    }
    fclose(report);
}

void load_swap()
{
    const char* text = getenv("KAVRELT_SWAP");
    if (text == nullptr) reject_plan();
    const std::string swap(text);
    const size_t first = swap.find('|');
    const size_t second = first == std::string::npos ? first : swap.find('|', first + 1);
    if (second == std::string::npos) reject_plan();
    plan.swap_path = swap.substr(0, first);
    plan.swap_away = swap.substr(first + 1, second - first - 1);
    plan.swap_target = swap.substr(second + 1);
}

// Puts a link where the entry was, as a hostile user of the tree would; with
// AWAY empty, in a place that is empty (where an output will go).
void swap_for_link()
{
    if (!plan.swap_away.empty() && rename(plan.swap_path.c_str(), plan.swap_away.c_str()) != 0) return;
    symlink(plan.swap_target.c_str(), plan.swap_path.c_str());
}

void load_plan()
{
    plan.loaded = true;
    plan.action = ACTION_NONE;
    plan.report_path = getenv("KAVRELT_FAULT_REPORT");
    if (plan.report_path != nullptr && *plan.report_path != '\0') atexit(write_report);
    const char* text = getenv("KAVRELT_FAULT");
    if (text == nullptr || *text == '\0') return;
    const char* first_colon = strchr(text, ':');
    if (first_colon == nullptr) reject_plan();
    plan.kind = parse_kind(text, static_cast<size_t>(first_colon - text));
    char* end = nullptr;
    plan.at = strtoull(first_colon + 1, &end, 10);
    if (plan.kind < 0 || plan.at == 0 || *end != ':') reject_plan();
    plan.action = parse_action(end + 1);
    if (plan.action == ACTION_NONE) reject_plan();
    if (plan.action == ACTION_SWAP) load_swap();
}

// What a power cut leaves: a file's data reaches the disk only when a sync
// says so, names at once. A file that was written and not synced since is
// left empty. The lock is held.
void cut_power_locked()
{
    for (const std::string& path : unsynced_files) truncate(path.c_str(), 0);
    kill(getpid(), SIGKILL);
}

// Notes that `fd` was written to: its file is not on disk until a sync.
void note_written(int fd)
{
    const std::lock_guard<std::mutex> guard(counting);
    if (!unsynced_descriptors.insert(fd).second) return;
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char path[4096];
    const ssize_t length = readlink(link, path, sizeof path - 1);
    if (length > 0) unsynced_files.insert(std::string(path, static_cast<size_t>(length)));
}

// A closed descriptor's number may be taken by another file.
void note_closed(int fd)
{
    const std::lock_guard<std::mutex> guard(counting);
    unsynced_descriptors.erase(fd);
}

void note_synced()
{
    const std::lock_guard<std::mutex> guard(counting);
    unsynced_files.clear();
    unsynced_descriptors.clear();
}

// Counts one call of `kind` and returns what it is to do. A kill happens
// here, before the call has any effect.
int next_call(int kind)
{
    // Decoding threads make calls too: each call gets one number.
    uint64_t of_kind = 0;
    uint64_t of_any = 0;
    {
        const std::lock_guard<std::mutex> guard(counting);
        if (!plan.loaded) load_plan();
        of_kind = ++plan.calls[kind];
        of_any = ++plan.calls[KIND_ANY];
    }
    if (plan.action == ACTION_NONE) return ACTION_NONE;
    const uint64_t number = plan.kind == KIND_ANY ? of_any : plan.kind == kind ? of_kind : 0;
    if (number != plan.at) return ACTION_NONE;
    if (plan.action == ACTION_KILL) kill(getpid(), SIGKILL);
    if (plan.action == ACTION_CUT) {
        const std::lock_guard<std::mutex> guard(counting);
        cut_power_locked();
    }
    if (plan.action == ACTION_SWAP) {
        swap_for_link();
        return ACTION_NONE;
    }
    if (plan.action == ACTION_SHORT && kind != KIND_READ && kind != KIND_WRITE) return ACTION_FAIL;
    return plan.action;
}

}  // namespace

int open_root_directory(const char* path, DirectoryHandle** handle)
{
    if (next_call(KIND_OPEN_DIR) != ACTION_NONE) return DIRECTORY_FAILED;
    return real_open_root_directory(path, handle);
}

int open_subdirectory(const DirectoryHandle* parent, const char* path, const DirectoryEntry* entry,
                      DirectoryHandle** handle)
{
    if (next_call(KIND_OPEN_DIR) != ACTION_NONE) return DIRECTORY_FAILED;
    return real_open_subdirectory(parent, path, entry, handle);
}

void close_directory(DirectoryHandle* handle)
{
    real_close_directory(handle);
}

void drop_listing(DirectoryHandle* handle)
{
    real_drop_listing(handle);
}

DirectoryListing* find_first_file(const DirectoryHandle* dir, const char* pattern, DirectoryEntry* entry)
{
    listing_failed = next_call(KIND_FIND_FIRST) != ACTION_NONE;
    if (listing_failed) return nullptr;
    return real_find_first_file(dir, pattern, entry);
}

// A listing that breaks off ends like a complete one; only last_error() can
// tell the two apart.
bool find_next_file(DirectoryListing* listing, DirectoryEntry* entry)
{
    listing_failed = next_call(KIND_FIND_NEXT) != ACTION_NONE;
    if (listing_failed) return false;
    return real_find_next_file(listing, entry);
}

void find_close(DirectoryListing* listing)
{
    next_call(KIND_FIND_CLOSE);
    real_find_close(listing);
}

uint32_t last_error()
{
    if (next_call(KIND_LAST_ERROR) != ACTION_NONE || listing_failed) return INJECTED_LISTING_ERROR;
    return real_last_error();
}

int platform_open(const DirectoryHandle* dir, const char* name, int flags, int mode)
{
    if (next_call(KIND_OPEN) != ACTION_NONE) {
        errno = EIO;
        return -1;
    }
    return real_platform_open(dir, name, flags, mode);
}

int platform_read(int fd, void* buffer, uint32_t count)
{
    const int action = next_call(KIND_READ);
    if (action == ACTION_FAIL) {
        errno = EIO;
        return -1;
    }
    if (action == ACTION_SHORT && count > 1) return real_platform_read(fd, buffer, count / 2);
    return real_platform_read(fd, buffer, count);
}

int platform_write(int fd, const void* buffer, uint32_t count)
{
    const int action = next_call(KIND_WRITE);
    if (action == ACTION_FAIL) {
        errno = ENOSPC;
        return -1;
    }
    note_written(fd);
    if (action == ACTION_SHORT && count > 1) return real_platform_write(fd, buffer, count / 2);
    return real_platform_write(fd, buffer, count);
}

// A gathered write is one write call; a short one moves half of the bytes.
int64_t platform_write_gather(int fd, const WriteBuffer* buffers, int count)
{
    const int action = next_call(KIND_WRITE);
    if (action == ACTION_FAIL) {
        errno = ENOSPC;
        return -1;
    }
    note_written(fd);
    if (action != ACTION_SHORT) return real_platform_write_gather(fd, buffers, count);
    uint64_t total = 0;
    for (int i = 0; i < count; ++i) total += buffers[i].size;
    if (total <= 1) return real_platform_write_gather(fd, buffers, count);
    WriteBuffer half[WRITE_BUFFERS_MOST];
    uint64_t left = total / 2;
    int pieces = 0;
    for (int i = 0; i < count && left > 0; ++i) {
        half[pieces] = buffers[i];
        if (half[pieces].size > left) half[pieces].size = static_cast<uint32_t>(left);
        left -= half[pieces].size;
        pieces++;
    }
    return real_platform_write_gather(fd, half, pieces);
}

int platform_close(int fd)
{
    const int action = next_call(KIND_CLOSE);
    note_closed(fd);
    if (action != ACTION_NONE) {
        real_platform_close(fd);
        errno = EIO;
        return -1;
    }
    return real_platform_close(fd);
}

int platform_fstat(int fd, FileStatus* status)
{
    if (next_call(KIND_FSTAT) != ACTION_NONE) {
        errno = EIO;
        return -1;
    }
    return real_platform_fstat(fd, status);
}

// A failed call leaves the output the runner's, as a refusal would.
void platform_give_owner(const DirectoryHandle* dir, int fd, const FileStatus& source)
{
    if (next_call(KIND_OWNER) != ACTION_NONE) return;
    real_platform_give_owner(dir, fd, source);
}

int platform_flush_output(const DirectoryHandle* dir, int fd)
{
    if (next_call(KIND_FLUSH) != ACTION_NONE) {
        errno = EIO;
        return -1;
    }
    return real_platform_flush_output(dir, fd);
}

// A sync that fails reports a write error and makes nothing durable.
int platform_sync(const DirectoryHandle* dir)
{
    if (next_call(KIND_SYNC) != ACTION_NONE) {
        errno = EIO;
        return -1;
    }
    const int result = real_platform_sync(dir);
    if (result == 0) note_synced();
    return result;
}

uint64_t platform_file_system(const DirectoryHandle* dir)
{
    return real_platform_file_system(dir);
}

// The tests' trees live in memory, where a power cut would leave nothing at
// all: the seam makes them a disk, whose power cuts it plays.
bool platform_durable_when_flushed(const DirectoryHandle* /*dir*/)
{
    return false;
}

int platform_descriptor_limit()
{
    return real_platform_descriptor_limit();
}

int platform_rename(const DirectoryHandle* dir, const char* from, const char* to)
{
    if (next_call(KIND_RENAME) != ACTION_NONE) {
        errno = EIO;
        return -1;
    }
    return real_platform_rename(dir, from, to);
}

int platform_unlink(const DirectoryHandle* dir, const char* name)
{
    if (next_call(KIND_UNLINK) != ACTION_NONE) {
        errno = EACCES;
        return -1;
    }
    return real_platform_unlink(dir, name);
}

int platform_unlink_same(const DirectoryHandle* dir, const char* name, const FileStatus& status)
{
    if (next_call(KIND_UNLINK) != ACTION_NONE) {
        errno = EACCES;
        return -1;
    }
    return real_platform_unlink_same(dir, name, status);
}

int platform_utime(const DirectoryHandle* dir, const char* name, int64_t seconds)
{
    if (next_call(KIND_UTIME) != ACTION_NONE) {
        errno = EPERM;
        return -1;
    }
    return real_platform_utime(dir, name, seconds);
}

int platform_cpu_count()
{
    return real_platform_cpu_count();
}
