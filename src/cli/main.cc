// The command-line front end: checks the arguments, converts the whole tree
// below the named directory, and records a complete run in the marker file
// "filesok.orv" there. Exit status 0 after a complete run, 2 otherwise.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ahead.h"
#include "banner.h"
#include "build_date.h"
#include "deletions.h"
#include "fatal.h"
#include "platform.h"
#include "tree.h"

static const char SEPARATOR[2] = {PATH_SEPARATOR, '\0'};
constexpr int MAX_THREADS = 16;
static const char MARKER_NAME[] = "filesok.orv";
static const char MARKER_TEXT[] = "files converted o.k.\n";
constexpr uint32_t MARKER_LENGTH = sizeof MARKER_TEXT - 1;
constexpr int MARKER_MODE = 0666;

static void print_usage()
{
    puts("\nUsage: kavrelt [OPTION]... DIRECTORY");
    puts("kavrelt converts ORVANTE files from DVD:");
    puts("It restores stripped .gz extensions and extracts files from archives.\n");
    puts("The following additional OPTIONs are available:");
    puts("  -u   rename uppercase filenames to lowercase filenames");
    puts("  -c   convert line endings of textfiles to lf only (!cr will be removed!)\n");
}

// True when `argument` is '-' followed by exactly `letters` letters, each
// 'u' or 'c'; adds their flags to *flags.
static bool parse_option(const char* argument, size_t letters, int* flags)
{
    if (argument[0] != '-' || strlen(argument) != letters + 1) return false;
    int found = 0;
    for (size_t i = 1; i <= letters; ++i) {
        if (argument[i] == 'u') found |= FLAG_LOWERCASE;
        else if (argument[i] == 'c') found |= FLAG_TEXT_EOL;
        else return false;
    }
    *flags |= found;
    return true;
}

// Returns the option flags and stores the directory argument, or returns 0
// for a command line that is not accepted. Options come only before the
// directory, which is always the last argument.
static int parse_command_line(int argc, char** argv, const char** directory)
{
    if (argc < 2 || argc > 4) return 0;
    const char* last = argv[argc - 1];
    // An empty argument, say an unset shell variable, would name the root of
    // the file system and convert files far outside any disc copy.
    if (last[0] == '-' || last[0] == '\0') return 0;
    int flags = 0;
    if (argc == 3 && !parse_option(argv[1], 1, &flags) && !parse_option(argv[1], 2, &flags)) return 0;
    if (argc == 4 && !(parse_option(argv[1], 1, &flags) && parse_option(argv[2], 1, &flags))) return 0;
    *directory = last;
    return flags == 0 ? FLAG_PLAIN : flags;
}

// Threads for the run: the processors the process may use, at most
// MAX_THREADS, unless KAVRELT_THREADS names a count from 1 to MAX_THREADS
// (1: everything on one thread, as a single-threaded build would do it).
static int thread_count()
{
    const char* setting = getenv("KAVRELT_THREADS");
    if (setting != nullptr && *setting != '\0') {
        char* end = nullptr;
        const long wanted = strtol(setting, &end, 10);
        if (*end == '\0' && wanted >= 1) return wanted < MAX_THREADS ? static_cast<int>(wanted) : MAX_THREADS;
    }
    const int processors = platform_cpu_count();
    return processors < MAX_THREADS ? processors : MAX_THREADS;
}

// Writes the marker into the held root, which is null when the root is
// missing; all of its bytes must reach the disk. Ends the run on failure.
static void write_marker_or_die(const DirectoryHandle* root, const char* marker_path)
{
    const int fd = root != nullptr ? platform_open(root, marker_path, OPEN_CREATE_BINARY, MARKER_MODE) : -1;
    if (fd < 0) fatal_error("could not open %s", marker_path);
    const int written = platform_write(fd, MARKER_TEXT, MARKER_LENGTH);
    const int flushed = platform_flush_output(root, fd);
    // A failed close or sync may mean the bytes never reached the disk.
    const int closed = platform_close(fd);
    if (written != static_cast<int>(MARKER_LENGTH) || flushed != 0 || closed != 0 ||
        platform_sync(root) != 0) {
        // Part of a marker would still claim a complete run.
        platform_unlink(root, marker_path);
        fatal_error("could not write %s", marker_path);
    }
}

int main(int argc, char** argv)
{
    printf("\n%s%s)\n", BANNER_START, KAVRELT_BUILD_DATE);
    const char* directory = nullptr;
    const int flags = parse_command_line(argc, argv, &directory);
    if (flags == 0) {
        print_usage();
        return 2;
    }
    // Built before the walk: a directory too long to hold the marker fails
    // before any file is converted, not after the whole tree was.
    char marker_path[PATH_CAPACITY];
    join_path_or_die(marker_path, directory, SEPARATOR, MARKER_NAME);
    start_decoding_threads(thread_count());
    DirectoryHandle* const root = walk_tree(directory, flags);
    // The marker stands only over a tree whose outputs are all on disk.
    finish_deletions_or_die();
    write_marker_or_die(root, marker_path);
    if (root != nullptr) close_directory(root);
    printf("\n\n");
    return 0;
}
