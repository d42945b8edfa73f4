// The plan of a directory: the names each listed file is opened, renamed and
// created under, what its suffix asks for, and which files may be read
// ahead. Also the bounded path joining every part of the walk uses, and the
// look at a file's first bytes.
#include "plan.h"

#include <cstdint>
#include <cstring>
#include <unordered_set>

#include "platform.h"
#include "tree.h"
#include "fatal.h"

// Gzip magic and the Deflate method code (RFC 1952, 2.3.1).
static const uint8_t GZIP_SIGNATURE[3] = {0x1F, 0x8B, 0x08};

bool join_path(char* out, const char* head, const char* middle, const char* tail)
{
    const size_t head_length = strlen(head);
    const size_t middle_length = strlen(middle);
    const size_t tail_length = strlen(tail);
    if (head_length + middle_length + tail_length >= PATH_CAPACITY) return false;
    memcpy(out, head, head_length);
    memcpy(out + head_length, middle, middle_length);
    memcpy(out + head_length + middle_length, tail, tail_length + 1);
    return true;
}

void join_path_or_die(char* out, const char* head, const char* middle, const char* tail)
{
    if (!join_path(out, head, middle, tail)) fatal_error("path too long %s", head);
}

// Length of the part of `path` that spells `root`: it is never lower-cased.
static size_t root_prefix_length(const char* path, const char* root)
{
    size_t i = 0;
    while (root[i] != '\0' && path[i] == root[i]) ++i;
    return i;
}

