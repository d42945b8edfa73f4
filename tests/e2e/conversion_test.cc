// What a run does to each kind of file, as seen from outside: messages,
// resulting names, contents, times and modes.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "harness.h"

namespace {

constexpr uint32_t TIME = 1300000000;  // 2011-03-13

class Conversion : public TreeTest {};

TEST_F(Conversion, EachKindOfFileGetsItsOutcome)
{
    const std::string r = root;
    write_file(r + "/a.gz", zlib_gzip("alpha\n", TIME));
    write_file(r + "/b.hlp", zlib_gzip("bravo\n", TIME + 1));
    write_file(r + "/c.tar", zlib_gzip("charlie\n", TIME + 2));
    write_file(r + "/d.hlp", "plain help text\n");
    write_file(r + "/e.tar", "");
    write_file(r + "/f.hlp", std::string("\x1f\x8b", 2));        // too short for the signature
    write_file(r + "/g.tar", std::string("\x1f\x8b\x07rest", 7));  // not the Deflate method
    write_file(r + "/h.txt", zlib_gzip("hotel\n", TIME));
    write_file(r + "/i.gz.txt", zlib_gzip("india\n", TIME));
    write_file(r + "/noext", zlib_gzip("juliet\n", TIME));
    write_file(r + "/.k.gz", zlib_gzip("kilo\n", TIME));
    make_directory(r + "/.hidden");
    write_file(r + "/.hidden/l.gz", zlib_gzip("lima\n", TIME));
    make_directory(r + "/m.dir");
    write_file(r + "/m.dir/noext", zlib_gzip("mike\n", TIME));

    const RunResult result = run();
    EXPECT_EQ(result.status, 0);
    expect_output(result.output, directory_line(r),
                  {unzipped(shown(r + "/a.gz"), shown(r + "/a")),
                   renamed(shown(r + "/b.hlp"), shown(r + "/b.hlp.gz")) +
                       unzipped(shown(r + "/b.hlp.gz"), shown(r + "/b.hlp")),
                   renamed(shown(r + "/c.tar"), shown(r + "/c.tar.gz")) +
                       unzipped(shown(r + "/c.tar.gz"), shown(r + "/c.tar"))},
                  directory_line(r + "/m.dir") + "\n\n");
    EXPECT_EQ(list_tree(r), (std::vector<std::string>{".hidden/", ".hidden/l.gz", ".k.gz", "a", "b.hlp", "c.tar",
                                                      "d.hlp", "e.tar", "f.hlp", "filesok.orv", "g.tar", "h.txt",
                                                      "i.gz.txt", "m.dir/", "m.dir/noext", "noext"}));
    EXPECT_EQ(read_file(r + "/a"), "alpha\n");
    EXPECT_EQ(read_file(r + "/b.hlp"), "bravo\n");
    EXPECT_EQ(read_file(r + "/c.tar"), "charlie\n");
    EXPECT_EQ(mtime_of(r + "/a"), TIME);
    EXPECT_EQ(mtime_of(r + "/b.hlp"), TIME + 1);
    EXPECT_EQ(mtime_of(r + "/c.tar"), TIME + 2);
    EXPECT_EQ(read_file(r + "/d.hlp"), "plain help text\n");
    EXPECT_EQ(read_file(r + "/g.tar"), std::string("\x1f\x8b\x07rest", 7));
    expect_marker();
}

TEST_F(Conversion, DataThatIsNotGzipStopsTheRunAndKeepsTheFile)
{
    for (const std::string bytes : {"this is not gzip data\n", ""}) {
        SCOPED_TRACE("content [" + bytes + "]");
        write_file(root + "/a.gz", bytes);
        const RunResult result = run();
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(without_banner_date(result.output),
                  BANNER + directory_line(root) + "\n  unzipping " + shown(root + "/a.gz") + " to " +
                      shown(root + "/a") + " ...\nerror: could not unzip " + shown(root + "/a.gz") + "\n");
        EXPECT_EQ(read_file(root + "/a.gz"), bytes);
        EXPECT_EQ(read_file(root + "/a"), "");
        EXPECT_FALSE(file_exists(root + "/filesok.orv"));
    }
}

TEST_F(Conversion, RestoredNameThatExistsIsNeverReplaced)
{
    const std::string gz = zlib_gzip("tango\n", TIME);
    write_file(root + "/b.tar", gz);
    make_directory(root + "/b.tar.gz");
    const RunResult result = run();
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(without_banner_date(result.output), BANNER + directory_line(root) + "\nerror: could not rename " +
                                                      shown(root + "/b.tar") + " to " + shown(root + "/b.tar.gz") +
                                                      "\n");
    EXPECT_EQ(read_file(root + "/b.tar"), gz);
}

TEST_F(Conversion, ExistingOutputIsOverwritten)
{
    write_file(root + "/a", std::string(100000, 'x'));
    write_file(root + "/a.gz", zlib_gzip("short\n", TIME));
    EXPECT_EQ(run().status, 0);
    EXPECT_EQ(read_file(root + "/a"), "short\n");
    EXPECT_FALSE(file_exists(root + "/a.gz"));
}

// A header time of 0 means none was recorded; others are signed 32-bit.
TEST_F(Conversion, OutputTakesTheHeaderTime)
{
    const int64_t started = time(nullptr);
    const struct {
        const char* name;
        uint32_t header_time;
        int64_t expected;
    } cases[] = {
        {"zero", 0, 0}, {"one", 1, 1}, {"max", 0x7FFFFFFF, 0x7FFFFFFF},
        {"minus_one", 0xFFFFFFFF, -1}, {"min", 0x80000000, -2147483648LL},
    };
    std::vector<std::string> groups;
    for (const auto& c : cases) {
        const std::string name = root + "/" + c.name;
        write_file(name + ".gz", zlib_gzip(c.name, c.header_time));
        groups.push_back(unzipped(shown(name + ".gz"), shown(name)));
    }
    const RunResult result = run();
    EXPECT_EQ(result.status, 0);
    expect_output(result.output, directory_line(root), groups, "\n\n");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(read_file(root + "/" + c.name), c.name);
        if (c.header_time == 0) {
            EXPECT_GE(mtime_of(root + "/" + c.name), started - 1);
        } else {
            EXPECT_EQ(mtime_of(root + "/" + c.name), c.expected);
        }
    }
}

