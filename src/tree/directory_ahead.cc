// The directories ahead: once the files of the walk's directory have all
// been taken, decoding threads list and plan the directories the walk will
// enter next, through their parent's descriptor and only reading, and offer
// their files as jobs. The walk names them: its next ones among the
// subdirectories of one directory, in its order; each is listed once those
// before it are known to have no subdirectories (the walk enters it right
// after them). When the walk enters one of them (the same path, device and
// inode as its parent's listing shows), its listing, plan and jobs become
// the walk's; the work on those before it, which the walk passed by, is
// dropped, and so is all of it when the walk goes elsewhere (a directory
// replaced, or one the walk did not name): the walk then lists the
// directory itself.
#include "ahead.h"

#include <cstring>
#include <mutex>
#include <utility>

#include "ahead_shared.h"
#include "tree.h"

namespace {

// Whether the record is of the directory `path`, as the walk's listing of
// its parent shows it now (`entry`).
bool is_directory_of(const NextDirectory& record, const char* path, const DirectoryEntry* entry)
{
    return entry != nullptr && record.path == path && record.entry.device == entry->device &&
           record.entry.inode == entry->inode;
}

bool is_entry(const NextDirectory& record, const DirectoryHandle* parent, const DirectoryEntry& entry)
{
    return record.parent == parent && strcmp(record.entry.name, entry.name) == 0 &&
           record.entry.device == entry.device && record.entry.inode == entry.inode;
}

// Drops the work on the upcoming directories from `from` on, the last first.
void release_upcoming_from_locked(std::unique_lock<std::mutex>& guard, size_t from)
{
    std::deque<NextDirectory*>& upcoming = ahead->upcoming;
    while (upcoming.size() > from) {
        release_directory_locked(guard, upcoming.back(), true);
        upcoming.pop_back();
    }
}

// Drops the work on the first `count` upcoming directories.
void release_first_upcoming_locked(std::unique_lock<std::mutex>& guard, size_t count)
{
    std::deque<NextDirectory*>& upcoming = ahead->upcoming;
    for (size_t i = 0; i < count; ++i) {
        release_directory_locked(guard, upcoming.front(), true);
        upcoming.pop_front();
    }
}

// A record neither upcoming nor adopted: there is always one, as the
// records are one more than the directories ever offered at once.
NextDirectory* free_record_locked()
{
    for (NextDirectory& record : ahead->directories) {
        if (record.state == NEXT_NONE && &record != ahead->adopted) return &record;
    }
    return nullptr;
}

}  // namespace

void list_next_directory(NextDirectory* next)
{
    // Anything the walk would stop at (a limit, a listing that fails) is
    // left to the walk, which will say why.
    DirectoryHandle* held = nullptr;
    next->subdirectories.clear();
    const bool listed =
        open_subdirectory(next->parent, next->path.c_str(), &next->entry, &held) == DIRECTORY_OPENED &&
        list_directory_plan(held, next->path.c_str(), next->pattern.c_str(), next->root, next->flags, &next->plan,
                            &next->subdirectories) == LIST_DONE;
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
    // An offer no thread took is withdrawn at once. It must not stay on
    // offer while the lock is let go below: a thread could take it and go
    // on listing into a record already given back.
    if (record->state == NEXT_OFFERED) {
        record->state = NEXT_NONE;
        return;
    }
    ahead->changed.wait(guard, [record] { return record->state != NEXT_LISTING; });
    finish_jobs_locked(guard, record->jobs, cancel);
    if (record->held != nullptr) close_directory(record->held);
    record->held = nullptr;
    record->state = NEXT_NONE;
}

bool adopt_next_directory_locked(std::unique_lock<std::mutex>& guard, const DirectoryEntry* entry, const char* path,
                                 DirectoryPlan* plan, std::vector<DirectoryEntry>* subdirectories)
{
    std::deque<NextDirectory*>& upcoming = ahead->upcoming;
    size_t at = 0;
    while (at < upcoming.size() && upcoming[at]->path != path) ++at;
    if (at == upcoming.size()) {
        // The walk went elsewhere: nothing offered is next any more.
        release_upcoming_from_locked(guard, 0);
        return false;
    }
    // Those before it the walk passed by (missing, or not the ones listed).
    release_first_upcoming_locked(guard, at);
    NextDirectory* next = upcoming.front();
    // An offer no thread took is withdrawn; a listing under way is waited for.
    if (next->state == NEXT_OFFERED) {
        next->state = NEXT_NONE;
        upcoming.pop_front();
        return false;
    }
    ahead->changed.wait(guard, [next] { return next->state != NEXT_LISTING; });
    if (next->state != NEXT_READY || !is_directory_of(*next, path, entry)) {
        release_directory_locked(guard, next, true);
        upcoming.pop_front();
        return false;
    }
    // The threads have been at it: its listing, plan and jobs are the
    // walk's directory's. The files' names stay where the jobs see them:
    // the plans swap their records, not the names in them.
    plan->files.swap(next->plan.files);
    std::swap(plan->count, next->plan.count);
    subdirectories->swap(next->subdirectories);
    ahead->jobs.swap(next->jobs);
    ahead->next = 0;
    next->state = NEXT_NONE;
    ahead->adopted = next;
    upcoming.pop_front();
    return true;
}

void offer_next_directories(const DirectoryHandle* parent, const char* parent_path, const DirectoryEntry* entries,
                            size_t count, const char* root, int flags)
{
    if (ahead == nullptr) return;
    if (count > DIRECTORIES_AHEAD) count = DIRECTORIES_AHEAD;
    bool offered = false;
    {
        std::unique_lock<std::mutex> guard(ahead->lock);
        std::deque<NextDirectory*>& upcoming = ahead->upcoming;
        // What is offered already, in the same order, stays, with the work
        // done on it.
        size_t kept = 0;
        while (kept < upcoming.size() && kept < count && is_entry(*upcoming[kept], parent, entries[kept])) kept++;
        release_upcoming_from_locked(guard, kept);
        for (size_t i = kept; i < count; ++i) {
            char path[PATH_CAPACITY];
            char pattern[PATH_CAPACITY];
            // A path too long is the walk's to report when it gets there.
            if (!join_path(path, parent_path, SEPARATOR, entries[i].name) ||
                !join_path(pattern, path, SEPARATOR, ALL_ENTRIES)) {
                break;
            }
            NextDirectory* next = free_record_locked();
            if (next == nullptr) break;  // offering less costs only speed
            next->parent = parent;
            next->path.assign(path);
            next->pattern.assign(pattern);
            next->entry = entries[i];
            next->root = root;
            next->flags = flags;
            next->state = NEXT_OFFERED;
            upcoming.push_back(next);
            offered = true;
        }
    }
    if (offered) ahead->changed.notify_all();
}

DirectoryHandle* take_directory_ahead(const DirectoryHandle* parent, const char* path, const DirectoryEntry* entry)
{
    if (ahead == nullptr) return nullptr;
    std::unique_lock<std::mutex> guard(ahead->lock);
    NextDirectory* next = nullptr;
    for (NextDirectory* record : ahead->upcoming) {
        if (record->parent == parent && record->path == path) {
            next = record;
            break;
        }
    }
    if (next == nullptr || next->state == NEXT_OFFERED) return nullptr;
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
    std::deque<NextDirectory*>& upcoming = ahead->upcoming;
    // The upcoming directories are all listed in one parent.
    if (upcoming.empty() || (closing != nullptr && upcoming.front()->parent != closing)) return;
    release_upcoming_from_locked(guard, 0);
}
