// Timers, DPCs, work items, spin locks and wait locks, in virtual time.
#include "io_fixture.h"

#include <chrono>

namespace iotest {
namespace {

// What the callbacks below saw.
struct Seen {
    std::vector<host::Time> fired_at;
    std::vector<KIRQL> irqls;
    std::vector<host::Thread*> threads;
    bool entered = false;
    bool release = false;
    bool left = false;
} g_seen;

void note()
{
    g_seen.fired_at.push_back(host::now());
    g_seen.irqls.push_back(KeGetCurrentIrql());
    g_seen.threads.push_back(host::current_thread());
}

EVT_WDF_TIMER on_timer;
VOID on_timer(WDFTIMER /*Timer*/) { note(); }

EVT_WDF_DPC on_dpc;
VOID on_dpc(WDFDPC /*Dpc*/) { note(); }

EVT_WDF_WORKITEM on_work;
VOID on_work(WDFWORKITEM /*WorkItem*/) { note(); }

// A callback that stays busy until another thread lets go of a spin lock.
WDFSPINLOCK g_gate;
EVT_WDF_TIMER on_timer_busy;
VOID on_timer_busy(WDFTIMER /*Timer*/)
{
    g_seen.entered = true;
    WdfSpinLockAcquire(g_gate);
    WdfSpinLockRelease(g_gate);
    g_seen.left = true;
}

class TimerTest : public IoTest {
protected:
    TimerTest()
    {
        g_seen = Seen{};
        start();
    }

    // Holds g_gate until the test sets `release`, then lets it go some
    // scheduling points later.
    static host::Thread* gatekeeper()
    {
        return host::spawn("gatekeeper", [] {
            WdfSpinLockAcquire(g_gate);
            {
                auto lk = host::sched_lock();
                host::wait_until(lk, [] { return g_seen.release; }, host::kForever, "the test's signal");
            }
            for (int i = 0; i < 20; ++i)
                KeStallExecutionProcessor(1);
            WdfSpinLockRelease(g_gate);
        });
    }
};

TEST_F(TimerTest, OneShotTimerFiresAtItsRelativeDueTimeOnADpc)
{
    WDFTIMER t = make_timer(on_timer);
    host::Time start = host::now();
    EXPECT_FALSE(WdfTimerStart(t, WDF_REL_TIMEOUT_IN_MS(250)));
    settle(host::kSecond);
    ASSERT_EQ(g_seen.fired_at.size(), 1u);
    EXPECT_EQ(g_seen.fired_at[0] - start, 250 * host::kMillisecond);
    EXPECT_EQ(g_seen.irqls[0], DISPATCH_LEVEL);
    EXPECT_NE(g_seen.threads[0], host::current_thread());
    EXPECT_EQ(WdfTimerGetParentObject(t), WDFOBJECT(journal.device));
}

TEST_F(TimerTest, AbsoluteDueTimeIsSystemTime)
{
    WDFTIMER t = make_timer(on_timer);
    LARGE_INTEGER system_now;
    KeQuerySystemTime(&system_now);
    host::Time start = host::now();
    WdfTimerStart(t, system_now.QuadPart + 40 * host::kMillisecond);
    settle(host::kSecond);
    ASSERT_EQ(g_seen.fired_at.size(), 1u);
    EXPECT_EQ(g_seen.fired_at[0] - start, 40 * host::kMillisecond);
}

TEST_F(TimerTest, PeriodicTimerFiresEveryPeriodUntilStopped)
{
    WDFTIMER t = make_timer(on_timer, 100);
    host::Time start = host::now();
    WdfTimerStart(t, WDF_REL_TIMEOUT_IN_MS(50));
    settle(360 * host::kMillisecond);
    EXPECT_TRUE(WdfTimerStop(t, TRUE));
    settle(host::kSecond);
    ASSERT_EQ(g_seen.fired_at.size(), 4u);
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(g_seen.fired_at[i] - start, (50 + 100 * host::Time(i)) * host::kMillisecond);
}

TEST_F(TimerTest, StopReportsWhetherTheTimerWasStillQueued)
{
    WDFTIMER t = make_timer(on_timer);
    WdfTimerStart(t, WDF_REL_TIMEOUT_IN_MS(10));
    EXPECT_TRUE(WdfTimerStart(t, WDF_REL_TIMEOUT_IN_MS(20)));   // re-armed
    EXPECT_TRUE(WdfTimerStop(t, FALSE));
    settle(100 * host::kMillisecond);
    EXPECT_TRUE(g_seen.fired_at.empty());

    WdfTimerStart(t, WDF_REL_TIMEOUT_IN_MS(10));
    settle(100 * host::kMillisecond);
    EXPECT_EQ(g_seen.fired_at.size(), 1u);
    EXPECT_FALSE(WdfTimerStop(t, FALSE));
}

TEST_F(TimerTest, WaitingStopReturnsOnlyAfterARunningCallback)
{
    WDFTIMER t = make_timer(on_timer_busy);
    ASSERT_EQ(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &g_gate), STATUS_SUCCESS);
    host::Thread* keeper = gatekeeper();
    WdfTimerStart(t, WDF_REL_TIMEOUT_IN_MS(1));
    while (!g_seen.entered)
        settle();
    {
        auto lk = host::sched_lock();
        g_seen.release = true;
        host::notify_all();
    }
    EXPECT_FALSE(WdfTimerStop(t, TRUE));   // already fired
    EXPECT_TRUE(g_seen.left);
    host::join(keeper);
}

TEST_F(TimerTest, TenSecondTimerCostsNoWallTime)
{
    WDFTIMER t = make_timer(on_timer);
    auto wall = std::chrono::steady_clock::now();
    host::Time start = host::now();
    WdfTimerStart(t, WDF_REL_TIMEOUT_IN_SEC(10));
    while (g_seen.fired_at.empty())
        settle(host::kSecond);
    EXPECT_EQ(g_seen.fired_at[0] - start, 10 * host::kSecond);
    EXPECT_LT(std::chrono::steady_clock::now() - wall, std::chrono::milliseconds(500));
}

TEST_F(TimerTest, DpcRunsOnceAtDispatchLevelAndCancelTellsWhetherItWasRemoved)
{
    WDFDPC dpc = make_dpc(on_dpc);
    EXPECT_EQ(WdfDpcGetParentObject(dpc), WDFOBJECT(journal.device));

    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);   // as a driver queueing from its own DPC
    EXPECT_TRUE(WdfDpcEnqueue(dpc));
    BOOLEAN second = WdfDpcEnqueue(dpc);
    KeLowerIrql(old);
    settle();
    // Queued again while still queued: it runs once; after it began: twice.
    EXPECT_EQ(g_seen.fired_at.size(), second ? 2u : 1u);
    EXPECT_EQ(g_seen.irqls[0], DISPATCH_LEVEL);

