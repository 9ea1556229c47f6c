// One acmsim run: a host with the driver loaded and the children plugged.
#pragma once

#include "options.h"

namespace acmsim {

// Runs a load and prints the trace and what the driver published; returns
// the exit status (0: the driver loaded and every child started).
int run_load(const Options& options);

// The demo's built-in machine: a registry and two children, a modem and a port.
Options demo_options(uint64_t seed);

}  // namespace acmsim
