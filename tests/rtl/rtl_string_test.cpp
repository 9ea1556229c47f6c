// Run-time library routines: counted strings, integer and GUID conversion,
// status mapping, the 16-bit wide-string CRT and DbgPrint.
#include <gtest/gtest.h>

#include <cerrno>

#include <ntddk.h>

#include "host/rtl/strings.h"
#include "host/rtl/trace.h"

namespace {

std::u16string text(const UNICODE_STRING& s) { return std::u16string(host::view(s)); }

TEST(RtlInit, LengthsAndNull)
{
    UNICODE_STRING us;
    RtlInitUnicodeString(&us, L"COM1");
    EXPECT_EQ(us.Length, 8);
    EXPECT_EQ(us.MaximumLength, 10);
    RtlInitUnicodeString(&us, nullptr);
    EXPECT_EQ(us.Length, 0);
    EXPECT_EQ(us.MaximumLength, 0);
    EXPECT_EQ(us.Buffer, nullptr);
    ANSI_STRING as;
    RtlInitAnsiString(&as, "abc");
    EXPECT_EQ(as.Length, 3);
    EXPECT_EQ(as.MaximumLength, 4);
}

TEST(RtlCopy, TruncatesToDestinationAndTerminatesWhenRoomRemains)
{
    WCHAR buf[4] = {1, 1, 1, 1};
    UNICODE_STRING dest = {0, sizeof buf, buf};
    UNICODE_STRING src;
    RtlInitUnicodeString(&src, L"ab");
    RtlCopyUnicodeString(&dest, &src);
    EXPECT_EQ(dest.Length, 4);
    EXPECT_EQ(buf[2], 0);
    RtlInitUnicodeString(&src, L"abcdef");
    RtlCopyUnicodeString(&dest, &src);
    EXPECT_EQ(text(dest), u"abcd");
    RtlCopyUnicodeString(&dest, nullptr);
    EXPECT_EQ(dest.Length, 0);
}

TEST(RtlAppend, FailsWithoutRoomAndLeavesDestination)
{
    WCHAR buf[6];
    UNICODE_STRING dest = {0, sizeof buf, buf};
    EXPECT_EQ(RtlAppendUnicodeToString(&dest, L"abc"), STATUS_SUCCESS);
    UNICODE_STRING more;
    RtlInitUnicodeString(&more, L"def");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&dest, &more), STATUS_SUCCESS);
    EXPECT_EQ(text(dest), u"abcdef");
    EXPECT_EQ(RtlAppendUnicodeToString(&dest, L"g"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(text(dest), u"abcdef");
}

TEST(RtlCompare, OrderAndCase)
{
    UNICODE_STRING a, b, c;
    RtlInitUnicodeString(&a, L"Modem");
    RtlInitUnicodeString(&b, L"MODEM");
    RtlInitUnicodeString(&c, L"Modems");
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &c, TRUE));
    EXPECT_GT(RtlCompareUnicodeString(&a, &b, FALSE), 0);   // 'o' > 'O'
    EXPECT_EQ(RtlCompareUnicodeString(&a, &b, TRUE), 0);
    EXPECT_LT(RtlCompareUnicodeString(&a, &c, TRUE), 0);    // a prefix sorts first
    EXPECT_TRUE(RtlPrefixUnicodeString(&b, &c, TRUE));
    EXPECT_FALSE(RtlPrefixUnicodeString(&c, &a, TRUE));
}

TEST(RtlUpcase, LatinGreekCyrillic)
{
    EXPECT_EQ(RtlUpcaseUnicodeChar(L'a'), L'A');
    EXPECT_EQ(RtlUpcaseUnicodeChar(L'{'), L'{');
    EXPECT_EQ(RtlUpcaseUnicodeChar(0xE9), 0xC9);      // e acute
    EXPECT_EQ(RtlUpcaseUnicodeChar(0xF7), 0xF7);      // division sign
    EXPECT_EQ(RtlUpcaseUnicodeChar(0xFF), 0x178);     // y diaeresis
    EXPECT_EQ(RtlUpcaseUnicodeChar(0x101), 0x100);    // a macron
    EXPECT_EQ(RtlUpcaseUnicodeChar(0x13A), 0x139);    // l acute: the pairs run the other way here
    EXPECT_EQ(RtlUpcaseUnicodeChar(0x3C9), 0x3A9);    // omega
    EXPECT_EQ(RtlUpcaseUnicodeChar(0x44F), 0x42F);    // ya
    EXPECT_EQ(RtlUpcaseUnicodeChar(0x451), 0x401);    // yo
}

