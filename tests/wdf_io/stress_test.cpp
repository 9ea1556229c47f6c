// The cancel-versus-complete race on real threads and real time (free
// mode), for the sanitizer builds: every request still completes once.
#include "race_fixture.h"

namespace iotest {
namespace {

TEST_P(CancelRaceTest, FreeModeRoundsCompleteEveryRequestOnce)
{
    int cancelled_won = 0, completion_won = 0;
    start_seed(1, host::Mode::free);
    for (uint64_t round = 1; round <= 200 && !HasFailure(); ++round)
        race_once(round, cancelled_won, completion_won);
    EXPECT_EQ(cancelled_won + completion_won, 400);
}

INSTANTIATE_TEST_SUITE_P(Modes, CancelRaceTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "ForwardedToAManualQueue" : "MarkedCancelable"; });

}  // namespace
}  // namespace iotest
