// The Windows printf engine: the conversions kernel code relies on, and the
// places where Windows and the C library disagree (32-bit %lx, %s/%S by
// function width, %wZ, %p, "(null)").
#include <gtest/gtest.h>

#include <climits>

#include <ntddk.h>

#include "format_call.h"

namespace {

TEST(FormatStrings, NarrowFunctionTakesNarrowSAndWideS)
{
    EXPECT_EQ(fmt("%s|%S", "abc", L"wide"), "abc|wide");
    EXPECT_EQ(fmt("%ws|%ls|%hs|%hS|%wS", L"w1", L"w2", "n1", "n2", L"w3"), "w1|w2|n1|n2|w3");
}

TEST(FormatStrings, WideFunctionTakesWideSAndNarrowS)
{
    EXPECT_EQ(fmt(u"%s|%S", L"wide", "narrow"), u"wide|narrow");
    EXPECT_EQ(fmt(u"%ws|%hs|%ls", L"a", "b", L"c"), u"a|b|c");
}

TEST(FormatStrings, ConvertsBetweenUtf8AndUtf16)
{
    EXPECT_EQ(fmt("%ws", L"caf\u00e9 \u20ac"), "caf\xC3\xA9 \xE2\x82\xAC");
    EXPECT_EQ(fmt(u"%hs", "caf\xC3\xA9"), u"caf\u00e9");
}

TEST(FormatStrings, NullPointersPrintNull)
{
    EXPECT_EQ(fmt("%s %ws", (char*)nullptr, (wchar_t*)nullptr), "(null) (null)");
    EXPECT_EQ(fmt(u"%s", (wchar_t*)nullptr), u"(null)");
    EXPECT_EQ(fmt("[%.3s]", (char*)nullptr), "[(nu]");
    EXPECT_EQ(fmt("%wZ %Z", (UNICODE_STRING*)nullptr, (ANSI_STRING*)nullptr), "(null) (null)");
    UNICODE_STRING empty = {0, 0, nullptr};
    EXPECT_EQ(fmt("%wZ", &empty), "(null)");
}

TEST(FormatStrings, CountedStringsUseTheirLengthNotANul)
{
    WCHAR buffer[] = L"COM12345";
    UNICODE_STRING us = {4 * sizeof(WCHAR), sizeof buffer, buffer};
    EXPECT_EQ(fmt("<%wZ>", &us), "<COM1>");
    EXPECT_EQ(fmt(u"<%wZ>", &us), u"<COM1>");
    char text[] = "abcdef";
    ANSI_STRING as = {3, sizeof text, text};
    EXPECT_EQ(fmt("<%Z>", &as), "<abc>");
    EXPECT_EQ(fmt("<%.2wZ>", &us), "<CO>");
}

TEST(FormatStrings, WidthPrecisionAndJustification)
{
    EXPECT_EQ(fmt("[%6s][%-6s][%.2s][%6.2s]", "abc", "abc", "abc", "abc"),
              "[   abc][abc   ][ab][    ab]");
    EXPECT_EQ(fmt("[%*s][%-*s][%.*s]", 5, "ab", 4, "ab", 1, "ab"), "[   ab][ab  ][a]");
    EXPECT_EQ(fmt("[%*s]", -4, "ab"), "[ab  ]");   // negative '*' width: left-justified
    EXPECT_EQ(fmt("[%.*s]", -1, "abc"), "[abc]");  // negative '*' precision: none
    EXPECT_EQ(fmt(u"[%5ws]", L"ab"), u"[   ab]");
}

TEST(FormatCharacters, ByFunctionWidthAndModifier)
{
    EXPECT_EQ(fmt("%c%C%wc%hc%lc", 'a', L'b', L'c', 'd', L'e'), "abcde");
    EXPECT_EQ(fmt(u"%c%C%wc%hc", L'a', 'b', L'c', 'd'), u"abcd");
    EXPECT_EQ(fmt("%wc", L'\u00e9'), "\xC3\xA9");
    EXPECT_EQ(fmt("[%3c][%-3c]", 'x', 'y'), "[  x][y  ]");
    EXPECT_EQ(fmt(u"%wc%wc%wc%wc", L'1', L'a', L'F', L'0'), u"1aF0");
}

TEST(FormatIntegers, LongIsThirtyTwoBits)
{
    // Windows' long is 32 bits: %lx and %ld take a ULONG/LONG from the list,
    // and the argument after it must still be found.
    EXPECT_EQ(fmt("%lx %d", 0xDEADBEEFu, 7), "deadbeef 7");
    EXPECT_EQ(fmt("%ld %lu", (LONG)-5, (ULONG)0xFFFFFFFF), "-5 4294967295");
    EXPECT_EQ(fmt("%lx", (LONG)STATUS_BUFFER_OVERFLOW), "80000005");
    EXPECT_EQ(fmt("0x%x %lX", (NTSTATUS)STATUS_CANCELLED, (NTSTATUS)STATUS_INVALID_PARAMETER),
              "0xc0000120 C000000D");
    EXPECT_EQ(fmt(u"%lx|%ld", 0xC0000001u, (LONG)-1), u"c0000001|-1");
}

TEST(FormatIntegers, SixtyFourBitModifiers)
{
    const ULONGLONG big = 0x123456789ABCDEF0ull;
    EXPECT_EQ(fmt("%I64x %llX %Ix %zx", big, big, big, (size_t)big),
              "123456789abcdef0 123456789ABCDEF0 123456789abcdef0 123456789abcdef0");
    EXPECT_EQ(fmt("%I64d %lld %I64u", (LONGLONG)-2, (LONGLONG)LLONG_MIN, ~0ull),
              "-2 -9223372036854775808 18446744073709551615");
    EXPECT_EQ(fmt("%I32x %d", 0xFFFFFFFFu, 3), "ffffffff 3");
}

TEST(FormatIntegers, ShortAndCharModifiersTruncate)
{
    EXPECT_EQ(fmt("%hx %hhx %hu %hd %hhd %hhu", 0x12345, 0x1FF, 0x1FFFF, 0xFFFF, 0x80, 0x180),
              "2345 ff 65535 -1 -128 128");
    EXPECT_EQ(fmt("{%lx, %hx, %hx, {%hhx, %hhx}}", 0x6994AD04u, (USHORT)0x93EF, (USHORT)0x11D0,
                  (UCHAR)0xA3, (UCHAR)0xCC),
              "{6994ad04, 93ef, 11d0, {a3, cc}}");
}

TEST(FormatIntegers, SignedUnsignedAndBases)
{
    EXPECT_EQ(fmt("%d %i %u %o %x %X", -1, INT_MIN, -1, 8, 255, 255),
              "-1 -2147483648 4294967295 10 ff FF");
    EXPECT_EQ(fmt("%u", 0u), "0");
}

TEST(FormatIntegers, FlagsWidthAndPrecision)
{
    EXPECT_EQ(fmt("[%5d][%-5d][%05d][%+d][% d][%+d]", 42, 42, 42, 42, 42, -42),
              "[   42][42   ][00042][+42][ 42][-42]");
    EXPECT_EQ(fmt("[%05d][%-05d][%+05d]", -42, 42, 42), "[-0042][42   ][+0042]");
    EXPECT_EQ(fmt("[%.3d][%8.3d][%05.2d][%.0d][%.0x]", 7, 7, 7, 0, 0), "[007][     007][   07][][]");
    EXPECT_EQ(fmt("[%02x][%08X][%2x]", 5, 0xABCu, 0x123), "[05][00000ABC][123]");
    EXPECT_EQ(fmt("[%*d][%-*d][%.*d]", 4, 1, 3, 2, 3, 3), "[   1][2  ][003]");
}

TEST(FormatIntegers, AlternateFormPrefixesNonZeroValues)
{
    EXPECT_EQ(fmt("%#x %#X %#x", 255, 255, 0), "0xff 0XFF 0");
    EXPECT_EQ(fmt("%#o %#o", 8, 0), "010 0");
    EXPECT_EQ(fmt("[%#06x]", 10), "[0x000a]");
}

TEST(FormatPointers, FullWidthUpperCaseHex)
{
    EXPECT_EQ(fmt("%p", (void*)0x1234abcdull), "000000001234ABCD");
    EXPECT_EQ(fmt("TID=0x%p", (void*)nullptr), "TID=0x0000000000000000");
    EXPECT_EQ(fmt("%p", (void*)0xFFFF800012345678ull), "FFFF800012345678");
    EXPECT_EQ(fmt(u"%p", (void*)0xABCull), u"0000000000000ABC");
    EXPECT_EQ(fmt("[%20p]", (void*)1), "[    0000000000000001]");
}

TEST(FormatMisc, PercentUnknownAndTrailing)
{
    EXPECT_EQ(fmt("100%% done"), "100% done");
    EXPECT_EQ(fmt("a%"), "a");
    EXPECT_EQ(fmt("%y"), "y");
    EXPECT_EQ(fmt<char>(nullptr), "");
}

TEST(FormatMisc, FloatingPoint)
{
    EXPECT_EQ(fmt("%f %.2f %5.1f %e", 1.5, 2.25, 3.0, 1000.0), "1.500000 2.25   3.0 1.000000e+03");
}

TEST(FormatMisc, MessagesAsTheDriverPrintsThem)
{
    EXPECT_EQ(fmt("--->%ws: targetstate=%s, device=%p [%s():%d]\n", L"COM5", "WdfPowerDeviceD3",
                  (void*)0x1000, "acm_evt_dev_d0_exit", 812),
              "--->COM5: targetstate=WdfPowerDeviceD3, device=0000000000001000 "
              "[acm_evt_dev_d0_exit():812]\n");
    EXPECT_EQ(fmt(u"%ws%ws%ws%d", L"\\Device\\", L"acm", L"_AcmSerial", 3),
              u"\\Device\\acm_AcmSerial3");
    EXPECT_EQ(fmt("%s: Wrong GUID length %hu\n", "f", (USHORT)74), "f: Wrong GUID length 74\n");
}

}  // namespace
