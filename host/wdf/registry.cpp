// Registry key objects over the host's registry. The readers follow the
// documented length rules: a value that does not fit gives
// STATUS_BUFFER_OVERFLOW and the length it needs.
#include "host/wdf/internal.h"

#include "host/kernel/verifier.h"
#include "host/rtl/registry.h"
#include "host/rtl/strings.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace host::wdf {

struct FxKey : FxObject {
    static constexpr ObjectKind kKind = ObjectKind::key;
    FxKey() : FxObject(kKind) {}
    ~FxKey() override
    {
        if (handle != nullptr) host::reg::close_key(handle);
    }

    HANDLE handle = nullptr;
    std::u16string path() const { return host::reg::key_path_of(handle); }
};

NTSTATUS open_key(const std::u16string& path, ACCESS_MASK access, PWDF_OBJECT_ATTRIBUTES attributes,
                  FxObject* parent, const char* api, WDFKEY* out)
{
    *out = nullptr;
    HANDLE handle = nullptr;
    NTSTATUS status = host::reg::open_key(path, access, &handle);
    if (!NT_SUCCESS(status)) return status;
    FxKey* key = nullptr;
    status = create_object(attributes, parent, api, &key);
    if (!NT_SUCCESS(status)) {
        host::reg::close_key(handle);
        return status;
    }
    key->handle = handle;
    *out = key->handle_as<WDFKEY>();
    return STATUS_SUCCESS;
}

namespace {

// Resolves the key and checks the IRQL; *value receives the value, if it
// exists. The access mask is not checked: the framework's keys are kernel
// handles, and kernel-mode callers are granted any access on them.
NTSTATUS read_value(WDFKEY handle, PCUNICODE_STRING name, const char* api,
                    std::optional<host::reg::Value>* value)
{
    host::verify_irql_at_most(PASSIVE_LEVEL, api);
    FxKey* key = resolve<FxKey>(handle, api);
    if (key == nullptr) return STATUS_INVALID_HANDLE;
    if (name == nullptr) return STATUS_INVALID_PARAMETER;
    *value = host::reg::get_value(key->path(), host::view(*name));
    return *value ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

// The full path of KeyName, below ParentKey if one is given.
NTSTATUS key_path(WDFKEY ParentKey, PCUNICODE_STRING KeyName, const char* api, std::u16string* path)
{
    host::verify_irql_at_most(PASSIVE_LEVEL, api);
    if (KeyName == nullptr) return STATUS_INVALID_PARAMETER;
    *path = host::view(*KeyName);
    if (ParentKey != nullptr) {
        FxKey* parent = resolve<FxKey>(ParentKey, api);
        if (parent == nullptr) return STATUS_INVALID_HANDLE;
        *path = parent->path() + u"\\" + *path;
    }
    return STATUS_SUCCESS;
}

NTSTATUS write_value(WDFKEY handle, PCUNICODE_STRING name, ULONG type, const void* data, size_t size,
                     const char* api)
{
    host::verify_irql_at_most(PASSIVE_LEVEL, api);
    FxKey* key = resolve<FxKey>(handle, api);
    if (key == nullptr) return STATUS_INVALID_HANDLE;
    if (name == nullptr) return STATUS_INVALID_PARAMETER;
    auto* bytes = static_cast<const uint8_t*>(data);
    host::reg::set_value(key->path(), host::view(*name), {type, std::vector<uint8_t>(bytes, bytes + size)});
    return STATUS_SUCCESS;
}

}  // namespace

}  // namespace host::wdf

using namespace host::wdf;

WDFAPI NTSTATUS WdfRegistryOpenKey(WDFKEY ParentKey, PCUNICODE_STRING KeyName, ACCESS_MASK DesiredAccess,
                                   PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key)
{
    *Key = nullptr;
    std::u16string path;
    NTSTATUS status = key_path(ParentKey, KeyName, "WdfRegistryOpenKey", &path);
    if (!NT_SUCCESS(status)) return status;
    return open_key(path, DesiredAccess, KeyAttributes, current_driver(), "WdfRegistryOpenKey", Key);
}

