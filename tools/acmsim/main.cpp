// acmsim: the driver on a simulated Windows machine, from the command line.
#include "options.h"
#include "session.h"

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    using namespace acmsim;
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && (args[0] == "help" || args[0] == "--help" || args[0] == "-h")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    Options options;
    try {
        options = parse_options(args);
    } catch (const UsageError& error) {
        std::fprintf(stderr, "acmsim: %s\n\n%s", error.what(), kUsage);
        return 2;
    }

    try {
        return run_load(options.command == "demo" ? demo_options(options.seed) : options);
    } catch (const std::exception& error) {   // an unreadable registry file, for one
        std::fprintf(stderr, "acmsim: %s\n", error.what());
        return 1;
    }
}
