// The narrow layer between kavrelt and the operating system: directory
// listing with the semantics of a Win32 find-file search, and the runtime
// library's low-level file operations. One implementation per OS
// (platform_posix.cc, platform_win32.cc); the build compiles exactly one.
// No function here prints or ends the process.
#pragma once

#include <cstdint>

#ifdef _WIN32
constexpr char PATH_SEPARATOR = '\\';
// Win32 file systems match names without regard to case: a lower-cased
// path still reaches the file that was listed in capitals.
constexpr bool NAMES_IGNORE_CASE = true;
#else
constexpr char PATH_SEPARATOR = '/';
// POSIX file systems match names exactly: a file listed in capitals can only
// be opened, renamed and deleted under that spelling.
constexpr bool NAMES_IGNORE_CASE = false;
#endif

// Flag values of the runtime library's _open: binary read, and binary
// read/write with create and truncate.
constexpr int OPEN_READ_BINARY = 0x8000;
constexpr int OPEN_CREATE_BINARY = 0x8302;

// Directory attribute bit of a listing entry; the only attribute examined.
constexpr uint32_t ATTRIBUTE_DIRECTORY = 0x10;

// Error codes of last_error() that mean "the directory or its path does not
// exist": the walk treats such a directory as empty.
constexpr uint32_t ERROR_CODE_FILE_NOT_FOUND = 2;
constexpr uint32_t ERROR_CODE_PATH_NOT_FOUND = 3;
// last_error() after find_next_file returned false at the listing's end.
constexpr uint32_t ERROR_CODE_NO_MORE_FILES = 18;

struct DirectoryEntry {
    char name[260];
    uint32_t attributes;
    // What the listing saw of a directory entry (POSIX: its device and
    // inode), so that the walk enters only the directory it listed; zero
    // where the system needs no such check.
    uint64_t device;
    uint64_t inode;
};

struct DirectoryListing;  // opaque, owned by the platform layer

// A directory the walk holds while it works in it or below it. On POSIX it
// is an open descriptor, and every call on a file of the directory is made
// relative to it without following a link, so no rename or link elsewhere
// can redirect a call to a file outside the tree. On Win32, whose narrow
// calls name files by path, it is a handle that keeps the directory from
// being renamed, deleted or replaced while it is held. Opaque; owned by the
// platform layer, released by close_directory.
struct DirectoryHandle;

// Results of opening a directory.
constexpr int DIRECTORY_OPENED = 0;
// Missing, not a directory, a link or junction, or not the directory the
// listing reported: the walk treats it as an empty directory.
constexpr int DIRECTORY_MISSING = 1;
// It exists but cannot be opened (permissions, resources).
constexpr int DIRECTORY_FAILED = 2;

// Opens the directory named on the command line, which may itself be a
// link. Returns one of the results above; *handle is set only when opened.
int open_root_directory(const char* path, DirectoryHandle** handle);
// Opens the subdirectory `path` (the parent's path, the separator, then the
// entry's name) that a listing of `parent` reported as `entry`: never
// through a link, and only while it is the directory that was listed.
int open_subdirectory(const DirectoryHandle* parent, const char* path, const DirectoryEntry* entry,
                      DirectoryHandle** handle);
void close_directory(DirectoryHandle* handle);
// Frees the memory a listing of `handle` needs, for a directory that stays
// held only for calls on its files: it is not listed again.
void drop_listing(DirectoryHandle* handle);

// A listing reports directories and regular files only. Symbolic links (to
// anything, or dangling), junctions, FIFOs, sockets and devices are passed
// over as if absent, so nothing reached through a link is ever converted.

// Starts a listing of `dir`, whose path is `pattern` without its final "*.*"
// (the directory, the separator, then "*.*"), and stores its first entry.
// Returns the listing, or null with last_error() set when the listing cannot
// be started; a directory with nothing to report fails as a missing one
// (ERROR_CODE_FILE_NOT_FOUND). One listing of a directory at a time.
DirectoryListing* find_first_file(const DirectoryHandle* dir, const char* pattern, DirectoryEntry* entry);
// Stores the next entry; returns false when there is none (last_error() then
// gives ERROR_CODE_NO_MORE_FILES) or reading failed (any other code).
bool find_next_file(DirectoryListing* listing, DirectoryEntry* entry);
// Ends a listing and releases it; the directory stays held.
void find_close(DirectoryListing* listing);
// The error code of the last failed find_first_file (2 or 3 for a missing
// directory or path, anything else for other failures) or find_next_file.
uint32_t last_error();

