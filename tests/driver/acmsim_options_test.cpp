// acmsim's command line: child specifications and refused arguments.
#include "options.h"

#include <gtest/gtest.h>

namespace acmsim {
namespace {

TEST(AcmsimOptions, ChildSpecTakesQuotedValuesWithCommas)
{
    ChildSpec child = parse_child("class=Modem,name=\"Tarvex Modem, v2\",port=COM5,pdo=\\Device\\USBPDO-7");
    EXPECT_EQ(child.class_name, "Modem");
    EXPECT_EQ(child.friendly_name, "Tarvex Modem, v2");
    EXPECT_EQ(child.port, "COM5");
    EXPECT_EQ(child.pdo, "\\Device\\USBPDO-7");
}

TEST(AcmsimOptions, ChildSpecDefaultsToAPortWithoutName)
{
    ChildSpec child = parse_child("port=COM6");
    EXPECT_EQ(child.class_name, "Ports");
    EXPECT_EQ(child.friendly_name, "");
}

TEST(AcmsimOptions, LoadCollectsItsOptionsInOrder)
{
    Options options = parse_options({ "load", "--reg", "a.reg", "--child", "port=COM1", "--reg", "b.reg",
                                      "--child", "class=Modem,port=COM2", "--seed", "42" });
    EXPECT_EQ(options.command, "load");
    EXPECT_EQ(options.reg_files, (std::vector<std::string>{ "a.reg", "b.reg" }));
    ASSERT_EQ(options.children.size(), 2u);
    EXPECT_EQ(options.children[1].class_name, "Modem");
    EXPECT_EQ(options.seed, 42u);
}

TEST(AcmsimOptions, BadArgumentsAreRefusedWithAReason)
{
    const std::vector<std::vector<std::string>> bad = {
        {},
        { "unload" },
        { "load", "--seed" },
        { "load", "--seed", "12x" },
        { "load", "--child", "port" },
        { "load", "--child", "colour=red" },
        { "load", "--child", "name=\"open" },
        { "demo", "--child", "port=COM1" },
        { "load", "stray" },
    };
    for (const auto& args : bad)
        EXPECT_THROW(parse_options(args), UsageError) << testing::PrintToString(args);
}

}  // namespace
}  // namespace acmsim
