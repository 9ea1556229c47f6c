// acmsim pty: each COM port of a free-running machine behind a Linux
// pseudo-terminal, so that ordinary serial programs drive the driver.
#pragma once

#include "options.h"

namespace acmsim {

// Runs until SIGINT or SIGTERM; 0 when the machine ran and shut down with
// the verifier silent.
int run_pty(const Options& options);

}  // namespace acmsim