ULONG to_integer(const char16_t* s, ULONG base, NTSTATUS* status = nullptr)
{
    UNICODE_STRING us;
    RtlInitUnicodeString(&us, reinterpret_cast<PCWSTR>(s));
    ULONG value = 0xDEAD;
    const NTSTATUS st = RtlUnicodeStringToInteger(&us, base, &value);
    if (status)
        *status = st;
    return value;
}

TEST(RtlUnicodeStringToInteger, DocumentedExamples)
{
    EXPECT_EQ(to_integer(u"123", 10), 123u);
    EXPECT_EQ(to_integer(u"-345", 10), static_cast<ULONG>(-345));
    EXPECT_EQ(to_integer(u"xyz", 10), 0u);
    EXPECT_EQ(to_integer(u"+678abc", 10), 678u);
    EXPECT_EQ(to_integer(u"+678abc", 16), 0x678ABCu);
    EXPECT_EQ(to_integer(u"1011", 2), 11u);
    EXPECT_EQ(to_integer(u"778", 8), 63u);
}

TEST(RtlUnicodeStringToInteger, PrefixesOnlyWithBaseZero)
{
    EXPECT_EQ(to_integer(u"0x1F", 0), 31u);
    EXPECT_EQ(to_integer(u"0o17", 0), 15u);
    EXPECT_EQ(to_integer(u"0b101", 0), 5u);
    EXPECT_EQ(to_integer(u"017", 0), 17u);      // no octal by leading zero
    EXPECT_EQ(to_integer(u"-0x10", 0), static_cast<ULONG>(-16));
    EXPECT_EQ(to_integer(u"0x1F", 16), 0u);     // 'x' is no digit of base 16
    EXPECT_EQ(to_integer(u"0", 0), 0u);
}

TEST(RtlUnicodeStringToInteger, WhitespaceEmptyAndBadBase)
{
    EXPECT_EQ(to_integer(u" \t 42", 10), 42u);
    NTSTATUS status;
    EXPECT_EQ(to_integer(u"   ", 10, &status), 0u);
    EXPECT_EQ(status, STATUS_SUCCESS);
    to_integer(u"", 10, &status);
    EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
    to_integer(u"12", 3, &status);
    EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(to_integer(u"aBcD", 16), 0xABCDu);
}

