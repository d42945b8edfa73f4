// The platform layer on Win32: the directory listing is a find-file search
// for "*.*", the file calls name files by path in the narrow code page and
// hand the runtime library's descriptors back. A held directory is a handle
// that keeps it from being renamed, deleted or replaced, so the paths built
// below it keep leading to it; files are opened without following a link.
// Each wrapper maps its result onto the contract in platform.h; none prints
// or exits.
#include "platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#define WIN32_LEAN_AND_MEAN
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/utime.h>
#include <windows.h>

// The flag words the tree code passes are the runtime's own.
static_assert(OPEN_READ_BINARY == (_O_BINARY | _O_RDONLY));
static_assert(OPEN_CREATE_BINARY == (_O_BINARY | _O_TRUNC | _O_CREAT | _O_RDWR));
static_assert(ATTRIBUTE_DIRECTORY == FILE_ATTRIBUTE_DIRECTORY);
static_assert(ERROR_CODE_FILE_NOT_FOUND == ERROR_FILE_NOT_FOUND);
static_assert(ERROR_CODE_PATH_NOT_FOUND == ERROR_PATH_NOT_FOUND);
static_assert(ERROR_CODE_NO_MORE_FILES == ERROR_NO_MORE_FILES);
// A search result's name always fits a listing entry.
static_assert(sizeof(WIN32_FIND_DATAA::cFileName) == sizeof(DirectoryEntry::name));

struct DirectoryListing {
    HANDLE handle;
};

struct DirectoryHandle {
    HANDLE handle;
};

// A handle that reads the directory's data and does not share delete access
// keeps every other open that asks for delete access (which a rename needs
// as much as a delete) from succeeding while it is held. Without read access
// the sharing mode would count for nothing. Write sharing lets the run, and
// others, create and rename files inside.
constexpr DWORD HELD_DIRECTORY_ACCESS = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr DWORD HELD_DIRECTORY_SHARING = FILE_SHARE_READ | FILE_SHARE_WRITE;
// The runtime's _open shares the same way: a file the run holds open cannot
// be renamed or deleted under it.
constexpr DWORD FILE_SHARING = FILE_SHARE_READ | FILE_SHARE_WRITE;

// The file calls convert a path to UTF-16 as the runtime's _open does, and
// use the wide calls, which take every path _open takes: the narrow ones
// stop at MAX_PATH characters. A path of the tree is at most 1023 bytes, and
// no byte becomes more than one UTF-16 unit.
constexpr int WIDE_PATH_CAPACITY = 1024;

// Stores `path` in the ANSI code page as UTF-16 in `wide`; false when it
// does not fit.
static bool to_wide_path(const char* path, wchar_t (&wide)[WIDE_PATH_CAPACITY])
{
    return MultiByteToWideChar(CP_ACP, 0, path, -1, wide, WIDE_PATH_CAPACITY) > 0;
}

// Kept apart from GetLastError, which any later call may overwrite before
// the walk asks why the listing could not be started.
static thread_local uint32_t last_find_error = 0;  // per thread: threads list ahead

// A reparse point that stands for another entry: a symbolic link or a
// junction, to a file, a directory or nothing. So is one whose tag is 0,
// which no real tag is: wine lists a Unix link to a directory that way.
// Other reparse points (cloud placeholders, for one) are the files and
// directories their attributes say.
static bool is_link(DWORD attributes, DWORD tag)
{
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && (tag == 0 || IsReparseTagNameSurrogate(tag));
}

// Only directories and regular files are reported. A link is passed over:
// the walk never follows one out of the tree or round in a loop, never reads
// a file outside the tree through one, and never trips over one whose
// target it has just converted and deleted.
static bool is_reported(const WIN32_FIND_DATAA& found)
{
    // dwReserved0 holds the reparse tag when the attribute is set.
    return !is_link(found.dwFileAttributes, found.dwReserved0);
}

static void store_entry(const WIN32_FIND_DATAA& found, DirectoryEntry* entry)
{
    memcpy(entry->name, found.cFileName, sizeof entry->name);
    entry->name[sizeof entry->name - 1] = '\0';
    entry->attributes = found.dwFileAttributes;
    // The held directories keep a listed name leading to what was listed;
    // no identity is compared.
    entry->device = 0;
    entry->inode = 0;
}

