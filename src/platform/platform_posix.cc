// The platform layer on POSIX: held directories are descriptors, listed with
// readdir; every file call is an *at call relative to the held directory
// that never follows a link, so a tree that others change while the run
// works cannot redirect it to anything outside. Each wrapper maps the OS
// result onto the contract in platform.h; none prints or exits.
#include "platform.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/vfs.h>
#include <sys/syscall.h>
#include <unistd.h>

// Any error code other than 2 and 3 makes the walk report "unexpected error".
constexpr uint32_t ERROR_CODE_OTHER = 5;
// Every file name the OS can deliver fits a listing entry.
static_assert(NAME_MAX < sizeof(DirectoryEntry::name));

struct DirectoryListing {
    DIR* dir;
    bool read_before;  // a listing has moved the stream on since it was opened
};

// The listing's stream owns the descriptor, until the listing is dropped;
// every call on the directory's files goes through `fd`.
struct DirectoryHandle {
    DirectoryListing listing;  // its stream is null once dropped
    int fd;
    uint64_t device;  // of the file system that holds it
    bool in_memory;   // that file system keeps its files in memory only
    gid_t group;
};

// File systems whose files live in memory and die with the machine: waiting
// for their data to be durable would wait for nothing.
constexpr unsigned long TMPFS_MAGIC_NUMBER = 0x01021994;
constexpr unsigned long RAMFS_MAGIC_NUMBER = 0x858458f6;

static bool held_in_memory(int fd)
{
    struct statfs info;
    if (fstatfs(fd, &info) != 0) return false;
    const unsigned long type = static_cast<unsigned long>(info.f_type);
    return type == TMPFS_MAGIC_NUMBER || type == RAMFS_MAGIC_NUMBER;
}

// The process's file mode creation mask, read once before any thread starts:
// reading it means setting it, which no other thread may see half done.
static mode_t read_umask()
{
    const mode_t mask = umask(022);
    umask(mask);
    return mask;
}
static const mode_t process_umask = read_umask();
// A new file belongs to the process's user, and to its group or its
// directory's (the directory's set-group-ID bit and mount options decide).
static const uid_t process_user = geteuid();
static const gid_t process_group = getegid();

// Per thread: a decoding thread may list a directory while the walk lists another.
static thread_local uint32_t last_find_error = 0;

static int directory_fd(const DirectoryHandle* dir)
{
    return dir->fd;
}

// The file's own name: what follows the path's last separator.
static const char* own_name(const char* path)
{
    const char* separator = strrchr(path, '/');
    return separator != nullptr ? separator + 1 : path;
}

// The errors that mean the directory is not there as a directory the walk
// may enter: missing, not a directory, or a link (O_NOFOLLOW).
static int directory_open_error()
{
    return errno == ENOENT || errno == ENOTDIR || errno == ELOOP ? DIRECTORY_MISSING : DIRECTORY_FAILED;
}

// Takes ownership of `fd`, an open directory described by `info`, whose
// file system `in_memory` says is held in memory.
static int hold_directory(int fd, const struct stat& info, bool in_memory, DirectoryHandle** handle)
{
    DirectoryHandle* held = static_cast<DirectoryHandle*>(malloc(sizeof(DirectoryHandle)));
    DIR* dir = held != nullptr ? fdopendir(fd) : nullptr;
    if (dir == nullptr) {
        free(held);
        close(fd);
        return DIRECTORY_FAILED;
    }
    held->listing.dir = dir;
    held->listing.read_before = false;
    held->fd = fd;
    held->device = static_cast<uint64_t>(info.st_dev);
    held->in_memory = in_memory;
    held->group = info.st_gid;
    *handle = held;
    return DIRECTORY_OPENED;
}

int open_root_directory(const char* path, DirectoryHandle** handle)
{
    // The root may be a link: it is followed, once, here.
    const int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? DIRECTORY_MISSING : DIRECTORY_FAILED;
    struct stat info;
    if (fstat(fd, &info) != 0) {
        close(fd);
        return DIRECTORY_FAILED;
    }
    return hold_directory(fd, info, held_in_memory(fd), handle);
}

