// The driver's trace names every control it is sent, as a person reading
// an acmsim session or a debugger log sees it.
#include "serial_fixture.h"

#include "host/rtl/trace.h"

#include <cstdio>
#include <string>
#include <vector>

namespace serialtest {
namespace {

struct Named {
    DWORD code;
    const char* name;
};

constexpr Named kNames[] = {
    { IOCTL_SERIAL_SET_BAUD_RATE, "SET_BAUD_RATE" },
    { IOCTL_SERIAL_SET_QUEUE_SIZE, "SET_QUEUE_SIZE" },
    { IOCTL_SERIAL_SET_LINE_CONTROL, "SET_LINE_CONTROL" },
    { IOCTL_SERIAL_SET_BREAK_ON, "SET_BREAK_ON" },
    { IOCTL_SERIAL_SET_BREAK_OFF, "SET_BREAK_OFF" },
    { IOCTL_SERIAL_IMMEDIATE_CHAR, "IMMEDIATE_CHAR" },
    { IOCTL_SERIAL_SET_TIMEOUTS, "SET_TIMEOUTS" },
    { IOCTL_SERIAL_GET_TIMEOUTS, "GET_TIMEOUTS" },
    { IOCTL_SERIAL_SET_DTR, "SET_DTR" },
    { IOCTL_SERIAL_CLR_DTR, "CLR_DTR" },
    { IOCTL_SERIAL_RESET_DEVICE, "RESET_DEVICE" },
    { IOCTL_SERIAL_SET_RTS, "SET_RTS" },
    { IOCTL_SERIAL_CLR_RTS, "CLR_RTS" },
    { IOCTL_SERIAL_SET_XOFF, "SET_XOFF" },
    { IOCTL_SERIAL_SET_XON, "SET_XON" },
    { IOCTL_SERIAL_GET_WAIT_MASK, "GET_WAIT_MASK" },
    { IOCTL_SERIAL_SET_WAIT_MASK, "SET_WAIT_MASK" },
    { IOCTL_SERIAL_WAIT_ON_MASK, "WAIT_ON_MASK" },
    { IOCTL_SERIAL_PURGE, "PURGE" },
    { IOCTL_SERIAL_GET_BAUD_RATE, "GET_BAUD_RATE" },
    { IOCTL_SERIAL_GET_LINE_CONTROL, "GET_LINE_CONTROL" },
    { IOCTL_SERIAL_GET_CHARS, "GET_CHARS" },
    { IOCTL_SERIAL_SET_CHARS, "SET_CHARS" },
    { IOCTL_SERIAL_GET_HANDFLOW, "GET_HANDFLOW" },
    { IOCTL_SERIAL_SET_HANDFLOW, "SET_HANDFLOW" },
    { IOCTL_SERIAL_GET_MODEMSTATUS, "GET_MODEMSTATUS" },
    { IOCTL_SERIAL_GET_COMMSTATUS, "GET_COMMSTATUS" },
    { IOCTL_SERIAL_XOFF_COUNTER, "XOFF_COUNTER" },
    { IOCTL_SERIAL_GET_PROPERTIES, "GET_PROPERTIES" },
    { IOCTL_SERIAL_GET_DTRRTS, "GET_DTRRTS" },
    { IOCTL_SERIAL_LSRMST_INSERT, "LSRMST_INSERT" },
    { IOCTL_SERIAL_CONFIG_SIZE, "CONFIG_SIZE" },
    { IOCTL_SERIAL_GET_COMMCONFIG, "GET_COMMCONFIG" },
    { IOCTL_SERIAL_SET_COMMCONFIG, "SET_COMMCONFIG" },
    { IOCTL_SERIAL_GET_STATS, "GET_STATS" },
    { IOCTL_SERIAL_CLEAR_STATS, "CLEAR_STATS" },
    { IOCTL_SERIAL_GET_MODEM_CONTROL, "GET_MODEM_CONTROL" },
    { IOCTL_SERIAL_SET_MODEM_CONTROL, "SET_MODEM_CONTROL" },
    { IOCTL_SERIAL_SET_FIFO_CONTROL, "SET_FIFO_CONTROL" },
    { IOCTL_DC_GENERIC_CONTROL, "IOCTL_DC_GENERIC_CONTROL" },
    { IOCTL_CDC_SEND_ENCAPSULATED_COMMAND, "SEND_ENCAPSULATED_COMMAND" },
    { IOCTL_CDC_GET_ENCAPSULATED_RESPONSE, "GET_ENCAPSULATED_RESPONSE" },
    { IOCTL_CDC_WAIT_FOR_ENCAPSULATED_RESPONSE, "WAIT_FOR_ENCAPSULATED_RESPONSE" },
    { IOCTL_SERIAL_APPLY_DEFAULT_CONFIGURATION, " unknown" },
};

bool common_class_control(DWORD code)
{
    return code == IOCTL_DC_GENERIC_CONTROL || code == IOCTL_CDC_SEND_ENCAPSULATED_COMMAND ||
           code == IOCTL_CDC_GET_ENCAPSULATED_RESPONSE || code == IOCTL_CDC_WAIT_FOR_ENCAPSULATED_RESPONSE;
}

std::string traced_as(DWORD code, const char* name)
{
    char line[128];
    std::snprintf(line, sizeof line, "acm_evt_ioctl: IOCTL %s (%x)", name, unsigned(code));
    return line;
}

// The names of the controls a comm function sent, in order.
std::vector<std::string> controls_traced()
{
    std::vector<std::string> names;
    const std::string prefix = "acm_evt_ioctl: IOCTL ";
    for (const std::string& line : host::trace_lines()) {
        size_t at = line.find(prefix);
        if (at != std::string::npos)
            names.push_back(line.substr(at + prefix.size(), line.find(" (", at) - at - prefix.size()));
    }
    return names;
}

using TraceTest = SerialTest;

// Sent without buffers, each control is refused or served, and named.
TEST_F(TraceTest, EveryControlIsTracedByItsName)
{
    opened({}, 1, 4);
    host::trace_clear();
    for (const Named& c : kNames) {
        if (common_class_control(c.code))
            continue;  // refused in the caller's context without a record
        ioctl(c.code, nullptr, 0, nullptr, 0);
        EXPECT_EQ(host::trace_count(traced_as(c.code, c.name)), 1u) << c.name;
    }
}

TEST_F(TraceTest, SetCommStateSendsTheControlsOfItsSequence)
{
    opened({}, 1, 4);
    DCB dcb = state();
    host::trace_clear();
    ASSERT_TRUE(SetCommState(handle(), &dcb));
    EXPECT_EQ(controls_traced(),
              (std::vector<std::string>{ "GET_BAUD_RATE", "GET_LINE_CONTROL", "GET_CHARS", "GET_HANDFLOW",
                                         "SET_BAUD_RATE", "SET_LINE_CONTROL", "SET_CHARS", "SET_HANDFLOW", "SET_DTR",
                                         "SET_RTS" }));
}

}  // namespace
}  // namespace serialtest
