// Free mode: real threads on real time, for the stress and ThreadSanitizer runs.
#include "host/kernel/sched.h"

#include <ntddk.h>

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

namespace {

using host::Mode;

struct SchedulerRun {
    explicit SchedulerRun(host::SchedConfig config) { host::sched_start(config); }
    ~SchedulerRun() { host::sched_stop(); }
};

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
    host::Thread* a = host::spawn("a", meet);
    host::Thread* b = host::spawn("b", meet);
    host::join(a);
    host::join(b);
    EXPECT_EQ(arrived, 2);
}

TEST(FreeMode, InterlockedCountersUnderContention)
{
    SchedulerRun run({Mode::free, 0, 2, 2});
    LONG counter = 0;
    std::vector<host::Thread*> threads;
    for (int t = 0; t < 4; ++t)
        threads.push_back(host::spawn("inc", [&] {
            for (int i = 0; i < 10000; ++i)
                InterlockedIncrement(&counter);
        }));
    for (host::Thread* t : threads)
        host::join(t);
    EXPECT_EQ(counter, 40000);
}

}  // namespace
