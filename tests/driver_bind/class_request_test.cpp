// CDC class requests as they appear on the bus.
#include "bind_fixture.h"

#include "common/cdc_protocol.h"

namespace bindtest {
namespace {

using Bytes = std::vector<uint8_t>;

class ClassRequestTest : public BindTest {
protected:
    // A started port whose preparation traffic is forgotten.
    void start(bus::FunctionConfig config = {})
    {
        ASSERT_NE(started(std::move(config)), nullptr);
        fn_->clear_logs();
    }
    bus::ControlTransfer last() const
    {
        auto log = fn_->control_log();
        EXPECT_FALSE(log.empty());
        return log.empty() ? bus::ControlTransfer{} : log.back();
    }
    void set_line(ULONG rate, UCHAR stop_bits, UCHAR parity, UCHAR data_bits)
    {
        fdx_->line_coding = { rate, stop_bits, parity, data_bits };
        EXPECT_EQ(acm_req_set_line_coding(fdx_, &fdx_->line_coding), STATUS_SUCCESS);
    }
};

TEST_F(ClassRequestTest, SetLineCodingSendsTheSevenBytesAsStored)
{
    start();
    set_line(115200, 0, 0, 8);
    const bus::ControlTransfer t = last();
    EXPECT_EQ(t.request_type, CDC_REQUEST_HOST_TO_INTERFACE);
    EXPECT_EQ(t.request, CDC_SET_LINE_CODING);
    EXPECT_EQ(t.value, 0);
    EXPECT_EQ(t.length, 7);
    EXPECT_EQ(t.data, (Bytes{ 0x00, 0xC2, 0x01, 0x00, 0x00, 0x00, 0x08 }));
    EXPECT_EQ(fn_->line_coding(), (bus::LineCoding{ 115200, 0, 0, 8 }));
}

TEST_F(ClassRequestTest, CodesAreSentUntranslated)
{
    start();
    set_line(110, 1, 4, 5);
    EXPECT_EQ(last().data, (Bytes{ 110, 0, 0, 0, 1, 4, 5 }));
}

TEST_F(ClassRequestTest, FailedSetLineCodingKeepsTheStoredSetting)
{
    start();
    const bus::LineCoding device_had = fn_->line_coding();
    fn_->inject(bus::Op::control_request, bus::Fault::fail(STATUS_UNSUCCESSFUL));
    set_line(19200, 0, 0, 8);
    EXPECT_EQ(ULONG(fdx_->line_coding.dwDTERate), 19200u);
    EXPECT_EQ(fn_->line_coding(), device_had);
}

TEST_F(ClassRequestTest, GetLineCodingFillsTheRecord)
{
    bus::FunctionConfig config;
    config.initial_line_coding = { 2400, 2, 1, 6 };
    start(config);
    cdc_line_coding_t coding{};
    EXPECT_EQ(acm_req_get_line_coding(fdx_, &coding, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(ULONG(coding.dwDTERate), 2400u);
    EXPECT_EQ(coding.bCharFormat, 2);
    EXPECT_EQ(coding.bParityType, 1);
    EXPECT_EQ(coding.bDataBits, 6);
    EXPECT_EQ(last().request_type, CDC_REQUEST_INTERFACE_TO_HOST);
    EXPECT_EQ(last().request, CDC_GET_LINE_CODING);
    EXPECT_EQ(last().length, 7);
}

TEST_F(ClassRequestTest, SetDtrThenSetRtsSendsOneThenThree)
{
    start();
    acm_req_set_control_line_state(fdx_, fdx_->control_line_state | CDC_CONTROL_LINE_DTR);
    acm_req_set_control_line_state(fdx_, fdx_->control_line_state | CDC_CONTROL_LINE_RTS);
    auto log = fn_->control_log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].request, CDC_SET_CONTROL_LINE_STATE);
    EXPECT_EQ(log[0].value, 1);
    EXPECT_EQ(log[1].value, 3);
    EXPECT_EQ(log[1].length, 0);
    EXPECT_EQ(fn_->control_lines(), 3);
    EXPECT_EQ(fdx_->control_line_state, 3);
}

TEST_F(ClassRequestTest, BreakOnAndOff)
{
    start();
    acm_req_send_break(fdx_, TRUE);
    EXPECT_EQ(last().request, CDC_SEND_BREAK);
    EXPECT_EQ(last().value, 0xFFFF);
    EXPECT_TRUE(fn_->break_on());
    acm_req_send_break(fdx_, FALSE);
    EXPECT_EQ(last().value, 0);
    EXPECT_FALSE(fn_->break_on());
}

TEST_F(ClassRequestTest, NothingIsSentWithoutTheCapability)
{
    bus::FunctionConfig config;
    config.acm = 0x00;
    start(config);
    const ULONG rate = fdx_->line_coding.dwDTERate;

    set_line(115200, 0, 0, 8);
    cdc_line_coding_t coding = fdx_->line_coding;
    EXPECT_EQ(acm_req_get_line_coding(fdx_, &coding, TRUE), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(ULONG(coding.dwDTERate), 115200u);   // the stored setting stands
    acm_req_set_control_line_state(fdx_, CDC_CONTROL_LINE_DTR);
    acm_req_send_break(fdx_, TRUE);

    EXPECT_TRUE(fn_->control_log().empty());
    EXPECT_EQ(fdx_->control_line_state, CDC_CONTROL_LINE_DTR);
    EXPECT_NE(rate, 115200u);
}

TEST_F(ClassRequestTest, BreakNeedsItsOwnCapability)
{
    bus::FunctionConfig config;
    config.acm = CDC_ACM_LINE_CODING;
    start(config);
    acm_req_send_break(fdx_, TRUE);
    EXPECT_TRUE(fn_->control_log().empty());
    acm_req_set_control_line_state(fdx_, CDC_CONTROL_LINE_RTS);
    EXPECT_EQ(fn_->control_log().size(), 1u);
}

TEST_F(ClassRequestTest, SendersPostAChildWakeUpFirst)
{
    bus::FunctionConfig config;
    config.idle_timeout = 2;   // selective suspend: the function may be asleep
    start(config);
    const int wakeups = fn_->port().calls("device_wakeup");
    acm_req_set_control_line_state(fdx_, CDC_CONTROL_LINE_DTR);
    WdfWorkItemFlush(fdx_->common.child_device_wakeup_workitem);
    EXPECT_EQ(fn_->port().calls("device_wakeup"), wakeups + 1);
    EXPECT_EQ(fn_->control_lines(), CDC_CONTROL_LINE_DTR);
}

}  // namespace
}  // namespace bindtest
