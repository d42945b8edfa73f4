// The command line, the run as a whole and the marker file.
#include <unistd.h>

#include <filesystem>

#include "harness.h"

namespace {

const char HELLO[] = "hello, converted world\n";
constexpr uint32_t HELLO_TIME = 1000000000;  // 2001-09-09

class CommandLine : public TreeTest {};

TEST_F(CommandLine, WorkedExampleConvertsTheTreeInOrder)
{
    make_directory(root + "/S");
    write_file(root + "/a.gz", zlib_gzip(HELLO, HELLO_TIME));
    write_file(root + "/S/x.hlp", zlib_gzip("help text\n", HELLO_TIME + 1));
    const RunResult result = run();
    EXPECT_EQ(result.status, 0);
    const std::string s = root + "/S";
    EXPECT_EQ(without_banner_date(result.output),
              BANNER + directory_line(root) + unzipped(shown(root + "/a.gz"), shown(root + "/a")) +
                  directory_line(s) + renamed(shown(s + "/x.hlp"), shown(s + "/x.hlp.gz")) +
                  unzipped(shown(s + "/x.hlp.gz"), shown(s + "/x.hlp")) + "\n\n");
    EXPECT_EQ(list_tree(root), (std::vector<std::string>{"S/", "S/x.hlp", "a", "filesok.orv"}));
    EXPECT_EQ(read_file(root + "/a"), HELLO);
    EXPECT_EQ(read_file(s + "/x.hlp"), "help text\n");
    EXPECT_EQ(mtime_of(root + "/a"), HELLO_TIME);
    EXPECT_EQ(mtime_of(s + "/x.hlp"), HELLO_TIME + 1);
    expect_marker();
}

// Every accepted form runs the conversion; only 'u' changes what it does.
TEST_F(CommandLine, AcceptedFormsRunWithTheirFlags)
{
    const struct {
        std::vector<std::string> options;
        bool lower_case;
    } cases[] = {
        {{}, false},           {{"-u"}, true},        {{"-c"}, false},       {{"-uc"}, true},
        {{"-cu"}, true},       {{"-uu"}, true},       {{"-cc"}, false},      {{"-u", "-c"}, true},
        {{"-c", "-u"}, true},  {{"-u", "-u"}, true},  {{"-c", "-c"}, false},
    };
    const std::string gz = zlib_gzip(HELLO, HELLO_TIME);
    for (const auto& c : cases) {
        std::string label;
        for (const std::string& option : c.options) label += option + " ";
        SCOPED_TRACE("options: " + label);
        write_file(root + "/A.GZ", gz);
        const RunResult result = run(c.options);
        EXPECT_EQ(result.status, 0);
        expect_marker();
        if (c.lower_case) {
            expect_output(result.output,
                          directory_line(root) + unzipped(shown_lower(root + "/A.GZ"), shown_lower(root + "/a")),
                          {}, "\n\n");
            EXPECT_EQ(list_tree(root), (std::vector<std::string>{"a", "filesok.orv"}));
            EXPECT_EQ(read_file(root + "/a"), HELLO);
        } else {
            expect_output(result.output, directory_line(root), {}, "\n\n");
            EXPECT_EQ(list_tree(root), (std::vector<std::string>{"A.GZ", "filesok.orv"}));
        }
        std::filesystem::remove_all(root);
        make_directory(root);
    }
}

TEST_F(CommandLine, RejectedFormsPrintUsageAndTouchNothing)
{
    write_file(root + "/a.gz", zlib_gzip(HELLO, HELLO_TIME));
    const std::string dir = shown(root);
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"-u"},
        {"-U", dir},
        {"-C", dir},
        {"-", dir},
        {"--", dir},
        {"--u", dir},
        {"-x", dir},
        {"u", dir},
        {"-u-c", dir},
        {"-ucu", dir},
        {"-ux", dir},
        {"-uc", "-c", dir},
        {"-u", "-cu", dir},
        {"-u", "-c", "-u", dir},
        {"-u", "-c", "-dir"},
        {"-u", "-dir"},
        {"-dir"},
        {""},
        {"-u", ""},
        {"-u", "-c", ""},
        {dir, dir},
        {"-u", dir, dir},
    };
    for (const std::vector<std::string>& arguments : cases) {
        std::string label;
        for (const std::string& argument : arguments) label += "[" + argument + "] ";
        SCOPED_TRACE("arguments: " + label);
        const RunResult result = run_kavrelt(arguments);
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(without_banner_date(result.output), std::string(BANNER) + USAGE);
    }
    EXPECT_EQ(list_tree(root), (std::vector<std::string>{"a.gz"}));
}

