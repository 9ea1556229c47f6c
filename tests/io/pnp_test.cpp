// The PnP and power manager: the order of events a driver sees, where they
// run, removal and surprise removal, unloading, device properties, registry
// keys, query-interface and device interfaces.
#include "port_fixture.h"

#include "host/rtl/registry.h"
#include "host/rtl/trace.h"

#include <initguid.h>
#include <devguid.h>
#include <wdmguid.h>

#include <algorithm>
#include <string>

namespace {

using host::io::DevicePower;
using host::io::NodeState;
using iotest::PortTest;
using iotest::TestDriver;
using Log = std::vector<std::string>;

TEST_F(PortTest, AddAndStartRunOnThePnpThreadAtPassiveLevel)
{
    EXPECT_EQ(driver.log, (Log{"DriverEntry", "add", "start"}));
    EXPECT_EQ(driver.threads, (Log{"pnp", "pnp", "pnp"}));
    EXPECT_EQ(node->state, NodeState::started);
    EXPECT_EQ(node->power, DevicePower::D0);
    EXPECT_EQ(host::io::resolve_link(u"\\??\\COM7"), u"\\Device\\TestSerial0");
}

TEST_F(PortTest, DevicePowerGoesToTheTopOfTheStack)
{
    ASSERT_EQ(host.set_power(node, DevicePower::D2), STATUS_SUCCESS);
    EXPECT_EQ(node->power, DevicePower::D2);
    ASSERT_EQ(host.set_power(node, DevicePower::D0), STATUS_SUCCESS);
    EXPECT_EQ(node->power, DevicePower::D0);
    EXPECT_EQ(Log(driver.log.end() - 2, driver.log.end()), (Log{"D2", "D0"}));
    EXPECT_EQ(driver.threads.back(), "pnp");
}

TEST_F(PortTest, SleepPowersDevicesDownLastFirstAndWakeRestoresThemInOrder)
{
    driver.port_name = u"COM8";
    ASSERT_NE(host.plug(iotest::test_child(2)), nullptr);
    host::trace_clear();
    ASSERT_EQ(host.sleep(host::io::SystemPower::S3), STATUS_SUCCESS);
    EXPECT_EQ(node->power, DevicePower::D3);
    ASSERT_EQ(host.wake(), STATUS_SUCCESS);
    EXPECT_EQ(node->power, DevicePower::D0);

    EXPECT_EQ(Log(driver.log.end() - 8, driver.log.end()), (Log{"S3", "D3", "S3", "D3", "S0", "D0", "S0", "D0"}));
    auto lines = host::trace_lines();
    auto at = [&](const std::string& text) {
        return std::find_if(lines.begin(), lines.end(),
                            [&](const std::string& l) { return l.find(text) != std::string::npos; }) -
               lines.begin();
    };
    EXPECT_LT(at("pnp: S3 USB\\VID_1234&PID_0001&MI_02"), at("pnp: S3 USB\\VID_1234&PID_0001&MI_01"));
    EXPECT_LT(at("pnp: S0 USB\\VID_1234&PID_0001&MI_01"), at("pnp: S0 USB\\VID_1234&PID_0001&MI_02"));
}

TEST_F(PortTest, AVetoedQueryRemoveLeavesTheDeviceRunning)
{
    driver.query_remove_status = STATUS_DEVICE_BUSY;
    EXPECT_EQ(host.remove(node), STATUS_DEVICE_BUSY);
    EXPECT_EQ(node->state, NodeState::started);
    EXPECT_EQ(driver.count("remove"), 0u);
    EXPECT_TRUE(host::io::resolve_link(u"\\??\\COM7"));
}

TEST_F(PortTest, RemovalAsksFirstThenRemovesAndDeletesThePdo)
{
    ASSERT_EQ(host.remove(node), STATUS_SUCCESS);
    EXPECT_EQ(Log(driver.log.end() - 2, driver.log.end()), (Log{"query-remove", "remove"}));
    EXPECT_EQ(node->state, NodeState::removed);
    EXPECT_FALSE(host::io::resolve_link(u"\\??\\COM7"));
    EXPECT_TRUE(node->pdo->deleted);
    EXPECT_EQ(host.remove(node), STATUS_INVALID_DEVICE_STATE) << "a removed device is gone";
    EXPECT_EQ(host.set_power(node, DevicePower::D3), STATUS_INVALID_DEVICE_STATE);
}

TEST_F(PortTest, SurpriseRemovalWaitsForTheLastHandleBeforeTheRemoval)
{
    HANDLE h = open();
    host.surprise_remove(node);
    EXPECT_EQ(driver.log.back(), "surprise-remove");
    EXPECT_EQ(node->state, NodeState::removal_pending);
    HANDLE refused = CreateFileW(L"\\\\.\\COM7", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(refused, INVALID_HANDLE_VALUE);

    CloseHandle(h);
    host.settle();
    EXPECT_EQ(Log(driver.log.end() - 4, driver.log.end()), (Log{"surprise-remove", "cleanup", "close", "remove"}));
    EXPECT_EQ(driver.threads.back(), "pnp");
    EXPECT_EQ(node->state, NodeState::removed);
}

TEST_F(PortTest, SurpriseRemovalWithoutHandlesRemovesAtOnce)
{
    host.surprise_remove(node);
    EXPECT_EQ(Log(driver.log.end() - 2, driver.log.end()), (Log{"surprise-remove", "remove"}));
    EXPECT_EQ(node->state, NodeState::removed);
}

TEST_F(PortTest, UnloadWaitsUntilNoDeviceRemains)
{
    EXPECT_EQ(host.unload_driver(), STATUS_DEVICE_BUSY);
    EXPECT_EQ(driver.unloads, 0);
    ASSERT_EQ(host.remove(node), STATUS_SUCCESS);
    ASSERT_EQ(host.unload_driver(), STATUS_SUCCESS);
    EXPECT_EQ(driver.unloads, 1);
    EXPECT_EQ(driver.threads.back(), "pnp");
    EXPECT_EQ(host.driver(), nullptr);
}

TEST(PnpLifetimeTest, HostTeardownRemovesDevicesThenUnloadsTheDriver)
{
    TestDriver driver;
    TestDriver::current = &driver;
    {
        host::Host host;
        ASSERT_EQ(host.load_driver(u"testser", &TestDriver::DriverEntry), STATUS_SUCCESS);
        ASSERT_NE(host.plug(iotest::test_child()), nullptr);
    }
    EXPECT_EQ(driver.log, (Log{"DriverEntry", "add", "start", "remove", "unload"}));
}

TEST(PnpFailureTest, FailedAddOrStartLeavesAFailedNodeAndNoStack)
{
    TestDriver driver;
    TestDriver::current = &driver;
    host::Host host;
    ASSERT_EQ(host.load_driver(u"testser", &TestDriver::DriverEntry), STATUS_SUCCESS);

    driver.add_status = STATUS_INSUFFICIENT_RESOURCES;
    EXPECT_EQ(host.plug(iotest::test_child(1)), nullptr);
    driver.add_status = STATUS_SUCCESS;
    driver.start_status = STATUS_DEVICE_DATA_ERROR;
    EXPECT_EQ(host.plug(iotest::test_child(2)), nullptr);

    EXPECT_EQ(driver.log, (Log{"DriverEntry", "add", "add", "start", "remove"}));
    auto nodes = host.devices();
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_EQ(nodes[0]->state, NodeState::failed);
    EXPECT_EQ(nodes[1]->state, NodeState::failed);
    EXPECT_EQ(host::trace_count("-> c000009a"), 1u) << "the failing status is traced";
    EXPECT_EQ(host.unload_driver(), STATUS_SUCCESS);
}

// --- properties, keys, interfaces ---------------------------------------------------

std::u16string as_text(const std::vector<WCHAR>& buffer)
{
    return std::u16string(reinterpret_cast<const char16_t*>(buffer.data()));
}

TEST_F(PortTest, DevicePropertiesReportTheirSizeAndComeWithTheirNul)
{
    _DEVICE_OBJECT* pdo = node->pdo;
    ULONG length = 0;
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyFriendlyName, 0, nullptr, &length), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, (std::u16string(u"Test Serial Port 1").size() + 1) * 2);

