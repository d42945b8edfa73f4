// Conversion of one file found by the walk: gives gzip-compressed ".hlp" and
// ".tar" files back the ".gz" suffix that was stripped from them, decodes
// every ".gz" file into its name without the suffix, stamps the output with
// the header's time and only then deletes the compressed file.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "ahead.h"
#include "gzip_decoder.h"
#include "output_queue.h"
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

int read_gzip_signature(const char* name)
{
    const int fd = platform_open(name, OPEN_READ_BINARY, 0);
    if (fd < 0) return SIGNATURE_UNOPENED;
    uint8_t head[3];
    int count = 0;
    while (count < static_cast<int>(sizeof head)) {
        const int n = platform_read(fd, head + count, static_cast<uint32_t>(sizeof head) - count);
        if (n < 0) {
            platform_close(fd);
            return SIGNATURE_UNREAD;
        }
        if (n == 0) break;
        count += n;
    }
    platform_close(fd);
    return count == 3 && memcmp(head, GZIP_SIGNATURE, sizeof head) == 0 ? SIGNATURE_GZIP : SIGNATURE_OTHER;
}

// True when the file starts with the gzip signature; ends the run when it
// cannot be opened or read.
static bool has_gzip_signature(const char* name)
{
    const int found = read_gzip_signature(name);
    if (found == SIGNATURE_UNOPENED) fatal_error("could not open %s", name);
    if (found == SIGNATURE_UNREAD) fatal_error("could not read %s", name);
    return found == SIGNATURE_GZIP;
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

// Writes the windows a decoding thread queued for `job` to `output`, as they
// come. Returns the job's verdict: 0 when the file decoded completely and
// every window reached the output.
static int write_decoded(AheadJob* job, int output)
{
    OutputQueue* const queue = job_queue(job);
    output_queue_stream(queue);
    OutputChunk chunk;
    bool written = true;
    while (output_queue_take(queue, &chunk)) {
        written = platform_write(output, chunk.data, chunk.size) == static_cast<int>(chunk.size);
        output_queue_release(chunk);
        if (!written) {
            // A write that failed or fell short ends the file, as it ends
            // the decoder's own writing: nothing more reaches the output.
            output_queue_cancel(queue);
            break;
        }
    }
    const int result = job_result(job);
    return written ? result : -1;
}

// Decodes work_name into output_name, then stamps and deletes. The
// compressed file is deleted only after its output is complete and closed;
// a failed decode leaves it in place for the next run. With a job, a
// decoding thread has opened, read and decoded the file already (or is
// still at it); the outcome is the same as decoding it here.
static void decompress(const char* work_name, const char* output_name, AheadJob* job)
{
    printf("\n  unzipping %s to %s ...", work_name, output_name);
    // A long file takes a while: show which one before the work starts.
    fflush(stdout);
    int mode = 0;
    int64_t mtime = 0;
    if (job != nullptr && job_decoding(job, &mode)) {
        const int output = platform_open(output_name, OPEN_CREATE_BINARY, mode);
        if (output < 0) fatal_error("could not open %s", output_name);
        if (write_decoded(job, output) != 0) fatal_error("could not unzip %s", work_name);
        if (platform_close(output) != 0) fatal_error("could not write %s", output_name);
        mtime = job_mtime(job);
    } else {
        const int input = platform_open(work_name, OPEN_READ_BINARY, 0);
        if (input < 0) fatal_error("could not open %s", work_name);
        if (platform_fstat_mode(input, &mode) != 0) fatal_error("could not stat %s", work_name);
        const int output = platform_open(output_name, OPEN_CREATE_BINARY, mode);
        if (output < 0) fatal_error("could not open %s", output_name);
        if (unzip_stream(input, output) != 0) fatal_error("could not unzip %s", work_name);
        // A file system may report a failed write only when the file is closed;
        // the compressed file must then stay.
        if (platform_close(output) != 0) fatal_error("could not write %s", output_name);
        platform_close(input);
        mtime = member_mtime();
    }
    if (mtime != 0) platform_utime(output_name, mtime);
    platform_unlink(work_name);
    printf(" done.");
}

int plan_conversion(const char* path, const char* root, int flags, char* work_name, char* created_name)
{
    // work_name is the compressed file as it exists: opened, renamed and
    // deleted under it. created_name spells every name the run creates.
    build_created_name(path, root, flags, created_name);
    strcpy(work_name, NAMES_IGNORE_CASE ? created_name : path);

    const ptrdiff_t dot = find_suffix(created_name);
    if (dot < 0) return CONVERT_NOTHING;
    const char* suffix = created_name + dot;
    if (strcmp(suffix, ".hlp") == 0 || strcmp(suffix, ".tar") == 0) return CONVERT_RESTORE;
    if (strcmp(suffix, ".gz") == 0) {
        created_name[dot] = '\0';
        return CONVERT_DECOMPRESS;
    }
    return CONVERT_NOTHING;
}

void convert_file(const char* path, const char* root, int flags, AheadJob* job)
{
    char work_name[PATH_CAPACITY];
    char created_name[PATH_CAPACITY];
    const int action = plan_conversion(path, root, flags, work_name, created_name);
    if (action == CONVERT_NOTHING) return;
    if (action == CONVERT_RESTORE) {
        bool gzip = false;
        if (job == nullptr || !job_signature(job, &gzip)) gzip = has_gzip_signature(work_name);
        if (!gzip) return;
        // A file held open elsewhere cannot be renamed on every system.
        if (job != nullptr) job_wait_released(job);
        restore_suffix(path, work_name, created_name);
        // The output takes the name the file had before ".gz" was added.
    }
    decompress(work_name, created_name, job);
}
