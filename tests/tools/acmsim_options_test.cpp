// acmsim's command line: function and fault specifications and refused
// arguments.
#include "options.h"

#include <gtest/gtest.h>

namespace acmsim {
namespace {

TEST(AcmsimOptions, FunctionSpecTakesQuotedValuesWithCommas)
{
    FunctionSpec f = parse_function("class=Modem,name=\"Tarvex Modem, v2\",port=COM5,pdo=\\Device\\USBPDO-7");
    EXPECT_EQ(f.class_name, "Modem");
    EXPECT_EQ(f.friendly_name, "Tarvex Modem, v2");
    EXPECT_EQ(f.port, "COM5");
    EXPECT_EQ(f.pdo, "\\Device\\USBPDO-7");
}

TEST(AcmsimOptions, FunctionSpecDefaultsToAFullSpeedPortWithBothDescriptors)
{
    FunctionSpec f = parse_function("port=COM6");
    EXPECT_EQ(f.class_name, "Ports");
    EXPECT_EQ(f.friendly_name, "");
    EXPECT_EQ(f.acm, std::optional<uint8_t>(0x06));
    EXPECT_EQ(f.call_management, std::optional<uint8_t>(0x03));
    EXPECT_EQ(f.speed, bus::Speed::full);
    EXPECT_EQ(f.firmware, Firmware::none);
    EXPECT_FALSE(f.serial_control_device);
    EXPECT_FALSE(f.timing);
}

TEST(AcmsimOptions, FunctionSpecChoosesDescriptorsSpeedBehaviourAndTiming)
{
    FunctionSpec f = parse_function("acm=0x0F,cm=none,speed=high,behaviour=modem,serial-ctrl=1,turnaround=250");
    EXPECT_EQ(f.acm, std::optional<uint8_t>(0x0F));
    EXPECT_EQ(f.call_management, std::nullopt);
    EXPECT_EQ(f.speed, bus::Speed::high);
    EXPECT_EQ(f.firmware, Firmware::modem);
    EXPECT_TRUE(f.serial_control_device);
    EXPECT_TRUE(f.timing) << "a turnaround turns the timing model on";
    EXPECT_EQ(f.turnaround, 250 * host::kMillisecond / 1000);

    EXPECT_EQ(parse_function("acm=2,behaviour=loopback,timing=1").acm, std::optional<uint8_t>(2));
    EXPECT_EQ(parse_function("behaviour=loopback").firmware, Firmware::loopback);
    EXPECT_TRUE(parse_function("timing=1").timing);
}

TEST(AcmsimOptions, FaultSpecNamesOperationKindAndGoodCallsFirst)
{
    auto [op, fault] = parse_fault("data_in_post:zero-bytes:3");
    EXPECT_EQ(op, bus::Op::data_in_post);
    EXPECT_EQ(fault.kind, bus::Fault::Kind::complete);
    EXPECT_EQ(fault.status, STATUS_SUCCESS);
    EXPECT_EQ(fault.bytes, 0u);
    EXPECT_EQ(fault.skip, 3);
    EXPECT_EQ(fault.times, 1);

    auto [query, failure] = parse_fault("query_interface:fail=0xC000009A");
    EXPECT_EQ(query, bus::Op::query_interface);
    EXPECT_EQ(failure.kind, bus::Fault::Kind::fail);
    EXPECT_EQ(failure.status, NTSTATUS(0xC000009A));
    EXPECT_EQ(failure.skip, 0);

    EXPECT_EQ(parse_fault("control_request:fail").second.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(parse_fault("data_abort:ignore").second.kind, bus::Fault::Kind::ignore);
    EXPECT_EQ(parse_fault("data_out_post:surprise-remove").second.kind, bus::Fault::Kind::surprise_remove);
}

TEST(AcmsimOptions, LoadCollectsItsOptionsInOrderAndFaultsGoToTheFunctionBefore)
{
    Options options = parse_options({ "load", "--reg", "a.reg", "--function", "port=COM1", "--fault",
                                       "data_in_post:stall", "--reg", "b.reg", "--child", "class=Modem,port=COM2",
                                       "--fault", "set_notify_cb:refuse", "--fault", "clear_data:fail:1", "--seed",
                                       "42" });
    EXPECT_EQ(options.command, "load");
    EXPECT_EQ(options.reg_files, (std::vector<std::string>{ "a.reg", "b.reg" }));
    ASSERT_EQ(options.functions.size(), 2u);
    EXPECT_EQ(options.functions[1].class_name, "Modem");
    ASSERT_EQ(options.functions[0].faults.size(), 1u);
    EXPECT_EQ(options.functions[0].faults[0].second.kind, bus::Fault::Kind::stall);
    ASSERT_EQ(options.functions[1].faults.size(), 2u);
    EXPECT_EQ(options.functions[1].faults[1].first, bus::Op::clear_data);
    EXPECT_EQ(options.functions[1].faults[1].second.skip, 1);
    EXPECT_EQ(options.seed, 42u);
}

TEST(AcmsimOptions, BadArgumentsAreRefusedWithAReason)
{
    const std::vector<std::vector<std::string>> bad = {
        {},
        { "unload" },
        { "load", "--seed" },
        { "load", "--seed", "12x" },
        { "load", "--function", "port" },
        { "load", "--function", "colour=red" },
        { "load", "--function", "name=\"open" },
        { "load", "--function", "acm=0x100" },
        { "load", "--function", "cm=0xZZ" },
        { "load", "--function", "acm=" },
        { "load", "--function", "speed=low" },
        { "load", "--function", "behaviour=printer" },
        { "load", "--function", "serial-ctrl=yes" },
        { "load", "--function", "turnaround=-5" },
        { "load", "--fault", "data_in_post:stall" },   // no function yet
        { "load", "--function", "port=COM1", "--fault", "data_in_post" },
        { "load", "--function", "port=COM1", "--fault", "data_inn_post:stall" },
        { "load", "--function", "port=COM1", "--fault", "data_in_post:explode" },
        { "load", "--function", "port=COM1", "--fault", "data_in_post:stall=5" },
        { "load", "--function", "port=COM1", "--fault", "data_in_post:fail=0x1FFFFFFFF" },
        { "load", "--function", "port=COM1", "--fault", "data_in_post:stall:x" },
        { "demo", "--function", "port=COM1" },
        { "load", "stray" },
        { "load", "--trace" },
        { "demo", "--reg", "a.reg" },
        { "pty", "--seed", "3" },
        { "pty", "--function", "class=Ports" },            // no port to bridge
        { "pty", "--link", "/tmp/a", "--link", "/tmp/b" },  // one default port
        { "pty", "--function", "port=COM1", "--link", "/tmp/a", "--link", "/tmp/b" },
        { "pty", "--link" },
        { "--help" },                                        // help is a command's word only after it
    };
    for (const auto& args : bad)
        EXPECT_THROW(parse_options(args), UsageError) << testing::PrintToString(args);
}

TEST(AcmsimOptions, HelpStopsParsingAndEachCommandHasItsOwnUsage)
{
    EXPECT_TRUE(parse_options({ "load", "--function", "port=COM1", "--help", "--bogus" }).help);
    EXPECT_TRUE(parse_options({ "pty", "-h" }).help);
    EXPECT_FALSE(parse_options({ "demo" }).help);
    for (const char* command : { "demo", "load", "pty" }) {
        const std::string usage = command_usage(command);
        EXPECT_EQ(usage.rfind(std::string("usage: acmsim ") + command, 0), 0u) << usage;
    }
    EXPECT_NE(command_usage("pty").find("--link"), std::string::npos);
    EXPECT_EQ(command_usage("demo").find("--function"), std::string::npos);
}

TEST(AcmsimOptions, DemoTakesSeedAndTracePtyTakesFunctionsWithPortsAndLinks)
{
    Options demo = parse_options({ "demo", "--trace", "--seed", "9" });
    EXPECT_TRUE(demo.trace);
    EXPECT_EQ(demo.seed, 9u);

    Options pty = parse_options({ "pty", "--function", "port=COM5,behaviour=loopback", "--link", "/tmp/a",
                                  "--function", "class=Modem,port=COM7,behaviour=modem", "--link", "/tmp/b" });
    ASSERT_EQ(pty.functions.size(), 2u);
    EXPECT_EQ(pty.functions[1].port, "COM7");
    EXPECT_EQ(pty.links, (std::vector<std::string>{ "/tmp/a", "/tmp/b" }));
    EXPECT_EQ(parse_options({ "pty", "--link", "/tmp/a" }).links.size(), 1u) << "the default port takes one link";
}

TEST(AcmsimOptions, AnUnknownKeyIsAnsweredWithTheKnownOnes)
{
    try {
        parse_function("colour=red");
        FAIL() << "no UsageError";
    } catch (const UsageError& error) {
        EXPECT_NE(std::string(error.what()).find("behaviour"), std::string::npos) << error.what();
        EXPECT_NE(std::string(error.what()).find("colour"), std::string::npos) << error.what();
    }
}

}  // namespace
}  // namespace acmsim
