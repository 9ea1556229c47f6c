// Opening starts the streams, closing stops them; one open at a time.
#include "lifecycle_fixture.h"

#include "acm_io.h"
#include "cdc_protocol.h"

#include <algorithm>

namespace lifecycle {
namespace {

bool logged(const std::vector<std::string>& log, std::string_view op)
{
    return std::any_of(log.begin(), log.end(), [&](const std::string& e) { return e.starts_with(op); });
}

TEST_F(LifecycleTest, OpenStartsTransportDataIoFirstReadAndNotifications)
{
    started();
    EXPECT_EQ(fdx_->is_io_stopped, 1);
    EXPECT_FALSE(fn_->port().transport_enabled());

    open();
    auto log = fn_->port().op_log();
    EXPECT_TRUE(logged(log, "dc_transport_enable"));
    EXPECT_TRUE(logged(log, "cdc_data_io_init"));
    EXPECT_TRUE(logged(log, "cdc_set_notify_cb"));
    EXPECT_FALSE(logged(log, "dc_clear_data")) << "CallClearData is off";
    EXPECT_EQ(calls("data_in_post"), 1);
    EXPECT_TRUE(fn_->port().data_io_initialized());
    EXPECT_TRUE(notify_registered());
    EXPECT_TRUE(fn_->port().is_in_use());
    EXPECT_EQ(fdx_->is_io_stopped, 0);
    EXPECT_EQ(fdx_->common.ref_count, 1);

    device_sends("hello");
    EXPECT_EQ(ring_bytes(), 5u);
    expect_verifier_silent();
}

TEST_F(LifecycleTest, SecondOpenIsRefusedWhileAHandleIsOpen)
{
    started();
    open();
    HANDLE second = open_port();
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(fdx_->common.ref_count, 1);
    EXPECT_EQ(calls("dc_transport_enable"), 1);

    close();
    open();   // free again after the close
    EXPECT_EQ(calls("dc_transport_enable"), 2);
}

TEST_F(LifecycleTest, CloseStopsTheStreamsAndDropsDtr)
{
    started();
    open();
    acm_req_set_control_line_state(fdx_, CDC_CONTROL_LINE_DTR | CDC_CONTROL_LINE_RTS);
    ASSERT_EQ(fn_->control_lines(), CDC_CONTROL_LINE_DTR | CDC_CONTROL_LINE_RTS);
    fn_->port().clear_op_log();

    close();
    auto log = fn_->port().op_log();
    EXPECT_TRUE(logged(log, "data_abort"));
    EXPECT_TRUE(logged(log, "cdc_data_io_uninit"));
    EXPECT_TRUE(logged(log, "dc_transport_disable"));
    EXPECT_EQ(calls("last_handle_closed"), 1);
    EXPECT_FALSE(fn_->port().transport_enabled());
    EXPECT_FALSE(notify_registered());
    EXPECT_FALSE(fn_->data_in_outstanding());
    EXPECT_FALSE(fn_->port().is_in_use());
    EXPECT_EQ(fdx_->is_io_stopped, 1);
    EXPECT_EQ(fn_->control_lines(), CDC_CONTROL_LINE_RTS) << "DTR dropped, RTS kept";
    EXPECT_EQ(fdx_->control_line_state, CDC_CONTROL_LINE_RTS);
    expect_verifier_silent();
}

TEST_F(LifecycleTest, CloseCancelsAPendingReadBeforeItReturns)
{
    auto io = pending_read();
    ASSERT_FALSE(io->done());

    close();
    EXPECT_TRUE(io->done());
    EXPECT_EQ(io->status(), STATUS_CANCELLED);
    EXPECT_EQ(fdx_->current_read_request, nullptr);
    expect_verifier_silent();
}

TEST_F(LifecycleTest, DontClearDtrKeepsDtrRaisedAtClose)
{
    started({ { u"DontClearDtr", ULONG(1) } });
    open();
    acm_req_set_control_line_state(fdx_, CDC_CONTROL_LINE_DTR);
    const size_t requests = fn_->control_log().size();

    close();
    EXPECT_EQ(fn_->control_lines(), CDC_CONTROL_LINE_DTR);
    EXPECT_EQ(fn_->control_log().size(), requests) << "no SET_CONTROL_LINE_STATE at close";
}

TEST_F(LifecycleTest, ReopenStartsFromAnEmptyRingAndFreshCounters)
{
    started();
    open();
    device_sends("left over");
    ASSERT_EQ(ring_bytes(), 9u);
    close();
    fn_->send("late");   // nobody listens: stays with the device

    open();
    EXPECT_EQ(ring_bytes(), 4u) << "only what arrived after the open";
    EXPECT_EQ(fdx_->perf_stats.ReceivedCount, 4u);
    EXPECT_EQ(calls("data_in_post"), 4) << "one per open, one after each arrival";
}

TEST_F(LifecycleTest, CallClearDataSendsOneRequestPerOpen)
{
    started({ { u"CallClearData", ULONG(1) } });
    open();
    EXPECT_EQ(calls("dc_clear_data"), 1);
    close();
    EXPECT_EQ(calls("dc_clear_data"), 1) << "nothing at close";
    open();
    EXPECT_EQ(calls("dc_clear_data"), 2);
}

TEST_F(LifecycleTest, AFailedClearDataFailsTheOpenAndLeavesThePortClosed)
{
    started({ { u"CallClearData", ULONG(1) } });
    fn_->inject(bus::Op::clear_data, bus::Fault::fail(STATUS_DEVICE_NOT_READY));
    EXPECT_EQ(open_port(), INVALID_HANDLE_VALUE);
    fn_->settle();
    EXPECT_EQ(fdx_->common.ref_count, 0);
    EXPECT_EQ(fdx_->is_io_stopped, 1);
    EXPECT_FALSE(fn_->port().transport_enabled()) << "what the start enabled is disabled again";

    open();   // the next open starts everything afresh
    EXPECT_EQ(calls("data_in_post"), 1);
    EXPECT_TRUE(notify_registered());
}

// The serial control device moves no data: its start enables the transport
// only, and it never asks for clear-data.
TEST_F(LifecycleTest, TheSerialControlDeviceStartsItsTransportOnly)
{
    bus::FunctionConfig config;
    config.serial_control_device = true;
    make(std::move(config));
    plug(true);
    fdx_->call_clear_data = 1;   // ignored on this device
    bus::DcChild& control = *fn_->control();
    control.clear_op_log();

    common_class_ref_inc(&fdx_->common);   // as its open counts the handle
    EXPECT_EQ(acm_io_start(fdx_), STATUS_SUCCESS);
    fn_->settle();
    EXPECT_TRUE(control.transport_enabled());
    EXPECT_FALSE(control.data_io_initialized());
    EXPECT_EQ(control.calls("data_in_post"), 0);
    EXPECT_EQ(control.calls("dc_clear_data"), 0);

    EXPECT_EQ(acm_io_stop(fdx_), STATUS_SUCCESS);
    EXPECT_FALSE(control.transport_enabled());
    EXPECT_EQ(control.calls("data_abort"), 0);
    common_class_ref_dec(&fdx_->common);
}

}  // namespace
}  // namespace lifecycle
