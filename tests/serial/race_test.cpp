// Controls that change the settings racing each other, the data paths and
// the close, over many seeds (RACE_SEEDS): every call returns, each record
// a control writes is one of the written values as a whole, and the
// function ends with exactly the line coding and control lines the port
// keeps.
#include "serial_fixture.h"

#include "host/kernel/sched.h"

#include <vector>

#ifndef RACE_SEEDS
#define RACE_SEEDS 30
#endif

namespace serialtest {
namespace {

struct Settings {
    DWORD baud;
    BYTE data_bits, parity, stop_bits;
    DWORD dtr, rts;
    BOOL cts_flow;
    WORD xon_limit, xoff_limit;
    char xon, xoff, event;
};

constexpr Settings kA{ 115200, 8, NOPARITY, ONESTOPBIT, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, FALSE, 100, 200,
                       0x11, 0x13, 'a' };
constexpr Settings kB{ 9600, 7, EVENPARITY, TWOSTOPBITS, DTR_CONTROL_DISABLE, RTS_CONTROL_HANDSHAKE, TRUE, 10, 20,
                       0x21, 0x23, 'b' };

DCB dcb_of(const Settings& s)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    dcb.fBinary = TRUE;
    dcb.BaudRate = s.baud;
    dcb.ByteSize = s.data_bits;
    dcb.Parity = s.parity;
    dcb.StopBits = s.stop_bits;
    dcb.fDtrControl = s.dtr;
    dcb.fRtsControl = s.rts;
    dcb.fOutxCtsFlow = s.cts_flow;
    dcb.XonLim = s.xon_limit;
    dcb.XoffLim = s.xoff_limit;
    dcb.XonChar = s.xon;
    dcb.XoffChar = s.xoff;
    dcb.EvtChar = s.event;
    return dcb;
}

constexpr int kRounds = 6;   // milliseconds of controls, about

class SerialRaceTest : public SerialTest {
protected:
    // One scenario: two applications' threads set A and B, a third moves
    // the lines, the main thread moves data and closes the port while the
    // controls may still run.
    void run(uint64_t seed)
    {
        opened({}, seed);
        fn_->set_timing(bus::Timing::full_speed());   // class requests take their frames
        const cdc_line_coding_t initial = fdx_->line_coding;
        const SERIAL_HANDFLOW initial_handflow = fdx_->handflow;
        HANDLE port = handle();

        std::vector<host::Thread*> threads;
        for (const Settings* s : { &kA, &kB })
            threads.push_back(host::spawn("settings", [port, s] {
                DCB dcb = dcb_of(*s);
                for (int i = 0; i < kRounds; ++i) {
                    SetCommState(port, &dcb);
                    sleep_ms(1);
                }
            }));
        threads.push_back(host::spawn("lines", [port, seed] {
            const DWORD escapes[] = { SETDTR, SETRTS, CLRDTR, CLRRTS };
            for (int i = 0; i < 2 * kRounds; ++i) {
                EscapeCommFunction(port, escapes[(seed + i * (seed % 3 + 1)) % 4]);
                sleep_ms(LONGLONG(i % 2));
            }
        }));

        // The data moves while the controls run; the close comes while
        // some of them may still be on their way.
        const std::string data = datatest::pattern(48, seed);
        auto io = write(data);
        EXPECT_EQ(read_back(data.size()), data);
        wait(*io);
        EXPECT_EQ(io->result(), outcome(STATUS_SUCCESS, data.size()));
        sleep_ms(LONGLONG(seed % kRounds));
        close();
        for (host::Thread* t : threads)
            host::join(t);
        fn_->settle();

        expect_whole_records(initial, initial_handflow);
        expect_function_matches_port();
        EXPECT_EQ(host::io::pending_user_irps(), 0u);
        expect_verifier_silent(seed);
    }

    void expect_whole_records(const cdc_line_coding_t& initial, const SERIAL_HANDFLOW& initial_handflow)
    {
        const cdc_line_coding_t& coding = fdx_->line_coding;
        const ULONG rate = coding.dwDTERate;
        EXPECT_TRUE(rate == kA.baud || rate == kB.baud || rate == ULONG(initial.dwDTERate)) << rate;
        auto framing_is = [&](UCHAR stop, UCHAR parity, UCHAR data) {
            return coding.bCharFormat == stop && coding.bParityType == parity && coding.bDataBits == data;
        };
        EXPECT_TRUE(framing_is(kA.stop_bits, kA.parity, kA.data_bits) ||
                    framing_is(kB.stop_bits, kB.parity, kB.data_bits) ||
                    framing_is(initial.bCharFormat, initial.bParityType, initial.bDataBits));

        const SERIAL_HANDFLOW& h = fdx_->handflow;
        auto handflow_is = [&](ULONG control, ULONG flow, LONG xon, LONG xoff) {
            return h.ControlHandShake == control && h.FlowReplace == flow && h.XonLimit == xon && h.XoffLimit == xoff;
        };
        EXPECT_TRUE(handflow_is(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, kA.xon_limit, kA.xoff_limit) ||
                    handflow_is(SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE, kB.xon_limit, kB.xoff_limit) ||
                    handflow_is(initial_handflow.ControlHandShake, initial_handflow.FlowReplace,
                                initial_handflow.XonLimit, initial_handflow.XoffLimit))
            << std::hex << h.ControlHandShake << " " << h.FlowReplace << " " << h.XonLimit << " " << h.XoffLimit;

        const SERIAL_CHARS& c = fdx_->special_chars;
        auto chars_are = [&](char xon, char xoff, char event) {
            return c.XonChar == UCHAR(xon) && c.XoffChar == UCHAR(xoff) && c.EventChar == UCHAR(event);
        };
        EXPECT_TRUE(chars_are(kA.xon, kA.xoff, kA.event) || chars_are(kB.xon, kB.xoff, kB.event) ||
                    chars_are(0, 0, 0));
    }

    void expect_function_matches_port()
    {
        const cdc_line_coding_t& coding = fdx_->line_coding;
        EXPECT_EQ(fn_->line_coding(),
                  (bus::LineCoding{ coding.dwDTERate, coding.bCharFormat, coding.bParityType, coding.bDataBits }));
        EXPECT_EQ(fn_->control_lines(), fdx_->control_line_state);
        EXPECT_EQ(fdx_->control_line_state & CDC_CONTROL_LINE_DTR, 0) << "the close dropped DTR";
    }
};

TEST_F(SerialRaceTest, SettingsRacingDataAndCloseStayWholeAndReachTheFunction)
{
    for (uint64_t seed = 1; seed <= RACE_SEEDS; ++seed) {
        SCOPED_TRACE(seed);
        run(seed);
        if (HasFailure())
            return;
    }
}

}  // namespace
}  // namespace serialtest
