// The platform layer on Win32: the directory listing is a find-file search
// for "*.*", the file calls are the runtime library's low-level I/O on
// narrow-code-page names. Each wrapper makes one call and maps its result
// onto the contract in platform.h; none prints or exits.
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

// Kept apart from GetLastError, which any later call may overwrite before
// the walk asks why the listing could not be started.
static uint32_t last_find_error = 0;

// Only directories and regular files are reported. An entry carrying a
// name-surrogate reparse point (a symbolic link or a junction, to a file, a
// directory or nothing) stands for another entry and is passed over: the
// walk never follows one out of the tree or round in a loop, never reads a
// file outside the tree through one, and never trips over one whose target
// it has just converted and deleted. So is a reparse point whose tag is 0,
// which no real tag is: wine reports a Unix link to a directory that way.
// Other reparse points (cloud placeholders, for one) are the files and
// directories their attributes say.
static bool is_reported(const WIN32_FIND_DATAA& found)
{
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return true;
    const DWORD tag = found.dwReserved0;  // the reparse tag, given the attribute
    return tag != 0 && !IsReparseTagNameSurrogate(tag);
}

static void store_entry(const WIN32_FIND_DATAA& found, DirectoryEntry* entry)
{
    memcpy(entry->name, found.cFileName, sizeof entry->name);
    entry->name[sizeof entry->name - 1] = '\0';
    entry->attributes = found.dwFileAttributes;
}

// Moves `found` on to the next entry to report. Returns false at the end of
// the search or when it broke off, with the code in last_find_error.
static bool skip_passed_over(HANDLE handle, WIN32_FIND_DATAA* found)
{
    while (!is_reported(*found)) {
        if (!FindNextFileA(handle, found)) {
            last_find_error = GetLastError();
            return false;
        }
    }
    return true;
}

DirectoryListing* find_first_file(const char* pattern, DirectoryEntry* entry)
{
    WIN32_FIND_DATAA found;
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
    WIN32_FIND_DATAA found;
    // ERROR_NO_MORE_FILES at the end; anything else broke the listing off.
    if (!FindNextFileA(listing->handle, &found)) {
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

int platform_open(const char* name, int flags, int mode)
{
    if (flags == OPEN_READ_BINARY) return _open(name, _O_BINARY | _O_RDONLY);
    if (flags != OPEN_CREATE_BINARY) return -1;
    // The runtime knows only the read and write bits of a mode word; the
    // file type and execute bits _fstat reports must not reach it. Without
    // the write bit the new file gets the read-only attribute, as its
    // compressed original had.
    const int permission = mode & (_S_IREAD | _S_IWRITE);
    return _open(name, _O_BINARY | _O_TRUNC | _O_CREAT | _O_RDWR, permission);
}

int platform_read(int fd, void* buffer, uint32_t count)
{
    return _read(fd, buffer, count);
}

int platform_write(int fd, const void* buffer, uint32_t count)
{
    return _write(fd, buffer, count);
}

int platform_close(int fd)
{
    return _close(fd);
}

int platform_fstat_mode(int fd, int* mode)
{
    struct _stat info;
    if (_fstat(fd, &info) != 0) return -1;
    *mode = info.st_mode;
    return 0;
}

// The runtime's rename moves a file and refuses to replace an existing one.
int platform_rename(const char* from, const char* to)
{
    return rename(from, to) == 0 ? 0 : -1;
}

int platform_unlink(const char* name)
{
    return _unlink(name);
}

int platform_utime(const char* name, int64_t seconds)
{
    struct __utimbuf64 times;
    times.actime = seconds;
    times.modtime = seconds;
    return _utime64(name, &times);
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
