// The framework device seen from the driver: its WDM objects, properties,
// names, interfaces, registry keys, the bus's query interface and file
// objects; and the removal check for requests left uncompleted.
#include "kmdf_driver.h"

#include "host/io/iomgr.h"
#include "host/kernel/verifier.h"
#include "host/rtl/registry.h"
#include "host/wdf/fx.h"

#include <initguid.h>
#include <wdmguid.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

DEFINE_GUID(kBusInterface, 0x1d2b1c10, 0x2f6a, 0x4c4b, 0x9a, 0x51, 0x0e, 0x8c, 0x33, 0x7a, 0x42, 0x01);

// The bus's side of the physical device object: answers one interface.
class BusPdo final : public host::io::DeviceHandler {
public:
    void dispatch(host::io::Irp* irp) override { host::io::complete_irp(irp, STATUS_NOT_SUPPORTED, 0); }
    NTSTATUS query_interface(const GUID& type, USHORT size, USHORT version, PINTERFACE interface,
                             PVOID /*specific_data*/) override
    {
        if (!(type == kBusInterface)) return STATUS_NOT_SUPPORTED;
        interface->Size = size;
        interface->Version = version;
        interface->Context = this;
        return STATUS_SUCCESS;
    }
};

std::u16string text(const UNICODE_STRING& s) { return {reinterpret_cast<const char16_t*>(s.Buffer), s.Length / 2u}; }
std::u16string text(const void* wide) { return reinterpret_cast<const char16_t*>(wide); }

class DeviceTest : public ::testing::Test {
protected:
    DeviceTest()
    {
        driver.configure_init = [](PWDFDEVICE_INIT init) {
            DECLARE_CONST_UNICODE_STRING(name, L"\\Device\\WdfTest0");
            WdfDeviceInitAssignName(init, &name);
            WdfDeviceInitSetExclusive(init, TRUE);
            WdfDeviceInitSetDeviceType(init, FILE_DEVICE_SERIAL_PORT);
        };
    }

    WDFKEY open_hardware_key(ACCESS_MASK access)
    {
        WDFKEY key = nullptr;
        EXPECT_EQ(WdfDeviceOpenRegistryKey(driver.device, PLUGPLAY_REGKEY_DEVICE, access, WDF_NO_OBJECT_ATTRIBUTES,
                                           &key),
                  STATUS_SUCCESS);
        return key;
    }

    wdftest::Fixture fx;
    wdftest::Driver& driver = fx.driver();
    host::Host& host = fx.host();
};

TEST_F(DeviceTest, TheDeviceSitsOnTheWdmObjectsItWasGiven)
{
    host::io::DeviceNode* node = fx.plug();
    ASSERT_NE(node, nullptr);
    WDFDEVICE device = driver.device;
    PDEVICE_OBJECT fdo = WdfDeviceWdmGetDeviceObject(device);
    EXPECT_EQ(fdo->name, u"\\Device\\WdfTest0");
    EXPECT_TRUE(fdo->exclusive);
    EXPECT_EQ(fdo->device_type, ULONG(FILE_DEVICE_SERIAL_PORT));
    EXPECT_EQ(fdo->flags & DO_BUFFERED_IO, ULONG(DO_BUFFERED_IO));
    EXPECT_EQ(WdfDeviceWdmGetPhysicalDevice(device), node->pdo);
    EXPECT_EQ(WdfDeviceWdmGetAttachedDevice(device), node->pdo);
    EXPECT_EQ(WdfIoTargetWdmGetTargetDeviceObject(WdfDeviceGetIoTarget(device)), node->pdo);
    EXPECT_EQ(WdfWdmDeviceGetWdfDeviceHandle(fdo), device);
    EXPECT_EQ(WdfDeviceGetDriver(device), WdfGetDriver());
    EXPECT_EQ(WdfDriverWdmGetDriverObject(WdfGetDriver()), host.driver());

    WDFSTRING name;
    ASSERT_EQ(WdfStringCreate(nullptr, WDF_NO_OBJECT_ATTRIBUTES, &name), STATUS_SUCCESS);
    EXPECT_EQ(WdfDeviceRetrieveDeviceName(device, name), STATUS_SUCCESS);
    UNICODE_STRING value;
    WdfStringGetUnicodeString(name, &value);
    EXPECT_EQ(text(value), u"\\Device\\WdfTest0");
}