WDFAPI NTSTATUS WdfRegistryCreateKey(WDFKEY ParentKey, PCUNICODE_STRING KeyName, ACCESS_MASK DesiredAccess,
                                     ULONG /*CreateOptions*/, PULONG CreateDisposition,
                                     PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key)
{
    *Key = nullptr;
    std::u16string path;
    NTSTATUS status = key_path(ParentKey, KeyName, "WdfRegistryCreateKey", &path);
    if (!NT_SUCCESS(status)) return status;
    bool existed = host::reg::key_exists(path);
    if (!existed) host::reg::create_key(path);
    if (CreateDisposition != nullptr) *CreateDisposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    return open_key(path, DesiredAccess, KeyAttributes, current_driver(), "WdfRegistryCreateKey", Key);
}

WDFAPI VOID WdfRegistryClose(WDFKEY Key)
{
    if (FxKey* key = resolve<FxKey>(Key, "WdfRegistryClose")) delete_object(key);
}

WDFAPI HANDLE WdfRegistryWdmGetHandle(WDFKEY Key)
{
    FxKey* key = resolve<FxKey>(Key, "WdfRegistryWdmGetHandle");
    return key != nullptr ? key->handle : nullptr;
}

WDFAPI NTSTATUS WdfRegistryRemoveValue(WDFKEY Key, PCUNICODE_STRING ValueName)
{
    host::verify_irql_at_most(PASSIVE_LEVEL, "WdfRegistryRemoveValue");
    FxKey* key = resolve<FxKey>(Key, "WdfRegistryRemoveValue");
    if (key == nullptr) return STATUS_INVALID_HANDLE;
    if (ValueName == nullptr) return STATUS_INVALID_PARAMETER;
    return host::reg::delete_value(key->path(), host::view(*ValueName)) ? STATUS_SUCCESS
                                                                         : STATUS_OBJECT_NAME_NOT_FOUND;
}

WDFAPI NTSTATUS WdfRegistryQueryValue(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG ValueLength,
                                      PVOID Value, PULONG ValueLengthQueried, PULONG ValueType)
{
    std::optional<host::reg::Value> value;
    NTSTATUS status = read_value(Key, ValueName, "WdfRegistryQueryValue", &value);
    if (!NT_SUCCESS(status)) return status;
    ULONG size = static_cast<ULONG>(value->data.size());
    if (ValueLengthQueried != nullptr) *ValueLengthQueried = size;
    if (ValueType != nullptr) *ValueType = value->type;
    if (Value == nullptr) return ValueLength == 0 ? STATUS_BUFFER_OVERFLOW : STATUS_INVALID_PARAMETER;
    if (ValueLength < size) return STATUS_BUFFER_OVERFLOW;
    std::memcpy(Value, value->data.data(), size);
    return STATUS_SUCCESS;
}

WDFAPI NTSTATUS WdfRegistryQueryMemory(WDFKEY Key, PCUNICODE_STRING ValueName, POOL_TYPE /*PoolType*/,
                                       PWDF_OBJECT_ATTRIBUTES MemoryAttributes, WDFMEMORY* Memory,
                                       PULONG ValueType)
{
    *Memory = nullptr;
    std::optional<host::reg::Value> value;
    NTSTATUS status = read_value(Key, ValueName, "WdfRegistryQueryMemory", &value);
    if (!NT_SUCCESS(status)) return status;
    if (ValueType != nullptr) *ValueType = value->type;
    if (value->data.empty()) return STATUS_INVALID_PARAMETER;
    return create_memory(MemoryAttributes, current_driver(), value->data.data(), value->data.size(), "WdfRegistryQueryMemory",
                         Memory);
}

