// The DC Enumerator interface as the bus serves it: the query and its
// reference counting, what the function reports, the class requests the
// device keeps, notifications and selective suspend.
#include "dc_client.h"

#include "common/cdc_protocol.h"
#include "host/host.h"
#include "host/rtl/registry.h"
#include "host/kernel/verifier.h"

#include <gmock/gmock.h>

namespace bus_test {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

// --- query and references ------------------------------------------------------

TEST_F(BusTest, QueryRefusesOtherGuidsVersionsAndShortRecords)
{
    bus::CdcFunction& fn = make_function();
    DC_ENUMERATOR_INTERFACE r{};
    auto* out = reinterpret_cast<PINTERFACE>(&r);
    const GUID other{0x6bad27c6, 0xc38b, 0x4d4f, {0x9a, 0x22, 0x68, 0xc3, 0x4e, 0x64, 0x87, 0xa1}};
    EXPECT_EQ(fn.port().query_interface(other, sizeof r, 1, out, nullptr), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(fn.port().query_interface(GUID_DC_ENUMERATOR_INTERFACE, sizeof r, 2, out, nullptr),
              STATUS_NOT_SUPPORTED);
    EXPECT_EQ(fn.port().query_interface(GUID_DC_ENUMERATOR_INTERFACE, sizeof r - 1, 1, out, nullptr),
              STATUS_INVALID_PARAMETER);
    fn.inject(bus::Op::query_interface, bus::Fault::fail(STATUS_DEVICE_NOT_READY));
    EXPECT_EQ(fn.port().query_interface(GUID_DC_ENUMERATOR_INTERFACE, sizeof r, 1, out, nullptr),
              STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(r.Context, nullptr);
    EXPECT_EQ(fn.port().references(), 0);
}

TEST_F(BusTest, QueryFillsEveryNamedSlotAndTakesOneReference)
{
    bus::CdcFunction& fn = make_function();
    DcClient& c = bind(fn.port());
    EXPECT_EQ(c.ifc.Size, sizeof(DC_ENUMERATOR_INTERFACE));
    EXPECT_EQ(c.ifc.Version, 1);
    EXPECT_NE(c.ctx(), nullptr);
    EXPECT_EQ(fn.port().interface_specific_data(), "2.1.5.48");
    EXPECT_EQ(fn.port().references(), 1);

    auto* slots = reinterpret_cast<PVOID*>(reinterpret_cast<char*>(&c.ifc) + sizeof(INTERFACE));
    const std::set<int> named{0, 1, 4, 5, 6, 7, 10, 11, 12, 14, 15, 16, 17, 18, 26, 28, 29, 33, 34, 35, 36, 37};
    for (int i = 0; i < DC_ENUMERATOR_OPERATION_COUNT; ++i)
        EXPECT_EQ(slots[i] != nullptr, named.count(i) == 1) << "slot " << i;

    c.ifc.InterfaceReference(c.ctx());
    EXPECT_EQ(fn.port().references(), 2);
    c.ifc.InterfaceDereference(c.ctx());
    c.release();
    EXPECT_EQ(fn.port().references(), 0);
}

// --- what the function reports -------------------------------------------------

TEST_F(BusTest, FunctionalDescriptorsCarryTheConfiguredCapabilities)
{
    bus::FunctionConfig config;
    config.call_management = 0x01;
    config.acm = 0x0F;
    bus::CdcFunction& fn = make_function(config);
    DcClient& c = bind(fn.port());

    UCHAR desc[8] = {};
    ULONG length = 5;
    ASSERT_EQ(c.ifc.get_functional_descriptor(c.ctx(), CDC_FD_CALL_MANAGEMENT, desc, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 5u);
    EXPECT_THAT(Bytes(desc, desc + 5), ElementsAre(5, 0x24, 0x01, 0x01, 0x01));
    length = 4;
    ASSERT_EQ(c.ifc.get_functional_descriptor(c.ctx(), CDC_FD_ABSTRACT_CONTROL_MANAGEMENT, desc, &length),
              STATUS_SUCCESS);
    EXPECT_THAT(Bytes(desc, desc + 4), ElementsAre(4, 0x24, 0x02, 0x0F));
    length = 2;   // a shorter buffer gets the first bytes
    ASSERT_EQ(c.ifc.get_functional_descriptor(c.ctx(), CDC_FD_ABSTRACT_CONTROL_MANAGEMENT, desc, &length),
              STATUS_SUCCESS);
    EXPECT_EQ(length, 2u);
}

TEST_F(BusTest, AbsentDescriptorIsNotFound)
{
    bus::FunctionConfig config;
    config.acm.reset();
    bus::CdcFunction& fn = make_function(config);
    DcClient& c = bind(fn.port());
    UCHAR desc[4];
    ULONG length = 4;
    EXPECT_EQ(c.ifc.get_functional_descriptor(c.ctx(), CDC_FD_ABSTRACT_CONTROL_MANAGEMENT, desc, &length),
              STATUS_NOT_FOUND);
    EXPECT_EQ(c.ifc.get_functional_descriptor(c.ctx(), 0x06, desc, &length), STATUS_NOT_FOUND);
}

TEST_F(BusTest, PacketSizeUiNumberIdleTimeOutAndControlDevice)
{
    bus::FunctionConfig config;
    config.speed = bus::Speed::high;
    config.ui_number = 9;
    config.idle_timeout = 5;
    config.serial_control_device = true;
    bus::CdcFunction& fn = make_function(config);
    DcClient& port = bind(fn.port());
    DcClient& control = bind(*fn.control());

    ULONG mps = 0, idle = 0;
    ASSERT_EQ(port.ifc.get_max_packet_size(port.ctx(), 0, 0, &mps, 0), STATUS_SUCCESS);
    EXPECT_EQ(mps, 512u);
    ASSERT_EQ(port.ifc.get_idle_timeout(port.ctx(), &idle), STATUS_SUCCESS);
    EXPECT_EQ(idle, 5u);
    EXPECT_EQ(port.ifc.get_ui_number(port.ctx()), 9u);
    EXPECT_EQ(control.ifc.get_ui_number(control.ctx()), 10u);
    EXPECT_TRUE(port.ifc.is_ctrl_dev_enabled(port.ctx()));
    EXPECT_NE(port.ctx(), control.ctx());

    bus::CdcFunction& full = make_function();
    DcClient& fs = bind(full.port());
    ASSERT_EQ(fs.ifc.get_max_packet_size(fs.ctx(), 0, 0, &mps, 0), STATUS_SUCCESS);
    EXPECT_EQ(mps, 64u);
    EXPECT_FALSE(fs.ifc.is_ctrl_dev_enabled(fs.ctx()));
    EXPECT_EQ(full.control(), nullptr);
}

TEST_F(BusTest, ChildDescriptionsNameTheSerialPortAndTheControlDevice)
{
    bus::FunctionConfig config;
    config.serial_control_device = true;
    config.port_name = u"COM7";
    config.hardware_key = {{u"CallClearData", ULONG(1)}, {u"DeviceGUID", std::u16string(u"{x}")}};
    bus::CdcFunction& fn = make_function(config);
    auto children = fn.children();
    ASSERT_EQ(children.size(), 2u);
    EXPECT_EQ(children[0].class_name, u"Ports");
    EXPECT_EQ(children[0].pdo_name, u"\\Device\\USBPDO-5");
    EXPECT_EQ(children[0].pdo_handler, fn.port().pdo_handler());
    ASSERT_EQ(children[0].hardware_key.size(), 3u);
    EXPECT_EQ(children[0].hardware_key[0].first, u"PortName");
    EXPECT_EQ(children[0].hardware_key[0].second, host::reg::string_value(u"COM7"));
    EXPECT_EQ(children[0].hardware_key[1].second, host::reg::dword_value(1));
    EXPECT_EQ(children[1].class_name, u"System");
    EXPECT_TRUE(children[1].hardware_key.empty());
    EXPECT_EQ(children[1].pdo_handler, fn.control()->pdo_handler());
}

// --- class requests ------------------------------------------------------------

TEST_F(BusTest, LineCodingIsKeptByTheDeviceAndRecordedOnTheWire)
{
    bus::FunctionConfig config;
    config.initial_line_coding = {1200, 0, 2, 7};
    bus::CdcFunction& fn = make_function(config);
    DcClient& c = bind(fn.port());

    UCHAR coding[7] = {};
    ULONG done = 0;
    ASSERT_EQ(c.ifc.control_request(c.ctx(), 1, CDC_GET_LINE_CODING, 0, 7, coding, &done, 0, 0), STATUS_SUCCESS);
    EXPECT_EQ(done, 7u);
    EXPECT_THAT(Bytes(coding, coding + 7), ElementsAre(0xB0, 0x04, 0, 0, 0, 2, 7));

    const UCHAR set[7] = {0x00, 0xC2, 0x01, 0x00, 0x00, 0x00, 0x08};   // 115200 8N1
    ASSERT_EQ(c.ifc.control_request(c.ctx(), 0, CDC_SET_LINE_CODING, 0, 7, (PVOID)set, &done, 0, 0),
              STATUS_SUCCESS);
    EXPECT_EQ(done, 7u);
    EXPECT_EQ(fn.line_coding(), (bus::LineCoding{115200, 0, 0, 8}));
    ASSERT_EQ(c.ifc.control_request(c.ctx(), 1, CDC_GET_LINE_CODING, 0, 7, coding, &done, 0, 0), STATUS_SUCCESS);
    EXPECT_THAT(Bytes(coding, coding + 7), ElementsAreArray(set));

    auto log = fn.control_log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[1].request_type, 0x21);
    EXPECT_EQ(log[1].request, CDC_SET_LINE_CODING);
    EXPECT_EQ(log[1].index, 0);
    EXPECT_EQ(log[1].length, 7);
    EXPECT_THAT(log[1].data, ElementsAre(0x00, 0xC2, 0x01, 0x00, 0x00, 0x00, 0x08));
    EXPECT_EQ(log[2].request_type, 0xA1);
    EXPECT_FALSE(log[2].generic);
}

TEST_F(BusTest, ControlLinesAndBreak)
{
    bus::CdcFunction& fn = make_function();
    DcClient& c = bind(fn.port());
    ULONG done = 0;
    EXPECT_EQ(c.ifc.control_request(c.ctx(), 0, CDC_SET_CONTROL_LINE_STATE, 1, 0, nullptr, &done, 0, 0),
              STATUS_SUCCESS);
    EXPECT_EQ(c.ifc.control_request(c.ctx(), 0, CDC_SET_CONTROL_LINE_STATE, 3, 0, nullptr, &done, 0, 0),
              STATUS_SUCCESS);
    EXPECT_EQ(fn.control_lines(), 3);
    EXPECT_EQ(c.ifc.control_request(c.ctx(), 0, CDC_SEND_BREAK, 0xFFFF, 0, nullptr, &done, 0, 0), STATUS_SUCCESS);
    EXPECT_TRUE(fn.break_on());
    EXPECT_EQ(c.ifc.control_request(c.ctx(), 0, CDC_SEND_BREAK, 0, 0, nullptr, &done, 0, 0), STATUS_SUCCESS);
    EXPECT_FALSE(fn.break_on());

    // A timed break ends by itself after that many milliseconds of host time.
    EXPECT_EQ(c.ifc.control_request(c.ctx(), 0, CDC_SEND_BREAK, 250, 0, nullptr, &done, 0, 0), STATUS_SUCCESS);
    EXPECT_TRUE(fn.break_on());
    auto lk = host::sched_lock();
    host::wait_until(lk, [] { return false; }, host::now() + 249 * host::kMillisecond, "test");
    lk.unlock();
    EXPECT_TRUE(fn.break_on());
    lk.lock();
    host::wait_until(lk, [] { return false; }, host::now() + host::kMillisecond, "test");
    lk.unlock();
    EXPECT_FALSE(fn.break_on());

    auto log = fn.control_log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[0].value, 1);
    EXPECT_EQ(log[1].value, 3);
}

TEST_F(BusTest, RequestsTheDescriptorDoesNotAnnounceStall)
{
    bus::FunctionConfig config;
    config.acm = 0x00;
    bus::CdcFunction& fn = make_function(config);
    DcClient& c = bind(fn.port());
    UCHAR coding[7];
    ULONG done = 5;
    EXPECT_EQ(c.ifc.control_request(c.ctx(), 1, CDC_GET_LINE_CODING, 0, 7, coding, &done, 0, 0),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(c.ifc.control_request(c.ctx(), 0, CDC_SEND_BREAK, 0xFFFF, 0, nullptr, &done, 0, 0),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(c.ifc.control_request(c.ctx(), 0, 0x42, 0, 0, nullptr, &done, 0, 0), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(fn.control_log().back().status, STATUS_UNSUCCESSFUL);
}

TEST_F(BusTest, EncapsulatedCommandQueuesAReplyAndAnnouncesIt)
{
    bus::CdcFunction& fn = make_function();
    fn.set_responder([](std::span<const uint8_t> cmd) -> std::optional<Bytes> {
        Bytes reply{'R', ':'};
        reply.insert(reply.end(), cmd.begin(), cmd.end());
        return reply;
    });
    DcClient& c = started_port(fn);
    const char cmd[] = "PING";
    ULONG done = 0;
    ASSERT_EQ(c.ifc.control_request(c.ctx(), 0, CDC_SEND_ENCAPSULATED_COMMAND, 0, 4, (PVOID)cmd, &done, 0, 0),
              STATUS_SUCCESS);
    ASSERT_TRUE(c.wait_notifications(1));
    EXPECT_THAT(c.notifications()[0], ElementsAre(0xA1, 0x01, 0, 0, 0, 0, 0, 0));

    UCHAR reply[16] = {};
    ASSERT_EQ(c.ifc.control_request(c.ctx(), 1, CDC_GET_ENCAPSULATED_RESPONSE, 0, 16, reply, &done, 0, 0),
              STATUS_SUCCESS);
    EXPECT_EQ(std::string(reply, reply + done), "R:PING");
    // Nothing left: a zero-length answer.
    ASSERT_EQ(c.ifc.control_request(c.ctx(), 1, CDC_GET_ENCAPSULATED_RESPONSE, 0, 16, reply, &done, 0, 0),
              STATUS_SUCCESS);
    EXPECT_EQ(done, 0u);
    EXPECT_THAT(fn.encapsulated_commands(), ElementsAre(Bytes{'P', 'I', 'N', 'G'}));
}

TEST_F(BusTest, GenericControlRunsTheSetupPacketOfItsRecord)
{
    bus::CdcFunction& fn = make_function();
    DcClient& c = bind(fn.port());
    DC_CONTROL_RECORD get{0xA1, CDC_GET_LINE_CODING, 0, 0, 7, 0, 0};
    UCHAR data[32] = {};
    ULONG done = 0;
    ASSERT_EQ(c.ifc.generic_control(c.ctx(), &get, data, sizeof data, &done, 0), STATUS_SUCCESS);
    EXPECT_EQ(done, 7u);
    EXPECT_THAT(Bytes(data, data + 7), ElementsAre(0x80, 0x25, 0, 0, 0, 0, 8));
    EXPECT_TRUE(fn.control_log().back().generic);

    DC_CONTROL_RECORD vendor{0x40, 0x7F, 0, 0, 0, 0, 0};
    EXPECT_EQ(c.ifc.generic_control(c.ctx(), &vendor, data, sizeof data, &done, 0), STATUS_UNSUCCESSFUL)
        << "a vendor request the device does not know stalls";
    DC_CONTROL_RECORD other_interface{0xA1, CDC_GET_LINE_CODING, 0, 1, 7, 0, 0};
    EXPECT_EQ(c.ifc.generic_control(c.ctx(), &other_interface, data, sizeof data, &done, 0), STATUS_UNSUCCESSFUL);
}

// Standard requests answer from the device; the vendor pair keeps and
// returns a data stage; chosen requests stall.
TEST_F(BusTest, GenericControlAnswersStandardAndVendorRequests)
{
    bus::CdcFunction& fn = make_function();
    DcClient& c = bind(fn.port());
    UCHAR data[64] = {};
    ULONG done = 0;
    DC_CONTROL_RECORD descriptor{0x80, 0x06, 0x0100, 0, 64, 0, 0};
    ASSERT_EQ(c.ifc.generic_control(c.ctx(), &descriptor, data, sizeof data, &done, 0), STATUS_SUCCESS);
    EXPECT_EQ(done, 18u);
    EXPECT_EQ(data[1], 1) << "device descriptor";

    UCHAR sent[3] = {7, 8, 9};
    DC_CONTROL_RECORD store{0x40, bus::CdcFunction::kVendorStore, 0, 0, 3, 0, 0};
    ASSERT_EQ(c.ifc.generic_control(c.ctx(), &store, sent, sizeof sent, &done, 0), STATUS_SUCCESS);
    DC_CONTROL_RECORD fetch{0xC0, bus::CdcFunction::kVendorFetch, 0, 0, 2, 0, 0};
    ASSERT_EQ(c.ifc.generic_control(c.ctx(), &fetch, data, sizeof data, &done, 0), STATUS_SUCCESS);
    EXPECT_EQ(done, 2u) << "at most wLength";
    EXPECT_THAT(Bytes(data, data + 2), ElementsAre(7, 8));

    fn.stall_control(0xC0, bus::CdcFunction::kVendorFetch);
    EXPECT_EQ(c.ifc.generic_control(c.ctx(), &fetch, data, sizeof data, &done, 0), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(done, 0u);
}

// --- notifications ---------------------------------------------------------------

TEST_F(BusTest, NotificationsReachTheCallbackAtDispatchLevelWithTheDriversAnswer)
{
    bus::CdcFunction& fn = make_function();
    DcClient& c = started_port(fn);
    fn.serial_state(0x0003);
    fn.network_connection(true);
    fn.notify({0xA1, 0x2A, 0, 0, 0, 0, 0});   // any packet, any length
    ASSERT_TRUE(c.wait_notifications(3));
    auto n = c.notifications();
    EXPECT_THAT(n[0], ElementsAre(0xA1, 0x20, 0, 0, 0, 0, 2, 0, 0x03, 0x00));
    EXPECT_THAT(n[1], ElementsAre(0xA1, 0x00, 1, 0, 0, 0, 0, 0));
    EXPECT_EQ(n[2].size(), 7u);

    c.accept_notifications(false);
    fn.serial_state(0x0040);
    ASSERT_TRUE(c.wait_notifications(4));
    fn.settle();
    auto log = fn.notifications();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_TRUE(log[0].accepted);
    EXPECT_FALSE(log[3].accepted);
}

// A short packet still lands in a whole interrupt-endpoint buffer: a reader
// of the SERIAL_STATE bitmap at offset 8 of an 8-byte packet stays inside it.
TEST_F(BusTest, AShortNotificationArrivesInAWholeEndpointBuffer)
{
    bus::CdcFunction& fn = make_function();
    DcClient& c = bind(fn.port());
    ASSERT_EQ(c.ifc.dc_transport_enable(c.ctx()), STATUS_SUCCESS);
    static std::vector<uint8_t> seen;
    static ULONG seen_length;
    auto callback = [](WDFDEVICE, PUCHAR packet, ULONG length) -> BOOLEAN {
        seen.assign(packet, packet + bus::CdcFunction::kInterruptPacketSize);
        seen_length = length;
        return TRUE;
    };
    ASSERT_TRUE(c.ifc.cdc_set_notify_cb(c.ctx(), nullptr, callback));
    fn.notify({0xA1, 0x20, 0, 0, 0, 0, 2, 0});
    fn.settle();
    EXPECT_EQ(seen_length, 8u);
    EXPECT_THAT(seen, ElementsAre(0xA1, 0x20, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0));
}

TEST_F(BusTest, NotificationsWaitUntilACallbackListens)
{
    bus::CdcFunction& fn = make_function();
    DcClient& c = bind(fn.port());
    ASSERT_EQ(c.ifc.dc_transport_enable(c.ctx()), STATUS_SUCCESS);
    fn.serial_state(0x0001);
    fn.settle();
    EXPECT_TRUE(c.notifications().empty());
    c.start(false);
    ASSERT_TRUE(c.wait_notifications(1));
    EXPECT_EQ(c.notifications()[0][8], 0x01);

    fn.inject(bus::Op::set_notify_cb, bus::Fault::refuse());
    EXPECT_FALSE(c.ifc.cdc_set_notify_cb(c.ctx(), reinterpret_cast<WDFDEVICE>(&c), nullptr));
}

// --- the driver's callbacks and selective suspend ------------------------------------

struct Callbacks {
    static inline std::vector<std::string> calls;
    static NTSTATUS start(PVOID) { return record("start", STATUS_SUCCESS); }
    static NTSTATUS stop(PVOID) { return record("stop", STATUS_SUCCESS); }
    static BOOLEAN in_use(PVOID) { return record("in_use", TRUE); }
    static NTSTATUS suspend(PVOID) { return record("suspend", STATUS_SUCCESS); }
    static NTSTATUS resume(PVOID) { return record("resume", STATUS_SUCCESS); }
    template <typename T>
    static T record(const char* what, T result)
    {
        calls.push_back(std::string(what) + (KeGetCurrentIrql() == DISPATCH_LEVEL ? "@dispatch" : ""));
        return result;
    }
};

TEST_F(BusTest, RegisteredCallbacksAreCalledOnDemand)
{
    Callbacks::calls.clear();
    bus::CdcFunction& fn = make_function();
    DcClient& c = bind(fn.port());
    EXPECT_EQ(fn.port().io_start(), STATUS_INVALID_DEVICE_STATE);
    c.ifc.register_callbacks(c.ctx(), 1, Callbacks::start, Callbacks::stop, Callbacks::in_use, Callbacks::suspend,
                             Callbacks::resume, &c);
    EXPECT_EQ(fn.port().hold_child_if_in_use(), 1u);
    EXPECT_EQ(fn.port().io_start(), STATUS_SUCCESS);
    EXPECT_TRUE(fn.port().is_in_use());
    EXPECT_EQ(fn.port().io_stop(), STATUS_SUCCESS);
    EXPECT_THAT(Callbacks::calls, ElementsAre("start", "in_use", "stop"));
    c.ifc.unregister_callbacks(c.ctx());
    EXPECT_FALSE(fn.port().callbacks_registered());
}

// A bus may call these from its completion path: the function can ask for
// DISPATCH_LEVEL; start and stop stay at the caller's level.
TEST_F(BusTest, SuspendResumeAndInUseCanBeCalledAtDispatchLevel)
{
    Callbacks::calls.clear();
    bus::FunctionConfig config;
    config.callbacks_at_dispatch = true;
    bus::CdcFunction& fn = make_function(config);
    DcClient& c = bind(fn.port());
    c.ifc.register_callbacks(c.ctx(), 0, Callbacks::start, Callbacks::stop, Callbacks::in_use, Callbacks::suspend,
                             Callbacks::resume, &c);
    EXPECT_EQ(fn.port().io_start(), STATUS_SUCCESS);
    EXPECT_TRUE(fn.port().is_in_use());
    EXPECT_EQ(fn.port().io_suspend(), STATUS_SUCCESS);
    EXPECT_EQ(fn.port().io_resume(), STATUS_SUCCESS);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_THAT(Callbacks::calls, ElementsAre("start", "in_use@dispatch", "suspend@dispatch", "resume@dispatch"));
    c.ifc.unregister_callbacks(c.ctx());
}

TEST_F(BusTest, SuspendEndsTransfersAndWakeupBringsTheFunctionBackInHostTime)
{
    Callbacks::calls.clear();
    bus::FunctionConfig config;
    config.resume_latency = 20 * host::kMillisecond;
    bus::CdcFunction& fn = make_function(config);
    DcClient& c = started_port(fn);
    c.ifc.register_callbacks(c.ctx(), 0, Callbacks::start, Callbacks::stop, Callbacks::in_use, Callbacks::suspend,
                             Callbacks::resume, &c);
    ASSERT_TRUE(c.post_in(64));
    fn.suspend();
    EXPECT_TRUE(c.ifc.is_suspended(c.ctx()));
    ASSERT_TRUE(c.wait_ins(1));
    EXPECT_EQ(c.ins()[0].status, STATUS_POWER_STATE_INVALID);

    // Notifications wait while the function sleeps.
    fn.serial_state(0x0002);
    fn.settle();
    EXPECT_TRUE(c.notifications().empty());

    const host::Time before = host::now();
    c.ifc.device_wakeup(c.ctx(), TRUE);
    EXPECT_EQ(host::now() - before, 20 * host::kMillisecond);
    EXPECT_FALSE(c.ifc.is_suspended(c.ctx()));
    EXPECT_THAT(Callbacks::calls, ElementsAre("suspend", "resume"));
    ASSERT_TRUE(c.wait_notifications(1));

    // Awake: device_wakeup returns at once.
    c.ifc.device_wakeup(c.ctx(), FALSE);
    EXPECT_EQ(host::now() - before, 20 * host::kMillisecond);
    EXPECT_THAT(fn.port().op_log(), ::testing::Contains("device_wakeup(1)"));
}

TEST_F(BusTest, OperationLogFollowsTheDriversOrder)
{
    bus::CdcFunction& fn = make_function();
    DcClient& c = started_port(fn);
    ASSERT_TRUE(c.post_in(64));
    c.ifc.data_abort(c.ctx(), TRUE);
    c.stop();
    c.ifc.last_handle_closed(c.ctx());
    c.ifc.handles_open_at_d0_exit(c.ctx());
    EXPECT_EQ(c.ifc.dc_clear_data(c.ctx()), STATUS_SUCCESS);
    EXPECT_THAT(fn.port().op_log(),
                ElementsAre("query_interface", "dc_transport_enable", "cdc_data_io_init(1,1)", "cdc_set_notify_cb(set)",
                            "data_abort(1)", "cdc_set_notify_cb(clear)", "cdc_data_io_uninit", "dc_transport_disable",
                            "last_handle_closed", "handles_open_at_d0_exit", "dc_clear_data"));
    EXPECT_EQ(fn.port().calls("data_in_post"), 1);
    EXPECT_EQ(fn.port().calls("cdc_set_notify_cb"), 2);
}

}  // namespace
}  // namespace bus_test
