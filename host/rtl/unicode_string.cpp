// Counted-string routines of the run-time library.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "host/include/ntstatus.h"
#include "host/include/wdk/rtl.h"
#include "host/rtl/strings.h"

using host::view;

namespace {

constexpr USHORT kMaxCountedBytes = 0xFFFE;  // largest even USHORT

// Copies `text` into `dest`'s buffer, NUL-terminated if room remains; the
// caller has checked that the text itself fits.
void store(PUNICODE_STRING dest, std::u16string_view text)
{
    std::memcpy(dest->Buffer, text.data(), text.size() * sizeof(WCHAR));
    dest->Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    if (dest->Length + sizeof(WCHAR) <= dest->MaximumLength)
        dest->Buffer[text.size()] = UNICODE_NULL;
}

NTSTATUS append(PUNICODE_STRING dest, std::u16string_view text)
{
    const size_t bytes = dest->Length + text.size() * sizeof(WCHAR);
    if (bytes > dest->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    std::u16string joined(view(*dest));
    joined += text;
    store(dest, joined);
    return STATUS_SUCCESS;
}

// Gives `dest` a buffer of `bytes` bytes: its own one, or a new allocation.
NTSTATUS provide_buffer(PUNICODE_STRING dest, size_t bytes, BOOLEAN allocate)
{
    if (allocate) {
        if (bytes > kMaxCountedBytes)
            return STATUS_INVALID_PARAMETER;
        dest->Buffer = static_cast<PWCH>(std::calloc(1, bytes));
        if (!dest->Buffer)
            return STATUS_NO_MEMORY;
        dest->MaximumLength = static_cast<USHORT>(bytes);
    } else if (bytes > dest->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    return STATUS_SUCCESS;
}

int digit_value(WCHAR c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    return 99;
}

}  // namespace

EXTERN_C VOID RtlInitUnicodeString(PUNICODE_STRING dest, PCWSTR source)
{
    const size_t bytes = std::min<size_t>(view(source).size() * sizeof(WCHAR), kMaxCountedBytes - 2);
    dest->Buffer = const_cast<PWCH>(source);
    dest->Length = source ? static_cast<USHORT>(bytes) : 0;
    dest->MaximumLength = source ? static_cast<USHORT>(bytes + sizeof(WCHAR)) : 0;
}

EXTERN_C VOID RtlInitAnsiString(PANSI_STRING dest, PCSZ source)
{
    const size_t bytes = source ? std::min<size_t>(std::strlen(source), MAXUSHORT - 1) : 0;
    dest->Buffer = const_cast<PCHAR>(source);
    dest->Length = static_cast<USHORT>(bytes);
    dest->MaximumLength = source ? static_cast<USHORT>(bytes + 1) : 0;
}

EXTERN_C VOID RtlInitString(PSTRING dest, PCSZ source) { RtlInitAnsiString(dest, source); }

EXTERN_C VOID RtlCopyUnicodeString(PUNICODE_STRING dest, PCUNICODE_STRING source)
{
    if (!source || !source->Buffer) {
        dest->Length = 0;
        return;
    }
    const size_t fits = dest->MaximumLength / sizeof(WCHAR);
    store(dest, view(*source).substr(0, fits));
}

EXTERN_C NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING dest, PCWSTR source)
{
    return append(dest, view(source));
}

EXTERN_C NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING dest, PCUNICODE_STRING source)
{
    return append(dest, view(*source));
}

EXTERN_C LONG RtlCompareUnicodeString(PCUNICODE_STRING s1, PCUNICODE_STRING s2, BOOLEAN case_insensitive)
{
    const auto a = view(*s1), b = view(*s2);
    for (size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
        const WCHAR x = case_insensitive ? host::upcase(a[i]) : a[i];
        const WCHAR y = case_insensitive ? host::upcase(b[i]) : b[i];
        if (x != y)
            return static_cast<LONG>(x) - static_cast<LONG>(y);
    }
    return static_cast<LONG>(a.size()) - static_cast<LONG>(b.size());
}

EXTERN_C BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING s1, PCUNICODE_STRING s2, BOOLEAN case_insensitive)
{
    return s1->Length == s2->Length && RtlCompareUnicodeString(s1, s2, case_insensitive) == 0;
}

EXTERN_C BOOLEAN RtlPrefixUnicodeString(PCUNICODE_STRING prefix, PCUNICODE_STRING s, BOOLEAN case_insensitive)
{
    if (prefix->Length > s->Length)
        return FALSE;
    const auto head = view(*s).substr(0, prefix->Length / sizeof(WCHAR));
    return case_insensitive ? host::iequals(head, view(*prefix)) : head == view(*prefix);
}

EXTERN_C WCHAR RtlUpcaseUnicodeChar(WCHAR c) { return host::upcase(c); }

