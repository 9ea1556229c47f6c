#include "options.h"

#include <algorithm>
#include <charconv>
#include <map>

namespace acmsim {

const char* const kUsage =
    "usage: acmsim COMMAND [OPTION]...\n"
    "\n"
    "  demo   a complete serial session on a built-in machine, with a summary\n"
    "  load   load the driver, plug simulated functions, print what it published\n"
    "  pty    give each COM port a Linux pseudo-terminal for serial programs\n"
    "\n"
    "acmsim COMMAND --help shows the options of one command.\n";

namespace {

const char* const kFunctionHelp =
    "  --function SPEC  plug a simulated CDC ACM function (--child is the same):\n"
    "                   comma-separated key=value pairs; quote a value that holds\n"
    "                   commas. Keys:\n"
    "                     class        setup class of the port (default Ports)\n"
    "                     name         friendly name\n"
    "                     port         PortName\n"
    "                     pdo          physical device object name\n"
    "                     acm, cm      bmCapabilities of the ACM and Call Management\n"
    "                                  descriptors, or none (default 0x06, 0x03)\n"
    "                     speed        full (64-byte packets) or high (512)\n"
    "                     behaviour    none, loopback or modem\n"
    "                     serial-ctrl  1: a serial control device beside the port\n"
    "                     timing       1: bulk rates of the speed, in host time\n"
    "                     turnaround   completion delay in microseconds (sets timing)\n"
    "                   e.g. --function 'class=Modem,port=COM5,name=\"USB Modem, v2\",\n"
    "                                    acm=0x06,cm=none,speed=high,behaviour=modem'\n"
    "  --fault FAULT    a fault of the function before it: op:kind[:after], where\n"
    "                   after is the number of good calls first (default 0);\n"
    "                   kind is refuse, fail[=STATUS], zero-bytes, stall, ignore or\n"
    "                   surprise-remove; op is one of\n"
    "                     query_interface control_request generic_control\n"
    "                     transport_enable transport_disable data_in_post\n"
    "                     data_out_post set_notify_cb data_abort\n"
    "                     get_functional_descriptor get_max_packet_size data_io_init\n"
    "                     data_io_uninit get_idle_timeout clear_data\n";

const char* const kRegHelp = "  --reg FILE       load a registry file (Windows Registry Editor 5.00 format)\n";

}  // namespace

std::string command_usage(const std::string& command)
{
    if (command == "demo")
        return "usage: acmsim demo [--seed N] [--trace]\n"
               "\n"
               "A serial session on a built-in machine: a modem on COM5 configured and\n"
               "dialled with AT commands, modem lines and events, a loopback transfer on\n"
               "COM6 with its throughput and integrity check, a purge, a system sleep in\n"
               "the middle of a transfer, a surprise removal with I/O pending, a summary.\n"
               "Exit status 0 when every step passed.\n"
               "\n"
               "  --seed N         seed of the controlled scheduler (default 1)\n"
               "  --trace          print the driver's trace as well\n";
    if (command == "load")
        return std::string("usage: acmsim load [--reg FILE]... [--function SPEC [--fault FAULT]...]... [--seed N]\n"
                           "\n"
                           "Loads the driver, plugs the functions, prints the driver's trace and what\n"
                           "it published. Exit status 0 when the driver loaded and every device started.\n"
                           "\n") +
               kRegHelp + kFunctionHelp + "  --seed N         seed of the controlled scheduler (default 1)\n";
    if (command == "pty")
        return std::string("usage: acmsim pty [--reg FILE]... [--function SPEC [--fault FAULT]...]... [--link PATH]...\n"
                           "\n"
                           "Runs the machine on real time and gives each COM port a pseudo-terminal\n"
                           "(printed as COM5 -> /dev/pts/N). Programs on the terminal drive the port:\n"
                           "bytes go through WriteFile and ReadFile, terminal settings become\n"
                           "SetCommState, the last close is a close of the port. Without --function,\n"
                           "one loopback function on COM5. Runs until SIGINT or SIGTERM.\n"
                           "\n") +
               kRegHelp + kFunctionHelp +
               "                   each function needs a port=NAME here\n"
               "  --link PATH      a symbolic link to the pseudo-terminal, given to the ports\n"
               "                   in the order of their --function options\n";
    return kUsage;
}

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
        throw UsageError("unterminated quote in --function " + spec);
    return pairs;
}

