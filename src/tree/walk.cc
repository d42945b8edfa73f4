// The directory walk: in each directory, list the files, convert them, then
// visit the subdirectories one after another, depth first. Also owns the
// file table, the tool's single fatal-error path and bounded path joining.
#include "tree.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ahead.h"
#include "platform.h"

char file_table[MAX_FILES_PER_DIRECTORY][PATH_CAPACITY];

static const char SEPARATOR[2] = {PATH_SEPARATOR, '\0'};
static const char ALL_ENTRIES[] = "*.*";

void fatal_error(const char* format, ...)
{
    // Progress already printed must come out before the error, in order.
    fflush(stdout);
    va_list arguments;
    va_start(arguments, format);
    fputs("\nerror: ", stdout);
    vprintf(format, arguments);
    fputs("\n", stdout);
    va_end(arguments);
    fflush(stdout);
    exit(2);
}

void join_path_or_die(char* out, const char* head, const char* middle, const char* tail)
{
    const size_t head_length = strlen(head);
    const size_t middle_length = strlen(middle);
    const size_t tail_length = strlen(tail);
    if (head_length + middle_length + tail_length >= PATH_CAPACITY) {
        fatal_error("path too long %s", head);
    }
    memcpy(out, head, head_length);
    memcpy(out + head_length, middle, middle_length);
    memcpy(out + head_length + middle_length, tail, tail_length + 1);
}

// A listing that could not be started is an empty directory when the
// directory or its path is missing; anything else ends the run.
static void check_listing_error()
{
    const uint32_t code = last_error();
    if (code == ERROR_CODE_FILE_NOT_FOUND || code == ERROR_CODE_PATH_NOT_FOUND) return;
    fflush(stdout);
    printf("unexpected error\n");
    fflush(stdout);
    exit(2);
}

// A listing must end because it is complete: one that broke off would
// leave files unconverted while the run goes on to write the marker.
static void check_listing_end()
{
    if (last_error() == ERROR_CODE_NO_MORE_FILES) return;
    fflush(stdout);
    printf("unexpected error\n");
    fflush(stdout);
    exit(2);
}

static bool is_hidden(const DirectoryEntry& entry)
{
    return entry.name[0] == '.';
}

// Fills file_table with the names of the files of `dir` and returns their
// count. `path` holds the search pattern on entry and is then scratch. Every
// limit is checked here, so a directory that breaks one ends the run before
// any of its files is touched.
static size_t list_files(const char* dir, char* path)
{
    DirectoryEntry entry;
    DirectoryListing* listing = find_first_file(path, &entry);
    if (listing == nullptr) {
        check_listing_error();
        return 0;
    }
    size_t count = 0;
    do {
        if (is_hidden(entry) || (entry.attributes & ATTRIBUTE_DIRECTORY) != 0) continue;
        if (count == MAX_FILES_PER_DIRECTORY) fatal_error("too many files in %s", dir);
        join_path_or_die(path, dir, SEPARATOR, entry.name);
        strcpy(file_table[count], entry.name);
        ++count;
    } while (find_next_file(listing, &entry));
    check_listing_end();
    find_close(listing);
    return count;
}

// Walks each subdirectory of `dir`. The listing passes over links to
// directories, so the walk never leaves the tree or loops.
static void visit_subdirectories(const char* dir, const char* root, int flags, char* path)
{
    join_path_or_die(path, dir, SEPARATOR, ALL_ENTRIES);
    DirectoryEntry entry;
    DirectoryListing* listing = find_first_file(path, &entry);
    if (listing == nullptr) {
        check_listing_error();
        return;
    }
    do {
        if (is_hidden(entry) || (entry.attributes & ATTRIBUTE_DIRECTORY) == 0) continue;
        join_path_or_die(path, dir, SEPARATOR, entry.name);
        walk_directory(path, root, flags);
    } while (find_next_file(listing, &entry));
    check_listing_end();
    find_close(listing);
}

int walk_directory(const char* dir, const char* root, int flags)
{
    // One buffer per level: the search pattern, then each path built in it.
    char path[PATH_CAPACITY];
    join_path_or_die(path, dir, SEPARATOR, ALL_ENTRIES);
    printf("\n%s", dir);
    // The whole list is taken before the first conversion, so the names the
    // conversions create in this directory are never visited.
    const size_t file_count = list_files(dir, path);
    plan_directory_jobs(dir, root, flags, file_count);
    for (size_t i = 0; i < file_count; ++i) {
        join_path_or_die(path, dir, SEPARATOR, file_table[i]);
        convert_file(path, root, flags, directory_job(i));
    }
    end_directory_jobs();
    visit_subdirectories(dir, root, flags, path);
    return 0;
}
