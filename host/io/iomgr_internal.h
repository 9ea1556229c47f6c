// Pieces of the I/O manager shared between its source files.
#pragma once

#include "wdm_model.h"

namespace host::io {

void reset_user_space();
// probe_user_buffer with the scheduler lock already held.
NTSTATUS probe_locked(const void* p, size_t len, bool for_write);

}  // namespace host::io
