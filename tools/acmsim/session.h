// One acmsim run: a host with the driver loaded and the children plugged.
#pragma once

#include "options.h"

#include "bus/behaviour.h"
#include "bus/cdc_function.h"
#include "host/host.h"

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace acmsim {

// A child the bus reported and the node the PnP manager made of it.
struct Plugged {
    host::ChildDevice device;
    host::io::DeviceNode* node = nullptr;   // nullptr: add or start failed
};

// The simulated machine of one run: the functions the options describe, a
// host with the registry loaded, the driver package's INF installed and the
// driver module loaded, and, once plugged, the children. The functions
// outlive the host.
class Machine {
public:
    // `trace`: where the driver's trace goes live, nullptr for nowhere.
    // Throws UsageError for a registry file that cannot be used.
    Machine(const Options& options, host::Mode mode, FILE* trace);
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    NTSTATUS driver_status() const { return driver_status_; }
    // The firmware a function gets, from the firmware its spec names.
    using Fit = std::function<std::shared_ptr<bus::Behaviour>(size_t function, std::shared_ptr<bus::Behaviour>)>;
    // Arms each function and plugs its children; true if every one started.
    bool plug_all(const Fit& fit = nullptr);
    host::io::DeviceNode* port_node(size_t function) const;   // nullptr if it did not start

    host::Host& host() { return *host_; }
    bus::CdcFunction& function(size_t i) { return *functions_[i]; }
    size_t function_count() const { return functions_.size(); }
    // The firmware of function i, nullptr for none.
    const std::shared_ptr<bus::Behaviour>& behaviour(size_t i) const { return behaviours_[i]; }
    const std::vector<Plugged>& children() const { return children_; }

private:
    Options options_;
    std::vector<std::unique_ptr<bus::CdcFunction>> functions_;
    std::vector<std::shared_ptr<bus::Behaviour>> behaviours_;
    std::unique_ptr<host::Host> host_;
    NTSTATUS driver_status_ = STATUS_UNSUCCESSFUL;
    std::vector<Plugged> children_;
    std::vector<size_t> port_child_;   // per function: its port's index in children_
};

// "115200 8N1", as a terminal program writes a line coding.
std::string describe_line_coding(const bus::LineCoding& coding);
// "DTR on, RTS off".
std::string describe_control_lines(uint16_t lines);

// Every --reg file exists and can be read; throws UsageError naming the
// file otherwise. Runs before a host exists, so that nothing starts.
void check_registry_files(const Options& options);
// The options' registry text and files into the host's registry; a file
// that does not parse throws UsageError with the line and what was expected.
void load_registry(const Options& options);

// Runs a load and prints the trace and what the driver published; returns
// the exit status (0: the driver loaded and every child started).
int run_load(const Options& options);

}  // namespace acmsim
