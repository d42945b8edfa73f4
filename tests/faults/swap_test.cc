// A tree that others change while the run works: directories and files are
// swapped for symbolic links to a directory outside the tree, once at every
// single call of a run (kavrelt_faulty's "swap" action) and over and over
// from another thread. Nothing outside the tree may be read into it,
// created, changed, renamed or deleted, and every run ends with status 0 or
// with one of its error messages.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "fault_harness.h"
#include "harness.h"

namespace {

namespace fs = std::filesystem;

constexpr uint32_t TIME = 1300000000;
// What every file outside the tree decodes to; it must never appear inside.
const char OUTSIDE_TEXT[] = "OUTSIDE THE TREE ";
constexpr int RACE_RUNS = 12;
constexpr int MOST_SWAP_ROUNDS = 4000;

std::string text_of(size_t size, const std::string& seed)
{
    std::string text;
    for (uint32_t line = 0; text.size() < size; ++line) text += seed + " line " + std::to_string(line) + "\n";
    text.resize(size);
    return text;
}

TreeFile compressed(const std::string& path, const std::string& decoded)
{
    return {path, zlib_gzip(decoded, TIME), TIME, 0644, true, decoded};
}

// Nested directories, a file of many windows (so that many calls happen
// while the walk works in b1), restores and plain files.
std::vector<TreeFile> inside_tree()
{
    return {
        compressed("a.gz", text_of(3000, "a")),
        compressed("top.hlp", text_of(2000, "top")),
        compressed("b1/big.gz", text_of(100000, "big") + random_bytes(60000, 7)),
        compressed("b1/x.gz", text_of(4000, "x")),
        compressed("b1/y.tar", text_of(5000, "y")),
        {"b1/z.hlp", "plain help\n", TIME, 0644, false, ""},
        compressed("b2/x.gz", text_of(3000, "b2x")),
        compressed("b2/w.hlp", text_of(3000, "w")),
        compressed("b2/deep/v.gz", text_of(3000, "v")),
    };
}

// Files of the same names outside, as an attacker would lay them out.
std::vector<TreeFile> outside_tree()
{
    std::vector<TreeFile> files;
    for (const char* name : {"x.gz", "big.gz", "y.tar", "w.hlp", "v.gz", "deep/v.gz", "victim"}) {
        files.push_back(compressed(name, std::string(OUTSIDE_TEXT) + name + "\n" + text_of(2000, OUTSIDE_TEXT)));
    }
    return files;
}

// Regular files below `root` (links not followed) that hold data decoded
// from outside.
std::string outside_data_in(const std::string& root)
{
    std::string found;
    std::error_code error;
    for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
        if (!it->is_regular_file(error) || it->is_symlink(error)) continue;
        if (read_file(it->path().string()).find(OUTSIDE_TEXT) != std::string::npos) {
            found += "  " + it->path().string() + "\n";
        }
    }
    return found;
}

class SharedTree : public FaultTreeTest {
protected:
    void SetUp() override
    {
        FaultTreeTest::SetUp();
        outside = temp_dir + "/outside";
        away = temp_dir + "/away";
        make_tree(outside, outside_tree());
        outside_before = snapshot_tree(outside);
    }

    // Checks one run: the outside untouched, nothing of it inside, and an
    // end the run may have.
    void check_run(const RunOutcome& outcome, const std::string& root)
    {
        EXPECT_TRUE(outcome.status == 0 || (outcome.status == 2 && ends_with_error(outcome.output)))
            << "status " << outcome.status << ", signal " << outcome.signal << "\n" << outcome.output;
        EXPECT_EQ(describe_difference(outside_before, snapshot_tree(outside)), "") << "outside changed";
        EXPECT_EQ(outside_data_in(root), "") << "outside data decoded into the tree";
        EXPECT_EQ(outside_data_in(away), "") << "outside data decoded into the tree's moved directory";
    }

    std::string outside;
    std::string away;
    Snapshot outside_before;
};

struct Swap {
    const char* entry;   // below the root
    const char* target;  // below the outside directory, empty for the directory itself
    bool move_away;      // false: the link takes a place that is empty (an output's)
};