EXTERN_C NTSTATUS RtlUpcaseUnicodeString(PUNICODE_STRING dest, PCUNICODE_STRING source, BOOLEAN allocate)
{
    const std::u16string upper = host::upcase(view(*source));
    const NTSTATUS status = provide_buffer(dest, source->Length, allocate);
    if (!NT_SUCCESS(status))
        return status;
    std::memcpy(dest->Buffer, upper.data(), source->Length);
    dest->Length = source->Length;
    return STATUS_SUCCESS;
}

// [whitespace] [+|-] [0x|0o|0b when Base is 0] digits; the first character
// that is not a digit of the base ends the number.
EXTERN_C NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING string, ULONG base, PULONG value)
{
    auto text = view(*string);
    if (base != 0 && base != 2 && base != 8 && base != 10 && base != 16)
        return STATUS_INVALID_PARAMETER;
    if (text.empty())
        return STATUS_INVALID_PARAMETER;
    while (!text.empty() && text.front() <= u' ')
        text.remove_prefix(1);
    bool negative = false;
    if (!text.empty() && (text.front() == u'-' || text.front() == u'+')) {
        negative = text.front() == u'-';
        text.remove_prefix(1);
    }
    if (base == 0) {
        base = 10;
        if (text.size() >= 2 && text[0] == u'0') {
            const ULONG prefixed = text[1] == u'x' ? 16 : text[1] == u'o' ? 8 : text[1] == u'b' ? 2 : 0;
            if (prefixed) {
                base = prefixed;
                text.remove_prefix(2);
            }
        }
    }
    ULONG total = 0;
    for (WCHAR c : text) {
        const int digit = digit_value(c);
        if (digit >= static_cast<int>(base))
            break;
        total = total * base + static_cast<ULONG>(digit);
    }
    *value = negative ? 0u - total : total;
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS RtlIntegerToUnicodeString(ULONG value, ULONG base, PUNICODE_STRING string)
{
    if (base == 0)
        base = 10;
    if (base != 2 && base != 8 && base != 10 && base != 16)
        return STATUS_INVALID_PARAMETER;
    std::u16string digits;
    do {
        digits.insert(digits.begin(), u"0123456789ABCDEF"[value % base]);
        value /= base;
    } while (value);
    if ((digits.size() + 1) * sizeof(WCHAR) > string->MaximumLength)
        return STATUS_BUFFER_OVERFLOW;
    store(string, digits);
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING dest, PCANSI_STRING source, BOOLEAN allocate)
{
    // The ANSI code page of the host is taken to be Latin-1: one byte, one
    // character. The NUL is stored when there is room for it.
    const size_t bytes = source->Length * sizeof(WCHAR);
    if (bytes + sizeof(WCHAR) > kMaxCountedBytes)
        return STATUS_INVALID_PARAMETER_2;
    const NTSTATUS status = provide_buffer(dest, allocate ? bytes + sizeof(WCHAR) : bytes, allocate);
    if (!NT_SUCCESS(status))
        return status;
    std::u16string text;
    for (USHORT i = 0; i < source->Length; ++i)
        text.push_back(static_cast<unsigned char>(source->Buffer[i]));
    store(dest, text);
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING dest, PCUNICODE_STRING source, BOOLEAN allocate)
{
    const auto text = view(*source);
    const size_t bytes = text.size() + 1;
    if (allocate) {
        dest->Buffer = static_cast<PCHAR>(std::calloc(1, bytes));
        if (!dest->Buffer)
            return STATUS_NO_MEMORY;
        dest->MaximumLength = static_cast<USHORT>(bytes);
    } else if (bytes > dest->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < text.size(); ++i)
        dest->Buffer[i] = text[i] < 0x100 ? static_cast<char>(text[i]) : '?';
    dest->Buffer[text.size()] = ANSI_NULL;
    dest->Length = static_cast<USHORT>(text.size());
    return STATUS_SUCCESS;
}

EXTERN_C VOID RtlFreeUnicodeString(PUNICODE_STRING s)
{
    std::free(s->Buffer);
    s->Buffer = nullptr;
    s->Length = s->MaximumLength = 0;
}

EXTERN_C VOID RtlFreeAnsiString(PANSI_STRING s)
{
    std::free(s->Buffer);
    s->Buffer = nullptr;
    s->Length = s->MaximumLength = 0;
}

EXTERN_C SIZE_T RtlCompareMemory(const VOID* source1, const VOID* source2, SIZE_T length)
{
    const auto* a = static_cast<const UCHAR*>(source1);
    const auto* b = static_cast<const UCHAR*>(source2);
    SIZE_T same = 0;
    while (same < length && a[same] == b[same])
        ++same;
    return same;
}
