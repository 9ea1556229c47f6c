// Every allocation of every scenario failed in turn. A scenario is first run
// whole to count the allocations N of its swept part (framework objects made
// for the driver and its pool); then, on a fresh machine each time, allocation
// 1, 2, ..., N alone fails. Every run must give the application an error or
// success for each call, never a hang; recover to a port that opens and
// echoes bytes while the function is present; and end, after removal and
// unload, with nothing left: no verifier report, no leaked object or pool,
// no request left, the bus interface released.
#include "sweep_machine.h"

#include "host/kernel/verifier.h"
#include "host/rtl/trace.h"
#include "seeds.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

namespace faulttest {
namespace {

struct Scenario {
    const char* name;
    void (*setup)(Machine&);   // reaches the state the swept part starts from
    void (*swept)(Machine&);
};

void nothing(Machine&) {}
void loaded(Machine& m) { m.load(); }
void plugged(Machine& m)
{
    m.load();
    m.plug();
}
void opened(Machine& m)
{
    plugged(m);
    ASSERT_TRUE(m.open_port());
}
void configured(Machine& m)
{
    opened(m);
    m.configure();
}
void used_and_closed(Machine& m)
{
    configured(m);
    m.write();
    m.close_port();
}

const Scenario kScenarios[] = {
    {"load", nothing, [](Machine& m) { m.load(); }},
    {"plug", loaded, [](Machine& m) { m.plug(); }},
    {"open", plugged, [](Machine& m) { m.open_port(); }},
    {"configure", opened, [](Machine& m) { m.configure(); }},
    {"read", configured, [](Machine& m) { m.read(); }},
    {"write", configured, [](Machine& m) { m.write(); }},
    {"wait_on_mask", configured, [](Machine& m) { m.wait_on_mask(); }},
    {"purge", configured, [](Machine& m) { m.purge(); }},
    {"sleep_and_wake", configured, [](Machine& m) { m.sleep_and_wake(); }},
    {"bus_stop_and_start", configured, [](Machine& m) { m.bus_stop_and_start(); }},
    {"surprise_removal", configured, [](Machine& m) { m.surprise_remove(); }},
    {"control_channel", configured, [](Machine& m) { m.control_channel(); }},
    {"close", configured, [](Machine& m) { m.close_port(); }},
    {"unplug", used_and_closed, [](Machine& m) { m.unplug(); }},
};

// Each scenario is swept under this many schedules (ACM_SEEDS chooses others).
#ifndef SWEEP_SEEDS
#define SWEEP_SEEDS 50
#endif
constexpr uint64_t kSeeds = SWEEP_SEEDS;

long g_swept_total = 0;

// Prints the total of the scenarios this process ran.
class SweepTotal : public ::testing::Environment {
public:
    void TearDown() override
    {
        std::printf("allocation sweep: %ld allocation failures run in all\n", g_swept_total);
    }
};
const auto* const g_total = ::testing::AddGlobalTestEnvironment(new SweepTotal);

class AllocationSweep : public ::testing::TestWithParam<Scenario> {
protected:
    // One run of the scenario under `seed` with allocation `fail` of its
    // swept part failing (0: none); returns how many the swept part made.
    long run(uint64_t seed, long fail)
    {
        const Scenario& scenario = GetParam();
        Machine m(seed);
        scenario.setup(m);
        if (HasFatalFailure())
            return 0;
        host::trace_host(std::string("allocation sweep: ") + scenario.name + ", allocation " +
                         std::to_string(fail) + " fails");
        host::verifier_fail_allocation(fail);
        scenario.swept(m);
        const long made = host::verifier_allocation_count();
        const std::string failed = host::verifier_failed_allocation();
        host::verifier_fail_allocation(0);
        if (fail > 0) {
            EXPECT_FALSE(failed.empty()) << "the run made only " << made << " allocations";
        }
        if (m.function_present())
            m.expect_port_works();
        m.expect_clean_end();
        if (HasFailure())
            ADD_FAILURE() << scenario.name << ": first fault with allocation " << fail << " failing ("
                          << (failed.empty() ? "none" : failed) << ")";
        return made;
    }
};

TEST_P(AllocationSweep, EveryAllocationFailingInTurnEndsCleanly)
{
    long fewest = -1, most = 0, swept = 0;
    seeds::run(kSeeds, [&](uint64_t seed) {
        const long total = run(seed, 0);
        ASSERT_FALSE(HasFailure()) << "the scenario fails without any allocation failing";
        for (long n = 1; n <= total && !HasFailure(); ++n)
            run(seed, n);
        fewest = fewest < 0 ? total : std::min(fewest, total);
        most = std::max(most, total);
        swept += total;
    });
    std::printf("allocation sweep: %s: %ld to %ld allocations per run, %ld failures run\n", GetParam().name,
                std::max(fewest, 0L), most, swept);
    g_swept_total += swept;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, AllocationSweep, ::testing::ValuesIn(kScenarios),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace faulttest