TEST_F(DeviceTest, PropertiesFollowTheBufferRules)
{
    fx.plug();
    WCHAR buffer[64];
    ULONG length = 0;
    EXPECT_EQ(WdfDeviceQueryProperty(driver.device, DevicePropertyFriendlyName, sizeof buffer, buffer, &length),
              STATUS_SUCCESS);
    EXPECT_EQ(text(buffer), u"Test Serial Port");
    EXPECT_EQ(length, sizeof(L"Test Serial Port"));
    EXPECT_EQ(WdfDeviceQueryProperty(driver.device, DevicePropertyPhysicalDeviceObjectName, 8, buffer, &length),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, sizeof(L"\\Device\\USBPDO-5")) << "the length needed";

    WDFMEMORY memory;
    ASSERT_EQ(WdfDeviceAllocAndQueryProperty(driver.device, DevicePropertyClassName, NonPagedPool,
                                             WDF_NO_OBJECT_ATTRIBUTES, &memory),
              STATUS_SUCCESS);
    size_t size = 0;
    EXPECT_EQ(text(WdfMemoryGetBuffer(memory, &size)), u"Ports");
    EXPECT_EQ(size, sizeof(L"Ports"));
    host.remove(host.devices().front());
    WdfMemoryGetBuffer(memory, nullptr);
    EXPECT_TRUE(host::verifier_fired("object-used-after-deletion")) << "the property memory goes with the device";
}

TEST_F(DeviceTest, LinksAndInterfacesLiveWithTheStartedDevice)
{
    std::vector<bool> enabled_during_add;
    driver.hooks["DeviceAdd"] = [&](WDFDEVICE device) {
        DECLARE_CONST_UNICODE_STRING(link, L"\\DosDevices\\COM7");
        NTSTATUS status = WdfDeviceCreateSymbolicLink(device, &link);
        if (NT_SUCCESS(status)) status = WdfDeviceCreateDeviceInterface(device, &GUID_DEVINTERFACE_COMPORT, nullptr);
        for (const auto& record : host.interfaces()) enabled_during_add.push_back(record.enabled);
        return status;
    };
    host::io::DeviceNode* node = fx.plug();
    EXPECT_THAT(enabled_during_add, ElementsAre(false));
    EXPECT_EQ(host::io::resolve_link(u"\\DosDevices\\COM7"), u"\\Device\\WdfTest0");
    ASSERT_EQ(host.interfaces().size(), 1u);
    EXPECT_TRUE(host.interfaces()[0].guid == GUID_DEVINTERFACE_COMPORT);
    EXPECT_TRUE(host.interfaces()[0].enabled);
    EXPECT_EQ(host.interfaces()[0].pdo, node->pdo);

    WDFSTRING string;
    WdfStringCreate(nullptr, WDF_NO_OBJECT_ATTRIBUTES, &string);
    EXPECT_EQ(WdfDeviceRetrieveDeviceInterfaceString(driver.device, &GUID_DEVINTERFACE_COMPORT, nullptr, string),
              STATUS_SUCCESS);
    UNICODE_STRING link;
    WdfStringGetUnicodeString(string, &link);
    EXPECT_EQ(text(link), host.interfaces()[0].link);

    host.remove(node);
    EXPECT_EQ(host::io::resolve_link(u"\\DosDevices\\COM7"), std::nullopt);
    for (const auto& record : host.interfaces()) EXPECT_FALSE(record.enabled);
}

