// The kernel's registry routines (Zw* and RtlXxxRegistry*) over the
// in-memory registry.
#include <algorithm>
#include <cstring>

#include "host/include/ntstatus.h"
#include "host/include/wdk/reg.h"
#include "host/include/wdk/rtl.h"
#include "host/rtl/registry.h"
#include "host/rtl/strings.h"

using host::view;
namespace reg = host::reg;

namespace {

// The absolute path that object attributes name (relative to RootDirectory if given).
NTSTATUS object_path(const OBJECT_ATTRIBUTES* attributes, std::u16string* path)
{
    if (!attributes || !attributes->ObjectName)
        return STATUS_INVALID_PARAMETER;
    const auto name = view(*attributes->ObjectName);
    if (!attributes->RootDirectory) {
        *path = name;
        return STATUS_SUCCESS;
    }
    *path = reg::key_path_of(attributes->RootDirectory);
    if (path->empty())
        return STATUS_INVALID_HANDLE;
    if (!name.empty())
        *path += u"\\" + std::u16string(name);
    return STATUS_SUCCESS;
}

// The absolute path for an RtlXxxRegistry call.
NTSTATUS rtl_path(ULONG relative_to, PCWSTR path, std::u16string* out)
{
    relative_to &= ~RTL_REGISTRY_OPTIONAL;
    if (relative_to & RTL_REGISTRY_HANDLE)
        return reg::handle_key(reinterpret_cast<HANDLE>(const_cast<PWSTR>(path)), out);
    static constexpr std::u16string_view kBases[] = {
        u"",
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Services",
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Control",
        u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion",
        u"\\Registry\\Machine\\Hardware\\DeviceMap",
        u"\\Registry\\User\\.Default",
    };
    if (relative_to >= RTL_REGISTRY_MAXIMUM || !path)
        return STATUS_INVALID_PARAMETER;
    auto relative = view(path);
    if (relative_to == RTL_REGISTRY_ABSOLUTE) {
        *out = relative;
        return STATUS_SUCCESS;
    }
    if (!relative.empty() && relative.front() == u'\\')
        relative.remove_prefix(1);
    *out = kBases[relative_to];
    if (!relative.empty())
        *out += u"\\" + std::u16string(relative);
    return STATUS_SUCCESS;
}

NTSTATUS open_or_create(const std::u16string& path, bool create, HANDLE* key)
{
    if (!create)
        return reg::open_key(path, KEY_ALL_ACCESS, key);
    return reg::create_key(path, KEY_ALL_ACCESS, key, nullptr);
}

// The information record of one value, laid out as ZwQueryValueKey returns it.
NTSTATUS value_record(KEY_VALUE_INFORMATION_CLASS info_class, std::u16string_view name,
                      const reg::Value& v, std::vector<uint8_t>* image, size_t* fixed_size)
{
    const auto name_bytes = static_cast<ULONG>(name.size() * sizeof(WCHAR));
    const auto data_bytes = static_cast<ULONG>(v.data.size());
    switch (info_class) {
    case KeyValueBasicInformation: {
        *fixed_size = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
        image->assign(*fixed_size + name_bytes, 0);
        const ULONG head[3] = {0, v.type, name_bytes};
        std::memcpy(image->data(), head, sizeof head);
        std::copy_n(reinterpret_cast<const uint8_t*>(name.data()), name_bytes, image->data() + *fixed_size);
        return STATUS_SUCCESS;
    }
    case KeyValueFullInformation: {
        *fixed_size = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
        const auto data_offset = static_cast<ULONG>(ALIGN_UP_BY(*fixed_size + name_bytes, sizeof(ULONG)));
        image->assign(data_offset + data_bytes, 0);
        const ULONG head[5] = {0, v.type, data_offset, data_bytes, name_bytes};
        std::memcpy(image->data(), head, sizeof head);
        std::copy_n(reinterpret_cast<const uint8_t*>(name.data()), name_bytes, image->data() + *fixed_size);
        std::copy_n(v.data.begin(), data_bytes, image->data() + data_offset);   // empty data has no storage
        return STATUS_SUCCESS;
    }
    case KeyValuePartialInformation: {
        *fixed_size = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
        image->assign(*fixed_size + data_bytes, 0);
        const ULONG head[3] = {0, v.type, data_bytes};
        std::memcpy(image->data(), head, sizeof head);
        std::copy_n(v.data.begin(), data_bytes, image->data() + *fixed_size);   // empty data has no storage
        return STATUS_SUCCESS;
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

}  // namespace

EXTERN_C NTSTATUS ZwOpenKey(PHANDLE key, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes)
{
    std::u16string path;
    const NTSTATUS status = object_path(attributes, &path);
    return NT_SUCCESS(status) ? reg::open_key(path, access, key) : status;
}

EXTERN_C NTSTATUS ZwCreateKey(PHANDLE key, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, ULONG,
                              PUNICODE_STRING, ULONG, PULONG disposition)
{
    std::u16string path;
    const NTSTATUS status = object_path(attributes, &path);
    return NT_SUCCESS(status) ? reg::create_key(path, access, key, disposition) : status;
}

EXTERN_C NTSTATUS ZwQueryValueKey(HANDLE key, PUNICODE_STRING value_name,
                                  KEY_VALUE_INFORMATION_CLASS info_class, PVOID info, ULONG length,
                                  PULONG result_length)
{
    std::u16string path;
    NTSTATUS status = reg::handle_key(key, &path);
    if (!NT_SUCCESS(status))
        return status;
    const auto name = value_name ? view(*value_name) : std::u16string_view();
    const auto value = reg::get_value(path, name);
    if (!value)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    // The record carries the value's name as it is stored.
    std::u16string stored_name(name);
    for (const auto& [n, v] : reg::values(path))
        if (host::iequals(n, name))
            stored_name = n;
    std::vector<uint8_t> image;
    size_t fixed_size = 0;
    status = value_record(info_class, stored_name, *value, &image, &fixed_size);
    if (!NT_SUCCESS(status))
        return status;
    *result_length = static_cast<ULONG>(image.size());
    if (length < fixed_size)
        return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(info, image.data(), std::min<size_t>(length, image.size()));
    return length < image.size() ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

EXTERN_C NTSTATUS ZwSetValueKey(HANDLE key, PUNICODE_STRING value_name, ULONG, ULONG type, PVOID data,
                                ULONG size)
{
    std::u16string path;
    const NTSTATUS status = reg::handle_key(key, &path);
    if (!NT_SUCCESS(status))
        return status;
    if (size && !data)
        return STATUS_INVALID_PARAMETER;
    const auto* bytes = static_cast<const uint8_t*>(data);
    reg::set_value(path, value_name ? view(*value_name) : std::u16string_view(),
                   {type, std::vector<uint8_t>(bytes, bytes + size)});
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS ZwDeleteValueKey(HANDLE key, PUNICODE_STRING value_name)
{
    std::u16string path;
    const NTSTATUS status = reg::handle_key(key, &path);
    if (!NT_SUCCESS(status))
        return status;
    return reg::delete_value(path, value_name ? view(*value_name) : std::u16string_view())
               ? STATUS_SUCCESS
               : STATUS_OBJECT_NAME_NOT_FOUND;
}

EXTERN_C NTSTATUS ZwClose(HANDLE handle) { return reg::close_key(handle); }

// Writes the value, creating the key itself (not its parents) if needed.
EXTERN_C NTSTATUS RtlWriteRegistryValue(ULONG relative_to, PCWSTR path, PCWSTR value_name,
                                        ULONG type, PVOID data, ULONG length)
{
    std::u16string key_path;
    NTSTATUS status = rtl_path(relative_to, path, &key_path);
    if (!NT_SUCCESS(status))
        return status;
    HANDLE key;
    status = open_or_create(key_path, !(relative_to & RTL_REGISTRY_HANDLE), &key);
    if (!NT_SUCCESS(status))
        return status;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, value_name);
    status = ZwSetValueKey(key, &name, 0, type, data, length);
    reg::close_key(key);
    return status;
}

EXTERN_C NTSTATUS RtlDeleteRegistryValue(ULONG relative_to, PCWSTR path, PCWSTR value_name)
{
    std::u16string key_path;
    NTSTATUS status = rtl_path(relative_to, path, &key_path);
    if (!NT_SUCCESS(status))
        return status;
    HANDLE key;
    status = reg::open_key(key_path, KEY_ALL_ACCESS, &key);
    if (!NT_SUCCESS(status))
        return status;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, value_name);
    status = ZwDeleteValueKey(key, &name);
    reg::close_key(key);
    return status;
}

EXTERN_C NTSTATUS RtlCheckRegistryKey(ULONG relative_to, PWSTR path)
{
    std::u16string key_path;
    const NTSTATUS status = rtl_path(relative_to, path, &key_path);
    if (!NT_SUCCESS(status))
        return status;
    HANDLE key;
    if (reg::open_key(key_path, KEY_READ, &key) != STATUS_SUCCESS)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    reg::close_key(key);
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS RtlCreateRegistryKey(ULONG relative_to, PWSTR path)
{
    std::u16string key_path;
    NTSTATUS status = rtl_path(relative_to, path, &key_path);
    if (!NT_SUCCESS(status))
        return status;
    HANDLE key;
    status = reg::create_key(key_path, KEY_ALL_ACCESS, &key, nullptr);
    if (NT_SUCCESS(status))
        reg::close_key(key);
    return status;
}
