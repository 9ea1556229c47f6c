// A fresh host with the driver module loaded from a clean registry, and the
// means to plug children and look at what the driver published.
#pragma once

#include "bus/cdc_function.h"
#include "host/host.h"
#include "host/io/iomgr.h"
#include "host/io/pnp.h"
#include "host/rtl/registry.h"
#include "host/rtl/strings.h"
#include "host/rtl/trace.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace drvtest {

inline constexpr char16_t kService[] = u"acmserial";
inline const std::u16string kServicesKey = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
inline const std::u16string kSerialComm = u"\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM";

// {CD56B1BD-C817-4E15-88DE-BC4AF1202DCD}
inline constexpr GUID kSerialCtrlInterface = {
    0xcd56b1bd, 0xc817, 0x4e15, { 0x88, 0xde, 0xbc, 0x4a, 0xf1, 0x20, 0x2d, 0xcd }
};
// {86E0D1E0-8089-11D0-9CE4-08003E301F73}
inline constexpr GUID kComPortInterface = {
    0x86e0d1e0, 0x8089, 0x11d0, { 0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73 }
};

// What the bus reports for one child; an empty port gives no PortName value.
struct Child {
    std::u16string class_name = u"Ports";
    std::u16string friendly_name = u"USB Serial Port";
    std::u16string port;
};

class DriverTest : public ::testing::Test {
protected:
    DriverTest() { fresh_host(); }

    // One host at a time: the old one goes before the new one starts.
    void fresh_host(uint64_t seed = 1)
    {
        host_.reset();
        functions_.clear();
        host::HostOptions options;
        options.seed = seed;
        host_ = std::make_unique<host::Host>(options);
        host::trace_clear();
        children_ = 0;
    }

    // The simulated functions behind the children outlive the host.
    std::vector<std::unique_ptr<bus::CdcFunction>> functions_;
    std::unique_ptr<host::Host> host_;

    static std::u16string parameters_key(std::u16string_view service = kService)
    {
        return kServicesKey + std::u16string(service) + u"\\Parameters";
    }
    static void set_debug_level(ULONG level)
    {
        host::reg::set_dword(parameters_key(), u"DebugLevel", level);
    }

    NTSTATUS load(std::u16string service = kService)
    {
        return host_->load_driver_module(std::move(service), ACMSERIAL_MODULE);
    }

    // Each child gets its own instance path and physical device object name.
    host::io::DeviceNode* plug(const Child& child)
    {
        unsigned n = ++children_;
        bus::FunctionConfig config;
        config.port = { u"USB\\VID_1234&PID_5678&MI_00\\7&1&" + to_u16(n), u"USB\\VID_1234&PID_5678&MI_00",
                         child.class_name, child.friendly_name, pdo_name(n) };
        config.port_name = child.port;
        auto& function = functions_.emplace_back(std::make_unique<bus::CdcFunction>(config));
        host::ChildDevice device = function->port().description();
        if (child.port.empty())
            std::erase_if(device.hardware_key, [](const auto& value) { return value.first == u"PortName"; });
        return host_->plug(device);
    }

    static std::u16string pdo_name(unsigned n) { return u"\\Device\\USBPDO-" + to_u16(n); }
    static std::u16string to_u16(unsigned n) { return host::to_u16(std::to_string(n)); }

    // NT name of the function device object on top of a node's stack.
    static std::u16string fdo_name(host::io::DeviceNode* node)
    {
        return node->pdo->upper ? node->pdo->upper->name : std::u16string();
    }

    static std::optional<std::u16string> serialcomm(std::u16string_view nt_name)
    {
        auto value = host::reg::get_value(kSerialComm, nt_name);
        if (!value)
            return std::nullopt;
        EXPECT_EQ(value->type, ULONG(REG_SZ));
        std::u16string text;
        for (size_t i = 0; i + 1 < value->data.size(); i += 2)
            text.push_back(char16_t(value->data[i] | value->data[i + 1] << 8));
        return text;   // with its NUL, as written
    }
    static size_t serialcomm_count() { return host::reg::values(kSerialComm).size(); }
    static ULONG serial_count() { return host::io::configuration()->SerialCount; }

    static size_t interfaces_of(host::io::DeviceNode* node, const GUID& guid, bool enabled = true)
    {
        size_t n = 0;
        for (const auto& record : host::io::interfaces())
            n += record.pdo == node->pdo && record.guid == guid && record.enabled == enabled;
        return n;
    }

    static size_t traced(std::string_view needle) { return host::trace_count(needle); }

private:
    unsigned children_ = 0;
};

}  // namespace drvtest
