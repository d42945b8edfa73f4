// The queue of compressed files waiting for their outputs to be durable, and
// the batch that ends it: one sync of each file system the outputs are on,
// then the deletions. A directory the walk has left stays open while a
// queued file of it waits, as far as the limit on open files leaves room.
#include "deletions.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "fatal.h"
#include "platform.h"
#include "tree.h"

namespace {

// A batch ends after so many files, compressed bytes or seconds. Together
// they bound what a run killed outright leaves to be converted again, and
// how long compressed files stay beside their outputs. Every sync costs a
// disk a journal commit and a cache flush, and makes the walk wait: the
// fewer, the better.
constexpr size_t BATCH_MOST_FILES = 4096;
constexpr uint64_t BATCH_MOST_BYTES = 256ull << 20;
constexpr std::chrono::seconds BATCH_MOST_TIME{5};
// Directories kept open for their deletions at most, and the descriptors
// left to everything else: the standard streams, the walk's two files, each
// decoding thread's file, the directories listed ahead.
constexpr int MOST_KEPT_DIRECTORIES = 1024;
constexpr int DESCRIPTORS_FOR_OTHERS = 40;

// Slots for the hashes of the queued names: a power of two, at least twice
// the most a batch holds, so that a search soon meets a free slot.
constexpr size_t NAME_SLOTS = 8192;
static_assert((NAME_SLOTS & (NAME_SLOTS - 1)) == 0 && NAME_SLOTS >= 2 * BATCH_MOST_FILES);

// A queued file: where its names begin in Deletions::names, and which file
// it is.
struct QueuedDeletion {
    const DirectoryHandle* dir;
    size_t compressed;
    size_t output;
    FileStatus status;
};

// A file system whose last batch's deletions are not durable yet, and the
// directory whose sync will make them so.
struct UnsyncedDeletions {
    uint64_t file_system;
    const DirectoryHandle* dir;
    std::string output;  // of that batch; named when the sync fails
};

struct Deletions {
    std::vector<QueuedDeletion> queue;
    std::string names;  // each queued file's name and its output's, each ended by '\0'
    // Hashes of the queued files' names (0: a free slot). A name whose hash
    // is here counts as queued: one that only shares the hash ends the batch
    // early, which does no harm.
    std::vector<uint64_t> name_hashes = std::vector<uint64_t>(NAME_SLOTS, 0);
    uint64_t compressed_bytes = 0;
    std::chrono::steady_clock::time_point started;  // when the batch's first file was queued
    std::vector<UnsyncedDeletions> unsynced;
    std::vector<DirectoryHandle*> kept;  // left by the walk, open for the deletions in them
    int directory_room = -1;             // how many may be kept, when the walk holds none
    size_t queued_here = 0;              // of the queued files, those of the walk's directory
    size_t most_queued_here = MAX_FILES_PER_DIRECTORY;
    bool exiting = false;
};

// Never destroyed: the fatal path uses it while the process ends.
Deletions& deletions = *new Deletions{};

const char* name_at(size_t at)
{
    return deletions.names.c_str() + at;
}

// FNV-1a of `name` followed by `suffix`, never 0, equal for names any file
// system may take for the same: POSIX file systems too may match names
// regardless of case (vfat, SMB shares, ext4's case-folded directories), and
// a late deletion there would remove the output created under the other
// spelling. So ASCII letters count without their case, and every byte
// beyond ASCII as one and the same, which covers the letters whose two
// cases take as many bytes. Names that only share a hash end a batch early,
// which does no harm.
uint64_t name_hash(const char* name, const char* suffix = "")
{
    uint64_t hash = 14695981039346656037ull;
    for (const char* part : {name, suffix}) {
        for (const char* c = part; *c != '\0'; ++c) {
            uint8_t byte = static_cast<uint8_t>(*c);
            if (byte >= 'A' && byte <= 'Z') byte = static_cast<uint8_t>(byte - 'A' + 'a');
            if (byte >= 0x80) byte = 0x80;
            hash = (hash ^ byte) * 1099511628211ull;
        }
    }
    return hash | 1;
}

// The slot that holds `hash`, or the free one where it would go.
uint64_t& name_slot(uint64_t hash)
{
    size_t at = static_cast<size_t>(hash) & (NAME_SLOTS - 1);
    while (deletions.name_hashes[at] != 0 && deletions.name_hashes[at] != hash) at = (at + 1) & (NAME_SLOTS - 1);
    return deletions.name_hashes[at];
}

// Whether a queued or unsynced deletion needs `dir`. The walk leaves a
// directory soon after it queued its files, so those are looked for last
// first.
bool needed(const DirectoryHandle* dir)
{
    for (size_t i = deletions.queue.size(); i-- > 0;) {
        if (deletions.queue[i].dir == dir) return true;
    }
    for (const UnsyncedDeletions& unsynced : deletions.unsynced) {
        if (unsynced.dir == dir) return true;
    }
    return false;
}

// Closes the kept directories that no deletion needs any more.
void close_unneeded()
{
    size_t kept = 0;
    for (DirectoryHandle* dir : deletions.kept) {
        if (needed(dir)) deletions.kept[kept++] = dir;
        else close_directory(dir);
    }
    deletions.kept.resize(kept);
}

// Nothing queued is deleted after a sync that failed: the compressed files
// stay for the next run, and this one ends naming an output of the batch.
[[noreturn]] void fail_sync(const std::string& output)
{
    deletions.exiting = true;
    deletions.queue.clear();
    fatal_error("could not write %s", output.c_str());
}

void clear_queue()
{
    deletions.queue.clear();
    deletions.names.clear();
    std::fill(deletions.name_hashes.begin(), deletions.name_hashes.end(), 0);
    deletions.compressed_bytes = 0;
    deletions.queued_here = 0;
}

// Syncs each file system the queued outputs or the unsynced deletions are
// on, through the directory opened first there (an unsynced one is older),
// then deletes the queued files. Their deletions are durable only after
// the next sync of their file system. Ends the run when a sync fails.
void end_batch_or_die()
{
    // What to sync: the unsynced deletions' directories first, then the
    // first queued directory of each other file system.
    std::vector<UnsyncedDeletions> syncs = deletions.unsynced;
    std::vector<bool> has_queued(syncs.size(), false);
    for (const QueuedDeletion& queued : deletions.queue) {
        const uint64_t file_system = platform_file_system(queued.dir);
        size_t i = 0;
        while (i < syncs.size() && syncs[i].file_system != file_system) ++i;
        if (i == syncs.size()) {
            syncs.push_back({file_system, queued.dir, name_at(queued.output)});
            has_queued.push_back(true);
        } else if (!has_queued[i]) {
            syncs[i].output = name_at(queued.output);
            has_queued[i] = true;
        }
    }
    for (const UnsyncedDeletions& sync : syncs) {
        if (platform_sync(sync.dir) != 0) fail_sync(sync.output);
    }
    for (const QueuedDeletion& queued : deletions.queue) {
        // As ever, a file that cannot be deleted stays beside its output; so
        // does one that others put in its place since.
        platform_unlink_same(queued.dir, name_at(queued.compressed), queued.status);
    }
    deletions.unsynced.clear();
    for (size_t i = 0; i < syncs.size(); ++i) {
        if (has_queued[i]) deletions.unsynced.push_back(syncs[i]);
    }
    clear_queue();
    close_unneeded();
}

// Ends the batch, then makes its deletions durable as well.
void end_batch_durably_or_die()
{
    end_batch_or_die();
    for (const UnsyncedDeletions& unsynced : deletions.unsynced) {
        if (platform_sync(unsynced.dir) != 0) fail_sync(unsynced.output);
    }
    deletions.unsynced.clear();
    close_unneeded();
}

}  // namespace

