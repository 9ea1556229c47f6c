// The encapsulated command channel: a command reaches the function, a WAIT
// completes on RESPONSE_AVAILABLE, the response comes back intact; WAITs end
// with the handle, a cancel, the channel's purge and a surprise removal.
#include "common_fixture.h"

#include "bus/behaviours.h"
#include "host/rtl/trace.h"
#include "host/rtl/registry.h"

namespace commontest {
namespace {

class EncapTest : public CommonTest {
protected:
    void start_modem(bus::FunctionConfig config = {})
    {

        start(1, std::move(config));
        fn_->set_behaviour(std::make_shared<bus::AtModem>());
    }
    std::string send(const std::string& command, HANDLE on = nullptr)
    {
        Areas a = areas(command, 0);
        std::string result = call(IOCTL_CDC_SEND_ENCAPSULATED_COMMAND, a, on);
        return result == taken() ? std::to_string(a.out->dc_status) : result;
    }
    // The response, or the request's result when the driver refused it.
    std::string get(size_t room = 256, HANDLE on = nullptr)
    {
        Areas a = areas("", room);
        std::string result = call(IOCTL_CDC_GET_ENCAPSULATED_RESPONSE, a, on);
        if (result != taken())
            return result;
        EXPECT_EQ(a.out->dc_status, ULONG(DC_STATUS_SUCCESS));
        return std::string(a.data_out, a.out->data_out_len);
    }
    struct Wait {
        Areas areas;
        std::unique_ptr<Io> io;
    };
    Wait wait_response(HANDLE on = nullptr)
    {
        Wait w{ areas("", 0), nullptr };
        w.io = issue(IOCTL_CDC_WAIT_FOR_ENCAPSULATED_RESPONSE, w.areas.in, sizeof(dc_ioctl_data), w.areas.out,
                     sizeof(dc_ioctl_data), on);
        return w;
    }
    void settle()
    {
        fn_->settle();
        porttest::sleep_for(host::kMillisecond);
    }
};

TEST_F(EncapTest, SendWaitGetCarriesACommandAndItsResponse)
{
    start_modem();
    EXPECT_EQ(send("ATI3\r"), "0");
    auto commands = fn_->encapsulated_commands();
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(std::string(commands[0].begin(), commands[0].end()), "ATI3\r");
    settle();
    Wait w = wait_response();
    wait(*w.io);
    EXPECT_EQ(w.io->result(), taken()) << "announced before the WAIT: completes at once";
    EXPECT_EQ(w.areas.out->dc_status, ULONG(DC_STATUS_SUCCESS));
    EXPECT_NE(get().find("OK"), std::string::npos);
    EXPECT_EQ(requests(0x01).back().length, 256u) << "wLength is the room given";
}

TEST_F(EncapTest, APendingWaitCompletesOnResponseAvailable)
{
    start_modem();
    Wait w = wait_response();
    settle();
    EXPECT_FALSE(w.io->done());
    EXPECT_EQ(send("AT\r"), "0");
    wait(*w.io);
    EXPECT_EQ(w.io->result(), taken());
    EXPECT_EQ(w.areas.out->dc_status, ULONG(DC_STATUS_SUCCESS));
    EXPECT_EQ(get(), "\r\nOK\r\n");
}

TEST_F(EncapTest, BinaryPayloadsPassUnchanged)
{
    start();
    fn_->set_responder([](std::span<const uint8_t> command) {
        return std::optional<bus::Bytes>(bus::Bytes(command.rbegin(), command.rend()));
    });
    std::string payload = pattern(1024);
    payload[0] = '\0';
    EXPECT_EQ(send(payload), "0");
    auto sent = fn_->encapsulated_commands().at(0);
    EXPECT_EQ(std::string(sent.begin(), sent.end()), payload);
    std::string reply = get(2048);
    EXPECT_EQ(reply, std::string(payload.rbegin(), payload.rend()));
}

TEST_F(EncapTest, TwoAnnouncementsSatisfyTwoWaits)
{
    start();
    fn_->response_available();
    fn_->response_available();
    settle();
    for (int i = 0; i < 2; i++) {
        Wait w = wait_response();
        wait(*w.io);
        EXPECT_EQ(w.io->result(), taken());
    }
    Wait third = wait_response();
    settle();
    EXPECT_FALSE(third.io->done()) << "nothing left announced";
    fn_->response_available();
    wait(*third.io);
    EXPECT_EQ(third.io->result(), taken());
}

TEST_F(EncapTest, GetWithNoRoomAsksForNothing)
{
    start_modem();
    EXPECT_EQ(get(0), "");
    EXPECT_EQ(requests(0x01).back().length, 0u);
}

// A cancelled WAIT gives back its place: the next announcement is kept for
// the next WAIT rather than spent on the one that went.
TEST_F(EncapTest, CancelledWaitDoesNotSwallowTheNextResponse)
{
    start();
    Wait w = wait_response();
    settle();
    cancel(*w.io);
    wait(*w.io);
    EXPECT_EQ(w.io->result(), outcome(STATUS_CANCELLED, 0));
    EXPECT_EQ(w.areas.out->dc_status, 0xFFFFFFFFu);
    fn_->response_available();
    settle();
    Wait next = wait_response();
    wait(*next.io);
    EXPECT_EQ(next.io->result(), taken());
}

TEST_F(EncapTest, WaitEndsWhenItsHandleCloses)
{
    start();
    Wait w = wait_response();
    settle();
    close();
    EXPECT_TRUE(w.io->done());
    EXPECT_EQ(w.io->status(), STATUS_CANCELLED);
}

// The framework purges the queues before the hardware is released; the
// channel's own purge then finds nothing left.
TEST_F(EncapTest, WaitEndsWithASurpriseRemoval)
{
    start();
    fn_->set_removal_handler([this] { host_->surprise_remove(node_); });
    Wait w = wait_response();
    settle();
    fn_->surprise_remove();
    wait(*w.io);
    EXPECT_EQ(w.io->status(), STATUS_CANCELLED) << "no response was announced";
}

TEST_F(EncapTest, ASerialControlDeviceAloneServesTheChannel)
{
    bus::FunctionConfig config;
    config.serial_control_device = true;
    start_modem(config);
    ASSERT_NE(host_->plug(fn_->control()->description()), nullptr);
    HANDLE control = open_control_device();
    ASSERT_NE(control, INVALID_HANDLE_VALUE);

    EXPECT_EQ(send("AT\r"), outcome(STATUS_INVALID_DEVICE_REQUEST, 0));
    EXPECT_TRUE(fn_->encapsulated_commands().empty());
    Wait on_port = wait_response();
    wait(*on_port.io);
    EXPECT_EQ(on_port.io->result(), outcome(STATUS_INVALID_DEVICE_REQUEST, 0));

    Wait w = wait_response(control);
    settle();
    EXPECT_FALSE(w.io->done());
    EXPECT_EQ(send("AT\r", control), "0");
    wait_on(control, *w.io);
    EXPECT_EQ(w.io->result(), taken());
    EXPECT_EQ(get(256, control), "\r\nOK\r\n");
    CloseHandle(control);
}

}  // namespace
}  // namespace commontest
