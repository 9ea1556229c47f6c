// The device behaviours: loopback plug, AT-command modem, scripted peer and
// the bridge to an outside byte stream.
#include "dc_client.h"

#include "bus/behaviours.h"
#include "common/cdc_protocol.h"

#include <gmock/gmock.h>

#include <fcntl.h>
#include <unistd.h>

namespace bus_test {
namespace {

using ::testing::ElementsAre;

std::string text(const Bytes& b) { return std::string(b.begin(), b.end()); }

uint16_t serial_state_of(const Bytes& packet)
{
    EXPECT_EQ(packet.size(), 10u);
    EXPECT_EQ(packet[1], CDC_NOTIFY_SERIAL_STATE);
    return uint16_t(packet[8] | packet[9] << 8);
}

void set_control_lines(DcClient& c, USHORT lines)
{
    ULONG n = 0;
    ASSERT_EQ(c.ifc.control_request(c.ctx(), 0, CDC_SET_CONTROL_LINE_STATE, lines, 0, nullptr, &n, 0, 0),
              STATUS_SUCCESS);
}

// A port that reads continuously, as the driver does.
class BehaviourTest : public BusTest {
protected:
    DcClient& open(bus::CdcFunction& fn)
    {
        DcClient& c = started_port(fn);
        EXPECT_TRUE(c.post_in(64, true));
        return c;
    }
    bool write(DcClient& c, std::string_view s)
    {
        const size_t before = c.outs().size();
        return c.post_out(bus::to_bytes(s)) && c.wait_outs(before + 1);
    }
    bool read_until(DcClient& c, std::string_view expected)
    {
        return c.wait([&](const DcClient::Records& r) { return text(r.in_data).find(expected) != std::string::npos; },
                      5 * host::kSecond);
    }
};

TEST_F(BehaviourTest, LoopbackReturnsDataAndWiresDtrToCarrierAndBreakBack)
{
    bus::CdcFunction& fn = make_function();
    fn.set_behaviour(std::make_shared<bus::Loopback>());
    DcClient& c = open(fn);
    ASSERT_TRUE(write(c, "hello, loop"));
    ASSERT_TRUE(read_until(c, "hello, loop"));

    set_control_lines(c, CDC_CONTROL_LINE_DTR);
    ASSERT_TRUE(c.wait_notifications(1));
    EXPECT_EQ(serial_state_of(c.notifications()[0]), 0x0003);
    ULONG n = 0;
    ASSERT_EQ(c.ifc.control_request(c.ctx(), 0, CDC_SEND_BREAK, 0xFFFF, 0, nullptr, &n, 0, 0), STATUS_SUCCESS);
    ASSERT_TRUE(c.wait_notifications(2));
    EXPECT_EQ(serial_state_of(c.notifications()[1]), 0x0007);
    set_control_lines(c, 0);
    ASSERT_TRUE(c.wait_notifications(3));
    EXPECT_EQ(serial_state_of(c.notifications()[2]), 0x0004);
}

// Injected line errors and breaks are one-shot bits: each goes out once,
// on top of the carrier lines the function reported last.
TEST_F(BehaviourTest, LineEventsKeepTheCarrierLinesLastReported)
{
    bus::CdcFunction& fn = make_function();
    fn.set_behaviour(std::make_shared<bus::Loopback>());
    DcClient& c = open(fn);
    fn.line_event(CDC_SERIAL_STATE_OVERRUN);
    set_control_lines(c, CDC_CONTROL_LINE_DTR);
    fn.line_event(CDC_SERIAL_STATE_FRAMING | CDC_SERIAL_STATE_PARITY);
    fn.line_event(CDC_SERIAL_STATE_BREAK);
    set_control_lines(c, 0);
    fn.line_event(CDC_SERIAL_STATE_RING_SIGNAL);
    ASSERT_TRUE(c.wait_notifications(6));
    std::vector<uint16_t> states;
    for (const Bytes& packet : c.notifications())
        states.push_back(serial_state_of(packet));
    EXPECT_THAT(states, ElementsAre(0x0040, 0x0003, 0x0033, 0x0007, 0x0000, 0x0008));
    EXPECT_THROW(fn.line_event(CDC_SERIAL_STATE_RX_CARRIER), std::invalid_argument);
}

TEST_F(BehaviourTest, ModemAnswersCommandsWithEchoAndVerboseResults)
{
    bus::CdcFunction& fn = make_function();
    fn.set_behaviour(std::make_shared<bus::AtModem>());
    DcClient& c = open(fn);
    ASSERT_TRUE(c.wait_notifications(1));
    EXPECT_EQ(serial_state_of(c.notifications()[0]), CDC_SERIAL_STATE_TX_CARRIER);   // ready

    ASSERT_TRUE(write(c, "AT\r"));
    ASSERT_TRUE(read_until(c, "AT\r\r\nOK\r\n"));
    ASSERT_TRUE(write(c, "ATE0\r"));
    ASSERT_TRUE(read_until(c, "ATE0\r\r\nOK\r\n"));
    ASSERT_TRUE(write(c, "ati\r"));
    ASSERT_TRUE(read_until(c, "\r\nACM Virtual Modem 1.0\r\n\r\nOK\r\n"));
    EXPECT_EQ(text(c.in_data()).find("ati"), std::string::npos);   // echo is off
    ASSERT_TRUE(write(c, "ATX\r"));
    ASSERT_TRUE(read_until(c, "\r\nERROR\r\n"));
    ASSERT_TRUE(write(c, "ATZ\r"));
    ASSERT_TRUE(write(c, "ATI\r"));
    ASSERT_TRUE(read_until(c, "ATI\r\r\nACM"));   // echo is back on
}

TEST_F(BehaviourTest, ModemDialsEscapesAndHangsUp)
{
    bus::CdcFunction& fn = make_function();
    auto modem = std::make_shared<bus::AtModem>(host::kSecond);
    fn.set_behaviour(modem);
    DcClient& c = open(fn);
    ASSERT_TRUE(write(c, "ATE0\r"));
    ASSERT_TRUE(write(c, "ATD5551234\r"));
    ASSERT_TRUE(read_until(c, "\r\nCONNECT\r\n"));
    ASSERT_TRUE(c.wait_notifications(2));
    EXPECT_EQ(serial_state_of(c.notifications()[1]), 0x0003);   // carrier
    EXPECT_TRUE(modem->connected());

    ASSERT_TRUE(write(c, "data"));   // the remote end echoes
    ASSERT_TRUE(read_until(c, "CONNECT\r\ndata"));

    // "+++" counts only after a guard time of silence, and takes effect after another.
    ASSERT_TRUE(write(c, "+++"));
    auto lk = host::sched_lock();
    host::wait_until(lk, [] { return false; }, host::now() + host::kSecond / 2, "test");
    lk.unlock();
    const std::string so_far = text(c.in_data());
    EXPECT_EQ(so_far.find("OK", so_far.find("CONNECT")), std::string::npos);   // "+++" right after data is data
    ASSERT_TRUE(read_until(c, "data+++"));

    lk.lock();
    host::wait_until(lk, [] { return false; }, host::now() + host::kSecond, "test");
    lk.unlock();
    ASSERT_TRUE(write(c, "+++"));
    ASSERT_TRUE(read_until(c, "data+++\r\nOK\r\n"));
    const host::Time escaped = host::now();
    EXPECT_GE(escaped, host::kSecond);

    ASSERT_TRUE(write(c, "ATH\r"));
    ASSERT_TRUE(read_until(c, "\r\nNO CARRIER\r\n"));
    ASSERT_TRUE(c.wait_notifications(3));
    EXPECT_EQ(serial_state_of(c.notifications()[2]), CDC_SERIAL_STATE_TX_CARRIER);
    EXPECT_FALSE(modem->connected());
}

TEST_F(BehaviourTest, ModemRingsAnswersAndHangsUpWhenDtrDrops)
{
    bus::CdcFunction& fn = make_function();
    auto modem = std::make_shared<bus::AtModem>(0);
    fn.set_behaviour(modem);
    DcClient& c = open(fn);
    ASSERT_TRUE(c.wait_notifications(1));
    modem->ring();
    ASSERT_TRUE(read_until(c, "\r\nRING\r\n"));
    ASSERT_TRUE(c.wait_notifications(3));
    EXPECT_EQ(serial_state_of(c.notifications()[1]), 0x000A);   // ring pulse
    EXPECT_EQ(serial_state_of(c.notifications()[2]), 0x0002);

    set_control_lines(c, CDC_CONTROL_LINE_DTR);
    ASSERT_TRUE(write(c, "ATA\r"));
    ASSERT_TRUE(read_until(c, "\r\nCONNECT\r\n"));
    // Without a guard time the escape works at once, inside one write.
    ASSERT_TRUE(write(c, "xy+++ATO\r"));
    ASSERT_TRUE(read_until(c, "CONNECT\r\nxy\r\nOK\r\nATO\r\r\nCONNECT\r\n"));
    set_control_lines(c, 0);
    ASSERT_TRUE(read_until(c, "ATO\r\r\nCONNECT\r\n\r\nNO CARRIER\r\n"));
    EXPECT_FALSE(modem->connected());
}

TEST_F(BehaviourTest, ModemTakesEncapsulatedCommandLines)
{
    bus::CdcFunction& fn = make_function();
    fn.set_behaviour(std::make_shared<bus::AtModem>());
    DcClient& c = open(fn);
    ASSERT_TRUE(c.wait_notifications(1));
    const char cmd[] = "ATI\r";
    ULONG n = 0;
    ASSERT_EQ(c.ifc.control_request(c.ctx(), 0, CDC_SEND_ENCAPSULATED_COMMAND, 0, 4, (PVOID)cmd, &n, 0, 0),
              STATUS_SUCCESS);
    ASSERT_TRUE(c.wait_notifications(2));
    EXPECT_EQ(c.notifications()[1][1], CDC_NOTIFY_RESPONSE_AVAILABLE);
    UCHAR reply[64];
    ASSERT_EQ(c.ifc.control_request(c.ctx(), 1, CDC_GET_ENCAPSULATED_RESPONSE, 0, 64, reply, &n, 0, 0),
              STATUS_SUCCESS);
    EXPECT_EQ(std::string(reply, reply + n), "\r\nACM Virtual Modem 1.0\r\n\r\nOK\r\n");
}

TEST_F(BehaviourTest, ScriptedPeerRunsItsStepsInHostTime)
{
    bus::CdcFunction& fn = make_function();
    auto peer = std::make_shared<bus::ScriptedPeer>();
    fn.set_behaviour(peer);
    DcClient& c = open(fn);
    peer->expect("LOGIN\r").send("user? ").delay(50 * host::kMillisecond).serial_state(0x0001).send("ready");
    ASSERT_TRUE(write(c, "LOG"));
    EXPECT_FALSE(peer->done());
    ASSERT_TRUE(write(c, "IN\r"));
    ASSERT_TRUE(read_until(c, "user? "));
    const host::Time asked = host::now();
    ASSERT_TRUE(peer->wait_done(host::kSecond));
    ASSERT_TRUE(read_until(c, "user? ready"));
    EXPECT_EQ(host::now() - asked, 50 * host::kMillisecond);
    ASSERT_TRUE(c.wait_notifications(1));
    EXPECT_EQ(serial_state_of(c.notifications()[0]), 0x0001);
    EXPECT_EQ(text(peer->received()), "LOGIN\r");
}

TEST_F(BehaviourTest, ScriptedPeerReportsTheFirstMismatch)
{
    bus::CdcFunction& fn = make_function();
    auto peer = std::make_shared<bus::ScriptedPeer>();
    fn.set_behaviour(peer);
    DcClient& c = open(fn);
    peer->expect("ATZ\r").send("never");
    ASSERT_TRUE(write(c, "ATX"));
    EXPECT_FALSE(peer->wait_done(host::kSecond));
    EXPECT_EQ(peer->mismatch(), "expected \"ATZ\r\", host sent \"ATX\"");
    fn.settle();
    EXPECT_TRUE(c.in_data().empty());
}

TEST_F(BehaviourTest, ReplacingABehaviourCancelsItsTimers)
{
    bus::CdcFunction& fn = make_function();
    auto peer = std::make_shared<bus::ScriptedPeer>();
    fn.set_behaviour(peer);
    DcClient& c = open(fn);
    peer->delay(10 * host::kMillisecond).send("late");
    fn.set_behaviour(std::make_shared<bus::Loopback>());
    peer.reset();   // the delay's timer must not reach it
    auto lk = host::sched_lock();
    host::wait_until(lk, [] { return false; }, host::now() + 20 * host::kMillisecond, "test");
    lk.unlock();
    EXPECT_TRUE(c.in_data().empty());
    ASSERT_TRUE(write(c, "echo"));
    ASSERT_TRUE(read_until(c, "echo"));
}

TEST_F(BehaviourTest, StreamBridgeCarriesBytesBothWays)
{
    int to_device[2], from_device[2];
    ASSERT_EQ(::pipe2(to_device, O_NONBLOCK), 0);
    ASSERT_EQ(::pipe2(from_device, O_NONBLOCK), 0);
    {
        bus::CdcFunction& fn = make_function();
        fn.set_behaviour(std::make_shared<bus::StreamBridge>(to_device[0], from_device[1]));
        DcClient& c = open(fn);
        ASSERT_EQ(::write(to_device[1], "from outside", 12), 12);
        ASSERT_TRUE(read_until(c, "from outside"));
        ASSERT_TRUE(write(c, "to outside"));
        char buffer[32] = {};
        ASSERT_EQ(::read(from_device[0], buffer, sizeof buffer), 10);
        EXPECT_STREQ(buffer, "to outside");
        fn.set_behaviour(nullptr);   // stops the bridge's thread
    }
    for (int fd : {to_device[0], to_device[1], from_device[0], from_device[1]})
        ::close(fd);
}

// Real threads on real time: the tools' setting.
TEST(BusFreeMode, LoopbackCarriesAStreamOnRealThreads)
{
    host::sched_start({host::Mode::free, 1});
    {
        bus::CdcFunction fn;
        fn.set_behaviour(std::make_shared<bus::Loopback>());
        DcClient c(fn.port());
        c.start();
        ASSERT_TRUE(c.post_in(64, true));
        const Bytes data = pattern(4000);
        for (size_t at = 0; at < data.size(); at += 500) {
            ASSERT_TRUE(c.post_out(Bytes(data.begin() + at, data.begin() + at + 500)));
            ASSERT_TRUE(c.wait_outs(at / 500 + 1, 10 * host::kSecond));
        }
        ASSERT_TRUE(c.wait_in_bytes(data.size(), 10 * host::kSecond));
        c.stop_streaming();
        EXPECT_EQ(c.in_data(), data);
        c.stop();
        c.release();
    }
    host::sched_stop();
}

}  // namespace
}  // namespace bus_test
