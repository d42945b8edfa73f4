// Every program of one build prints one banner: the build date is taken once,
// when the build is configured (CMakeLists.txt), for kavrelt and kavrelt_faulty
// alike. This is the one test that says so; the tests that compare the two
// programs' outputs compare them without the banner's date, so that no test
// passes or fails by the day it runs or the build was made.
#include <string>

#include "banner.h"
#include "build_date.h"
#include "fault_harness.h"

namespace {

class Banner : public FaultTreeTest {};

TEST_F(Banner, EveryProgramOfTheBuildShowsTheBuildDate)
{
    const std::string expected = std::string("\n") + BANNER_START + KAVRELT_BUILD_DATE ")\n";
    for (const std::string& binary : {kavrelt_binary(), faulty_binary()}) {
        SCOPED_TRACE(binary);
        const RunOutcome outcome = run(run_setup(binary), fresh_tree("tree", {}));
        EXPECT_EQ(outcome.status, 0) << outcome.output;
        EXPECT_EQ(outcome.output.substr(0, expected.size()), expected);
    }
}

}  // namespace