// The attributes and reparse tag of what `handle` has open; false when they
// cannot be read.
static bool read_attributes(HANDLE handle, FILE_ATTRIBUTE_TAG_INFO* info)
{
    return GetFileInformationByHandleEx(handle, FileAttributeTagInfo, info, sizeof *info) != 0;
}

// Takes ownership of `handle`, an open directory.
static int hold_directory(HANDLE handle, DirectoryHandle** held)
{
    DirectoryHandle* directory = static_cast<DirectoryHandle*>(malloc(sizeof(DirectoryHandle)));
    if (directory == nullptr) {
        CloseHandle(handle);
        return DIRECTORY_FAILED;
    }
    directory->handle = handle;
    *held = directory;
    return DIRECTORY_OPENED;
}

// Opens `path` as a directory to hold, or says why not. The root is
// followed if it is a link; a subdirectory is not: a link in its place is
// opened itself, and refused.
static int open_directory(const char* path, bool root, DirectoryHandle** held)
{
    wchar_t wide[WIDE_PATH_CAPACITY];
    if (!to_wide_path(path, wide)) return DIRECTORY_FAILED;
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (root ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    const HANDLE handle =
        CreateFileW(wide, HELD_DIRECTORY_ACCESS, HELD_DIRECTORY_SHARING, nullptr, OPEN_EXISTING, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? DIRECTORY_MISSING : DIRECTORY_FAILED;
    }
    FILE_ATTRIBUTE_TAG_INFO info;
    if (!read_attributes(handle, &info)) {
        CloseHandle(handle);
        return DIRECTORY_FAILED;
    }
    const bool directory = (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (directory && (root || !is_link(info.FileAttributes, info.ReparseTag))) return hold_directory(handle, held);
    CloseHandle(handle);
    // A file named as the root fails as a search inside a file does, with an
    // error that is not "not found". A file, link or junction put in a
    // subdirectory's place is not the directory that was listed.
    return root ? DIRECTORY_FAILED : DIRECTORY_MISSING;
}

int open_root_directory(const char* path, DirectoryHandle** handle)
{
    // "D:" alone names the current directory of drive D, but the paths built
    // below it ("D:\NAME") start at the drive's root: that is what is held.
    const bool bare_drive = path[0] != '\0' && path[1] == ':' && path[2] == '\0';
    const char drive_root[4] = {path[0], ':', '\\', '\0'};
    // The link the root may be is followed here. Its target is held, not the
    // link, and every path below the root passes through the link again.
    return open_directory(bare_drive ? drive_root : path, true, handle);
}

int open_subdirectory(const DirectoryHandle* /*parent*/, const char* path, const DirectoryEntry* /*entry*/,
                      DirectoryHandle** handle)
{
    // The parent is held, so `path` leads through the directories the walk
    // entered; only its last component can have changed since the listing.
    return open_directory(path, false, handle);
}

void close_directory(DirectoryHandle* handle)
{
    CloseHandle(handle->handle);
    free(handle);
}

// A search keeps its own handle, closed when it ends: a held directory keeps
// nothing else.
void drop_listing(DirectoryHandle* /*handle*/)
{
}

// The next entry of a search. The record is cleared first: wine does not
// always fill in dwReserved0, the reparse tag, and a value left over from an
// earlier entry or from the stack could make a link pass for a directory.
static bool find_next(HANDLE handle, WIN32_FIND_DATAA* found)
{
    *found = WIN32_FIND_DATAA{};
    return FindNextFileA(handle, found) != 0;
}

// Moves `found` on to the next entry to report. Returns false at the end of
// the search or when it broke off, with the code in last_find_error.
static bool skip_passed_over(HANDLE handle, WIN32_FIND_DATAA* found)
{
    while (!is_reported(*found)) {
        if (!find_next(handle, found)) {
            last_find_error = GetLastError();
            return false;
        }
    }
    return true;
}

DirectoryListing* find_first_file(const DirectoryHandle* /*dir*/, const char* pattern, DirectoryEntry* entry)
{
    // The search goes by the pattern's path, which the held directory keeps
    // leading to it.
    WIN32_FIND_DATAA found = {};
    const HANDLE handle = FindFirstFileA(pattern, &found);
    if (handle == INVALID_HANDLE_VALUE) {
        last_find_error = GetLastError();
        return nullptr;
    }
    // A drive's root has no "." and "..": when every entry there is passed
    // over, the search found nothing, as a search of an empty root does.
    if (!skip_passed_over(handle, &found)) {
        FindClose(handle);
        if (last_find_error == ERROR_NO_MORE_FILES) last_find_error = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    DirectoryListing* listing = static_cast<DirectoryListing*>(malloc(sizeof(DirectoryListing)));
    if (listing == nullptr) {
        FindClose(handle);
        last_find_error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    listing->handle = handle;
    store_entry(found, entry);
    return listing;
}

bool find_next_file(DirectoryListing* listing, DirectoryEntry* entry)
{
    WIN32_FIND_DATAA found = {};
    // ERROR_NO_MORE_FILES at the end; anything else broke the listing off.
    if (!find_next(listing->handle, &found)) {
        last_find_error = GetLastError();
        return false;
    }
    if (!skip_passed_over(listing->handle, &found)) return false;
    store_entry(found, entry);
    return true;
}

void find_close(DirectoryListing* listing)
{
    FindClose(listing->handle);
    free(listing);
}

uint32_t last_error()
{
    return last_find_error;
}

// Opens the file `path` with `access` and `disposition` as the runtime's
// _open would, but never through a link: a link in the file's place is
// opened itself and refused, and so is a directory. Returns the handle, or
// INVALID_HANDLE_VALUE. *existed tells whether the file was there before.
static HANDLE open_file_no_link(const char* path, DWORD access, DWORD disposition, DWORD attributes, bool* existed)
{
    wchar_t wide[WIDE_PATH_CAPACITY];
    if (!to_wide_path(path, wide)) return INVALID_HANDLE_VALUE;
    const HANDLE handle = CreateFileW(wide, access, FILE_SHARING, nullptr, disposition,
                                      attributes | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return handle;
    *existed = disposition == OPEN_EXISTING || GetLastError() == ERROR_ALREADY_EXISTS;
    FILE_ATTRIBUTE_TAG_INFO info;
    if (!read_attributes(handle, &info) || (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
        is_link(info.FileAttributes, info.ReparseTag)) {
        CloseHandle(handle);
        return INVALID_HANDLE_VALUE;
    }
    if ((info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return handle;
    // Any other reparse point (a cloud placeholder, a deduplicated file)
    // keeps its data behind its filter, which the first open bypassed: open
    // it once more the ordinary way. The first handle, which shares no
    // delete access, keeps the name on the same file meanwhile.
    const HANDLE through_filter =
        CreateFileW(wide, access, FILE_SHARING, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    CloseHandle(handle);
    return through_filter;
}

// A runtime descriptor that owns `handle`, or -1 (and the handle closed).
static int descriptor_of(HANDLE handle, int flags)
{
    if (handle == INVALID_HANDLE_VALUE) return -1;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags);
    if (fd < 0) CloseHandle(handle);
    return fd;
}

// An output is made as _open makes it with _O_CREAT | _O_TRUNC: a new file
// gets the read-only attribute when `mode` lacks the write bit; an existing
// one keeps its attributes (a read-only one cannot be opened) and loses its
// content.
static int open_output(const char* path, int mode)
{
    // The runtime knows only the read and write bits of a mode word; the
    // file type and execute bits _fstat reports must not reach it.
    const DWORD attributes = (mode & _S_IWRITE) != 0 ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_READONLY;
    bool existed = false;
    const HANDLE handle = open_file_no_link(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS, attributes, &existed);
    if (handle == INVALID_HANDLE_VALUE) return -1;
    // The new handle stands at the file's start.
    if (existed && !SetEndOfFile(handle)) {
        CloseHandle(handle);
        return -1;
    }
    return descriptor_of(handle, _O_BINARY);
}

int platform_open(const DirectoryHandle* /*dir*/, const char* path, int flags, int mode)
{
    bool existed = false;
    if (flags == OPEN_READ_BINARY) {
        return descriptor_of(open_file_no_link(path, GENERIC_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, &existed),
                             _O_BINARY | _O_RDONLY);
    }
    if (flags != OPEN_CREATE_BINARY) return -1;
    return open_output(path, mode);
}

int platform_read(int fd, void* buffer, uint32_t count)
{
    return _read(fd, buffer, count);
}

int platform_write(int fd, const void* buffer, uint32_t count)
{
    return _write(fd, buffer, count);
}

// The runtime has no gathered write: one write per buffer, stopping at the
// first that fails or falls short.
int64_t platform_write_gather(int fd, const WriteBuffer* buffers, int count)
{
    int64_t total = 0;
    for (int i = 0; i < count; ++i) {
        const int written = _write(fd, buffers[i].data, buffers[i].size);
        if (written < 0) return total > 0 ? total : -1;
        total += written;
        if (static_cast<uint32_t>(written) != buffers[i].size) break;
    }
    return total;
}

int platform_close(int fd)
{
    return _close(fd);
}

int platform_fstat(int fd, FileStatus* status)
{
    struct _stat64 info;
    if (_fstat64(fd, &info) != 0) return -1;
    status->mode = info.st_mode;
    status->size = static_cast<uint64_t>(info.st_size);
    status->owner = 0;
    status->group = 0;
    status->device = 0;
    status->inode = 0;
    return 0;
}

// A new file takes the access its directory passes on to every new file
// (the output's read-only attribute was set when it was created): giving it
// the compressed file's security descriptor would take rights away from
// those the directory grants them to.
void platform_give_owner(const DirectoryHandle* /*dir*/, int /*fd*/, const FileStatus& /*source*/)
{
}

// Without a sync of a whole volume (which only an administrator may ask
// for), an output is made durable on its own, by its handle.
int platform_flush_output(const DirectoryHandle* /*dir*/, int fd)
{
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    return handle != INVALID_HANDLE_VALUE && FlushFileBuffers(handle) ? 0 : -1;
}

int platform_sync(const DirectoryHandle* /*dir*/)
{
    return 0;
}

uint64_t platform_file_system(const DirectoryHandle* /*dir*/)
{
    return 0;
}

bool platform_durable_when_flushed(const DirectoryHandle* /*dir*/)
{
    return true;
}

// The runtime's table of descriptors.
int platform_descriptor_limit()
{
    return 2048;
}

// As the runtime's rename: moves a file and refuses to replace an existing
// one. A link in the file's place is moved itself, not followed.
int platform_rename(const DirectoryHandle* /*dir*/, const char* from, const char* to)
{
    wchar_t wide_from[WIDE_PATH_CAPACITY];
    wchar_t wide_to[WIDE_PATH_CAPACITY];
    if (!to_wide_path(from, wide_from) || !to_wide_path(to, wide_to)) return -1;
    return MoveFileExW(wide_from, wide_to, MOVEFILE_COPY_ALLOWED) ? 0 : -1;
}

// As the runtime's _unlink: deleting a link deletes the link, not what it
// points to; a read-only file is not deleted.
int platform_unlink(const DirectoryHandle* /*dir*/, const char* path)
{
    wchar_t wide[WIDE_PATH_CAPACITY];
    if (!to_wide_path(path, wide)) return -1;
    return DeleteFileW(wide) ? 0 : -1;
}

// A compressed file is deleted as soon as its output is flushed, while the
// held directories keep its name from being taken by another file: there is
// nothing to compare.
int platform_unlink_same(const DirectoryHandle* dir, const char* path, const FileStatus& /*status*/)
{
    return platform_unlink(dir, path);
}

// _utime64 would set the time of whatever a link in the file's place points
// to: the file is opened without following a link, for its attributes only,
// and the runtime's _futime64 sets the time through that handle.
int platform_utime(const DirectoryHandle* /*dir*/, const char* path, int64_t seconds)
{
    bool existed = false;
    const int fd = descriptor_of(
        open_file_no_link(path, FILE_WRITE_ATTRIBUTES | SYNCHRONIZE, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, &existed),
        _O_BINARY);
    if (fd < 0) return -1;
    struct __utimbuf64 times;
    times.actime = seconds;
    times.modtime = seconds;
    const int result = _futime64(fd, &times);
    _close(fd);
    return result == 0 ? 0 : -1;
}

int platform_cpu_count()
{
    DWORD_PTR process_mask = 0;
    DWORD_PTR system_mask = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask) && process_mask != 0) {
        int count = 0;
        for (; process_mask != 0; process_mask &= process_mask - 1) ++count;
        return count;
    }
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors > 0 ? static_cast<int>(info.dwNumberOfProcessors) : 1;
}
