// SetCommState, GetCommState and BuildCommDCB as a serial application uses
// them: the line coding the function receives, what reads back, and values
// the line coding cannot carry.
#include "serial_fixture.h"


#include <cstring>

namespace serialtest {
namespace {

class CommStateTest : public SerialTest {
protected:
    // Sets the line settings through the DCB the port reports; TRUE when
    // SetCommState succeeded.
    BOOL set_line(DWORD baud, BYTE data_bits, BYTE parity, BYTE stop_bits)
    {
        DCB dcb = state();
        dcb.BaudRate = baud;
        dcb.ByteSize = data_bits;
        dcb.Parity = parity;
        dcb.StopBits = stop_bits;
        fn_->clear_logs();
        return SetCommState(handle(), &dcb);
    }

    // SetCommState sends SET_BAUD_RATE and then SET_LINE_CONTROL: the
    // function receives the new rate with the framing it had, then exactly
    // `want`.
    void expect_device_got(const bus::LineCoding& want, const bus::LineCoding& before)
    {
        bus::LineCoding rate_first = before;
        rate_first.rate = want.rate;
        EXPECT_EQ(line_codings_sent(), (std::vector<bus::LineCoding>{ rate_first, want }));
        EXPECT_EQ(fn_->line_coding(), want);
    }

    void expect_reads_back(DWORD baud, BYTE data_bits, BYTE parity, BYTE stop_bits)
    {
        const DCB dcb = state();
        EXPECT_EQ(dcb.BaudRate, baud);
        EXPECT_EQ(dcb.ByteSize, data_bits);
        EXPECT_EQ(dcb.Parity, parity);
        EXPECT_EQ(dcb.StopBits, stop_bits);
    }
};

TEST_F(CommStateTest, EveryFramingReachesTheFunctionAndReadsBack)
{
    opened();
    for (BYTE data_bits = 5; data_bits <= 8; ++data_bits)
        for (BYTE parity = NOPARITY; parity <= SPACEPARITY; ++parity)
            for (BYTE stop_bits = ONESTOPBIT; stop_bits <= TWOSTOPBITS; ++stop_bits) {
                SCOPED_TRACE(testing::Message() << int(data_bits) << "/" << int(parity) << "/" << int(stop_bits));
                const bus::LineCoding before = fn_->line_coding();
                ASSERT_TRUE(set_line(CBR_19200, data_bits, parity, stop_bits)) << GetLastError();
                expect_device_got({ CBR_19200, stop_bits, parity, data_bits }, before);
                expect_reads_back(CBR_19200, data_bits, parity, stop_bits);
            }
    expect_verifier_silent();
}

TEST_F(CommStateTest, EveryRateFrom300To921600ReachesTheFunctionAndReadsBack)
{
    opened();
    for (DWORD baud : { 300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600 }) {
        SCOPED_TRACE(baud);
        const bus::LineCoding before = fn_->line_coding();
        ASSERT_TRUE(set_line(baud, 7, EVENPARITY, ONESTOPBIT)) << GetLastError();
        expect_device_got({ baud, ONESTOPBIT, EVENPARITY, 7 }, before);
        expect_reads_back(baud, 7, EVENPARITY, ONESTOPBIT);
    }
}

TEST_F(CommStateTest, FlowControlAndCharactersRoundTrip)
{
    opened();
    SERIAL_CHARS chars{};
    chars.BreakChar = 0x55;   // not part of a DCB: SetCommState keeps it
    ASSERT_TRUE(ioctl(IOCTL_SERIAL_SET_CHARS, &chars, sizeof chars, nullptr, 0));

    DCB dcb = state();
    dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fDsrSensitivity = TRUE;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    dcb.fTXContinueOnXoff = dcb.fOutX = dcb.fInX = dcb.fErrorChar = dcb.fNull = dcb.fAbortOnError = TRUE;
    dcb.XonLim = 10;
    dcb.XoffLim = 20;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.ErrorChar = '?';
    dcb.EofChar = 0x1A;
    dcb.EvtChar = '\n';
    ASSERT_TRUE(SetCommState(handle(), &dcb)) << GetLastError();

    auto handflow = get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW);
    EXPECT_EQ(handflow.ControlHandShake, SERIAL_DTR_HANDSHAKE | SERIAL_CTS_HANDSHAKE | SERIAL_DSR_HANDSHAKE |
                                             SERIAL_DSR_SENSITIVITY | SERIAL_ERROR_ABORT);
    EXPECT_EQ(handflow.FlowReplace, SERIAL_TRANSMIT_TOGGLE | SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE |
                                        SERIAL_ERROR_CHAR | SERIAL_NULL_STRIPPING | SERIAL_XOFF_CONTINUE);
    EXPECT_EQ(handflow.XonLimit, 10);
    EXPECT_EQ(handflow.XoffLimit, 20);
    chars = get<SERIAL_CHARS>(IOCTL_SERIAL_GET_CHARS);
    EXPECT_EQ(chars.BreakChar, 0x55);
    EXPECT_EQ(chars.EventChar, '\n');

