// Two complete sets of serial settings that applications' threads write
// at once, and the checks that what the port and the function keep
// afterwards is whole: each record one of the written values, the function
// holding what the port holds.
#pragma once

#include "serial_fixture.h"

#include "host/kernel/sched.h"

#include <vector>

namespace serialtest {

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

inline DCB dcb_of(const Settings& s)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    dcb.fBinary = TRUE;
    dcb.BaudRate = s.baud;
    dcb.ByteSize = s.data_bits; dcb.Parity = s.parity; dcb.StopBits = s.stop_bits;
    dcb.fDtrControl = s.dtr; dcb.fRtsControl = s.rts; dcb.fOutxCtsFlow = s.cts_flow;
    dcb.XonLim = s.xon_limit; dcb.XoffLim = s.xoff_limit;
    dcb.XonChar = s.xon; dcb.XoffChar = s.xoff; dcb.EvtChar = s.event;
    return dcb;
}

class SettingsMixTest : public SerialTest {
protected:
    // A control writes its record as a whole: SetCommState's sequence may
    // leave the rate of one set with the framing of the other, never a
    // record of its own making.
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
    }
};

}  // namespace serialtest
