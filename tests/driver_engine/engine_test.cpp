// The request engine through real requests: who completes a current
// request, the operation slots, and the queue stop and resume callbacks.
#include "engine_fixture.h"

#include "acm_read.h"

#include <gmock/gmock.h>

namespace engtest {
namespace {

constexpr uint64_t kSeeds = 50;

// --- completion -------------------------------------------------------------------

// Data or a cancel ends a pended read; its timer must not fire afterwards.
TEST_F(EngineTest, DataOrCancelEndsAPendedReadAndItsTimer)
{
    for (bool cancelled : {false, true}) {
        SCOPED_TRACE(cancelled ? "cancel" : "data");
        auto io = pended_read(-100 * host::kMillisecond);
        EXPECT_FALSE(io->done());
        if (cancelled)
            cancel(*io);
        else
            data(3);
        EXPECT_EQ(wait(*io), cancelled ? STATUS_CANCELLED : STATUS_SUCCESS);
        EXPECT_EQ(io->information(), cancelled ? 0u : 3u);
        sleep_for(200 * host::kMillisecond);
        EXPECT_EQ(harness.read_timeouts, 0) << "the timer fired after the read ended";
        expect_verifier_silent(1);
    }
}

TEST_F(EngineTest, TimeoutWithoutDataCompletesWithNothing)
{
    auto io = pended_read(-100 * host::kMillisecond);   // 1 ms on
    sleep_for(98 * host::kMillisecond);
    EXPECT_FALSE(io->done());
    sleep_for(2 * host::kMillisecond);
    ASSERT_TRUE(io->done());
    EXPECT_EQ(io->status(), STATUS_TIMEOUT);
    EXPECT_EQ(io->information(), 0u);
    expect_verifier_silent(1);
}

TEST_F(EngineTest, ReadCancelledBeforeMarkingIsNeverPended)
{
    auto io = unstarted_read();
    ASSERT_NE(fdx()->current_read_request, nullptr);
    cancel(*io);
    settle();
    EXPECT_FALSE(io->done());    // not cancelable: the framework only flags it
    harness.hold_start = false;
    read_start(fdx());
    EXPECT_EQ(wait(*io), STATUS_CANCELLED);
    EXPECT_EQ(io->information(), 0u);
    EXPECT_EQ(harness.read_cancels + harness.cancel_during_set, 0) << "the read was marked cancelable";
    EXPECT_EQ(fdx()->current_read_request, nullptr);
    expect_verifier_silent(1);
}

TEST_F(EngineTest, TryToCompleteOnAnEmptySlotDoesNothing)
{
    start();
    data(4);
    settle();
    EXPECT_EQ(available(), 4u);   // kept for the next read
    auto io = read(8);
    EXPECT_EQ(wait(*io), STATUS_SUCCESS);
    EXPECT_EQ(io->information(), 4u);
    expect_verifier_silent(1);
}

TEST_F(EngineTest, ReadMarkedForResumeIsLeftAloneUntilTheQueueResumes)
{
    auto io = pended_read();
    power(host::io::DevicePower::D3);
    ASSERT_TRUE(acm_request_get_context(fdx()->current_read_request)->resume);
    data(2);
    settle();
    EXPECT_FALSE(io->done());
    EXPECT_EQ(available(), 2u) << "the held read took the data";
    cancel(*io);                 // unmarked while held: nothing to cancel yet
    settle();
    EXPECT_FALSE(io->done());
    power(host::io::DevicePower::D0);
    // Cancelled while held: resume finishes the cancellation.
    EXPECT_EQ(wait(*io), STATUS_CANCELLED);
    EXPECT_EQ(io->information(), 0u);
    EXPECT_EQ(available(), 2u);
    expect_verifier_silent(1);
}

TEST_F(EngineTest, ResumedReadIsCancelableAgain)
{
    auto io = pended_read();
    power(host::io::DevicePower::D3);
    power(host::io::DevicePower::D0);
    settle();
    EXPECT_FALSE(io->done());
    cancel(*io);
    EXPECT_EQ(wait(*io), STATUS_CANCELLED);
    expect_verifier_silent(1);
}

TEST_F(EngineTest, ErrorAbortCompletesNewReadsAtOnce)
{
    start();
    fdx()->handflow.ControlHandShake = SERIAL_ERROR_ABORT;
    fdx()->errors = SERIAL_ERROR_FRAMING;
    auto io = read(8);
    EXPECT_EQ(wait(*io), STATUS_CANCELLED);
    fdx()->errors = 0;
    expect_next_read_served();
    expect_verifier_silent(1);
}

// --- output-queue accounting ---------------------------------------------------------

TEST_F(EngineTest, WriteCancelledInItsQueueLowersTheOutputQueueCount)
{
    auto writes = started_writes({10, 7});
    Io& first = *writes[0];
    Io& second = *writes[1];
    EXPECT_EQ(fdx()->out_queue_bytes, 17u);
    EXPECT_EQ(queued(fdx()->write_queue), 1u);
    cancel(second);
    EXPECT_EQ(wait(second), STATUS_CANCELLED);
    EXPECT_EQ(fdx()->out_queue_bytes, 10u);
    transfer_done();
    EXPECT_EQ(wait(first), STATUS_SUCCESS);
    EXPECT_EQ(first.information(), 10u);
    EXPECT_EQ(fdx()->out_queue_bytes, 0u);
    expect_verifier_silent(1);
}

TEST_F(EngineTest, FlushOfTheWriteSlotEmptiesTheOutputQueue)
{
    auto writes = started_writes({3, 5});
    Io& first = *writes[0];
    Io& second = *writes[1];
    acm_queue_flush(fdx()->write_queue, &fdx()->current_write_request);
    EXPECT_EQ(wait(first), STATUS_CANCELLED);
    EXPECT_EQ(wait(second), STATUS_CANCELLED);
    EXPECT_EQ(fdx()->out_queue_bytes, 0u);
    expect_verifier_silent(1);
}

TEST_F(EngineTest, WriteWhileSuspendedWaitsInItsQueue)
{
    start();
    harness.suspended = true;
    auto io = write(4);
    settle();
    EXPECT_EQ(fdx()->current_write_request, nullptr);
    EXPECT_EQ(queued(fdx()->write_queue), 1u);
    harness.suspended = false;
    acm_request_start_next_queued(fdx(), &fdx()->current_write_request, fdx()->write_queue, write_start,
                                  acm_queue_get_next_request);
    ASSERT_NE(fdx()->current_write_request, nullptr);
    transfer_done();
    EXPECT_EQ(wait(*io), STATUS_SUCCESS);
    EXPECT_EQ(fdx()->out_queue_bytes, 0u);
    expect_verifier_silent(1);
}

// --- operation slots -------------------------------------------------------------------

// Two readers on two threads: one read is served, the other waits in
// read_queue until the first is completed.
TEST_F(EngineTest, TwoReadsArrivingTogetherStartOneAtATime)
{
    seeds::run(kSeeds, [this](uint64_t seed) {
        start(seed, 2);
        std::unique_ptr<Io> ios[2];
        host::Thread* readers[2];
        for (int i = 0; i < 2; ++i)
            readers[i] = host::spawn("reader", [this, &ios, i] { ios[i] = read(8); });
        for (host::Thread* t : readers)
            host::join(t);
        settle();
        ASSERT_NE(fdx()->current_read_request, nullptr) << "seed " << seed;
        EXPECT_EQ(queued(fdx()->read_queue), 1u) << "seed " << seed;
        EXPECT_EQ(ios[0]->done() + ios[1]->done(), 0) << "seed " << seed;
        data(1);
        settle();
        EXPECT_EQ(ios[0]->done() + ios[1]->done(), 1) << "seed " << seed;
        EXPECT_EQ(queued(fdx()->read_queue), 0u) << "seed " << seed;
        EXPECT_NE(fdx()->current_read_request, nullptr) << "seed " << seed;   // the second, pended
        data(1);
        for (auto& io : ios) {
            EXPECT_EQ(wait(*io), STATUS_SUCCESS) << "seed " << seed;
            EXPECT_EQ(io->information(), 1u) << "seed " << seed;
        }
        expect_verifier_silent(seed);
    });
}

TEST_F(EngineTest, FlushCancelsTheWaitingAndTheCurrentAndKeepsAccepting)
{
    start();
    std::vector<std::unique_ptr<Io>> ios;
    for (int i = 0; i < 4; ++i)
        ios.push_back(read(8));
    settle();
    ASSERT_EQ(queued(fdx()->read_queue), 3u);
    acm_queue_flush(fdx()->read_queue, &fdx()->current_read_request);
    for (auto& io : ios) {
        EXPECT_EQ(wait(*io), STATUS_CANCELLED);
        EXPECT_EQ(io->information(), 0u);
    }
    EXPECT_EQ(fdx()->current_read_request, nullptr);
    expect_next_read_served();
    expect_verifier_silent(1);
}

TEST_F(EngineTest, TimeoutStoppedAfter400msWaitsAFull500msAfterResume)
{
    auto io = pended_read(-500 * host::kMillisecond);   // 1 ms on
    sleep_for(399 * host::kMillisecond);
    power(host::io::DevicePower::D3);
    sleep_for(300 * host::kMillisecond);   // the halted timer does not fire
    EXPECT_FALSE(io->done());
    power(host::io::DevicePower::D0);
    host::Time resumed = host::now();
    sleep_for(499 * host::kMillisecond);
    EXPECT_FALSE(io->done());
    EXPECT_EQ(wait(*io), STATUS_TIMEOUT);
    EXPECT_LE(host::now() - resumed, 501 * host::kMillisecond);
    EXPECT_EQ(io->information(), 0u);
    expect_verifier_silent(1);
}

// --- removal -----------------------------------------------------------------------------

// In D0 and while the power-down holds the read for its resume.
TEST_F(EngineTest, RemovalCancelsAPendedReadThroughItsCancelRoutine)
{
    for (bool low_power : {false, true}) {
        SCOPED_TRACE(low_power ? "in D3" : "in D0");
        auto io = pended_read(-500 * host::kMillisecond);
        if (low_power) {
            power(host::io::DevicePower::D3);
            ASSERT_TRUE(acm_request_get_context(fdx()->current_read_request)->resume);
        }
        host_->surprise_remove(node_);
        EXPECT_EQ(wait(*io), STATUS_CANCELLED);
        EXPECT_EQ(io->information(), 0u);
        EXPECT_EQ(harness.read_cancels, 1);
        expect_verifier_silent(1);
    }
}

TEST_F(EngineTest, RemovalCompletesAnUnstartedCurrentReadAndEmptiesItsSlot)
{
    auto io = unstarted_read();
    ASSERT_NE(fdx()->current_read_request, nullptr);
    PACM_FDO_DATA device = fdx();
    host_->surprise_remove(node_);
    EXPECT_EQ(wait(*io), STATUS_CANCELLED);
    EXPECT_EQ(device->current_read_request, nullptr);
    expect_verifier_silent(1);
}

// Seed 2 of the stop race: the data DPC has taken the read out of its
// slot and is completing it when EvtIoStop comes; the engine leaves the
// request to that completion, which follows at once, and the framework
// only waits for it.
TEST_F(EngineTest, StopOfARequestBeingCompletedWaitsForTheCompletion)
{
    start(2, 2);
    auto io = read(8);
    settle();
    data(5);
    power(host::io::DevicePower::D3);
    EXPECT_EQ(wait(*io), STATUS_SUCCESS);
    EXPECT_FALSE(host::verifier_fired("evt-io-stop-not-acknowledged"));
}

// --- preconditions ------------------------------------------------------------------

// A routine that must run under spin_lock, called without it: the driver's
// own assertion names the broken rule, its file and its line.
TEST_F(EngineTest, ARoutineNeedingSpinLockCalledWithoutItIsCaughtByItsAssertion)
{
    start();
    BOOLEAN return_at_once = FALSE;

    acm_lock_acquire(fdx());
    acm_read_timeout_update(fdx(), 8, &return_at_once);
    acm_lock_release(fdx());
    EXPECT_TRUE(host::verifier_violations().empty());

    acm_read_timeout_update(fdx(), 8, &return_at_once);
    const std::vector<host::Violation> violations = host::verifier_violations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_EQ(violations[0].check, "assertion");
    EXPECT_THAT(violations[0].detail,
                ::testing::MatchesRegex(".*/acm_read\\.cpp:[0-9]+: \\(fdx\\)->spin_lock_owner == KeGetCurrentThread\\(\\)"));
}

}  // namespace
}  // namespace engtest
