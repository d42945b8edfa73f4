// Limits and hostile trees: the file count per directory, path lengths on
// both sides of 1024 bytes, links, FIFOs, and a large tree checked against
// zlib's decoding of every file.
#include <sys/stat.h>
#include <unistd.h>

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>

#include "harness.h"
#include "tree.h"

namespace {

constexpr uint32_t TIME = 1400000000;
constexpr size_t MOST_FILES = MAX_FILES_PER_DIRECTORY;
constexpr size_t MOST_PATH = 1023;  // bytes of a path, without its terminator

class Limits : public TreeTest {
protected:
    // Creates directories below root until the path the binary sees is
    // exactly `length` bytes; returns each one made, outermost first.
    std::vector<std::string> make_deep_directory(size_t length)
    {
        std::vector<std::string> made;
        std::string path = root;
        size_t remaining = length - shown(root).size();
        while (remaining > 0) {
            size_t name_length = std::min<size_t>(200, remaining - 1);
            if (remaining - (name_length + 1) == 1) --name_length;
            path += "/" + std::string(name_length, static_cast<char>('a' + made.size()));
            remaining -= name_length + 1;
            made.push_back(path);
        }
        make_directory(path);
        EXPECT_EQ(shown(path).size(), length);
        return made;
    }

    std::string directory_lines(const std::vector<std::string>& dirs) const
    {
        std::string lines = directory_line(root);
        for (const std::string& dir : dirs) lines += directory_line(dir);
        return lines;
    }
};

TEST_F(Limits, MostFilesPerDirectoryAreConvertedOneMoreStopsTheRun)
{
    // Hard links to one empty file: far quicker to make than new files.
    write_file(temp_dir + "/empty", "");
    for (size_t i = 0; i + 1 < MOST_FILES; ++i) {
        ASSERT_EQ(link((temp_dir + "/empty").c_str(), (root + "/f" + std::to_string(i)).c_str()), 0);
    }
    write_file(root + "/a.gz", zlib_gzip("alpha\n", TIME));
    write_file(root + "/.not-counted", "");
    make_directory(root + "/not-counted");
    RunResult result = run();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(without_banner_date(result.output), BANNER + directory_line(root) +
                                                      unzipped(shown(root + "/a.gz"), shown(root + "/a")) +
                                                      directory_line(root + "/not-counted") + "\n\n");

    unlink((root + "/filesok.orv").c_str());
    unlink((root + "/a").c_str());
    write_file(root + "/a.gz", zlib_gzip("alpha\n", TIME));
    ASSERT_EQ(link((temp_dir + "/empty").c_str(), (root + "/one-more").c_str()), 0);
    result = run();
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(without_banner_date(result.output),
              BANNER + directory_line(root) + "\nerror: too many files in " + shown(root) + "\n");
    EXPECT_TRUE(file_exists(root + "/a.gz"));
    EXPECT_FALSE(file_exists(root + "/a"));
}

TEST_F(Limits, FilePathMustFit)
{
    if (!target_system().posix) GTEST_SKIP() << "Win32's narrow file API stops at 260 characters";
    const std::vector<std::string> dirs = make_deep_directory(1000);
    const std::string dir = dirs.back();
    const std::string longest = dir + "/" + std::string(MOST_PATH - 1000 - 1 - 3, 'n') + ".gz";
    write_file(longest, zlib_gzip("fits\n", TIME));
    RunResult result = run();
    EXPECT_EQ(result.status, 0);
    const std::string output_name = longest.substr(0, longest.size() - 3);
    EXPECT_EQ(without_banner_date(result.output),
              BANNER + directory_lines(dirs) + unzipped(shown(longest), shown(output_name)) + "\n\n");
    EXPECT_EQ(read_file(output_name), "fits\n");

    // One byte more; a short name beside it is not converted either.
    write_file(dir + "/" + std::string(MOST_PATH - 1000 - 3, 'n') + ".gz", zlib_gzip("too long\n", TIME));
    write_file(dir + "/b.gz", zlib_gzip("bravo\n", TIME));
    result = run();
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(without_banner_date(result.output),
              BANNER + directory_lines(dirs) + "\nerror: path too long " + shown(dir) + "\n");
    EXPECT_TRUE(file_exists(dir + "/b.gz"));
}

// A restored name is three bytes longer than the name found.
TEST_F(Limits, RestoredNameMustFit)
{
    if (!target_system().posix) GTEST_SKIP() << "Win32's narrow file API stops at 260 characters";
    const std::vector<std::string> dirs = make_deep_directory(1000);
    const std::string dir = dirs.back();
    const std::string fits = dir + "/" + std::string(MOST_PATH - 3 - 1000 - 1 - 4, 'h') + ".hlp";
    write_file(fits, zlib_gzip("fits\n", TIME));
    RunResult result = run();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(without_banner_date(result.output),
              BANNER + directory_lines(dirs) + renamed(shown(fits), shown(fits + ".gz")) +
                  unzipped(shown(fits + ".gz"), shown(fits)) + "\n\n");
    unlink(fits.c_str());

    const std::string too_long = dir + "/" + std::string(MOST_PATH - 3 - 1000 - 4, 'h') + ".hlp";
    const std::string gz = zlib_gzip("too long\n", TIME);
    write_file(too_long, gz);
    result = run();
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(without_banner_date(result.output),
              BANNER + directory_lines(dirs) + "\nerror: path too long " + shown(too_long) + "\n");
    EXPECT_EQ(read_file(too_long), gz);
}

// A directory is listed through its path plus separator plus "*.*".
TEST_F(Limits, SubdirectorySearchMustFit)
{
    if (!target_system().posix) GTEST_SKIP() << "Win32's narrow file API stops at 260 characters";
    const struct {
        size_t length;
        int status;
        int named;  // which directory the error names, counted from the deepest
    } cases[] = {{MOST_PATH - 4, 0, 0}, {MOST_PATH - 3, 2, 0}, {MOST_PATH + 1, 2, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        std::filesystem::remove_all(root);
        const std::vector<std::string> dirs = make_deep_directory(c.length);
        const RunResult result = run();
        EXPECT_EQ(result.status, c.status);
        if (c.status == 0) {
            EXPECT_EQ(without_banner_date(result.output), BANNER + directory_lines(dirs) + "\n\n");
            continue;
        }
        const std::vector<std::string> printed(dirs.begin(), dirs.end() - 1);
        EXPECT_EQ(without_banner_date(result.output),
                  BANNER + directory_lines(printed) + "\nerror: path too long " +
                      shown(dirs[dirs.size() - 1 - c.named]) + "\n");
    }
}

TEST_F(Limits, MarkerPathMustFitBeforeAnythingIsDone)
{
    if (!target_system().posix) GTEST_SKIP() << "Win32's narrow file API stops at 260 characters";
    const std::string marker = "/filesok.orv";
    std::vector<std::string> dirs = make_deep_directory(MOST_PATH - marker.size());
    RunResult result = run_kavrelt({shown(dirs.back())});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(read_file(dirs.back() + marker), "files converted o.k.\n");

    std::filesystem::remove_all(root);
    dirs = make_deep_directory(MOST_PATH - marker.size() + 1);
    write_file(dirs.back() + "/a.gz", zlib_gzip("alpha\n", TIME));
    result = run_kavrelt({shown(dirs.back())});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(without_banner_date(result.output),
              std::string(BANNER) + "\nerror: path too long " + shown(dirs.back()) + "\n");
    EXPECT_TRUE(file_exists(dirs.back() + "/a.gz"));
}

// The Win32 build lists through the narrow file API, which takes at most
// 260 characters. A directory whose search pattern (its path, '\\', "*.*")
// is longer cannot be listed: the run ends there, its files untouched.
TEST_F(Limits, Win32ListingStopsAtTheNarrowPathLimit)
{
    if (target_system().posix) GTEST_SKIP() << "Win32 only";
    constexpr size_t MOST_PATTERN = 260;
    constexpr size_t PATTERN_TAIL = 4;  // "\\*.*"
    std::vector<std::string> dirs = make_deep_directory(MOST_PATTERN - PATTERN_TAIL);
    RunResult result = run();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(without_banner_date(result.output), BANNER + directory_lines(dirs) + "\n\n");

    std::filesystem::remove_all(root);
    dirs = make_deep_directory(MOST_PATTERN - PATTERN_TAIL + 1);
    write_file(dirs.back() + "/a.gz", zlib_gzip("alpha\n", TIME));
    result = run();
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(without_banner_date(result.output), BANNER + directory_lines(dirs) + "unexpected error\n");
    EXPECT_TRUE(file_exists(dirs.back() + "/a.gz"));
}

// The narrow listing stops at 260 characters, the files in the directory
// listed do not: each file call takes what the runtime's _open took, here
// a path of 256 characters plus the longest name Linux keeps.
TEST_F(Limits, Win32FilesPastTheNarrowPathLimitConvert)
{
    if (target_system().posix) GTEST_SKIP() << "Win32 only";
    const std::string dir = make_deep_directory(256).back();
    const std::string long_name(NAME_MAX - 3, 'l');
    write_file(dir + "/a.gz", zlib_gzip("alpha\n", TIME));
    write_file(dir + "/b.hlp", zlib_gzip("bravo\n", TIME + 1));
    write_file(dir + "/" + long_name + ".gz", zlib_gzip("long\n", TIME + 2));
    const RunResult result = run();
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(shown(dir + "/a.gz").size(), 261u);
    EXPECT_EQ(shown(dir + "/" + long_name + ".gz").size(), 256u + 1 + NAME_MAX);
    EXPECT_EQ(list_tree(dir), (std::vector<std::string>{"a", "b.hlp", long_name}));
    EXPECT_EQ(read_file(dir + "/a"), "alpha\n");
    EXPECT_EQ(read_file(dir + "/b.hlp"), "bravo\n");
    EXPECT_EQ(read_file(dir + "/" + long_name), "long\n");
    EXPECT_EQ(mtime_of(dir + "/a"), TIME);
    EXPECT_EQ(mtime_of(dir + "/b.hlp"), TIME + 1);
    EXPECT_EQ(mtime_of(dir + "/" + long_name), TIME + 2);
}

// The walk never follows a link into a directory, so no link leads it out of
// the tree or round in a loop.
TEST_F(Limits, LinksNeverLeadTheWalkAnywhere)
{
    make_directory(root + "/sub");
    ASSERT_EQ(symlink(".", (root + "/self").c_str()), 0);
    ASSERT_EQ(symlink("..", (root + "/sub/up").c_str()), 0);
    ASSERT_EQ(symlink("/", (root + "/sub/top").c_str()), 0);
    write_file(root + "/sub/a.gz", zlib_gzip("alpha\n", TIME));
    const RunResult result = run();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(without_banner_date(result.output), BANNER + directory_line(root) + directory_line(root + "/sub") +
                                                      unzipped(shown(root + "/sub/a.gz"), shown(root + "/sub/a")) +
                                                      "\n\n");
    EXPECT_EQ(list_tree(root),
              (std::vector<std::string>{"filesok.orv", "self", "sub/", "sub/a", "sub/top", "sub/up"}));
}

// Only regular files are converted: every symbolic link is passed over and
// stays as it was. Followed, a link listed after its target would dangle
// once the target was converted, stopping this run and every later one
// there; one listed before its target would be converted in its stead.
// Listing orders differ (tmpfs lists the newest entry first, ext4 by hash),
// so links are made before and after their targets, and the listing is
// checked to hold both orders. Wine shows a Unix link to a file as the file
// itself and does not list a dangling one: there, links to directories are
// the links that can be told from what they point to.
TEST_F(Limits, LinksArePassedOverAndStayAsTheyWere)
{
    const bool file_links = target_system().file_links_visible;
    std::map<std::string, std::string> links;  // name below root -> target
    const auto make_link = [&](const std::string& name, const std::string& target) {
        ASSERT_EQ(symlink(target.c_str(), (root + "/" + name).c_str()), 0) << name;
        links[name] = target;
    };
    std::vector<std::string> names = {"filesok.orv", "sub/", "sub/a"};
    std::vector<std::string> groups;
    constexpr int PAIRS = 8;
    for (int i = 0; i < PAIRS; ++i) {
        const std::string number = std::to_string(i);
        if (file_links && i % 2 == 0) make_link("news" + number + ".gz", "doc" + number + ".gz");
        write_file(root + "/doc" + number + ".gz", zlib_gzip("doc " + number + "\n", TIME));
        if (file_links && i % 2 == 1) make_link("news" + number + ".gz", "doc" + number + ".gz");
        names.push_back("doc" + number);
        groups.push_back(unzipped(shown(root + "/doc" + number + ".gz"), shown(root + "/doc" + number)));
    }
    const std::string outside = zlib_gzip("outside the tree\n", TIME);
    write_file(temp_dir + "/outside.gz", outside);
    if (file_links) make_link("help.hlp", temp_dir + "/outside.gz");
    make_link("gone.gz", "missing.gz");
    make_directory(root + "/sub");
    write_file(root + "/sub/a.gz", zlib_gzip("alpha\n", TIME));
    make_link("x.gz", "sub");
    for (const auto& [name, target] : links) names.push_back(name);
    std::sort(names.begin(), names.end());

    if (file_links) {
        std::vector<std::string> order;
        for (const auto& entry : std::filesystem::directory_iterator(root)) {
            order.push_back(entry.path().filename().string());
        }
        const auto position = [&](const std::string& name) { return std::find(order.begin(), order.end(), name); };
        int link_first = 0;
        for (int i = 0; i < PAIRS; ++i) {
            link_first += position("news" + std::to_string(i) + ".gz") < position("doc" + std::to_string(i) + ".gz");
        }
        ASSERT_GT(link_first, 0) << "every link is listed after its target";
        ASSERT_LT(link_first, PAIRS) << "every link is listed before its target";
    }

    const RunResult result = run();
    EXPECT_EQ(result.status, 0);
    expect_output(result.output, directory_line(root), groups,
                  directory_line(root + "/sub") + unzipped(shown(root + "/sub/a.gz"), shown(root + "/sub/a")) + "\n\n");
    expect_marker();
    EXPECT_EQ(list_tree(root), names);
    for (const auto& [name, target] : links) {
        std::error_code error;
        EXPECT_EQ(std::filesystem::read_symlink(root + "/" + name, error), target) << name;
    }
    for (int i = 0; i < PAIRS; ++i) {
        EXPECT_EQ(read_file(root + "/doc" + std::to_string(i)), "doc " + std::to_string(i) + "\n");
    }
    EXPECT_EQ(read_file(temp_dir + "/outside.gz"), outside);
}

// A drive's root lists no "." and "..", so its first entries can be links
// (wine lists names in order): the listing must go on to the first entry it
// reports, and a root holding nothing but links is an empty one. Wine makes
// the tree a drive through a link in its prefix's dosdevices directory.
TEST_F(Limits, Win32DriveRootThatStartsWithLinks)
{
    if (target_system().posix) GTEST_SKIP() << "drive letters";
    make_directory(temp_dir + "/elsewhere");
    ASSERT_EQ(symlink((temp_dir + "/elsewhere").c_str(), (root + "/a.gz").c_str()), 0);
    ASSERT_EQ(symlink((temp_dir + "/elsewhere").c_str(), (root + "/b.gz").c_str()), 0);
    const char* prefix = getenv("WINEPREFIX");
    const char* home = getenv("HOME");
    std::string devices = prefix != nullptr && *prefix != '\0' ? prefix : std::string(home ? home : "") + "/.wine";
    devices += "/dosdevices/";
    std::string device;
    std::string drive;
    for (char letter = 'k'; letter <= 'y' && device.empty(); ++letter) {
        if (symlink(root.c_str(), (devices + letter + ":").c_str()) != 0) continue;
        device = devices + letter + ":";
        drive = {static_cast<char>(letter - 'a' + 'A'), ':'};
    }
    ASSERT_FALSE(device.empty()) << "no free drive letter in " << devices;

    RunResult result = run_kavrelt({drive});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(without_banner_date(result.output), BANNER + ("\n" + drive) + "\n\n");
    expect_marker();

    unlink((root + "/filesok.orv").c_str());
    write_file(root + "/z.gz", zlib_gzip("zeta\n", TIME));
    result = run_kavrelt({drive});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(without_banner_date(result.output),
              BANNER + ("\n" + drive) + unzipped(drive + "\\z.gz", drive + "\\z") + "\n\n");
    EXPECT_EQ(read_file(root + "/z"), "zeta\n");
    EXPECT_EQ(list_tree(root), (std::vector<std::string>{"a.gz", "b.gz", "filesok.orv", "z"}));
    unlink(device.c_str());
}

// Opening a FIFO would wait for a writer forever: FIFOs are passed over, and
// so are links to them.
TEST_F(Limits, FifosNeverHangTheRun)
{
    if (!target_system().posix) GTEST_SKIP() << "FIFOs";
    ASSERT_EQ(mkfifo((root + "/pipe.gz").c_str(), 0644), 0);
    ASSERT_EQ(symlink("pipe.gz", (root + "/link.hlp").c_str()), 0);
    const RunResult result = run();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(without_banner_date(result.output), BANNER + directory_line(root) + "\n\n");
    EXPECT_EQ(list_tree(root), (std::vector<std::string>{"filesok.orv", "link.hlp", "pipe.gz"}));
}

// A link in the output's place would make the run write wherever it points.
TEST_F(Limits, OutputLinkIsNotFollowed)
{
    if (!target_system().posix) GTEST_SKIP() << "symbolic links";
    write_file(temp_dir + "/victim", "keep me\n");
    ASSERT_EQ(symlink((temp_dir + "/victim").c_str(), (root + "/a").c_str()), 0);
    write_file(root + "/a.gz", zlib_gzip("alpha\n", TIME));
    const RunResult result = run();
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(without_banner_date(result.output),
              BANNER + directory_line(root) + "\n  unzipping " + shown(root + "/a.gz") + " to " + shown(root + "/a") +
                  " ...\nerror: could not open " + shown(root + "/a") + "\n");
    EXPECT_EQ(read_file(temp_dir + "/victim"), "keep me\n");
    EXPECT_TRUE(file_exists(root + "/a.gz"));
}

// Content of one of several shapes: incompressible, text-like, long runs.
std::string make_content(std::mt19937& random, size_t size)
{
    static const char* const WORDS[] = {"disc ", "file ", "the ", "converter ", "help\n", "archive ", "0123 "};
    std::string data;
    const unsigned shape = random() % 3;
    while (data.size() < size) {
        if (shape == 0) data += static_cast<char>(random());
        else if (shape == 1) data += WORDS[random() % 7];
        else data.append(1 + random() % 300, static_cast<char>('a' + random() % 4));
    }
    data.resize(size);
    return data;
}

struct ExpectedFile {
    std::string content;
    int64_t mtime;
};

// Hundreds of files over several levels, every suffix, compression level
// and strategy; each output must equal zlib's decoding of its input.
TEST_F(Limits, LargeTreeMatchesZlibDecoding)
{
    std::mt19937 random(20251119);
    const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
    const char* const suffixes[] = {".gz", ".hlp", ".tar", ".txt"};
    std::map<std::string, ExpectedFile> expected;  // relative output name -> what it must hold
    std::vector<std::string> dirs = {""};
    for (int a = 0; a < 4; ++a) {
        const std::string d = "/d" + std::to_string(a);
        dirs.push_back(d);
        for (int b = 0; b < 3; ++b) {
            const std::string e = d + "/e" + std::to_string(b);
            dirs.push_back(e);
            for (int c = 0; c < 2; ++c) dirs.push_back(e + "/f" + std::to_string(c));
        }
    }
    int gzip_files = 0;
    int index = 0;
    for (const std::string& dir : dirs) {
        make_directory(root + dir);
        for (int i = 0; i < 8; ++i, ++index) {
            const size_t size = index % 37 == 0 ? 0 : index % 10 == 0 ? random() % 300000 : random() % 16000;
            const std::string data = make_content(random, size);
            const std::string stem = dir + "/file" + std::to_string(index);
            const char* suffix = suffixes[index % 4];
            const uint32_t mtime = 946684800u + static_cast<uint32_t>(index) * 3600u;
            if (suffix == std::string(".txt")) {
                write_file(root + stem + suffix, data);
                expected[stem + suffix] = {data, -1};
                continue;
            }
            std::string gz = zlib_gzip(data, mtime, index % 10, strategies[index % 5]);
            if (index % 13 == 0) gz += zlib_gzip(make_content(random, 5000), mtime + 1);
            write_file(root + stem + suffix, gz);
            ExpectedFile file{"", mtime};
            ASSERT_TRUE(zlib_gunzip(gz, &file.content));
            expected[suffix == std::string(".gz") ? stem : stem + suffix] = file;
            ++gzip_files;
        }
    }
    const RunResult result = run();
    ASSERT_EQ(result.status, 0) << result.output.substr(result.output.size() - std::min<size_t>(500, result.output.size()));
    size_t done_count = 0;
    for (size_t pos = 0; (pos = result.output.find(" ... done.", pos)) != std::string::npos; ++pos) ++done_count;
    EXPECT_EQ(done_count, static_cast<size_t>(gzip_files));

    std::vector<std::string> names = {"filesok.orv"};
    for (const std::string& dir : dirs) {
        if (!dir.empty()) names.push_back(dir.substr(1) + "/");
    }
    for (const auto& [name, file] : expected) {
        names.push_back(name.substr(1));
        SCOPED_TRACE(name);
        EXPECT_TRUE(read_file(root + name) == file.content);
        if (file.mtime >= 0) {
            EXPECT_EQ(mtime_of(root + name), file.mtime);
        }
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(list_tree(root), names);
}

}  // namespace