    const DCB back = state();
    EXPECT_EQ(std::memcmp(&back, &dcb, sizeof dcb), 0) << "every DCB field reads back";
}

// The driver stores nothing the CDC line coding cannot carry: the control
// fails, and neither the port's settings nor the device change.
TEST_F(CommStateTest, ValuesTheLineCodingCannotCarryAreRefusedAndChangeNothing)
{
    opened();
    ASSERT_TRUE(set_line(CBR_38400, 7, ODDPARITY, TWOSTOPBITS));
    const bus::LineCoding before = fn_->line_coding();
    fn_->clear_logs();

    SERIAL_BAUD_RATE zero{ 0 };
    EXPECT_EQ(control_error(IOCTL_SERIAL_SET_BAUD_RATE, &zero, sizeof zero, nullptr, 0), DWORD(ERROR_INVALID_PARAMETER));
    const SERIAL_LINE_CONTROL bad[] = { { 0, 0, 4 }, { 0, 0, 9 }, { 3, 0, 8 }, { 0, 5, 8 }, { 0xFF, 0xFF, 0xFF } };
    for (const SERIAL_LINE_CONTROL& line : bad)
        EXPECT_EQ(control_error(IOCTL_SERIAL_SET_LINE_CONTROL, &line, sizeof line, nullptr, 0),
                  DWORD(ERROR_INVALID_PARAMETER))
            << int(line.StopBits) << "/" << int(line.Parity) << "/" << int(line.WordLength);

    EXPECT_TRUE(line_codings_sent().empty()) << "nothing reached the device";
    EXPECT_EQ(fn_->line_coding(), before);
    EXPECT_EQ(ULONG(fdx_->line_coding.dwDTERate), 38400u);
    expect_reads_back(CBR_38400, 7, ODDPARITY, TWOSTOPBITS);
}

TEST_F(CommStateTest, SixteenDataBitsFitTheLineCoding)
{
    opened();
    SERIAL_LINE_CONTROL line{ ONESTOPBIT, NOPARITY, 16 };
    EXPECT_TRUE(ioctl(IOCTL_SERIAL_SET_LINE_CONTROL, &line, sizeof line, nullptr, 0));
    EXPECT_EQ(fn_->line_coding().data_bits, 16);
}

// SetCommState fails with the driver's error and puts back what it had
// already changed.
TEST_F(CommStateTest, ARefusedSetCommStateLeavesThePortAsItWas)
{
    opened();
    ASSERT_TRUE(set_line(CBR_57600, 8, NOPARITY, ONESTOPBIT));
    const bus::LineCoding before = fn_->line_coding();

    EXPECT_FALSE(set_line(CBR_115200, 9, NOPARITY, ONESTOPBIT));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(fn_->line_coding(), before);
    expect_reads_back(CBR_57600, 8, NOPARITY, ONESTOPBIT);
}

// Devices that refuse SET_LINE_CODING exist, and applications rely on
// SetCommState succeeding: the refusal is only logged, the settings are kept,
// and a refused GET_LINE_CODING leaves them as they are.
TEST_F(CommStateTest, ADeviceRefusingTheLineCodingDoesNotFailTheApplication)
{
    opened();
    fn_->inject(bus::Op::control_request, bus::Fault::fail(STATUS_UNSUCCESSFUL).always());

    EXPECT_TRUE(set_line(CBR_115200, 7, EVENPARITY, ONESTOPBIT)) << GetLastError();
    const auto refused = requests(CDC_SET_LINE_CODING);
    EXPECT_EQ(refused.size(), 2u) << "one for each control";
    for (const auto& t : refused)
        EXPECT_EQ(t.status, STATUS_UNSUCCESSFUL);
    expect_reads_back(CBR_115200, 7, EVENPARITY, ONESTOPBIT);
}

TEST_F(CommStateTest, WithoutTheLineCodingCapabilityTheSettingsAreKeptByThePortAlone)
{
    bus::FunctionConfig config;
    config.acm = 0x00;
    opened(config);
    EXPECT_TRUE(set_line(CBR_4800, 6, MARKPARITY, ONE5STOPBITS));
    expect_reads_back(CBR_4800, 6, MARKPARITY, ONE5STOPBITS);
    EXPECT_TRUE(fn_->control_log().empty());
}

TEST_F(CommStateTest, GetCommStateReportsWhatTheFunctionHolds)
{
    bus::FunctionConfig config;
    config.initial_line_coding = { 2400, TWOSTOPBITS, ODDPARITY, 6 };
    opened(config);
    expect_reads_back(2400, 6, ODDPARITY, TWOSTOPBITS);
    const DCB dcb = state();
    EXPECT_TRUE(dcb.fBinary);
    EXPECT_TRUE(dcb.fParity);
    EXPECT_EQ(dcb.fDtrControl, DWORD(DTR_CONTROL_ENABLE)) << "the port's initial handflow";
    EXPECT_EQ(dcb.fRtsControl, DWORD(RTS_CONTROL_ENABLE));
    EXPECT_EQ(requests(CDC_GET_LINE_CODING).size(), 4u) << "GET_BAUD_RATE and GET_LINE_CONTROL ask the device";
}

// Applications that open the port without FILE_FLAG_OVERLAPPED use the
// same functions.
TEST_F(CommStateTest, ASynchronousHandleIsConfiguredTheSameWay)
{
    start();
    HANDLE port = CreateFileW(L"\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port, &dcb));
    dcb.BaudRate = CBR_38400;
    dcb.Parity = ODDPARITY;
    ASSERT_TRUE(SetCommState(port, &dcb)) << GetLastError();
    EXPECT_EQ(fn_->line_coding(), (bus::LineCoding{ 38400, ONESTOPBIT, ODDPARITY, 8 }));
    DCB back{};
    ASSERT_TRUE(GetCommState(port, &back));
    EXPECT_EQ(back.BaudRate, DWORD(CBR_38400));
    CloseHandle(port);
}

// --- BuildCommDCB --------------------------------------------------------------

class BuildCommDcbTest : public ::testing::Test {
protected:
    DCB dcb_{};
    void SetUp() override
    {
        std::memset(&dcb_, 0, sizeof dcb_);
        dcb_.fOutX = dcb_.fInX = dcb_.fOutxCtsFlow = TRUE;   // flow control the strings turn off
    }
    void expect_line(DWORD baud, BYTE parity, BYTE data_bits, BYTE stop_bits)
    {
        EXPECT_EQ(dcb_.DCBlength, sizeof(DCB));
        EXPECT_EQ(dcb_.BaudRate, baud);
        EXPECT_EQ(dcb_.Parity, parity);
        EXPECT_EQ(dcb_.ByteSize, data_bits);
        EXPECT_EQ(dcb_.StopBits, stop_bits);
    }
};

TEST_F(BuildCommDcbTest, BothFormsGiveTheSameLine)
{
    ASSERT_TRUE(BuildCommDCBA("baud=9600 parity=N data=8 stop=1", &dcb_));
    expect_line(CBR_9600, NOPARITY, 8, ONESTOPBIT);
    EXPECT_FALSE(dcb_.fOutX || dcb_.fInX || dcb_.fOutxCtsFlow) << "no flow control unless asked";

    SetUp();
    ASSERT_TRUE(BuildCommDCBA("COM1: 9600,n,8,1", &dcb_));
    expect_line(CBR_9600, NOPARITY, 8, ONESTOPBIT);
    EXPECT_FALSE(dcb_.fOutX || dcb_.fInX || dcb_.fOutxCtsFlow);
    EXPECT_EQ(dcb_.fDtrControl, DWORD(DTR_CONTROL_ENABLE));
    EXPECT_EQ(dcb_.fRtsControl, DWORD(RTS_CONTROL_ENABLE));

    ASSERT_TRUE(BuildCommDCBW(L"COM2: 4800,o,7,1.5", &dcb_));
    expect_line(CBR_4800, ODDPARITY, 7, ONE5STOPBITS);
}

TEST_F(BuildCommDcbTest, TheOldFormTakesAbbreviationsAndFlowLetters)
{
    ASSERT_TRUE(BuildCommDCBA("96,e,7,2,x", &dcb_));
    expect_line(CBR_9600, EVENPARITY, 7, TWOSTOPBITS);
    EXPECT_TRUE(dcb_.fOutX && dcb_.fInX);

    ASSERT_TRUE(BuildCommDCBA("com3:19200,s,8,1,p", &dcb_));
    expect_line(CBR_19200, SPACEPARITY, 8, ONESTOPBIT);
    EXPECT_TRUE(dcb_.fOutxCtsFlow && dcb_.fOutxDsrFlow);
    EXPECT_EQ(dcb_.fDtrControl, DWORD(DTR_CONTROL_HANDSHAKE));
    EXPECT_EQ(dcb_.fRtsControl, DWORD(RTS_CONTROL_HANDSHAKE));

    ASSERT_TRUE(BuildCommDCBA("110,m,8", &dcb_));
    expect_line(CBR_110, MARKPARITY, 8, TWOSTOPBITS);
}

TEST_F(BuildCommDcbTest, OnlyWhatTheStringNamesChanges)
{
    dcb_.StopBits = ONE5STOPBITS;
    dcb_.ByteSize = 6;
    ASSERT_TRUE(BuildCommDCBA("baud=2400", &dcb_));
    EXPECT_EQ(dcb_.BaudRate, DWORD(CBR_2400));
    EXPECT_EQ(dcb_.StopBits, ONE5STOPBITS);
    EXPECT_EQ(dcb_.ByteSize, 6);
    ASSERT_TRUE(BuildCommDCBA("baud=110", &dcb_));
    EXPECT_EQ(dcb_.StopBits, TWOSTOPBITS) << "the mode command's rule for 110";
}

TEST_F(BuildCommDcbTest, TheKeywordFormSetsEveryMode)
{
    ASSERT_TRUE(BuildCommDCBA("baud=1200 parity=e data=7 stop=1.5 xon=on odsr=on octs=on dtr=hs rts=tg idsr=on", &dcb_));
    expect_line(CBR_1200, EVENPARITY, 7, ONE5STOPBITS);
    EXPECT_TRUE(dcb_.fOutX && dcb_.fInX && dcb_.fOutxDsrFlow && dcb_.fOutxCtsFlow && dcb_.fDsrSensitivity);
    EXPECT_EQ(dcb_.fDtrControl, DWORD(DTR_CONTROL_HANDSHAKE));
    EXPECT_EQ(dcb_.fRtsControl, DWORD(RTS_CONTROL_TOGGLE));
    EXPECT_TRUE(dcb_.fParity);
}

TEST_F(BuildCommDcbTest, ABadStringChangesNothing)
{
    for (const char* text : { "", "baud=abc", "9600,q,8,1", "data=9", "baud=9600 speed=2", "9600,n,8,1,x,y",
                              "dtr=maybe", "stop=3" }) {
        DCB before = dcb_;
        SetLastError(0);
        EXPECT_FALSE(BuildCommDCBA(text, &dcb_)) << text;
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER)) << text;
        EXPECT_EQ(std::memcmp(&before, &dcb_, sizeof dcb_), 0) << text;
    }
}