    std::vector<WCHAR> buffer(length / 2);
    ASSERT_EQ(IoGetDeviceProperty(pdo, DevicePropertyFriendlyName, length, buffer.data(), &length), STATUS_SUCCESS);
    EXPECT_EQ(as_text(buffer), u"Test Serial Port 1");
    EXPECT_EQ(buffer.back(), 0);

    buffer.assign(128, 0xffff);
    ASSERT_EQ(IoGetDeviceProperty(pdo, DevicePropertyClassName, 256, buffer.data(), &length), STATUS_SUCCESS);
    EXPECT_EQ(as_text(buffer), u"Ports");
    ASSERT_EQ(IoGetDeviceProperty(pdo, DevicePropertyClassGuid, 256, buffer.data(), &length), STATUS_SUCCESS);
    EXPECT_EQ(as_text(buffer), u"{4D36E978-E325-11CE-BFC1-08002BE10318}");
    ASSERT_EQ(IoGetDeviceProperty(pdo, DevicePropertyPhysicalDeviceObjectName, 256, buffer.data(), &length),
              STATUS_SUCCESS);
    EXPECT_EQ(as_text(buffer), u"\\Device\\USBPDO-1");

    buffer.assign(128, 0xffff);
    ASSERT_EQ(IoGetDeviceProperty(pdo, DevicePropertyHardwareID, 256, buffer.data(), &length), STATUS_SUCCESS);
    std::u16string id = u"USB\\VID_1234&PID_0001&MI_01";
    EXPECT_EQ(length, (id.size() + 2) * 2) << "REG_MULTI_SZ ends with two NULs";
    EXPECT_EQ(buffer[id.size() + 1], 0);

    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyManufacturer, 256, buffer.data(), &length),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(IoGetDeviceProperty(pdo, DEVICE_REGISTRY_PROPERTY(99), 256, buffer.data(), &length),
              STATUS_INVALID_PARAMETER_2);
    _DEVICE_OBJECT* loose = nullptr;
    ASSERT_EQ(host::io::create_device(nullptr, u"", FILE_DEVICE_UNKNOWN, 0, false, &loose), STATUS_SUCCESS);
    EXPECT_EQ(IoGetDeviceProperty(loose, DevicePropertyClassName, 256, buffer.data(), &length),
              STATUS_INVALID_DEVICE_REQUEST);
}

