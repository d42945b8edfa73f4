// Conversion of one file found by the walk: gives gzip-compressed ".hlp" and
// ".tar" files back the ".gz" suffix that was stripped from them, decodes
// every ".gz" file into its name without the suffix, gives the output the
// compressed file's owner and the header's time, and deletes the compressed
// file only once the output is on stable storage. Every call is made on the
// directory the walk holds.
#include "convert.h"

#include <cstdint>
#include <cstdio>

#include "ahead.h"
#include "deletions.h"
#include "fatal.h"
#include "gzip_decoder.h"
#include "plan.h"
#include "platform.h"
#include "tree.h"

// True when the file starts with the gzip signature; ends the run when it
// cannot be opened or read.
static bool has_gzip_signature_or_die(const DirectoryHandle* dir, const char* name)
{
    const int found = read_gzip_signature(dir, name);
    if (found == SIGNATURE_UNOPENED) fatal_error("could not open %s", name);
    if (found == SIGNATURE_UNREAD) fatal_error("could not read %s", name);
    return found == SIGNATURE_GZIP;
}

// Renames the file found as file.path (and opened as file.work_name) to
// created_name + ".gz", stored in `work_name`. The rename never replaces an
// existing file. Ends the run when it fails.
static void restore_suffix_or_die(const DirectoryHandle* dir, const FilePlan& file, char* work_name)
{
    join_path_or_die(work_name, file.created_name.c_str(), ".gz", "");
    if (platform_rename(dir, file.work_name.c_str(), work_name) != 0) {
        fatal_error("could not rename %s to %s", file.path.c_str(), work_name);
    }
    printf("\n  renamed %s to %s", file.work_name.c_str(), work_name);
}

// Opens the output for `input`'s data, with its owner and permission bits.
// Ends the run when it cannot be opened.
static int open_output_or_die(const DirectoryHandle* dir, const char* output_name, const FileStatus& input)
{
    const int output = platform_open(dir, output_name, OPEN_CREATE_BINARY, input.mode);
    if (output < 0) fatal_error("could not open %s", output_name);
    platform_give_owner(dir, output, input);
    return output;
}

// Flushes the output where that makes it durable, and closes it. A file
// system may report a failed write only then; the compressed file must then
// stay.
static void close_output_or_die(const DirectoryHandle* dir, int output, const char* output_name)
{
    const int flushed = platform_flush_output(dir, output);
    if (platform_close(output) != 0 || flushed != 0) fatal_error("could not write %s", output_name);
}

// Decodes work_name into output_name, then stamps it and has the compressed
// file deleted once the output is durable. A failed decode leaves it in
// place for the next run. With a job, a decoding thread has opened, read
// and decoded the file already (or is still at it); the outcome is the same
// as decoding it here. Ends the run on any failure.
static void decompress_or_die(const DirectoryHandle* dir, const char* work_name, const char* output_name,
                              AheadJob* job)
{
    printf("\n  unzipping %s to %s ...", work_name, output_name);
    // A long file takes a while: show which one before the work starts.
    fflush(stdout);
    FileStatus input_status{};
    int64_t mtime = 0;
    if (job != nullptr && claim_job_decoding(job, &input_status)) {
        const int output = open_output_or_die(dir, output_name, input_status);
        if (write_job_output(job, output) != 0) fatal_error("could not unzip %s", work_name);
        close_output_or_die(dir, output, output_name);
        mtime = job_mtime(job);
    } else {
        const int input = platform_open(dir, work_name, OPEN_READ_BINARY, 0);
        if (input < 0) fatal_error("could not open %s", work_name);
        if (platform_fstat(input, &input_status) != 0) fatal_error("could not stat %s", work_name);
        const int output = open_output_or_die(dir, output_name, input_status);
        if (unzip_stream(input, output) != 0) fatal_error("could not unzip %s", work_name);
        close_output_or_die(dir, output, output_name);
        platform_close(input);
        mtime = member_mtime();
    }
    // An output without its time is no reason to stop, nor (later) a
    // compressed file that cannot be deleted.
    if (mtime != 0) platform_utime(dir, output_name, mtime);
    delete_when_durable_or_die(dir, work_name, output_name, input_status);
    printf(" done.");
}

// Before a name is touched, the deletion of a file of that name must be
// done: converting a.gz queues its deletion, and a.gz.gz then creates a.gz.
static void delete_queued_of_names_or_die(const FilePlan& file)
{
    delete_queued_named_or_die(file.work_name.c_str());
    delete_queued_named_or_die(file.created_name.c_str());
    if (file.action == CONVERT_RESTORE) delete_queued_named_or_die(file.created_name.c_str(), ".gz");
}

void convert_file(const DirectoryHandle* dir, const FilePlan& file, AheadJob* job)
{
    if (file.action == CONVERT_NOTHING) return;
    delete_queued_of_names_or_die(file);
    if (file.action == CONVERT_DECOMPRESS) {
        decompress_or_die(dir, file.work_name.c_str(), file.created_name.c_str(), job);
        return;
    }
    bool gzip = false;
    if (job == nullptr || !claim_job_signature(job, &gzip)) gzip = has_gzip_signature_or_die(dir, file.work_name.c_str());
    if (!gzip) return;
    // A file held open elsewhere cannot be renamed on every system.
    if (job != nullptr) release_job_file(job);
    char work_name[PATH_CAPACITY];
    restore_suffix_or_die(dir, file, work_name);
    // The output takes the name the file had before ".gz" was added.
    decompress_or_die(dir, work_name, file.created_name.c_str(), job);
}
