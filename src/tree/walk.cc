// The directory walk: in each directory, list it once (its files into the
// directory's plan, its subdirectories kept), convert the files, then visit
// the subdirectories one after another, depth first. The walk holds every
// directory from the root down to the one it works in, and enters a
// subdirectory only through its parent, never through a link, and only if
// it is the directory it listed.
#include "tree.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ahead.h"
#include "convert.h"
#include "deletions.h"
#include "fatal.h"
#include "plan.h"
#include "platform.h"

// The plan of the directory whose files are being converted. One serves the
// whole walk: a directory's files are all converted before the walk
// descends. Never destroyed: decoding threads may still read its names
// while the process ends on a fatal error.
static DirectoryPlan& directory_plan = *new DirectoryPlan{};

// Each directory from the root down to the one the walk works in, with the
// subdirectories its listing saw: the walk visits them, and tells the
// decoding threads which one it will enter next.
struct Level {
    const DirectoryHandle* held;
    std::string path;
    std::vector<DirectoryEntry> subdirectories;
    size_t walking;  // of them, the one being walked (levels above the walk's directory)
};
// levels[0] to levels[depth - 1]; the records beyond are kept for their memory.
static std::vector<Level>& levels = *new std::vector<Level>{};
static size_t depth = 0;

// A listing that could not be started is an empty directory when the
// directory or its path is missing; anything else ends the run.
static void check_listing_error()
{
    const uint32_t code = last_error();
    if (code == ERROR_CODE_FILE_NOT_FOUND || code == ERROR_CODE_PATH_NOT_FOUND) return;
    fatal_unexpected_error();
}

// Lists the files of the held directory `dir` into `plan`; `pattern` is its
// search pattern. Every limit is checked here, so a directory that breaks
// one ends the run before any of its files is touched. The subdirectories
// the listing shows are kept in `subdirectories` (unless null).
static void list_files(const DirectoryHandle* held, const char* dir, const char* pattern, const char* root,
                       int flags, DirectoryPlan* plan, std::vector<DirectoryEntry>* subdirectories)
{
    switch (list_directory_plan(held, dir, pattern, root, flags, plan, subdirectories)) {
    case LIST_NOT_STARTED:
        check_listing_error();
        break;
    case LIST_BROKE_OFF:
        fatal_unexpected_error();
    case LIST_TOO_MANY_FILES:
        fatal_error("too many files in %s", dir);
    case LIST_PATH_TOO_LONG:
        fatal_error("path too long %s", dir);
    default:
        break;
    }
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
    // A decoding thread that listed the directory ahead opened it through
    // the same parent and found the directory listed here: its hold serves.
    DirectoryHandle* held = parent == nullptr ? nullptr : take_directory_ahead(parent, dir, entry);
    if (held != nullptr) return held;
    const int opened = parent == nullptr ? open_root_directory(dir, &held)
                                         : open_subdirectory(parent, dir, entry, &held);
    if (opened == DIRECTORY_FAILED) fatal_unexpected_error();
    return opened == DIRECTORY_OPENED ? held : nullptr;
}

static void walk_directory(const DirectoryHandle* held, const DirectoryEntry* entry, const char* dir,
                           const char* root, int flags, char* path);

// Where the walk will go after the files of the directory it works in: its
// subdirectories, else the ones after the directory (or after one above
// it) in its parent's listing; nowhere after the last. Offered to the
// decoding threads.
static void offer_next_directories_of_walk(const char* root, int flags)
{
    for (size_t i = depth; i-- > 0;) {
        const Level& level = levels[i];
        const size_t at = i + 1 == depth ? 0 : level.walking + 1;
        if (at >= level.subdirectories.size()) continue;
        offer_next_directories(level.held, level.path.c_str(), &level.subdirectories[at],
                               level.subdirectories.size() - at, root, flags);
        return;
    }
    offer_next_directories(nullptr, "", nullptr, 0, root, flags);
}

// Walks each subdirectory of the held directory `dir` that its listing
// showed, in listing order. The listing passes over links to directories,
// so the walk never leaves the tree or loops; the conversions of the
// directory's files create, rename and delete only files, so the
// subdirectories are still those listed.
static void visit_subdirectories(const DirectoryHandle* held, const char* dir, const char* root, int flags,
                                 char* path)
{
    // By index: the walk below may move the records.
    const size_t at = depth - 1;
    for (size_t i = 0; i < levels[at].subdirectories.size(); ++i) {
        levels[at].walking = i;
        const DirectoryEntry entry = levels[at].subdirectories[i];
        join_path_or_die(path, dir, SEPARATOR, entry.name);
        char pattern[PATH_CAPACITY];
        DirectoryHandle* subdirectory = enter_directory(held, &entry, path, pattern);
        if (subdirectory == nullptr) continue;
        walk_directory(subdirectory, &entry, path, root, flags, pattern);
        cancel_directory_ahead(subdirectory);
        close_directory_after_deletions_or_die(subdirectory, depth);
    }
}

// Converts the files of the held directory `dir` (entered as its parent
// listed it in `entry`; null for the root), then walks its subdirectories.
// `path` holds the directory's search pattern on entry and is then scratch.
static void walk_directory(const DirectoryHandle* held, const DirectoryEntry* entry, const char* dir,
                           const char* root, int flags, char* path)
{
    if (depth == levels.size()) levels.emplace_back();
    Level& level = levels[depth++];  // not used once the walk goes further down
    level.held = held;
    level.path.assign(dir);
    level.subdirectories.clear();
    level.walking = 0;
    // The whole list is taken before the first conversion, so the names the
    // conversions create in this directory are never visited. A thread that
    // listed the directory ahead took it the same way, before the walk got
    // there: its listing serves.
    const bool ahead = reads_ahead();
    if (!adopt_directory_ahead(entry, dir, &directory_plan, &level.subdirectories)) {
        list_files(held, dir, path, root, flags, &directory_plan, &level.subdirectories);
        offer_directory_jobs(held, &directory_plan);
    }
    start_directory_deletions(directory_plan.count);
    if (ahead) offer_next_directories_of_walk(root, flags);
    for (size_t i = 0; i < directory_plan.count; ++i) {
        convert_file(held, directory_plan.files[i], directory_job(i));
    }
    end_directory_jobs();
    visit_subdirectories(held, dir, root, flags, path);
    depth--;
}

DirectoryHandle* walk_tree(const char* root, int flags)
{
    char pattern[PATH_CAPACITY];
    DirectoryHandle* held = enter_directory(nullptr, nullptr, root, pattern);
    if (held != nullptr) walk_directory(held, nullptr, root, root, flags, pattern);
    cancel_directory_ahead(nullptr);
    return held;
}
