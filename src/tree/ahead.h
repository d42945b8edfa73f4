// Decoding ahead: threads besides the walk's open, read and decode the files
// the walk is about to reach, into memory, so that when it gets there the
// walk mostly writes. A job only ever reads its file; the walk's thread
// alone changes the tree or prints, in the order it always has, and every
// outcome is the one decoding on the walk's own thread would give.
#pragma once

#include <cstddef>
#include <cstdint>

struct AheadJob;  // one file decoded ahead; owned by this module
struct DirectoryEntry;
struct DirectoryHandle;
struct DirectoryPlan;
struct FileStatus;

// Decoded data the jobs of a run may hold in memory before the walk writes
// it. The test build kavrelt_faulty sets a small one, so that its test trees
// outgrow it as large files outgrow the real one.
#ifndef KAVRELT_AHEAD_BUDGET_BYTES
#define KAVRELT_AHEAD_BUDGET_BYTES (64u << 20)
#endif
constexpr uint64_t AHEAD_BUDGET_BYTES = KAVRELT_AHEAD_BUDGET_BYTES;

// Starts `threads` - 1 decoding threads; with 1 or fewer there are none,
// and every directory_job is null. Call once, before the walk.
void start_decoding_threads(int threads);

// Whether decoding threads run: without them nothing is read ahead, and the
// walk need not work out where it goes next.
bool reads_ahead();

// Marks the files of `plan` that may be read ahead (plan_read_ahead) and
// offers them, files of the held directory `dir` (the directory `path`,
// entered as its parent listed it in `entry`, null for the root), to the
// decoding threads, in plan order. Where a thread listed and planned this
// directory ahead and found the same plan, its jobs, begun already, are the
// directory's; otherwise that work is dropped. The jobs use `dir` and `plan`
// until end_directory_jobs returns; neither may change before that.
void plan_directory_jobs(const DirectoryHandle* dir, const DirectoryEntry* entry, const char* path,
                         DirectoryPlan* plan);
// Offers the directory the walk expects to enter next to the decoding
// threads: `path`, listed in the held directory `parent` as `entry`,
// listed with `pattern`; `root` and `flags` as the walk plans. Once the
// jobs of the walk's directory have run out, a thread lists and plans it,
// and decodes its files. Call after plan_directory_jobs; the next one
// settles it.
void offer_next_directory(const DirectoryHandle* parent, const char* path, const DirectoryEntry* entry,
                          const char* pattern, const char* root, int flags);
// The hold a decoding thread took on the directory `path` when it listed it
// ahead through the held directory `parent`, if the walk's listing of
// `parent` shows the same directory there now (`entry`'s device and inode):
// the walk then enters it through that hold instead of opening it again,
// and closes it as its own. Null otherwise.
DirectoryHandle* take_directory_ahead(const DirectoryHandle* parent, const char* path, const DirectoryEntry* entry);
// Drops the work on the next directory when it was offered through
// `closing`, which the walk is about to close (every offer, with null).
void forget_directory(const DirectoryHandle* closing);
// The job of the plan's file `index`, or null when the walk converts that
// file all by itself.
AheadJob* directory_job(size_t index);
// Waits until no thread works on a job of the directory, then releases them.
void end_directory_jobs();

// The walk's side of one job; each call may wait for the job's thread.
// Stores whether the file starts with the gzip signature; false when the
// job could not read it (the walk then looks itself).
bool job_signature(AheadJob* job, bool* gzip);
// Returns once the job's thread holds no descriptor of the file: it may be
// renamed or deleted everywhere then.
void job_wait_released(AheadJob* job);
// True when the job decodes the file, so the walk writes what it delivers
// (job_write_decoded); stores what fstat said of the compressed file. False
// when the walk must decode the file itself (the job could not open it, or
// gave up).
bool job_decoding(AheadJob* job, FileStatus* input);
// Writes the job's decoded windows to `output` as they come. Returns the
// decoder's verdict: 0 when the file decoded completely and every window
// reached the output, -1 otherwise.
int job_write_decoded(AheadJob* job, int output);
// Once the job is done: the header's time.
int64_t job_mtime(AheadJob* job);
