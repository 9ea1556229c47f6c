// The kernel CRT's wide-string routines for a 16-bit WCHAR. rtl.h maps the
// CRT names onto these, so driver code never reaches the C library's
// versions, which assume a 32-bit wchar_t.
#include <cerrno>

#include "host/include/wdk/rtl.h"
#include "host/rtl/strings.h"

namespace {

int compare(const wchar_t* a, const wchar_t* b, size_t n, bool fold)
{
    for (size_t i = 0; i < n; ++i) {
        const unsigned x = fold ? host::upcase(a[i]) : static_cast<char16_t>(a[i]);
        const unsigned y = fold ? host::upcase(b[i]) : static_cast<char16_t>(b[i]);
        if (x != y)
            return x < y ? -1 : 1;
        if (!x)
            return 0;
    }
    return 0;
}

}  // namespace

EXTERN_C size_t host_wcslen16(const wchar_t* s) { return host::view(s).size(); }

EXTERN_C size_t host_wcsnlen16(const wchar_t* s, size_t max)
{
    size_t n = 0;
    while (n < max && s[n])
        ++n;
    return n;
}

EXTERN_C int host_wcscmp16(const wchar_t* a, const wchar_t* b) { return compare(a, b, SIZE_MAX, false); }
EXTERN_C int host_wcsncmp16(const wchar_t* a, const wchar_t* b, size_t n) { return compare(a, b, n, false); }
EXTERN_C int host_wcsicmp16(const wchar_t* a, const wchar_t* b) { return compare(a, b, SIZE_MAX, true); }
EXTERN_C int host_wcsnicmp16(const wchar_t* a, const wchar_t* b, size_t n) { return compare(a, b, n, true); }

EXTERN_C wchar_t* host_wcscpy16(wchar_t* dest, const wchar_t* src)
{
    size_t i = 0;
    do
        dest[i] = src[i];
    while (src[i++]);
    return dest;
}

// Copies at most n characters and pads the rest of the n with NULs.
EXTERN_C wchar_t* host_wcsncpy16(wchar_t* dest, const wchar_t* src, size_t n)
{
    size_t i = 0;
    for (; i < n && src[i]; ++i)
        dest[i] = src[i];
    for (; i < n; ++i)
        dest[i] = 0;
    return dest;
}

EXTERN_C wchar_t* host_wcscat16(wchar_t* dest, const wchar_t* src)
{
    host_wcscpy16(dest + host_wcslen16(dest), src);
    return dest;
}

EXTERN_C wchar_t* host_wcschr16(const wchar_t* s, wchar_t c)
{
    for (;; ++s) {
        if (*s == c)
            return const_cast<wchar_t*>(s);
        if (!*s)
            return nullptr;
    }
}

EXTERN_C wchar_t* host_wcsrchr16(const wchar_t* s, wchar_t c)
{
    const wchar_t* last = nullptr;
    for (;; ++s) {
        if (*s == c)
            last = s;
        if (!*s)
            return const_cast<wchar_t*>(last);
    }
}

EXTERN_C wchar_t* host_wcsstr16(const wchar_t* s, const wchar_t* find)
{
    const auto pos = host::view(s).find(host::view(find));
    return pos == std::u16string_view::npos ? nullptr : const_cast<wchar_t*>(s + pos);
}

// The bounds-checked forms: EINVAL for bad arguments, ERANGE (and an empty
// destination) when the result does not fit.
EXTERN_C int host_wcscpy_s16(wchar_t* dest, size_t size, const wchar_t* src)
{
    if (!dest || size == 0)
        return EINVAL;
    if (!src) {
        dest[0] = 0;
        return EINVAL;
    }
    if (host_wcslen16(src) >= size) {
        dest[0] = 0;
        return ERANGE;
    }
    host_wcscpy16(dest, src);
    return 0;
}

EXTERN_C int host_wcscat_s16(wchar_t* dest, size_t size, const wchar_t* src)
{
    if (!dest || size == 0)
        return EINVAL;
    const size_t used = host_wcsnlen16(dest, size);
    if (!src || used == size) {
        dest[0] = 0;
        return EINVAL;
    }
    if (used + host_wcslen16(src) >= size) {
        dest[0] = 0;
        return ERANGE;
    }
    host_wcscpy16(dest + used, src);
    return 0;
}
