// The in-memory registry through the host's interface and through the
// kernel routines drivers call.
#include <gtest/gtest.h>

#include <cstring>
#include "os_threads.h"

#include <ntddk.h>

#include "host/rtl/registry.h"
#include "host/rtl/strings.h"

namespace reg = host::reg;

namespace {

const std::u16string kParams = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\acm\\Parameters";
const std::u16string kDeviceMap = u"\\Registry\\Machine\\Hardware\\DeviceMap";

// Object attributes naming a key by its full path, for a kernel handle.
struct KeyName {
    explicit KeyName(PCWSTR path, HANDLE root = nullptr)
    {
        RtlInitUnicodeString(&name, path);
        InitializeObjectAttributes(&oa, &name, OBJ_KERNEL_HANDLE, root, nullptr);
    }
    KeyName(const KeyName&) = delete;
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES oa;
};

class Registry : public ::testing::Test {
protected:
    void SetUp() override { reg::reset(); }
    void TearDown() override { EXPECT_EQ(reg::open_handle_count(), 0u) << "a test leaked a key handle"; }

    static HANDLE open(const std::u16string& path)
    {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, host::as_wchar(path.c_str()));
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        HANDLE key = nullptr;
        EXPECT_EQ(ZwOpenKey(&key, KEY_READ, &oa), STATUS_SUCCESS) << host::to_utf8(path);
        return key;
    }
};

TEST_F(Registry, NamesAreCaseInsensitiveAndKeepTheirSpelling)
{
    reg::set_dword(kParams, u"DebugLevel", 4);
    EXPECT_EQ(reg::as_dword(*reg::get_value(kParams, u"debuglevel")), 4u);
    const std::u16string upper = u"\\REGISTRY\\MACHINE\\SYSTEM\\CURRENTCONTROLSET\\SERVICES\\ACM\\PARAMETERS";
    EXPECT_TRUE(reg::key_exists(upper));
    reg::set_dword(upper, u"DEBUGLEVEL", 5);
    const auto all = reg::values(kParams);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].first, u"DebugLevel");   // the first spelling stays
    EXPECT_EQ(reg::as_dword(all[0].second), 5u);
}

TEST_F(Registry, ValuesKeepCreationOrderAndTheDefaultValueHasNoName)
{
    reg::set_string(kParams, u"b", u"2");
    reg::set_string(kParams, u"", u"default");
    reg::set_value(kParams, u"a", reg::multi_string_value({u"x", u"yz"}));
    const auto all = reg::values(kParams);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].first, u"b");
    EXPECT_EQ(all[1].first, u"");
    EXPECT_EQ(*reg::as_string(*reg::get_value(kParams, u"")), u"default");
    EXPECT_EQ(all[2].second.data.size(), 12u);   // x\0yz\0\0 in UTF-16
    EXPECT_EQ(all[2].second.type, static_cast<ULONG>(REG_MULTI_SZ));
}