TEST(RtlUnicodeStringToInteger, StopsAtTheCountedLength)
{
    WCHAR digits[] = L"12345";
    UNICODE_STRING us = {2 * sizeof(WCHAR), sizeof digits, digits};
    ULONG value = 0;
    EXPECT_EQ(RtlUnicodeStringToInteger(&us, 10, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 12u);
}

TEST(RtlIntegerToUnicodeString, BasesAndRoomForTheNul)
{
    WCHAR buf[9];
    UNICODE_STRING us = {0, sizeof buf, buf};
    EXPECT_EQ(RtlIntegerToUnicodeString(0xFFu, 16, &us), STATUS_SUCCESS);
    EXPECT_EQ(text(us), u"FF");
    EXPECT_EQ(buf[2], 0);
    EXPECT_EQ(RtlIntegerToUnicodeString(5, 2, &us), STATUS_SUCCESS);
    EXPECT_EQ(text(us), u"101");
    EXPECT_EQ(RtlIntegerToUnicodeString(1234, 0, &us), STATUS_SUCCESS);
    EXPECT_EQ(text(us), u"1234");
    EXPECT_EQ(RtlIntegerToUnicodeString(1, 7, &us), STATUS_INVALID_PARAMETER);
    us.MaximumLength = 8;   // four characters: "1234" needs a fifth for the NUL
    EXPECT_EQ(RtlIntegerToUnicodeString(1234, 10, &us), STATUS_BUFFER_OVERFLOW);
}

constexpr GUID kComPort = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

TEST(RtlGuid, RoundTripThroughText)
{
    UNICODE_STRING s;
    ASSERT_EQ(RtlStringFromGUID(kComPort, &s), STATUS_SUCCESS);
    EXPECT_EQ(text(s), u"{86E0D1E0-8089-11D0-9CE4-08003E301F73}");
    EXPECT_EQ(s.Buffer[38], 0);
    GUID back{};
    EXPECT_EQ(RtlGUIDFromString(&s, &back), STATUS_SUCCESS);
    EXPECT_TRUE(back == kComPort);
    RtlFreeUnicodeString(&s);
    EXPECT_EQ(s.Buffer, nullptr);
}

TEST(RtlGuid, ParsesLowerCaseAndRejectsMalformedText)
{
    UNICODE_STRING s;
    GUID g{};
    RtlInitUnicodeString(&s, L"{86e0d1e0-8089-11d0-9ce4-08003e301f73}");
    EXPECT_EQ(RtlGUIDFromString(&s, &g), STATUS_SUCCESS);
    EXPECT_TRUE(g == kComPort);
    for (const wchar_t* bad : {L"86e0d1e0-8089-11d0-9ce4-08003e301f73", L"{86e0d1e0-8089-11d0-9ce4-08003e301f7}",
                               L"{86e0d1e0+8089-11d0-9ce4-08003e301f73}", L"{86e0d1eg-8089-11d0-9ce4-08003e301f73}"}) {
        RtlInitUnicodeString(&s, bad);
        EXPECT_EQ(RtlGUIDFromString(&s, &g), STATUS_INVALID_PARAMETER) << host::to_utf8(host::view(bad));
    }
}

TEST(RtlMemory, CompareCountsMatchingBytes)
{
    const UCHAR a[] = {1, 2, 3, 4}, b[] = {1, 2, 9, 4};
    EXPECT_EQ(RtlCompareMemory(a, b, 4), 2u);
    EXPECT_EQ(RtlCompareMemory(a, a, 4), 4u);
    EXPECT_FALSE(RtlEqualMemory(a, b, 4));
    EXPECT_TRUE(RtlEqualMemory(a, b, 2));
}

TEST(RtlStatus, SerialStackMappings)
{
    EXPECT_EQ(RtlNtStatusToDosError(STATUS_SUCCESS), 0u);
    EXPECT_EQ(RtlNtStatusToDosError(STATUS_CANCELLED), 995u);
    EXPECT_EQ(RtlNtStatusToDosError(STATUS_PENDING), 997u);
    EXPECT_EQ(RtlNtStatusToDosError(STATUS_INVALID_PARAMETER), 87u);
    EXPECT_EQ(RtlNtStatusToDosError(STATUS_DELETE_PENDING), 5u);
    EXPECT_EQ(RtlNtStatusToDosError(STATUS_INVALID_DEVICE_REQUEST), 1u);
    EXPECT_EQ(RtlNtStatusToDosError(STATUS_BUFFER_TOO_SMALL), 122u);
    EXPECT_EQ(RtlNtStatusToDosError(STATUS_BUFFER_OVERFLOW), 234u);
    EXPECT_EQ(RtlNtStatusToDosError(STATUS_OBJECT_NAME_NOT_FOUND), 2u);
    EXPECT_EQ(RtlNtStatusToDosError(STATUS_SHARING_VIOLATION), 32u);
    EXPECT_EQ(RtlNtStatusToDosError(STATUS_ACCESS_DENIED), 5u);
    EXPECT_EQ(RtlNtStatusToDosError(STATUS_INSUFFICIENT_RESOURCES), 1450u);
    EXPECT_EQ(RtlNtStatusToDosError(STATUS_NOT_SUPPORTED), 50u);
    EXPECT_EQ(RtlNtStatusToDosError(STATUS_TIMEOUT), 258u);
    EXPECT_EQ(RtlNtStatusToDosError(STATUS_IO_TIMEOUT), 121u);
    EXPECT_EQ(RtlNtStatusToDosError((NTSTATUS)0xC0070057), 87u);    // a wrapped Win32 code
    EXPECT_EQ(RtlNtStatusToDosError((NTSTATUS)0xC0ABCDEF), 317u);   // ERROR_MR_MID_NOT_FOUND
}

// The kernel CRT names must reach the 16-bit implementations: with the C
// library's, wcslen would read two characters at a time.
TEST(KernelCrt, WideStringsAreSixteenBit)
{
    EXPECT_EQ(wcslen(L"COM10"), 5u);
    EXPECT_EQ(wcsnlen(L"COM10", 3), 3u);
    EXPECT_EQ(wcscmp(L"abc", L"abc"), 0);
    EXPECT_LT(wcscmp(L"abc", L"abd"), 0);
    EXPECT_GT(wcscmp(L"abc", L"ab"), 0);
    EXPECT_EQ(wcsncmp(L"abcx", L"abcy", 3), 0);
    EXPECT_EQ(_wcsicmp(L"Modem", L"MODEM"), 0);
    EXPECT_LT(_wcsicmp(L"a", L"B"), 0);
    EXPECT_EQ(_wcsnicmp(L"PORTS1", L"ports2", 5), 0);
    EXPECT_GT(wcscmp(L"\u00e9", L"e"), 0);   // compared as unsigned 16-bit units
}

TEST(KernelCrt, CopyConcatenateSearch)
{
    WCHAR buf[8];
    wcscpy(buf, L"ab");
    wcscat(buf, L"cd");
    EXPECT_EQ(std::u16string(host::view(buf)), u"abcd");
    WCHAR padded[5] = {9, 9, 9, 9, 9};
    wcsncpy(padded, L"x", 4);
    EXPECT_EQ(padded[0], L'x');
    EXPECT_EQ(padded[3], 0);
    EXPECT_EQ(padded[4], 9);
    const wchar_t* path = L"\\Registry\\Services\\acm";
    EXPECT_EQ(wcschr(path, L'\\'), path);
    EXPECT_EQ(wcsrchr(path, L'\\'), path + 18);
    EXPECT_EQ(wcsstr(path, L"Serv"), path + 10);
    EXPECT_EQ(wcsstr(path, L"none"), nullptr);
    EXPECT_EQ(wcschr(path, 0), path + wcslen(path));
}

TEST(KernelCrt, BoundedCopiesReportErrors)
{
    WCHAR buf[4];
    EXPECT_EQ(wcscpy_s(buf, 4, L"abc"), 0);
    EXPECT_EQ(wcscat_s(buf, 4, L"d"), ERANGE);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(wcscpy_s(buf, 4, L"abcd"), ERANGE);
    EXPECT_EQ(wcscpy_s(buf, 0, L"a"), EINVAL);
}

TEST(DbgPrint, GoesToTheTraceWithWindowsFormatting)
{
    host::trace_clear();
    DbgPrint("%s: port %ws status %lx\n", "acm_io_start", L"COM3", (ULONG)STATUS_CANCELLED);
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, "level %d\n", 1);
    const auto lines = host::trace_lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(15), "acm_io_start: port COM3 status c0000120");
    EXPECT_EQ(lines[1].substr(15), "level 1");
}

