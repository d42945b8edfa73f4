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
};

struct DirectoryListing;  // opaque, owned by the platform layer

// A listing reports directories and regular files only. Symbolic links (to
// anything, or dangling), junctions, FIFOs, sockets and devices are passed
// over as if absent, so nothing reached through a link is ever converted.

// Starts a listing of the directory named by `pattern` (the directory, the
// separator, then "*.*") and stores its first entry. Returns the listing, or
// null with last_error() set when the listing cannot be started; a directory
// with nothing to report fails as a missing one (ERROR_CODE_FILE_NOT_FOUND).
DirectoryListing* find_first_file(const char* pattern, DirectoryEntry* entry);
// Stores the next entry; returns false when there is none (last_error() then
// gives ERROR_CODE_NO_MORE_FILES) or reading failed (any other code).
bool find_next_file(DirectoryListing* listing, DirectoryEntry* entry);
// Ends a listing and releases it.
void find_close(DirectoryListing* listing);
// The error code of the last failed find_first_file (2 or 3 for a missing
// directory or path, anything else for other failures) or find_next_file.
uint32_t last_error();

// Opens `name` with OPEN_READ_BINARY or OPEN_CREATE_BINARY (then `mode` gives
// the permission bits). Returns a descriptor, or -1.
int platform_open(const char* name, int flags, int mode);
// Returns the number of bytes read, 0 at end of file, -1 on error. No retry.
int platform_read(int fd, void* buffer, uint32_t count);
// Returns the number of bytes written, or -1 on error. No retry.
int platform_write(int fd, const void* buffer, uint32_t count);
// Returns 0, or -1 on error.
int platform_close(int fd);
// Stores the file's mode word (type and permission bits) in *mode.
// Returns 0, or -1 on error.
int platform_fstat_mode(int fd, int* mode);
// Renames `from` to `to`; fails (returns -1) when `to` exists. Returns 0.
int platform_rename(const char* from, const char* to);
// Deletes a file. Returns 0, or -1 on error.
int platform_unlink(const char* name);
// Sets access and modification time to `seconds` since 1970-01-01 UTC.
// Returns 0, or -1 on error.
int platform_utime(const char* name, int64_t seconds);

// The number of processors this process may run on (at least 1).
int platform_cpu_count();