TEST_F(Conversion, UpperCaseSuffixesNeedTheLowerCaseOption)
{
    make_directory(root + "/SUB");
    write_file(root + "/SUB/D.GZ", zlib_gzip("delta\n", TIME));
    write_file(root + "/SUB/X.HLP", zlib_gzip("xray\n", TIME));
    write_file(root + "/SUB/Y.Tar", zlib_gzip("yankee\n", TIME));
    write_file(root + "/SUB/README.TXT", "readme\n");
    const std::vector<std::string> before = list_tree(root);
    const RunResult result = run();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(without_banner_date(result.output),
              BANNER + directory_line(root) + directory_line(root + "/SUB") + "\n\n");
    std::vector<std::string> after = before;
    after.push_back("filesok.orv");
    std::sort(after.begin(), after.end());
    EXPECT_EQ(list_tree(root), after);
}

// Names the run creates are lower case below the root; directories keep
// their spelling, and so do files that are not converted.
TEST_F(Conversion, LowerCaseOptionSpellsCreatedNamesInLowerCase)
{
    root += "/Disc";
    make_directory(root + "/SUB");
    const std::string sub = root + "/SUB";
    write_file(sub + "/D.GZ", zlib_gzip("delta\n", TIME));
    write_file(sub + "/X.HLP", zlib_gzip("xray\n", TIME + 1));
    write_file(sub + "/Y.Tar", zlib_gzip("yankee\n", TIME + 2));
    write_file(sub + "/README.TXT", "readme\n");
    const RunResult result = run({"-u"});
    EXPECT_EQ(result.status, 0);
    expect_output(result.output, directory_line(root) + directory_line(sub),
                  {unzipped(shown_lower(sub + "/D.GZ"), shown_lower(sub + "/d")),
                   renamed(shown_lower(sub + "/X.HLP"), shown_lower(sub + "/x.hlp.gz")) +
                       unzipped(shown_lower(sub + "/x.hlp.gz"), shown_lower(sub + "/x.hlp")),
                   renamed(shown_lower(sub + "/Y.Tar"), shown_lower(sub + "/y.tar.gz")) +
                       unzipped(shown_lower(sub + "/y.tar.gz"), shown_lower(sub + "/y.tar"))},
                  "\n\n");
    EXPECT_EQ(list_tree(root),
              (std::vector<std::string>{"SUB/", "SUB/README.TXT", "SUB/d", "SUB/x.hlp", "SUB/y.tar", "filesok.orv"}));
    EXPECT_EQ(read_file(sub + "/d"), "delta\n");
    EXPECT_EQ(read_file(sub + "/x.hlp"), "xray\n");
    EXPECT_EQ(mtime_of(sub + "/y.tar"), TIME + 2);
}

