// Device add and start under allocation failures: each framework allocation
// of a plug is made to fail in turn. A failure fails the plug and leaves
// nothing published behind, except in the start's last optional steps, whose
// failure the device survives with everything published.
#include "driver_fixture.h"

#include "host/kernel/verifier.h"

namespace drvtest {
namespace {

struct StepFailure {
    const char* message;        // printed by the failing step
    const char* add_message;    // then printed by device add
    unsigned runs = 0;          // runs in which this step failed
};

class AddFaultTest : public DriverTest {
protected:
    // Loads the driver into a fresh host and plugs COM7 with the n-th
    // framework allocation of the plug failing (-1: none fails).
    host::io::DeviceNode* plug_failing_after(long n)
    {
        fresh_host();
        EXPECT_EQ(load(), STATUS_SUCCESS);
        host::verifier_fail_allocations_after(n);
        auto* node = plug({ .port = u"COM7" });
        allocations_ = host::verifier_allocation_count();
        host::verifier_fail_allocations_after(-1);
        return node;
    }

    long allocations_ = 0;
};

TEST_F(AddFaultTest, EveryAllocationFailureIsRolledBack)
{
    ASSERT_NE(plug_failing_after(-1), nullptr);
    const long total = allocations_;
    ASSERT_GT(total, 0);

    StepFailure steps[] = {
        { "acm_device_get_setup_class: WdfDeviceAllocAndQueryProperty failed", nullptr },
        { "acm_create_queues: WdfIoQueueCreate failed", "acm_evt_device_add: acm_create_queues failed 0x" },
        { "acm_create_queues: WdfSpinLockCreate failed", "acm_evt_device_add: acm_create_queues failed 0x" },
        { "acm_do_external_naming: WdfStringCreate failed", "acm_evt_device_add: external naming failed" },
        { "acm_do_external_naming: Couldn't register class association",
          "acm_evt_device_add: external naming failed" },
    };
    // The start's optional reads (the CtrlDevHoldChildIfInUse key and the
    // read-in work item) come last and do not fail it.
    const long optional_tail = 2;
    for (long n = 0; n < total; n++) {
        SCOPED_TRACE("allocation " + std::to_string(n + 1) + " of " + std::to_string(total) + " fails");
        bool survives = n >= total - optional_tail;
        EXPECT_EQ(plug_failing_after(n) != nullptr, survives);
        EXPECT_EQ(serialcomm_count(), survives ? 1u : 0u);
        EXPECT_EQ(serial_count(), survives ? 1u : 0u);
        EXPECT_EQ(host::io::resolve_link(u"\\DosDevices\\COM7").has_value(), survives);
        for (auto& step : steps) {
            if (traced(step.message) == 0)
                continue;
            step.runs++;
            if (step.add_message) {
                EXPECT_EQ(traced(step.add_message), 1u) << step.message;
            }
        }
    }

    for (const auto& step : steps)
        EXPECT_GT(step.runs, 0u) << "never failed: " << step.message;
    EXPECT_GE(steps[1].runs, 6u) << "each of the six queues can fail";
}

}  // namespace
}  // namespace drvtest
