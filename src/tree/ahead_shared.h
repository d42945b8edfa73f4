// What the walk and the decoding threads share about the work ahead: the
// jobs (each a file decoded ahead of the walk), the directories the walk
// will enter next, and the one lock that guards them. Internal to the decoding
// ahead (ahead.cc, ahead_jobs.cc, directory_ahead.cc); the walk knows only
// ahead.h.
//
// A function whose name ends in `_locked` is called with the lock held and
// returns with it held; where it waits, it takes the caller's unique_lock.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "plan.h"
#include "platform.h"

struct OutputQueue;
struct QueueWriter;

// Where a job is.
constexpr int JOB_WAITING = 0;  // for a thread, or the walk, to run it
constexpr int JOB_RUNNING = 1;
constexpr int JOB_DONE = 2;     // nobody holds a descriptor of its file any more

// A signature not read yet; otherwise what read_gzip_signature found.
constexpr int SIGNATURE_UNKNOWN = 100;

// Whether the job decodes its file.
constexpr int DECODE_NOT_YET = 0;
constexpr int DECODE_STARTED = 1;
constexpr int DECODE_NOT_STARTED = 2;  // and never will: the walk decodes it

// One file decoded ahead of the walk. The first three fields are set when
// the job is made and never change; the others are read and written under
// Ahead::lock.
struct AheadJob {
    const DirectoryHandle* dir;  // held by the walk until the job is done
    const char* input_name;      // the file as listed (for a restore, before its rename)
    bool restore;                // its signature decides whether it is decoded
    int state;
    int signature;
    int decode;
    bool hurried;         // the walk waits for the job to let go of the file
    OutputQueue* queue;   // the decoded windows, once decoding started
    FileStatus input;     // what fstat said of the compressed file
    int result;           // the decoder's, once done
    int64_t mtime;
    bool gave_up;         // its queue ran out of room or memory
    bool walk_passed;     // too large for the budget the walk found free
    bool cancelled;       // of a directory read ahead in vain: its writes fail
};

// A directory the walk will enter soon, as a thread lists and plans it
// ahead of the walk.
constexpr int NEXT_NONE = 0;     // a free record
constexpr int NEXT_OFFERED = 1;  // for a thread (or the walk) to list
constexpr int NEXT_LISTING = 2;
constexpr int NEXT_READY = 3;    // listed and planned; its jobs are offered
constexpr int NEXT_FAILED = 4;   // it could not be listed here: the walk will say why

struct NextDirectory {
    int state = NEXT_NONE;
    // What the walk offered: where the directory is, as its parent's listing
    // showed it, and how to plan it.
    const DirectoryHandle* parent = nullptr;
    std::string path;
    std::string pattern;
    DirectoryEntry entry{};
    const char* root = nullptr;
    int flags = 0;
    // What the thread made of it: its own hold on the directory (the jobs
    // read through it), the plan the jobs take their names from, the
    // subdirectories its listing showed, the jobs.
    DirectoryHandle* held = nullptr;
    DirectoryPlan plan;
    std::vector<DirectoryEntry> subdirectories;
    std::vector<AheadJob*> jobs;  // by file index
};

// Directories listed ahead of the walk at most: the walk's next ones among
// the subdirectories of one directory, each listed once those before it
// are known to have no subdirectories of their own.
constexpr size_t DIRECTORIES_AHEAD = 4;

// Everything below is guarded by `lock`; `changed` is notified whenever a
// job or a directory ahead moves on.
struct Ahead {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<AheadJob*> jobs;  // of the directory being converted, by file index
    size_t next = 0;              // no job before it is waiting for a thread
    // The records: those of `upcoming`, the one the walk's directory
    // adopted (its hold and plan serve its jobs), and free ones.
    NextDirectory directories[DIRECTORIES_AHEAD + 1];
    // The directories the walk will enter next, in its order, all listed in
    // one parent.
    std::deque<NextDirectory*> upcoming;
    NextDirectory* adopted = nullptr;
};

// Null without decoding threads. Never destroyed: threads may still wait on
// it while the process ends on a fatal error.
extern Ahead* ahead;

// ahead_jobs.cc: the jobs' life cycle and the decoding threads.

// A job for the plan's `file` of the held directory `dir`, waiting.
AheadJob* new_job(const DirectoryHandle* dir, const FilePlan& file);
// The jobs of the plan's files from `from` on that may be read ahead, by
// file index (null for the others).
std::vector<AheadJob*> new_jobs(const DirectoryHandle* dir, const DirectoryPlan& plan, size_t from);
// Claims `job` for the walk if no one has started it: the walk then
// converts the file all by itself.
void claim_for_walk_locked(AheadJob* job);
// Waits until no one works on a job of `jobs` (those still waiting are
// given up; with `cancel`, those running are made to fail their writes),
// then frees them all and empties `jobs`.
void finish_jobs_locked(std::unique_lock<std::mutex>& guard, std::vector<AheadJob*>& jobs, bool cancel);
// The walk, about to wait for `awaited`, does work no one has started
// instead: it decodes the next waiting job into memory (writing `writer`'s
// windows between its own, when not null), or lists a directory ahead.
// Returns false when `awaited` is done, there was nothing to do, or the
// walk passed a job by: the walk then waits.
bool work_while_waiting(const AheadJob* awaited, QueueWriter* writer);
// A decoding thread's loop; it never returns.
void decoding_thread();

// directory_ahead.cc: the directories the walk will enter next.

// Lists and plans an offered directory ahead, claimed (NEXT_LISTING) by the
// caller, and offers its jobs.
void list_next_directory(NextDirectory* next);
// When the threads' work on a directory ahead is of the directory `path`
// the walk enters, as its parent's listing showed it (`entry`), makes its
// plan, subdirectories and jobs the walk's, drops the work on those before
// it, and returns true. Otherwise drops that work (waiting for a listing
// under way) and returns false.
bool adopt_next_directory_locked(std::unique_lock<std::mutex>& guard, const DirectoryEntry* entry, const char* path,
                                 DirectoryPlan* plan, std::vector<DirectoryEntry>* subdirectories);
// Withdraws `record` if still on offer; otherwise waits for a thread's
// listing of it under way, then releases its hold and jobs (with `cancel`,
// running jobs fail their writes), letting the lock go meanwhile. The walk
// may offer it again afterwards.
void release_directory_locked(std::unique_lock<std::mutex>& guard, NextDirectory* record, bool cancel);
