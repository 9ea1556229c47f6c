// String objects: a counted string in framework-owned pool memory. The
// buffer of the UNICODE_STRING that WdfStringGetUnicodeString hands out
// stays valid until the object is deleted or its text is replaced.
#include "host/wdf/internal.h"

#include "host/kernel/pool.h"
#include "host/rtl/strings.h"

#include <cstring>

namespace host::wdf {

struct FxString : FxObject {
    static constexpr ObjectKind kKind = ObjectKind::string;
    FxString() : FxObject(kKind) {}
    ~FxString() override { host::pool_free(text.Buffer); }

    UNICODE_STRING text{};
};

namespace {

constexpr WCHAR kStringGuard = u'\uFFFD';   // the replacement character: never a NUL

// Replaces the text. The framework promises no terminating NUL, so the
// string has none: the character after the buffer is kGuard, and a driver
// that reads the text as NUL-terminated runs into it.
NTSTATUS assign(FxString* string, std::u16string_view text, const char* api)
{
    size_t bytes = text.size() * sizeof(char16_t);
    if (bytes > MAXUSHORT - 1) return STATUS_INVALID_PARAMETER;
    auto* buffer = static_cast<PWCH>(allocate_object_memory(bytes + sizeof(WCHAR), api));
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(buffer, text.data(), bytes);
    buffer[text.size()] = kStringGuard;
    host::pool_free(string->text.Buffer);
    string->text.Buffer = buffer;
    string->text.Length = static_cast<USHORT>(bytes);
    string->text.MaximumLength = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS assign_string(WDFSTRING handle, std::u16string_view text, const char* api)
{
    FxString* string = resolve<FxString>(handle, api);
    if (string == nullptr) return STATUS_INVALID_HANDLE;
    return assign(string, text, api);
}

}  // namespace host::wdf

using namespace host::wdf;

WDFAPI NTSTATUS WdfStringCreate(PCUNICODE_STRING UnicodeString, PWDF_OBJECT_ATTRIBUTES StringAttributes,
                                WDFSTRING* String)
{
    *String = nullptr;
    FxString* string = nullptr;
    NTSTATUS status = create_object(StringAttributes, current_driver(), "WdfStringCreate", &string);
    if (!NT_SUCCESS(status)) return status;
    if (UnicodeString != nullptr) {
        status = assign(string, host::view(*UnicodeString), "WdfStringCreate");
        if (!NT_SUCCESS(status)) {
            discard_object(string);
            return status;
        }
    }
    *String = string->handle_as<WDFSTRING>();
    return STATUS_SUCCESS;
}

WDFAPI VOID WdfStringGetUnicodeString(WDFSTRING String, PUNICODE_STRING UnicodeString)
{
    FxString* string = resolve<FxString>(String, "WdfStringGetUnicodeString");
    *UnicodeString = string != nullptr ? string->text : UNICODE_STRING{};
}
