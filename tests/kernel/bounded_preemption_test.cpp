// Bounded preemption over a race planted in a tiny scenario: it needs one
// preemption at one precise point, so that every schedule with at most one
// preemption finds it for certain while random seeds miss it.
#include "preemptions.h"

#include "sched_run.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

using host::Mode;

// No processor or worker threads: only the scenario's own threads race.
struct SchedulerRun : schedtest::SchedulerRun {
    explicit SchedulerRun(uint64_t seed) : schedtest::SchedulerRun({ Mode::controlled, seed, 0, 0 }) {}
};

// A writer rewrites a record in 40 steps and leaves it torn across the
// scheduling point of step 23 alone; a checker that finds it torn looks
// again at 8 more scheduling points. The race shows only when the writer
// is preempted right there and the checker then runs its whole check.
// Returns whether the checker never saw the torn record throughout.
bool planted_race_passes(uint64_t seed)
{
    SchedulerRun run(seed);
    bool torn = false;
    bool caught = false;
    host::Thread* writer = host::spawn("writer", [&] {
        for (int step = 0; step < 40; ++step) {
            torn = step == 23;
            host::yield_point("writer");
        }
        torn = false;
    });
    host::Thread* checker = host::spawn("checker", [&] {
        bool held = torn;
        for (int look = 0; look < 8 && held; ++look) {
            host::yield_point("checker");
            held = torn;
        }
        caught = held;
    });
    host::join(writer);
    host::join(checker);
    return !caught;
}

TEST(BoundedPreemption, FindsARaceThatNeedsOnePreciselyPlacedPreemption)
{
    const auto run_once = [] { return planted_race_passes(1); };
    const preemptions::Result none = preemptions::explore(0, 100000, run_once);
    EXPECT_FALSE(none.failing) << "without a preemption the race cannot show";
    EXPECT_FALSE(none.capped);
    EXPECT_GT(none.schedules, 1u) << "switches where a thread blocks are explored at no cost";

    const preemptions::Result one = preemptions::explore(1, 100000, run_once);
    ASSERT_TRUE(one.failing) << one.schedules << " schedules";
    EXPECT_EQ(one.failing_preemptions, 1);
    EXPECT_TRUE(one.divergence.empty()) << one.divergence;

    // The schedule printed reproduces the failure alone, through its text.
    const auto reread = preemptions::parse(preemptions::format(*one.failing));
    ASSERT_TRUE(reread);
    const preemptions::Result again = preemptions::replay(*reread, run_once);
    EXPECT_TRUE(again.failing);
    EXPECT_EQ(again.failing_preemptions, 1);
    EXPECT_FALSE(preemptions::replay({}, run_once).failing) << "the default schedule does not preempt";
    EXPECT_FALSE(preemptions::replay({ { 0, 99 } }, run_once).divergence.empty()) << "no thread 99";

    const preemptions::Result one_delay = preemptions::explore(1, 100000, run_once, preemptions::Cost::every_departure);
    EXPECT_TRUE(one_delay.failing) << "the default order reaches the window: one departure is enough";

    int seeds_that_found_it = 0;
    for (uint64_t seed = 1; seed <= 200; ++seed)
        seeds_that_found_it += !planted_race_passes(seed);
    EXPECT_EQ(seeds_that_found_it, 0) << "random seeds should need luck to find it";
}

TEST(BoundedPreemption, CountsEverySchedulePerBoundAndStopsAtTheCap)
{
    // Two threads of three steps each: without a preemption one runs to its
    // end before the other starts; two preemptions reach some orders, not all.
    std::set<std::string> orders;
    const auto run_once = [&orders] {
        SchedulerRun run(1);
        orders.insert(schedtest::two_letter_interleaving(3));
        return true;
    };
    const auto zero = preemptions::explore(0, 1000, run_once);
    EXPECT_EQ(orders, (std::set<std::string>{ "aaabbb", "bbbaaa" }));
    EXPECT_FALSE(zero.capped);

    orders.clear();
    const auto two = preemptions::explore(2, 1000, run_once);
    EXPECT_FALSE(two.capped);
    EXPECT_TRUE(orders.count("abbbaa") && orders.count("aabbab")) << "one and two preemptions";
    EXPECT_FALSE(orders.count("ababab")) << "five preemptions";

    const auto capped = preemptions::explore(2, 3, run_once);
    EXPECT_TRUE(capped.capped);
    EXPECT_EQ(capped.schedules, 3u);
}

TEST(BoundedPreemption, ScheduleTextRoundTripsAndRefusesTheRest)
{
    const preemptions::Schedule s{ { 4, 7 }, { 12, 3 } };
    EXPECT_EQ(preemptions::format(s), "4:7,12:3");
    EXPECT_EQ(preemptions::parse("4:7,12:3"), s);
    EXPECT_EQ(preemptions::parse("default"), preemptions::Schedule{});
    for (const char* bad : { "", "4", "4:", ":7", "4:0", "4:7,", "4:7,4:8", "12:3,4:7", "a:b", "4:7;5:1", " 4:7" })
        EXPECT_FALSE(preemptions::parse(bad)) << '"' << bad << '"';
}

}  // namespace
