// Every platform call of a whole run, one at a time, fails or comes back
// short. Whatever breaks, the run either converts exactly what a clean run
// converts or stops with an error message and status 2; it never deletes a
// compressed file whose output is not complete, never writes the marker
// after a failure, and a second, clean run then completes the tree exactly.
#include <cstdio>
#include <set>

#include "fault_harness.h"
#include "harness.h"
#include "trees.h"

namespace {

struct FaultKind {
    const char* kind;
    const char* action;
};

void PrintTo(const FaultKind& fault, std::ostream* out)
{
    *out << fault.kind << ":K:" << fault.action;
}

// Leaves out the compressed files a failed delete left beside their outputs:
// that is what such a failure is meant to do, and the run goes on.
Snapshot without_leftovers(Snapshot snapshot, const Snapshot& reference, const std::vector<TreeFile>& files)
{
    std::set<std::string> compressed_bytes;
    for (const TreeFile& file : files) {
        if (file.compressed) compressed_bytes.insert(file.bytes);
    }
    for (auto it = snapshot.begin(); it != snapshot.end();) {
        const bool leftover = reference.count(it->first) == 0 && compressed_bytes.count(it->second.bytes) != 0;
        it = leftover ? snapshot.erase(it) : std::next(it);
    }
    return snapshot;
}

// A time that cannot be set is not examined: the output keeps the time of
// its last write, which neither run can restore once the compressed file is
// gone. Everything but the times must still match.
Snapshot without_times(Snapshot snapshot)
{
    for (auto& entry : snapshot) entry.second.mtime = 0;
    return snapshot;
}

class FaultInjection : public FaultTreeTest, public testing::WithParamInterface<FaultKind> {
protected:
    void SetUp() override
    {
        FaultTreeTest::SetUp();
        files = sample_tree();
        // Both runs on a root of one name, so their output can be compared.
        const std::string clean_root = fresh_tree("tree", files);
        const RunOutcome clean = run(run_setup(kavrelt_binary()), clean_root);
        ASSERT_EQ(clean.status, 0) << clean.output;
        reference = snapshot_tree(clean_root);
        // The seam must change nothing while no fault is planned.
        const std::string counted_root = fresh_tree("tree", files);
        const std::string report = temp_dir + "/report";
        const RunOutcome counted = run(run_setup(faulty_binary(), "", report), counted_root);
        ASSERT_EQ(counted.status, 0) << counted.output;
        // Without the banner's date, which tests/faults/banner_test.cc checks once.
        ASSERT_EQ(without_banner_date(counted.output), without_banner_date(clean.output));
        ASSERT_EQ(describe_difference(reference, snapshot_tree(counted_root)), "");
        counts = read_report(report);
        ASSERT_GT(counts["any"], 0u);
    }

    // Returns the exit status of the faulty run.
    int check_fault(const std::string& fault)
    {
        SCOPED_TRACE("KAVRELT_FAULT=" + fault);
        const std::string root = fresh_tree("tree", files);
        const RunOutcome faulty = run(run_setup(faulty_binary(), fault), root);
        EXPECT_TRUE(faulty.status == 0 || faulty.status == 2)
            << "status " << faulty.status << ", signal " << faulty.signal << "\n" << faulty.output;
        EXPECT_EQ(lost_data(root, files), "");
        const bool times_may_differ = std::string(GetParam().kind) == "utime";
        const Snapshot expected = times_may_differ ? without_times(reference) : reference;
        auto observed = [&] { return times_may_differ ? without_times(snapshot_tree(root)) : snapshot_tree(root); };
        if (faulty.status == 0) {
            Snapshot after = observed();
            if (std::string(GetParam().kind) == "unlink") after = without_leftovers(after, reference, files);
            EXPECT_EQ(describe_difference(expected, after), "")
                << "a run that reports success must have converted the whole tree exactly\n" << faulty.output;
        } else {
            EXPECT_TRUE(ends_with_error(faulty.output)) << faulty.output;
            EXPECT_FALSE(file_exists(root + "/filesok.orv")) << "marker written by a failed run";
        }
        const RunOutcome rerun = run(run_setup(kavrelt_binary()), root);
        EXPECT_EQ(rerun.status, 0) << rerun.output;
        EXPECT_EQ(describe_difference(expected, observed()), "") << "after a clean second run";
        return faulty.status;
    }

