// The serial I/O control one comm function sends, waited for whether the
// handle is overlapped or not, as the system's comm functions do.
#pragma once

#include "win32.h"

namespace win32 {

// Sends `code` and waits for its end; on failure the thread's last error is
// the driver status's Win32 error.
BOOL serial_control(HANDLE handle, DWORD code, const void* input, DWORD input_length, void* output,
                    DWORD output_length, DWORD* returned = nullptr);

}  // namespace win32