// Only the permission bits pass to the output: a set-user-ID bit on a
// stranger's file must not make a program that a privileged run created.
TEST_F(Conversion, OutputGetsOnlyThePermissionBits)
{
    if (!target_system().posix) GTEST_SKIP() << "POSIX modes";
    const struct {
        const char* name;
        mode_t mode;
        mode_t expected;  // after the run's umask of 022
    } cases[] = {{"setuid", 04755, 0755}, {"setgid", 02750, 0750}, {"private", 0600, 0600}, {"open", 0777, 0755}};
    for (const auto& c : cases) {
        write_file(root + "/" + c.name + ".gz", zlib_gzip(c.name, TIME));
        ASSERT_EQ(chmod((root + "/" + c.name + ".gz").c_str(), c.mode), 0);
    }
    EXPECT_EQ(run().status, 0);
    for (const auto& c : cases) {
        struct stat info;
        ASSERT_EQ(stat((root + "/" + c.name).c_str(), &info), 0) << c.name;
        EXPECT_EQ(info.st_mode & 07777, c.expected) << c.name;
    }
}

// Makes the compressed file `path` below `root` with that owner, group and mode.
void make_owned_file(const std::string& root, const char* path, uid_t user, gid_t group, mode_t mode)
{
    const std::string file = root + "/" + path;
    write_file(file, zlib_gzip(std::string(path) + " text\n", TIME));
    ASSERT_EQ(chown(file.c_str(), user, group), 0);
    ASSERT_EQ(chmod(file.c_str(), mode), 0);
}

// Checks the owner, group and mode of the output of the compressed file
// `path` below `root`.
void expect_output_owned(const std::string& root, const char* path, uid_t user, gid_t group, mode_t mode)
{
    std::string output = root + "/" + path;
    if (output.ends_with(".gz")) output.resize(output.size() - 3);
    struct stat info;
    ASSERT_EQ(lstat(output.c_str(), &info), 0) << output;
    EXPECT_EQ(info.st_uid, user) << output;
    EXPECT_EQ(info.st_gid, group) << output;
    EXPECT_EQ(info.st_mode & 07777, mode) << output;
}

// Run as root on a shared tree, every output belongs to its compressed
// file's owner and group, with its permission bits: the directory's first
// file is decoded by the walk, the later ones by a decoding thread, and the
// ".hlp" and ".tar" files are restored first.
TEST_F(Conversion, OutputsKeepTheirOwnerAndGroup)
{
    if (!target_system().posix) GTEST_SKIP() << "POSIX owners";
    if (geteuid() != 0) GTEST_SKIP() << "only root may give files away";
    const struct {
        const char* path;
        uid_t user;
        gid_t group;
        mode_t mode;
    } files[] = {{"a.gz", 1201, 1301, 0640},    {"b.hlp", 1202, 1302, 0600},     {"c.tar", 1203, 0, 0664},
                 {"sub/d.gz", 1204, 1304, 0660}, {"sub/e.hlp", 0, 1305, 0640}, {"sub/f.gz", 1206, 1206, 0604}};
    make_directory(root + "/sub");
    for (const auto& f : files) make_owned_file(root, f.path, f.user, f.group, f.mode);
    const RunResult result = run();
    EXPECT_EQ(result.status, 0) << result.output;
    // The run's umask is 022.
    for (const auto& f : files) expect_output_owned(root, f.path, f.user, f.group, f.mode & ~mode_t{022});
}

