// The strings the driver reads from the registry when a device arrives:
// PortName in the device's hardware key, the system's settings string for
// that port under the Ports key ("rate,parity,data bits,stop bits", read
// when the device cannot report its line coding) and the custom interface
// GUID (DeviceGUID). Each may hold any characters, any length, no closing
// NUL, or another value type. The driver refuses the device or names its
// port; a port it names opens, under that name, and closes.
#include "fuzz/machine.h"

#include "cdc_protocol.h"
#include "host/rtl/registry.h"

#include <ntddser.h>

namespace {

using fuzz::Input;

constexpr uint8_t kRawType = 0x01, kUtf16 = 0x02, kNoNul = 0x04;

// A value as the input describes it: its type, then its text, either one
// character per byte or UTF-16LE as it stands, with or without its NUL.
host::reg::Value value_from(Input& in)
{
    const uint8_t flags = in.u8();
    host::reg::Value v;
    v.type = flags & kRawType ? in.u8() % 12 : REG_SZ;
    const std::string text = in.bytes(in.u8());
    if (flags & kUtf16) {
        v.data.assign(text.begin(), text.end());
    } else {
        for (char c : text)
            v.data.insert(v.data.end(), { uint8_t(c), 0 });
    }
    if (!(flags & kNoNul))
        v.data.insert(v.data.end(), { 0, 0 });
    return v;
}

// The text of a REG_SZ value up to its first NUL, as a name to open.
std::u16string text_of(const host::reg::Value& v)
{
    std::u16string s;
    for (size_t i = 0; i + 1 < v.data.size(); i += 2) {
        const char16_t c = char16_t(v.data[i] | v.data[i + 1] << 8);
        if (!c)
            break;
        s += c;
    }
    return s;
}

void set_hardware_value(host::ChildDevice& child, const std::u16string& name, const host::reg::Value& v)
{
    for (auto& [n, value] : child.hardware_key)
        if (n == name) {
            value = v;
            return;
        }
    child.hardware_key.emplace_back(name, v);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Input in(data, size);
    const host::reg::Value port_name = value_from(in), settings = value_from(in);
    const bool with_guid = in.u8() & 1;
    const host::reg::Value guid = value_from(in);

    // The device cannot report its line coding: the Ports key gives it.
    bus::FunctionConfig config;
    config.acm = CDC_ACM_SEND_BREAK;
    const std::u16string name = text_of(port_name);
    const std::u16string path = u"\\\\.\\" + name;
    fuzz::Machine m(std::move(config), reinterpret_cast<const wchar_t*>(path.c_str()));
    host::reg::set_value(u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Ports",
                         name + u":", settings);
    const bool plugged = m.plug([&](host::ChildDevice& child) {
        set_hardware_value(child, u"PortName", port_name);
        if (with_guid)
            set_hardware_value(child, u"DeviceGUID", guid);
    });
    if (plugged && m.open()) {
        ULONG rate = 0;
        m.ioctl(IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &rate, sizeof rate);
    }
    m.expect_clean("after the session");
    return 0;
}
