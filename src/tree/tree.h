// Tree conversion: the depth-first walk over a directory tree and the
// decision, file by file, what to restore, decompress and delete. Every
// failure here is fatal: it prints its message and ends the process.
#pragma once

#include <cstddef>

// Option flags. FLAG_PLAIN stands for "no option given" and is never tested;
// FLAG_TEXT_EOL is accepted on the command line and changes nothing.
constexpr int FLAG_PLAIN = 1;
constexpr int FLAG_LOWERCASE = 2;
constexpr int FLAG_TEXT_EOL = 4;

// Every path and name buffer, terminator included.
constexpr size_t PATH_CAPACITY = 1024;
constexpr size_t MAX_FILES_PER_DIRECTORY = 12288;

// Names of the regular files of the directory being processed. One table
// serves the whole recursion: a directory's entries are all consumed before
// the walk descends.
extern char file_table[MAX_FILES_PER_DIRECTORY][PATH_CAPACITY];

// Prints "\nerror: " + the formatted text + "\n" to stdout and exits with
// status 2.
[[noreturn]] void fatal_error(const char* format, ...);

// Stores head + middle + tail in `out` (PATH_CAPACITY bytes). When the result
// would not fit, ends the run with "path too long" naming `head`.
void join_path_or_die(char* out, const char* head, const char* middle, const char* tail);

// Converts every file of `dir` and then, recursively, of its subdirectories.
// `root` is the directory named on the command line; `root` and `flags` are
// passed unchanged to every convert_file call. Returns 0 or ends the run.
int walk_directory(const char* dir, const char* root, int flags);

struct AheadJob;

// What a file's name asks for: nothing, decompressing a ".gz" file, or
// restoring the ".gz" of a ".hlp" or ".tar" file that holds gzip data and
// decompressing it.
constexpr int CONVERT_NOTHING = 0;
constexpr int CONVERT_DECOMPRESS = 1;
constexpr int CONVERT_RESTORE = 2;

// Decides from the name alone what convert_file will do with `path`. Fills
// work_name (the file as it is opened, renamed and deleted) and created_name
// (the output's name; for a restore, the name ".gz" is added to), both
// PATH_CAPACITY bytes. Never ends the run.
int plan_conversion(const char* path, const char* root, int flags, char* work_name, char* created_name);

// Whether a file starts with the gzip signature: SIGNATURE_GZIP or
// SIGNATURE_OTHER, or SIGNATURE_UNOPENED / SIGNATURE_UNREAD when it could not
// be opened or read. Only reads; never ends the run.
constexpr int SIGNATURE_GZIP = 1;
constexpr int SIGNATURE_OTHER = 0;
constexpr int SIGNATURE_UNOPENED = -1;
constexpr int SIGNATURE_UNREAD = -2;
int read_gzip_signature(const char* name);

// Restores, decompresses and deletes one file as its name demands, or
// leaves it alone. `path` is root + separator + ... + name. `job`, when not
// null, is the file's decoding ahead (see ahead.h). Returns normally or ends
// the run.
void convert_file(const char* path, const char* root, int flags, AheadJob* job);
