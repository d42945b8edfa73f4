// Decoding ahead: threads besides the walk's open, read and decode the files
// the walk is about to reach, into memory, so that when it gets there the
// walk mostly writes. A job only ever reads its file; the walk's thread
// alone changes the tree or prints, in the order it always has, and every
// outcome is the one decoding on the walk's own thread would give.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

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

// Starts the walk's directory `path` (entered as its parent listed it in
// `entry`, null for the root): where a thread listed and planned that very
// directory ahead, makes its plan and its subdirectories the walk's, in
// `plan` and `subdirectories`, and its jobs, begun already, and returns
// true. Otherwise drops that work and returns false: the walk lists the
// directory itself. The jobs use the plan until end_directory_jobs
// returns; it may not change before that.
bool adopt_directory_ahead(const DirectoryEntry* entry, const char* path, DirectoryPlan* plan,
                           std::vector<DirectoryEntry>* subdirectories);
// Offers the files of the walk's directory, the held directory `dir`
// planned as `plan` by the walk, to the decoding threads, in plan order,
// after marking those that may be read ahead (plan_read_ahead). The jobs
// use `dir` and `plan` until end_directory_jobs returns; neither may change
// before that.
void offer_directory_jobs(const DirectoryHandle* dir, DirectoryPlan* plan);
// Offers the directories the walk expects to enter next, in its order, to
// the decoding threads: the `count` subdirectories `entries` listed in the
// held directory `parent`, whose path is `parent_path`; `root` and `flags`
// as the walk plans. Once the jobs of the walk's directory have run out, a
// thread lists and plans the first of them, and decodes its files; the
// next once those before it proved to have no subdirectories. What was
// offered before and is offered again stays, with the work done on it; the
// rest is dropped. Call after the walk's directory is planned; the walk
// settles each when it enters it (adopt_directory_ahead).
void offer_next_directories(const DirectoryHandle* parent, const char* parent_path, const DirectoryEntry* entries,
                            size_t count, const char* root, int flags);
// The hold a decoding thread took on the directory `path` when it listed it
// ahead through the held directory `parent`, if the walk's listing of
// `parent` shows the same directory there now (`entry`'s device and inode):
// the walk then enters it through that hold instead of opening it again,
// and closes it as its own. Null otherwise. May wait for the listing.
DirectoryHandle* take_directory_ahead(const DirectoryHandle* parent, const char* path, const DirectoryEntry* entry);
// Cancels the work on the directories ahead when they were offered through
// `closing`, which the walk is about to close (every offer, with null):
// waits for a listing under way, makes running jobs fail and frees them.
void cancel_directory_ahead(const DirectoryHandle* closing);
// The job of the plan's file `index`, or null when the walk converts that
// file all by itself.
AheadJob* directory_job(size_t index);
// Waits until no thread works on a job of the directory, then releases them.
void end_directory_jobs();

// The walk's side of one job; each call may wait for the job's thread. The
// first three claim the job for the walk if no thread has started it, so
// that no thread will: the walk then converts the file itself.
// Stores whether the file starts with the gzip signature; false when the
// job could not read it (the walk then looks itself).
bool claim_job_signature(AheadJob* job, bool* gzip);
// Returns once no thread holds a descriptor of the job's file: it may be
// renamed or deleted everywhere then. The walk does work no one has started
// while it waits.
void release_job_file(AheadJob* job);
// True when a thread decodes the file, so the walk writes what it delivers
// (write_job_output); stores what fstat said of the compressed file. False
// when the walk must decode the file itself (the job could not open it, or
// gave up).
bool claim_job_decoding(AheadJob* job, FileStatus* input);
// Writes the job's decoded windows to `output` as they come, doing work no
// one has started while it waits for them. Returns the decoder's verdict: 0
// when the file decoded completely and every window reached the output, -1
// otherwise.
int write_job_output(AheadJob* job, int output);
// Waits until the job is done; then the header's time.
int64_t job_mtime(AheadJob* job);