TEST_F(BuildCommDcbTest, TimeoutsComeWithTheToKeywordOnly)
{
    COMMTIMEOUTS timeouts{ 1, 2, 3, 4, 5 };
    ASSERT_TRUE(BuildCommDCBAndTimeoutsA("baud=9600 parity=n data=8", &dcb_, &timeouts));
    EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 5u) << "untouched";
    ASSERT_TRUE(BuildCommDCBAndTimeoutsW(L"baud=9600 to=on", &dcb_, &timeouts));
    EXPECT_EQ(timeouts.ReadIntervalTimeout, 0u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 60000u);
    ASSERT_TRUE(BuildCommDCBAndTimeoutsA("baud=9600 to=off", &dcb_, &timeouts));
    EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 0u);
}

// A string built into the port's DCB is what the function receives.
TEST_F(CommStateTest, ABuiltDcbConfiguresThePort)
{
    opened();
    DCB dcb = state();
    ASSERT_TRUE(BuildCommDCBA("COM5: baud=115200 parity=e data=7 stop=2", &dcb));
    const bus::LineCoding before = fn_->line_coding();
    fn_->clear_logs();
    ASSERT_TRUE(SetCommState(handle(), &dcb)) << GetLastError();
    expect_device_got({ 115200, TWOSTOPBITS, EVENPARITY, 7 }, before);
    EXPECT_EQ(requests(CDC_SET_LINE_CODING).back().data, (bus::Bytes{ 0x00, 0xC2, 0x01, 0x00, 0x02, 0x02, 0x07 }));
}

}  // namespace
}  // namespace serialtest
