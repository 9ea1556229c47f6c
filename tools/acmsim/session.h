// One acmsim run: a host with the driver loaded and the children plugged.
#pragma once

#include "options.h"

namespace acmsim {

// Every --reg file exists and can be read; throws UsageError naming the
// file otherwise. Runs before a host exists, so that nothing starts.
void check_registry_files(const Options& options);
// The options' registry text and files into the host's registry; a file
// that does not parse throws UsageError with the line and what was expected.
void load_registry(const Options& options);

// Runs a load and prints the trace and what the driver published; returns
// the exit status (0: the driver loaded and every child started).
int run_load(const Options& options);

// The demo's built-in machine: a registry and two children, a modem and a port.
Options demo_options(uint64_t seed);

}  // namespace acmsim
