// The directory walk: in each directory, list the files into the
// directory's plan, convert them, then visit the subdirectories one after
// another, depth first. The walk holds every directory from the root down
// to the one it works in, and enters a subdirectory only through its
// parent, never through a link, and only if it is the directory it listed.
#include "tree.h"

#include <cstdio>

#include "ahead.h"
#include "convert.h"
#include "fatal.h"
#include "plan.h"
#include "platform.h"

static const char SEPARATOR[2] = {PATH_SEPARATOR, '\0'};
static const char ALL_ENTRIES[] = "*.*";

// The plan of the directory whose files are being converted. One serves the
// whole walk: a directory's files are all converted before the walk
// descends. Never destroyed: decoding threads may still read its names
// while the process ends on a fatal error.
static DirectoryPlan& directory_plan = *new DirectoryPlan{};

// A listing that could not be started is an empty directory when the
// directory or its path is missing; anything else ends the run.
static void check_listing_error()
{
    const uint32_t code = last_error();
    if (code == ERROR_CODE_FILE_NOT_FOUND || code == ERROR_CODE_PATH_NOT_FOUND) return;
    fatal_unexpected_error();
}

// A listing must end because it is complete: one that broke off would
// leave files unconverted while the run goes on to write the marker.
static void check_listing_end()
{
    if (last_error() == ERROR_CODE_NO_MORE_FILES) return;
    fatal_unexpected_error();
}

static bool is_hidden(const DirectoryEntry& entry)
{
    return entry.name[0] == '.';
}

// Lists the files of the held directory `dir` into `plan`; `pattern` is its
// search pattern. Every limit is checked here, so a directory that breaks
// one ends the run before any of its files is touched.
static void list_files(const DirectoryHandle* held, const char* dir, const char* pattern, const char* root,
                       int flags, DirectoryPlan* plan)
{
    clear_plan(plan);
    DirectoryEntry entry;
    DirectoryListing* listing = find_first_file(held, pattern, &entry);
    if (listing == nullptr) {
        check_listing_error();
        return;
    }
    do {
        if (is_hidden(entry) || (entry.attributes & ATTRIBUTE_DIRECTORY) != 0) continue;
        if (plan->count == MAX_FILES_PER_DIRECTORY) fatal_error("too many files in %s", dir);
        plan_file_or_die(plan, dir, entry.name, root, flags);
    } while (find_next_file(listing, &entry));
    check_listing_end();
    find_close(listing);
}

// Prints the line of `dir` and opens it: the root when `parent` is null,
// else the subdirectory of `parent` that its listing reported as `entry`.
// `pattern` receives the directory's search pattern. Returns the held
// directory, or null for one that is missing, a link, or not the one listed
// (then nothing in it is converted, as in an empty one); ends the run when
// it exists but cannot be opened.
static DirectoryHandle* enter_directory(const DirectoryHandle* parent, const DirectoryEntry* entry, const char* dir,
                                        char* pattern)
{
    join_path_or_die(pattern, dir, SEPARATOR, ALL_ENTRIES);
    printf("\n%s", dir);
    DirectoryHandle* held = nullptr;
    const int opened = parent == nullptr ? open_root_directory(dir, &held)
                                         : open_subdirectory(parent, dir, entry, &held);
    if (opened == DIRECTORY_FAILED) fatal_unexpected_error();
    return opened == DIRECTORY_OPENED ? held : nullptr;
}

static void walk_directory(const DirectoryHandle* held, const char* dir, const char* root, int flags, char* path);

// Walks each subdirectory of the held directory `dir`. The listing passes
// over links to directories, so the walk never leaves the tree or loops.
static void visit_subdirectories(const DirectoryHandle* held, const char* dir, const char* root, int flags,
                                 char* path)
{
    join_path_or_die(path, dir, SEPARATOR, ALL_ENTRIES);
    DirectoryEntry entry;
    DirectoryListing* listing = find_first_file(held, path, &entry);
    if (listing == nullptr) {
        check_listing_error();
        return;
    }
    do {
        if (is_hidden(entry) || (entry.attributes & ATTRIBUTE_DIRECTORY) == 0) continue;
        join_path_or_die(path, dir, SEPARATOR, entry.name);
        char pattern[PATH_CAPACITY];
        DirectoryHandle* subdirectory = enter_directory(held, &entry, path, pattern);
        if (subdirectory == nullptr) continue;
        walk_directory(subdirectory, path, root, flags, pattern);
        close_directory(subdirectory);
    } while (find_next_file(listing, &entry));
    check_listing_end();
    find_close(listing);
}

// Converts the files of the held directory `dir`, then walks its
// subdirectories. `path` holds the directory's search pattern on entry and
// is then scratch.
static void walk_directory(const DirectoryHandle* held, const char* dir, const char* root, int flags, char* path)
{
    // The whole list is taken before the first conversion, so the names the
    // conversions create in this directory are never visited.
    list_files(held, dir, path, root, flags, &directory_plan);
    plan_directory_jobs(held, &directory_plan);
    for (size_t i = 0; i < directory_plan.count; ++i) {
        convert_file(held, directory_plan.files[i], directory_job(i));
    }
    end_directory_jobs();
    visit_subdirectories(held, dir, root, flags, path);
}

DirectoryHandle* walk_tree(const char* root, int flags)
{
    char pattern[PATH_CAPACITY];
    DirectoryHandle* held = enter_directory(nullptr, nullptr, root, pattern);
    if (held != nullptr) walk_directory(held, root, root, flags, pattern);
    return held;
}
