// DTR, RTS and break as applications set them (EscapeCommFunction, the
// DCB's line controls, SetCommBreak): the SET_CONTROL_LINE_STATE and
// SEND_BREAK requests the function receives and the status that reads back.
#include "serial_fixture.h"

namespace serialtest {
namespace {

using LinesTest = SerialTest;

constexpr uint16_t kDtr = CDC_CONTROL_LINE_DTR;
constexpr uint16_t kRts = CDC_CONTROL_LINE_RTS;

TEST_F(LinesTest, EachEscapeSendsBothLinesOnce)
{
    opened();
    ASSERT_TRUE(EscapeCommFunction(handle(), SETDTR));
    ASSERT_TRUE(EscapeCommFunction(handle(), SETRTS));
    ASSERT_TRUE(EscapeCommFunction(handle(), CLRDTR));
    ASSERT_TRUE(EscapeCommFunction(handle(), CLRRTS));
    EXPECT_EQ(line_states_sent(), (std::vector<uint16_t>{ kDtr, kDtr | kRts, kRts, 0 }));
    EXPECT_EQ(fn_->control_lines(), 0);
}

// The port emulates the modem lines from its own: DTR raises CTS and DSR,
// RTS raises CTS. The peer reports no lines of its own.
TEST_F(LinesTest, LinesAndEmulatedModemStatusReadBack)
{
    opened();
    fn_->set_behaviour(std::make_shared<bus::ScriptedPeer>());
    DWORD modem = 0xFFFF;
    ASSERT_TRUE(GetCommModemStatus(handle(), &modem));
    EXPECT_EQ(modem, 0u);
    EXPECT_EQ(get<ULONG>(IOCTL_SERIAL_GET_DTRRTS), 0u);

    ASSERT_TRUE(EscapeCommFunction(handle(), SETRTS));
    ASSERT_TRUE(GetCommModemStatus(handle(), &modem));
    EXPECT_EQ(modem, DWORD(MS_CTS_ON));
    EXPECT_EQ(get<ULONG>(IOCTL_SERIAL_GET_DTRRTS), SERIAL_RTS_STATE);

    ASSERT_TRUE(EscapeCommFunction(handle(), SETDTR));
    ASSERT_TRUE(GetCommModemStatus(handle(), &modem));
    EXPECT_EQ(modem, DWORD(MS_CTS_ON | MS_DSR_ON));
    EXPECT_EQ(get<ULONG>(IOCTL_SERIAL_GET_DTRRTS), SERIAL_DTR_STATE | SERIAL_RTS_STATE);

    ASSERT_TRUE(EscapeCommFunction(handle(), CLRDTR));
    ASSERT_TRUE(GetCommModemStatus(handle(), &modem));
    EXPECT_EQ(modem, 0u) << "DTR's drop takes CTS with it";
}

// SetCommState applies the DCB's line controls: manual modes through the
// line controls, handshake modes drop the line.
TEST_F(LinesTest, TheDcbLineControlsReachTheFunction)
{
    opened();
    DCB dcb = state();
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    ASSERT_TRUE(SetCommState(handle(), &dcb));
    EXPECT_EQ(fn_->control_lines(), kDtr | kRts);
    for (uint16_t lines : line_states_sent())
        EXPECT_EQ(lines & ~(kDtr | kRts), 0) << "only the two line bits";

    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    fn_->clear_logs();
    ASSERT_TRUE(SetCommState(handle(), &dcb));
    EXPECT_EQ(fn_->control_lines(), kRts);
    EXPECT_EQ(line_states_sent().back(), kRts);

    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    ASSERT_TRUE(SetCommState(handle(), &dcb));
    EXPECT_EQ(fn_->control_lines(), kDtr);
    EXPECT_EQ(state().fRtsControl, DWORD(RTS_CONTROL_HANDSHAKE));
}

// SET_HANDFLOW moves the lines only when a control mode changes.
TEST_F(LinesTest, HandflowChangesLinesOnlyWithItsModes)
{
    opened();
    SERIAL_HANDFLOW handflow = get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW);
    ASSERT_TRUE(EscapeCommFunction(handle(), CLRDTR));
    ASSERT_TRUE(ioctl(IOCTL_SERIAL_SET_HANDFLOW, &handflow, sizeof handflow, nullptr, 0));
    EXPECT_EQ(fn_->control_lines(), 0) << "DTR control already in force: the cleared line stays";

