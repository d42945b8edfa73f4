// Which names convert_file acts on, and the names it produces.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "convert.h"
#include "deletions.h"
#include "plan.h"
#include "platform.h"
#include "tree.h"
#include "zlib_gzip.h"

namespace fs = std::filesystem;

namespace {

const char TEXT[] = "decoded text\n";

std::string read_all(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// The root's own spelling, dots and capitals included, never matters.
class ConvertFile : public testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = fs::temp_directory_path().string() + "/kavrelt-convert-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        temp = pattern;
        root = temp + "/Disc.V2";
        fs::create_directories(root + "/Sub.Dir");
    }
    void TearDown() override { fs::remove_all(temp); }

    // Converts one file holding `bytes` and returns the names left in its
    // directory; `printed` receives what convert_file printed.
    std::vector<std::string> convert(const std::string& name, const std::string& bytes, int flags,
                                     std::string* printed = nullptr)
    {
        const std::string dir = root + "/Sub.Dir";
        fs::remove_all(dir);
        fs::create_directories(dir);
        std::ofstream(dir + "/" + name, std::ios::binary) << bytes;
        DirectoryPlan plan{};
        plan_file_or_die(&plan, dir.c_str(), name.c_str(), root.c_str(), flags);
        DirectoryHandle* held = nullptr;
        EXPECT_EQ(open_root_directory(dir.c_str(), &held), DIRECTORY_OPENED);
        testing::internal::CaptureStdout();
        convert_file(held, plan.files[0], nullptr);
        // The compressed file is deleted once its output is durable.
        finish_deletions_or_die();
        close_directory(held);
        fflush(stdout);
        const std::string output = testing::internal::GetCapturedStdout();
        if (printed != nullptr) *printed = output;
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string temp;
    std::string root;
};

TEST_F(ConvertFile, SuffixDecidesWhatHappens)
{
    const std::string gz = zlib_gzip(TEXT);
    const struct {
        const char* name;
        int flags;
        const char* result;  // the one name left in the directory
        bool decoded;        // it holds the decoded text, not the gzip data
    } cases[] = {
        {"a.gz", FLAG_PLAIN, "a", true},
        {"a.b.gz", FLAG_PLAIN, "a.b", true},
        {"a.gz.gz", FLAG_PLAIN, "a.gz", true},
        {"a.tar.gz", FLAG_PLAIN, "a.tar", true},
        {"a.hlp", FLAG_PLAIN, "a.hlp", true},
        {"a.tar", FLAG_PLAIN, "a.tar", true},
        {"a.GZ", FLAG_PLAIN, "a.GZ", false},
        {"a.GZ", FLAG_LOWERCASE, "a", true},
        {"A.Hlp", FLAG_PLAIN, "A.Hlp", false},
        {"A.Hlp", FLAG_LOWERCASE, "a.hlp", true},
        {"ABC.TAR", FLAG_LOWERCASE | FLAG_TEXT_EOL, "abc.tar", true},
        {"a.hlp.txt", FLAG_PLAIN, "a.hlp.txt", false},
        {"a.tgz", FLAG_PLAIN, "a.tgz", false},
        {"a.gz~", FLAG_PLAIN, "a.gz~", false},
        {"gz", FLAG_PLAIN, "gz", false},
        {"a.", FLAG_PLAIN, "a.", false},
        {"NOEXT", FLAG_LOWERCASE, "NOEXT", false},
        {"README.TXT", FLAG_LOWERCASE, "README.TXT", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " flags " + std::to_string(c.flags));
        EXPECT_EQ(convert(c.name, gz, c.flags), std::vector<std::string>{c.result});
        EXPECT_EQ(read_all(root + "/Sub.Dir/" + c.result), c.decoded ? std::string(TEXT) : gz);
    }
}

// Names found keep their spelling; only the names the run makes are in
// lower case, and the directories above them are left as they are.
TEST_F(ConvertFile, LowerCaseOptionPrintsTheNamesUsed)
{
    std::string printed;
    const std::string dir = root + "/Sub.Dir/";
    convert("X.HLP", zlib_gzip(TEXT), FLAG_LOWERCASE, &printed);
    EXPECT_EQ(printed, "\n  renamed " + dir + "X.HLP to " + dir + "x.hlp.gz\n  unzipping " + dir + "x.hlp.gz to " +
                           dir + "x.hlp ... done.");
    convert("D.GZ", zlib_gzip(TEXT), FLAG_LOWERCASE, &printed);
    EXPECT_EQ(printed, "\n  unzipping " + dir + "D.GZ to " + dir + "d ... done.");
}

TEST_F(ConvertFile, FilesThatAreNotGzipStayAsTheyAre)
{
    for (const std::string& bytes : {std::string(), std::string("\x1f\x8b", 2), std::string("\x1f\x8b\x07xyz", 6),
                                    std::string("plain text\n")}) {
        std::string printed;
        EXPECT_EQ(convert("b.hlp", bytes, FLAG_PLAIN, &printed), std::vector<std::string>{"b.hlp"});
        EXPECT_EQ(read_all(root + "/Sub.Dir/b.hlp"), bytes);
        EXPECT_EQ(printed, "");
    }
}

}  // namespace