TEST(DbgPrint, OneCallTransmitsAtMost512Bytes)
{
    host::trace_clear();
    const std::string long_text(600, 'x');
    DbgPrint("%s\n", long_text.c_str());
    DbgPrint("\n");
    const auto lines = host::trace_lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].size() - 15, 512u);
}

}  // namespace

namespace {

TEST(HostStrings, Utf8DecodingReplacesWhatIsNotUtf8)
{
    EXPECT_EQ(host::to_u16("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"), u"a\u00e9\u20ac\U0001F600");
    EXPECT_EQ(host::to_u16("\xC3"), u"\uFFFD");                 // truncated sequence
    EXPECT_EQ(host::to_u16("\xC0\xAF"), u"\uFFFD\uFFFD");       // overlong form
    EXPECT_EQ(host::to_u16("\xED\xA0\x80x"), u"\uFFFD\uFFFD\uFFFDx");   // an encoded surrogate
    EXPECT_EQ(host::to_u16("\xE2\x28\xA1"), u"\uFFFD(\uFFFD");  // bad continuation byte
    EXPECT_EQ(host::to_u16("\xF5\x80\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD");
}

TEST(HostStrings, Utf16EncodingPairsSurrogates)
{
    EXPECT_EQ(host::to_utf8(u"\U0001F600"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(host::to_utf8(std::u16string(1, char16_t(0xD800)) + u"x"), "\xEF\xBF\xBDx");
    EXPECT_EQ(host::to_utf8(std::u16string(1, char16_t(0xDC00))), "\xEF\xBF\xBD");
    EXPECT_TRUE(host::iequals(u"Stra\u00dfe COM", u"STRA\u00dfE com"));
    EXPECT_FALSE(host::iequals(u"COM1", u"COM10"));
}

}  // namespace
