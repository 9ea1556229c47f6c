// Free mode: real threads on real time, for the stress and ThreadSanitizer runs.
#include "sched_run.h"

#include <ntddk.h>

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

namespace {

using host::Mode;

using schedtest::SchedulerRun;

TEST(FreeMode, ThreadsRunConcurrentlyOnRealTime)
{
    SchedulerRun run({Mode::free, 0, 2, 2});
    std::atomic<int> arrived{0};
    auto meet = [&] {
        auto l = host::sched_lock();
        ++arrived;
        host::notify_all();
        // Each thread waits for the other: only concurrent threads get past.
        host::wait_until(l, [&] { return arrived == 2; }, host::kForever, "rendezvous");
    };
    schedtest::on_host_threads(2, "meet", meet);
    EXPECT_EQ(arrived, 2);
}

TEST(FreeMode, InterlockedCountersUnderContention)
{
    SchedulerRun run({Mode::free, 0, 2, 2});
    LONG counter = 0;
    schedtest::on_host_threads(4, "inc", [&] {
        for (int i = 0; i < 10000; ++i)
            InterlockedIncrement(&counter);
    });
    EXPECT_EQ(counter, 40000);
}

}  // namespace