int open_subdirectory(const DirectoryHandle* parent, const char* path, const DirectoryEntry* entry,
                      DirectoryHandle** handle)
{
    const int fd = openat(directory_fd(parent), own_name(path), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return directory_open_error();
    // A directory put in the listed one's place since the listing (moved in
    // from elsewhere) is not the one listed.
    struct stat info;
    if (fstat(fd, &info) != 0) {
        close(fd);
        return DIRECTORY_FAILED;
    }
    if (static_cast<uint64_t>(info.st_dev) != entry->device || static_cast<uint64_t>(info.st_ino) != entry->inode) {
        close(fd);
        return DIRECTORY_MISSING;
    }
    // A subdirectory is mostly on its parent's file system; only a mount
    // point needs asking what its is.
    const bool in_memory = entry->device == parent->device ? parent->in_memory : held_in_memory(fd);
    return hold_directory(fd, info, in_memory, handle);
}

void close_directory(DirectoryHandle* handle)
{
    if (handle->listing.dir != nullptr) closedir(handle->listing.dir);
    else close(handle->fd);
    free(handle);
}

void drop_listing(DirectoryHandle* handle)
{
    // The stream's buffer is the bulk of a held directory; the descriptor,
    // taken out of the stream's hands, is all that calls on files need.
    const int fd = fcntl(handle->fd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return;
    closedir(handle->listing.dir);
    handle->listing.dir = nullptr;
    handle->fd = fd;
}

// Sorts one raw entry into directory, regular file, or passed over, and
// records what a directory is (device and inode), so the walk can tell it
// from one put in its place later. Only regular files are ever converted. A
// symbolic link is passed over whatever it points to: followed, it could
// lead the walk out of the tree or round in a loop, make the run read a file
// outside the tree, or dangle once the run has converted and deleted its
// target. FIFOs, sockets and devices are passed over too (opening a FIFO
// would hang the run), and so is an entry that vanished before it could be
// examined. Where readdir already says an entry is a file, no further
// system call is made.
static bool classify_entry(DIR* dir, const dirent* raw, DirectoryEntry* entry)
{
    entry->device = 0;
    entry->inode = 0;
    unsigned char type = raw->d_type;
    // "." and ".." are never entered: what they are needs no question.
    const bool self_or_parent = raw->d_name[0] == '.' && (raw->d_name[1] == '\0' ||
                                                          (raw->d_name[1] == '.' && raw->d_name[2] == '\0'));
    if ((type == DT_UNKNOWN || type == DT_DIR) && !(type == DT_DIR && self_or_parent)) {
        struct stat info;
        if (fstatat(dirfd(dir), raw->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0) {
            type = S_ISDIR(info.st_mode) ? DT_DIR : S_ISREG(info.st_mode) ? DT_REG : DT_UNKNOWN;
            entry->device = static_cast<uint64_t>(info.st_dev);
            entry->inode = static_cast<uint64_t>(info.st_ino);
        } else if (type == DT_UNKNOWN || errno == ENOENT) {
            return false;
        }
        // A directory that cannot be examined stays one: entering it
        // fails as it would have failed to be listed.
    }
    entry->attributes = type == DT_DIR ? ATTRIBUTE_DIRECTORY : 0;
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
        if (!classify_entry(dir, raw, entry)) continue;
        strcpy(entry->name, raw->d_name);
        return true;
    }
}

DirectoryListing* find_first_file(const DirectoryHandle* dir, const char* /*pattern*/, DirectoryEntry* entry)
{
    DirectoryListing* listing = const_cast<DirectoryListing*>(&dir->listing);
    if (listing->dir == nullptr) {
        last_find_error = ERROR_CODE_OTHER;
        return nullptr;
    }
    // Each listing reads the directory afresh, as a new search would.
    if (listing->read_before) rewinddir(listing->dir);
    listing->read_before = true;
    // A directory without entries to report, not even "." and "..", is what a
    // failed search for "*.*" reports on Win32: file not found. A read that
    // failed keeps its code: a directory that exists must never pass for an
    // empty one.
    if (!read_entry(listing->dir, entry)) {
        if (last_find_error == ERROR_CODE_NO_MORE_FILES) last_find_error = ERROR_CODE_FILE_NOT_FOUND;
        return nullptr;
    }
    return listing;
}

bool find_next_file(DirectoryListing* listing, DirectoryEntry* entry)
{
    return read_entry(listing->dir, entry);
}

void find_close(DirectoryListing* /*listing*/)
{
    // The stream belongs to the held directory.
}

uint32_t last_error()
{
    return last_find_error;
}

// Opening for reading must not block: what was listed as a regular file may
// have been replaced by a FIFO without a writer since. The descriptor is made
// blocking again afterwards so reads behave as on a plain file. A directory
// is refused, as _open does, and so is a link in the file's place: it could
// lead anywhere outside the tree.
static int open_for_reading(int dir_fd, const char* name)
{
    const int fd = openat(dir_fd, name, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
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

// The permission bits an output may have before it has its group: the
// group it was created with (the runner's, or the directory's) may do no
// more than others may.
static mode_t narrow_group_bits(mode_t permissions)
{
    return (permissions & ~S_IRWXG) | (permissions & S_IRWXG & ((permissions & S_IRWXO) << 3));
}

int platform_open(const DirectoryHandle* dir, const char* path, int flags, int mode)
{
    const int dir_fd = directory_fd(dir);
    const char* name = own_name(path);
    if (flags == OPEN_READ_BINARY) return open_for_reading(dir_fd, name);
    if (flags != OPEN_CREATE_BINARY) return -1;
    // Only the permission bits pass: set-user-ID, set-group-ID and sticky
    // bits of a stranger's file must not reappear on what a privileged run
    // writes. A link in the output's place is refused rather than followed,
    // so a tree cannot direct the run to overwrite a file outside it.
    const mode_t permissions = narrow_group_bits(static_cast<mode_t>(mode) & 0777);
    const int flags_no_truncate = O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC;
    // The output is usually new: a file created here has one link and holds
    // nothing, so it needs neither the check below nor a truncation. Any
    // failure (a name already there, a link in its place) takes the careful
    // way, which decides as it always did.
    int fd = openat(dir_fd, name, flags_no_truncate | O_EXCL, permissions);
    if (fd >= 0) return fd;
    fd = openat(dir_fd, name, flags_no_truncate, permissions);
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
        if (unlinkat(dir_fd, name, 0) != 0) return -1;
        return openat(dir_fd, name, flags_no_truncate | O_EXCL, permissions);
    }
    // Only a file that holds something is truncated: some file systems take
    // a truncation to nothing as a file being replaced and write it out at
    // once when it is closed, which would cost every new output a flush.
    if (info.st_size > 0 && ftruncate(fd, 0) != 0) {
        close(fd);
        return -1;
    }
    // An existing file keeps its mode when opened: it gets the one a new
    // output would have. Where that is refused (a stranger's file), it is no
    // reason to stop.
    if ((info.st_mode & 07777) != (permissions & ~process_umask)) fchmod(fd, permissions & ~process_umask);
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

int64_t platform_write_gather(int fd, const WriteBuffer* buffers, int count)
{
    struct iovec pieces[WRITE_BUFFERS_MOST];
    if (count > WRITE_BUFFERS_MOST) count = WRITE_BUFFERS_MOST;
    for (int i = 0; i < count; ++i) {
        pieces[i].iov_base = const_cast<void*>(buffers[i].data);
        pieces[i].iov_len = buffers[i].size;
    }
    return static_cast<int64_t>(writev(fd, pieces, count));
}

int platform_close(int fd)
{
    return close(fd);
}

int platform_fstat(int fd, FileStatus* status)
{
    struct stat info;
    if (fstat(fd, &info) != 0) return -1;
    status->mode = static_cast<int>(info.st_mode);
    status->size = static_cast<uint64_t>(info.st_size);
    status->owner = static_cast<uint32_t>(info.st_uid);
    status->group = static_cast<uint32_t>(info.st_gid);
    status->device = static_cast<uint64_t>(info.st_dev);
    status->inode = static_cast<uint64_t>(info.st_ino);
    return 0;
}

void platform_give_owner(const DirectoryHandle* dir, int fd, const FileStatus& source)
{
    const uid_t owner = static_cast<uid_t>(source.owner);
    const gid_t group = static_cast<gid_t>(source.group);
    // A file of the user's own, in the group of both the process and the
    // directory, already has the owner and group the output was created with.
    const bool created_so = owner == process_user && group == process_group && group == dir->group;
    // An ordinary user cannot give a file away, but may give it a group it
    // is in.
    bool group_given = created_so || fchown(fd, owner, group) == 0 || fchown(fd, static_cast<uid_t>(-1), group) == 0;
    if (!group_given) {
        // The group the output got may be the right one all the same (the
        // directory's, say).
        struct stat info;
        group_given = fstat(fd, &info) == 0 && info.st_gid == group;
    }
    const mode_t permissions = static_cast<mode_t>(source.mode) & 0777;
    // Created with the narrowed bits; the full ones only with the group.
    if (group_given && narrow_group_bits(permissions) != permissions) fchmod(fd, permissions & ~process_umask);
}

// Writing each output back as it is closed (sync_file_range) would make the
// walk's thread wait for the disk file by file, in small pieces: the kernel
// writes them far faster all at once, when a batch is synced.
int platform_flush_output(const DirectoryHandle* /*dir*/, int /*fd*/)
{
    return 0;
}

int platform_sync(const DirectoryHandle* dir)
{
#if defined(__linux__)
    // Since Linux 5.8 this also reports a write error the kernel met when it
    // wrote back data on its own, after the files were closed.
    return syncfs(directory_fd(dir));
#else
    // Without syncfs, every file system is synced.
    sync();
    return 0;
#endif
}

uint64_t platform_file_system(const DirectoryHandle* dir)
{
    return dir->device;
}

bool platform_durable_when_flushed(const DirectoryHandle* dir)
{
    return dir->in_memory;
}

int platform_descriptor_limit()
{
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > INT_MAX) {
        return INT_MAX;
    }
    return static_cast<int>(limit.rlim_cur);
}

// rename() would silently replace an existing target; renameat2 can refuse.
// Older C libraries lack the wrapper, so the system call is made directly.
static int rename_no_replace(int dir_fd, const char* from, const char* to)
{
#if defined(RENAME_NOREPLACE)
    return renameat2(dir_fd, from, dir_fd, to, RENAME_NOREPLACE);
#elif defined(SYS_renameat2)
    constexpr unsigned NO_REPLACE = 1;  // RENAME_NOREPLACE of <linux/fs.h>
    return static_cast<int>(syscall(SYS_renameat2, dir_fd, from, dir_fd, to, NO_REPLACE));
#else
    errno = ENOSYS;
    return -1;
#endif
}

// True when both names of the directory lead to one file.
static bool same_file(int dir_fd, const char* a, const char* b)
{
    struct stat info_a;
    struct stat info_b;
    return fstatat(dir_fd, a, &info_a, AT_SYMLINK_NOFOLLOW) == 0 &&
           fstatat(dir_fd, b, &info_b, AT_SYMLINK_NOFOLLOW) == 0 && info_a.st_dev == info_b.st_dev &&
           info_a.st_ino == info_b.st_ino;
}

int platform_rename(const DirectoryHandle* dir, const char* from_path, const char* to_path)
{
    const int dir_fd = directory_fd(dir);
    const char* from = own_name(from_path);
    const char* to = own_name(to_path);
    if (rename_no_replace(dir_fd, from, to) == 0) return 0;
    // Both names of one file are what a rename by link and unlink leaves when
    // it is cut short: finishing it replaces nothing.
    if (errno == EEXIST && same_file(dir_fd, from, to)) return unlinkat(dir_fd, from, 0);
    if (errno != EINVAL && errno != ENOSYS) return -1;
    // The file system cannot refuse a replacing rename: a hard link can,
    // because linkat() fails when the target exists. Without
    // AT_SYMLINK_FOLLOW a link in the file's place is linked, not followed.
    if (linkat(dir_fd, from, dir_fd, to, 0) != 0) {
        return errno == EEXIST && same_file(dir_fd, from, to) ? unlinkat(dir_fd, from, 0) : -1;
    }
    if (unlinkat(dir_fd, from, 0) != 0) {
        // Leaving both names would let the conversion truncate the output,
        // which is the very file it reads from.
        unlinkat(dir_fd, to, 0);
        return -1;
    }
    return 0;
}

int platform_unlink(const DirectoryHandle* dir, const char* path)
{
    return unlinkat(directory_fd(dir), own_name(path), 0);
}

int platform_unlink_same(const DirectoryHandle* dir, const char* path, const FileStatus& status)
{
    struct stat info;
    const char* name = own_name(path);
    if (fstatat(directory_fd(dir), name, &info, AT_SYMLINK_NOFOLLOW) != 0) return -1;
    if (static_cast<uint64_t>(info.st_dev) != status.device || static_cast<uint64_t>(info.st_ino) != status.inode) {
        errno = ESTALE;
        return -1;
    }
    return unlinkat(directory_fd(dir), name, 0);
}

int platform_utime(const DirectoryHandle* dir, const char* path, int64_t seconds)
{
    const time_t when = static_cast<time_t>(seconds);
    if (static_cast<int64_t>(when) != seconds) return -1;
    struct timespec times[2];
    times[0].tv_sec = when;
    times[0].tv_nsec = 0;
    times[1] = times[0];
    return utimensat(directory_fd(dir), own_name(path), times, AT_SYMLINK_NOFOLLOW);
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
