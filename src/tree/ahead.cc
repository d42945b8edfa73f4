// What the walk calls to have files decoded ahead: starting the threads,
// offering each directory's files as jobs, and taking each file's result
// when the walk gets there. The walk's thread alone changes the tree or
// prints, in the order it always has; every outcome is the one decoding on
// the walk's own thread would give.
//
// The walk never idles while there is decoding to do: a file no thread has
// started when the walk gets there, it decodes itself, straight into its
// output; and while it waits for a thread (for the data of the file it
// writes, or for a ".hlp" to be released), it does work no one has started
// (ahead_jobs.cc), writing the data it waits for between the windows of
// what it decodes.
#include "ahead.h"

#include <mutex>
#include <thread>

#include "ahead_shared.h"
#include "output_queue.h"
#include "queue_writer.h"

Ahead* ahead = nullptr;

void start_decoding_threads(int threads)
{
    if (threads <= 1 || ahead != nullptr) return;
    ahead = new Ahead;
    set_output_budget(AHEAD_BUDGET_BYTES);
    for (int i = 1; i < threads; ++i) std::thread(decoding_thread).detach();
}

bool reads_ahead()
{
    return ahead != nullptr;
}

bool adopt_directory_ahead(const DirectoryEntry* entry, const char* path, DirectoryPlan* plan,
                           std::vector<DirectoryEntry>* subdirectories)
{
    if (ahead == nullptr) return false;
    std::unique_lock<std::mutex> guard(ahead->lock);
    return adopt_next_directory_locked(guard, entry, path, plan, subdirectories);
}

void offer_directory_jobs(const DirectoryHandle* dir, DirectoryPlan* plan)
{
    // Without decoding threads nothing is read ahead, and the rule that
    // decides what may be costs nothing.
    if (ahead == nullptr) return;
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

AheadJob* directory_job(size_t index)
{
    if (ahead == nullptr) return nullptr;
    const std::lock_guard<std::mutex> guard(ahead->lock);
    return index < ahead->jobs.size() ? ahead->jobs[index] : nullptr;
}

void end_directory_jobs()
{
    if (ahead == nullptr) return;
    std::unique_lock<std::mutex> guard(ahead->lock);
    if (ahead->jobs.empty() && ahead->adopted == nullptr) return;
    // Nothing waits any more: the walk has passed every file.
    finish_jobs_locked(guard, ahead->jobs, false);
    ahead->next = 0;
    if (ahead->adopted != nullptr) release_directory_locked(guard, ahead->adopted, false);
    ahead->adopted = nullptr;
}

bool claim_job_signature(AheadJob* job, bool* gzip)
{
    std::unique_lock<std::mutex> guard(ahead->lock);
    claim_for_walk_locked(job);
    ahead->changed.wait(guard, [job] { return job->signature != SIGNATURE_UNKNOWN; });
    *gzip = job->signature == SIGNATURE_GZIP;
    // Where the job could not open or read the file, the walk looks itself.
    return job->signature == SIGNATURE_GZIP || job->signature == SIGNATURE_OTHER;
}

void release_job_file(AheadJob* job)
{
    OutputQueue* queue = nullptr;
    {
        const std::lock_guard<std::mutex> guard(ahead->lock);
        claim_for_walk_locked(job);
        job->hurried = true;
        queue = job->queue;
    }
    if (queue != nullptr) output_queue_hurry(queue);
    while (work_while_waiting(job, nullptr)) {
    }
    std::unique_lock<std::mutex> guard(ahead->lock);
    ahead->changed.wait(guard, [job] { return job->state == JOB_DONE; });
}

bool claim_job_decoding(AheadJob* job, FileStatus* input)
{
    std::unique_lock<std::mutex> guard(ahead->lock);
    claim_for_walk_locked(job);
    ahead->changed.wait(guard, [job] { return job->decode != DECODE_NOT_YET; });
    if (job->decode != DECODE_STARTED) return false;
    // A restore job is done before the walk renames its file: it is of use
    // only if it decoded the whole file.
    if (job->restore && (job->state != JOB_DONE || job->gave_up)) return false;
    *input = job->input;
    return true;
}

int write_job_output(AheadJob* job, int output)
{
    OutputQueue* queue = nullptr;
    {
        const std::lock_guard<std::mutex> guard(ahead->lock);
        queue = job->queue;
    }
    output_queue_stream(queue);
    QueueWriter writer = {queue, output, false, false};
    for (;;) {
        write_ready_windows(&writer);
        if (writer.ended || writer.failed) break;
        // Nothing to write yet: work while the thread decodes this file, or
        // else wait for its next windows.
        if (!work_while_waiting(job, &writer)) output_queue_wait(queue);
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
