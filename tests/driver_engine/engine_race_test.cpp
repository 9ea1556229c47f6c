// The three completion races of a pended read over many seeds of the
// controlled scheduler: every read completes exactly once, with the status
// and information of whichever party completes it, and every way a race
// can go is seen.
#include "engine_fixture.h"

namespace engtest {
namespace {

constexpr uint64_t kSeeds = 1000;

TEST_F(EngineTest, DataAndTimeout)
{
    over_seeds(kSeeds, &EngineTest::data_and_timeout, {kSuccess5, kTimeout5, kTimeout0}, {kTimeout5, kTimeout0});
}

TEST_F(EngineTest, CancelAndTimeout)
{
    over_seeds(kSeeds, &EngineTest::cancel_and_timeout, {kCancelled0, kTimeout0}, {kCancelled0, kTimeout0});
}

TEST_F(EngineTest, StopWhilePending)
{
    over_seeds(kSeeds, &EngineTest::stop_while_pending, {kSuccess5, kSuccess5 + " held"},
               {kSuccess5, kSuccess5 + " held"});
}

TEST_F(EngineTest, CancelWhileStarting)
{
    over_seeds(kSeeds, &EngineTest::cancel_while_starting,
               {kCancelled0 + " before marking", kCancelled0 + " during marking", kCancelled0 + " while pended"},
               {kCancelled0 + " before marking", kCancelled0 + " while pended"});
}

// The framework calls the cancel routine from inside WdfRequestMarkCancelable
// when the cancellation lands between WdfRequestIsCanceled and the marking.
TEST_F(EngineTest, CancelLandsInsideTheMarking)
{
    over_seeds(kSeeds, &EngineTest::cancel_while_starting,
               {kCancelled0 + " before marking", kCancelled0 + " during marking", kCancelled0 + " while pended"},
               {kCancelled0 + " during marking"});
}

}  // namespace
}  // namespace engtest
