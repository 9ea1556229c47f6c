// A Registry Editor file as the host loads it (acmsim --reg), and then the
// driver loaded and a device plugged against whatever registry it left: the
// service's parameters, the device's hardware key (ring geometry, options,
// custom interface GUID) and the system's port settings. A file the host
// refuses names its bad line; the lines before it stay applied, as the
// driver then sees them.
#include "fuzz/machine.h"

#include "cdc_protocol.h"
#include "host/rtl/registry.h"

#include <ntddser.h>

#include <stdexcept>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    bus::FunctionConfig config;
    config.acm = CDC_ACM_SEND_BREAK;   // no line coding from the device: the Ports key gives it
    config.serial_control_device = size % 2;
    fuzz::Machine m(std::move(config), L"\\\\.\\COM5", [&] {
        try {
            host::reg::load_reg_text(text);
        } catch (const std::runtime_error&) {
            // a refused line; the driver sees what came before it
        }
    });
    if (m.plug() && m.open()) {
        ULONG rate = 0;
        m.ioctl(IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &rate, sizeof rate);
        auto write = m.write("AT\r");
        m.finish(*write);
    }
    m.expect_clean("after the session");
    return 0;
}
