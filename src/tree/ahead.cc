// The decoding threads and their jobs. The walk offers the files of one
// directory at a time; the threads take them in the walk's order and decode
// each into a queue in memory while the budget lasts. The walk then takes
// the results file by file. A job that cannot do exactly what the walk would
// (a file it cannot open, a ".hlp" too large to hold before its rename) is
// left to the walk, which then converts the file itself.
//
// The walk never idles while there is decoding to do: a file no thread has
// started when the walk gets there, it decodes itself, straight into its
// output; and while it waits for a thread (for the data of the file it
// writes, or for a ".hlp" to be released), it decodes the next file no
// thread has started into memory, writing the data it waits for between
// that file's windows. The walk frees the budget, so what it decodes ahead
// never waits for room: a job that finds none is given up, its data
// dropped, and the walk decodes that file again when it gets there.
#include "ahead.h"

#include <condition_variable>
#include <mutex>
#ifdef KAVRELT_AHEAD_COUNTS
#include <atomic>
#include <cstdio>
#include <cstdlib>
#endif
#include <string>
#include <thread>
#include <vector>

#include "gzip_decoder.h"
#include "output_queue.h"
#include "plan.h"
#include "platform.h"
#include "tree.h"

namespace {

constexpr int JOB_WAITING = 0;  // for a decoding thread
constexpr int JOB_RUNNING = 1;
constexpr int JOB_DONE = 2;     // its thread holds no descriptor any more

// Not yet read; otherwise what read_gzip_signature found.
constexpr int SIGNATURE_UNKNOWN = 100;

constexpr int DECODE_NOT_YET = 0;
constexpr int DECODE_STARTED = 1;
constexpr int DECODE_NOT_STARTED = 2;  // and never will

}  // namespace

struct AheadJob {
    const DirectoryHandle* dir;  // held by the walk until the job is released
    const char* input_name;      // the file as listed (for a restore, before its rename)
    bool restore;                // check the signature first
    // Guarded by Ahead::lock.
    int state;
    int signature;
    int decode;
    bool hurried;         // the walk waits for the job to release the file
    OutputQueue* queue;
    FileStatus input;     // what fstat said of the compressed file
    int result;
    int64_t mtime;
    bool gave_up;
    bool walk_passed;     // too large for the budget the walk found free
    bool cancelled;       // of a directory read ahead in vain: fail its writes
};

