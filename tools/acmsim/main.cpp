// acmsim: the driver on a simulated Windows machine, from the command line.
#include "demo.h"
#include "options.h"
#include "pty.h"
#include "session.h"

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

namespace {

bool is_help(const std::string& arg) { return arg == "help" || arg == "--help" || arg == "-h"; }

// Exit status 2: a command line or an input file that cannot run.
int refuse(const std::string& command, const std::string& why)
{
    std::fprintf(stderr, "acmsim: %s\n", why.c_str());
    if (command.empty())
        std::fprintf(stderr, "\n%s", acmsim::kUsage);
    else
        std::fprintf(stderr, "Try 'acmsim %s --help'.\n", command.c_str());
    return 2;
}

int run(const acmsim::Options& options)
{
    if (options.command == "demo")
        return acmsim::run_demo(options);
    if (options.command == "pty")
        return acmsim::run_pty(options);
    return acmsim::run_load(options);
}

}  // namespace

int main(int argc, char** argv)
{
    using namespace acmsim;
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && is_help(args[0])) {
        std::fputs(args.size() > 1 ? command_usage(args[1]).c_str() : kUsage, stdout);
        return 0;
    }
    const std::string command = args.empty() || args[0].rfind("-", 0) == 0 ? "" : args[0];
    Options options;
    try {
        options = parse_options(args);
    } catch (const UsageError& error) {
        return refuse(command == "demo" || command == "load" || command == "pty" ? command : "", error.what());
    }
    if (options.help) {
        std::fputs(command_usage(options.command).c_str(), stdout);
        return 0;
    }

    try {
        return run(options);
    } catch (const UsageError& error) {   // an input file that cannot be used
        return refuse(options.command, error.what());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "acmsim: %s\n", error.what());
        return 1;
    }
}