TEST_F(Registry, DeleteValuesAndSubtrees)
{
    reg::set_dword(kParams, u"x", 1);
    EXPECT_TRUE(reg::delete_value(kParams, u"X"));
    EXPECT_FALSE(reg::delete_value(kParams, u"x"));
    reg::create_key(kParams + u"\\Deep\\Er");
    reg::delete_key(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\ACM");
    EXPECT_FALSE(reg::key_exists(kParams));
    EXPECT_TRUE(reg::key_exists(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services"));
    reg::delete_key(kParams);   // absent: nothing happens
}

TEST_F(Registry, SubkeysSortCaseInsensitively)
{
    for (auto name : {u"beta", u"Alpha", u"gamma"})
        reg::create_key(kDeviceMap + u"\\" + name);
    EXPECT_EQ(reg::subkeys(kDeviceMap), (std::vector<std::u16string>{u"Alpha", u"beta", u"gamma"}));
}

TEST_F(Registry, ResetGivesTheSkeletonBack)
{
    reg::set_dword(kParams, u"x", 1);
    reg::reset();
    EXPECT_FALSE(reg::key_exists(kParams));
    EXPECT_TRUE(reg::key_exists(kDeviceMap));
    EXPECT_TRUE(reg::key_exists(u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion"));
}

TEST_F(Registry, RelativePathsAreRefused)
{
    EXPECT_THROW(reg::set_dword(u"Machine\\System", u"x", 1), std::invalid_argument);
    EXPECT_THROW(reg::key_exists(u"\\Device\\Serial0"), std::invalid_argument);
    HANDLE key;
    EXPECT_EQ(reg::open_key(u"Machine", KEY_READ, &key), STATUS_OBJECT_PATH_SYNTAX_BAD);
}

TEST_F(Registry, OpenCreateAndClose)
{
    KeyName serialcomm(L"\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM");
    OBJECT_ATTRIBUTES& oa = serialcomm.oa;
    HANDLE key;
    EXPECT_EQ(ZwOpenKey(&key, KEY_READ, &oa), STATUS_OBJECT_NAME_NOT_FOUND);
    ULONG disposition = 0;
    ASSERT_EQ(ZwCreateKey(&key, KEY_ALL_ACCESS, &oa, 0, nullptr, REG_OPTION_VOLATILE, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_CREATED_NEW_KEY));
    EXPECT_NE(reinterpret_cast<uintptr_t>(key) & 0x80000000u, 0u);   // a kernel handle
    HANDLE again;
    ASSERT_EQ(ZwCreateKey(&again, KEY_ALL_ACCESS, &oa, 0, nullptr, 0, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_OPENED_EXISTING_KEY));
    EXPECT_NE(key, again);
    EXPECT_EQ(ZwClose(again), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(key), STATUS_INVALID_HANDLE);
}

TEST_F(Registry, CreateNeedsTheParent)
{
    KeyName child(L"\\Registry\\Machine\\Nope\\Child");
    HANDLE key;
    EXPECT_EQ(ZwCreateKey(&key, KEY_ALL_ACCESS, &child.oa, 0, nullptr, 0, nullptr), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(reg::key_exists(u"\\Registry\\Machine\\Nope"));
}

TEST_F(Registry, OpenRelativeToARootHandleAndReportCanonicalPath)
{
    reg::create_key(kParams);
    HANDLE services = open(u"\\registry\\machine\\system\\currentcontrolset\\services");
    EXPECT_EQ(reg::key_path_of(services), u"\\Registry\\Machine\\System\\CurrentControlSet\\Services");
    KeyName relative(L"acm\\Parameters", services);
    HANDLE params;
    ASSERT_EQ(ZwOpenKey(&params, KEY_READ, &relative.oa), STATUS_SUCCESS);
    EXPECT_EQ(reg::key_path_of(params), kParams);
    ZwClose(params);
    ZwClose(services);
    EXPECT_EQ(reg::key_path_of(params), u"");
}

TEST_F(Registry, QueryPartialInformationSizes)
{
    reg::set_dword(kParams, u"DebugLevel", 0x11223344);
    HANDLE key = open(kParams);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"debuglevel");
    UCHAR buffer[64];
    std::memset(buffer, 0xEE, sizeof buffer);
    ULONG needed = 0;
    const ULONG full = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) + sizeof(ULONG);

    // The fixed part does not fit: nothing is written.
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, 11, &needed), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, full);
    EXPECT_EQ(buffer[0], 0xEE);

    // The fixed part fits, the data only partly.
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, 14, &needed), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(needed, full);
    const auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
    EXPECT_EQ(info->Type, static_cast<ULONG>(REG_DWORD));
    EXPECT_EQ(info->DataLength, 4u);
    EXPECT_EQ(info->Data[0], 0x44);
    EXPECT_EQ(info->Data[1], 0x33);
    EXPECT_EQ(info->Data[2], 0xEE);

    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, full, &needed), STATUS_SUCCESS);
    ULONG value;
    std::memcpy(&value, info->Data, sizeof value);
    EXPECT_EQ(value, 0x11223344u);

    RtlInitUnicodeString(&name, L"Missing");
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof buffer, &needed),
              STATUS_OBJECT_NAME_NOT_FOUND);
    ZwClose(key);
}

TEST_F(Registry, QueryFullAndBasicInformationLayouts)
{
    reg::set_string(kParams, u"PortName", u"COM5");
    HANDLE key = open(kParams);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"PORTNAME");
    alignas(8) UCHAR buffer[128];
    ULONG needed;
    ASSERT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, buffer, sizeof buffer, &needed), STATUS_SUCCESS);
    const auto* full = reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(buffer);
    EXPECT_EQ(full->NameLength, 16u);
    EXPECT_EQ(std::u16string(host::as_u16(full->Name), 8), u"PortName");   // the stored spelling
    EXPECT_EQ(full->DataOffset % sizeof(ULONG), 0u);
    EXPECT_GE(full->DataOffset, 20u + 16u);
    EXPECT_EQ(full->DataLength, 10u);
    EXPECT_EQ(std::u16string(host::as_u16(reinterpret_cast<PCWSTR>(buffer + full->DataOffset))), u"COM5");
    EXPECT_EQ(needed, full->DataOffset + 10u);

    ASSERT_EQ(ZwQueryValueKey(key, &name, KeyValueBasicInformation, buffer, sizeof buffer, &needed), STATUS_SUCCESS);
    const auto* basic = reinterpret_cast<KEY_VALUE_BASIC_INFORMATION*>(buffer);
    EXPECT_EQ(basic->Type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(needed, 12u + 16u);
    EXPECT_EQ(ZwQueryValueKey(key, &name, (KEY_VALUE_INFORMATION_CLASS)99, buffer, sizeof buffer, &needed),
              STATUS_INVALID_PARAMETER);
    ZwClose(key);
}

