// Seeded random inputs for the two parsers of outside text: printf formats
// (checked against the C library where the two define the same result) and
// Registry Editor files (which must load or fail cleanly, and round-trip).
#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include <ntddk.h>

#include "format_call.h"
#include "host/rtl/registry.h"
#include "host/rtl/strings.h"

namespace {

std::string windows_wide(const char* f, ...)
{
    const std::u16string wide_format = host::to_u16(f);
    va_list ap;
    va_start(ap, f);
    std::u16string s = host::format_windows(wide_format.c_str(), ap);
    va_end(ap);
    return host::to_utf8(s);
}

std::string c_library(const char* f, ...)
{
    char buffer[512];
    va_list ap;
    va_start(ap, f);
    vsnprintf(buffer, sizeof buffer, f, ap);
    va_end(ap);
    return buffer;
}

// One random integer directive in both spellings: Windows ("%I64x") and C ("%llx").
struct Directive {
    std::string windows, c;
    bool star_width, star_precision, wide_value;
};

Directive random_directive(std::mt19937_64& rng)
{
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<uint64_t>(n)); };
    std::string flags;
    for (char flag : std::string("-+ #0"))
        if (pick(3) == 0)
            flags += flag;
    Directive d{"%" + flags, "%" + flags, false, false, false};
    auto both = [&](const std::string& s) { d.windows += s; d.c += s; };
    if (pick(4) == 0) {
        d.star_width = true;
        both("*");
    } else if (pick(2) == 0) {
        both(std::to_string(pick(20)));
    }
    if (pick(4) == 0) {
        d.star_precision = true;
        both(".*");
    } else if (pick(3) == 0) {
        both("." + std::to_string(pick(20)));
    }
    switch (pick(4)) {
    case 0: both("h"); break;
    case 1: both("hh"); break;
    case 2: d.wide_value = true; d.windows += "I64"; d.c += "ll"; break;
    default: break;
    }
    both(std::string(1, "diuoxX"[pick(6)]));
    return d;
}

template <typename Fn>
std::string call(Fn fn, const Directive& d, const std::string& f, int width, int precision, long long value)
{
    const char* s = f.c_str();
    const int v = static_cast<int>(value);
    if (d.star_width && d.star_precision)
        return d.wide_value ? fn(s, width, precision, value) : fn(s, width, precision, v);
    if (d.star_width)
        return d.wide_value ? fn(s, width, value) : fn(s, width, v);
    if (d.star_precision)
        return d.wide_value ? fn(s, precision, value) : fn(s, precision, v);
    return d.wide_value ? fn(s, value) : fn(s, v);
}

TEST(FormatFuzz, IntegerDirectivesAgreeWithTheCLibrary)
{
    std::mt19937_64 rng(1);
    for (int i = 0; i < 20000; ++i) {
        const Directive d = random_directive(rng);
        const int width = static_cast<int>(rng() % 41) - 20;
        const int precision = static_cast<int>(rng() % 31) - 10;
        const long long value = rng() % 4 == 0 ? 0 : static_cast<long long>(rng()) >> (rng() % 64);
        const std::string expected = call(c_library, d, d.c, width, precision, value);
        ASSERT_EQ(call(fmt<char>, d, d.windows, width, precision, value), expected)
            << d.windows << " width " << width << " precision " << precision << " value " << value;
        ASSERT_EQ(call(windows_wide, d, d.windows, width, precision, value), expected) << d.windows;
    }
}

constexpr char kSeed[] =
    "Windows Registry Editor Version 5.00\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\acm\\Parameters]\n"
    "\"DebugLevel\"=dword:00000004\n"
    "@=\"a \\\"quoted\\\" \\\\ text\"\n"
    "\"Bin\"=hex:00,11,22,\\\n"
    "  33\n"
    "\"Multi\"=hex(7):41,00,00,00,00,00\n"
    "; comment\n"
    "[-HKEY_LOCAL_MACHINE\\Gone]\n"
    "[HKLM\\Hardware\\DeviceMap\\SERIALCOMM]\n"
    "\"\\\\Device\\\\Serial0\"=\"COM1\"\n"
    "\"Old\"=-\n";

std::string mutate(std::string text, std::mt19937_64& rng)
{
    static const std::string kAlphabet = "[]\"\\=@-:,;()\n x0fF7bh";
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits && !text.empty(); ++e) {
        const size_t at = rng() % text.size();
        switch (rng() % 4) {
        case 0: text[at] = kAlphabet[rng() % kAlphabet.size()]; break;
        case 1: text.insert(at, 1, kAlphabet[rng() % kAlphabet.size()]); break;
        case 2: text.erase(at, 1 + rng() % 8); break;
        default: text.resize(at); break;
        }
    }
    return text;
}

TEST(RegFileFuzz, MutatedFilesLoadOrFailCleanlyAndRoundTrip)
{
    std::mt19937_64 rng(2);
    int loaded = 0;
    for (int i = 0; i < 3000; ++i) {
        host::reg::reset();
        const std::string text = mutate(kSeed, rng);
        try {
            host::reg::load_reg_text(text);
        } catch (const std::runtime_error&) {
            continue;   // a clean refusal
        }
        ++loaded;
        const std::string dumped = host::reg::dump(u"\\Registry\\Machine");
        host::reg::reset();
        host::reg::delete_key(u"\\Registry\\Machine");   // the file may have deleted skeleton keys
        host::reg::load_reg_text(dumped);
        ASSERT_EQ(host::reg::dump(u"\\Registry\\Machine"), dumped) << text;
    }
    EXPECT_GT(loaded, 100);   // the mutations leave many files valid
}

}  // namespace
