// The platform layer on POSIX: a find-file style directory listing over
// opendir/readdir, and thin wrappers over the file calls. Each wrapper maps
// the OS result onto the contract in platform.h; none prints or exits.
#include "platform.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

// Any error code other than 2 and 3 makes the walk report "unexpected error".
constexpr uint32_t ERROR_CODE_OTHER = 5;
// Every file name the OS can deliver fits a listing entry.
static_assert(NAME_MAX < sizeof(DirectoryEntry::name));

struct DirectoryListing {
    DIR* dir;
};

static uint32_t last_find_error = 0;

// Strips the trailing "*.*" of a search pattern. The separator before it
// stays, so a pattern for a plain file gives "file/", which fails with
// ENOTDIR instead of listing nothing.
static bool pattern_directory(const char* pattern, char* directory, size_t capacity)
{
    const size_t length = strlen(pattern);
    if (length < 3 || strcmp(pattern + length - 3, "*.*") != 0) return false;
    const size_t directory_length = length - 3;
    if (directory_length + 1 > capacity) return false;
    memcpy(directory, pattern, directory_length);
    directory[directory_length] = '\0';
    if (directory_length == 0) strcpy(directory, ".");
    return true;
}

// Sorts one raw entry into directory, regular file, or passed over. Only
// regular files are ever converted. A symbolic link is passed over whatever
// it points to: followed, it could lead the walk out of the tree or round in
// a loop, make the run read a file outside the tree, or dangle once the run
// has converted and deleted its target. FIFOs, sockets and devices are
// passed over too (opening a FIFO would hang the run), and so is an entry
// that vanished before it could be examined. Where readdir already says what
// an entry is, no further system call is made.
static bool classify_entry(DIR* dir, const dirent* raw, uint32_t* attributes)
{
    unsigned char type = raw->d_type;
    if (type == DT_UNKNOWN) {
        struct stat info;
        if (fstatat(dirfd(dir), raw->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) return false;
        if (S_ISDIR(info.st_mode)) type = DT_DIR;
        else if (S_ISREG(info.st_mode)) type = DT_REG;
    }
    *attributes = type == DT_DIR ? ATTRIBUTE_DIRECTORY : 0;
    return type == DT_DIR || type == DT_REG;
}

// Stores the next entry worth reporting; false once the listing is exhausted
// or reading it failed.
static bool read_entry(DIR* dir, DirectoryEntry* entry)
{
    for (;;) {
        errno = 0;
        const dirent* raw = readdir(dir);
        if (raw == nullptr) {
            last_find_error = errno == 0 ? ERROR_CODE_NO_MORE_FILES : ERROR_CODE_OTHER;
            return false;
        }
        if (strlen(raw->d_name) >= sizeof(entry->name)) continue;
        if (!classify_entry(dir, raw, &entry->attributes)) continue;
        strcpy(entry->name, raw->d_name);
        return true;
    }
}

DirectoryListing* find_first_file(const char* pattern, DirectoryEntry* entry)
{
    char directory[PATH_MAX];
    if (!pattern_directory(pattern, directory, sizeof directory)) {
        last_find_error = ERROR_CODE_OTHER;
        return nullptr;
    }
    DIR* dir = opendir(directory);
    if (dir == nullptr) {
        if (errno == ENOENT) last_find_error = ERROR_CODE_FILE_NOT_FOUND;
        else if (errno == ENOTDIR) last_find_error = ERROR_CODE_PATH_NOT_FOUND;
        else last_find_error = ERROR_CODE_OTHER;
        return nullptr;
    }
    // A directory without entries to report, not even "." and "..", is what a
    // failed search for "*.*" reports on Win32: file not found. A read that
    // failed keeps its code: a directory that exists must never pass for an
    // empty one.
    if (!read_entry(dir, entry)) {
        closedir(dir);
        if (last_find_error == ERROR_CODE_NO_MORE_FILES) last_find_error = ERROR_CODE_FILE_NOT_FOUND;
        return nullptr;
    }
    DirectoryListing* listing = static_cast<DirectoryListing*>(malloc(sizeof(DirectoryListing)));
    if (listing == nullptr) {
        closedir(dir);
        last_find_error = ERROR_CODE_OTHER;
        return nullptr;
    }
    listing->dir = dir;
    return listing;
}

bool find_next_file(DirectoryListing* listing, DirectoryEntry* entry)
{
    return read_entry(listing->dir, entry);
}

void find_close(DirectoryListing* listing)
{
    closedir(listing->dir);
    free(listing);
}

uint32_t last_error()
{
    return last_find_error;
}

// Opening for reading must not block: what was listed as a regular file may
// have been replaced by a FIFO without a writer since. The descriptor is made
// blocking again afterwards so reads behave as on a plain file. A directory
// is refused, as _open does.
static int open_for_reading(const char* name)
{
    const int fd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat info;
    if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        close(fd);
        return -1;
    }
    // Reads of a regular file never block anyway; anything else gets its
    // blocking reads back.
    if (!S_ISREG(info.st_mode)) {
        const int status_flags = fcntl(fd, F_GETFL);
        if (status_flags < 0 || fcntl(fd, F_SETFL, status_flags & ~O_NONBLOCK) != 0) {
            close(fd);
            return -1;
        }
    }
    return fd;
}

