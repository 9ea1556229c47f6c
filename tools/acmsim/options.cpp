#include "options.h"

#include <charconv>

namespace acmsim {

const char* const kUsage =
    "usage: acmsim load [--reg FILE]... [--child SPEC]... [--seed N]\n"
    "       acmsim demo [--seed N]\n"
    "\n"
    "  --reg FILE    load a registry file (Windows Registry Editor 5.00 format)\n"
    "  --child SPEC  plug a child device: comma-separated key=value pairs with the\n"
    "                keys class (setup class, default Ports), name (friendly name),\n"
    "                port (PortName) and pdo (physical device object name); quote a\n"
    "                value that holds commas, e.g.\n"
    "                --child 'class=Modem,name=\"Tarvex Modem, v2\",port=COM5'\n"
    "  --seed N      seed of the controlled scheduler (default 1)\n";

namespace {

// Splits "k=v,k=\"v, w\"" at the commas outside quotes; quotes are dropped.
std::vector<std::string> split_pairs(const std::string& spec)
{
    std::vector<std::string> pairs(1);
    bool quoted = false;
    for (char c : spec) {
        if (c == '"')
            quoted = !quoted;
        else if (c == ',' && !quoted)
            pairs.emplace_back();
        else
            pairs.back() += c;
    }
    if (quoted)
        throw UsageError("unterminated quote in --child " + spec);
    return pairs;
}

uint64_t parse_seed(const std::string& text)
{
    uint64_t seed = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seed);
    if (error != std::errc() || end != text.data() + text.size())
        throw UsageError("--seed needs a decimal number, not '" + text + "'");
    return seed;
}

}  // namespace

ChildSpec parse_child(const std::string& spec)
{
    ChildSpec child;
    for (const std::string& pair : split_pairs(spec)) {
        auto eq = pair.find('=');
        if (eq == std::string::npos)
            throw UsageError("--child: '" + pair + "' is not key=value");
        std::string key = pair.substr(0, eq), value = pair.substr(eq + 1);
        if (key == "class")
            child.class_name = value;
        else if (key == "name")
            child.friendly_name = value;
        else if (key == "port")
            child.port = value;
        else if (key == "pdo")
            child.pdo = value;
        else
            throw UsageError("--child: unknown key '" + key + "' (class, name, port, pdo)");
    }
    return child;
}

Options parse_options(const std::vector<std::string>& args)
{
    if (args.empty())
        throw UsageError("no command given");
    Options options;
    options.command = args[0];
    if (options.command != "load" && options.command != "demo")
        throw UsageError("unknown command '" + options.command + "'");

    for (size_t i = 1; i < args.size(); i++) {
        const std::string& flag = args[i];
        if (i + 1 == args.size())
            throw UsageError(flag.rfind("--", 0) == 0 ? flag + " needs a value"
                                                      : "unexpected argument '" + flag + "'");
        const std::string& value = args[++i];
        if (flag == "--seed")
            options.seed = parse_seed(value);
        else if (flag == "--reg" && options.command == "load")
            options.reg_files.push_back(value);
        else if (flag == "--child" && options.command == "load")
            options.children.push_back(parse_child(value));
        else
            throw UsageError("unknown option '" + flag + "' for " + options.command);
    }
    return options;
}

}  // namespace acmsim
