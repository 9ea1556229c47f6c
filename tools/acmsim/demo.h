// acmsim demo: a serial session on a built-in machine, as a Windows serial
// application runs it, ending with a summary table.
#pragma once

#include "options.h"

namespace acmsim {

// The demo's machine: a modem function on COM5 and a loopback function on
// COM6 at high-speed bulk rates.
Options demo_options(uint64_t seed);

// Runs the session; 0 when every step passed, every byte came back, every
// request ended and the verifier stayed silent.
int run_demo(const Options& options);

}  // namespace acmsim
