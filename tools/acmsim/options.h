// acmsim's command line: the command and what it loads.
#pragma once

#include "bus/faults.h"
#include "bus/timing.h"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace acmsim {

enum class Firmware { none, loopback, modem };

// One simulated CDC ACM function and the port child the bus reports for it;
// empty names take defaults.
struct FunctionSpec {
    std::string class_name = "Ports";
    std::string friendly_name;
    std::string port;   // PortName; empty: none
    std::string pdo;    // physical device object name

    // Functional descriptors' bmCapabilities; nullopt: descriptor absent.
    std::optional<uint8_t> acm = 0x06;
    std::optional<uint8_t> call_management = 0x03;
    bus::Speed speed = bus::Speed::full;
    Firmware firmware = Firmware::none;
    bool serial_control_device = false;
    bool timing = false;                 // off: transfers move at once
    host::Time turnaround = 0;           // last packet to completion, with timing
    std::vector<std::pair<bus::Op, bus::Fault>> faults;
};

struct Options {
    std::string command;                 // "demo", "load" or "pty"
    bool help = false;                   // --help: show the command's usage, run nothing
    bool trace = false;                  // demo: the driver's trace as well
    std::string reg_text;                // registry loaded before the files
    std::vector<std::string> reg_files;
    std::vector<FunctionSpec> functions;
    std::vector<std::string> links;      // pty: symbolic links to the terminals, in port order
    uint64_t seed = 1;
};

// A command line that cannot be run; the message says why.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

Options parse_options(const std::vector<std::string>& args);   // throws UsageError
FunctionSpec parse_function(const std::string& spec);          // throws UsageError
// "op:kind[:after]", e.g. "data_in_post:zero-bytes:3"; throws UsageError.
std::pair<bus::Op, bus::Fault> parse_fault(const std::string& spec);
extern const char* const kUsage;   // the commands
std::string command_usage(const std::string& command);   // one command's options; kUsage for others

}  // namespace acmsim