    std::vector<TreeFile> files;
    Snapshot reference;
    std::map<std::string, uint64_t> counts;
};

TEST_P(FaultInjection, EachCallOfTheKindInTurn)
{
    const FaultKind fault = GetParam();
    const uint64_t calls = counts[fault.kind];
    if (calls == 0) GTEST_SKIP() << "a clean run makes no " << fault.kind << " call";
    uint64_t stopped = 0;
    for (uint64_t k = 1; k <= calls; k += call_stride()) {
        const std::string plan = std::string(fault.kind) + ":" + std::to_string(k) + ":" + fault.action;
        if (check_fault(plan) == 2) ++stopped;
        if (::testing::Test::HasFatalFailure()) return;
    }
    printf("%s:%s: every %llu-th of %llu calls, %llu stopped the run with status 2\n", fault.kind, fault.action,
           static_cast<unsigned long long>(call_stride()), static_cast<unsigned long long>(calls),
           static_cast<unsigned long long>(stopped));
}

// find_close reports nothing, so failing it is only counted. last_error
// matters only where the walk asks it why a listing ended.
INSTANTIATE_TEST_SUITE_P(EveryKind, FaultInjection,
                         testing::Values(FaultKind{"open", "fail"}, FaultKind{"read", "fail"},
                                         FaultKind{"read", "short"}, FaultKind{"write", "fail"},
                                         FaultKind{"write", "short"}, FaultKind{"close", "fail"},
                                         FaultKind{"fstat", "fail"}, FaultKind{"rename", "fail"},
                                         FaultKind{"unlink", "fail"}, FaultKind{"utime", "fail"},
                                         FaultKind{"open_dir", "fail"}, FaultKind{"flush", "fail"},
                                         FaultKind{"sync", "fail"},
                                         FaultKind{"find_first", "fail"}, FaultKind{"find_next", "fail"},
                                         FaultKind{"last_error", "fail"}),
                         [](const testing::TestParamInfo<FaultKind>& info) {
                             return std::string(info.param.kind) + "_" + info.param.action;
                         });

// A sync that reports a write error: the outputs it was to make durable may
// be incomplete on disk, so every compressed file of its batch stays, and
// the run ends naming an output of that batch. Here the whole tree is one
// batch.
TEST_F(FaultTreeTest, FailedSyncKeepsEveryCompressedFileOfItsBatch)
{
    const std::vector<TreeFile> files = sample_tree();
    const std::string root = fresh_tree("tree", files);
    const RunOutcome failed = run(run_setup(faulty_binary(), "sync:1:fail"), root);
    EXPECT_EQ(failed.status, 2);
    const size_t first = failed.output.find(" to ", failed.output.find("\n  unzipping "));
    ASSERT_NE(first, std::string::npos) << failed.output;
    const std::string output = failed.output.substr(first + 4, failed.output.find(" ...", first) - first - 4);
    EXPECT_TRUE(ends_with_error(failed.output));
    EXPECT_EQ(failed.output.substr(failed.output.rfind("\nerror: ")), "\nerror: could not write " + output + "\n");
    for (const TreeFile& file : files) {
        if (!file.compressed) continue;
        const std::string path = root + "/" + file.path;
        EXPECT_TRUE(file_exists(path) || file_exists(path + ".gz")) << file.path << " was deleted";
    }
    EXPECT_FALSE(file_exists(root + "/filesok.orv"));
}

}  // namespace
