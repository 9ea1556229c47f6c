// The safe-string routines of ntstrsafe.h, over narrow and 16-bit wide text.
#include <algorithm>
#include <cstring>
#include <string>
#include <type_traits>

#include "host/include/ntstrsafe.h"
#include "host/rtl/format.h"
#include "host/rtl/strings.h"

namespace {

template <typename T>
using Text = std::basic_string_view<T>;

// The host's character type for a buffer: char, or char16_t for WCHAR.
template <typename T>
using Unit = std::conditional_t<std::is_same_v<T, wchar_t>, char16_t, T>;

template <typename T>
Unit<T>* units(T* p) { return reinterpret_cast<Unit<T>*>(p); }
template <typename T>
const Unit<T>* units(const T* p) { return reinterpret_cast<const Unit<T>*>(p); }

bool valid_cch(size_t cch) { return cch != 0 && cch <= NTSTRSAFE_MAX_CCH; }

template <typename T>
size_t cch_of_cb(size_t cb)
{
    return cb > NTSTRSAFE_MAX_CCH * sizeof(T) ? 0 : cb / sizeof(T);
}

// Writes `text` NUL-terminated into `cch` characters, truncating it if needed.
template <typename U>
NTSTATUS write_terminated(U* dest, size_t cch, Text<U> text)
{
    const size_t n = std::min(text.size(), cch - 1);
    std::memcpy(dest, text.data(), n * sizeof(U));
    dest[n] = U(0);
    return n < text.size() ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

template <typename T>
NTSTATUS copy(T* dest, size_t cch, const T* src)
{
    if (!dest || !src || !valid_cch(cch))
        return STATUS_INVALID_PARAMETER;
    return write_terminated(units(dest), cch, Text<Unit<T>>(units(src)));
}

template <typename T>
NTSTATUS cat(T* dest, size_t cch, const T* src)
{
    if (!dest || !src || !valid_cch(cch))
        return STATUS_INVALID_PARAMETER;
    const size_t used = Text<Unit<T>>(units(dest), cch).find(Unit<T>(0));
    if (used == Text<Unit<T>>::npos)   // the destination is not terminated within its size
        return STATUS_INVALID_PARAMETER;
    return write_terminated(units(dest) + used, cch - used, Text<Unit<T>>(units(src)));
}

template <typename T>
NTSTATUS vprint(T* dest, size_t cch, const T* format, va_list args)
{
    if (!dest || !format || !valid_cch(cch))
        return STATUS_INVALID_PARAMETER;
    const auto text = host::format_windows(units(format), args);
    return write_terminated(units(dest), cch, Text<Unit<T>>(text));
}

template <typename T>
NTSTATUS length(const T* s, size_t cch_max, size_t* out_cch)
{
    const size_t n = s && cch_max <= NTSTRSAFE_MAX_CCH
                         ? Text<Unit<T>>(units(s), cch_max).find(Unit<T>(0))
                         : Text<Unit<T>>::npos;
    if (out_cch)
        *out_cch = n == Text<Unit<T>>::npos ? 0 : n;
    return n == Text<Unit<T>>::npos ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
}

// --- counted strings ---

bool valid_counted(PCUNICODE_STRING s)
{
    return s && (s->Buffer || (s->Length == 0 && s->MaximumLength == 0)) && s->Length % 2 == 0 &&
           s->MaximumLength % 2 == 0 && s->Length <= s->MaximumLength &&
           s->MaximumLength <= NTSTRSAFE_UNICODE_STRING_MAX_CCH * sizeof(WCHAR);
}

// Stores `text` at character `offset` of `dest`, as much as fits; Length
// covers what was stored.
NTSTATUS put_counted(PUNICODE_STRING dest, size_t offset, std::u16string_view text)
{
    const size_t capacity = dest->MaximumLength / sizeof(WCHAR);
    if (capacity == 0 && !text.empty())
        return STATUS_INVALID_PARAMETER;
    const size_t n = std::min(text.size(), capacity - offset);
    std::memcpy(dest->Buffer + offset, text.data(), n * sizeof(WCHAR));
    dest->Length = static_cast<USHORT>((offset + n) * sizeof(WCHAR));
    return n < text.size() ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

}  // namespace

// --- formatting ---

#define VA_FORWARD(call)         \
    va_list args;                \
    va_start(args, pszFormat);   \
    const NTSTATUS status = call; \
    va_end(args);                \
    return status

NTSTRSAFEDDI RtlStringCbPrintfA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszFormat, ...)
{
    VA_FORWARD(vprint(pszDest, cch_of_cb<char>(cbDest), pszFormat, args));
}

NTSTRSAFEDDI RtlStringCbPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszFormat, ...)
{
    VA_FORWARD(vprint(pszDest, cch_of_cb<wchar_t>(cbDest), pszFormat, args));
}

NTSTRSAFEDDI RtlStringCchPrintfA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszFormat, ...)
{
    VA_FORWARD(vprint(pszDest, cchDest, pszFormat, args));
}

NTSTRSAFEDDI RtlStringCchPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszFormat, ...)
{
    VA_FORWARD(vprint(pszDest, cchDest, pszFormat, args));
}

