#include "host/rtl/strings.h"

namespace host {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void append_utf16(std::u16string& out, char32_t cp)
{
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
}

void append_utf8(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Decodes one UTF-8 sequence at text[i]; advances i. Overlong forms,
// surrogates and truncated sequences decode to U+FFFD, one byte consumed.
char32_t decode_utf8(std::string_view text, size_t& i)
{
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
        ++i;
        return lead;
    }
    const int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC2 ? 1 : -1;
    if (extra < 0 || lead >= 0xF5 || i + extra >= text.size()) {
        ++i;
        return kReplacement;
    }
    char32_t cp = lead & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
        const auto c = static_cast<unsigned char>(text[i + k]);
        if ((c & 0xC0) != 0x80) {
            ++i;
            return kReplacement;
        }
        cp = (cp << 6) | (c & 0x3F);
    }
    static constexpr char32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMinimum[extra] || (cp >= 0xD800 && cp < 0xE000) || cp > 0x10FFFF) {
        ++i;
        return kReplacement;
    }
    i += extra + 1;
    return cp;
}

}  // namespace

std::u16string to_u16(std::string_view utf8)
{
    std::u16string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();)
        append_utf16(out, decode_utf8(utf8, i));
    return out;
}

std::string to_utf8(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t cp = text[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp < 0xE000) {
            cp = kReplacement;
        }
        append_utf8(out, cp);
    }
    return out;
}

std::u16string_view view(PCWSTR s)
{
    return s ? std::u16string_view(as_u16(s)) : std::u16string_view();
}

std::u16string_view view(const UNICODE_STRING& s)
{
    if (!s.Buffer)
        return {};
    return std::u16string_view(as_u16(s.Buffer), s.Length / sizeof(WCHAR));
}

std::u16string to_u16(const UNICODE_STRING* s)
{
    return s ? std::u16string(view(*s)) : std::u16string();
}

char16_t upcase(char16_t c)
{
    if (c < 'a')
        return c;
    if (c <= 'z')
        return c - 0x20;
    if (c < 0xE0)
        return c == 0xB5 ? 0x39C : c;                     // micro sign
    if (c <= 0xFE)
        return c == 0xF7 ? c : c - 0x20;                  // Latin-1, except the division sign
    if (c == 0xFF)
        return 0x178;
    if (c < 0x180) {                                      // Latin Extended-A: case pairs
        const bool even_is_lower = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        if (c == 0x131)
            return 'I';
        if (c == 0x17F)
            return 'S';
        if (c == 0x138 || c == 0x149)
            return c;
        return even_is_lower ? (c % 2 == 0 ? c - 1 : c) : (c % 2 == 1 ? c - 1 : c);
    }
    if (c >= 0x3B1 && c <= 0x3CB)                         // Greek
        return c == 0x3C2 ? 0x3A3 : c - 0x20;
    if (c >= 0x430 && c <= 0x44F)                         // Cyrillic
        return c - 0x20;
    if (c >= 0x450 && c <= 0x45F)
        return c - 0x50;
    if (c >= 0xFF41 && c <= 0xFF5A)                       // full-width Latin
        return c - 0x20;
    return c;
}

std::u16string upcase(std::u16string_view text)
{
    std::u16string out(text);
    for (auto& c : out)
        c = upcase(c);
    return out;
}

bool iequals(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (upcase(a[i]) != upcase(b[i]))
            return false;
    return true;
}

std::string_view trim_blanks(std::string_view s)
{
    const size_t start = s.find_first_not_of(" \t\r");
    if (start == std::string_view::npos)
        return {};
    const size_t end = s.find_last_not_of(" \t\r");
    return s.substr(start, end - start + 1);
}

}  // namespace host
