// Power-managed queues and the idle time-out: a request a power-managed
// queue accounts for keeps the device in D0, and one that arrives while the
// device idles in Dx brings it back.
#include "io_fixture.h"

namespace iotest {
namespace {

using host::io::DevicePower;

constexpr ULONG kIdleMs = 1000;

class PowerReferenceTest : public IoTest {
protected:
    // I/O still pending when a test fails ends with the host, before the
    // buffers go.
    ~PowerReferenceTest() override { stop(); }

    // Reads go to a default queue that is not power managed, writes to a
    // power-managed one; `parking` is a manual power-managed queue.
    void start_idling_device()
    {
        behaviour.create_queues = [this](WDFDEVICE device) {
            WDF_IO_QUEUE_CONFIG config = queue_config(WdfIoQueueDispatchParallel, true);
            config.PowerManaged = WdfFalse;
            WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &journal.default_queue);
            config = queue_config(WdfIoQueueDispatchParallel, false);
            WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &writes);
            WdfDeviceConfigureRequestDispatching(device, writes, WdfRequestTypeWrite);
            config = queue_config(WdfIoQueueDispatchManual, false);
            WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &parking);

            WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS idle;
            WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS_INIT(&idle, IdleCanWakeFromS0);
            idle.IdleTimeout = kIdleMs;
            WdfDeviceAssignS0IdleSettings(device, &idle);
        };
        behaviour.on_io = [this](WDFQUEUE, WDFREQUEST request) {
            power_at_presentation.push_back(node_->power);
            journal.held.push_back(request);
        };
        start();
    }

    DevicePower power() const { return node_->power; }
    Io& keep(std::unique_ptr<Io> io) { return *ios.emplace_back(std::move(io)); }
    static void settle_ms(LONGLONG ms) { settle(ms * host::kMillisecond); }

    WDFQUEUE writes = nullptr;
    WDFQUEUE parking = nullptr;
    std::vector<DevicePower> power_at_presentation;
    std::vector<std::unique_ptr<Io>> ios;
};

TEST_F(PowerReferenceTest, AWriteArrivingInIdleDxBringsTheDeviceBackAndIsPresentedInD0)
{
    start_idling_device();
    settle_ms(kIdleMs + 100);
    ASSERT_EQ(power(), DevicePower::D2);

    Io& io = keep(write(3));
    settle_ms(1);
    EXPECT_EQ(power(), DevicePower::D0);
    ASSERT_EQ(power_at_presentation, std::vector<DevicePower>{DevicePower::D0});
    WdfRequestComplete(journal.take_held(), STATUS_SUCCESS);
    EXPECT_EQ(wait(io), STATUS_SUCCESS);
}

TEST_F(PowerReferenceTest, PendingWritesHoldTheDeviceInD0UntilTheLastCompletes)
{
    start_idling_device();
    Io& first = keep(write(3));
    Io& second = keep(write(3));
    ASSERT_EQ(journal.held.size(), 2u);
    settle_ms(5 * kIdleMs);
    EXPECT_EQ(power(), DevicePower::D0);

    WdfRequestComplete(journal.take_held(), STATUS_SUCCESS);
    settle_ms(5 * kIdleMs);
    EXPECT_EQ(power(), DevicePower::D0) << "one write is still pending";

    WdfRequestComplete(journal.take_held(), STATUS_SUCCESS);
    settle_ms(kIdleMs - 100);
    EXPECT_EQ(power(), DevicePower::D0);
    settle_ms(200);
    EXPECT_EQ(power(), DevicePower::D2) << "the time-out runs from the last completion";
    EXPECT_EQ(wait(first), STATUS_SUCCESS);
    EXPECT_EQ(wait(second), STATUS_SUCCESS);
}

TEST_F(PowerReferenceTest, AReadIsNotCountedUntilItEntersAPowerManagedQueue)
{
    start_idling_device();
    Io& io = keep(read(3));
    ASSERT_EQ(journal.held.size(), 1u);
    settle_ms(kIdleMs + 100);
    EXPECT_EQ(power(), DevicePower::D2) << "the read's queue is not power managed";

    // Presented in Dx, parked in a power-managed queue: that takes a
    // reference and brings the device back.
    ASSERT_EQ(WdfRequestForwardToIoQueue(journal.take_held(), parking), STATUS_SUCCESS);
    settle_ms(5 * kIdleMs);
    EXPECT_EQ(power(), DevicePower::D0);

    WDFREQUEST request = nullptr;
    ASSERT_EQ(WdfIoQueueRetrieveNextRequest(parking, &request), STATUS_SUCCESS);
    settle_ms(5 * kIdleMs);
    EXPECT_EQ(power(), DevicePower::D0) << "retrieved, it is still the parking queue's";

    WdfRequestComplete(request, STATUS_SUCCESS);
    settle_ms(kIdleMs + 100);
    EXPECT_EQ(power(), DevicePower::D2);
    EXPECT_EQ(wait(io), STATUS_SUCCESS);
}

TEST_F(PowerReferenceTest, AWriteMovedToAQueueThatIsNotPowerManagedGivesItsReferenceBack)
{
    start_idling_device();
    Io& io = keep(write(3));
    ASSERT_EQ(journal.held.size(), 1u);
    ASSERT_EQ(WdfRequestForwardToIoQueue(journal.take_held(), journal.default_queue), STATUS_SUCCESS);
    settle_ms(kIdleMs + 100);
    EXPECT_EQ(power(), DevicePower::D2);
    ASSERT_EQ(journal.count("write"), 2u) << "presented again by the default queue";
    WdfRequestComplete(journal.take_held(), STATUS_SUCCESS);
    EXPECT_EQ(wait(io), STATUS_SUCCESS);
}

TEST_F(PowerReferenceTest, AWriteDoesNotEndADxImposedByADevicePowerRequest)
{
    start_idling_device();
    ASSERT_EQ(host_->set_power(node_, DevicePower::D3), STATUS_SUCCESS);
    Io& io = keep(write(3));
    settle_ms(5 * kIdleMs);
    EXPECT_EQ(power(), DevicePower::D3);
    EXPECT_EQ(journal.count("write"), 0u);

    ASSERT_EQ(host_->set_power(node_, DevicePower::D0), STATUS_SUCCESS);
    ASSERT_EQ(power_at_presentation, std::vector<DevicePower>{DevicePower::D0});
    WdfRequestComplete(journal.take_held(), STATUS_SUCCESS);
    EXPECT_EQ(wait(io), STATUS_SUCCESS);
}

TEST_F(PowerReferenceTest, AWriteDuringSystemSleepWaitsForTheWake)
{
    start_idling_device();
    settle_ms(kIdleMs + 100);
    ASSERT_EQ(host_->sleep(host::io::SystemPower::S3), STATUS_SUCCESS);

    Io& io = keep(write(3));
    settle_ms(100);
    EXPECT_NE(power(), DevicePower::D0);
    EXPECT_EQ(journal.count("write"), 0u);

    ASSERT_EQ(host_->wake(), STATUS_SUCCESS);
    settle_ms(1);
    EXPECT_EQ(power(), DevicePower::D0) << "the pending write brings the idle device back";
    ASSERT_EQ(power_at_presentation, std::vector<DevicePower>{DevicePower::D0});
    WdfRequestComplete(journal.take_held(), STATUS_SUCCESS);
    EXPECT_EQ(wait(io), STATUS_SUCCESS);
}

}  // namespace
}  // namespace iotest