NTSTRSAFEDDI RtlUnicodeStringPrintf(PUNICODE_STRING DestinationString, NTSTRSAFE_PCWSTR pszFormat, ...)
{
    VA_FORWARD(RtlUnicodeStringVPrintf(DestinationString, pszFormat, args));
}

NTSTRSAFEDDI RtlStringCbVPrintfA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszFormat, va_list argList)
{
    return vprint(pszDest, cch_of_cb<char>(cbDest), pszFormat, argList);
}

NTSTRSAFEDDI RtlStringCbVPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszFormat, va_list argList)
{
    return vprint(pszDest, cch_of_cb<wchar_t>(cbDest), pszFormat, argList);
}

NTSTRSAFEDDI RtlStringCchVPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszFormat, va_list argList)
{
    return vprint(pszDest, cchDest, pszFormat, argList);
}

NTSTRSAFEDDI RtlUnicodeStringVPrintf(PUNICODE_STRING DestinationString, NTSTRSAFE_PCWSTR pszFormat, va_list argList)
{
    if (!valid_counted(DestinationString) || !pszFormat)
        return STATUS_INVALID_PARAMETER;
    return put_counted(DestinationString, 0, host::format_windows(units(pszFormat), argList));
}

// --- copying and concatenation ---

NTSTRSAFEDDI RtlStringCbCopyA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszSrc)
{
    return copy(pszDest, cch_of_cb<char>(cbDest), pszSrc);
}

NTSTRSAFEDDI RtlStringCbCopyW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc)
{
    return copy(pszDest, cch_of_cb<wchar_t>(cbDest), pszSrc);
}

NTSTRSAFEDDI RtlStringCchCopyA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszSrc)
{
    return copy(pszDest, cchDest, pszSrc);
}

NTSTRSAFEDDI RtlStringCchCopyW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc)
{
    return copy(pszDest, cchDest, pszSrc);
}

NTSTRSAFEDDI RtlStringCbCopyUnicodeString(NTSTRSAFE_PWSTR pszDest, size_t cbDest, PCUNICODE_STRING SourceString)
{
    const size_t cch = cbDest / sizeof(WCHAR);
    if (!pszDest || cch == 0 || cch > NTSTRSAFE_UNICODE_STRING_MAX_CCH || !valid_counted(SourceString))
        return STATUS_INVALID_PARAMETER;
    return write_terminated(units(pszDest), cch, host::view(*SourceString));
}

NTSTRSAFEDDI RtlStringCbCatA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszSrc)
{
    return cat(pszDest, cch_of_cb<char>(cbDest), pszSrc);
}

NTSTRSAFEDDI RtlStringCbCatW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc)
{
    return cat(pszDest, cch_of_cb<wchar_t>(cbDest), pszSrc);
}

NTSTRSAFEDDI RtlStringCchCatW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc)
{
    return cat(pszDest, cchDest, pszSrc);
}

NTSTRSAFEDDI RtlUnicodeStringCopy(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (!valid_counted(DestinationString) || !valid_counted(SourceString))
        return STATUS_INVALID_PARAMETER;
    return put_counted(DestinationString, 0, host::view(*SourceString));
}

NTSTRSAFEDDI RtlUnicodeStringCopyString(PUNICODE_STRING DestinationString, NTSTRSAFE_PCWSTR pszSrc)
{
    if (!valid_counted(DestinationString) || !pszSrc)
        return STATUS_INVALID_PARAMETER;
    return put_counted(DestinationString, 0, host::view(pszSrc));
}

NTSTRSAFEDDI RtlUnicodeStringCat(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (!valid_counted(DestinationString) || !valid_counted(SourceString))
        return STATUS_INVALID_PARAMETER;
    return put_counted(DestinationString, DestinationString->Length / sizeof(WCHAR),
                       host::view(*SourceString));
}

NTSTRSAFEDDI RtlUnicodeStringCatString(PUNICODE_STRING DestinationString, NTSTRSAFE_PCWSTR pszSrc)
{
    if (!valid_counted(DestinationString) || !pszSrc)
        return STATUS_INVALID_PARAMETER;
    return put_counted(DestinationString, DestinationString->Length / sizeof(WCHAR), host::view(pszSrc));
}

// --- lengths ---

NTSTRSAFEDDI RtlStringCbLengthA(NTSTRSAFE_PCSTR psz, size_t cbMax, size_t* pcbLength)
{
    return length(psz, cbMax, pcbLength);
}

NTSTRSAFEDDI RtlStringCbLengthW(NTSTRSAFE_PCWSTR psz, size_t cbMax, size_t* pcbLength)
{
    if (cbMax > NTSTRSAFE_MAX_CCH * sizeof(WCHAR))
        return length<wchar_t>(nullptr, 0, pcbLength);
    const NTSTATUS status = length(psz, cbMax / sizeof(WCHAR), pcbLength);
    if (pcbLength)
        *pcbLength *= sizeof(WCHAR);
    return status;
}

NTSTRSAFEDDI RtlStringCchLengthW(NTSTRSAFE_PCWSTR psz, size_t cchMax, size_t* pcchLength)
{
    return length(psz, cchMax, pcchLength);
}
