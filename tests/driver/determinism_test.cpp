// A controlled run is a function of its seed: the same seed gives the same
// trace, byte for byte (time stamps, pointers and thread addresses included),
// and different seeds schedule the same scenario differently.
#include "driver_fixture.h"

#include "host/kernel/sched.h"

#include <set>

namespace drvtest {
namespace {

class DeterminismTest : public DriverTest {
protected:
    struct Run {
        std::string trace;
        uint64_t schedule;
    };

    // Two modems of one friendly name and a port: add, hand the modems'
    // link over, remove, unload; everything at the most verbose level.
    Run run(uint64_t seed)
    {
        fresh_host(seed);
        set_debug_level(4);
        EXPECT_EQ(load(), STATUS_SUCCESS);
        auto* first = plug({ .class_name = u"Modem", .friendly_name = u"USB Modem", .port = u"COM5" });
        auto* second = plug({ .class_name = u"Modem", .friendly_name = u"USB Modem", .port = u"COM6" });
        auto* port = plug({ .port = u"COM7" });
        EXPECT_TRUE(first && second && port);
        host_->remove(first);
        host_->remove(port);
        host_->remove(second);
        host_->unload_driver();
        return { host::trace_text(), host::schedule_digest() };
    }
};

TEST_F(DeterminismTest, SameSeedGivesTheSameTraceByteForByte)
{
    for (uint64_t seed : { 1u, 42u }) {
        Run a = run(seed);
        Run b = run(seed);
        EXPECT_EQ(a.schedule, b.schedule) << "seed " << seed;
        ASSERT_EQ(a.trace, b.trace) << "seed " << seed;
        EXPECT_NE(a.trace.find("fdx"), std::string::npos) << "the trace prints device context pointers";
        EXPECT_NE(a.trace.find("will be transferred"), std::string::npos);
    }
}

TEST_F(DeterminismTest, DifferentSeedsScheduleDifferently)
{
    std::set<uint64_t> schedules;
    for (uint64_t seed = 1; seed <= 8; ++seed)
        schedules.insert(run(seed).schedule);
    EXPECT_GT(schedules.size(), 4u);
}

}  // namespace
}  // namespace drvtest
