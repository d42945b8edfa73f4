// The POSIX platform layer against a real file system: what the listing
// reports, how its failures map to error codes, which directories may be
// entered, and the file calls' guards.
#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "platform.h"

// The listing's readdir and fstatat calls come here (the test binary is
// linked with --wrap), so a test can make readdir withhold entry types, as
// some file systems do, or fail, and can count the fstatat calls.
extern "C" {
dirent* __real_readdir(DIR* dir);
int __real_fstatat(int fd, const char* name, struct stat* info, int flags);
}

namespace {

struct ReaddirPlan {
    bool hide_types;
    int fail_at;  // the readdir call, from 1, that fails with EIO; 0 for none
    int readdir_calls;
    int fstatat_calls;
};

ReaddirPlan readdir_plan;

}  // namespace

extern "C" dirent* __wrap_readdir(DIR* dir)
{
    if (++readdir_plan.readdir_calls == readdir_plan.fail_at) {
        errno = EIO;
        return nullptr;
    }
    dirent* raw = __real_readdir(dir);
    if (raw != nullptr && readdir_plan.hide_types) raw->d_type = DT_UNKNOWN;
    return raw;
}

extern "C" int __wrap_fstatat(int fd, const char* name, struct stat* info, int flags)
{
    ++readdir_plan.fstatat_calls;
    return __real_fstatat(fd, name, info, flags);
}

namespace {

class PlatformPosix : public testing::Test {
protected:
    void SetUp() override
    {
        readdir_plan = ReaddirPlan{};
        std::string pattern = std::filesystem::temp_directory_path().string() + "/kavrelt-platform-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        ASSERT_EQ(open_root_directory(dir.c_str(), &held), DIRECTORY_OPENED);
    }
    void TearDown() override
    {
        close_directory(held);
        std::filesystem::remove_all(dir);
    }