// A value may hold no data at all (an empty REG_BINARY, a PortName written
// without even its NUL): every layout reports it with length 0.
TEST_F(Registry, QueryValueWithoutData)
{
    reg::set_value(kParams, u"PortName", reg::Value{ REG_SZ, {} });
    HANDLE key = open(kParams);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"PortName");
    alignas(8) UCHAR buffer[64];
    ULONG needed;
    ASSERT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof buffer, &needed),
              STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer)->DataLength, 0u);
    ASSERT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, buffer, sizeof buffer, &needed), STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(buffer)->DataLength, 0u);
    ZwClose(key);
}

TEST_F(Registry, SetAndDeleteThroughAHandle)
{
    reg::create_key(kParams);
    HANDLE key = open(kParams);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"Blob");
    UCHAR data[] = {1, 2, 3};
    EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_BINARY, data, sizeof data), STATUS_SUCCESS);
    EXPECT_EQ(reg::get_value(kParams, u"blob")->data, std::vector<uint8_t>({1, 2, 3}));
    EXPECT_EQ(ZwDeleteValueKey(key, &name), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteValueKey(key, &name), STATUS_OBJECT_NAME_NOT_FOUND);
    ZwClose(key);
}

TEST_F(Registry, HandleToADeletedKeyFails)
{
    reg::create_key(kParams);
    HANDLE key = open(kParams);
    reg::delete_key(kParams);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"x");
    ULONG v = 1, needed;
    EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, &v, sizeof v), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, &v, sizeof v, &needed), STATUS_KEY_DELETED);
    EXPECT_FALSE(reg::key_exists(kParams));   // not brought back by the write
    reg::create_key(kParams);                 // a new key of the same name is another key
    EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, &v, sizeof v), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(Registry, RtlWriteCreatesTheLastKeyOnly)
{
    WCHAR port[] = L"COM5";
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\acm_AcmSerial0", REG_SZ,
                                    port, sizeof port),
              STATUS_SUCCESS);
    EXPECT_EQ(*reg::as_string(*reg::get_value(kDeviceMap + u"\\SERIALCOMM", u"\\Device\\acm_AcmSerial0")), u"COM5");
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"No\\Such", L"x", REG_SZ, port, sizeof port),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_DEVICEMAP, (PWSTR)L"SERIALCOMM"), STATUS_SUCCESS);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP | RTL_REGISTRY_OPTIONAL, L"SERIALCOMM",
                                     L"\\Device\\acm_AcmSerial0"),
              STATUS_SUCCESS);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\acm_AcmSerial0"),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"Absent", L"x"), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(Registry, RtlRelativeRoots)
{
    ULONG one = 1;
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, L"acm", L"Start", REG_DWORD, &one, sizeof one),
              STATUS_SUCCESS);
    EXPECT_TRUE(reg::get_value(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\acm", u"Start"));
    EXPECT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_CONTROL, (PWSTR)L"\\Class"), STATUS_SUCCESS);
    EXPECT_TRUE(reg::key_exists(u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class"));
    EXPECT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_WINDOWS_NT, (PWSTR)L"Ports"), STATUS_SUCCESS);
    EXPECT_TRUE(reg::key_exists(u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Ports"));
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_ABSOLUTE, (PWSTR)L"\\Registry\\Machine\\Hardware"), STATUS_SUCCESS);
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_USER, (PWSTR)L"Nothing"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_MAXIMUM, (PWSTR)L"x"), STATUS_INVALID_PARAMETER);
}

TEST_F(Registry, RtlWriteThroughAHandle)
{
    reg::create_key(kParams);
    HANDLE key = open(kParams);
    ULONG v = 7;
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, (PCWSTR)key, L"Seven", REG_DWORD, &v, sizeof v),
              STATUS_SUCCESS);
    EXPECT_EQ(reg::as_dword(*reg::get_value(kParams, u"Seven")), 7u);
    ZwClose(key);
}

// Registry calls come from any host thread; each is atomic on its own.
TEST(RegistryThreads, ConcurrentWritersAndReaders)
{
    reg::reset();
    constexpr int kThreads = 4, kRounds = 300;
    porttest::on_os_threads(kThreads, [](int t) {
        const std::u16string name = u"v" + std::u16string(1, u'0' + t);
        for (int i = 0; i < kRounds; ++i) {
            reg::set_dword(kParams, name, static_cast<ULONG>(i));
            HANDLE key;
            ASSERT_EQ(reg::open_key(kParams, KEY_READ, &key), STATUS_SUCCESS);
            EXPECT_EQ(reg::as_dword(*reg::get_value(reg::key_path_of(key), name)), static_cast<ULONG>(i));
            reg::close_key(key);
        }
    });
    EXPECT_EQ(reg::values(kParams).size(), static_cast<size_t>(kThreads));
    EXPECT_EQ(reg::open_handle_count(), 0u);
}

}  // namespace
