// Registry Editor files: every value form, deletions, continuations,
// encodings, errors with their line, and dumping back to the same text.
#include <gtest/gtest.h>

#include <ntddk.h>

#include "host/rtl/registry.h"
#include "host/rtl/strings.h"

namespace reg = host::reg;

namespace {

const std::u16string kEnum = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_0001\\7&1";
const std::u16string kDevice = kEnum + u"\\Device Parameters";

std::vector<uint8_t> bytes(std::initializer_list<int> list) { return std::vector<uint8_t>(list.begin(), list.end()); }

class RegFile : public ::testing::Test {
protected:
    void SetUp() override { reg::reset(); }

    // The message of the error loading `text` raises, or "" if it loads.
    static std::string error_of(const std::string& text)
    {
        try {
            reg::load_reg_text(text);
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "";
    }
};

constexpr char kSample[] =
    "Windows Registry Editor Version 5.00\r\n"
    "\r\n"
    "; the device of the tests\r\n"
    "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_0001\\7&1\\Device Parameters]\r\n"
    "\"PortName\"=\"COM5\"\r\n"
    "@=\"default text\"\r\n"
    "\"Quoted\"=\"say \\\"hi\\\" C:\\\\dir\\\\\"\r\n"
    "\"DataInBuffers\"=dword:0000000A\r\n"
    "\"Binary\"=hex:01,02,ff\r\n"
    "\"Expand\"=hex(2):25,00,41,00,25,00,00,00\r\n"
    "\"Multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
    "\"Quad\"=hex(b):01,00,00,00,00,00,00,80\r\n"
    "\"None\"=hex(0):\r\n"
    "\"Long\"=hex:00,01,02,03,\\\r\n"
    "  04,05,\\\r\n"
    "  06\r\n"
    "\"Caf\xC3\xA9\"=\"\xE2\x82\xAC\"\r\n";

TEST_F(RegFile, LoadsEveryValueForm)
{
    reg::load_reg_text(kSample);
    EXPECT_EQ(*reg::as_string(*reg::get_value(kDevice, u"portname")), u"COM5");
    EXPECT_EQ(*reg::as_string(*reg::get_value(kDevice, u"")), u"default text");
    EXPECT_EQ(*reg::as_string(*reg::get_value(kDevice, u"Quoted")), u"say \"hi\" C:\\dir\\");
    EXPECT_EQ(*reg::as_dword(*reg::get_value(kDevice, u"DataInBuffers")), 10u);
    EXPECT_EQ(*reg::get_value(kDevice, u"Binary"), (reg::Value{REG_BINARY, bytes({1, 2, 0xFF})}));
    EXPECT_EQ(*reg::get_value(kDevice, u"Expand"), reg::string_value(u"%A%", REG_EXPAND_SZ));
    EXPECT_EQ(*reg::get_value(kDevice, u"Multi"), reg::multi_string_value({u"a", u"b"}));
    EXPECT_EQ(*reg::get_value(kDevice, u"Quad"), reg::qword_value(0x8000000000000001ull));
    EXPECT_EQ(*reg::get_value(kDevice, u"None"), (reg::Value{REG_NONE, {}}));
    EXPECT_EQ(reg::get_value(kDevice, u"Long")->data, bytes({0, 1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(*reg::as_string(*reg::get_value(kDevice, u"Caf\u00e9")), u"\u20ac");
}

TEST_F(RegFile, DeletesKeysAndValues)
{
    reg::load_reg_text(kSample);
    reg::load_reg_text(
        "Windows Registry Editor Version 5.00\n"
        "[HKLM\\System\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_0001\\7&1\\Device Parameters]\n"
        "\"PortName\"=-\n"
        "[-HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_0001\\7&1]\n");
    EXPECT_FALSE(reg::key_exists(kEnum));
    EXPECT_TRUE(reg::key_exists(u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_0001"));
}

TEST_F(RegFile, Utf16WithByteOrderMark)
{
    const std::u16string text = u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_USERS\\.Default\\X]\r\n\"V\"=\"\u00fc\"\r\n";
    std::string raw = "\xFF\xFE";
    for (char16_t c : text) {
        raw += static_cast<char>(c & 0xFF);
        raw += static_cast<char>(c >> 8);
    }
    reg::load_reg_text(raw);
    EXPECT_EQ(*reg::as_string(*reg::get_value(u"\\Registry\\User\\.Default\\X", u"v")), u"\u00fc");
}

TEST_F(RegFile, Utf8ByteOrderMarkAndOldHeader)
{
    EXPECT_EQ(error_of("\xEF\xBB\xBFWindows Registry Editor Version 5.00\n[HKLM\\A]\n\"x\"=dword:1\n"), "");
    EXPECT_EQ(*reg::as_dword(*reg::get_value(u"\\Registry\\Machine\\A", u"x")), 1u);
    EXPECT_EQ(error_of("REGEDIT4\n[HKLM\\B]\n"), "");
}

TEST_F(RegFile, ErrorsNameTheLine)
{
    EXPECT_EQ(error_of("[HKLM\\A]\n"), "registry file line 1: expected the header \"Windows Registry Editor Version 5.00\"");
    EXPECT_EQ(error_of(""), "registry file: missing header \"Windows Registry Editor Version 5.00\"");
    const std::string head = "Windows Registry Editor Version 5.00\n\n";
    EXPECT_EQ(error_of(head + "\"x\"=dword:1\n"), "registry file line 3: value outside a key");
    EXPECT_EQ(error_of(head + "[HKLM\\A]\n\"x\"=dword:123456789\n"), "registry file line 4: bad dword \"123456789\"");
    EXPECT_EQ(error_of(head + "[HKLM\\A]\n\"x\"=dword:zz\n"), "registry file line 4: bad dword \"zz\"");
    EXPECT_EQ(error_of(head + "[HKLM\\A]\n\"x\"=\"open\n"), "registry file line 4: unterminated quoted string");
    EXPECT_EQ(error_of(head + "[HKLM\\A]\n\"x\"=\"a\\n\"\n"),
              "registry file line 4: unknown escape in a quoted string (only \\\\ and \\\" are allowed)");
    EXPECT_EQ(error_of(head + "[HKEY_NOWHERE\\A]\n"), "registry file line 3: unknown root key \"HKEY_NOWHERE\"");
    EXPECT_EQ(error_of(head + "[HKLM\\A\n"), "registry file line 3: key name without closing ']'");
    EXPECT_EQ(error_of(head + "[HKLM\\A]\nx=1\n"), "registry file line 4: expected a value name in quotes or @");
    EXPECT_EQ(error_of(head + "[HKLM\\A]\n\"x\" 1\n"), "registry file line 4: expected '=' after the value name");
    EXPECT_EQ(error_of(head + "[HKLM\\A]\n\"x\"= \n"), "registry file line 4: missing value data after '='");
    EXPECT_EQ(error_of(head + "[HKLM\\A]\n\"x\"=word:1\n"), "registry file line 4: unrecognised value data \"word:1\"");
    EXPECT_EQ(error_of(head + "[HKLM\\A]\n\"x\"=\"a\" b\n"), "registry file line 4: text after the closing quote");
    // A continued value is reported at the line where it starts.
    EXPECT_EQ(error_of(head + "[HKLM\\A]\n\"x\"=hex:01,\\\n  0g\n"), "registry file line 4: bad hex byte \"0g\"");
    EXPECT_EQ(error_of(head + "[HKLM\\A]\n\"x\"=hex(2:00\n"), "registry file line 4: expected hex(type): before the data");
    EXPECT_EQ(error_of(head + "[-HKLM\\A]\n\"x\"=dword:1\n"), "registry file line 4: value outside a key");
}

TEST_F(RegFile, LinesBeforeAnErrorStayApplied)
{
    error_of("Windows Registry Editor Version 5.00\n[HKLM\\A]\n\"ok\"=dword:2\n\"bad\"=dword:\n");
    EXPECT_EQ(*reg::as_dword(*reg::get_value(u"\\Registry\\Machine\\A", u"ok")), 2u);
}

TEST_F(RegFile, DumpsInRegistryEditorForm)
{
    reg::set_string(u"\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM", u"\\Device\\Serial0", u"COM1");
    reg::set_dword(u"\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM", u"", 0x1F);
    reg::set_value(u"\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM\\Sub", u"q\"", reg::qword_value(1));
    EXPECT_EQ(reg::dump(u"\\registry\\machine\\hardware\\devicemap\\serialcomm"),
              "Windows Registry Editor Version 5.00\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\Hardware\\DeviceMap\\SERIALCOMM]\n"
              "\"\\\\Device\\\\Serial0\"=\"COM1\"\n"
              "@=dword:0000001f\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\Hardware\\DeviceMap\\SERIALCOMM\\Sub]\n"
              "\"q\\\"\"=hex(b):01,00,00,00,00,00,00,00\n"
              "\n");
    EXPECT_EQ(reg::dump(u"\\Registry\\Machine\\Absent"), "Windows Registry Editor Version 5.00\n\n");
}

TEST_F(RegFile, DumpWrapsLongHexAndLoadsBackTheSame)
{
    reg::load_reg_text(kSample);
    std::vector<uint8_t> big(100);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<uint8_t>(i * 7);
    reg::set_value(kDevice, u"Big", {REG_BINARY, big});
    reg::set_value(kDevice, u"OddString", {REG_SZ, bytes({0x41, 0x00, 0x42})});   // no NUL: kept as hex(1)
    const std::string text = reg::dump(u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum");
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        if (text[start] != '[') {   // key names are never wrapped
            EXPECT_LE(end - start, 80u) << text.substr(start, end - start);
        }
    }
    const auto before = reg::values(kDevice);
    reg::reset();
    reg::load_reg_text(text);
    EXPECT_EQ(reg::values(kDevice), before);
    EXPECT_EQ(reg::dump(u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum"), text);
}

TEST_F(RegFile, LoadsAFileAndNamesItInErrors)
{
    const std::string path = ::testing::TempDir() + "rtl_reg_file_test.reg";
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fputs("Windows Registry Editor Version 5.00\n[HKLM\\F]\n\"v\"=dword:00000003\n\"w\"=hex:1,\n", f);
    fclose(f);
    try {
        reg::load_reg_file(path);
        FAIL() << "the trailing comma was accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), path + ": registry file line 4: bad hex byte \"\"");
    }
    EXPECT_EQ(*reg::as_dword(*reg::get_value(u"\\Registry\\Machine\\F", u"v")), 3u);
    EXPECT_THROW(reg::load_reg_file(path + ".absent"), std::runtime_error);
    remove(path.c_str());
}

}  // namespace
