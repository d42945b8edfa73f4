// What the walk knows of the files of the directory it converts, worked out
// once, when it lists the directory: each file's names, what its name asks
// for, and whether a decoding thread may read it before the walk gets there.
// The conversion and the decoding threads take their entries from here.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform.h"

// For join_path: the separator as a string, and the search pattern that
// lists every entry of a directory.
inline constexpr char SEPARATOR[2] = {PATH_SEPARATOR, '\0'};
inline constexpr char ALL_ENTRIES[] = "*.*";

struct DirectoryHandle;

// What a file's name asks for: nothing, decompressing a ".gz" file, or
// restoring the ".gz" of a ".hlp" or ".tar" file that holds gzip data and
// decompressing it.
constexpr int CONVERT_NOTHING = 0;
constexpr int CONVERT_DECOMPRESS = 1;
constexpr int CONVERT_RESTORE = 2;

struct FilePlan {
    std::string path;          // as listed: the directory's path, the separator, the name
    std::string work_name;     // the compressed file as it is opened, renamed and deleted
    std::string created_name;  // the output; for a restore, the name ".gz" is added to
    int action;
    bool read_ahead;           // a decoding thread may open and read it early
};

// The files of one directory in listing order: files[0] to files[count - 1]
// (the entries after them are kept only for their memory).
struct DirectoryPlan {
    std::vector<FilePlan> files;
    size_t count;
};

struct DirectoryEntry;

// Whether a listing's entry is one of the directory's files to plan: not a
// directory, and not hidden.
bool is_listed_file(const DirectoryEntry& entry);
// Whether it is a subdirectory the walk visits.
bool is_listed_subdirectory(const DirectoryEntry& entry);

// Starts a plan afresh.
void clear_plan(DirectoryPlan* plan);
// Adds the file `name` listed in `dir` to the plan. `root` is the directory
// named on the command line. Ends the run with "path too long" when the
// file's path does not fit.
void plan_file_or_die(DirectoryPlan* plan, const char* dir, const char* name, const char* root, int flags);
// What listing a directory into its plan came to: every file planned, or
// where it stopped (at the first file that breaks a limit).
constexpr int LIST_DONE = 0;
constexpr int LIST_NOT_STARTED = 1;     // the listing could not be started; last_error() says why
constexpr int LIST_BROKE_OFF = 2;       // the listing ended before its end
constexpr int LIST_TOO_MANY_FILES = 3;  // more than MAX_FILES_PER_DIRECTORY files
constexpr int LIST_PATH_TOO_LONG = 4;   // a file's path does not fit
// Lists the files of the held directory `dir` (searched with `pattern`)
// into `plan`, afresh; `root` is the directory named on the command line.
// The subdirectories the listing shows are kept in `subdirectories` (unless
// null). Only reads; never ends the run.
int list_directory_plan(const DirectoryHandle* held, const char* dir, const char* pattern, const char* root,
                        int flags, DirectoryPlan* plan, std::vector<DirectoryEntry>* subdirectories);
// Marks the files a decoding thread may read before the walk converts them:
// never one whose name an earlier conversion of the directory opens,
// creates, renames or deletes, as the file system matches names, since that
// conversion may change what the name leads to.
void plan_read_ahead(DirectoryPlan* plan);

// Whether a file of `dir` starts with the gzip signature: SIGNATURE_GZIP or
// SIGNATURE_OTHER, or SIGNATURE_UNOPENED / SIGNATURE_UNREAD when it could not
// be opened or read. Only reads; any thread may call it; never ends the run.
constexpr int SIGNATURE_GZIP = 1;
constexpr int SIGNATURE_OTHER = 0;
constexpr int SIGNATURE_UNOPENED = -1;
constexpr int SIGNATURE_UNREAD = -2;
int read_gzip_signature(const DirectoryHandle* dir, const char* name);