TEST_F(CommandLine, EmptyDirectoryGetsOnlyTheMarker)
{
    const RunResult result = run();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(without_banner_date(result.output), BANNER + directory_line(root) + "\n\n");
    EXPECT_EQ(list_tree(root), (std::vector<std::string>{"filesok.orv"}));
    expect_marker();
}

TEST_F(CommandLine, ExistingMarkerIsReplacedWhole)
{
    write_file(root + "/filesok.orv", std::string(100, 'x'));
    EXPECT_EQ(run().status, 0);
    expect_marker();
}

// A missing directory, or a file in its place, lists as empty; the marker
// then cannot be created inside it. Win32 tolerates only "file not found" and
// "path not found": a file searched as a directory is an unexpected error.
TEST_F(CommandLine, DirectoryThatCannotBeListedFailsAtTheMarker)
{
    for (const bool is_file : {false, true}) {
        SCOPED_TRACE(is_file ? "a file" : "missing");
        const std::string dir = root + "/missing";
        if (is_file) write_file(dir, "not a directory\n");
        const RunResult result = run_kavrelt({shown(dir)});
        EXPECT_EQ(result.status, 2);
        const std::string failure = is_file && !target_system().posix
                                        ? "unexpected error\n"
                                        : "\nerror: could not open " + shown(dir + "/filesok.orv") + "\n";
        EXPECT_EQ(without_banner_date(result.output), BANNER + directory_line(dir) + failure);
    }
}

TEST_F(CommandLine, TrailingSeparatorIsKeptInEveryPath)
{
    write_file(root + "/a.gz", zlib_gzip(HELLO, HELLO_TIME));
    const std::string dir = shown(root) + target_system().separator;
    const std::string sep(1, target_system().separator);
    const RunResult result = run_kavrelt({dir});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(without_banner_date(result.output),
              BANNER + ("\n" + dir) + unzipped(dir + sep + "a.gz", dir + sep + "a") + "\n\n");
    EXPECT_EQ(read_file(root + "/a"), HELLO);
    expect_marker();
}

TEST_F(CommandLine, MarkerThatCannotBeCreatedFails)
{
    make_directory(root + "/filesok.orv");
    const RunResult result = run();
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(without_banner_date(result.output), BANNER + directory_line(root) + directory_line(root + "/filesok.orv") +
                                                      "\nerror: could not open " + shown(root + "/filesok.orv") + "\n");
}

// A link in the marker's place could make a privileged run overwrite any
// file on the system.
TEST_F(CommandLine, MarkerLinkIsNotFollowed)
{
    if (!target_system().posix) GTEST_SKIP() << "symbolic links";
    write_file(temp_dir + "/victim", "keep me\n");
    ASSERT_EQ(symlink((temp_dir + "/victim").c_str(), (root + "/filesok.orv").c_str()), 0);
    const RunResult result = run();
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(without_banner_date(result.output),
              BANNER + directory_line(root) + "\nerror: could not open " + shown(root + "/filesok.orv") + "\n");
    EXPECT_EQ(read_file(temp_dir + "/victim"), "keep me\n");
}

TEST_F(CommandLine, MarkerWrittenShortFails)
{
    if (!target_system().posix) GTEST_SKIP() << "resource limits";
    RunOptions options;
    options.file_size_limit = 10;
    const RunResult result = run({}, options);
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(without_banner_date(result.output),
              BANNER + directory_line(root) + "\nerror: could not write " + shown(root + "/filesok.orv") + "\n");
}

}  // namespace