int platform_open(const char* name, int flags, int mode)
{
    if (flags == OPEN_READ_BINARY) return open_for_reading(name);
    if (flags != OPEN_CREATE_BINARY) return -1;
    // Only the permission bits pass: set-user-ID, set-group-ID and sticky
    // bits of a stranger's file must not reappear on what a privileged run
    // writes. A link in the output's place is refused rather than followed,
    // so a tree cannot direct the run to overwrite a file outside it.
    const mode_t permissions = static_cast<mode_t>(mode) & 0777;
    const int flags_no_truncate = O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC;
    int fd = open(name, flags_no_truncate, permissions);
    struct stat info;
    if (fd < 0 || fstat(fd, &info) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    if (info.st_nlink > 1) {
        // The name is one of several of a file, perhaps of the very file
        // being decoded (a rename interrupted between its link and its
        // unlink): truncating would destroy the data under every name. The
        // output gets a file of its own instead.
        close(fd);
        if (unlink(name) != 0) return -1;
        return open(name, flags_no_truncate | O_EXCL, permissions);
    }
    // Only a file that holds something is truncated: some file systems take
    // a truncation to nothing as a file being replaced and write it out at
    // once when it is closed, which would cost every new output a flush.
    if (info.st_size > 0 && ftruncate(fd, 0) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int platform_read(int fd, void* buffer, uint32_t count)
{
    return static_cast<int>(read(fd, buffer, count));
}

int platform_write(int fd, const void* buffer, uint32_t count)
{
    return static_cast<int>(write(fd, buffer, count));
}

int platform_close(int fd)
{
    return close(fd);
}

int platform_fstat_mode(int fd, int* mode)
{
    struct stat info;
    if (fstat(fd, &info) != 0) return -1;
    *mode = static_cast<int>(info.st_mode);
    return 0;
}

// rename() would silently replace an existing target; renameat2 can refuse.
// Older C libraries lack the wrapper, so the system call is made directly.
static int rename_no_replace(const char* from, const char* to)
{
#if defined(RENAME_NOREPLACE)
    return renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
#elif defined(SYS_renameat2)
    constexpr unsigned NO_REPLACE = 1;  // RENAME_NOREPLACE of <linux/fs.h>
    return static_cast<int>(syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, NO_REPLACE));
#else
    errno = ENOSYS;
    return -1;
#endif
}

// True when both names lead to one file.
static bool same_file(const char* a, const char* b)
{
    struct stat info_a;
    struct stat info_b;
    return lstat(a, &info_a) == 0 && lstat(b, &info_b) == 0 && info_a.st_dev == info_b.st_dev &&
           info_a.st_ino == info_b.st_ino;
}

int platform_rename(const char* from, const char* to)
{
    if (rename_no_replace(from, to) == 0) return 0;
    // Both names of one file are what a rename by link and unlink leaves when
    // it is cut short: finishing it replaces nothing.
    if (errno == EEXIST && same_file(from, to)) return unlink(from);
    if (errno != EINVAL && errno != ENOSYS) return -1;
    // The file system cannot refuse a replacing rename: a hard link can,
    // because link() fails when the target exists.
    if (link(from, to) != 0) return errno == EEXIST && same_file(from, to) ? unlink(from) : -1;
    if (unlink(from) != 0) {
        // Leaving both names would let the conversion truncate the output,
        // which is the very file it reads from.
        unlink(to);
        return -1;
    }
    return 0;
}

int platform_unlink(const char* name)
{
    return unlink(name);
}

int platform_utime(const char* name, int64_t seconds)
{
    const time_t when = static_cast<time_t>(seconds);
    if (static_cast<int64_t>(when) != seconds) return -1;
    struct timespec times[2];
    times[0].tv_sec = when;
    times[0].tv_nsec = 0;
    times[1] = times[0];
    return utimensat(AT_FDCWD, name, times, AT_SYMLINK_NOFOLLOW);
}

int platform_cpu_count()
{
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
        const int count = CPU_COUNT(&allowed);
        if (count > 0) return count;
    }
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<int>(online) : 1;
}
