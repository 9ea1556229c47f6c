// The text form of the custom device interface class ("DeviceGUID").
#include "common_class.h"

#include "host/host.h"
#include "host/rtl/trace.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// {CD56B1BD-C817-4E15-88DE-BC4AF1202DCD}
constexpr GUID kExpected = { 0xcd56b1bd, 0xc817, 0x4e15, { 0x88, 0xde, 0xbc, 0x4a, 0xf1, 0x20, 0x2d, 0xcd } };

class GuidParseTest : public ::testing::Test {
protected:
    host::Host host_;

    GuidParseTest() { host::trace_clear(); }

    static NTSTATUS parse(std::u16string text, GUID* guid)
    {
        UNICODE_STRING counted{ USHORT(text.size() * 2), USHORT(text.size() * 2),
                                reinterpret_cast<PWCH>(text.data()) };
        return common_class_string_to_guid(&counted, guid);
    }
};

TEST_F(GuidParseTest, RegistryFormIsParsedWhateverTheCaseOfItsDigits)
{
    for (const char16_t* text : { u"{CD56B1BD-C817-4E15-88DE-BC4AF1202DCD}",
                                  u"{cd56b1bd-c817-4e15-88de-bc4af1202dcd}",
                                  u"{cD56b1Bd-C817-4e15-88De-bC4aF1202dCd}" }) {
        GUID guid{};
        EXPECT_EQ(parse(text, &guid), STATUS_SUCCESS);
        EXPECT_EQ(guid, kExpected);
    }
}

TEST_F(GuidParseTest, SeparatorPositionsAreNotExamined)
{
    GUID guid{};
    EXPECT_EQ(parse(u"(CD56B1BDxC817_4E15 88DE.BC4AF1202DCD)", &guid), STATUS_SUCCESS);
    EXPECT_EQ(guid, kExpected);
}

TEST_F(GuidParseTest, TextOfAnyOtherLengthIsRefusedAndLeavesTheDestination)
{
    for (const char16_t* text : { u"{CD56B1BD-C817-4E15-88DE-BC4AF1202DC}",
                                  u"{CD56B1BD-C817-4E15-88DE-BC4AF1202DCD}}", u"" }) {
        GUID guid{ 1, 2, 3, { 4 } };
        const GUID before = guid;
        EXPECT_EQ(parse(text, &guid), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(guid, before);
    }
}

TEST_F(GuidParseTest, ValidatesWithoutADestination)
{
    EXPECT_EQ(parse(u"{CD56B1BD-C817-4E15-88DE-BC4AF1202DCD}", nullptr), STATUS_SUCCESS);
}

TEST_F(GuidParseTest, ParsedGroupsAreTracedAtTraceLevel)
{
    const ULONG saved = debug_level;
    debug_level = DC_LEVEL_TRACE;
    EXPECT_EQ(parse(u"{01234567-89AB-CDEF-0011-223344556677}", nullptr), STATUS_SUCCESS);
    debug_level = saved;
    EXPECT_EQ(host::trace_count("custom GUID - {1234567, 89ab, cdef, {0, 11, 22, 33, 44, 55, 66, 77}}"), 1u);
}

}  // namespace
