// The function's notifications: SERIAL_STATE drives the modem status, the
// line errors ClearCommError reports and clears, and the error statistics;
// NETWORK_CONNECTION and RESPONSE_AVAILABLE are taken; malformed packets
// change nothing and are refused or ignored.
#include "events_fixture.h"

#include "host/rtl/trace.h"

namespace eventstest {
namespace {

class NotifyTest : public EventTest {
protected:
    // Whether the driver took each notification, in order.
    std::vector<bool> accepted()
    {
        std::vector<bool> taken;
        for (const auto& n : fn_->notifications())
            taken.push_back(n.accepted);
        return taken;
    }
};

TEST_F(NotifyTest, ModemStatusFollowsTheFunctionsSerialState)
{
    opened();
    EXPECT_EQ(modem_status(), 0u);
    const std::pair<uint16_t, DWORD> steps[] = {
        { 0x0003, MS_RLSD_ON | MS_DSR_ON | MS_CTS_ON },
        { 0x0001, MS_RLSD_ON },
        { 0x0002, MS_DSR_ON | MS_CTS_ON },
        { 0x000E, MS_DSR_ON | MS_CTS_ON },   // ring and break are no levels
        { 0x0000, 0 },
    };
    for (const auto& [bitmap, status] : steps) {
        fn_->serial_state(bitmap);
        settle();
        EXPECT_EQ(modem_status(), status) << "bitmap " << bitmap;
    }
}

TEST_F(NotifyTest, ClearCommErrorReportsLineErrorsOnceAndTheStatisticsCountThem)
{
    opened();
    fn_->line_event(CDC_SERIAL_STATE_FRAMING);
    fn_->line_event(CDC_SERIAL_STATE_OVERRUN);
    fn_->line_event(CDC_SERIAL_STATE_FRAMING | CDC_SERIAL_STATE_PARITY);
    settle();
    EXPECT_EQ(comm_errors(), DWORD(CE_FRAME | CE_OVERRUN)) << "parity counts only with EV_ERR in the mask";
    EXPECT_EQ(comm_errors(), 0u) << "reading clears them";

    ASSERT_TRUE(SetCommMask(handle(), EV_ERR));
    fn_->line_event(CDC_SERIAL_STATE_PARITY);
    fn_->line_event(CDC_SERIAL_STATE_BREAK);
    settle();
    EXPECT_EQ(comm_errors(), DWORD(CE_RXPARITY)) << "a break is an event, not a line error";

    const SERIALPERF_STATS s = stats();
    EXPECT_EQ(s.FrameErrorCount, 2u);
    EXPECT_EQ(s.SerialOverrunErrorCount, 1u);
    EXPECT_EQ(s.ParityErrorCount, 2u);
    EXPECT_EQ(s.BufferOverrunErrorCount, 0u);
}

TEST_F(NotifyTest, OlderErrorsNotYetReadRaiseEvErrAgain)
{
    opened();
    ASSERT_TRUE(SetCommMask(handle(), EV_ERR | EV_DSR));
    fn_->line_event(CDC_SERIAL_STATE_OVERRUN);
    settle();
    DWORD events = 0;
    ASSERT_TRUE(WaitCommEvent(handle(), &events, nullptr));
    EXPECT_EQ(events, DWORD(EV_ERR));

    fn_->serial_state(CDC_SERIAL_STATE_TX_CARRIER);
    settle();
    ASSERT_TRUE(WaitCommEvent(handle(), &events, nullptr));
    EXPECT_EQ(events, DWORD(EV_DSR | EV_ERR)) << "the overrun was not read yet";
    EXPECT_EQ(comm_errors(), DWORD(CE_OVERRUN));
}

// Every malformed packet is refused or ignored and leaves the port as it was.
TEST_F(NotifyTest, MalformedNotificationsChangeNothing)
{
    opened();
    ASSERT_TRUE(SetCommMask(handle(), 0x1FFF & ~EV_TXEMPTY));
    auto w = wait_event();

    const bus::Bytes serial_state = bus::serial_state_packet(0, 0x007F);
    int short_packets = 0, bad_serial_states = 0, unknown = 0;
    for (size_t n = 0; n < 8; n++, short_packets++)
        fn_->notify(bus::Bytes(serial_state.begin(), serial_state.begin() + n));
    for (uint16_t length : { 0, 1, 3, 8 }) {
        bad_serial_states++;
        bus::Bytes p = serial_state;
        p[6] = uint8_t(length);
        fn_->notify(p);
    }
    fn_->notify(bus::Bytes(serial_state.begin(), serial_state.begin() + 9));   // half a bitmap
    bad_serial_states++;
    for (uint8_t code : { 0x02, 0x2A, 0x21, 0xFF }) {
        unknown++;
        bus::Bytes p = serial_state;
        p[1] = code;
        fn_->notify(p);
    }
    settle();

    std::vector<bool> want(short_packets + bad_serial_states, false);
    want.insert(want.end(), unknown, true);
    EXPECT_EQ(accepted(), want);

    EXPECT_FALSE(w->done());
    EXPECT_EQ(modem_status(), 0u);
    EXPECT_EQ(comm_errors(), 0u);
    const SERIALPERF_STATS s = stats();
    EXPECT_EQ(s.FrameErrorCount + s.SerialOverrunErrorCount + s.ParityErrorCount, 0u);

    // The port still follows a well-formed one.
    fn_->serial_state(CDC_SERIAL_STATE_TX_CARRIER);
    EXPECT_EQ(finish(*w).result(), kWaitDone);
    EXPECT_EQ(w->events, DWORD(EV_DSR));
    expect_verifier_silent();
}

// Whatever it holds, a packet shows the function is active: on a function
// that may idle, the driver asks the bus to wake the function's children.
TEST_F(NotifyTest, EveryPacketPostsTheChildWakeUpEvenAMalformedOne)
{
    bus::FunctionConfig config;
    config.idle_timeout = 10;
    opened(1, config);
    fn_->port().clear_op_log();
    fn_->notify(bus::Bytes{ 0xA1, 0x20, 0 });
    settle();
    EXPECT_EQ(fn_->port().calls("device_wakeup"), 1);
}

TEST_F(NotifyTest, AFloodOfMalformedPacketsIsHarmless)
{
    opened();
    constexpr int kPackets = 500;
    for (int i = 0; i < kPackets; i++) {
        bus::Bytes p = bus::serial_state_packet(0, 0x0073);
        p.resize(size_t(i % 8));
        fn_->notify(p);
    }
    settle();
    EXPECT_EQ(modem_status(), 0u);
    EXPECT_EQ(comm_errors(), 0u);

    const std::string sent = pattern(3000);
    auto wr = write(sent);
    EXPECT_EQ(first_difference(read_back(sent.size()), sent), "");
    expect_verifier_silent();
}

TEST_F(NotifyTest, NetworkConnectionIsTracedAndChangesNothing)
{
    opened();
    host::trace_clear();
    fn_->network_connection(true);
    settle();
    EXPECT_EQ(host::trace_count("acm_notify_cb: connected 1"), 1u);
    EXPECT_EQ(accepted(), std::vector<bool>{ true });
    EXPECT_EQ(modem_status(), 0u);
}

TEST_F(NotifyTest, ResponseAvailableIsRefusedWhereTheSerialControlDeviceServesIt)
{
    for (bool control_device : { false, true }) {
        SCOPED_TRACE(control_device);
        bus::FunctionConfig config;
        config.serial_control_device = control_device;
        opened(1, config);
        ASSERT_EQ(fdx_->serial_ctrl_enabled != FALSE, control_device);
        fn_->clear_logs();
        fn_->response_available();
        settle();
        ASSERT_FALSE(fn_->notifications().empty());
        EXPECT_EQ(fn_->notifications()[0].accepted, !control_device);
    }
}

}  // namespace
}  // namespace eventstest