TEST_F(SharedTree, SwappedForALinkAtEveryCall)
{
    const std::vector<TreeFile> files = inside_tree();
    const std::string report = temp_dir + "/report";
    const std::string clean_root = fresh_tree("tree", files);
    ASSERT_EQ(run(run_setup(faulty_binary(), "", report), clean_root).status, 0);
    const uint64_t calls = read_report(report)["any"];
    ASSERT_GT(calls, 20u);

    const Swap swaps[] = {
        {"b2", "", true},           // a directory the walk has yet to enter
        {"b1", "", true},           // the directory the walk works in
        {"b2/deep", "deep", true},  // one level further down
        {"b1/x.gz", "x.gz", true},  // a file to decompress
        {"b2/w.hlp", "w.hlp", true},  // a file to restore
        {"b1/x", "victim", false},  // where an output goes
    };
    int stopped = 0;
    for (const Swap& swap : swaps) {
        for (uint64_t k = 1; k <= calls; k += call_stride()) {
            const std::string root = fresh_tree("tree", files);
            fs::remove_all(away);
            make_directory(away);
            const std::string moved = swap.move_away ? away + "/moved" : "";
            const std::string setting = root + "/" + swap.entry + "|" + moved + "|" + outside + "/" + swap.target;
            SCOPED_TRACE("KAVRELT_SWAP=" + setting + " at call " + std::to_string(k));
            setenv("KAVRELT_SWAP", setting.c_str(), 1);
            const RunOutcome outcome = run(run_setup(faulty_binary(), "any:" + std::to_string(k) + ":swap"), root);
            unsetenv("KAVRELT_SWAP");
            check_run(outcome, root);
            if (outcome.status != 0) ++stopped;
            if (HasFailure()) break;
        }
        if (HasFailure()) break;
    }
    // The swaps of files must have stopped some runs: the check saw them.
    EXPECT_GT(stopped, 0);
}

// A compressed file's deletion waits for its batch. Someone who puts another
// file in its place meanwhile (here a link) keeps it: only the file that was
// converted is deleted.
TEST_F(SharedTree, FilePutWhereADeletionWaitsStays)
{
    const std::string root = fresh_tree("tree", {compressed("a.gz", text_of(3000, "a"))});
    make_directory(away);
    setenv("KAVRELT_SWAP", (root + "/a.gz|" + away + "/moved|" + outside + "/victim").c_str(), 1);
    const RunOutcome outcome = run(run_setup(faulty_binary(), "unlink:1:swap"), root);
    unsetenv("KAVRELT_SWAP");
    check_run(outcome, root);
    EXPECT_EQ(outcome.status, 0) << outcome.output;
    EXPECT_TRUE(fs::is_symlink(root + "/a.gz")) << "the link put in the compressed file's place was deleted";
    EXPECT_EQ(read_file(root + "/a"), text_of(3000, "a"));
}

// A stranger who swaps directories and files for links in a loop while a
// run converts the tree, bounded in rounds.
TEST_F(SharedTree, SwappedOverAndOverFromOutside)
{
    const std::vector<TreeFile> files = inside_tree();
    for (int i = 0; i < RACE_RUNS; ++i) {
        const std::string root = fresh_tree("tree", files);
        fs::remove_all(away);
        make_directory(away);
        std::atomic<bool> done{false};
        std::thread stranger([&] {
            const char* const entries[] = {"b1", "b2", "b2/deep", "b1/x.gz", "b1/y.tar", "b2/w.hlp"};
            const char* const targets[] = {"", "", "deep", "x.gz", "y.tar", "w.hlp"};
            for (int round = 0; round < MOST_SWAP_ROUNDS && !done; ++round) {
                const int which = (round + i) % 6;
                const std::string entry = root + "/" + entries[which];
                const std::string moved = away + "/" + std::to_string(which);
                if (rename(entry.c_str(), moved.c_str()) != 0) continue;
                const bool linked = symlink((outside + "/" + targets[which]).c_str(), entry.c_str()) == 0;
                usleep(static_cast<useconds_t>(20 + round % 50));
                if (linked) unlink(entry.c_str());
                rename(moved.c_str(), entry.c_str());
            }
        });
        const RunOutcome outcome = run(run_setup(kavrelt_binary()), root);
        done = true;
        stranger.join();
        check_run(outcome, root);
        if (HasFailure()) return;
    }
}

}  // namespace
