// Binding to the bus: what a started device learned and registered, its
// release, and the common class switches that each flip exactly once.
#include "bind_fixture.h"

#include <atomic>

namespace bindtest {
namespace {

using Ops = std::vector<std::string>;

TEST_F(BindTest, StartedDeviceLearnsTheFunctionAndRegistersItsCallbacks)
{
    ASSERT_NE(started(), nullptr);
    bus::DcChild& port = fn_->port();

    EXPECT_EQ(port.references(), 1);
    EXPECT_EQ(port.interface_specific_data(), "2.1.5.48");
    EXPECT_TRUE(port.callbacks_registered());
    EXPECT_EQ(port.op_log(), (Ops{ "query_interface", "get_idle_timeout", "get_ui_number",
                                   "get_functional_descriptor(1)", "get_functional_descriptor(2)", "is_ctrl_dev_enabled",
                                   "control_request(1,33,0,7)", "get_max_packet_size", "register_callbacks(0)" }));

    EXPECT_EQ(port.hold_child_if_in_use(), 0u);

    EXPECT_EQ(fdx_->call_mgmt_by_device, 1);
    EXPECT_EQ(fdx_->call_mgmt_over_data, 2);
    EXPECT_EQ(fdx_->acm_line_coding, 2);
    EXPECT_EQ(fdx_->acm_send_break, 4);
    EXPECT_EQ(fdx_->acm_network_connection, 0);
    EXPECT_EQ(fdx_->acm_comm_feature, 0);
    EXPECT_EQ(fdx_->is_io_stopped, 1);
    EXPECT_EQ(fdx_->read_buffer_size, 512u);
    EXPECT_EQ(fdx_->handflow.ControlHandShake, ULONG(SERIAL_DTR_CONTROL));
    EXPECT_EQ(fdx_->handflow.FlowReplace, ULONG(SERIAL_RTS_CONTROL));
    EXPECT_NE(fdx_->read_in_workitem, nullptr);
    EXPECT_FALSE(fn_->data_in_outstanding());   // I/O waits for a handle
}

TEST_F(BindTest, ReleaseOfTheHardwareUndoesTheBindingOnce)
{
    ASSERT_NE(started(), nullptr);
    fn_->port().clear_op_log();

    EXPECT_EQ(host_->remove(node_), STATUS_SUCCESS);
    EXPECT_EQ(fn_->port().op_log(), (Ops{ "unregister_callbacks", "InterfaceDereference" }));
    EXPECT_EQ(fn_->port().calls("InterfaceDereference"), 1);
    EXPECT_EQ(fn_->port().references(), 0);
    EXPECT_FALSE(fn_->port().callbacks_registered());
    fdx_ = nullptr;
}

TEST_F(BindTest, HoldChildValueAndOptionsComeFromTheHardwareKey)
{
    bus::FunctionConfig config;
    config.hardware_key = { { u"CtrlDevHoldChildIfInUse", ULONG(1) },
                            { u"CallClearData", ULONG(1) },
                            { u"DontClearDtr", ULONG(7) } };
    ASSERT_NE(started(config), nullptr);

    EXPECT_EQ(fn_->port().hold_child_if_in_use(), 1u);
    EXPECT_EQ(fdx_->call_clear_data, 1u);
    EXPECT_EQ(fdx_->dont_clear_dtr, 7u);
}

// The bus interface and the data-in packet size are what the start needs of the bus.
TEST_F(BindTest, FailedQueryOfTheBusFailsTheStartWithoutABinding)
{
    for (bus::Op refused : {bus::Op::query_interface, bus::Op::get_max_packet_size}) {
        make();
        fn_->inject(refused, bus::Fault::fail(STATUS_NOT_SUPPORTED));
        EXPECT_EQ(plug(), nullptr);
        EXPECT_EQ(fn_->port().references(), 0);
    }
}

// The framework calls EvtDeviceReleaseHardware after a failed
// EvtDevicePrepareHardware; the driver's release copes with a half-made binding.
TEST_F(BindTest, FailedPreparationIsFollowedByARelease)
{
    bus::FunctionConfig config;
    config.hardware_key = { { u"DataInBuffers", ULONG(0) } };
    make(config);
    EXPECT_EQ(plug(), nullptr);
    EXPECT_EQ(fn_->port().calls("InterfaceDereference"), 1);
    EXPECT_EQ(fn_->port().references(), 0);
    EXPECT_FALSE(fn_->port().callbacks_registered());
}

// --- the common class switches ---------------------------------------------

TEST_F(BindTest, TransportAndDataIoAreEnabledAndDisabledOnceEach)
{
    ASSERT_NE(started(), nullptr);
    bus::DcChild& port = fn_->port();
    port.clear_op_log();

    EXPECT_EQ(common_class_transport_io_init(&fdx_->common, 1, 1), STATUS_SUCCESS);
    EXPECT_EQ(common_class_transport_io_init(&fdx_->common, 1, 1), STATUS_SUCCESS);
    EXPECT_EQ(common_class_transport_io_uninit(&fdx_->common), STATUS_SUCCESS);
    EXPECT_EQ(common_class_transport_io_uninit(&fdx_->common), STATUS_SUCCESS);
    EXPECT_EQ(port.op_log(), (Ops{ "dc_transport_enable", "cdc_data_io_init(1,1)", "cdc_data_io_uninit",
                                   "dc_transport_disable" }));
}

TEST_F(BindTest, TransportOnlyWithBothDataFlagsClear)
{
    ASSERT_NE(started(), nullptr);
    fn_->port().clear_op_log();

    EXPECT_EQ(common_class_transport_io_init(&fdx_->common, 0, 0), STATUS_SUCCESS);
    EXPECT_EQ(fdx_->common.data_io_initialized, 0);
    EXPECT_EQ(common_class_transport_io_uninit(&fdx_->common), STATUS_SUCCESS);
    EXPECT_EQ(fn_->port().op_log(), (Ops{ "dc_transport_enable", "dc_transport_disable" }));
}

TEST_F(BindTest, FailedDataIoInitDisablesTheTransportItEnabled)
{
    ASSERT_NE(started(), nullptr);
    fn_->port().clear_op_log();
    fn_->inject(bus::Op::data_io_init, bus::Fault::fail(STATUS_DEVICE_NOT_READY));

    EXPECT_EQ(common_class_transport_io_init(&fdx_->common, 1, 1), STATUS_DEVICE_NOT_READY);
    // The undo follows the flags, which flipped right before each call.
    EXPECT_EQ(fn_->port().op_log(), (Ops{ "dc_transport_enable", "cdc_data_io_init(1,1)", "cdc_data_io_uninit",
                                          "dc_transport_disable" }));
    EXPECT_EQ(fdx_->common.transport_enabled, 0);
    EXPECT_EQ(fdx_->common.data_io_initialized, 0);
}

TEST_F(BindTest, DisableFailureWinsOverDataIoUninitFailure)
{
    ASSERT_NE(started(), nullptr);
    ASSERT_EQ(common_class_transport_io_init(&fdx_->common, 1, 1), STATUS_SUCCESS);
    fn_->inject(bus::Op::data_io_uninit, bus::Fault::fail(STATUS_UNSUCCESSFUL));
    fn_->inject(bus::Op::transport_disable, bus::Fault::fail(STATUS_DEVICE_BUSY));

    EXPECT_EQ(common_class_transport_io_uninit(&fdx_->common), STATUS_DEVICE_BUSY);
    EXPECT_EQ(common_class_transport_io_uninit(&fdx_->common), STATUS_SUCCESS);   // nothing left to undo
}

BOOLEAN first_notify(WDFDEVICE, PUCHAR, ULONG) { return TRUE; }
BOOLEAN second_notify(WDFDEVICE, PUCHAR, ULONG) { return TRUE; }

TEST_F(BindTest, NotificationCallbackIsRegisteredOnceAndResetWithTheLastOne)
{
    ASSERT_NE(started(), nullptr);
    common_class_ctx* ctx = &fdx_->common;
    ASSERT_EQ(common_class_transport_io_init(ctx, 1, 1), STATUS_SUCCESS);

    EXPECT_EQ(common_class_notify_cb_reset(ctx), STATUS_SUCCESS);   // none defined yet
    EXPECT_EQ(fn_->port().calls("cdc_set_notify_cb"), 0);
    EXPECT_EQ(common_class_notify_cb_set(ctx, first_notify), STATUS_SUCCESS);
    EXPECT_EQ(common_class_notify_cb_set(ctx, second_notify), STATUS_SUCCESS);
    EXPECT_EQ(fn_->port().calls("cdc_set_notify_cb"), 1);
    EXPECT_EQ(ctx->notify_cb, second_notify);

    fn_->port().clear_op_log();
    EXPECT_EQ(common_class_notify_cb_reset(ctx), STATUS_SUCCESS);
    common_class_notify_cb_clear(ctx);
    common_class_notify_cb_clear(ctx);
    EXPECT_EQ(fn_->port().op_log(), (Ops{ "cdc_set_notify_cb(clear)", "cdc_set_notify_cb(set)",
                                          "cdc_set_notify_cb(clear)" }));
    EXPECT_FALSE(fn_->port().notify_registered());
    common_class_transport_io_uninit(ctx);
}

TEST_F(BindTest, RefusedNotificationCallbackLeavesItUnregistered)
{
    ASSERT_NE(started(), nullptr);
    fn_->inject(bus::Op::set_notify_cb, bus::Fault::refuse());

    EXPECT_EQ(common_class_notify_cb_set(&fdx_->common, first_notify), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(fdx_->common.notify_cb_registered, 0);
    EXPECT_FALSE(fn_->port().notify_registered());
}

TEST_F(BindTest, ClosingTheLastHandleTellsTheBusOnce)
{
    ASSERT_NE(started(), nullptr);
    EXPECT_EQ(common_class_ref_inc(&fdx_->common), 1);
    EXPECT_EQ(common_class_ref_inc(&fdx_->common), 2);
    EXPECT_EQ(common_class_ref_dec(&fdx_->common), 1);
    EXPECT_EQ(fn_->port().calls("last_handle_closed"), 0);
    EXPECT_EQ(common_class_ref_dec(&fdx_->common), 0);
    EXPECT_EQ(fn_->port().calls("last_handle_closed"), 1);
}

// --- power policy and wake-up ------------------------------------------------

TEST_F(BindTest, NoIdleTimeoutMeansNoChildWakeUp)
{
    ASSERT_NE(started(), nullptr);
    EXPECT_EQ(fdx_->common.idle_timeout, 0u);

    common_class_child_device_wakeup_post(&fdx_->common);
    EXPECT_EQ(fdx_->common.child_device_wakeup_pending, 0);
    WdfWorkItemFlush(fdx_->common.child_device_wakeup_workitem);
    EXPECT_EQ(fn_->port().calls("device_wakeup"), 0);
}

TEST_F(BindTest, MissingIdleTimeoutCountsAsZero)
{
    make();
    fn_->inject(bus::Op::get_idle_timeout, bus::Fault::fail(STATUS_NOT_SUPPORTED));
    ASSERT_NE(plug(), nullptr);
    EXPECT_EQ(fdx_->common.idle_timeout, 0u);
}

// The wake-up work item of the test: once the gate opens, the synchronous
// half, as the device's own callback calls it.
std::atomic<bool> wakeup_gate{ false };

VOID child_wakeup_cb(WDFWORKITEM item)
{
    PACM_FDO_DATA fdx = acm_fdo_get_data((WDFDEVICE)WdfWorkItemGetParentObject(item));
    LARGE_INTEGER interval;
    interval.QuadPart = -10'000;
    while (!wakeup_gate)
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    common_class_child_device_wakeup_sync(&fdx->common);
}

TEST_F(BindTest, TwoWakeUpPostsQueueOneWorkItemAndALaterPostQueuesAgain)
{
    bus::FunctionConfig config;
    config.idle_timeout = 2;
    ASSERT_NE(started(config), nullptr);
    EXPECT_EQ(fdx_->common.idle_timeout, 2u);

    // A work item whose routine waits for the test's gate stands in for the
    // driver's, so that the second post finds the first still queued.
    WDF_WORKITEM_CONFIG work_config;
    WDF_WORKITEM_CONFIG_INIT(&work_config, child_wakeup_cb);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = fdx_->common.device;
    ASSERT_EQ(WdfWorkItemCreate(&work_config, &attributes, &fdx_->common.child_device_wakeup_workitem),
              STATUS_SUCCESS);

    wakeup_gate = false;
    common_class_child_device_wakeup_post(&fdx_->common);
    common_class_child_device_wakeup_post(&fdx_->common);
    wakeup_gate = true;
    WdfWorkItemFlush(fdx_->common.child_device_wakeup_workitem);
    EXPECT_EQ(fn_->port().calls("device_wakeup"), 1);
    EXPECT_EQ(fdx_->common.child_device_wakeup_pending, 0);

    common_class_child_device_wakeup_post(&fdx_->common);
    WdfWorkItemFlush(fdx_->common.child_device_wakeup_workitem);
    EXPECT_EQ(fn_->port().calls("device_wakeup"), 2);
}

TEST_F(BindTest, DeviceWakeUpPostIgnoresTheIdleTimeout)
{
    ASSERT_NE(started(), nullptr);   // idle time-out 0: no selective suspend
    common_class_device_wakeup_post(&fdx_->common);
    WdfWorkItemFlush(fdx_->common.device_wakeup_workitem);
    EXPECT_EQ(fn_->port().calls("device_wakeup"), 1);
}

}  // namespace
}  // namespace bindtest
