// The bus's children under the host's PnP manager: what is reported for them
// and the interface query that travels down a child's stack to its PDO.
#include "bus/cdc_function.h"
#include "host/host.h"
#include "host/rtl/registry.h"

#include <gtest/gtest.h>

namespace {

TEST(BusPnp, PluggedChildrenCarryTheirNamesAndAnswerTheQueryOfTheirStack)
{
    bus::FunctionConfig config;
    config.port_name = u"COM9";
    config.serial_control_device = true;
    config.hardware_key = {{u"DataInBuffers", ULONG(4)}};
    bus::CdcFunction fn(config);   // made first, so that it outlives the Host's devices
    host::Host h;
    auto children = fn.children();

    host::io::DeviceNode* port = h.plug(children[0]);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->class_name, u"Ports");
    EXPECT_EQ(port->pdo_name, u"\\Device\\USBPDO-5");
    EXPECT_EQ(host::reg::get_value(port->hardware_key_path(), u"PortName"), host::reg::string_value(u"COM9"));
    EXPECT_EQ(host::reg::get_value(port->hardware_key_path(), u"DataInBuffers"), host::reg::dword_value(4));
    host::io::DeviceNode* control = h.plug(children[1]);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control->class_name, u"System");

    DC_ENUMERATOR_INTERFACE r{};
    ASSERT_EQ(host::io::query_interface(port->pdo, GUID_DC_ENUMERATOR_INTERFACE, sizeof r, 1,
                                        reinterpret_cast<PINTERFACE>(&r), (PVOID) "2.1.5.48"),
              STATUS_SUCCESS);
    EXPECT_EQ(r.Context, static_cast<PVOID>(&fn.port()));
    EXPECT_EQ(r.get_ui_number(r.Context), 5u);
    r.InterfaceDereference(r.Context);

    GUID other{};
    EXPECT_EQ(host::io::query_interface(control->pdo, other, sizeof r, 1, reinterpret_cast<PINTERFACE>(&r), nullptr),
              STATUS_NOT_SUPPORTED);
}

TEST(BusPnp, APdoLeftBehindByItsFunctionAnswersAsAGoneDevice)
{
    host::Host h;
    host::io::DeviceNode* node = nullptr;
    {
        bus::CdcFunction fn;
        node = h.plug(fn.port().description());
        ASSERT_NE(node, nullptr);
    }
    DC_ENUMERATOR_INTERFACE r{};
    EXPECT_EQ(host::io::query_interface(node->pdo, GUID_DC_ENUMERATOR_INTERFACE, sizeof r, 1,
                                        reinterpret_cast<PINTERFACE>(&r), nullptr),
              STATUS_NO_SUCH_DEVICE);
}

}  // namespace
