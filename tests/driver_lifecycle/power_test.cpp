// Power transitions and the bus driver's suspend and resume pause the
// streams and restart them without losing what was received.
#include "lifecycle_fixture.h"

namespace lifecycle {
namespace {

using host::io::DevicePower;

TEST_F(LifecycleTest, LowPowerWithAHandleOpenPausesNotificationsAndRestartsTheStream)
{
    started();
    open();
    device_sends("before");

    power(DevicePower::D2);
    EXPECT_FALSE(notify_registered());
    EXPECT_EQ(calls("handles_open_at_d0_exit"), 1);
    EXPECT_TRUE(fn_->port().transport_enabled()) << "only a final D0 exit stops I/O";

    power(DevicePower::D0);
    EXPECT_TRUE(notify_registered());
    EXPECT_TRUE(fn_->data_in_outstanding());
    device_sends(" after");
    EXPECT_EQ(ring_bytes(), 12u) << "nothing received before the power-down is lost";
    expect_verifier_silent();
}

TEST_F(LifecycleTest, LowPowerWithNoHandleOpenTouchesNothing)
{
    started();
    open();
    close();
    fn_->port().clear_op_log();

    power(DevicePower::D2);
    power(DevicePower::D0);
    EXPECT_FALSE(notify_registered()) << "no notifications while the port is closed";
    EXPECT_EQ(calls("data_in_post"), 0);
    EXPECT_EQ(calls("handles_open_at_d0_exit"), 0);
}

TEST_F(LifecycleTest, D0EntrySendsClearDataWithAHandleOpenButNotDuringACreate)
{
    started({ { u"CallClearData", ULONG(1) } });
    open();
    ASSERT_EQ(calls("dc_clear_data"), 1);

    power(DevicePower::D2);
    power(DevicePower::D0);
    EXPECT_EQ(calls("dc_clear_data"), 2);

    fdx_->create_file_in_progress = 1;   // as while a create is handled
    power(DevicePower::D2);
    power(DevicePower::D0);
    fdx_->create_file_in_progress = 0;
    EXPECT_EQ(calls("dc_clear_data"), 2);
}

TEST_F(LifecycleTest, BusSuspendAndResumeKeepEveryReceivedByte)
{
    started();
    open();
    device_sends("hello");

    fn_->suspend();
    fn_->settle();
    EXPECT_EQ(fdx_->suspended, 1);
    EXPECT_FALSE(notify_registered());
    EXPECT_FALSE(fn_->data_in_outstanding()) << "the suspend ended the transfer";
    fn_->send(" world");   // held by the device until the function is back

    fn_->resume();
    fn_->settle();
    EXPECT_EQ(fdx_->suspended, 0);
    EXPECT_TRUE(notify_registered());
    EXPECT_EQ(ring_bytes(), 11u);
    EXPECT_EQ(fdx_->stop_idle_taken, 0) << "in D0 already: the power reference went back at once";
    device_sends("!");
    EXPECT_EQ(ring_bytes(), 12u);

    // Nothing is left for a later D0 entry to release: releasing it anyway
    // underflows the device's power references, which the verifier reports.
    power(DevicePower::D2);
    power(DevicePower::D0);
    expect_verifier_silent();
}

// Selective suspend: the idle device powers down by itself; the resume's
// power reference brings it back, its D0 entry gives the reference back, and
// the device can idle again.
TEST_F(LifecycleTest, AResumeWhileIdleInLowPowerBringsTheDeviceBackWithoutKeepingItThere)
{
    bus::FunctionConfig config;
    config.idle_timeout = 1;
    make(std::move(config));
    plug();
    open();
    sleep_for(2 * host::kSecond);
    ASSERT_NE(node_->power, DevicePower::D0) << "idle: powered down";

    fn_->suspend();
    fn_->send("while away");
    fn_->resume();
    host_->settle();
    fn_->settle();
    EXPECT_EQ(node_->power, DevicePower::D0) << "the resume's power reference brought it back";
    EXPECT_EQ(fdx_->stop_idle_taken, 0);
    EXPECT_TRUE(notify_registered());
    EXPECT_EQ(ring_bytes(), 10u);

    sleep_for(2 * host::kSecond);
    EXPECT_NE(node_->power, DevicePower::D0) << "no reference left behind: idle again";
    expect_verifier_silent();
}

// A power-down the system imposes keeps the device down despite the
// reference; the D0 entry that ends it releases the reference.
TEST_F(LifecycleTest, AResumeDuringAnImposedPowerDownIsReleasedByTheNextD0Entry)
{
    started();
    open();
    power(DevicePower::D2);
    fn_->suspend();
    fn_->resume();
    fn_->settle();
    EXPECT_EQ(fdx_->stop_idle_taken, 1);

    power(DevicePower::D0);
    EXPECT_EQ(fdx_->stop_idle_taken, 0);
    EXPECT_TRUE(notify_registered());
    expect_verifier_silent();
}

class PendingReadTest : public LifecycleTest {
protected:
    // A read of the open port with a 500 ms total time-out.
    std::unique_ptr<Io> timed_read()
    {
        started();
        open();
        SERIAL_TIMEOUTS timeouts{ 0, 0, 500, 0, 0 };
        OVERLAPPED set{};
        DeviceIoControl(file_, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts, nullptr, 0, nullptr, &set);
        DWORD ignored = 0;
        EXPECT_TRUE(GetOverlappedResult(file_, &set, &ignored, TRUE));
        auto io = read();
        sleep_for(100 * host::kMillisecond);
        return io;
    }
    // It times out with nothing a full time-out after `restarted`.
    void expect_full_time_out_after(Io& io, host::Time restarted)
    {
        DWORD bytes = 1;
        GetOverlappedResult(file_, &io.overlapped, &bytes, TRUE);
        EXPECT_EQ(io.status(), STATUS_TIMEOUT);
        EXPECT_EQ(bytes, 0u);
        EXPECT_GE(host::now() - restarted, 500 * host::kMillisecond);
        EXPECT_LT(host::now() - restarted, 600 * host::kMillisecond);
        expect_verifier_silent();
    }
};

// The suspend holds the read's timer; the resume runs its time-out again in
// full, so the read neither hangs nor ends early.
TEST_F(PendingReadTest, ATimeOutRestartsInFullAfterASuspendAndResume)
{
    auto io = timed_read();
    fn_->suspend();
    sleep_for(1000 * host::kMillisecond);
    EXPECT_FALSE(io->done()) << "no time-out while suspended";
    fn_->resume();
    expect_full_time_out_after(*io, host::now());
}

// A wake-up asked for while suspended brings the function back and restarts
// notifications and the stream, with clear-data when configured.
TEST_F(LifecycleTest, TheDeviceWakeUpWorkItemRestartsTheSuspendedPort)
{
    started({ { u"CallClearData", ULONG(1) } });
    open();
    fn_->suspend();
    fn_->settle();
    fn_->send("queued");

    common_class_device_wakeup_post(&fdx_->common);
    sleep_for(100 * host::kMillisecond);   // the bus's resume latency
    fn_->settle();
    EXPECT_FALSE(fn_->suspended());
    EXPECT_EQ(calls("device_wakeup"), 1);
    EXPECT_EQ(calls("dc_clear_data"), 2) << "one at the open, one after the wake-up";
    EXPECT_TRUE(notify_registered());
    EXPECT_EQ(ring_bytes(), 6u);
    EXPECT_EQ(fdx_->common.device_wakeup_pending, 0);
    expect_verifier_silent();
}

TEST_F(LifecycleTest, RepeatedSuspendsAndResumesChangeNothing)
{
    started();
    open();
    EXPECT_EQ(fn_->port().io_resume(), STATUS_SUCCESS);
    EXPECT_EQ(traced("ALREADY WOKEN"), 1u);
    EXPECT_TRUE(notify_registered());

    fn_->port().io_suspend();
    const int notify_calls = calls("cdc_set_notify_cb");
    fn_->port().io_suspend();
    EXPECT_EQ(traced("ALREADY SUSPENDED"), 1u);
    EXPECT_EQ(calls("cdc_set_notify_cb"), notify_calls);
    fn_->port().io_resume();
    expect_verifier_silent();
}

TEST_F(LifecycleTest, BusStopAndStartCallbacksStopAndRestartIo)
{
    started();
    open();
    EXPECT_EQ(fn_->port().io_stop(), STATUS_SUCCESS);
    fn_->settle();
    EXPECT_EQ(fdx_->is_io_stopped, 1);
    EXPECT_FALSE(fn_->port().transport_enabled());
    EXPECT_TRUE(fn_->port().is_in_use()) << "the handle is still open";

    EXPECT_EQ(fn_->port().io_start(), STATUS_SUCCESS);
    fn_->settle();
    EXPECT_EQ(fdx_->is_io_stopped, 0);
    EXPECT_TRUE(notify_registered());
    device_sends("back");
    EXPECT_EQ(ring_bytes(), 4u);
}

}  // namespace
}  // namespace lifecycle
