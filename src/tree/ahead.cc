// The decoding threads and their jobs. The walk offers the files of one
// directory at a time; the threads take them in the walk's order and decode
// each into a queue in memory while the budget lasts. The walk then takes
// the results file by file. A job that cannot do exactly what the walk would
// (a file it cannot open, a ".hlp" too large to hold before its rename) is
// left to the walk, which then converts the file itself.
#include "ahead.h"

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "gzip_decoder.h"
#include "output_queue.h"
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
    char input_name[PATH_CAPACITY];  // the file as listed (for a restore, before its rename)
    bool restore;                    // check the signature first
    // Guarded by Ahead::lock.
    int state;
    int signature;
    int decode;
    bool hurried;         // the walk waits for the job to release the file
    OutputQueue* queue;
    int mode;
    int result;
    int64_t mtime;
    bool gave_up;
};

namespace {

// Never destroyed: decoding threads may still wait on it while the process
// ends on a fatal error.
struct Ahead {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<AheadJob*> jobs;  // of the directory being converted, by file index
    size_t next = 0;              // no job before it is waiting
};

Ahead* ahead = nullptr;

// Where names are matched without regard to case, so are the names here.
std::string name_key(const char* name)
{
    std::string key(name);
    if (NAMES_IGNORE_CASE) {
        for (char& c : key)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return key;
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

void run_job(AheadJob* job)
{
    if (job->restore) {
        const int found = read_gzip_signature(job->input_name);
        {
            const std::lock_guard<std::mutex> guard(ahead->lock);
            job->signature = found;
        }
        ahead->changed.notify_all();
        if (found != SIGNATURE_GZIP) {
            finish_job(job, DECODE_NOT_STARTED);
            return;
        }
    }
    const int input = platform_open(job->input_name, OPEN_READ_BINARY, 0);
    if (input < 0) {
        finish_job(job, DECODE_NOT_STARTED);
        return;
    }
    int mode = 0;
    OutputQueue* queue = nullptr;
    if (platform_fstat_mode(input, &mode) != 0 || (queue = create_output_queue(job->restore)) == nullptr) {
        platform_close(input);
        finish_job(job, DECODE_NOT_STARTED);
        return;
    }
    bool hurried = false;
    {
        const std::lock_guard<std::mutex> guard(ahead->lock);
        job->queue = queue;
        job->mode = mode;
        job->decode = DECODE_STARTED;
        hurried = job->hurried;
    }
    ahead->changed.notify_all();
    if (hurried) output_queue_hurry(queue);

    const int result = unzip_to_queue(input, queue);
    const int64_t mtime = member_mtime();
    platform_close(input);
    const bool gave_up = output_queue_gave_up(queue);
    // Closed before the job is done: once it is, the walk may release the
    // queue at any moment.
    output_queue_close(queue);
    {
        const std::lock_guard<std::mutex> guard(ahead->lock);
        job->result = result;
        job->mtime = mtime;
        job->gave_up = gave_up;
        job->state = JOB_DONE;
    }
    ahead->changed.notify_all();
}

// The first job still waiting, or null; the lock is held.
AheadJob* next_waiting(Ahead& a)
{
    while (a.next < a.jobs.size() && (a.jobs[a.next] == nullptr || a.jobs[a.next]->state != JOB_WAITING)) a.next++;
    return a.next < a.jobs.size() ? a.jobs[a.next] : nullptr;
}

void decoding_thread()
{
    for (;;) {
        AheadJob* job = nullptr;
        {
            std::unique_lock<std::mutex> guard(ahead->lock);
            ahead->changed.wait(guard, [&job] { return (job = next_waiting(*ahead)) != nullptr; });
            job->state = JOB_RUNNING;
        }
        run_job(job);
    }
}

}  // namespace

void start_decoding_threads(int threads)
{
    if (threads <= 1 || ahead != nullptr) return;
    ahead = new Ahead;
    set_output_budget(AHEAD_BUDGET_BYTES);
    for (int i = 1; i < threads; ++i) std::thread(decoding_thread).detach();
}

void plan_directory_jobs(const char* dir, const char* root, int flags, size_t count)
{
    if (ahead == nullptr) return;
    static const char separator[2] = {PATH_SEPARATOR, '\0'};
    // A file that an earlier conversion of this directory may write (its
    // output, or the target of its rename) must be read only after that
    // conversion: it is left to the walk.
    std::unordered_set<std::string> written;
    std::vector<AheadJob*> jobs(count, nullptr);
    for (size_t i = 0; i < count; ++i) {
        char path[PATH_CAPACITY];
        char work_name[PATH_CAPACITY];
        char created_name[PATH_CAPACITY];
        join_path_or_die(path, dir, separator, file_table[i]);
        const int action = plan_conversion(path, root, flags, work_name, created_name);
        if (action == CONVERT_NOTHING) continue;
        if (written.count(name_key(work_name)) == 0) {
            AheadJob* job = new AheadJob{};
            job->signature = SIGNATURE_UNKNOWN;
            strcpy(job->input_name, work_name);
            job->restore = action == CONVERT_RESTORE;
            jobs[i] = job;
        }
        if (action == CONVERT_RESTORE && strlen(created_name) + 3 < PATH_CAPACITY) {
            written.insert(name_key((std::string(created_name) + ".gz").c_str()));
        }
        written.insert(name_key(created_name));
    }
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
    std::vector<AheadJob*> jobs;
    {
        std::unique_lock<std::mutex> guard(ahead->lock);
        // Nothing waits any more: the walk has passed every file.
        for (AheadJob* job : ahead->jobs)
            if (job != nullptr && job->state == JOB_WAITING) job->state = JOB_DONE;
        ahead->changed.wait(guard, [] {
            for (const AheadJob* job : ahead->jobs)
                if (job != nullptr && job->state != JOB_DONE) return false;
            return true;
        });
        jobs.swap(ahead->jobs);
        ahead->next = 0;
    }
    for (AheadJob* job : jobs) {
        if (job == nullptr) continue;
        if (job->queue != nullptr) destroy_output_queue(job->queue);
        delete job;
    }
}

bool job_signature(AheadJob* job, bool* gzip)
{
    std::unique_lock<std::mutex> guard(ahead->lock);
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
        job->hurried = true;
        queue = job->queue;
    }
    if (queue != nullptr) output_queue_hurry(queue);
    std::unique_lock<std::mutex> guard(ahead->lock);
    ahead->changed.wait(guard, [job] { return job->state == JOB_DONE; });
}

bool job_decoding(AheadJob* job, int* mode)
{
    std::unique_lock<std::mutex> guard(ahead->lock);
    ahead->changed.wait(guard, [job] { return job->decode != DECODE_NOT_YET; });
    if (job->decode != DECODE_STARTED) return false;
    // A restore job is done before the walk renames its file: it is of use
    // only if it decoded the whole file.
    if (job->restore && (job->state != JOB_DONE || job->gave_up)) return false;
    *mode = job->mode;
    return true;
}

OutputQueue* job_queue(AheadJob* job)
{
    const std::lock_guard<std::mutex> guard(ahead->lock);
    return job->queue;
}

int job_result(AheadJob* job)
{
    std::unique_lock<std::mutex> guard(ahead->lock);
    ahead->changed.wait(guard, [job] { return job->state == JOB_DONE; });
    return job->result;
}

int64_t job_mtime(AheadJob* job)
{
    std::unique_lock<std::mutex> guard(ahead->lock);
    ahead->changed.wait(guard, [job] { return job->state == JOB_DONE; });
    return job->mtime;
}
