// ntstrsafe.h: bounded results, truncation with STATUS_BUFFER_OVERFLOW,
// parameter validation, and the counted-string forms that store no NUL.
#include <gtest/gtest.h>

#include <ntddk.h>
#include <ntstrsafe.h>

#include "host/rtl/strings.h"

namespace {

std::u16string text(const WCHAR* s) { return std::u16string(host::view(s)); }

constexpr WCHAR kCanary = 0xCCCC;

// A buffer of `n` characters followed by a canary that must survive.
struct Guarded {
    explicit Guarded(size_t n) : chars(n), storage(n + 1, kCanary) {}
    WCHAR* data() { return storage.data(); }
    size_t bytes() const { return chars * sizeof(WCHAR); }
    bool intact() const { return storage[chars] == kCanary; }
    size_t chars;
    std::vector<WCHAR> storage;
};

TEST(SafePrintf, FitsExactlyOrTruncatesWithNul)
{
    Guarded buf(8);
    EXPECT_EQ(RtlStringCbPrintfW(buf.data(), buf.bytes(), L"%ws%d", L"COM", 1234), STATUS_SUCCESS);
    EXPECT_EQ(text(buf.data()), u"COM1234");   // 7 characters and the NUL: exactly full

    EXPECT_EQ(RtlStringCbPrintfW(buf.data(), buf.bytes(), L"%ws%d", L"COM", 12345), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(text(buf.data()), u"COM1234");
    EXPECT_TRUE(buf.intact());

    char narrow[5];
    EXPECT_EQ(RtlStringCchPrintfA(narrow, sizeof narrow, "%s-%lx", "ab", 0xFFu), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(narrow, "ab-f");
    EXPECT_EQ(RtlStringCbPrintfA(narrow, sizeof narrow, "%u", 42u), STATUS_SUCCESS);
    EXPECT_STREQ(narrow, "42");
}

TEST(SafePrintf, RejectsZeroAndOversizedDestinations)
{
    WCHAR buf[4] = {L'x', L'y', 0, 0};
    EXPECT_EQ(RtlStringCbPrintfW(buf, 0, L"a"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCbPrintfW(buf, 1, L"a"), STATUS_INVALID_PARAMETER);   // less than one WCHAR
    EXPECT_EQ(RtlStringCchPrintfW(buf, 0, L"a"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCchPrintfW(buf, (size_t)NTSTRSAFE_MAX_CCH + 1, L"a"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCbPrintfW(buf, ((size_t)NTSTRSAFE_MAX_CCH + 1) * sizeof(WCHAR), L"a"),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(buf[0], L'x');   // nothing written on a rejected call
}

TEST(SafePrintf, OddByteCountRoundsDownToWholeCharacters)
{
    Guarded buf(4);
    EXPECT_EQ(RtlStringCbPrintfW(buf.data(), 9, L"abcdef"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(text(buf.data()), u"abc");
    EXPECT_TRUE(buf.intact());
}

NTSTATUS vprint(PWSTR dest, size_t cb, PCWSTR format, ...)
{
    va_list ap;
    va_start(ap, format);
    const NTSTATUS status = RtlStringCbVPrintfW(dest, cb, format, ap);
    va_end(ap);
    return status;
}

TEST(SafePrintf, VaListForm)
{
    WCHAR buf[32];
    EXPECT_EQ(vprint(buf, sizeof buf, L"\\DosDevices\\%ws", L"COM7"), STATUS_SUCCESS);
    EXPECT_EQ(text(buf), u"\\DosDevices\\COM7");
}

TEST(SafeCopy, TruncatesAndTerminates)
{
    Guarded buf(5);
    EXPECT_EQ(RtlStringCbCopyW(buf.data(), buf.bytes(), L"abcd"), STATUS_SUCCESS);
    EXPECT_EQ(text(buf.data()), u"abcd");
    EXPECT_EQ(RtlStringCchCopyW(buf.data(), buf.chars, L"abcdefg"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(text(buf.data()), u"abcd");
    EXPECT_TRUE(buf.intact());
    EXPECT_EQ(RtlStringCchCopyW(buf.data(), 0, L"a"), STATUS_INVALID_PARAMETER);

    char narrow[3];
    EXPECT_EQ(RtlStringCbCopyA(narrow, sizeof narrow, "xyz"), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(narrow, "xy");
}

TEST(SafeCopy, FromCountedString)
{
    WCHAR source[] = L"COM12";
    UNICODE_STRING us = {3 * sizeof(WCHAR), sizeof source, source};
    WCHAR buf[8];
    EXPECT_EQ(RtlStringCbCopyUnicodeString(buf, sizeof buf, &us), STATUS_SUCCESS);
    EXPECT_EQ(text(buf), u"COM");
    EXPECT_EQ(RtlStringCbCopyUnicodeString(buf, 3 * sizeof(WCHAR), &us), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(text(buf), u"CO");
}

TEST(SafeCat, AppendsWithinTheBound)
{
    Guarded buf(8);
    RtlStringCchCopyW(buf.data(), buf.chars, L"abc");
    EXPECT_EQ(RtlStringCbCatW(buf.data(), buf.bytes(), L"de"), STATUS_SUCCESS);
    EXPECT_EQ(text(buf.data()), u"abcde");
    EXPECT_EQ(RtlStringCchCatW(buf.data(), buf.chars, L"fghij"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(text(buf.data()), u"abcdefg");
    EXPECT_EQ(RtlStringCchCatW(buf.data(), buf.chars, L"x"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(RtlStringCchCatW(buf.data(), buf.chars, L""), STATUS_SUCCESS);
    EXPECT_TRUE(buf.intact());
}

TEST(SafeCat, UnterminatedDestinationIsInvalid)
{
    WCHAR buf[3] = {L'a', L'b', L'c'};
    EXPECT_EQ(RtlStringCchCatW(buf, 3, L"d"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(buf[2], L'c');
}

TEST(SafeLength, FindsTheNulWithinTheBound)
{
    size_t n = 99;
    EXPECT_EQ(RtlStringCbLengthW(L"abc", 8, &n), STATUS_SUCCESS);
    EXPECT_EQ(n, 6u);   // bytes, without the NUL
    EXPECT_EQ(RtlStringCchLengthW(L"abc", 4, &n), STATUS_SUCCESS);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(RtlStringCchLengthW(L"abc", 3, &n), STATUS_INVALID_PARAMETER);   // no NUL within 3
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(RtlStringCbLengthW(L"abc", ((size_t)NTSTRSAFE_MAX_CCH + 1) * 2, &n), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCbLengthW(nullptr, 8, &n), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCbLengthA("ab", 3, &n), STATUS_SUCCESS);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(RtlStringCbLengthW(L"abc", 8, nullptr), STATUS_SUCCESS);
}

// A counted string over a 128-byte buffer, with a canary after it.
struct Counted {
    Counted() : storage(65, kCanary) { us = {0, 128, storage.data()}; }
    std::u16string value() const { return std::u16string(host::view(us)); }
    bool intact() const { return storage[64] == kCanary; }
    std::vector<WCHAR> storage;
    UNICODE_STRING us;
};

TEST(UnicodeStringPrintf, SixtyFourUnitsFitOneHundredTwentyEightBytes)
{
    Counted c;
    const std::u16string name64(64, u'n');
    EXPECT_EQ(RtlUnicodeStringPrintf(&c.us, L"%ws", name64.c_str()), STATUS_SUCCESS);
    EXPECT_EQ(c.us.Length, 128);
    EXPECT_EQ(c.value(), name64);
    EXPECT_TRUE(c.intact());   // no NUL is stored past the text
}

TEST(UnicodeStringPrintf, SixtyFiveUnitsOverflowWithTruncatedLength)
{
    Counted c;
    const std::u16string name65 = std::u16string(64, u'n') + u"X";
    EXPECT_EQ(RtlUnicodeStringPrintf(&c.us, L"%ws", name65.c_str()), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(c.us.Length, 128);
    EXPECT_EQ(c.value(), name65.substr(0, 64));
    EXPECT_TRUE(c.intact());
}

TEST(UnicodeStringPrintf, ReplacesPreviousContent)
{
    Counted c;
    RtlUnicodeStringPrintf(&c.us, L"%ws", L"a long previous text");
    EXPECT_EQ(RtlUnicodeStringPrintf(&c.us, L"%ws%ws%ws%d", L"\\Device\\", L"svc", L"_AcmSerial", 0),
              STATUS_SUCCESS);
    EXPECT_EQ(c.value(), u"\\Device\\svc_AcmSerial0");
}

TEST(UnicodeStringPrintf, RejectsMalformedCountedStrings)
{
    WCHAR buf[8];
    UNICODE_STRING odd = {0, 7, buf};
    EXPECT_EQ(RtlUnicodeStringPrintf(&odd, L"a"), STATUS_INVALID_PARAMETER);
    UNICODE_STRING longer = {8, 4, buf};
    EXPECT_EQ(RtlUnicodeStringPrintf(&longer, L"a"), STATUS_INVALID_PARAMETER);
    UNICODE_STRING no_buffer = {0, 8, nullptr};
    EXPECT_EQ(RtlUnicodeStringPrintf(&no_buffer, L"a"), STATUS_INVALID_PARAMETER);
    UNICODE_STRING zero = {0, 0, buf};
    EXPECT_EQ(RtlUnicodeStringPrintf(&zero, L"a"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlUnicodeStringPrintf(&zero, L""), STATUS_SUCCESS);
}

TEST(UnicodeStringCopyCat, CopyAndCatSetLength)
{
    WCHAR buf[6];
    UNICODE_STRING dest = {0, sizeof buf, buf};
    UNICODE_STRING src;
    RtlInitUnicodeString(&src, L"abcd");
    EXPECT_EQ(RtlUnicodeStringCopy(&dest, &src), STATUS_SUCCESS);
    EXPECT_EQ(dest.Length, 8);
    EXPECT_EQ(RtlUnicodeStringCat(&dest, &src), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(dest.Length, 12);
    EXPECT_EQ(std::u16string(host::view(dest)), u"abcdab");
    EXPECT_EQ(RtlUnicodeStringCopyString(&dest, L"xy"), STATUS_SUCCESS);
    EXPECT_EQ(RtlUnicodeStringCatString(&dest, L"z"), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(host::view(dest)), u"xyz");
    EXPECT_EQ(RtlUnicodeStringCopyString(&dest, L"0123456789"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(host::view(dest)), u"012345");
}

}  // namespace
