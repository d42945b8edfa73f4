// Decoding ahead changes nothing but the time a run takes. Random trees of
// small and large, damaged, cut-off and restorable files are converted once
// with one thread and once with four: the console output, the exit status
// and the whole tree afterwards (names, contents, times, modes) must be the
// same. kavrelt_faulty is built with a small memory budget, so that files
// here outgrow it as large files outgrow the real one.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>

#include "fault_harness.h"
#include "harness.h"

namespace {

std::string text_of(size_t size, std::mt19937& rng)
{
    static const char* const words[] = {"the ", "disc ", "help ", "file ", "of ", "kavrelt ", "table ",
                                        "\n", "converts ", "a ", "tree ", "0123 ", "and "};
    std::string text;
    while (text.size() < size) text += words[rng() % 13];
    text.resize(size);
    return text;
}

std::string data_of(size_t size, std::mt19937& rng)
{
    return rng() % 4 == 0 ? random_bytes(size, rng()) : text_of(size, rng);
}

// One tree. Odd seeds put one damaged or cut-off file somewhere, which stops
// the run where it is reached; every third tree has a pair x.tar.gz, x.tar.
std::vector<TreeFile> random_tree(uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<TreeFile> files;
    for (const char* dir : {"", "docs/", "docs/deep/", "other/"}) {
        const uint32_t count = rng() % 14;
        for (uint32_t i = 0; i < count; ++i) {
            const std::string stem = std::string(dir) + "f" + std::to_string(i);
            const size_t size = rng() % 16 == 0 ? 600000 + rng() % 2000000 : rng() % 70000;
            const std::string data = data_of(size, rng);
            const uint32_t mtime = 1000000000 + rng() % 100000000;
            const uint32_t mode = rng() % 3 == 0 ? 0755 : 0644;
            const std::string gz = zlib_gzip(data, mtime, 1 + static_cast<int>(rng() % 9));
            const uint32_t kind = rng() % 100;
            if (kind < 50) {
                files.push_back({stem + ".txt.gz", gz, mtime, mode, true, data});
            } else if (kind < 75) {
                files.push_back({stem + (kind % 2 ? ".hlp" : ".tar"), gz, mtime, mode, true, data});
            } else if (kind < 85) {
                files.push_back({stem + ".hlp", data, mtime, mode, false, ""});
            } else {
                files.push_back({stem + ".dat", data, mtime, mode, false, ""});
            }
        }
    }
    if (seed % 3 == 0) {
        // x.tar.gz decodes into x.tar, which is listed too: x.tar must be
        // looked at only after that, when it no longer holds gzip data.
        const std::string text = text_of(5000, rng);
        files.push_back({"docs/x.tar.gz", zlib_gzip(text, 1200000000, 6), 1200000000, 0644, true, text});
        files.push_back({"docs/x.tar", zlib_gzip("old", 1200000000, 6), 1200000000, 0644, false, ""});
    }
    if (seed % 2 == 1 && !files.empty()) {
        TreeFile& victim = files[rng() % files.size()];
        const std::string gz = zlib_gzip(text_of(100000 + rng() % 300000, rng), 1300000000, 6);
        victim.compressed = false;
        if (rng() % 2 == 0) {
            victim.path += ".gz";
            victim.bytes = gz;
            victim.bytes[victim.bytes.size() / 2] ^= 0x40;
        } else {
            victim.path += ".hlp";
            victim.bytes = gz.substr(0, gz.size() * 2 / 3);
        }
    }
    return files;
}

// The time of a file the run wrote but could not stamp (the partial output of
// the file that stopped it) is the time of the run: left out.
Snapshot without_run_times(Snapshot snapshot, int64_t run_start)
{
    for (auto& entry : snapshot)
        if (entry.second.mtime >= run_start) entry.second.mtime = 0;
    return snapshot;
}

class DecodingAhead : public FaultTreeTest {
protected:
    const int64_t run_start = static_cast<int64_t>(time(nullptr)) - 2;

    RunOutcome run_with_threads(const char* threads, const std::vector<TreeFile>& files, Snapshot* after)
    {
        const std::string root = fresh_tree("tree", files);
        setenv("KAVRELT_THREADS", threads, 1);
        const RunOutcome outcome = run(run_setup(faulty_binary()), root);
        unsetenv("KAVRELT_THREADS");
        *after = without_run_times(snapshot_tree(root), run_start);
        return outcome;
    }
};

}  // namespace

TEST_F(DecodingAhead, SameOutputStatusAndTreeAsOneThread)
{
    int complete = 0;
    int stopped = 0;
    for (uint32_t seed = 1; seed <= 24; ++seed) {
        SCOPED_TRACE("tree " + std::to_string(seed));
        const std::vector<TreeFile> files = random_tree(seed);
        Snapshot one_thread;
        Snapshot four_threads;
        const RunOutcome single = run_with_threads("1", files, &one_thread);
        const RunOutcome ahead = run_with_threads("4", files, &four_threads);
        ASSERT_EQ(single.signal, 0);
        EXPECT_EQ(ahead.output, single.output);
        EXPECT_EQ(ahead.status, single.status);
        EXPECT_EQ(describe_difference(one_thread, four_threads), "");
        (single.status == 0 ? complete : stopped)++;
    }
    // Both kinds of run must have been compared.
    EXPECT_GT(complete, 3);
    EXPECT_GT(stopped, 3);
}
