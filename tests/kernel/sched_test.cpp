// The scheduler: determinism per seed, virtual time, DPC and work-item
// contexts, deadlock detection, and free-mode concurrency.
#include "host/kernel/pool.h"
#include "host/kernel/sched.h"
#include "host/kernel/verifier.h"
#include "sched_run.h"

#include <ntddk.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

using host::Mode;
using host::SchedConfig;

using schedtest::SchedulerRun;

// Two threads append their names around scheduling points; the result is the
// interleaving the scheduler chose.
std::string racy_interleaving(uint64_t seed)
{
    SchedulerRun run({Mode::controlled, seed});
    return schedtest::two_letter_interleaving(8);
}

TEST(Scheduler, SameSeedGivesTheSameInterleaving)
{
    for (uint64_t seed : {1u, 7u, 12345u})
        EXPECT_EQ(racy_interleaving(seed), racy_interleaving(seed)) << "seed " << seed;
}

TEST(Scheduler, DifferentSeedsExploreDifferentInterleavings)
{
    std::set<std::string> seen;
    for (uint64_t seed = 1; seed <= 20; ++seed)
        seen.insert(racy_interleaving(seed));
    EXPECT_GT(seen.size(), 10u);
}

TEST(Scheduler, VirtualTimeCostsNoWallTime)
{
    SchedulerRun run({Mode::controlled, 3});
    auto wall_start = std::chrono::steady_clock::now();
    LARGE_INTEGER ten_seconds;
    ten_seconds.QuadPart = -10 * host::kSecond;
    ASSERT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &ten_seconds), STATUS_SUCCESS);
    EXPECT_EQ(host::now(), 10 * host::kSecond);
    EXPECT_LT(std::chrono::steady_clock::now() - wall_start, std::chrono::milliseconds(500));
}

TEST(Scheduler, TimersFireInDueOrderAndDisarmedOnesNever)
{
    SchedulerRun run({Mode::controlled, 4});
    std::vector<int> fired;
    auto lk = host::sched_lock();
    host::timer_arm(lk, 30 * host::kMillisecond, [&] { fired.push_back(30); });
    host::timer_arm(lk, 10 * host::kMillisecond, [&] { fired.push_back(10); });
    auto cancelled = host::timer_arm(lk, 20 * host::kMillisecond, [&] { fired.push_back(20); });
    EXPECT_TRUE(host::timer_disarm(lk, cancelled));
    EXPECT_FALSE(host::timer_disarm(lk, cancelled));
    host::wait_until(lk, [&] { return fired.size() == 2; }, host::kForever, "timers");
    EXPECT_EQ(fired, (std::vector<int>{10, 30}));
    EXPECT_EQ(host::now(), 30 * host::kMillisecond);
}

TEST(Scheduler, WaitTimesOutAtItsDeadline)
{
    SchedulerRun run({Mode::controlled, 5});
    auto lk = host::sched_lock();
    EXPECT_FALSE(host::wait_until(lk, [] { return false; }, 250 * host::kMillisecond, "never"));
    EXPECT_EQ(host::now(), 250 * host::kMillisecond);
}

TEST(Scheduler, DpcsRunOnceAtDispatchLevel)
{
    SchedulerRun run({Mode::controlled, 6});
    int runs = 0;
    KIRQL seen = PASSIVE_LEVEL;
    host::Dpc dpc;
    dpc.routine = [&] {
        ++runs;
        seen = KeGetCurrentIrql();
    };
    auto lk = host::sched_lock();
    EXPECT_TRUE(host::dpc_queue(lk, &dpc));
    EXPECT_FALSE(host::dpc_queue(lk, &dpc)) << "a queued DPC is not queued twice";
    host::dpc_flush(lk, &dpc);
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(seen, DISPATCH_LEVEL);
    EXPECT_FALSE(host::dpc_dequeue(lk, &dpc)) << "a DPC that ran cannot be dequeued";
}

TEST(Scheduler, DequeuedDpcNeverRuns)
{
    SchedulerRun run({Mode::controlled, 7});
    int runs = 0;
    host::Dpc dpc;
    dpc.routine = [&] { ++runs; };
    auto lk = host::sched_lock();
    host::dpc_queue(lk, &dpc);
    // Nothing has yielded since the queueing, so no processor took it yet.
    EXPECT_TRUE(host::dpc_dequeue(lk, &dpc));
    host::dpc_flush(lk, &dpc);
    EXPECT_EQ(runs, 0);
}

TEST(Scheduler, WorkItemsRunAtPassiveLevelAndFlushWaits)
{
    SchedulerRun run({Mode::controlled, 8});
    KIRQL seen = HIGH_LEVEL;
    bool done = false;
    host::WorkItem item;
    item.routine = [&] {
        LARGE_INTEGER delay;
        delay.QuadPart = -5 * host::kMillisecond;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        seen = KeGetCurrentIrql();
        done = true;
    };
    auto lk = host::sched_lock();
    host::work_queue(lk, &item);
    host::work_flush(lk, &item);
    EXPECT_TRUE(done);
    EXPECT_EQ(seen, PASSIVE_LEVEL);
}

TEST(Scheduler, InterlockedOperationsAreScheduledAndExact)
{
    SchedulerRun run({Mode::controlled, 9});
    LONG counter = 0;
    schedtest::on_host_threads(4, "inc", [&] {
        for (int i = 0; i < 100; ++i)
            InterlockedIncrement(&counter);
    });
    EXPECT_EQ(counter, 400);
    EXPECT_EQ(InterlockedCompareExchange(&counter, 7, 400), 400);
    EXPECT_EQ(InterlockedExchange(&counter, 1), 7);
}

