// The jobs' life cycle and the decoding threads. A job waits until a thread,
// or the walk with nothing better to do, claims it; running, it reads the
// file's signature where that decides, opens the file and decodes it into a
// queue in memory; done, it holds no descriptor of the file. A job that
// cannot do exactly what the walk would (a file it cannot open, a ".hlp" too
// large to hold before its rename) is left to the walk, which then converts
// the file itself.
//
// What the walk decodes ahead never waits for memory: the walk is the one
// who frees it. A file whose compressed size alone would not fit in the
// budget left is passed by, and one whose data outgrows it is given up, its
// data dropped, and decoded again when the walk gets there.
#include <mutex>

#include "ahead_shared.h"
#include "gzip_decoder.h"
#include "output_queue.h"
#include "queue_writer.h"

namespace {

// Makes the job done; where it never started decoding, the walk decodes the
// file itself.
void finish_job(AheadJob* job, int decode)
{
    {
        const std::lock_guard<std::mutex> guard(ahead->lock);
        if (job->decode == DECODE_NOT_YET) job->decode = decode;
        job->state = JOB_DONE;
    }
    ahead->changed.notify_all();
}

// Reads a restore job's signature, once: only a gzip file is decoded (and
// renamed by the walk). Returns false, with the job done, for any other.
bool signature_allows_decoding(AheadJob* job, bool signature_unknown)
{
    if (!job->restore || !signature_unknown) return true;
    const int found = read_gzip_signature(job->dir, job->input_name);
    {
        const std::lock_guard<std::mutex> guard(ahead->lock);
        job->signature = found;
    }
    ahead->changed.notify_all();
    if (found == SIGNATURE_GZIP) return true;
    finish_job(job, DECODE_NOT_STARTED);
    return false;
}

// Opens the job's file and stores what fstat says of it. Returns the
// descriptor, or -1 with the job done (the walk will try, and report).
int open_job_input(AheadJob* job, FileStatus* status)
{
    const int input = platform_open(job->dir, job->input_name, OPEN_READ_BINARY, 0);
    if (input >= 0 && platform_fstat(input, status) == 0) return input;
    if (input >= 0) platform_close(input);
    finish_job(job, DECODE_NOT_STARTED);
    return -1;
}

// The walk passes by a file whose data, at least as large as the file,
// would not fit in the budget free now: decoding it would be given up, and
// that work lost. The job waits again, for a thread.
bool walk_passes_by(AheadJob* job, int input, const FileStatus& status)
{
    if (status.size < output_budget_free()) return false;
    platform_close(input);
    {
        const std::lock_guard<std::mutex> guard(ahead->lock);
        job->walk_passed = true;
        job->state = JOB_WAITING;
    }
    // A thread that found nothing to do may take it now.
    ahead->changed.notify_all();
    return true;
}

// Makes the job's queue, of the kind its decoder needs, and tells the walk
// that decoding started. Returns null, with the job done, when out of
// memory.
OutputQueue* start_decoding(AheadJob* job, int input, const FileStatus& status, bool by_walk)
{
    // The walk frees the budget: it must never wait for room. A restore job
    // must give its file up when the walk waits to rename it.
    const int waiting = by_walk ? QUEUE_NEVER_WAITS : job->restore ? QUEUE_GIVES_UP_WHEN_HURRIED : QUEUE_WAITS;
    OutputQueue* const queue = create_output_queue(waiting);
    if (queue == nullptr) {
        platform_close(input);
        finish_job(job, DECODE_NOT_STARTED);
        return nullptr;
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
    // The walk may have asked for either before the queue was there.
    if (hurried) output_queue_hurry(queue);
    if (cancelled) output_queue_cancel(queue);
    return queue;
}

// Hands the decoder's windows to the job's queue.
int write_to_queue(void* queue, const uint8_t* data, uint32_t count)
{
    return output_queue_write(static_cast<OutputQueue*>(queue), data, count);
}

// The walk's decoding ahead: the job's queue, and the file the walk writes
// meanwhile (null while it waits for a file's release).
struct WalkAhead {
    OutputQueue* queue;
    QueueWriter* writer;
};

// Hands a window to the job's queue, then writes out what the walk's own
// file has ready.
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

// Decodes the file into the queue and closes both. Returns the decoder's
// result; stores the header's time and whether the queue gave up.
int decode_into_queue(int input, OutputQueue* queue, QueueWriter* writer, bool by_walk, int64_t* mtime,
                      bool* gave_up)
{
    WalkAhead ahead_of_walk = {queue, writer};
    const WindowSink sink = by_walk ? WindowSink{write_ahead_of_walk, &ahead_of_walk} : WindowSink{write_to_queue, queue};
    const int result = unzip_to_sink(input, &sink);
    *mtime = member_mtime();
    platform_close(input);
    *gave_up = output_queue_gave_up(queue) || (writer != nullptr && writer->failed);
    // Closed before the job is done: once it is, the walk may release the
    // queue at any moment.
    output_queue_close(queue);
    return result;
}

// Makes the job done with what decoding came to. What the walk gave up its
// data goes back to the budget at once; the walk decodes that file itself
// when it gets there.
void publish_result(AheadJob* job, OutputQueue* queue, int result, int64_t mtime, bool gave_up, bool by_walk)
{
    if (by_walk && gave_up) destroy_output_queue(queue);
    {
        const std::lock_guard<std::mutex> guard(ahead->lock);
        if (by_walk && gave_up) {
            job->queue = nullptr;
            job->decode = DECODE_NOT_STARTED;
        } else {
            job->result = result;
            job->mtime = mtime;
            job->gave_up = gave_up;
        }
        job->state = JOB_DONE;
    }
    ahead->changed.notify_all();
}

// Runs `job`, claimed (JOB_RUNNING) by the caller, on a decoding thread, or,
// with `by_walk`, on the walk's thread while it waits (writing `writer`'s
// windows meanwhile). `signature_unknown` is what the claim found. Returns
// false when the walk passed the job by: it waits again.
bool run_job(AheadJob* job, bool signature_unknown, bool by_walk, QueueWriter* writer)
{
    if (!signature_allows_decoding(job, signature_unknown)) return true;
    FileStatus status{};
    const int input = open_job_input(job, &status);
    if (input < 0) return true;
    if (by_walk && walk_passes_by(job, input, status)) return false;
    OutputQueue* const queue = start_decoding(job, input, status, by_walk);
    if (queue == nullptr) return true;
    int64_t mtime = 0;
    bool gave_up = false;
    const int result = decode_into_queue(input, queue, writer, by_walk, &mtime, &gave_up);
    publish_result(job, queue, result, mtime, gave_up, by_walk);
    return true;
}

// The first waiting job of `jobs` from `from` on (for the walk, not one it
// passed by), or null.
AheadJob* first_waiting(const std::vector<AheadJob*>& jobs, size_t from, bool for_walk)
{
    for (size_t i = from; i < jobs.size(); ++i) {
        AheadJob* job = jobs[i];
        if (job != nullptr && job->state == JOB_WAITING && !(for_walk && job->walk_passed)) return job;
    }
    return nullptr;
}

// What there is to do next, claimed: a job (JOB_RUNNING) or the next
// directory to list (NEXT_LISTING); both null when there is nothing.
struct Work {
    AheadJob* job;
    bool signature_unknown;
    NextDirectory* directory;
};

// Claims the next work: the first waiting job of the walk's directory;
// then, directory by directory ahead of the walk, the first waiting job, or
// listing the directory. A directory is listed only once those before it
// are listed without subdirectories of their own: the walk enters it right
// after them.
Work claim_work_locked(bool for_walk)
{
    Ahead& a = *ahead;
    while (a.next < a.jobs.size() && (a.jobs[a.next] == nullptr || a.jobs[a.next]->state != JOB_WAITING)) a.next++;
    AheadJob* job = first_waiting(a.jobs, a.next, for_walk);
    for (size_t i = 0; job == nullptr && i < a.upcoming.size(); ++i) {
        NextDirectory* const directory = a.upcoming[i];
        if (directory->state == NEXT_OFFERED) {
            directory->state = NEXT_LISTING;
            return {nullptr, false, directory};
        }
        if (directory->state != NEXT_READY) break;
        job = first_waiting(directory->jobs, 0, for_walk);
        if (!directory->subdirectories.empty()) break;
    }
    if (job == nullptr) return {nullptr, false, nullptr};
    job->state = JOB_RUNNING;
    return {job, job->signature == SIGNATURE_UNKNOWN, nullptr};
}

// Does the claimed work. Returns false when the walk passed the job by.
bool do_work(const Work& work, bool by_walk, QueueWriter* writer)
{
    if (work.directory != nullptr) {
        list_next_directory(work.directory);
        return true;
    }
    return run_job(work.job, work.signature_unknown, by_walk, writer);
}

}  // namespace

AheadJob* new_job(const DirectoryHandle* dir, const FilePlan& file)
{
    AheadJob* job = new AheadJob{};
    job->dir = dir;
    job->input_name = file.work_name.c_str();
    job->restore = file.action == CONVERT_RESTORE;
    job->signature = SIGNATURE_UNKNOWN;
    return job;
}

std::vector<AheadJob*> new_jobs(const DirectoryHandle* dir, const DirectoryPlan& plan, size_t from)
{
    std::vector<AheadJob*> jobs(plan.count, nullptr);
    for (size_t i = from; i < plan.count; ++i) {
        const FilePlan& file = plan.files[i];
        if (file.action != CONVERT_NOTHING && file.read_ahead) jobs[i] = new_job(dir, file);
    }
    return jobs;
}

void claim_for_walk_locked(AheadJob* job)
{
    if (job->state != JOB_WAITING) return;
    job->state = JOB_DONE;
    job->decode = DECODE_NOT_STARTED;
    if (job->signature == SIGNATURE_UNKNOWN) job->signature = SIGNATURE_UNREAD;
}

void finish_jobs_locked(std::unique_lock<std::mutex>& guard, std::vector<AheadJob*>& jobs, bool cancel)
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

bool work_while_waiting(const AheadJob* awaited, QueueWriter* writer)
{
    Work work{};
    {
        const std::lock_guard<std::mutex> guard(ahead->lock);
        if (awaited->state == JOB_DONE) return false;
        work = claim_work_locked(true);
    }
    if (work.job == nullptr && work.directory == nullptr) return false;
    return do_work(work, true, writer);
}

void decoding_thread()
{
    for (;;) {
        Work work{};
        {
            std::unique_lock<std::mutex> guard(ahead->lock);
            ahead->changed.wait(guard, [&work] {
                work = claim_work_locked(false);
                return work.job != nullptr || work.directory != nullptr;
            });
        }
        do_work(work, false, nullptr);
    }
}