// Decimal, or hexadecimal after "0x".
uint64_t parse_number(const std::string& text, const std::string& what, uint64_t max = UINT64_MAX)
{
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* first = text.data() + (hex ? 2 : 0);
    const char* last = text.data() + text.size();
    uint64_t value = 0;
    auto [end, error] = std::from_chars(first, last, value, hex ? 16 : 10);
    if (text.empty() || error != std::errc() || end != last || value > max) {
        std::string bound = max == UINT64_MAX ? "" : " up to " + std::to_string(max);
        throw UsageError(what + " needs a number" + bound + ", not '" + text + "'");
    }
    return value;
}

template <class T>
T parse_choice(const std::string& text, const std::string& what, const std::map<std::string, T>& choices)
{
    auto it = choices.find(text);
    if (it != choices.end())
        return it->second;
    std::string names;
    for (const auto& [name, value] : choices)
        names += (names.empty() ? "" : ", ") + name;
    throw UsageError(what + ": '" + text + "' is none of " + names);
}

std::optional<uint8_t> parse_capabilities(const std::string& text, const std::string& key)
{
    if (text == "none")
        return std::nullopt;
    return uint8_t(parse_number(text, key, 0xFF));
}

bool parse_flag(const std::string& text, const std::string& key)
{
    return parse_choice<bool>(text, key, { { "0", false }, { "1", true } });
}

const std::map<std::string, bus::Speed> kSpeeds = { { "full", bus::Speed::full }, { "high", bus::Speed::high } };

const std::map<std::string, Firmware> kFirmware = {
    { "none", Firmware::none },
    { "loopback", Firmware::loopback },
    { "modem", Firmware::modem },
};

using Setter = void (*)(FunctionSpec&, const std::string& value);

const std::map<std::string, Setter> kFunctionKeys = {
    { "class", [](FunctionSpec& f, const std::string& v) { f.class_name = v; } },
    { "name", [](FunctionSpec& f, const std::string& v) { f.friendly_name = v; } },
    { "port", [](FunctionSpec& f, const std::string& v) { f.port = v; } },
    { "pdo", [](FunctionSpec& f, const std::string& v) { f.pdo = v; } },
    { "acm", [](FunctionSpec& f, const std::string& v) { f.acm = parse_capabilities(v, "acm"); } },
    { "cm", [](FunctionSpec& f, const std::string& v) { f.call_management = parse_capabilities(v, "cm"); } },
    { "speed", [](FunctionSpec& f, const std::string& v) { f.speed = parse_choice(v, "speed", kSpeeds); } },
    { "behaviour",
      [](FunctionSpec& f, const std::string& v) { f.firmware = parse_choice(v, "behaviour", kFirmware); } },
    { "serial-ctrl",
      [](FunctionSpec& f, const std::string& v) { f.serial_control_device = parse_flag(v, "serial-ctrl"); } },
    { "timing", [](FunctionSpec& f, const std::string& v) { f.timing = parse_flag(v, "timing"); } },
    { "turnaround",
      [](FunctionSpec& f, const std::string& v) {
          constexpr host::Time kMicrosecond = host::kMillisecond / 1000;
          f.turnaround = host::Time(parse_number(v, "turnaround", 10'000'000)) * kMicrosecond;
          f.timing = true;
      } },
};

const std::map<std::string, bus::Op> kOps = {
    { "query_interface", bus::Op::query_interface },
    { "control_request", bus::Op::control_request },
    { "generic_control", bus::Op::generic_control },
    { "transport_enable", bus::Op::transport_enable },
    { "transport_disable", bus::Op::transport_disable },
    { "data_in_post", bus::Op::data_in_post },
    { "data_out_post", bus::Op::data_out_post },
    { "set_notify_cb", bus::Op::set_notify_cb },
    { "data_abort", bus::Op::data_abort },
    { "get_functional_descriptor", bus::Op::get_functional_descriptor },
    { "get_max_packet_size", bus::Op::get_max_packet_size },
    { "data_io_init", bus::Op::data_io_init },
    { "data_io_uninit", bus::Op::data_io_uninit },
    { "get_idle_timeout", bus::Op::get_idle_timeout },
    { "clear_data", bus::Op::clear_data },
};

const std::map<std::string, bus::Fault> kFaultKinds = {
    { "refuse", bus::Fault::refuse() },
    { "fail", bus::Fault::fail(STATUS_UNSUCCESSFUL) },
    { "zero-bytes", bus::Fault::zero_bytes() },
    { "stall", bus::Fault::stall() },
    { "ignore", bus::Fault::ignore() },
    { "surprise-remove", bus::Fault::surprise_remove() },
};