TEST(SchedulerDeathTest, DeadlockIsReported)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            host::sched_start({Mode::controlled, 10});
            auto lk = host::sched_lock();
            host::wait_until(lk, [] { return false; }, host::kForever, "a signal nobody sends");
        },
        "deadlock");
}

TEST(Verifier, RecordsInsteadOfStoppingWhenAsked)
{
    SchedulerRun run({Mode::controlled, 11});
    host::verifier_reset();
    host::verifier_set_action(host::VerifierAction::record);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    LARGE_INTEGER delay;
    delay.QuadPart = -1;
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &delay), STATUS_SUCCESS);
    KeLowerIrql(old);
    EXPECT_TRUE(host::verifier_fired("irql"));
    host::verifier_reset();
}

// Checked in every build: a false assertion is reported with its text, file
// and line (and message); a true one is silent.
TEST(Verifier, ReportsAFalseAssertionWithItsTextFileAndLine)
{
    SchedulerRun run({Mode::controlled, 12});
    host::verifier_reset();
    host::verifier_set_action(host::VerifierAction::record);
    const int zero = 0;
    EXPECT_TRUE(NT_ASSERT(zero == 0));
    const int line = __LINE__ + 1;
    EXPECT_FALSE(NT_ASSERT(zero == 1));
    EXPECT_FALSE(ASSERTMSG("no count", zero > 0));
    const std::vector<host::Violation> violations = host::verifier_violations();
    ASSERT_EQ(violations.size(), 2u);
    EXPECT_EQ(violations[0].check, "assertion");
    EXPECT_EQ(violations[0].detail, std::string(__FILE__) + ":" + std::to_string(line) + ": zero == 1");
    EXPECT_EQ(violations[1].check, "assertion");
    EXPECT_EQ(violations[1].detail, std::string(__FILE__) + ":" + std::to_string(line + 1) + ": zero > 0 (no count)");
    host::verifier_reset();
}

TEST(VerifierDeathTest, AFalseAssertionStopsTheRunWithItsReport)
{
    host::verifier_reset();
    const int zero = 0;
    EXPECT_DEATH(NT_ASSERT(zero == 1), "VERIFIER: assertion: .*sched_test\\.cpp:[0-9]+: zero == 1");
}

TEST(Verifier, FailsEveryAllocationAfterTheNth)
{
    host::verifier_reset();
    host::verifier_fail_allocations_after(2);
    EXPECT_FALSE(host::verifier_allocation_fails());
    EXPECT_FALSE(host::verifier_allocation_fails());
    EXPECT_TRUE(host::verifier_allocation_fails());
    EXPECT_TRUE(host::verifier_allocation_fails());
    host::verifier_reset();
    EXPECT_FALSE(host::verifier_allocation_fails());
}

TEST(Pool, ControlledRunsGetTheSameAddressesAfterReset)
{
    auto addresses = [] {
        SchedulerRun run({Mode::controlled, 12});
        host::pool_reset();
        std::vector<void*> out;
        for (size_t size : {16u, 100u, 4096u})
            out.push_back(host::pool_alloc(size));
        host::pool_free(out[1]);
        out.push_back(host::pool_alloc(8));
        return out;
    };
    auto first = addresses();
    EXPECT_EQ(first, addresses());
    EXPECT_LT(reinterpret_cast<uintptr_t>(first[0]), uintptr_t(1) << 32);
    EXPECT_NE(first[3], first[1]) << "freed blocks are not reused within a run";
}

// Freed pool is filled with garbage in every build and known as freed, and
// freeing a range someone still uses is a verifier failure.
TEST(Pool, FreedBlocksArePoisonedAndFreeingAWatchedRangeIsReported)
{
    SchedulerRun run({Mode::controlled, 3});
    host::pool_reset();
    host::verifier_reset();
    host::verifier_set_action(host::VerifierAction::record);
    auto* live = static_cast<uint8_t*>(host::pool_alloc(32));
    auto* freed = static_cast<uint8_t*>(host::pool_alloc(32));
    std::memset(freed, 'x', 32);
    host::pool_free(freed);
    EXPECT_TRUE(host::pool_range_freed(freed + 8, 4));
    EXPECT_TRUE(host::pool_range_freed(live + 16, 64)) << "a range reaching into a freed block";
    EXPECT_FALSE(host::pool_range_freed(live, 32));
#if !defined(__SANITIZE_ADDRESS__)
    EXPECT_EQ(freed[5], host::kPoolFreedByte);
#endif
    EXPECT_FALSE(host::verifier_fired("pool-freed-while-in-use"));

    host::pool_watch(live + 4, 8, "a transfer");
    host::pool_free(live);
    EXPECT_TRUE(host::verifier_fired("pool-freed-while-in-use"));
    host::pool_unwatch(live + 4);
    host::verifier_reset();
}

// KeDelayExecutionThread waits at IRQL <= APC_LEVEL only; above that the
// verifier reports it (a bus that calls its callbacks at DISPATCH_LEVEL
// shows a driver that waits in them).
TEST(Verifier, AWaitAboveApcLevelIsReported)
{
    SchedulerRun run({Mode::controlled, 5});
    host::verifier_reset();
    host::verifier_set_action(host::VerifierAction::record);
    LARGE_INTEGER interval;
    interval.QuadPart = -10;
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    EXPECT_FALSE(host::verifier_fired("irql"));
    KIRQL apc;
    KeRaiseIrql(DISPATCH_LEVEL, &apc);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    KeLowerIrql(apc);
    KeLowerIrql(old);
    EXPECT_TRUE(host::verifier_fired("irql"));
    host::verifier_reset();
}

}  // namespace