TEST(RegistryKeyTest, DeviceKeyIsTheHardwareKeyTheBusFilled)
{
    TestDriver driver;
    TestDriver::current = &driver;
    host::Host host;
    ASSERT_EQ(host.load_driver(u"testser", &TestDriver::DriverEntry), STATUS_SUCCESS);
    auto child = iotest::test_child();
    host::reg::Value port{REG_SZ, {'C', 0, 'O', 0, 'M', 0, '7', 0, 0, 0}};
    child.hardware_key.emplace_back(u"PortName", port);
    host::io::DeviceNode* node = host.plug(child);
    ASSERT_NE(node, nullptr);

    EXPECT_EQ(node->hardware_key_path(),
              u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_0001&MI_01\\7&1&0\\Device "
              u"Parameters");
    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(node->pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key),
              STATUS_SUCCESS);
    EXPECT_EQ(host::reg::key_path_of(key), node->hardware_key_path());
    auto value = host::reg::get_value(node->hardware_key_path(), u"PortName");
    ASSERT_TRUE(value);
    EXPECT_EQ(value->data, port.data);
    host::reg::close_key(key);

    ASSERT_EQ(IoOpenDeviceRegistryKey(node->pdo, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key), STATUS_SUCCESS);
    EXPECT_EQ(host::reg::key_path_of(key),
              u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\{4D36E978-E325-11CE-BFC1-"
              u"08002BE10318}\\0000");
    host::reg::close_key(key);
    EXPECT_EQ(IoOpenDeviceRegistryKey(node->pdo, 8, KEY_READ, &key), STATUS_INVALID_PARAMETER);
}

TEST_F(PortTest, QueryInterfaceIsAnsweredFromBelowTheFunctionDevice)
{
    _DEVICE_OBJECT* top = host::io::top_of_stack(node->pdo);
    ASSERT_NE(top, node->pdo);
    INTERFACE found = {};
    EXPECT_EQ(host::io::query_interface(top, iotest::TestPdo::kInterface, sizeof found, 3, &found, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(found.Context, &pdo);
    EXPECT_EQ(found.Version, 3);
    EXPECT_EQ(host::io::query_interface(top, GUID_DEVCLASS_MODEM, sizeof found, 1, &found, nullptr),
              STATUS_NOT_SUPPORTED);
}

TEST_F(PortTest, AnEnabledInterfaceOpensTheDeviceAndRemovalDisablesIt)
{
    UNICODE_STRING link = {};
    ASSERT_EQ(IoRegisterDeviceInterface(node->pdo, &GUID_DEVINTERFACE_COMPORT, nullptr, &link), STATUS_SUCCESS);
    std::u16string name(reinterpret_cast<const char16_t*>(link.Buffer), link.Length / 2);
    EXPECT_EQ(name, u"\\??\\USB#VID_1234&PID_0001&MI_01#7&1&0#{86e0d1e0-8089-11d0-9ce4-08003e301f73}");

    EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_OBJECT_NAME_NOT_FOUND) << "not enabled yet";
    ASSERT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_OBJECT_NAME_EXISTS);

    std::u16string path = u"\\\\?\\" + name.substr(4);
    HANDLE h = CreateFileW(reinterpret_cast<LPCWSTR>(path.c_str()), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(driver.log.back(), "create") << "the open reaches the top of the stack";
    CloseHandle(h);

    ASSERT_EQ(host.remove(node), STATUS_SUCCESS);
    auto records = host.interfaces();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_FALSE(records[0].enabled);
    EXPECT_FALSE(host::io::resolve_link(name));
    RtlFreeUnicodeString(&link);
}

TEST_F(PortTest, DeviceMapObserverReadsTheSerialCommKey)
{
    host::reg::set_string(u"\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM", u"\\Device\\TestSerial0", u"COM7");
    auto map = host.device_map();
    ASSERT_EQ(map.size(), 1u);
    EXPECT_EQ(map[0].first, u"\\Device\\TestSerial0");
    EXPECT_EQ(map[0].second, u"COM7");
}

}  // namespace