// "kind" or "fail=STATUS".
bus::Fault parse_fault_kind(const std::string& text)
{
    auto eq = text.find('=');
    bus::Fault fault = parse_choice(text.substr(0, eq), "--fault kind", kFaultKinds);
    if (eq == std::string::npos)
        return fault;
    if (fault.kind != bus::Fault::Kind::fail)
        throw UsageError("--fault: only fail takes a status, not '" + text + "'");
    fault.status = NTSTATUS(parse_number(text.substr(eq + 1), "fail=STATUS", 0xFFFFFFFF));
    return fault;
}

uint64_t parse_seed(const std::string& text) { return parse_number(text, "--seed"); }

}  // namespace

FunctionSpec parse_function(const std::string& spec)
{
    FunctionSpec function;
    for (const std::string& pair : split_pairs(spec)) {
        auto eq = pair.find('=');
        if (eq == std::string::npos)
            throw UsageError("--function: '" + pair + "' is not key=value");
        parse_choice(pair.substr(0, eq), "--function key", kFunctionKeys)(function, pair.substr(eq + 1));
    }
    return function;
}

std::pair<bus::Op, bus::Fault> parse_fault(const std::string& spec)
{
    auto first = spec.find(':');
    if (first == std::string::npos)
        throw UsageError("--fault: '" + spec + "' is not op:kind[:after]");
    auto second = spec.find(':', first + 1);
    bus::Op op = parse_choice(spec.substr(0, first), "--fault op", kOps);
    bus::Fault fault = parse_fault_kind(spec.substr(first + 1, second - first - 1));
    if (second != std::string::npos)
        fault = fault.after(int(parse_number(spec.substr(second + 1), "--fault after", 1'000'000)));
    return { op, fault };
}

namespace {

const std::vector<std::string> kCommands = { "demo", "load", "pty" };

// The options each command takes; a value follows every one but --trace.
const std::map<std::string, std::vector<std::string>> kCommandOptions = {
    { "demo", { "--seed", "--trace" } },
    { "load", { "--reg", "--function", "--child", "--fault", "--seed" } },
    { "pty", { "--reg", "--function", "--child", "--fault", "--link" } },
};

bool takes(const std::string& command, const std::string& flag)
{
    const auto& flags = kCommandOptions.at(command);
    return std::find(flags.begin(), flags.end(), flag) != flags.end();
}

void add_function(Options& options, const std::string& spec)
{
    FunctionSpec function = parse_function(spec);
    if (options.command == "pty" && function.port.empty())
        throw UsageError("--function " + spec + ": pty needs a port=NAME key, the COM port to bridge");
    options.functions.push_back(std::move(function));
}

// What the options say together, once all are read.
void check_whole(const Options& options)
{
    if (options.command != "pty")
        return;
    const size_t ports = options.functions.empty() ? 1 : options.functions.size();
    if (options.links.size() > ports)
        throw UsageError("--link " + options.links.back() + ": " + std::to_string(options.links.size()) +
                         " links for " + std::to_string(ports) + (ports == 1 ? " port" : " ports"));
}

}  // namespace

Options parse_options(const std::vector<std::string>& args)
{
    if (args.empty())
        throw UsageError("no command given");
    Options options;
    options.command = args[0];
    if (std::find(kCommands.begin(), kCommands.end(), options.command) == kCommands.end())
        throw UsageError("unknown command '" + options.command + "' (commands: demo, load, pty)");

    for (size_t i = 1; i < args.size(); i++) {
        const std::string& flag = args[i];
        if (flag == "--help" || flag == "-h") {
            options.help = true;
            return options;
        }
        if (flag.rfind("-", 0) != 0)
            throw UsageError("unexpected argument '" + flag + "'");
        if (!takes(options.command, flag))
            throw UsageError(options.command + " has no option " + flag);
        if (flag == "--trace") {
            options.trace = true;
            continue;
        }
        if (i + 1 == args.size())
            throw UsageError(flag + " needs a value");
        const std::string& value = args[++i];
        if (flag == "--seed")
            options.seed = parse_seed(value);
        else if (flag == "--reg")
            options.reg_files.push_back(value);
        else if (flag == "--function" || flag == "--child")
            add_function(options, value);
        else if (flag == "--link")
            options.links.push_back(value);
        else if (options.functions.empty())   // --fault
            throw UsageError("--fault " + value + " comes before any --function");
        else
            options.functions.back().faults.push_back(parse_fault(value));
    }
    check_whole(options);
    return options;
}

}  // namespace acmsim
