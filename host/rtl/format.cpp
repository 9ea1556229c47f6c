#include "host/rtl/format.h"

#include <cstdint>
#include <cstdio>
#include <string_view>
#include <type_traits>

#include "host/include/ntdef.h"
#include "host/rtl/strings.h"

namespace host {

namespace {

enum class Size { none, hh, h, l, ll, ptr, i32, wide, long_double };

struct Spec {
    bool left = false, plus = false, space = false, alt = false, zero = false;
    int width = 0;
    int precision = -1;  // -1: none
    Size size = Size::none;
    char conv = 0;
};

template <typename Ch>
using Text = std::basic_string<Ch>;

// Text of either width in the output's width: UTF-8 for narrow output.
template <typename Ch>
Text<Ch> convert(std::u16string_view s)
{
    if constexpr (std::is_same_v<Ch, char16_t>)
        return Text<Ch>(s);
    else
        return to_utf8(s);
}

template <typename Ch>
Text<Ch> convert(std::string_view s)
{
    if constexpr (std::is_same_v<Ch, char>)
        return Text<Ch>(s);
    else
        return to_u16(s);
}

template <typename Ch>
Text<Ch> widen_ascii(std::string_view s)
{
    return Text<Ch>(s.begin(), s.end());
}

template <typename Ch>
std::basic_string_view<Ch> limited(const Ch* s, int precision)
{
    size_t n = 0;
    while ((precision < 0 || n < static_cast<size_t>(precision)) && s[n])
        ++n;
    return {s, n};
}

// Appends `body` padded to the field width: zeros go after the sign or
// prefix (the first `prefix_len` characters), spaces before or after all.
template <typename Ch>
void pad(Text<Ch>& out, const Spec& spec, Text<Ch> body, size_t prefix_len = 0, bool zero_fill = false)
{
    const size_t width = spec.width > 0 ? static_cast<size_t>(spec.width) : 0;
    const size_t fill = body.size() < width ? width - body.size() : 0;
    if (spec.left) {
        out += body;
        out.append(fill, Ch(' '));
    } else if (zero_fill) {
        body.insert(prefix_len, fill, Ch('0'));
        out += body;
    } else {
        out.append(fill, Ch(' '));
        out += body;
    }
}

// Whether a string/character conversion takes the wide form, given the
// width of the function (`wide_fn`), the conversion letter and modifiers.
bool wide_argument(const Spec& spec, bool wide_fn)
{
    if (spec.size == Size::h || spec.size == Size::hh)
        return false;
    if (spec.size == Size::l || spec.size == Size::wide)
        return true;
    const bool upper = spec.conv == 'S' || spec.conv == 'C';
    return wide_fn != upper;
}

template <typename Ch>
void put_string(Text<Ch>& out, const Spec& spec, va_list* ap, bool wide_fn)
{
    const void* p = va_arg(*ap, const void*);
    if (!p)
        pad(out, spec, convert<Ch>(limited("(null)", spec.precision)));
    else if (wide_argument(spec, wide_fn))
        pad(out, spec, convert<Ch>(limited(static_cast<const char16_t*>(p), spec.precision)));
    else
        pad(out, spec, convert<Ch>(limited(static_cast<const char*>(p), spec.precision)));
}

// %Z: a counted string; %wZ (or %lZ) a UNICODE_STRING, otherwise an ANSI_STRING.
template <typename Ch>
void put_counted(Text<Ch>& out, const Spec& spec, va_list* ap)
{
    const bool wide = spec.size == Size::l || spec.size == Size::wide;
    const void* p = va_arg(*ap, const void*);
    auto limit = [&](size_t n) {
        return spec.precision >= 0 ? std::min(n, static_cast<size_t>(spec.precision)) : n;
    };
    if (wide) {
        const auto* us = static_cast<const UNICODE_STRING*>(p);
        if (us && us->Buffer) {
            pad(out, spec, convert<Ch>(view(*us).substr(0, limit(us->Length / sizeof(WCHAR)))));
            return;
        }
    } else {
        const auto* as = static_cast<const ANSI_STRING*>(p);
        if (as && as->Buffer) {
            pad(out, spec, convert<Ch>(std::string_view(as->Buffer, limit(as->Length))));
            return;
        }
    }
    pad(out, spec, widen_ascii<Ch>("(null)"));
}

template <typename Ch>
void put_char(Text<Ch>& out, const Spec& spec, va_list* ap, bool wide_fn)
{
    const int c = va_arg(*ap, int);
    if (wide_argument(spec, wide_fn)) {
        const char16_t w = static_cast<char16_t>(c);
        pad(out, spec, convert<Ch>(std::u16string_view(&w, 1)));
    } else {
        const char n = static_cast<char>(c);
        if constexpr (std::is_same_v<Ch, char>)
            pad(out, spec, std::string(1, n));
        else  // a single byte: the ANSI code page, taken as Latin-1
            pad(out, spec, std::u16string(1, static_cast<unsigned char>(n)));
    }
}

// A promoted argument cut to the type `Narrow`, then sign- or zero-extended.
template <typename Narrow>
uint64_t extend(unsigned v, bool is_signed)
{
    const auto narrow = static_cast<Narrow>(v);
    return is_signed ? static_cast<uint64_t>(static_cast<int64_t>(narrow))
                     : static_cast<std::make_unsigned_t<Narrow>>(narrow);
}

// Fetches an integer argument of the size the modifiers give.
uint64_t fetch_integer(const Spec& spec, va_list* ap, bool is_signed)
{
    switch (spec.size) {
    case Size::ll:
    case Size::ptr: return va_arg(*ap, unsigned long long);
    case Size::hh: return extend<signed char>(va_arg(*ap, unsigned), is_signed);
    case Size::h: return extend<short>(va_arg(*ap, unsigned), is_signed);
    default: return extend<int32_t>(va_arg(*ap, unsigned), is_signed);   // long is 32 bits too
    }
}

template <typename Ch>
void put_integer(Text<Ch>& out, const Spec& spec, va_list* ap)
{
    const bool is_signed = spec.conv == 'd' || spec.conv == 'i';
    const uint64_t raw = fetch_integer(spec, ap, is_signed);
    const bool negative = is_signed && static_cast<int64_t>(raw) < 0;
    uint64_t magnitude = negative ? 0 - raw : raw;

    const unsigned base = spec.conv == 'o' ? 8 : (spec.conv == 'x' || spec.conv == 'X') ? 16 : 10;
    const char* digits = spec.conv == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string text;
    for (; magnitude; magnitude /= base)
        text.insert(text.begin(), digits[magnitude % base]);

    // The precision is a minimum digit count; precision 0 prints 0 as nothing.
    const size_t min_digits = spec.precision < 0 ? 1 : static_cast<size_t>(spec.precision);
    if (text.size() < min_digits)
        text.insert(0, min_digits - text.size(), '0');

    std::string prefix;
    if (negative)
        prefix = "-";
    else if (is_signed && spec.plus)
        prefix = "+";
    else if (is_signed && spec.space)
        prefix = " ";
    if (spec.alt && raw != 0 && base == 16)
        prefix += spec.conv == 'X' ? "0X" : "0x";
    if (spec.alt && base == 8 && text[0] != '0')
        text.insert(text.begin(), '0');

    const bool zero_fill = spec.zero && !spec.left && spec.precision < 0;
    pad(out, spec, widen_ascii<Ch>(prefix + text), prefix.size(), zero_fill);
}

template <typename Ch>
void put_pointer(Text<Ch>& out, const Spec& spec, va_list* ap)
{
    const auto value = reinterpret_cast<uintptr_t>(va_arg(*ap, void*));
    char text[2 * sizeof(void*) + 1];
    snprintf(text, sizeof text, "%0*llX", static_cast<int>(2 * sizeof(void*)),
             static_cast<unsigned long long>(value));
    pad(out, spec, widen_ascii<Ch>(text));
}

template <typename Ch>
void put_float(Text<Ch>& out, const Spec& spec, va_list* ap)
{
    const double value = spec.size == Size::long_double ? static_cast<double>(va_arg(*ap, long double))
                                                        : va_arg(*ap, double);
    std::string fmt = "%";
    if (spec.left) fmt += '-';
    if (spec.plus) fmt += '+';
    if (spec.space) fmt += ' ';
    if (spec.alt) fmt += '#';
    if (spec.zero) fmt += '0';
    fmt += spec.precision < 0 ? "*" : "*.*";
    fmt += spec.conv;
    char text[512];
    if (spec.precision < 0)
        snprintf(text, sizeof text, fmt.c_str(), spec.width, value);
    else
        snprintf(text, sizeof text, fmt.c_str(), spec.width, spec.precision, value);
    out += widen_ascii<Ch>(text);
}

template <typename Ch>
int parse_number(const Ch*& p)
{
    int n = 0;
    while (*p >= Ch('0') && *p <= Ch('9'))
        n = n * 10 + (*p++ - Ch('0'));
    return n;
}

template <typename Ch>
Size parse_size(const Ch*& p)
{
    auto at = [&](const char* s) {
        for (size_t i = 0; s[i]; ++i)
            if (p[i] != Ch(s[i]))
                return false;
        return true;
    };
    switch (*p) {
    case 'h':
        if (p[1] == Ch('h')) { p += 2; return Size::hh; }
        ++p; return Size::h;
    case 'l':
        if (p[1] == Ch('l')) { p += 2; return Size::ll; }
        ++p; return Size::l;
    case 'w': ++p; return Size::wide;
    case 'L': ++p; return Size::long_double;
    case 'z': case 't': case 'j': ++p; return Size::ll;
    case 'I':
        if (at("I64")) { p += 3; return Size::ll; }
        if (at("I32")) { p += 3; return Size::i32; }
        ++p; return Size::ptr;
    default:
        return Size::none;
    }
}

// Parses one directive after its '%'; leaves `p` on the conversion letter.
template <typename Ch>
Spec parse_spec(const Ch*& p, va_list* ap)
{
    Spec spec;
    for (;; ++p) {
        if (*p == Ch('-')) spec.left = true;
        else if (*p == Ch('+')) spec.plus = true;
        else if (*p == Ch(' ')) spec.space = true;
        else if (*p == Ch('#')) spec.alt = true;
        else if (*p == Ch('0')) spec.zero = true;
        else break;
    }
    if (*p == Ch('*')) {
        ++p;
        spec.width = va_arg(*ap, int);
        if (spec.width < 0) {  // a negative '*' width means left-justified
            spec.left = true;
            spec.width = -spec.width;
        }
    } else {
        spec.width = parse_number(p);
    }
    if (*p == Ch('.')) {
        ++p;
        if (*p == Ch('*')) {
            ++p;
            spec.precision = va_arg(*ap, int);
            if (spec.precision < 0)
                spec.precision = -1;
        } else {
            spec.precision = parse_number(p);
        }
    }
    spec.size = parse_size(p);
    spec.conv = static_cast<char>(*p);
    return spec;
}

template <typename Ch>
Text<Ch> format(const Ch* fmt, va_list args)
{
    constexpr bool wide_fn = std::is_same_v<Ch, char16_t>;
    Text<Ch> out;
    if (!fmt)
        return out;
    va_list ap;
    va_copy(ap, args);
    for (const Ch* p = fmt; *p; ++p) {
        if (*p != Ch('%')) {
            out.push_back(*p);
            continue;
        }
        ++p;
        const Spec spec = parse_spec(p, &ap);
        switch (spec.conv) {
        case 0: --p; break;  // a lone '%' at the end prints nothing
        case '%': out.push_back(Ch('%')); break;
        case 'd': case 'i': case 'u': case 'o': case 'x': case 'X': put_integer(out, spec, &ap); break;
        case 'p': put_pointer(out, spec, &ap); break;
        case 's': case 'S': put_string(out, spec, &ap, wide_fn); break;
        case 'Z': put_counted(out, spec, &ap); break;
        case 'c': case 'C': put_char(out, spec, &ap, wide_fn); break;
        case 'e': case 'E': case 'f': case 'F': case 'g': case 'G': case 'a': case 'A':
            put_float(out, spec, &ap);
            break;
        case 'n': (void)va_arg(ap, void*); break;  // never writes through the pointer
        default: out.push_back(*p); break;    // an unknown conversion prints itself
        }
    }
    va_end(ap);
    return out;
}

}  // namespace

std::u16string format_windows(const char16_t* fmt, va_list args) { return format(fmt, args); }
std::string format_windows(const char* fmt, va_list args) { return format(fmt, args); }

}  // namespace host
