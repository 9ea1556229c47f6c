// Device add: object names and classification by setup class.
#include "driver_fixture.h"

#include <win32.h>

namespace drvtest {
namespace {

class DeviceAddTest : public DriverTest {
protected:
    void SetUp() override
    {
        set_debug_level(4);
        ASSERT_EQ(load(), STATUS_SUCCESS);
    }

    // Modems of one friendly name share its DOS-devices link, which a
    // departing modem hands to the most recent modem that remains; any
    // other device leaves it where it is. Gives where the link of the first
    // of `nodes` goes when that one leaves.
    std::u16string link_after_first_leaves(const std::vector<host::io::DeviceNode*>& nodes)
    {
        const std::u16string link = u"\\DosDevices\\" + std::u16string(Child{}.friendly_name);
        host::io::delete_symbolic_link(link);   // where an earlier hand-over left it
        EXPECT_EQ(host::io::create_symbolic_link(link, nodes.front()->pdo_name), STATUS_SUCCESS);
        host_->remove(nodes.front());
        return host::io::resolve_link(link).value_or(u"");
    }
};

TEST_F(DeviceAddTest, DeviceNumbersAreConsecutiveAndNeverReused)
{
    auto* first = plug({ .port = u"COM3" });
    auto* second = plug({ .port = u"COM4" });
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(fdo_name(first), u"\\Device\\acmserial_AcmSerial0");
    EXPECT_EQ(fdo_name(second), u"\\Device\\acmserial_AcmSerial1");

    host_->remove(first);
    auto* third = plug({ .port = u"COM3" });
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(fdo_name(third), u"\\Device\\acmserial_AcmSerial2");
}

TEST_F(DeviceAddTest, FailedAddStillConsumesItsNumber)
{
    EXPECT_EQ(plug({ .port = u"" }), nullptr);   // no PortName
    auto* next = plug({ .port = u"COM3" });
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(fdo_name(next), u"\\Device\\acmserial_AcmSerial1");
}

TEST_F(DeviceAddTest, ExclusiveSerialPortDeviceObject)
{
    auto* node = plug({ .port = u"COM3" });
    ASSERT_NE(node, nullptr);
    ASSERT_NE(node->pdo->upper, nullptr);
    EXPECT_TRUE(node->pdo->upper->exclusive);
    EXPECT_EQ(node->pdo->upper->device_type, DEVICE_TYPE(FILE_DEVICE_SERIAL_PORT));
    EXPECT_EQ(node->pdo->upper->sddl, "D:P(A;;GA;;;SY)(A;;GRGWGX;;;BA)(A;;GRGW;;;WD)(A;;GR;;;RC)");
}

TEST_F(DeviceAddTest, SecondOpenOfThePortIsRefusedWhileTheFirstIsOpen)
{
    ASSERT_NE(plug({ .port = u"COM3" }), nullptr);
    auto open = [] {
        return CreateFileW(L"\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    };
    HANDLE first = open();
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));

    EXPECT_TRUE(CloseHandle(first));
    HANDLE again = open();
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(again));
}

TEST_F(DeviceAddTest, ModemClassIsMatchedWithoutRegardToCase)
{
    auto* modem = plug({ .class_name = u"Modem", .port = u"COM5" });
    auto* upper = plug({ .class_name = u"MODEM", .port = u"COM6" });
    ASSERT_NE(modem, nullptr);
    ASSERT_NE(upper, nullptr);
    EXPECT_EQ(link_after_first_leaves({ modem, upper }), upper->pdo_name);

    auto* mixed = plug({ .class_name = u"mOdEm", .port = u"COM7" });
    ASSERT_NE(mixed, nullptr);
    EXPECT_EQ(link_after_first_leaves({ upper, mixed }), mixed->pdo_name);
}

TEST_F(DeviceAddTest, OtherClassesArePlainPorts)
{
    auto* modem = plug({ .class_name = u"Modem", .port = u"COM5" });
    auto* port = plug({ .class_name = u"Ports", .port = u"COM3" });
    auto* modems = plug({ .class_name = u"Modems", .port = u"COM4" });   // whole-string match only
    ASSERT_NE(modem, nullptr);
    ASSERT_NE(port, nullptr);
    ASSERT_NE(modems, nullptr);
    EXPECT_EQ(interfaces_of(modems, kComPortInterface), 1u);
    EXPECT_EQ(link_after_first_leaves({ modem, port, modems }), modem->pdo_name);
}

TEST_F(DeviceAddTest, SerialControlDeviceGetsOnlyItsPrivateInterface)
{
    auto* node = plug({ .class_name = u"system", .port = u"COM9" });
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(interfaces_of(node, kSerialCtrlInterface), 1u);
    EXPECT_EQ(interfaces_of(node, kComPortInterface), 0u);
    EXPECT_FALSE(host::io::resolve_link(u"\\DosDevices\\COM9"));
    EXPECT_EQ(serialcomm_count(), 0u);
    EXPECT_EQ(serial_count(), 0u);

    host_->remove(node);
    EXPECT_EQ(serial_count(), 0u) << "a naming that never happened was undone";

    // Without a PortName value: never looked up.
    EXPECT_NE(plug({ .class_name = u"system", .port = u"" }), nullptr);
}

}  // namespace
}  // namespace drvtest
