// The driver package's INF as device installation reads it: the HKR values of
// the AddReg sections that [*.HW] sections name, typed by their flags, and a
// no-clobber value that leaves an existing one alone.
#include "host/rtl/inf.h"

#include <gtest/gtest.h>

#include <fstream>

namespace host::reg {
namespace {

constexpr const char16_t* kKey = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\X\\1\\Device Parameters";

constexpr std::string_view kPackage =
    "[Version]\r\n"
    "Signature = \"$WINDOWS NT$\"\r\n"
    "[Install.NT.HW]\r\n"
    "AddReg = Rx.AddReg, Names.AddReg ; two sections\r\n"
    "[Install.NT.Services]\r\n"
    "AddService = acm, 2, Service\r\n"
    "[Rx.AddReg]\r\n"
    "HKR,,DataInPacketsPerXfer,0x00010003,128\r\n"
    "HKR,,DataInBuffers,0x00010001,0x4\r\n"
    "[Names.AddReg]\r\n"
    "HKR,,DeviceGUID,0,\"{CD56B1BD-C817-4E15-88DE-BC4AF1202DCD}\"\r\n"
    "[Unused.AddReg]\r\n"
    "HKR,,DebugLevel,0x00010001,4\r\n";

TEST(InfTest, HardwareSectionsNameTheValuesWithTheirTypes)
{
    const std::vector<InfValue> values = inf_hardware_values(kPackage);
    ASSERT_EQ(values.size(), 3u);
    EXPECT_EQ(values[0].name, u"DataInPacketsPerXfer");
    EXPECT_EQ(values[0].value, dword_value(128));
    EXPECT_TRUE(values[0].no_clobber);
    EXPECT_EQ(values[1].value, dword_value(4));
    EXPECT_FALSE(values[1].no_clobber);
    EXPECT_EQ(values[2].value, string_value(u"{CD56B1BD-C817-4E15-88DE-BC4AF1202DCD}"));
}

TEST(InfTest, InstallationKeepsAValueOnlyWhereTheInfSaysNoClobber)
{
    reset();
    set_dword(kKey, u"DataInPacketsPerXfer", 2);
    set_dword(kKey, u"DataInBuffers", 9);
    apply_inf_values(inf_hardware_values(kPackage), kKey);
    EXPECT_EQ(get_value(kKey, u"DataInPacketsPerXfer"), dword_value(2));
    EXPECT_EQ(get_value(kKey, u"DataInBuffers"), dword_value(4));
    EXPECT_TRUE(get_value(kKey, u"DeviceGUID").has_value());
    EXPECT_FALSE(get_value(kKey, u"DebugLevel").has_value());
}

TEST(InfTest, LinesItCannotTakeAreNamed)
{
    const std::pair<std::string, std::string> cases[] = {
        {"[I.HW]\nAddReg = Missing\n", "INF line 2: no section [Missing]"},
        {"[I.HW]\nAddReg = R\n[R]\nHKLM,Software,X,0x00010001,1\n", "INF line 4: expected HKR,,Name,Flags,Value"},
        {"[I.HW]\nAddReg = R\n[R]\nHKR,,X,0x00010001,many\n", "INF line 4: not a number: many"},
        {"[I.HW]\nAddReg = R\n[R]\nHKR,,X,0x00000001,1\n", "INF line 4: unsupported flags 0x00000001"},
    };
    for (const auto& [text, message] : cases) {
        try {
            inf_hardware_values(text);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), message);
        }
    }
    EXPECT_THROW(load_inf_hardware_values("/nonexistent/package.inf"), std::runtime_error);
}

}  // namespace
}  // namespace host::reg
