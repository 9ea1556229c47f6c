// Pieces of the I/O manager shared between its source files.
#pragma once

#include "wdm_model.h"

namespace host::io {

void reset_user_space();
// probe_user_buffer with the scheduler lock already held.
NTSTATUS probe_locked(const void* p, size_t len, bool for_write);

// Opens the user address space to the current thread for as long as it
// lives (the scheduler lock held throughout): the I/O manager finishing a
// user call writes the caller's buffer and OVERLAPPED in the caller's
// context, as its completion APC does, whichever thread completed the IRP.
class CallerContextScope {
public:
    CallerContextScope();
    ~CallerContextScope();
    CallerContextScope(const CallerContextScope&) = delete;
    CallerContextScope& operator=(const CallerContextScope&) = delete;

private:
    bool was_closed_;
};

}  // namespace host::io
