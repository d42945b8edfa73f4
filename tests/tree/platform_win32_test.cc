// The Win32 platform layer against a real file system (wine's, when cross
// built): what a held directory keeps others from doing, and which
// directories are entered. Wine cannot make symbolic links or junctions, so
// nothing here reaches a link.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform.h"

namespace {

void make_directory(const std::string& path)
{
    ASSERT_TRUE(CreateDirectoryA(path.c_str(), nullptr)) << path << ": " << GetLastError();
}

void write_file(const std::string& path)
{
    FILE* file = fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr) << path;
    fputs("data\n", file);
    fclose(file);
}

// What the listing reported of a subdirectory; Win32 looks at no identity.
DirectoryEntry directory_entry(const char* name)
{
    DirectoryEntry entry{};
    snprintf(entry.name, sizeof entry.name, "%s", name);
    entry.attributes = ATTRIBUTE_DIRECTORY;
    return entry;
}

class PlatformWin32 : public testing::Test {
protected:
    void SetUp() override
    {
        char temp[MAX_PATH];
        ASSERT_GT(GetTempPathA(sizeof temp, temp), 0u);
        root = std::string(temp) + "kavrelt-platform-" + std::to_string(GetCurrentProcessId());
        make_directory(root);
    }
    void TearDown() override
    {
        for (auto it = made.rbegin(); it != made.rend(); ++it) {
            DeleteFileA(it->c_str());
            RemoveDirectoryA(it->c_str());
        }
        RemoveDirectoryA(root.c_str());
    }

    // Renames `path` away and back; returns the error of the first move, or
    // 0 when both succeeded.
    static DWORD rename_error(const std::string& path)
    {
        const std::string away = path + "-moved";
        if (!MoveFileExA(path.c_str(), away.c_str(), 0)) return GetLastError();
        EXPECT_TRUE(MoveFileExA(away.c_str(), path.c_str(), 0)) << path;
        return 0;
    }

    std::string root;
    std::vector<std::string> made;  // removed in reverse order
};

// Every directory from the root down to the one the walk works in is held:
// none of them can be renamed or deleted meanwhile, so the paths built from
// them lead where they led when they were listed. The walk's own rename of a
// file inside still works, and once let go, the directories move again.
TEST_F(PlatformWin32, HeldDirectoriesCannotBeRenamedOrDeleted)
{
    const std::string a = root + "\\a";
    const std::string b = a + "\\b";
    const std::string empty = a + "\\empty";
    for (const std::string& dir : {a, b, empty}) {
        make_directory(dir);
        made.push_back(dir);
    }
    write_file(b + "\\x.hlp");
    made.push_back(b + "\\x.hlp.gz");

    DirectoryHandle* held_root = nullptr;
    DirectoryHandle* held_a = nullptr;
    DirectoryHandle* held_b = nullptr;
    DirectoryHandle* held_empty = nullptr;
    const DirectoryEntry entry_a = directory_entry("a");
    const DirectoryEntry entry_b = directory_entry("b");
    const DirectoryEntry entry_empty = directory_entry("empty");
    ASSERT_EQ(open_root_directory(root.c_str(), &held_root), DIRECTORY_OPENED);
    ASSERT_EQ(open_subdirectory(held_root, a.c_str(), &entry_a, &held_a), DIRECTORY_OPENED);
    ASSERT_EQ(open_subdirectory(held_a, b.c_str(), &entry_b, &held_b), DIRECTORY_OPENED);
    ASSERT_EQ(open_subdirectory(held_a, empty.c_str(), &entry_empty, &held_empty), DIRECTORY_OPENED);

    for (const std::string& dir : {root, a, b, empty}) EXPECT_EQ(rename_error(dir), ERROR_SHARING_VIOLATION) << dir;
    EXPECT_FALSE(RemoveDirectoryA(empty.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(platform_rename(held_b, (b + "\\x.hlp").c_str(), (b + "\\x.hlp.gz").c_str()), 0);

    close_directory(held_empty);
    close_directory(held_b);
    close_directory(held_a);
    close_directory(held_root);
    for (const std::string& dir : {b, a}) EXPECT_EQ(rename_error(dir), 0u) << dir;
    EXPECT_TRUE(RemoveDirectoryA(empty.c_str()));
}

// What is not there as a directory is the missing case; a file named as the
// root fails as a search inside a file always did ("unexpected error").
TEST_F(PlatformWin32, DirectoryThatIsNotThereIsMissing)
{
    write_file(root + "\\file");
    made.push_back(root + "\\file");
    DirectoryHandle* held_root = nullptr;
    ASSERT_EQ(open_root_directory(root.c_str(), &held_root), DIRECTORY_OPENED);
    const DirectoryEntry entry = directory_entry("sub");
    for (const char* name : {"\\missing", "\\file", "\\file\\sub", "\\missing\\sub"}) {
        DirectoryHandle* held = nullptr;
        EXPECT_EQ(open_subdirectory(held_root, (root + name).c_str(), &entry, &held), DIRECTORY_MISSING) << name;
    }
    close_directory(held_root);
    DirectoryHandle* held = nullptr;
    EXPECT_EQ(open_root_directory((root + "\\missing").c_str(), &held), DIRECTORY_MISSING);
    EXPECT_EQ(open_root_directory((root + "\\file").c_str(), &held), DIRECTORY_FAILED);
}

}  // namespace