// Run by an ordinary user, an output gets the compressed file's group only
// where the user may give it. Where it cannot, the group the output got may
// do no more with it than others may: a file its group could read but
// others could not stays unreadable to the user's own group.
TEST_F(Conversion, OrdinaryUserNarrowsTheGroupItCannotGive)
{
    if (!target_system().posix) GTEST_SKIP() << "POSIX owners";
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make a tree for another user";
    constexpr uid_t USER = 4242;
    constexpr gid_t OWN = 4242;
    constexpr gid_t FOREIGN = 4343;  // not one of the user's groups
    const struct {
        const char* path;
        gid_t group;
        mode_t mode;
        gid_t expected_group;
        mode_t expected_mode;
    } files[] = {{"own.gz", OWN, 0640, OWN, 0640},          {"foreign.gz", FOREIGN, 0640, OWN, 0600},
                 {"foreign.hlp", FOREIGN, 0664, OWN, 0644}, {"sub/own.gz", OWN, 0660, OWN, 0640},
                 {"sub/foreign.gz", FOREIGN, 0660, OWN, 0600}, {"sub/shared.tar", FOREIGN, 0644, OWN, 0644}};
    ASSERT_EQ(chmod(temp_dir.c_str(), 0755), 0);
    make_directory(root + "/sub");
    for (const std::string& dir : {root, root + "/sub"}) ASSERT_EQ(chown(dir.c_str(), USER, OWN), 0);
    for (const auto& f : files) make_owned_file(root, f.path, USER, f.group, f.mode);
    RunOptions as_user;
    as_user.user = USER;
    as_user.group = OWN;
    const RunResult result = run({}, as_user);
    EXPECT_EQ(result.status, 0) << result.output;
    for (const auto& f : files) expect_output_owned(root, f.path, USER, f.expected_group, f.expected_mode);
}

// Whether a listing of `dir` gives `first` before `second`.
bool listed_before(const std::string& dir, const std::string& first, const std::string& second)
{
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name == first) return true;
        if (name == second) return false;
    }
    return false;
}

// A compressed file is deleted once its output is on disk, which may be
// later than its conversion. Converting x.gz and then x.gz.gz, which
// creates a new x.gz, the old one must be gone before the new one is
// written, and never be deleted after it. With -u, X.GZ.gz makes the same
// x.gz. (Listed the other way round, x.gz.gz would overwrite x.gz, which
// would then be decoded in turn.)
TEST_F(Conversion, OutputNamedLikeAnEarlierCompressedFileStays)
{
    const std::string inner = zlib_gzip("bravo\n", TIME + 1);
    for (const bool lower_case : {false, true}) {
        SCOPED_TRACE(lower_case ? "with -u" : "without -u");
        // A name, and an order of making the files, that lists x.gz first.
        std::string stem;
        std::string second;
        for (char letter = 'a'; letter <= 'z' && stem.empty(); ++letter) {
            const std::string candidate(1, letter);
            second = lower_case ? std::string(1, static_cast<char>(letter - 'a' + 'A')) + ".GZ.gz" : candidate + ".gz.gz";
            for (const bool first_made_first : {true, false}) {
                std::filesystem::remove_all(root);
                make_directory(root);
                for (int i = 0; i < 2; ++i) {
                    if ((i == 0) == first_made_first) write_file(root + "/" + candidate + ".gz", zlib_gzip("alpha\n", TIME));
                    else write_file(root + "/" + second, zlib_gzip(inner, TIME + 2));
                }
                if (listed_before(root, candidate + ".gz", second)) {
                    stem = candidate;
                    break;
                }
            }
        }
        ASSERT_FALSE(stem.empty()) << "no name is listed before its name plus .gz";
        const RunResult result = run(lower_case ? std::vector<std::string>{"-u"} : std::vector<std::string>{});
        EXPECT_EQ(result.status, 0) << result.output;
        EXPECT_EQ(list_tree(root), (std::vector<std::string>{stem, stem + ".gz", "filesok.orv"})) << result.output;
        EXPECT_EQ(read_file(root + "/" + stem), "alpha\n");
        EXPECT_TRUE(read_file(root + "/" + stem + ".gz") == inner);
    }
}