WDFAPI NTSTATUS WdfRegistryQueryULong(WDFKEY Key, PCUNICODE_STRING ValueName, PULONG Value)
{
    std::optional<host::reg::Value> value;
    NTSTATUS status = read_value(Key, ValueName, "WdfRegistryQueryULong", &value);
    if (!NT_SUCCESS(status)) return status;
    if (value->type != REG_DWORD || value->data.size() != sizeof(ULONG)) return STATUS_OBJECT_TYPE_MISMATCH;
    std::memcpy(Value, value->data.data(), sizeof(ULONG));
    return STATUS_SUCCESS;
}

// ValueByteLength receives the data's size including the terminating NUL.
// A buffer too small gets what fits and STATUS_BUFFER_OVERFLOW. Length
// never counts a terminating NUL.
WDFAPI NTSTATUS WdfRegistryQueryUnicodeString(WDFKEY Key, PCUNICODE_STRING ValueName, PUSHORT ValueByteLength,
                                              PUNICODE_STRING Value)
{
    std::optional<host::reg::Value> value;
    NTSTATUS status = read_value(Key, ValueName, "WdfRegistryQueryUnicodeString", &value);
    if (!NT_SUCCESS(status)) return status;
    if (value->type != REG_SZ && value->type != REG_EXPAND_SZ) return STATUS_OBJECT_TYPE_MISMATCH;
    size_t size = std::min<size_t>(value->data.size(), MAXUSHORT);
    if (ValueByteLength != nullptr) *ValueByteLength = static_cast<USHORT>(size);
    if (Value == nullptr) return ValueByteLength != nullptr ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    size_t room = Value->Buffer != nullptr ? Value->MaximumLength : 0;
    size_t copied = std::min(size, room) & ~size_t(1);
    if (copied > 0) std::memcpy(Value->Buffer, value->data.data(), copied);
    size_t length = copied;
    while (length >= sizeof(WCHAR) && Value->Buffer[length / sizeof(WCHAR) - 1] == UNICODE_NULL)
        length -= sizeof(WCHAR);
    Value->Length = static_cast<USHORT>(length);
    return size > room ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

WDFAPI NTSTATUS WdfRegistryQueryString(WDFKEY Key, PCUNICODE_STRING ValueName, WDFSTRING String)
{
    std::optional<host::reg::Value> value;
    NTSTATUS status = read_value(Key, ValueName, "WdfRegistryQueryString", &value);
    if (!NT_SUCCESS(status)) return status;
    if (value->type != REG_SZ && value->type != REG_EXPAND_SZ) return STATUS_OBJECT_TYPE_MISMATCH;
    std::u16string text(value->data.size() / sizeof(char16_t), u'\0');
    std::memcpy(text.data(), value->data.data(), text.size() * sizeof(char16_t));
    while (!text.empty() && text.back() == u'\0') text.pop_back();
    return assign_string(String, text, "WdfRegistryQueryString");
}

WDFAPI NTSTATUS WdfRegistryAssignValue(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG ValueType,
                                       ULONG ValueLength, PVOID Value)
{
    return write_value(Key, ValueName, ValueType, Value, ValueLength, "WdfRegistryAssignValue");
}

WDFAPI NTSTATUS WdfRegistryAssignULong(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG Value)
{
    return write_value(Key, ValueName, REG_DWORD, &Value, sizeof Value, "WdfRegistryAssignULong");
}

WDFAPI NTSTATUS WdfRegistryAssignUnicodeString(WDFKEY Key, PCUNICODE_STRING ValueName, PCUNICODE_STRING Value)
{
    if (Value == nullptr) return STATUS_INVALID_PARAMETER;
    std::u16string text(host::view(*Value));
    text.push_back(u'\0');
    return write_value(Key, ValueName, REG_SZ, text.data(), text.size() * sizeof(char16_t),
                       "WdfRegistryAssignUnicodeString");
}
