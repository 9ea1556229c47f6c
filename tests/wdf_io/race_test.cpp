// Cancellation racing completion, over many seeds of the controlled
// scheduler: every request completes exactly once, with the status of
// whichever side won.
#include "race_fixture.h"
#include "seeds.h"

namespace iotest {
namespace {

TEST_P(CancelRaceTest, EveryRequestCompletesExactlyOnce)
{
    int cancelled_won = 0, completion_won = 0;
    const seeds::Range range = seeds::run(150, [&](uint64_t seed) {
        start_seed(seed);
        race_once(seed, cancelled_won, completion_won);
    });
    if (!seeds::covers_default(range, 150))
        return;
    // Both sides win some of the races.
    EXPECT_GT(cancelled_won, 0);
    EXPECT_GT(completion_won, 0);
}

INSTANTIATE_TEST_SUITE_P(Modes, CancelRaceTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "ForwardedToAManualQueue" : "MarkedCancelable"; });

}  // namespace
}  // namespace iotest
