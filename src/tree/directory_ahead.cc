// The directory ahead: once the files of the walk's directory have all been
// taken, a decoding thread lists and plans the directory the walk will enter
// next, through its parent's descriptor and only reading, and offers its
// files as jobs. The walk still lists every directory itself, and takes that
// work over only where the directory and its own plan are the same;
// otherwise (the directory changed, or is not the one entered) the work is
// dropped. Two records take turns: the one the walk's directory adopted, and
// the next.
#include "ahead.h"

#include <mutex>

#include "ahead_shared.h"

namespace {

// Whether the record is of the directory `path`, as the walk's listing of
// its parent shows it now (`entry`).
bool is_directory_of(const NextDirectory& record, const char* path, const DirectoryEntry* entry)
{
    return entry != nullptr && record.path == path && record.entry.device == entry->device &&
           record.entry.inode == entry->inode;
}

}  // namespace

void list_next_directory(NextDirectory* next)
{
    // Anything the walk would stop at (a limit, a listing that fails) is
    // left to the walk, which will say why.
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
    ahead->changed.notify_all();
}

void release_directory_locked(std::unique_lock<std::mutex>& guard, NextDirectory* record, bool cancel)
{
    ahead->changed.wait(guard, [record] { return record->state != NEXT_LISTING; });
    finish_jobs_locked(guard, record->jobs, cancel);
    if (record->held != nullptr) close_directory(record->held);
    record->held = nullptr;
    record->state = NEXT_NONE;
}

bool adopt_next_directory_locked(std::unique_lock<std::mutex>& guard, const DirectoryEntry* entry, const char* path,
                                 const DirectoryPlan* plan)
{
    NextDirectory* next = ahead->next_directory;
    // An offer no thread took is withdrawn; a listing under way is waited for.
    if (next->state == NEXT_OFFERED) next->state = NEXT_NONE;
    if (next->state == NEXT_NONE) return false;
    ahead->changed.wait(guard, [next] { return next->state != NEXT_LISTING; });
    if (next->state != NEXT_READY || plan == nullptr || !is_directory_of(*next, path, entry) ||
        !same_plan(next->plan, *plan)) {
        release_directory_locked(guard, next, true);
        return false;
    }
    // The threads have been at it: its jobs are the walk's directory's, and
    // the other record serves the next directory.
    ahead->jobs.swap(next->jobs);
    ahead->next = 0;
    next->state = NEXT_NONE;
    ahead->adopted = next;
    ahead->next_directory = next == &ahead->directories[0] ? &ahead->directories[1] : &ahead->directories[0];
    return true;
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
    return held;
}

void cancel_directory_ahead(const DirectoryHandle* closing)
{
    if (ahead == nullptr) return;
    std::unique_lock<std::mutex> guard(ahead->lock);
    NextDirectory* next = ahead->next_directory;
    if (next->state == NEXT_NONE || (closing != nullptr && next->parent != closing)) return;
    if (next->state == NEXT_OFFERED) {
        next->state = NEXT_NONE;
        return;
    }
    release_directory_locked(guard, next, true);
}
