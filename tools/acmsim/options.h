// acmsim's command line: the command and what it loads.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace acmsim {

// One child device as the bus reports it; empty fields take defaults.
struct ChildSpec {
    std::string class_name = "Ports";
    std::string friendly_name;
    std::string port;   // PortName; empty: none
    std::string pdo;    // physical device object name
};

struct Options {
    std::string command;                 // "load" or "demo"
    std::string reg_text;                // registry loaded before the files
    std::vector<std::string> reg_files;
    std::vector<ChildSpec> children;
    uint64_t seed = 1;
};

// A command line that cannot be run; the message says why.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

Options parse_options(const std::vector<std::string>& args);   // throws UsageError
ChildSpec parse_child(const std::string& spec);                // throws UsageError
extern const char* const kUsage;

}  // namespace acmsim