static void lower_case_from(std::string* name, size_t from)
{
    for (size_t i = from; i < name->size(); ++i) {
        char& c = (*name)[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
}

// The spelling of the names the run creates for `path`: with -u, lower case
// below the root. Where the file system ignores case, that spelling also
// reaches the existing file. Where it does not, only the file's own name is
// lower-cased, since the directories above it keep theirs.
static void build_created_name(const char* path, const char* root, int flags, std::string* out)
{
    out->assign(path);
    if ((flags & FLAG_LOWERCASE) == 0) return;
    size_t from = root_prefix_length(path, root);
    if (!NAMES_IGNORE_CASE) {
        const char* last_separator = strrchr(path, PATH_SEPARATOR);
        if (last_separator != nullptr && static_cast<size_t>(last_separator - path) >= from) {
            from = static_cast<size_t>(last_separator - path) + 1;
        }
    }
    lower_case_from(out, from);
}

// Index of the '.' that starts the name's suffix, or -1 for none. The search
// runs backwards and stops only at '/' or at the first character.
static ptrdiff_t find_suffix(const std::string& name)
{
    ptrdiff_t i = static_cast<ptrdiff_t>(name.size()) - 1;
    while (i > 0 && name[i] != '.' && name[i] != '/') --i;
    if (i < 0 || name[i] != '.') return -1;
    return i;
}

// What the file's name asks for; cuts created_name at a ".gz" suffix.
static int classify(std::string* created_name)
{
    const ptrdiff_t dot = find_suffix(*created_name);
    if (dot < 0) return CONVERT_NOTHING;
    const char* suffix = created_name->c_str() + dot;
    if (strcmp(suffix, ".hlp") == 0 || strcmp(suffix, ".tar") == 0) return CONVERT_RESTORE;
    if (strcmp(suffix, ".gz") == 0) {
        created_name->resize(static_cast<size_t>(dot));
        return CONVERT_DECOMPRESS;
    }
    return CONVERT_NOTHING;
}

// A name that starts with a dot is hidden: the walk passes it by.
bool is_listed_file(const DirectoryEntry& entry)
{
    return entry.name[0] != '.' && (entry.attributes & ATTRIBUTE_DIRECTORY) == 0;
}

bool is_listed_subdirectory(const DirectoryEntry& entry)
{
    return entry.name[0] != '.' && (entry.attributes & ATTRIBUTE_DIRECTORY) != 0;
}

void clear_plan(DirectoryPlan* plan)
{
    plan->count = 0;
}

// Adds the file `name` listed in `dir` to the plan; false (and nothing
// added) when its path does not fit.
static bool plan_file(DirectoryPlan* plan, const char* dir, const char* name, const char* root, int flags)
{
    char path[PATH_CAPACITY];
    if (!join_path(path, dir, SEPARATOR, name)) return false;
    if (plan->count == plan->files.size()) plan->files.emplace_back();
    FilePlan& file = plan->files[plan->count++];
    file.path.assign(path);
    // work_name is the compressed file as it exists: opened, renamed and
    // deleted under it. created_name spells every name the run creates.
    build_created_name(path, root, flags, &file.created_name);
    file.work_name.assign(NAMES_IGNORE_CASE ? file.created_name : file.path);
    file.action = classify(&file.created_name);
    file.read_ahead = false;
    return true;
}

int list_directory_plan(const DirectoryHandle* held, const char* dir, const char* pattern, const char* root,
                        int flags, DirectoryPlan* plan, std::vector<DirectoryEntry>* subdirectories)
{
    clear_plan(plan);
    DirectoryEntry entry;
    DirectoryListing* listing = find_first_file(held, pattern, &entry);
    if (listing == nullptr) return LIST_NOT_STARTED;
    int listed = LIST_DONE;
    do {
        if (subdirectories != nullptr && is_listed_subdirectory(entry)) subdirectories->push_back(entry);
        if (!is_listed_file(entry)) continue;
        if (plan->count == MAX_FILES_PER_DIRECTORY) {
            listed = LIST_TOO_MANY_FILES;
        } else if (!plan_file(plan, dir, entry.name, root, flags)) {
            listed = LIST_PATH_TOO_LONG;
        }
    } while (listed == LIST_DONE && find_next_file(listing, &entry));
    if (listed == LIST_DONE && last_error() != ERROR_CODE_NO_MORE_FILES) listed = LIST_BROKE_OFF;
    find_close(listing);
    return listed;
}

void plan_file_or_die(DirectoryPlan* plan, const char* dir, const char* name, const char* root, int flags)
{
    if (!plan_file(plan, dir, name, root, flags)) fatal_error("path too long %s", dir);
}

// Where names are matched without regard to case, so are the names here.
static std::string name_key(const std::string& name)
{
    std::string key(name);
    if (NAMES_IGNORE_CASE) lower_case_from(&key, 0);
    return key;
}

void plan_read_ahead(DirectoryPlan* plan)
{
    // Every name the conversions so far open, rename, create or delete.
    std::unordered_set<std::string> touched;
    for (size_t i = 0; i < plan->count; ++i) {
        FilePlan& file = plan->files[i];
        if (file.action == CONVERT_NOTHING) continue;
        file.read_ahead = touched.count(name_key(file.work_name)) == 0;
        touched.insert(name_key(file.work_name));
        if (file.action == CONVERT_RESTORE && file.created_name.size() + 3 < PATH_CAPACITY) {
            touched.insert(name_key(file.created_name + ".gz"));
        }
        touched.insert(name_key(file.created_name));
    }
}

int read_gzip_signature(const DirectoryHandle* dir, const char* name)
{
    const int fd = platform_open(dir, name, OPEN_READ_BINARY, 0);
    if (fd < 0) return SIGNATURE_UNOPENED;
    uint8_t head[3];
    int count = 0;
    while (count < static_cast<int>(sizeof head)) {
        const int n = platform_read(fd, head + count, static_cast<uint32_t>(sizeof head) - count);
        if (n < 0) {
            platform_close(fd);
            return SIGNATURE_UNREAD;
        }
        if (n == 0) break;
        count += n;
    }
    platform_close(fd);
    return count == 3 && memcmp(head, GZIP_SIGNATURE, sizeof head) == 0 ? SIGNATURE_GZIP : SIGNATURE_OTHER;
}