// Win32 keeps only the read-only attribute: the output of a read-only file
// is read-only too, and the compressed file, which cannot be deleted, stays
// beside it while the run goes on.
TEST_F(Conversion, Win32ReadOnlyFileStaysBesideItsReadOnlyOutput)
{
    if (target_system().posix) GTEST_SKIP() << "the Win32 read-only attribute";
    write_file(root + "/a.gz", zlib_gzip("alpha\n", TIME));
    ASSERT_EQ(chmod((root + "/a.gz").c_str(), 0444), 0);
    const RunResult result = run();
    EXPECT_EQ(result.status, 0);
    expect_output(result.output, directory_line(root) + unzipped(shown(root + "/a.gz"), shown(root + "/a")), {},
                  "\n\n");
    EXPECT_EQ(read_file(root + "/a"), "alpha\n");
    EXPECT_EQ(mtime_of(root + "/a"), TIME);
    EXPECT_TRUE(file_exists(root + "/a.gz"));
    struct stat info;
    ASSERT_EQ(stat((root + "/a").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0222, 0u);
}

}  // namespace

// A decoding thread may hold a ".hlp" file open while the walk gets to it.
// Where an open file cannot be renamed or deleted (Windows, and wine, which
// enforces the sharing rules), the walk must wait for the thread to let go:
// both the rename that restores ".gz" and the delete must succeed.
TEST_F(Conversion, FileDecodedAheadIsRenamedAndDeletedOnlyWhenReleased)
{
    std::string text;
    while (text.size() < (24u << 20)) text += "a help text line, decoded by another thread " + std::to_string(text.size()) + "\n";
    write_file(root + "/big.hlp", zlib_gzip(text, TIME, 1));
    const char* const before = getenv("KAVRELT_THREADS");
    const std::string saved = before != nullptr ? before : "";
    setenv("KAVRELT_THREADS", "4", 1);
    const RunResult result = run();
    if (before != nullptr) setenv("KAVRELT_THREADS", saved.c_str(), 1);
    else unsetenv("KAVRELT_THREADS");
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(list_tree(root), (std::vector<std::string>{"big.hlp", "filesok.orv"}));
    EXPECT_TRUE(read_file(root + "/big.hlp") == text);
}

// With -u, "A.GZ" and "a.gz" both decode into "a". Where names are matched
// without regard to case (Windows; wine on a Unix directory that holds both),
// the conversion of the first listed deletes a name the second is opened
// by, so the second opens another file than it would have before: it must
// not be read ahead. One thread and four give the same messages, status and
// tree, and under wine, which lists A.GZ first and opens an exactly matching
// name first, "a" ends up holding A.GZ's data. The first file is large, so
// that four threads would read the second ahead while it is written.
TEST_F(Conversion, NamesEqualButForCaseAreNotReadAheadPastEachOther)
{
    std::string upper_text;
    std::string lower_text;
    while (upper_text.size() < (4u << 20)) {
        upper_text += "upper case name, line " + std::to_string(upper_text.size()) + "\n";
        lower_text += "lower case name, line " + std::to_string(lower_text.size()) + "\n";
    }
    const char* const before = getenv("KAVRELT_THREADS");
    const std::string saved = before != nullptr ? before : "";
    struct Outcome {
        RunResult result;
        std::vector<std::string> tree;
        std::string a;
    };
    const auto convert_with = [&](const char* threads) {
        std::filesystem::remove_all(root);
        make_directory(root);
        write_file(root + "/A.GZ", zlib_gzip(upper_text, TIME, 1));
        write_file(root + "/a.gz", zlib_gzip(lower_text, TIME + 1, 1));
        setenv("KAVRELT_THREADS", threads, 1);
        Outcome outcome{run({"-u"}), list_tree(root), read_file(root + "/a")};
        if (before != nullptr) setenv("KAVRELT_THREADS", saved.c_str(), 1);
        else unsetenv("KAVRELT_THREADS");
        return outcome;
    };
    const Outcome one = convert_with("1");
    const Outcome four = convert_with("4");
    EXPECT_EQ(one.result.status, 0) << one.result.output;
    EXPECT_EQ(four.result.status, one.result.status);
    EXPECT_EQ(four.result.output, one.result.output);
    EXPECT_EQ(four.tree, one.tree);
    EXPECT_EQ(one.tree, (std::vector<std::string>{"a", "filesok.orv"}));
    EXPECT_TRUE(four.a == one.a);
    if (target_system().names_ignore_case) {
        EXPECT_TRUE(one.a == upper_text);
    }
}
