// What a function reports about itself when it is plugged in: its CDC
// functional descriptors byte for byte (any length, any fields), the
// capabilities it really has, the bulk endpoints' maximum packet size, its
// UI number, idle time-out, interface number, line coding and setup class,
// and whether it has a serial control device. The driver either refuses the
// device or binds to it; a port that opens then carries a command and its
// answer.
#include "fuzz/machine.h"

#include "cdc_protocol.h"

namespace {

using fuzz::Input;

bus::Bytes descriptor(Input& in)
{
    const std::string bytes = in.bytes(in.u8() % 16);
    return bus::Bytes(bytes.begin(), bytes.end());
}

std::u16string class_name(Input& in)
{
    static const char16_t* kClasses[] = { u"Ports", u"Modem", u"System" };
    const uint8_t which = in.u8();
    if (which % 4 < 3)
        return kClasses[which % 4];
    std::u16string name;
    for (char c : in.bytes(which >> 4))
        name += char16_t(uint8_t(c));
    return name;
}

bus::FunctionConfig config_from(Input& in)
{
    bus::FunctionConfig config;
    const uint8_t flags = in.u8();
    if (flags & 0x01)
        config.raw_functional_descriptors[CDC_FD_CALL_MANAGEMENT] = descriptor(in);
    if (flags & 0x02)
        config.raw_functional_descriptors[CDC_FD_ABSTRACT_CONTROL_MANAGEMENT] = descriptor(in);
    if (flags & 0x04)
        config.call_management.reset();
    else
        config.call_management = in.u8();
    if (flags & 0x08)
        config.acm.reset();
    else
        config.acm = in.u8();
    config.serial_control_device = flags & 0x10;
    config.callbacks_at_dispatch = flags & 0x20;
    config.max_packet = 1 + in.u16() % 1024;
    config.ui_number = in.u32();
    config.idle_timeout = in.u8();
    config.comm_interface = in.u16();
    config.initial_line_coding = bus::LineCoding{ in.u32(), in.u8(), in.u8(), in.u8() };
    config.port.class_name = class_name(in);
    return config;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Input in(data, size);
    fuzz::Machine m(config_from(in));
    if (m.plug() && m.open()) {
        m.set_timeouts(MAXULONG, MAXULONG, 100);
        auto write = m.write("AT\r");
        auto read = m.read(16);
        m.finish(*write);
        m.finish(*read);
    }
    m.expect_clean("after the session");
    return 0;
}