    size_t before = g_seen.fired_at.size();
    WdfDpcEnqueue(dpc);
    BOOLEAN removed = WdfDpcCancel(dpc, TRUE);
    EXPECT_EQ(g_seen.fired_at.size(), before + (removed ? 0 : 1));
}

TEST_F(TimerTest, WorkItemRunsAtPassiveLevelAndFlushWaitsForIt)
{
    WDFWORKITEM work = make_work_item(on_work);
    EXPECT_EQ(WdfWorkItemGetParentObject(work), WDFOBJECT(journal.device));
    WdfWorkItemEnqueue(work);
    WdfWorkItemFlush(work);
    ASSERT_EQ(g_seen.fired_at.size(), 1u);
    EXPECT_EQ(g_seen.irqls[0], PASSIVE_LEVEL);
    EXPECT_NE(g_seen.threads[0], host::current_thread());
}

TEST_F(TimerTest, DeletingATimerFromItsOwnCallbackIsSafe)
{
    static WDFTIMER self;
    self = make_timer([](WDFTIMER Timer) {
        note();
        WdfObjectDelete(Timer);
    });
    WdfTimerStart(self, WDF_REL_TIMEOUT_IN_MS(5));
    settle(50 * host::kMillisecond);
    EXPECT_EQ(g_seen.fired_at.size(), 1u);
}

// --- locks --------------------------------------------------------------------

TEST_F(TimerTest, SpinLockRaisesToDispatchAndSerialisesThreads)
{
    WDFSPINLOCK lock;
    ASSERT_EQ(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &lock), STATUS_SUCCESS);
    WdfSpinLockAcquire(lock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(host::held_spin_locks(), 1);
    WdfSpinLockRelease(lock);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(host::held_spin_locks(), 0);

    // Read-yield-write under the lock: no increment may be lost.
    static LONG counter;
    counter = 0;
    std::vector<host::Thread*> threads;
    for (int t = 0; t < 3; ++t)
        threads.push_back(host::spawn("incrementer", [lock] {
            for (int i = 0; i < 20; ++i) {
                WdfSpinLockAcquire(lock);
                LONG seen = counter;
                KeStallExecutionProcessor(1);
                counter = seen + 1;
                WdfSpinLockRelease(lock);
            }
        }));
    for (host::Thread* t : threads)
        host::join(t);
    EXPECT_EQ(counter, 60);
}

TEST_F(TimerTest, WaitLockTimesOutWhileHeldElsewhere)
{
    WDFWAITLOCK lock;
    ASSERT_EQ(WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &lock), STATUS_SUCCESS);
    ASSERT_EQ(WdfWaitLockAcquire(lock, nullptr), STATUS_SUCCESS);
    NTSTATUS polled = STATUS_PENDING, waited = STATUS_PENDING;
    host::Thread* other = host::spawn("other", [&] {
        LONGLONG zero = 0, short_wait = WDF_REL_TIMEOUT_IN_MS(20);
        polled = WdfWaitLockAcquire(lock, &zero);
        waited = WdfWaitLockAcquire(lock, &short_wait);
    });
    host::join(other);
    EXPECT_EQ(polled, STATUS_TIMEOUT);
    EXPECT_EQ(waited, STATUS_TIMEOUT);
    WdfWaitLockRelease(lock);
}

}  // namespace
}  // namespace iotest
