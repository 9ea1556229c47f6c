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
};

}  // namespace serialtest
