// A run holds only a handful of descriptors at any time, however many files
// and directories it converts: one for each directory from the root down to
// the one it works in, the few files it has open, and the directories it has
// left whose compressed files wait to be deleted, as far as the limit leaves
// room. With a limit of 20, of which three are the standard streams, and of
// 64, a tree of 200 files, 40 directories side by side and a chain of 8
// nested ones still converts exactly. The seam's build makes the deletions
// wait even on a file system in memory.
#include "fault_harness.h"
#include "harness.h"
#include "trees.h"

namespace {

constexpr int DESCRIPTOR_LIMITS[] = {20, 64};
constexpr int SIDE_BY_SIDE = 40;
constexpr int NESTED = 8;

class Descriptors : public FaultTreeTest {};

TEST_F(Descriptors, ALowLimitIsEnoughForALargeTree)
{
    std::vector<TreeFile> files = crash_tree();
    std::string nested = "nested";
    for (int i = 0; i < NESTED; ++i) {
        nested += "/n" + std::to_string(i);
        files.push_back({nested + "/f.gz", zlib_gzip("nested\n", 1300000000), 1300000000, 0644, true, "nested\n"});
    }
    for (int i = 0; i < SIDE_BY_SIDE; ++i) {
        const std::string path = "side/s" + std::to_string(i) + "/f.gz";
        files.push_back({path, zlib_gzip(path, 1300000000), 1300000000, 0644, true, path});
    }
    const std::string root = fresh_tree("tree", files);
    const RunOutcome clean = run(run_setup(kavrelt_binary()), root);
    ASSERT_EQ(clean.status, 0) << clean.output;
    const Snapshot reference = snapshot_tree(root);

    for (const int limit : DESCRIPTOR_LIMITS) {
        SCOPED_TRACE("descriptor limit " + std::to_string(limit));
        fresh_tree("tree", files);
        RunSetup setup = run_setup(faulty_binary());
        setup.descriptor_limit = limit;
        const RunOutcome limited = run(setup, root);
        EXPECT_EQ(limited.status, 0) << limited.output;
        EXPECT_EQ(without_banner_date(limited.output), without_banner_date(clean.output));
        EXPECT_EQ(describe_difference(reference, snapshot_tree(root)), "");
    }
}

}  // namespace
