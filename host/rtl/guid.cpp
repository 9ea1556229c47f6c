// GUID text form: {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/include/ntstatus.h"
#include "host/include/wdk/rtl.h"
#include "host/rtl/strings.h"

namespace {

constexpr size_t kGuidChars = 38;

// Reads `count` hex digits at text[pos]; false on any other character.
bool hex_field(std::u16string_view text, size_t pos, size_t count, uint64_t* out)
{
    uint64_t v = 0;
    for (size_t i = pos; i < pos + count; ++i) {
        const char16_t c = text[i];
        const int d = c >= '0' && c <= '9' ? c - '0'
                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                             : -1;
        if (d < 0)
            return false;
        v = v * 16 + static_cast<uint64_t>(d);
    }
    *out = v;
    return true;
}

}  // namespace

EXTERN_C NTSTATUS RtlStringFromGUID(REFGUID guid, PUNICODE_STRING text)
{
    char narrow[kGuidChars + 1];
    snprintf(narrow, sizeof narrow, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
             guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2],
             guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    const size_t bytes = (kGuidChars + 1) * sizeof(WCHAR);
    text->Buffer = static_cast<PWCH>(std::malloc(bytes));
    if (!text->Buffer)
        return STATUS_NO_MEMORY;
    for (size_t i = 0; i <= kGuidChars; ++i)
        text->Buffer[i] = static_cast<unsigned char>(narrow[i]);
    text->Length = kGuidChars * sizeof(WCHAR);
    text->MaximumLength = bytes;
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS RtlGUIDFromString(PCUNICODE_STRING string, GUID* guid)
{
    const auto text = host::view(*string);
    if (text.size() != kGuidChars || text[0] != u'{' || text[9] != u'-' || text[14] != u'-' ||
        text[19] != u'-' || text[24] != u'-' || text[37] != u'}')
        return STATUS_INVALID_PARAMETER;
    uint64_t data1, data2, data3, b[8];
    static constexpr size_t kBytePos[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    bool ok = hex_field(text, 1, 8, &data1) && hex_field(text, 10, 4, &data2) &&
              hex_field(text, 15, 4, &data3);
    for (size_t i = 0; ok && i < 8; ++i)
        ok = hex_field(text, kBytePos[i], 2, &b[i]);
    if (!ok)
        return STATUS_INVALID_PARAMETER;
    guid->Data1 = static_cast<ULONG>(data1);
    guid->Data2 = static_cast<USHORT>(data2);
    guid->Data3 = static_cast<USHORT>(data3);
    for (size_t i = 0; i < 8; ++i)
        guid->Data4[i] = static_cast<UCHAR>(b[i]);
    return STATUS_SUCCESS;
}