// The file calls below name a file of a held directory `dir` by `path`: the
// directory's path, the separator, then the file's own name. POSIX uses only
// the name, relative to the directory's descriptor, and never follows a
// link there; Win32 uses the whole path, which the held directories keep
// from leading elsewhere. Any thread may call them, on a directory the walk
// holds.

// Opens a file of `dir` with OPEN_READ_BINARY or OPEN_CREATE_BINARY (then
// `mode` gives the permission bits: POSIX leaves out the group bits beyond
// what others may do until platform_give_owner gives the output its group).
// A link in the file's place is never followed, and a directory is never
// opened. Returns a descriptor, or -1.
int platform_open(const DirectoryHandle* dir, const char* path, int flags, int mode);
// Returns the number of bytes read, 0 at end of file, -1 on error. No retry.
int platform_read(int fd, void* buffer, uint32_t count);
// Returns the number of bytes written, or -1 on error. No retry.
int platform_write(int fd, const void* buffer, uint32_t count);
// One piece of a gathered write.
struct WriteBuffer {
    const void* data;
    uint32_t size;
};
// Writes `count` (at most WRITE_BUFFERS_MOST) buffers one after another, in
// one call where the system has one. Returns the number of bytes written,
// or -1 on error; less than their sum is a short write. No retry.
constexpr int WRITE_BUFFERS_MOST = 64;
int64_t platform_write_gather(int fd, const WriteBuffer* buffers, int count);
// Returns 0, or -1 on error.
int platform_close(int fd);
// What the system says of an open file.
struct FileStatus {
    int mode;        // type and permission bits
    uint64_t size;   // bytes
    uint32_t owner;  // POSIX user and group ids; 0 on Win32, which has none
    uint32_t group;
    uint64_t device;  // POSIX: which file it is, so that it can be told
    uint64_t inode;   // from one put in its place later; 0 on Win32
};
// Returns 0, or -1 on error.
int platform_fstat(int fd, FileStatus* status);
// Gives the output `fd` of `dir`, just created by platform_open with
// source.mode, the owner and group of `source`, the compressed file, and then
// its permission bits (never set-user-ID, set-group-ID or sticky). Where the
// system refuses the owner or the group (an ordinary user, a group it is not
// in), the output keeps the ones it got, and its group bits stay no wider
// than the bits of others. Win32 outputs keep the access their directory
// gives every new file. Never fails: a refusal is no reason to stop.
void platform_give_owner(const DirectoryHandle* dir, int fd, const FileStatus& source);
// Where outputs are made durable one at a time (Win32, which can make a file
// durable only by writing it out and waiting), writes the output `fd` of
// `dir` to stable storage and waits; elsewhere returns at once, since
// platform_sync makes a whole batch durable for far less. Returns 0, or -1
// when the system reports a write error.
int platform_flush_output(const DirectoryHandle* dir, int fd);
// Returns once everything written so far to the file system that holds `dir`
// (files' data, names created, renamed and deleted) is on stable storage.
// Returns 0, or -1 when the system reports a write error, now or since `dir`
// was opened. Win32: each output is there when platform_flush_output
// returns, and NTFS logs names in order: there is nothing left to wait for.
int platform_sync(const DirectoryHandle* dir);
// Equal for directories of the same file system, where one platform_sync
// serves them all.
uint64_t platform_file_system(const DirectoryHandle* dir);
// True where an output of `dir` is as durable as it will ever be once
// platform_flush_output returns, so that its compressed file may be deleted
// at once: on Win32, which writes it to disk there, and on a file system
// held in memory (tmpfs), whose files no power cut spares anyway. False
// where outputs become durable together, at a later platform_sync.
bool platform_durable_when_flushed(const DirectoryHandle* dir);
// The number of files the process may hold open at once.
int platform_descriptor_limit();

// Renames a file of `dir` to another name in it; fails (returns -1) when
// `to` exists. Returns 0.
int platform_rename(const DirectoryHandle* dir, const char* from, const char* to);
// Deletes a file of `dir` (a link in its place is deleted, not followed).
// Returns 0, or -1 on error.
int platform_unlink(const DirectoryHandle* dir, const char* path);
// As platform_unlink, but only while the name leads to the file `status`
// was taken of (POSIX: the same device and inode), not to one put in its
// place since. Returns 0, or -1 when it did not delete it.
int platform_unlink_same(const DirectoryHandle* dir, const char* path, const FileStatus& status);
// Sets access and modification time of a file of `dir` to `seconds` since
// 1970-01-01 UTC, not through a link. Returns 0, or -1 on error.
int platform_utime(const DirectoryHandle* dir, const char* path, int64_t seconds);

// The number of processors this process may run on (at least 1).
int platform_cpu_count();