    handflow.ControlHandShake = (handflow.ControlHandShake & ~SERIAL_DTR_MASK) | SERIAL_DTR_HANDSHAKE;
    handflow.FlowReplace = (handflow.FlowReplace & ~SERIAL_RTS_MASK) | SERIAL_TRANSMIT_TOGGLE;
    ASSERT_TRUE(EscapeCommFunction(handle(), SETRTS));
    ASSERT_TRUE(ioctl(IOCTL_SERIAL_SET_HANDFLOW, &handflow, sizeof handflow, nullptr, 0));
    EXPECT_EQ(fn_->control_lines(), kRts) << "toggle leaves RTS alone";

    handflow.ControlHandShake |= 0x04;   // a reserved bit
    EXPECT_EQ(control_error(IOCTL_SERIAL_SET_HANDFLOW, &handflow, sizeof handflow, nullptr, 0),
              DWORD(ERROR_INVALID_PARAMETER));
    handflow.ControlHandShake &= ~0x04u;
    handflow.FlowReplace |= 0x20;
    EXPECT_EQ(control_error(IOCTL_SERIAL_SET_HANDFLOW, &handflow, sizeof handflow, nullptr, 0),
              DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW).FlowReplace & SERIAL_RTS_MASK, SERIAL_TRANSMIT_TOGGLE);
}

TEST_F(LinesTest, WithoutTheCapabilityNoRequestIsSentAndTheLinesStillReadBack)
{
    bus::FunctionConfig config;
    config.acm = CDC_ACM_SEND_BREAK;
    opened(config);
    ASSERT_TRUE(EscapeCommFunction(handle(), SETDTR));
    ASSERT_TRUE(EscapeCommFunction(handle(), SETRTS));
    DCB dcb = state();
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    ASSERT_TRUE(SetCommState(handle(), &dcb));

    EXPECT_TRUE(line_states_sent().empty());
    EXPECT_EQ(get<ULONG>(IOCTL_SERIAL_GET_DTRRTS), SERIAL_RTS_STATE);
    DWORD modem = 0;
    ASSERT_TRUE(GetCommModemStatus(handle(), &modem));
    EXPECT_EQ(modem, DWORD(MS_CTS_ON));
}

TEST_F(LinesTest, ClosingThePortDropsDtrOnTheFunction)
{
    opened();
    ASSERT_TRUE(EscapeCommFunction(handle(), SETDTR));
    ASSERT_TRUE(EscapeCommFunction(handle(), SETRTS));
    fn_->clear_logs();
    close();
    EXPECT_EQ(line_states_sent(), (std::vector<uint16_t>{ kRts }));
    EXPECT_EQ(fdx_->control_line_state, kRts);
    EXPECT_EQ(fdx_->modem_status & SERIAL_DSR_STATE, 0u);
    expect_verifier_silent();
}

TEST_F(LinesTest, BreakOnAndOff)
{
    opened();
    ASSERT_TRUE(SetCommBreak(handle()));
    EXPECT_TRUE(fn_->break_on());
    EXPECT_EQ(comm_status().HoldReasons, ULONG(ACM_HOLD_BREAK));
    ASSERT_TRUE(ClearCommBreak(handle()));
    EXPECT_FALSE(fn_->break_on());
    EXPECT_EQ(comm_status().HoldReasons, 0u);

    ASSERT_TRUE(EscapeCommFunction(handle(), SETBREAK));
    ASSERT_TRUE(EscapeCommFunction(handle(), CLRBREAK));
    const auto breaks = requests(CDC_SEND_BREAK);
    ASSERT_EQ(breaks.size(), 4u);
    EXPECT_EQ(breaks[0].value, 0xFFFF);
    EXPECT_EQ(breaks[1].value, 0);
    EXPECT_EQ(breaks[2].value, 0xFFFF);
    EXPECT_EQ(breaks[3].value, 0);
}

TEST_F(LinesTest, BreakWithoutItsCapabilitySucceedsAndChangesNothing)
{
    bus::FunctionConfig config;
    config.acm = CDC_ACM_LINE_CODING;
    opened(config);
    ASSERT_TRUE(SetCommBreak(handle()));
    EXPECT_FALSE(fn_->break_on());
    EXPECT_EQ(comm_status().HoldReasons, 0u);
    EXPECT_TRUE(fn_->control_log().empty());
}

TEST_F(LinesTest, XonXoffResetAndUnknownEscapes)
{
    opened();
    EXPECT_TRUE(EscapeCommFunction(handle(), SETXOFF));
    EXPECT_TRUE(EscapeCommFunction(handle(), SETXON));
    EXPECT_TRUE(EscapeCommFunction(handle(), RESETDEV));
    EXPECT_TRUE(fn_->control_log().empty());

    SetLastError(0);
    EXPECT_FALSE(EscapeCommFunction(handle(), 42));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

}  // namespace
}  // namespace serialtest