namespace {

// The directory the walk will enter next, as a decoding thread lists and
// plans it ahead of the walk, and the jobs of its files.
constexpr int NEXT_NONE = 0;     // nothing offered
constexpr int NEXT_OFFERED = 1;  // for a decoding thread to list
constexpr int NEXT_LISTING = 2;
constexpr int NEXT_READY = 3;    // listed and planned; its jobs are offered
constexpr int NEXT_FAILED = 4;   // it could not be listed here: the walk will say why

struct NextDirectory {
    int state = NEXT_NONE;
    // What the walk offered: where the directory is, as its parent's listing
    // showed it.
    const DirectoryHandle* parent = nullptr;
    std::string path;
    std::string pattern;
    DirectoryEntry entry{};
    const char* root = nullptr;
    int flags = 0;
    // What the thread made of it: its own hold on the directory (the jobs
    // read through it), the plan the jobs take their names from, the jobs.
    DirectoryHandle* held = nullptr;
    DirectoryPlan plan;
    std::vector<AheadJob*> jobs;  // by file index
};

// Never destroyed: decoding threads may still wait on it while the process
// ends on a fatal error.
struct Ahead {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<AheadJob*> jobs;  // of the directory being converted, by file index
    size_t next = 0;              // no job before it is waiting
    // Two records take turns: one the walk's directory adopted (its hold
    // and plan serve its jobs), the other the next directory.
    NextDirectory directories[2];
    NextDirectory* next_directory = &directories[0];
    NextDirectory* adopted = nullptr;
};

Ahead* ahead = nullptr;

// The test build counts which ways of working ahead a run took, so that its
// tests can show they reach every one; KAVRELT_AHEAD_REPORT names the file
// the counts are added to when the process ends.
#ifdef KAVRELT_AHEAD_COUNTS
enum AheadPath {
    CLAIMED, WALK_DECODED, WALK_GAVE_UP, WALK_PASSED, WALK_LISTED, ADOPTED, DROPPED, LIST_FAILED, HOLD_TAKEN, PATH_COUNT
};
const char* const PATH_NAMES[PATH_COUNT] = {"claimed", "walk_decoded", "walk_gave_up", "walk_passed", "walk_listed",
                                            "adopted", "dropped", "list_failed", "hold_taken"};
std::atomic<uint64_t> path_counts[PATH_COUNT];

void write_path_counts()
{
    const char* report = getenv("KAVRELT_AHEAD_REPORT");
    FILE* out = report != nullptr ? fopen(report, "a") : nullptr;
    if (out == nullptr) return;
    for (int i = 0; i < PATH_COUNT; ++i) fprintf(out, "%s %llu\n", PATH_NAMES[i], static_cast<unsigned long long>(path_counts[i].load()));
    fclose(out);
}

void count_path(AheadPath path)
{
    path_counts[path]++;
}
#define COUNT_PATH(path) count_path(path)
#else
#define COUNT_PATH(path) \
    do {                 \
    } while (false)
#endif

// Hands the decoder's windows to the job's queue.
int write_to_queue(void* queue, const uint8_t* data, uint32_t count)
{
    return output_queue_write(static_cast<OutputQueue*>(queue), data, count);
}

void finish_job(AheadJob* job, int decode)
{
    {
        const std::lock_guard<std::mutex> guard(ahead->lock);
        if (job->decode == DECODE_NOT_YET) job->decode = decode;
        job->state = JOB_DONE;
    }
    ahead->changed.notify_all();
}

// The file the walk writes while it decodes ahead, whose windows it writes
// out between the windows it decodes.
struct WalkWriter {
    OutputQueue* queue;
    int output;
    bool ended;   // every window of the queue was written
    bool failed;  // a write failed or fell short: nothing more is written
};

// Writes the windows `writer` has ready, in one call per batch. Never waits.
void write_ready_windows(WalkWriter* writer)
{
    if (writer->ended || writer->failed) return;
    WriteBuffer buffers[WRITE_BUFFERS_MOST];
    OutputChunk chunks[WRITE_BUFFERS_MOST];
    for (;;) {
        int count = 0;
        uint64_t asked = 0;
        int taken = TAKE_NOT_YET;
        while (count < WRITE_BUFFERS_MOST && (taken = output_queue_poll(writer->queue, &chunks[count])) == TAKE_CHUNK) {
            buffers[count] = WriteBuffer{chunks[count].data, chunks[count].size};
            asked += chunks[count].size;
            count++;
        }
        if (count > 0) {
            const int64_t written = platform_write_gather(writer->output, buffers, count);
            for (int i = 0; i < count; ++i) output_queue_release(chunks[i]);
            if (written < 0 || static_cast<uint64_t>(written) != asked) {
                // A write that failed or fell short ends the file, as it ends
                // the decoder's own writing: nothing more reaches the output.
                writer->failed = true;
                output_queue_cancel(writer->queue);
                return;
            }
        }
        if (taken == TAKE_ENDED) writer->ended = true;
        if (taken != TAKE_CHUNK) return;
    }
}

// The walk's decoding ahead: the job's queue, and the file it writes
// meanwhile (null while it waits for a file's release).
struct WalkAhead {
    OutputQueue* queue;
    WalkWriter* writer;
};

int write_ahead_of_walk(void* context, const uint8_t* data, uint32_t count)
{
    WalkAhead& ahead_of_walk = *static_cast<WalkAhead*>(context);
    if (output_queue_write(ahead_of_walk.queue, data, count) < 0) return -1;
    if (ahead_of_walk.writer != nullptr) {
        write_ready_windows(ahead_of_walk.writer);
        // The run ends on that failure: this file is of no more use.
        if (ahead_of_walk.writer->failed) return -1;
    }
    return static_cast<int>(count);
}

// Runs `job` on a decoding thread, or, with `by_walk`, on the walk's thread
// while it waits (writing `writer`'s windows meanwhile). Returns false when
// the walk passed the job by: it stays waiting for a thread, or the walk.
bool run_job(AheadJob* job, bool by_walk, WalkWriter* writer)
{
    if (job->restore && job->signature == SIGNATURE_UNKNOWN) {
        const int found = read_gzip_signature(job->dir, job->input_name);
        {
            const std::lock_guard<std::mutex> guard(ahead->lock);
            job->signature = found;
        }
        ahead->changed.notify_all();
        if (found != SIGNATURE_GZIP) {
            finish_job(job, DECODE_NOT_STARTED);
            return true;
        }
    }
    const int input = platform_open(job->dir, job->input_name, OPEN_READ_BINARY, 0);
    FileStatus status{};
    if (input < 0 || platform_fstat(input, &status) != 0) {
        if (input >= 0) platform_close(input);
        finish_job(job, DECODE_NOT_STARTED);
        return true;
    }
    if (by_walk) {
        // Data at least as large as the file would not fit: decoding it
        // would be given up, and that work lost.
        if (status.size >= output_budget_free()) {
            platform_close(input);
            const std::lock_guard<std::mutex> guard(ahead->lock);
            job->walk_passed = true;
            job->state = JOB_WAITING;
            COUNT_PATH(WALK_PASSED);
            return false;
        }
    }
    const int waiting = by_walk ? QUEUE_NEVER_WAITS : job->restore ? QUEUE_GIVES_UP_WHEN_HURRIED : QUEUE_WAITS;
    OutputQueue* const queue = create_output_queue(waiting);
    if (queue == nullptr) {
        platform_close(input);
        finish_job(job, DECODE_NOT_STARTED);
        return true;
    }
    bool hurried = false;
    bool cancelled = false;
    {
        const std::lock_guard<std::mutex> guard(ahead->lock);
        job->queue = queue;
        job->input = status;
        job->decode = DECODE_STARTED;
        hurried = job->hurried;
        cancelled = job->cancelled;
    }
    ahead->changed.notify_all();
    if (hurried) output_queue_hurry(queue);
    if (cancelled) output_queue_cancel(queue);

    WalkAhead ahead_of_walk = {queue, writer};
    const WindowSink sink = by_walk ? WindowSink{write_ahead_of_walk, &ahead_of_walk} : WindowSink{write_to_queue, queue};
    const int result = unzip_to_sink(input, &sink);
    const int64_t mtime = member_mtime();
    platform_close(input);
    const bool gave_up = output_queue_gave_up(queue) || (writer != nullptr && writer->failed);
    // Closed before the job is done: once it is, the walk may release the
    // queue at any moment.
    output_queue_close(queue);
    if (by_walk && gave_up) {
        // Its data goes back to the budget at once; the walk decodes the
        // file itself when it gets there.
        destroy_output_queue(queue);
        const std::lock_guard<std::mutex> guard(ahead->lock);
        job->queue = nullptr;
        job->decode = DECODE_NOT_STARTED;
        job->state = JOB_DONE;
        COUNT_PATH(WALK_GAVE_UP);
        return true;
    }
    if (by_walk) COUNT_PATH(WALK_DECODED);
    {
        const std::lock_guard<std::mutex> guard(ahead->lock);
        job->result = result;
        job->mtime = mtime;
        job->gave_up = gave_up;
        job->state = JOB_DONE;
    }
    ahead->changed.notify_all();
    return true;
}

// The first job of the next directory still waiting, or null; the lock is
// held.
AheadJob* next_directory_waiting(Ahead& a, bool for_walk)
{
    if (a.next_directory->state != NEXT_READY) return nullptr;
    for (AheadJob* job : a.next_directory->jobs)
        if (job != nullptr && job->state == JOB_WAITING && !(for_walk && job->walk_passed)) return job;
    return nullptr;
}

// The first job still waiting, or null: the walk's directory first, then
// the next one. The lock is held.
AheadJob* next_waiting(Ahead& a)
{
    while (a.next < a.jobs.size() && (a.jobs[a.next] == nullptr || a.jobs[a.next]->state != JOB_WAITING)) a.next++;
    return a.next < a.jobs.size() ? a.jobs[a.next] : next_directory_waiting(a, false);
}

// The first job waiting that the walk has not passed by, or null; the lock
// is held.
AheadJob* next_waiting_for_walk(Ahead& a)
{
    for (size_t i = a.next; i < a.jobs.size(); ++i) {
        AheadJob* job = a.jobs[i];
        if (job != nullptr && job->state == JOB_WAITING && !job->walk_passed) return job;
    }
    return next_directory_waiting(a, true);
}

void list_next_directory(NextDirectory* next);

// The walk, about to wait for `awaited`, decodes the next job no thread has
// started instead, and writes `writer`'s windows meanwhile (when not null);
// where there is none, it lists the next directory no thread has taken, so
// that its files can be decoded next. Returns false when `awaited` is done,
// there was nothing to do, or the walk passed the job by: the walk then
// waits.
bool decode_ahead_on_walk(const AheadJob* awaited, WalkWriter* writer)
{
    AheadJob* job = nullptr;
    NextDirectory* next = nullptr;
    {
        const std::lock_guard<std::mutex> guard(ahead->lock);
        if (awaited->state == JOB_DONE) return false;
        job = next_waiting_for_walk(*ahead);
        if (job != nullptr) {
            job->state = JOB_RUNNING;
        } else if (ahead->next_directory->state == NEXT_OFFERED) {
            next = ahead->next_directory;
            next->state = NEXT_LISTING;
        } else {
            return false;
        }
    }
    if (next != nullptr) {
        COUNT_PATH(WALK_LISTED);
        list_next_directory(next);
        return true;
    }
    return run_job(job, true, writer);
}

// Claims a job no thread has started, so that the walk converts the file
// itself; the lock is held.
void claim_if_waiting(AheadJob* job)
{
    if (job->state != JOB_WAITING) return;
    COUNT_PATH(CLAIMED);
    job->state = JOB_DONE;
    job->decode = DECODE_NOT_STARTED;
    if (job->signature == SIGNATURE_UNKNOWN) job->signature = SIGNATURE_UNREAD;
}

AheadJob* new_job(const DirectoryHandle* dir, const FilePlan& file)
{
    AheadJob* job = new AheadJob{};
    job->dir = dir;
    job->input_name = file.work_name.c_str();
    job->restore = file.action == CONVERT_RESTORE;
    job->signature = SIGNATURE_UNKNOWN;
    return job;
}

// The jobs of the plan's files from `from` on that may be read ahead, by
// file index (null for the others).
std::vector<AheadJob*> new_jobs(const DirectoryHandle* dir, const DirectoryPlan& plan, size_t from)
{
    std::vector<AheadJob*> jobs(plan.count, nullptr);
    for (size_t i = from; i < plan.count; ++i) {
        const FilePlan& file = plan.files[i];
        if (file.action != CONVERT_NOTHING && file.read_ahead) jobs[i] = new_job(dir, file);
    }
    return jobs;
}

// Lists and plans the next directory as the walk will, on a decoding
// thread: only reads, through the parent's descriptor, and only into the
// record. Anything the walk would stop at (a limit, a listing that fails)
// leaves it to the walk.
void list_next_directory(NextDirectory* next)
{
    DirectoryHandle* held = nullptr;
    const bool listed =
        open_subdirectory(next->parent, next->path.c_str(), &next->entry, &held) == DIRECTORY_OPENED &&
        list_directory_plan(held, next->path.c_str(), next->pattern.c_str(), next->root, next->flags, &next->plan,
                            nullptr) == LIST_DONE;
    std::vector<AheadJob*> jobs;
    if (listed) {
        plan_read_ahead(&next->plan);
        jobs = new_jobs(held, next->plan, 0);
    } else if (held != nullptr) {
        close_directory(held);
        held = nullptr;
    }
    {
        const std::lock_guard<std::mutex> guard(ahead->lock);
        next->held = held;
        next->jobs = std::move(jobs);
        next->state = listed ? NEXT_READY : NEXT_FAILED;
    }
    if (!listed) COUNT_PATH(LIST_FAILED);
    ahead->changed.notify_all();
}

void decoding_thread()
{
    for (;;) {
        AheadJob* job = nullptr;
        NextDirectory* next = nullptr;
        {
            std::unique_lock<std::mutex> guard(ahead->lock);
            ahead->changed.wait(guard, [&job] {
                return (job = next_waiting(*ahead)) != nullptr || ahead->next_directory->state == NEXT_OFFERED;
            });
            if (job != nullptr) {
                job->state = JOB_RUNNING;
            } else {
                next = ahead->next_directory;
                next->state = NEXT_LISTING;
            }
        }
        if (job != nullptr) {
            run_job(job, false, nullptr);
        } else {
            list_next_directory(next);
        }
    }
}

// Waits until no thread works on a job of `jobs` (those still waiting are
// given up, those running made to fail their writes), then frees them all.
// The lock is held on entry and on return.
void finish_jobs(std::unique_lock<std::mutex>& guard, std::vector<AheadJob*>& jobs, bool cancel)
{
    for (AheadJob* job : jobs) {
        if (job == nullptr) continue;
        if (job->state == JOB_WAITING) job->state = JOB_DONE;
        if (cancel && job->state != JOB_DONE) {
            job->cancelled = true;
            job->hurried = true;
            if (job->queue != nullptr) output_queue_cancel(job->queue);
        }
    }
    ahead->changed.wait(guard, [&jobs] {
        for (const AheadJob* job : jobs)
            if (job != nullptr && job->state != JOB_DONE) return false;
        return true;
    });
    std::vector<AheadJob*> done;
    done.swap(jobs);
    guard.unlock();
    for (AheadJob* job : done) {
        if (job == nullptr) continue;
        if (job->queue != nullptr) destroy_output_queue(job->queue);
        delete job;
    }
    guard.lock();
}

// Releases the record's hold and jobs; the lock is held. The walk may offer
// it again afterwards.
void release_directory(std::unique_lock<std::mutex>& guard, NextDirectory* record, bool cancel)
{
    if (cancel && record->state == NEXT_READY) COUNT_PATH(DROPPED);
    finish_jobs(guard, record->jobs, cancel);
    if (record->held != nullptr) close_directory(record->held);
    record->held = nullptr;
    record->state = NEXT_NONE;
}

// Whether the record is of the directory `path`, as the walk's listing of its
// parent shows it now (`entry`).
bool is_directory_of(const NextDirectory& record, const char* path, const DirectoryEntry* entry)
{
    return entry != nullptr && record.path == path && record.entry.device == entry->device &&
           record.entry.inode == entry->inode;
}

// Settles the next directory before the walk goes on: an offer no thread
// took is withdrawn, a listing under way is waited for. Returns the record
// when it is the directory `path` the walk now plans as `plan` (entered as
// `entry`, the same directory the thread entered); otherwise its work is
// dropped and null returned. The lock is held.
NextDirectory* settle_next_directory(std::unique_lock<std::mutex>& guard, const DirectoryEntry* entry,
                                     const char* path, const DirectoryPlan* plan)
{
    NextDirectory* next = ahead->next_directory;
    if (next->state == NEXT_OFFERED) next->state = NEXT_NONE;
    if (next->state == NEXT_NONE) return nullptr;
    ahead->changed.wait(guard, [next] { return next->state != NEXT_LISTING; });
    if (next->state == NEXT_READY && plan != nullptr && is_directory_of(*next, path, entry) &&
        same_plan(next->plan, *plan)) {
        return next;
    }
    release_directory(guard, next, true);
    return nullptr;
}

}  // namespace

