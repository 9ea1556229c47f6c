// acmsim as a person runs it: help for the program and each command, and
// refused command lines and input files, each reported with the option and
// what was expected, a non-zero exit status and no crash.
#include "run_program.h"

#include <gtest/gtest.h>

#include <fstream>

namespace acmsim_test {
namespace {

// A scratch directory with the files a case needs.
class AcmsimCliTest : public ::testing::Test {
protected:
    std::string file(const std::string& name, const std::string& content)
    {
        const std::string path = dir_.path() + "/" + name;
        std::ofstream(path) << content;
        return path;
    }
    ScratchDir dir_;
};

TEST_F(AcmsimCliTest, HelpForTheProgramAndForEachCommand)
{
    for (const char* args : { "--help", "-h", "help" }) {
        Outcome run = run_acmsim(args);
        EXPECT_EQ(run.status, 0) << args;
        for (const char* command : { "demo", "load", "pty" })
            EXPECT_NE(run.out.find(command), std::string::npos) << args << ": " << run.out;
    }
    for (const char* command : { "demo", "load", "pty" }) {
        Outcome run = run_acmsim(std::string(command) + " --help");
        EXPECT_EQ(run.status, 0) << command;
        EXPECT_EQ(run.out.rfind(std::string("usage: acmsim ") + command, 0), 0u) << run.out;
        EXPECT_EQ(run.err, "") << command;
    }
}

TEST_F(AcmsimCliTest, BadCommandLinesNameTheOptionAndExitWithTwo)
{
    struct Case {
        std::string args;
        std::string says;
    };
    const std::vector<Case> cases = {
        { "", "no command given" },
        { "frob", "unknown command 'frob'" },
        { "demo --function port=COM1", "demo has no option --function" },
        { "demo --seed", "--seed needs a value" },
        { "demo --seed 12x", "--seed needs a number, not '12x'" },
        { "load --function colour=red", "'colour' is none of" },
        { "load --function speed=low", "speed: 'low' is none of full, high" },
        { "load --function acm=0x100", "acm needs a number up to 255" },
        { "load --fault data_in_post:stall", "--fault data_in_post:stall comes before any --function" },
        { "load --function port=COM1 --fault data_in_post:explode", "'explode' is none of" },
        { "load stray", "unexpected argument 'stray'" },
        { "pty --function class=Modem", "pty needs a port=NAME key" },
        { "pty --link /tmp/a --link /tmp/b", "2 links for 1 port" },
    };
    for (const Case& c : cases) {
        Outcome run = run_acmsim(c.args);
        EXPECT_EQ(run.status, 2) << c.args << "\n" << run.err;
        EXPECT_NE(run.err.find(c.says), std::string::npos) << c.args << "\n" << run.err;
        EXPECT_EQ(run.out, "") << c.args;
    }
}

TEST_F(AcmsimCliTest, UnusableRegistryFilesAreNamedWithWhatIsWrong)
{
    const std::string missing = dir_.path() + "/missing.reg";
    const std::string garbage = file("garbage.reg", "not a registry file\n");
    const std::string bad_value = file("bad_value.reg",
                                       "Windows Registry Editor Version 5.00\n\n"
                                       "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\acmserial\\Parameters]\n"
                                       "\"DebugLevel\"=dword:nothex\n");
    const std::vector<std::pair<std::string, std::string>> cases = {
        { missing, "--reg " + missing + ": no such file" },
        { dir_.path(), "--reg " + dir_.path() + ": a directory" },
        { garbage, "--reg " + garbage + ": registry file line 1" },
        { bad_value, "--reg " + bad_value + ": registry file line 4" },
    };
    for (const auto& [path, says] : cases) {
        Outcome run = run_acmsim("load --function port=COM1 --reg " + path);
        EXPECT_EQ(run.status, 2) << path << "\n" << run.err;
        EXPECT_NE(run.err.find(says), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("Try 'acmsim load --help'"), std::string::npos) << run.err;
    }
}

TEST_F(AcmsimCliTest, APtyLinkOverAnExistingFileIsRefusedAndTheFileStays)
{
    const std::string taken = file("taken", "mine\n");
    Outcome run = run_acmsim("pty --link " + taken);
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_NE(run.err.find("--link " + taken + ": File exists"), std::string::npos) << run.err;
    EXPECT_EQ(slurp(taken), "mine\n");
}

TEST_F(AcmsimCliTest, ADeviceThatDoesNotStartIsAFailedRunNotACrash)
{
    Outcome run = run_acmsim("load --function port=COM1 --fault query_interface:fail");
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.out.find("(add or start failed)"), std::string::npos) << run.out;

    const std::string good = file("good.reg",
                                  "Windows Registry Editor Version 5.00\n\n"
                                  "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\acmserial\\Parameters]\n"
                                  "\"DebugLevel\"=dword:00000001\n");
    EXPECT_EQ(run_acmsim("load --function port=COM1 --reg " + good).status, 0);
}

}  // namespace
}  // namespace acmsim_test
