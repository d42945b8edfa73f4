// Deleting compressed files only once their outputs are on stable storage.
// A file system may write a new file's data to disk long after it records
// the deletion of another: deleted at once, a compressed file could be gone
// while its output is still empty on disk. So deletions wait in a queue; one
// sync of each file system makes a batch of outputs durable, and only then
// are their compressed files deleted. Only the walk's thread calls these.
#pragma once

#include <cstddef>
#include <cstdint>

struct DirectoryHandle;
struct FileStatus;

// The walk is about to convert the files of a directory that lists
// `files_listed` files. A run killed outright leaves the compressed files
// that wait beside their outputs: never so many that the directory would
// then hold more files than one may, and the next run stop there.
void start_directory_deletions(size_t files_listed);
// Deletes the file `compressed` of the held directory `dir`, which `status`
// describes, once its output `output` (flushed and closed) is on stable
// storage: at the end of its batch, or at once where a flushed output is
// durable. A file put in its place meanwhile is not deleted. Ends the run
// with "could not write" when a sync fails.
void delete_when_durable_or_die(const DirectoryHandle* dir, const char* compressed, const char* output,
                                const FileStatus& status);
// Before `name` followed by `suffix` (a path the walk built) is opened,
// created or renamed to: when a queued deletion is of that name, as the file
// system matches names, completes the queued deletions first, so that a
// late one never removes what the name leads to by then. Ends the run when
// a sync fails.
void delete_queued_named_or_die(const char* name, const char* suffix = "");
// Closes a directory the walk leaves, or keeps it open until the deletions
// queued in it are done. `held_by_walk`: the directories the walk still
// holds. Ends the run when a sync fails.
void close_directory_after_deletions_or_die(DirectoryHandle* dir, size_t held_by_walk);
// Makes every output so far durable, deletes every queued compressed file,
// and makes those deletions durable too: the tree is then complete on disk.
// Ends the run with "could not write" naming an output when a sync fails.
void finish_deletions_or_die();
// On the way out of a run that ends on an error: makes the queued outputs
// durable and deletes their compressed files, which leaves the tree as if
// each had been deleted when its output was done. A sync that fails keeps
// them and reports "could not write" instead. Does nothing once called.
void delete_queued_before_exit();
