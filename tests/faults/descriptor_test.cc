// A run holds only a handful of descriptors at any time, however many files
// it converts: with a limit of 20, of which three are the standard streams,
// a tree of 200 files over three levels still converts exactly.
#include "fault_harness.h"
#include "trees.h"

namespace {

constexpr int DESCRIPTOR_LIMIT = 20;

class Descriptors : public FaultTreeTest {};

TEST_F(Descriptors, ALowLimitIsEnoughForALargeTree)
{
    const std::vector<TreeFile> files = crash_tree();
    const std::string root = fresh_tree("tree", files);
    const RunOutcome clean = run(run_setup(kavrelt_binary()), root);
    ASSERT_EQ(clean.status, 0) << clean.output;
    const Snapshot reference = snapshot_tree(root);

    fresh_tree("tree", files);
    RunSetup setup = run_setup(kavrelt_binary());
    setup.descriptor_limit = DESCRIPTOR_LIMIT;
    const RunOutcome limited = run(setup, root);
    EXPECT_EQ(limited.status, 0) << limited.output;
    EXPECT_EQ(limited.output, clean.output);
    EXPECT_EQ(describe_difference(reference, snapshot_tree(root)), "");
}

}  // namespace