void start_decoding_threads(int threads)
{
    if (threads <= 1 || ahead != nullptr) return;
    ahead = new Ahead;
#ifdef KAVRELT_AHEAD_COUNTS
    atexit(write_path_counts);
#endif
    set_output_budget(AHEAD_BUDGET_BYTES);
    for (int i = 1; i < threads; ++i) std::thread(decoding_thread).detach();
}

bool reads_ahead()
{
    return ahead != nullptr;
}

void plan_directory_jobs(const DirectoryHandle* dir, const DirectoryEntry* entry, const char* path,
                         DirectoryPlan* plan)
{
    // Without decoding threads nothing is read ahead, and the rule that
    // decides what may be costs nothing.
    if (ahead == nullptr) return;
    bool adopted = false;
    {
        std::unique_lock<std::mutex> guard(ahead->lock);
        NextDirectory* ready = settle_next_directory(guard, entry, path, plan);
        if (ready != nullptr) {
            // The threads have been at it: its jobs are this directory's.
            ahead->jobs.swap(ready->jobs);
            ahead->next = 0;
            ready->state = NEXT_NONE;
            ahead->adopted = ready;
            ahead->next_directory = ready == &ahead->directories[0] ? &ahead->directories[1] : &ahead->directories[0];
            adopted = true;
            COUNT_PATH(ADOPTED);
        }
    }
    if (adopted) {
        plan_read_ahead(plan);
        return;
    }
    // The first file to convert is the walk's own: it gets there at once,
    // before a thread could wake, and a thread then starts on the next one.
    // A directory with one such file costs no thread a wake-up.
    size_t first = 0;
    while (first < plan->count && plan->files[first].action == CONVERT_NOTHING) first++;
    size_t others = 0;
    for (size_t i = first + 1; i < plan->count; ++i) others += plan->files[i].action != CONVERT_NOTHING;
    if (others == 0) return;
    plan_read_ahead(plan);
    std::vector<AheadJob*> jobs = new_jobs(dir, *plan, first + 1);
    {
        const std::lock_guard<std::mutex> guard(ahead->lock);
        ahead->jobs = std::move(jobs);
        ahead->next = 0;
    }
    ahead->changed.notify_all();
}

