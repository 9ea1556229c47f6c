// The framework verifier's I/O checks, each provoked by a driver that
// breaks its rule.
#include "io_fixture.h"

namespace iotest {
namespace {

class VerifierTest : public IoTest {
protected:
    VerifierTest() { record_violations(); }

    // The device started and a read the driver holds.
    WDFREQUEST started_with_held_read()
    {
        start();
        ios_.push_back(read(4));
        return journal.take_held();
    }

    static bool fired(const char* check) { return host::verifier_fired(check); }

    std::vector<std::unique_ptr<Io>> ios_;
};

TEST_F(VerifierTest, CompletingARequestTwice)
{
    WDFREQUEST request = started_with_held_read();
    WdfRequestComplete(request, STATUS_SUCCESS);
    EXPECT_FALSE(fired("request-completed-twice"));
    WdfRequestComplete(request, STATUS_SUCCESS);
    EXPECT_TRUE(fired("request-completed-twice"));
}

TEST_F(VerifierTest, UsingARequestAfterItsCompletion)
{
    WDFREQUEST request = started_with_held_read();
    WdfRequestComplete(request, STATUS_SUCCESS);
    WdfRequestGetInformation(request);
    EXPECT_TRUE(fired("request-used-after-completion"));
}

TEST_F(VerifierTest, CompletingACancelableRequestOutsideItsCancelRoutine)
{
    WDFREQUEST request = started_with_held_read();
    WdfRequestMarkCancelable(request, evt_request_cancel);
    WdfRequestComplete(request, STATUS_SUCCESS);
    EXPECT_TRUE(fired("request-completed-while-cancelable"));
}

TEST_F(VerifierTest, CompletingInsideTheCancelRoutineIsAllowed)
{
    WDFREQUEST request = started_with_held_read();
    WdfRequestMarkCancelable(request, evt_request_cancel);
    cancel(*ios_.back());
    EXPECT_EQ(wait(*ios_.back()), STATUS_CANCELLED);
    EXPECT_TRUE(host::verifier_violations().empty());
}

TEST_F(VerifierTest, CompletingWhileHoldingASpinLock)
{
    WDFREQUEST request = started_with_held_read();
    WDFSPINLOCK lock;
    ASSERT_EQ(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &lock), STATUS_SUCCESS);
    WdfSpinLockAcquire(lock);
    WdfRequestComplete(request, STATUS_SUCCESS);
    WdfSpinLockRelease(lock);
    EXPECT_TRUE(fired("spinlock-held"));
}

TEST_F(VerifierTest, EvtIoStopThatNeitherCompletesNorAcknowledges)
{
    behaviour.on_stop = [](WDFQUEUE, WDFREQUEST, ULONG) {};
    WDFREQUEST request = started_with_held_read();
    host_->set_power(node_, host::io::DevicePower::D3);
    EXPECT_TRUE(fired("evt-io-stop-not-acknowledged"));
    WdfRequestComplete(request, STATUS_SUCCESS);
}

TEST_F(VerifierTest, StopAcknowledgeOutsideEvtIoStop)
{
    WDFREQUEST request = started_with_held_read();
    WdfRequestStopAcknowledge(request, FALSE);
    EXPECT_TRUE(fired("stop-acknowledge-outside-evtiostop"));
    WdfRequestComplete(request, STATUS_SUCCESS);
}

TEST_F(VerifierTest, RequestLeftUncompletedAtRemoval)
{
    started_with_held_read();   // the default EvtIoStop keeps it, also on purge
    host_->remove(node_);
    EXPECT_TRUE(fired("request-left-uncompleted"));
}

TEST_F(VerifierTest, SpinLockReleasedByANonOwnerOrAcquiredTwice)
{
    start();
    WDFSPINLOCK lock;
    ASSERT_EQ(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &lock), STATUS_SUCCESS);
    WdfSpinLockRelease(lock);
    EXPECT_TRUE(fired("spinlock-unbalanced"));
    host::verifier_reset();
    record_violations();

    WdfSpinLockAcquire(lock);
    WdfSpinLockAcquire(lock);
    EXPECT_TRUE(fired("spinlock-unbalanced"));
    host::Thread* other = host::spawn("other", [lock] { WdfSpinLockRelease(lock); });
    host::join(other);
    EXPECT_EQ(host::verifier_violations().size(), 2u);
    WdfSpinLockRelease(lock);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

EVT_WDF_WORKITEM nothing_to_do;
VOID nothing_to_do(WDFWORKITEM /*WorkItem*/) {}

TEST_F(VerifierTest, WaitingWhileHoldingASpinLock)
{
    start();
    WDFWORKITEM work = make_work_item(nothing_to_do);
    WDFSPINLOCK lock;
    ASSERT_EQ(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &lock), STATUS_SUCCESS);
    WdfSpinLockAcquire(lock);
    WdfWorkItemFlush(work);
    WdfSpinLockRelease(lock);
    EXPECT_TRUE(fired("spinlock-held"));
    EXPECT_TRUE(fired("irql"));
}

// Timer and DPC callbacks that break the IRQL rules.
WDFTIMER g_timer;
EVT_WDF_TIMER stop_own_timer_waiting;
VOID stop_own_timer_waiting(WDFTIMER Timer) { WdfTimerStop(Timer, TRUE); }

EVT_WDF_DPC stop_timer_from_dpc;
VOID stop_timer_from_dpc(WDFDPC /*Dpc*/) { WdfTimerStop(g_timer, TRUE); }

TEST_F(VerifierTest, WaitingTimerStopAboveTheWaitLevelOrFromItsOwnCallback)
{
    start();
    g_timer = make_timer(stop_own_timer_waiting);
    WdfTimerStart(g_timer, WDF_REL_TIMEOUT_IN_MS(1));
    settle(2 * host::kMillisecond);
    EXPECT_TRUE(fired("deadlock"));
    EXPECT_TRUE(fired("irql"));

    host::verifier_reset();
    record_violations();
    WdfDpcEnqueue(make_dpc(stop_timer_from_dpc));
    settle();
    EXPECT_TRUE(fired("irql"));
    EXPECT_FALSE(fired("deadlock"));
}

}  // namespace
}  // namespace iotest