    void write(const std::string& name, const std::string& bytes, mode_t mode = 0644)
    {
        const int fd = open((dir + "/" + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        close(fd);
    }

    // Every entry of a listing of `listed`, name -> entry.
    std::map<std::string, DirectoryEntry> list_entries(const DirectoryHandle* listed)
    {
        std::map<std::string, DirectoryEntry> entries;
        DirectoryEntry entry;
        DirectoryListing* listing = find_first_file(listed, "", &entry);
        if (listing == nullptr) return entries;
        do entries[entry.name] = entry;
        while (find_next_file(listing, &entry));
        find_close(listing);
        return entries;
    }
    std::map<std::string, uint32_t> list(const DirectoryHandle* listed)
    {
        std::map<std::string, uint32_t> attributes;
        for (const auto& [name, entry] : list_entries(listed)) attributes[name] = entry.attributes;
        return attributes;
    }
    std::string path(const std::string& name) const { return dir + "/" + name; }

    std::string dir;
    DirectoryHandle* held = nullptr;
};

TEST_F(PlatformPosix, ListingReportsOnlyDirectoriesAndRegularFiles)
{
    write("file", "x");
    ASSERT_EQ(mkdir((dir + "/sub").c_str(), 0755), 0);
    ASSERT_EQ(symlink("sub", (dir + "/link-to-dir").c_str()), 0);
    ASSERT_EQ(symlink("file", (dir + "/link-to-file").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", (dir + "/dangling").c_str()), 0);
    ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0644), 0);
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s/socket", dir.c_str());
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    close(sock);

    const std::map<std::string, uint32_t> expected = {
        {".", ATTRIBUTE_DIRECTORY}, {"..", ATTRIBUTE_DIRECTORY}, {"sub", ATTRIBUTE_DIRECTORY}, {"file", 0},
    };
    // Where readdir says an entry is a file, a link or "." or "..", nothing
    // more is asked; another directory, and anything readdir does not type,
    // is examined without following links.
    for (const bool hide_types : {false, true}) {
        readdir_plan = ReaddirPlan{};
        readdir_plan.hide_types = hide_types;
        EXPECT_EQ(list(held), expected) << "types hidden: " << hide_types;
        EXPECT_EQ(readdir_plan.fstatat_calls, hide_types ? 9 : 1);
    }
    readdir_plan = ReaddirPlan{};
    DirectoryHandle* sub = nullptr;
    ASSERT_EQ(open_subdirectory(held, path("sub").c_str(), &list_entries(held)["sub"], &sub), DIRECTORY_OPENED);
    EXPECT_EQ(list(sub).size(), 2u);
    close_directory(sub);
}

// A subdirectory is entered only as the directory the listing reported: not
// once a link or another directory has taken its place.
TEST_F(PlatformPosix, SubdirectoryIsEnteredOnlyAsListed)
{
    ASSERT_EQ(mkdir(path("sub").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(path("elsewhere").c_str(), 0755), 0);
    const DirectoryEntry listed = list_entries(held)["sub"];
    DirectoryHandle* sub = nullptr;
    ASSERT_EQ(rename(path("sub").c_str(), path("away").c_str()), 0);
    ASSERT_EQ(symlink("away", path("sub").c_str()), 0);
    EXPECT_EQ(open_subdirectory(held, path("sub").c_str(), &listed, &sub), DIRECTORY_MISSING);
    ASSERT_EQ(unlink(path("sub").c_str()), 0);
    EXPECT_EQ(open_subdirectory(held, path("sub").c_str(), &listed, &sub), DIRECTORY_MISSING);
    ASSERT_EQ(rename(path("elsewhere").c_str(), path("sub").c_str()), 0);
    EXPECT_EQ(open_subdirectory(held, path("sub").c_str(), &listed, &sub), DIRECTORY_MISSING);
    ASSERT_EQ(rename(path("sub").c_str(), path("elsewhere").c_str()), 0);
    ASSERT_EQ(rename(path("away").c_str(), path("sub").c_str()), 0);
    ASSERT_EQ(open_subdirectory(held, path("sub").c_str(), &listed, &sub), DIRECTORY_OPENED);
    close_directory(sub);
}

TEST_F(PlatformPosix, ListingFailuresMapToErrorCodes)
{
    write("file", "x");
    DirectoryEntry entry;
    const struct {
        std::string path;
        int result;
    } cases[] = {
        {dir + "/missing", DIRECTORY_MISSING},
        {dir + "/missing/deeper", DIRECTORY_MISSING},
        {dir + "/file", DIRECTORY_MISSING},
        {dir + "/" + std::string(300, 'n'), DIRECTORY_FAILED},
    };
    for (const auto& c : cases) {
        DirectoryHandle* handle = nullptr;
        EXPECT_EQ(open_root_directory(c.path.c_str(), &handle), c.result) << c.path;
    }
    // A read that fails, at the first entry or later, is no end of the
    // listing: the directory exists and must not pass for an empty one.
    readdir_plan = ReaddirPlan{};
    readdir_plan.fail_at = 1;
    EXPECT_EQ(find_first_file(held, "", &entry), nullptr);
    EXPECT_EQ(last_error(), 5u);
    readdir_plan = ReaddirPlan{};
    readdir_plan.fail_at = 2;
    DirectoryListing* listing = find_first_file(held, "", &entry);
    ASSERT_NE(listing, nullptr);
    EXPECT_FALSE(find_next_file(listing, &entry));
    EXPECT_EQ(last_error(), 5u);
    find_close(listing);
}

TEST_F(PlatformPosix, RenameNeverReplaces)
{
    write("from", "new");
    write("to", "old");
    EXPECT_EQ(platform_rename(held, path("from").c_str(), path("to").c_str()), -1);
    std::error_code error;
    EXPECT_EQ(std::filesystem::file_size(dir + "/from", error), 3u);
    EXPECT_EQ(platform_rename(held, path("from").c_str(), path("fresh").c_str()), 0);
    EXPECT_FALSE(std::filesystem::exists(dir + "/from"));
    EXPECT_TRUE(std::filesystem::exists(dir + "/fresh"));
}

TEST_F(PlatformPosix, OpenForReadingNeitherHangsOnFifosNorOpensDirectories)
{
    ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0644), 0);
    const int fd = platform_open(held, path("fifo").c_str(), OPEN_READ_BINARY, 0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    char byte;
    EXPECT_EQ(platform_read(fd, &byte, 1), 0);
    EXPECT_EQ(platform_close(fd), 0);
    ASSERT_EQ(mkdir(path("sub").c_str(), 0755), 0);
    EXPECT_EQ(platform_open(held, path("sub").c_str(), OPEN_READ_BINARY, 0), -1);
    EXPECT_EQ(platform_open(held, path("missing").c_str(), OPEN_READ_BINARY, 0), -1);
}

// Every file call acts on the held directory, whatever its path now leads
// to, and on a link in a file's place rather than on what it points to.
TEST_F(PlatformPosix, FileCallsStayInTheHeldDirectoryAndNeverFollowLinks)
{
    write("file", "held");
    const std::string outside = dir + ".outside";
    ASSERT_EQ(rename(dir.c_str(), (dir + ".moved").c_str()), 0);
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    write("file", "decoy");
    ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
    std::ofstream(outside + "/target") << "outside";
    const int fd = platform_open(held, path("file").c_str(), OPEN_READ_BINARY, 0);
    ASSERT_GE(fd, 0);
    char bytes[8] = {};
    EXPECT_EQ(platform_read(fd, bytes, sizeof bytes), 4);
    EXPECT_STREQ(bytes, "held");
    platform_close(fd);

    const std::string link = dir + ".moved/link";
    ASSERT_EQ(symlink((outside + "/target").c_str(), link.c_str()), 0);
    EXPECT_EQ(platform_open(held, path("link").c_str(), OPEN_READ_BINARY, 0), -1);
    struct stat before;
    ASSERT_EQ(stat((outside + "/target").c_str(), &before), 0);
    platform_utime(held, path("link").c_str(), 1000);
    EXPECT_EQ(platform_rename(held, path("link").c_str(), path("renamed").c_str()), 0);
    EXPECT_EQ(platform_unlink(held, path("renamed").c_str()), 0);
    struct stat after;
    ASSERT_EQ(stat((outside + "/target").c_str(), &after), 0);
    EXPECT_EQ(after.st_mtime, before.st_mtime);
    struct stat gone;
    EXPECT_NE(lstat((dir + ".moved/renamed").c_str(), &gone), 0);
    std::filesystem::remove_all(dir + ".moved");
    std::filesystem::remove_all(outside);
}

// Until the output has the compressed file's group, its group may do no
// more than others may; then it gets the permission bits, never more.
TEST_F(PlatformPosix, CreateKeepsOnlyPermissionBitsAndRefusesLinks)
{
    const mode_t mask = umask(022);
    umask(mask);
    const FileStatus source = {S_IFREG | 06775, 0, static_cast<uint32_t>(getuid()), static_cast<uint32_t>(getgid()), 0, 0};
    const int fd = platform_open(held, path("out").c_str(), OPEN_CREATE_BINARY, source.mode);
    ASSERT_GE(fd, 0);
    FileStatus status{};
    ASSERT_EQ(platform_fstat(fd, &status), 0);
    EXPECT_EQ(status.mode, static_cast<int>(S_IFREG | (0755 & ~mask)));
    platform_give_owner(held, fd, source);
    ASSERT_EQ(platform_fstat(fd, &status), 0);
    EXPECT_EQ(status.mode, static_cast<int>(S_IFREG | (0775 & ~mask)));
    EXPECT_EQ(platform_write(fd, "abc", 3), 3);
    platform_close(fd);

    write("existing", "longer content");
    const int again = platform_open(held, path("existing").c_str(), OPEN_CREATE_BINARY, 0644);
    ASSERT_GE(again, 0);
    platform_close(again);
    EXPECT_EQ(std::filesystem::file_size(dir + "/existing"), 0u);

    ASSERT_EQ(symlink("out", (dir + "/link").c_str()), 0);
    EXPECT_EQ(platform_open(held, path("link").c_str(), OPEN_CREATE_BINARY, 0644), -1);
    EXPECT_EQ(std::filesystem::file_size(dir + "/out"), 3u);
}

TEST_F(PlatformPosix, UtimeSetsBothTimesIncludingBefore1970)
{
    write("file", "x");
    const std::string name = dir + "/file";
    for (const int64_t seconds : {int64_t{-2147483648LL}, int64_t{-1}, int64_t{1}, int64_t{4102444800LL}}) {
        ASSERT_EQ(platform_utime(held, name.c_str(), seconds), 0) << seconds;
        struct stat info;
        ASSERT_EQ(stat(name.c_str(), &info), 0);
        EXPECT_EQ(info.st_mtime, seconds);
        EXPECT_EQ(info.st_atime, seconds);
    }
    EXPECT_EQ(platform_utime(held, path("missing").c_str(), 1), -1);
}

}  // namespace