void offer_next_directory(const DirectoryHandle* parent, const char* path, const DirectoryEntry* entry,
                          const char* pattern, const char* root, int flags)
{
    if (ahead == nullptr) return;
    {
        const std::lock_guard<std::mutex> guard(ahead->lock);
        NextDirectory* next = ahead->next_directory;
        if (next->state != NEXT_NONE) return;
        next->parent = parent;
        next->path.assign(path);
        next->pattern.assign(pattern);
        next->entry = *entry;
        next->root = root;
        next->flags = flags;
        next->state = NEXT_OFFERED;
    }
    ahead->changed.notify_all();
}

DirectoryHandle* take_directory_ahead(const DirectoryHandle* parent, const char* path, const DirectoryEntry* entry)
{
    if (ahead == nullptr) return nullptr;
    std::unique_lock<std::mutex> guard(ahead->lock);
    NextDirectory* next = ahead->next_directory;
    if (next->state == NEXT_NONE || next->state == NEXT_OFFERED || next->parent != parent || next->path != path) {
        return nullptr;
    }
    ahead->changed.wait(guard, [next] { return next->state != NEXT_LISTING; });
    if (next->state != NEXT_READY || next->held == nullptr || !is_directory_of(*next, path, entry)) return nullptr;
    // The jobs keep reading through it; the walk closes it only after they
    // are done, as it closes every directory it entered.
    DirectoryHandle* held = next->held;
    next->held = nullptr;
    COUNT_PATH(HOLD_TAKEN);
    return held;
}

