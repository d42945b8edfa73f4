// The POSIX platform layer against a real file system: what the listing
// reports, how its failures map to error codes, and the file calls' guards.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "platform.h"

namespace {

class PlatformPosix : public testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = std::filesystem::temp_directory_path().string() + "/kavrelt-platform-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    void write(const std::string& name, const std::string& bytes, mode_t mode = 0644)
    {
        const int fd = open((dir + "/" + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        close(fd);
    }

    // Every entry of a listing of `pattern`, name -> attributes.
    std::map<std::string, uint32_t> list(const std::string& pattern)
    {
        std::map<std::string, uint32_t> entries;
        DirectoryEntry entry;
        DirectoryListing* listing = find_first_file(pattern.c_str(), &entry);
        if (listing == nullptr) return entries;
        do entries[entry.name] = entry.attributes;
        while (find_next_file(listing, &entry));
        find_close(listing);
        return entries;
    }

    std::string dir;
};

TEST_F(PlatformPosix, ListingReportsDirectoriesAndFilesButNoSpecialFiles)
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
        {"link-to-dir", 0},         {"link-to-file", 0},         {"dangling", 0},
    };
    EXPECT_EQ(list(dir + "/*.*"), expected);
    EXPECT_EQ(list(dir + "/sub/*.*").size(), 2u);
}

TEST_F(PlatformPosix, ListingFailuresMapToErrorCodes)
{
    write("file", "x");
    DirectoryEntry entry;
    const struct {
        std::string pattern;
        uint32_t code;
    } cases[] = {
        {dir + "/missing/*.*", ERROR_CODE_FILE_NOT_FOUND},
        {dir + "/missing/deeper/*.*", ERROR_CODE_FILE_NOT_FOUND},
        {dir + "/file/*.*", ERROR_CODE_PATH_NOT_FOUND},
        {dir + "/" + std::string(300, 'n') + "/*.*", 5},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(find_first_file(c.pattern.c_str(), &entry), nullptr) << c.pattern;
        EXPECT_EQ(last_error(), c.code) << c.pattern;
    }
}

TEST_F(PlatformPosix, RenameNeverReplaces)
{
    write("from", "new");
    write("to", "old");
    EXPECT_EQ(platform_rename((dir + "/from").c_str(), (dir + "/to").c_str()), -1);
    std::error_code error;
    EXPECT_EQ(std::filesystem::file_size(dir + "/from", error), 3u);
    EXPECT_EQ(platform_rename((dir + "/from").c_str(), (dir + "/fresh").c_str()), 0);
    EXPECT_FALSE(std::filesystem::exists(dir + "/from"));
    EXPECT_TRUE(std::filesystem::exists(dir + "/fresh"));
}

TEST_F(PlatformPosix, OpenForReadingNeitherHangsOnFifosNorOpensDirectories)
{
    ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0644), 0);
    const int fd = platform_open((dir + "/fifo").c_str(), OPEN_READ_BINARY, 0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    char byte;
    EXPECT_EQ(platform_read(fd, &byte, 1), 0);
    EXPECT_EQ(platform_close(fd), 0);
    EXPECT_EQ(platform_open(dir.c_str(), OPEN_READ_BINARY, 0), -1);
    EXPECT_EQ(platform_open((dir + "/missing").c_str(), OPEN_READ_BINARY, 0), -1);
}

TEST_F(PlatformPosix, CreateKeepsOnlyPermissionBitsAndRefusesLinks)
{
    const mode_t old_umask = umask(0);
    const int fd = platform_open((dir + "/out").c_str(), OPEN_CREATE_BINARY, S_IFREG | 06775);
    umask(old_umask);
    ASSERT_GE(fd, 0);
    int mode = 0;
    ASSERT_EQ(platform_fstat_mode(fd, &mode), 0);
    EXPECT_EQ(mode, S_IFREG | 0775);
    EXPECT_EQ(platform_write(fd, "abc", 3), 3);
    platform_close(fd);

    write("existing", "longer content");
    const int again = platform_open((dir + "/existing").c_str(), OPEN_CREATE_BINARY, 0644);
    ASSERT_GE(again, 0);
    platform_close(again);
    EXPECT_EQ(std::filesystem::file_size(dir + "/existing"), 0u);

    ASSERT_EQ(symlink("out", (dir + "/link").c_str()), 0);
    EXPECT_EQ(platform_open((dir + "/link").c_str(), OPEN_CREATE_BINARY, 0644), -1);
    EXPECT_EQ(std::filesystem::file_size(dir + "/out"), 3u);
}

TEST_F(PlatformPosix, UtimeSetsBothTimesIncludingBefore1970)
{
    write("file", "x");
    const std::string name = dir + "/file";
    for (const int64_t seconds : {int64_t{-2147483648LL}, int64_t{-1}, int64_t{1}, int64_t{4102444800LL}}) {
        ASSERT_EQ(platform_utime(name.c_str(), seconds), 0) << seconds;
        struct stat info;
        ASSERT_EQ(stat(name.c_str(), &info), 0);
        EXPECT_EQ(info.st_mtime, seconds);
        EXPECT_EQ(info.st_atime, seconds);
    }
    EXPECT_EQ(platform_utime((dir + "/missing").c_str(), 1), -1);
}

}  // namespace
