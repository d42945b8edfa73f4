// The directory walk: in each directory, list the files into the
// directory's plan, convert them, then visit the subdirectories one after
// another, depth first. The walk holds every directory from the root down
// to the one it works in, and enters a subdirectory only through its
// parent, never through a link, and only if it is the directory it listed.
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

static const char SEPARATOR[2] = {PATH_SEPARATOR, '\0'};
static const char ALL_ENTRIES[] = "*.*";

// The plan of the directory whose files are being converted. One serves the
// whole walk: a directory's files are all converted before the walk
// descends. Never destroyed: decoding threads may still read its names
// while the process ends on a fatal error.
static DirectoryPlan& directory_plan = *new DirectoryPlan{};

// Each directory from the root down to the one the walk works in, with the
// subdirectories its file listing saw: from them the walk tells the
// decoding threads which directory it will enter next.
struct Level {
    const DirectoryHandle* held;
    std::string path;
    std::vector<DirectoryEntry> subdirectories;
    size_t walking;  // the one being walked, or NOT_LISTED
};
constexpr size_t NOT_LISTED = SIZE_MAX;
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

// A listing must end because it is complete: one that broke off would
// leave files unconverted while the run goes on to write the marker.
static void check_listing_end()
{
    if (last_error() == ERROR_CODE_NO_MORE_FILES) return;
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
// first subdirectory, else the next one after the directory (or after one
// above it) in its parent's file listing. Offered to the decoding threads.
static void offer_next_directory_of_walk(const char* root, int flags)
{
    for (size_t i = depth; i-- > 0;) {
        const Level& level = levels[i];
        const size_t at = i + 1 == depth ? 0 : level.walking == NOT_LISTED ? NOT_LISTED : level.walking + 1;
        if (at == NOT_LISTED) return;  // the listings disagree: no guess
        if (at >= level.subdirectories.size()) continue;
        const DirectoryEntry& next = level.subdirectories[at];
        char path[PATH_CAPACITY];
        char pattern[PATH_CAPACITY];
        // A path too long is the walk's to report when it gets there.
        if (join_path(path, level.path.c_str(), SEPARATOR, next.name) &&
            join_path(pattern, path, SEPARATOR, ALL_ENTRIES)) {
            offer_next_directory(level.held, path, &next, pattern, root, flags);
        }
        return;
    }
}

// The position of `entry` in the file listing's subdirectories, looked for
// after `after` first (the listings run in the same order).
static size_t listed_position(const Level& level, const DirectoryEntry& entry, size_t after)
{
    const size_t count = level.subdirectories.size();
    const size_t start = after == NOT_LISTED ? 0 : after + 1;
    for (size_t k = 0; k < count; ++k) {
        const size_t i = (start + k) % count;
        if (strcmp(level.subdirectories[i].name, entry.name) == 0) return i;
    }
    return NOT_LISTED;
}

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
    // By index: the walk below may move the records.
    const size_t at = depth - 1;
    do {
        if (!is_listed_subdirectory(entry)) continue;
        levels[at].walking = listed_position(levels[at], entry, levels[at].walking);
        join_path_or_die(path, dir, SEPARATOR, entry.name);
        char pattern[PATH_CAPACITY];
        DirectoryHandle* subdirectory = enter_directory(held, &entry, path, pattern);
        if (subdirectory == nullptr) continue;
        walk_directory(subdirectory, &entry, path, root, flags, pattern);
        cancel_directory_ahead(subdirectory);
        close_directory_after_deletions_or_die(subdirectory, depth);
    } while (find_next_file(listing, &entry));
    check_listing_end();
    find_close(listing);
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
    level.walking = NOT_LISTED;
    // The whole list is taken before the first conversion, so the names the
    // conversions create in this directory are never visited.
    const bool ahead = reads_ahead();
    list_files(held, dir, path, root, flags, &directory_plan, ahead ? &level.subdirectories : nullptr);
    adopt_or_offer_directory_jobs(held, entry, dir, &directory_plan);
    start_directory_deletions(directory_plan.count);
    if (ahead) offer_next_directory_of_walk(root, flags);
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