void forget_directory(const DirectoryHandle* closing)
{
    if (ahead == nullptr) return;
    std::unique_lock<std::mutex> guard(ahead->lock);
    NextDirectory* next = ahead->next_directory;
    if (next->state == NEXT_NONE || (closing != nullptr && next->parent != closing)) return;
    if (next->state == NEXT_OFFERED) {
        next->state = NEXT_NONE;
        return;
    }
    ahead->changed.wait(guard, [next] { return next->state != NEXT_LISTING; });
    release_directory(guard, next, true);
}

AheadJob* directory_job(size_t index)
{
    // Only the walk changes the list of jobs.
    if (ahead == nullptr || ahead->jobs.empty()) return nullptr;
    const std::lock_guard<std::mutex> guard(ahead->lock);
    return index < ahead->jobs.size() ? ahead->jobs[index] : nullptr;
}

void end_directory_jobs()
{
    if (ahead == nullptr || (ahead->jobs.empty() && ahead->adopted == nullptr)) return;
    std::unique_lock<std::mutex> guard(ahead->lock);
    // Nothing waits any more: the walk has passed every file.
    finish_jobs(guard, ahead->jobs, false);
    ahead->next = 0;
    if (ahead->adopted != nullptr) release_directory(guard, ahead->adopted, false);
    ahead->adopted = nullptr;
}

