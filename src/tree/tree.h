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

struct DirectoryHandle;

// Stores head + middle + tail in `out` (PATH_CAPACITY bytes). False, and
// nothing stored, when the result would not fit.
bool join_path(char* out, const char* head, const char* middle, const char* tail);
// As join_path; when the result would not fit, ends the run with "path too
// long" naming `head`.
void join_path_or_die(char* out, const char* head, const char* middle, const char* tail);

// Converts every file of the tree below `root`, the directory named on the
// command line: in each directory its files, then, one after another, its
// subdirectories. Returns the root's handle, held for the marker (the caller
// closes it), or null when the root is missing, which counts as an empty
// directory. Returns, or ends the run on the first failure.
DirectoryHandle* walk_tree(const char* root, int flags);
