// Conversion of one file found by the walk: gives gzip-compressed ".hlp" and
// ".tar" files back the ".gz" suffix that was stripped from them, decodes
// every ".gz" file into its name without the suffix, stamps the output with
// the header's time and only then deletes the compressed file.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "gzip_decoder.h"
#include "platform.h"
#include "tree.h"

// Gzip magic and the Deflate method code (RFC 1952, 2.3.1).
static const uint8_t GZIP_SIGNATURE[3] = {0x1F, 0x8B, 0x08};

// Length of the part of `path` that spells `root`: it is never lower-cased.
static size_t root_prefix_length(const char* path, const char* root)
{
    size_t i = 0;
    while (root[i] != '\0' && path[i] == root[i]) ++i;
    return i;
}

// The spelling of the names the run creates for `path`: with -u, lower case
// below the root. Where the file system ignores case, that spelling also
// reaches the existing file. Where it does not, only the file's own name is
// lower-cased, since the directories above it keep theirs.
static void build_created_name(const char* path, const char* root, int flags, char* out)
{
    join_path_or_die(out, path, "", "");
    if ((flags & FLAG_LOWERCASE) == 0) return;
    size_t from = root_prefix_length(path, root);
    if (!NAMES_IGNORE_CASE) {
        const char* last_separator = strrchr(path, PATH_SEPARATOR);
        if (last_separator != nullptr && static_cast<size_t>(last_separator - path) >= from) {
            from = static_cast<size_t>(last_separator - path) + 1;
        }
    }
    for (char* c = out + from; *c != '\0'; ++c) {
        if (*c >= 'A' && *c <= 'Z') *c = static_cast<char>(*c - 'A' + 'a');
    }
}

// Index of the '.' that starts the name's suffix, or -1 for none. The search
// runs backwards and stops only at '/' or at the first character.
static ptrdiff_t find_suffix(const char* name)
{
    ptrdiff_t i = static_cast<ptrdiff_t>(strlen(name)) - 1;
    while (i > 0 && name[i] != '.' && name[i] != '/') --i;
    if (i < 0 || name[i] != '.') return -1;
    return i;
}

// True when the file starts with the gzip signature; ends the run when it
// cannot be opened or read.
static bool has_gzip_signature(const char* name)
{
    const int fd = platform_open(name, OPEN_READ_BINARY, 0);
    if (fd < 0) fatal_error("could not open %s", name);
    uint8_t head[3];
    int count = 0;
    while (count < static_cast<int>(sizeof head)) {
        const int n = platform_read(fd, head + count, static_cast<uint32_t>(sizeof head) - count);
        if (n < 0) fatal_error("could not read %s", name);
        if (n == 0) break;
        count += n;
    }
    platform_close(fd);
    return count == 3 && memcmp(head, GZIP_SIGNATURE, sizeof head) == 0;
}

// Renames the file found as `path` (and opened as `work_name`) to
// created_name + ".gz", which becomes the new work_name. The rename never
// replaces an existing file.
static void restore_suffix(const char* path, char* work_name, const char* created_name)
{
    char saved_name[PATH_CAPACITY];
    strcpy(saved_name, work_name);
    join_path_or_die(work_name, created_name, ".gz", "");
    if (platform_rename(saved_name, work_name) != 0) {
        fatal_error("could not rename %s to %s", path, work_name);
    }
    printf("\n  renamed %s to %s", saved_name, work_name);
}

// Decodes work_name into output_name, then stamps and deletes. The
// compressed file is deleted only after its output is complete and closed;
// a failed decode leaves it in place for the next run.
static void decompress(const char* work_name, const char* output_name)
{
    printf("\n  unzipping %s to %s ...", work_name, output_name);
    // A long file takes a while: show which one before the work starts.
    fflush(stdout);
    const int input = platform_open(work_name, OPEN_READ_BINARY, 0);
    if (input < 0) fatal_error("could not open %s", work_name);
    int mode = 0;
    if (platform_fstat_mode(input, &mode) != 0) fatal_error("could not stat %s", work_name);
    const int output = platform_open(output_name, OPEN_CREATE_BINARY, mode);
    if (output < 0) fatal_error("could not open %s", output_name);
    if (unzip_stream(input, output) != 0) fatal_error("could not unzip %s", work_name);
    // A file system may report a failed write only when the file is closed;
    // the compressed file must then stay.
    if (platform_close(output) != 0) fatal_error("could not write %s", output_name);
    platform_close(input);
    const int64_t mtime = member_mtime();
    if (mtime != 0) platform_utime(output_name, mtime);
    platform_unlink(work_name);
    printf(" done.");
}

void convert_file(const char* path, const char* root, int flags)
{
    // work_name is the compressed file as it exists: opened, renamed and
    // deleted under it. created_name spells every name the run creates.
    char work_name[PATH_CAPACITY];
    char created_name[PATH_CAPACITY];
    build_created_name(path, root, flags, created_name);
    strcpy(work_name, NAMES_IGNORE_CASE ? created_name : path);

    const ptrdiff_t dot = find_suffix(created_name);
    if (dot < 0) return;
    const char* suffix = created_name + dot;
    if (strcmp(suffix, ".hlp") == 0 || strcmp(suffix, ".tar") == 0) {
        if (!has_gzip_signature(work_name)) return;
        restore_suffix(path, work_name, created_name);
        // The output takes the name the file had before ".gz" was added.
    } else if (strcmp(suffix, ".gz") == 0) {
        created_name[dot] = '\0';
    } else {
        return;
    }
    decompress(work_name, created_name);
}