bool job_signature(AheadJob* job, bool* gzip)
{
    std::unique_lock<std::mutex> guard(ahead->lock);
    claim_if_waiting(job);
    ahead->changed.wait(guard, [job] { return job->signature != SIGNATURE_UNKNOWN; });
    *gzip = job->signature == SIGNATURE_GZIP;
    // Where the job could not open or read the file, the walk looks itself.
    return job->signature == SIGNATURE_GZIP || job->signature == SIGNATURE_OTHER;
}

void job_wait_released(AheadJob* job)
{
    OutputQueue* queue = nullptr;
    {
        const std::lock_guard<std::mutex> guard(ahead->lock);
        claim_if_waiting(job);
        job->hurried = true;
        queue = job->queue;
    }
    if (queue != nullptr) output_queue_hurry(queue);
    while (decode_ahead_on_walk(job, nullptr)) {
    }
    std::unique_lock<std::mutex> guard(ahead->lock);
    ahead->changed.wait(guard, [job] { return job->state == JOB_DONE; });
}

bool job_decoding(AheadJob* job, FileStatus* input)
{
    std::unique_lock<std::mutex> guard(ahead->lock);
    claim_if_waiting(job);
    ahead->changed.wait(guard, [job] { return job->decode != DECODE_NOT_YET; });
    if (job->decode != DECODE_STARTED) return false;
    // A restore job is done before the walk renames its file: it is of use
    // only if it decoded the whole file.
    if (job->restore && (job->state != JOB_DONE || job->gave_up)) return false;
    *input = job->input;
    return true;
}

int job_write_decoded(AheadJob* job, int output)
{
    OutputQueue* queue = nullptr;
    {
        const std::lock_guard<std::mutex> guard(ahead->lock);
        queue = job->queue;
    }
    output_queue_stream(queue);
    WalkWriter writer = {queue, output, false, false};
    for (;;) {
        write_ready_windows(&writer);
        if (writer.ended || writer.failed) break;
        // Nothing to write yet: decode ahead while the thread decodes this
        // file, or else wait for its next windows.
        if (!decode_ahead_on_walk(job, &writer)) output_queue_wait(queue);
    }
    std::unique_lock<std::mutex> guard(ahead->lock);
    ahead->changed.wait(guard, [job] { return job->state == JOB_DONE; });
    return writer.failed ? -1 : job->result;
}

int64_t job_mtime(AheadJob* job)
{
    std::unique_lock<std::mutex> guard(ahead->lock);
    ahead->changed.wait(guard, [job] { return job->state == JOB_DONE; });
    return job->mtime;
}