TEST_F(DeviceTest, SurpriseRemovalTakesTheLinkAtOnce)
{
    driver.hooks["DeviceAdd"] = [](WDFDEVICE device) {
        DECLARE_CONST_UNICODE_STRING(link, L"\\DosDevices\\COM7");
        return WdfDeviceCreateSymbolicLink(device, &link);
    };
    host::io::DeviceNode* node = fx.plug();
    _FILE_OBJECT* file = nullptr;
    ASSERT_EQ(host::io::open_file(u"\\DosDevices\\COM7", GENERIC_READ, 0, &file), STATUS_SUCCESS);
    host.surprise_remove(node);
    EXPECT_EQ(host::io::resolve_link(u"\\DosDevices\\COM7"), std::nullopt) << "removal waits for the handle";
    EXPECT_EQ(driver.count("DeviceCleanup"), 0u);
    host::io::close_file(file);
    wdftest::sleep_ms(1);   // the PnP manager removes the device on its thread
    EXPECT_EQ(driver.count("DeviceCleanup"), 1u);
}

TEST_F(DeviceTest, UnicodeStringReadsReportTheLengthTheyNeed)
{
    fx.plug();
    WDFKEY key = open_hardware_key(KEY_READ);
    DECLARE_CONST_UNICODE_STRING(port_name, L"PortName");

    WCHAR room[8];
    UNICODE_STRING value = {0, sizeof room, room};
    USHORT needed = 0;
    EXPECT_EQ(WdfRegistryQueryUnicodeString(key, &port_name, &needed, &value), STATUS_SUCCESS);
    EXPECT_EQ(text(value), u"COM7");
    EXPECT_EQ(needed, sizeof(L"COM7")) << "the terminating NUL counts";

    value.MaximumLength = 6;
    EXPECT_EQ(WdfRegistryQueryUnicodeString(key, &port_name, &needed, &value), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(needed, sizeof(L"COM7"));
    EXPECT_EQ(text(value), u"COM") << "what fits is copied";

    EXPECT_EQ(WdfRegistryQueryUnicodeString(key, &port_name, &needed, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(needed, sizeof(L"COM7"));

    DECLARE_CONST_UNICODE_STRING(missing, L"Missing");
    EXPECT_EQ(WdfRegistryQueryUnicodeString(key, &missing, &needed, &value), STATUS_OBJECT_NAME_NOT_FOUND);
    DECLARE_CONST_UNICODE_STRING(answer, L"Answer");
    EXPECT_EQ(WdfRegistryQueryUnicodeString(key, &answer, &needed, &value), STATUS_OBJECT_TYPE_MISMATCH);
    WdfRegistryClose(key);
}

TEST_F(DeviceTest, ULongAndRawReadsCheckTypeAndSize)
{
    fx.plug();
    WDFKEY key = open_hardware_key(KEY_READ);
    DECLARE_CONST_UNICODE_STRING(answer, L"Answer");
    DECLARE_CONST_UNICODE_STRING(port_name, L"PortName");
    ULONG number = 0;
    EXPECT_EQ(WdfRegistryQueryULong(key, &answer, &number), STATUS_SUCCESS);
    EXPECT_EQ(number, 42u);
    EXPECT_EQ(WdfRegistryQueryULong(key, &port_name, &number), STATUS_OBJECT_TYPE_MISMATCH);

    UCHAR small[4];
    ULONG length = 0, type = 0;
    EXPECT_EQ(WdfRegistryQueryValue(key, &port_name, sizeof small, small, &length, &type), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(length, sizeof(L"COM7"));
    EXPECT_EQ(type, ULONG(REG_SZ));

    WdfRegistryClose(key);
    WdfRegistryQueryULong(key, &answer, &number);
    EXPECT_TRUE(host::verifier_fired("object-used-after-deletion"));
}

TEST_F(DeviceTest, AssignedValuesLandInTheHardwareKey)
{
    fx.plug();
    // Kernel handles: the access asked for does not limit what the driver does.
    WDFKEY key = open_hardware_key(STANDARD_RIGHTS_ALL);
    DECLARE_CONST_UNICODE_STRING(answer, L"Answer");
    DECLARE_CONST_UNICODE_STRING(port_name, L"PortName");
    DECLARE_CONST_UNICODE_STRING(com9, L"COM9");
    EXPECT_EQ(WdfRegistryAssignULong(key, &answer, 7), STATUS_SUCCESS);
    EXPECT_EQ(WdfRegistryAssignUnicodeString(key, &port_name, &com9), STATUS_SUCCESS);
    ULONG number = 0;
    EXPECT_EQ(WdfRegistryQueryULong(key, &answer, &number), STATUS_SUCCESS);
    EXPECT_EQ(number, 7u);
    std::u16string path = host.devices().front()->hardware_key_path();
    EXPECT_EQ(host::reg::get_value(path, u"Answer"), host::reg::dword_value(7));
    EXPECT_EQ(host::reg::get_value(path, u"PortName"), host::reg::string_value(u"COM9"));
    EXPECT_EQ(WdfRegistryRemoveValue(key, &answer), STATUS_SUCCESS);
    EXPECT_EQ(WdfRegistryQueryULong(key, &answer, &number), STATUS_OBJECT_NAME_NOT_FOUND);
    WdfRegistryClose(key);
}

TEST_F(DeviceTest, TheDriverParametersKeyIsUnderTheServiceKey)
{
    WDFKEY key = nullptr;
    EXPECT_FALSE(NT_SUCCESS(WdfDriverOpenParametersRegistryKey(WdfGetDriver(), KEY_READ, WDF_NO_OBJECT_ATTRIBUTES,
                                                                &key)));
    host::reg::set_dword(std::u16string(wdftest::Fixture::kServiceKey) + u"\\Parameters", u"DebugLevel", 3);
    ASSERT_EQ(WdfDriverOpenParametersRegistryKey(WdfGetDriver(), KEY_READ, WDF_NO_OBJECT_ATTRIBUTES, &key),
              STATUS_SUCCESS);
    DECLARE_CONST_UNICODE_STRING(debug_level, L"DebugLevel");
    ULONG level = 0;
    EXPECT_EQ(WdfRegistryQueryULong(key, &debug_level, &level), STATUS_SUCCESS);
    EXPECT_EQ(level, 3u);
    EXPECT_EQ(text(WdfDriverGetRegistryPath(WdfGetDriver())), wdftest::Fixture::kServiceKey);
    WdfRegistryClose(key);
}

TEST_F(DeviceTest, QueryInterfaceIsAnsweredByTheBus)
{
    BusPdo bus;
    INTERFACE answered = {};
    NTSTATUS unknown = STATUS_SUCCESS;
    driver.hooks["PrepareHardware"] = [&](WDFDEVICE device) {
        GUID other = kBusInterface;
        other.Data1 ^= 1;
        INTERFACE ignored = {};
        unknown = WdfFdoQueryForInterface(device, &other, &ignored, sizeof ignored, 1, nullptr);
        return WdfFdoQueryForInterface(device, &kBusInterface, &answered, sizeof answered, 3, nullptr);
    };
    host::io::DeviceNode* node = fx.plug(&bus);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(answered.Context, &bus);
    EXPECT_EQ(answered.Version, 3);
    EXPECT_EQ(unknown, STATUS_NOT_SUPPORTED);
    host.remove(node);   // before the bus goes
}

TEST_F(DeviceTest, FilesGetCreateCleanupAndClose)
{
    fx.plug();
    WDFDEVICE seen = nullptr;
    driver.hooks["FileCleanup"] = [&](WDFDEVICE device) {
        seen = device;
        return STATUS_SUCCESS;
    };
    driver.take_log();
    _FILE_OBJECT* file = nullptr;
    ASSERT_EQ(host::io::open_file(u"\\Device\\WdfTest0", GENERIC_READ | GENERIC_WRITE, 0, &file), STATUS_SUCCESS);
    EXPECT_THAT(driver.take_log(), ElementsAre("FileCreate"));
    host::io::close_file(file);
    EXPECT_THAT(driver.take_log(), ElementsAre("FileCleanup", "FileClose"));
    EXPECT_EQ(seen, driver.device);
}

TEST_F(DeviceTest, AFailedCreateLeavesNoFileObject)
{
    fx.plug();
    driver.hooks["FileCreate"] = [](WDFDEVICE) { return STATUS_ACCESS_DENIED; };
    driver.take_log();
    _FILE_OBJECT* file = nullptr;
    EXPECT_EQ(host::io::open_file(u"\\Device\\WdfTest0", GENERIC_READ, 0, &file), STATUS_ACCESS_DENIED);
    driver.hooks.erase("FileCreate");
    ASSERT_EQ(host::io::open_file(u"\\Device\\WdfTest0", GENERIC_READ, 0, &file), STATUS_SUCCESS)
        << "an exclusive device is free again";
    host::io::close_file(file);
    EXPECT_THAT(driver.take_log(), ElementsAre("FileCreate", "FileCreate", "FileCleanup", "FileClose"));
    EXPECT_TRUE(host::verifier_violations().empty());
}

VOID complete_create(WDFQUEUE queue, WDFREQUEST request)
{
    WdfRequestComplete(request, wdftest::Driver::current->record("QueuedCreate", WdfIoQueueGetDevice(queue)));
}

TEST_F(DeviceTest, WithoutEvtDeviceFileCreateCreatesGoToTheirQueue)
{
    driver.file_create_callback = false;
    std::vector<NTSTATUS> configured;
    driver.hooks["DeviceAdd"] = [&](WDFDEVICE device) {
        WDF_IO_QUEUE_CONFIG config;
        WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchParallel);
        config.EvtIoDefault = complete_create;
        WDFQUEUE queue;
        NTSTATUS status = WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &queue);
        if (!NT_SUCCESS(status)) return status;
        configured.push_back(WdfDeviceConfigureRequestDispatching(device, queue, WdfRequestTypeCreate));
        configured.push_back(WdfDeviceConfigureRequestDispatching(device, queue, WdfRequestTypeCreate));
        configured.push_back(WdfDeviceConfigureRequestDispatching(device, queue, WdfRequestTypeCleanup));
        return STATUS_SUCCESS;
    };
    fx.plug();
    EXPECT_THAT(configured, ElementsAre(STATUS_SUCCESS, STATUS_WDF_BUSY, STATUS_INVALID_PARAMETER));
    driver.take_log();

    _FILE_OBJECT* file = nullptr;
    ASSERT_EQ(host::io::open_file(u"\\Device\\WdfTest0", GENERIC_READ, 0, &file), STATUS_SUCCESS);
    host::io::close_file(file);
    driver.hooks["QueuedCreate"] = [](WDFDEVICE) { return STATUS_SHARING_VIOLATION; };
    EXPECT_EQ(host::io::open_file(u"\\Device\\WdfTest0", GENERIC_READ, 0, &file), STATUS_SHARING_VIOLATION);
    EXPECT_THAT(driver.take_log(), ElementsAre("QueuedCreate", "FileCleanup", "FileClose", "QueuedCreate"));
}

#if defined(__SANITIZE_ADDRESS__)
using LeakCheckOff = __lsan::ScopedDisabler;
#else
struct LeakCheckOff {
    ~LeakCheckOff() {}   // non-trivial, like the sanitizer's, so an unused one is fine
};
#endif

// A driver that keeps a read and neither completes it nor handles EvtIoStop.
VOID keep_read(WDFQUEUE, WDFREQUEST, size_t) {}

TEST_F(DeviceTest, ARequestLeftUncompletedAtRemovalIsReported)
{
    driver.hooks["DeviceAdd"] = [](WDFDEVICE device) {
        WDF_IO_QUEUE_CONFIG config;
        WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
        config.EvtIoRead = keep_read;
        WDFQUEUE queue;
        return WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &queue);
    };
    host::io::DeviceNode* node = fx.plug();
    _FILE_OBJECT* file = nullptr;
    ASSERT_EQ(host::io::open_file(u"\\Device\\WdfTest0", GENERIC_READ, 0, &file), STATUS_SUCCESS);
    char buffer[8];
    host::io::UserIo read;
    read.major = IRP_MJ_READ;
    read.output = buffer;
    read.output_length = sizeof buffer;
    read.done = [](NTSTATUS, ULONG_PTR) {};
    {
        // The driver's fault leaves the read's IRP behind for good.
        LeakCheckOff leaks_expected;
        EXPECT_EQ(host::io::submit(file, read), STATUS_PENDING);
    }
    EXPECT_FALSE(host::verifier_fired("request-left-uncompleted"));
    host.surprise_remove(node);
    EXPECT_TRUE(host::verifier_fired("request-left-uncompleted"));
}

// The capabilities the framework reports are what the driver's calls added
// up to: a later call changes only the values it does not leave at default.
TEST_F(DeviceTest, PnpCapabilitiesMergeCallByCall)
{
    driver.hooks["DeviceAdd"] = [](WDFDEVICE device) {
        WDF_DEVICE_PNP_CAPABILITIES caps;
        WDF_DEVICE_PNP_CAPABILITIES_INIT(&caps);
        caps.SurpriseRemovalOK = WdfTrue;
        caps.Removable = WdfTrue;
        caps.UINumber = 7;
        WdfDeviceSetPnpCapabilities(device, &caps);
        return STATUS_SUCCESS;
    };
    driver.hooks["PrepareHardware"] = [](WDFDEVICE device) {
        WDF_DEVICE_PNP_CAPABILITIES caps;
        WDF_DEVICE_PNP_CAPABILITIES_INIT(&caps);
        caps.Removable = WdfFalse;
        caps.Address = 3;
        WdfDeviceSetPnpCapabilities(device, &caps);
        caps.Size = sizeof caps - 4;   // refused whole: nothing of it is kept
        caps.NoDisplayInUI = WdfTrue;
        WdfDeviceSetPnpCapabilities(device, &caps);
        return STATUS_SUCCESS;
    };
    host::io::DeviceNode* node = fx.plug();
    ASSERT_NE(node, nullptr);
    EXPECT_TRUE(host::verifier_fired("structure-size-mismatch"));

    const WDF_DEVICE_PNP_CAPABILITIES& caps = host::wdf::device_of(node->pdo->upper)->pnp_capabilities;
    EXPECT_EQ(caps.SurpriseRemovalOK, WdfTrue);
    EXPECT_EQ(caps.Removable, WdfFalse);
    EXPECT_EQ(caps.NoDisplayInUI, WdfUseDefault);
    EXPECT_EQ(caps.LockSupported, WdfUseDefault);
    EXPECT_EQ(caps.UINumber, 7u);
    EXPECT_EQ(caps.Address, 3u);
}

TEST(PnpCapabilitiesInit, LeavesEveryValueToTheFramework)
{
    WDF_DEVICE_PNP_CAPABILITIES caps;
    memset(&caps, 0x5a, sizeof caps);
    WDF_DEVICE_PNP_CAPABILITIES_INIT(&caps);
    EXPECT_EQ(caps.Size, sizeof caps);
    const WDF_TRI_STATE yes_no[] = {caps.LockSupported, caps.EjectSupported, caps.Removable,
                                    caps.DockDevice, caps.UniqueID, caps.SilentInstall,
                                    caps.SurpriseRemovalOK, caps.HardwareDisabled, caps.NoDisplayInUI};
    for (WDF_TRI_STATE value : yes_no) EXPECT_EQ(value, WdfUseDefault);
    EXPECT_EQ(caps.Address, 0xFFFFFFFFu);
    EXPECT_EQ(caps.UINumber, 0xFFFFFFFFu);
    static_assert(sizeof(WDF_DEVICE_PNP_CAPABILITIES) == 12 * sizeof(ULONG));
}

}  // namespace