void delete_when_durable_or_die(const DirectoryHandle* dir, const char* compressed, const char* output,
                                const FileStatus& status)
{
    if (platform_durable_when_flushed(dir)) {
        platform_unlink(dir, compressed);
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (deletions.queue.empty()) deletions.started = now;
    std::string& names = deletions.names;
    const size_t at = names.size();
    names.append(compressed).push_back('\0');
    names.append(output).push_back('\0');
    deletions.queue.push_back({dir, at, at + strlen(compressed) + 1, status});
    const uint64_t hash = name_hash(compressed);
    name_slot(hash) = hash;
    deletions.compressed_bytes += status.size;
    deletions.queued_here++;
    if (deletions.queue.size() >= BATCH_MOST_FILES || deletions.compressed_bytes >= BATCH_MOST_BYTES ||
        now - deletions.started >= BATCH_MOST_TIME || deletions.queued_here >= deletions.most_queued_here) {
        end_batch_or_die();
    }
}

void start_directory_deletions(size_t files_listed)
{
    deletions.queued_here = 0;
    // Each conversion adds at most one name to the directory until its
    // compressed file is deleted.
    deletions.most_queued_here =
        files_listed < MAX_FILES_PER_DIRECTORY ? MAX_FILES_PER_DIRECTORY - files_listed : 0;
}

void delete_queued_named_or_die(const char* name, const char* suffix)
{
    if (deletions.queue.empty()) return;
    const uint64_t hash = name_hash(name, suffix);
    if (name_slot(hash) == hash) end_batch_or_die();
}

void close_directory_after_deletions_or_die(DirectoryHandle* dir, size_t held_by_walk)
{
    if (!needed(dir)) {
        close_directory(dir);
        return;
    }
    if (deletions.directory_room < 0) {
        const int limit = platform_descriptor_limit();
        deletions.directory_room = limit - DESCRIPTORS_FOR_OTHERS < MOST_KEPT_DIRECTORIES
                                       ? limit - DESCRIPTORS_FOR_OTHERS
                                       : MOST_KEPT_DIRECTORIES;
    }
    if (static_cast<int>(deletions.kept.size() + held_by_walk) < deletions.directory_room) {
        drop_listing(dir);
        deletions.kept.push_back(dir);
        return;
    }
    // No room to keep it: its deletions are done now, and made durable, so
    // that nothing needs it any more.
    end_batch_durably_or_die();
    close_directory(dir);
}

void finish_deletions_or_die()
{
    end_batch_durably_or_die();
}

void delete_queued_before_exit()
{
    if (deletions.exiting) return;
    deletions.exiting = true;
    // A sync that fails here is reported in place of the error the run was
    // ending on: its outputs may be incomplete on disk.
    if (!deletions.queue.empty()) end_batch_or_die();
}
