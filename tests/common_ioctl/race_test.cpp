// Races of the common class controls over many seeds of the controlled
// scheduler: a WAIT against its cancellation and a RESPONSE_AVAILABLE, and
// a record changed by another thread while its control is under way.
// Whatever the interleaving, each request completes once with a consistent
// result and no announced response is lost.
#include "common_fixture.h"

#include "host/kernel/sched.h"
#include "seeds.h"

#include <map>

#ifndef RACE_SEEDS
#define RACE_SEEDS 200
#endif

namespace commontest {
namespace {

class CommonRaceTest : public CommonTest {
public:
    using Scenario = std::string (CommonRaceTest::*)(uint64_t seed);

    void over_seeds(Scenario scenario, const std::vector<std::string>& allowed)
    {
        std::map<std::string, int> seen;
        seeds::run(RACE_SEEDS, [&](uint64_t seed) {
            std::string result = (this->*scenario)(seed);
            seen[result]++;
            EXPECT_NE(std::find(allowed.begin(), allowed.end(), result), allowed.end())
                << "seed " << seed << " gave " << result;
            EXPECT_EQ(host::io::user_locked_pages(), 0u) << "seed " << seed;
            for (const auto& v : host::verifier_violations())
                ADD_FAILURE() << "seed " << seed << ": " << v.check << ": " << v.detail;
        });
        if (HasFailure())
            return;
        for (const auto& [result, count] : seen)
            std::printf("  %s: %d seeds\n", result.c_str(), count);
    }

    // The WAIT either takes the announcement or is cancelled; then the
    // announcement must still be there for the next WAIT.
    std::string wait_cancel_announce(uint64_t seed)
    {
        start(seed);
        Areas a = areas("", 0);
        auto io = issue(IOCTL_CDC_WAIT_FOR_ENCAPSULATED_RESPONSE, a);
        host::Thread* device = host::spawn("device", [this, seed] {
            porttest::sleep_for(host::Time(seed % 3) * host::kMillisecond);
            fn_->response_available();
        });
        porttest::sleep_for(host::Time(seed / 3 % 3) * host::kMillisecond);
        cancel(*io);
        wait(*io);
        host::join(device);
        fn_->settle();
        porttest::sleep_for(host::kMillisecond);
        std::string first = io->result() == taken() && a.out->dc_status == 0 ? "taken" : io->result();

        Areas b = areas("", 0);
        auto next = issue(IOCTL_CDC_WAIT_FOR_ENCAPSULATED_RESPONSE, b);
        porttest::sleep_for(host::kMillisecond);
        std::string second = next->done() ? "at once" : "pends";
        if (!next->done())
            fn_->response_available();
        wait(*next);
        return first + ", next " + second;
    }

    // Two WAITs, two announcements back to back: the second may take its
    // WAIT before the DPC has completed the first; neither may be lost.
    std::string two_waits_two_announcements(uint64_t seed)
    {
        start(seed);
        Areas a = areas("", 0), b = areas("", 0);
        auto first = issue(IOCTL_CDC_WAIT_FOR_ENCAPSULATED_RESPONSE, a);
        auto second = issue(IOCTL_CDC_WAIT_FOR_ENCAPSULATED_RESPONSE, b);
        fn_->response_available();
        fn_->response_available();
        wait(*first);
        wait(*second);
        return first->result() == taken() && second->result() == taken() && a.out->dc_status == 0 &&
                       b.out->dc_status == 0
                   ? "both"
                   : first->result() + " " + second->result();
    }

    // Another thread enlarges the output length and points it elsewhere
    // while the control is on its way: the driver uses what it locked or
    // refuses the changed record, and never touches more.
    std::string record_changed(uint64_t seed)
    {
        start(seed);
        Areas a = generic(control_record(kStandardIn, 0x00, 2), 2);
        host::Thread* other = host::spawn("app2", [&a] {
            a.out->data_out_len = 0x10000;
            a.out->data_out = 0x80001000;
        });
        auto io = issue(IOCTL_DC_GENERIC_CONTROL, a);
        wait(*io);
        host::join(other);
        if (io->result() != taken())
            return io->result();
        if (a.out->dc_status == DC_STATUS_INVALID_PARAMETER)
            return "refused";
        // The other thread may write the record again after completion;
        // what was transferred shows in the data and at the function.
        const auto log = generic_log();
        const bool exact = log.size() == 1 && log[0].data.size() == 2 && a.data_out[0] == 0 && a.data_out[1] == 0;
        return a.out->dc_status == 0 && exact ? "done" : "wrong";
    }
};

TEST_F(CommonRaceTest, WaitAgainstCancelAndResponseAvailable)
{
    over_seeds(&CommonRaceTest::wait_cancel_announce,
               { "taken, next pends", porttest::outcome(STATUS_CANCELLED, 0) + ", next at once" });
}

TEST_F(CommonRaceTest, TwoAnnouncementsReleaseTwoWaits)
{
    over_seeds(&CommonRaceTest::two_waits_two_announcements, { "both" });
}

TEST_F(CommonRaceTest, RecordChangedWhileTheControlIsUnderWay)
{
    over_seeds(&CommonRaceTest::record_changed,
               { "done", "refused", porttest::outcome(STATUS_ACCESS_VIOLATION, 0) });
}

}  // namespace
}  // namespace commontest
