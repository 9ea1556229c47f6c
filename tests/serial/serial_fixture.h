// A serial application's view of the port: the comm functions of the
// user-mode API on an opened COM port of a simulated CDC ACM function, and
// the class requests that function received.
#pragma once

#include "acm_ioctl.h"

#include "common/cdc_protocol.h"
#include "tests/driver_data/data_fixture.h"

#include <vector>

namespace serialtest {

using datatest::outcome;
using datatest::sleep_ms;

class SerialTest : public datatest::DataTest {
protected:
    // A port opened and configured as the function reported it; what the
    // opening sent is forgotten.
    void opened(bus::FunctionConfig config = {}, uint64_t seed = 1, ULONG debug_level = 2)
    {
        start(seed, std::move(config), host::Mode::controlled, debug_level);
        open();
        fn_->clear_logs();
    }

    // --- what the function received -----------------------------------------
    std::vector<bus::ControlTransfer> requests(uint8_t request) const
    {
        std::vector<bus::ControlTransfer> out;
        for (const auto& t : fn_->control_log())
            if (t.request == request && !t.generic)
                out.push_back(t);
        return out;
    }
    std::vector<bus::LineCoding> line_codings_sent() const
    {
        std::vector<bus::LineCoding> out;
        for (const auto& t : requests(CDC_SET_LINE_CODING))
            out.push_back(bus::LineCoding::from_bytes(t.data));
        return out;
    }
    std::vector<uint16_t> line_states_sent() const
    {
        std::vector<uint16_t> out;
        for (const auto& t : requests(CDC_SET_CONTROL_LINE_STATE))
            out.push_back(t.value);
        return out;
    }

    // --- the application's side -------------------------------------------------
    DCB state()
    {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        EXPECT_TRUE(GetCommState(handle(), &dcb)) << GetLastError();
        return dcb;
    }
    // A control with raw buffers; the Win32 error, ERROR_SUCCESS when it succeeded.
    DWORD control_error(DWORD code, const void* in, DWORD in_length, void* out, DWORD out_length)
    {
        return ioctl(code, in, in_length, out, out_length) ? DWORD(ERROR_SUCCESS) : GetLastError();
    }
    template <typename T>
    T get(DWORD code)
    {
        T value{};
        EXPECT_TRUE(ioctl(code, nullptr, 0, &value, sizeof value)) << std::hex << code;
        return value;
    }
    SERIAL_STATUS comm_status() { return get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS); }
};

}  // namespace serialtest
