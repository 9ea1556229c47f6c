// A test device built around the request engine. Its device context is the
// driver's ACM_FDO_DATA with the driver's own queues (acm_create_queues);
// an intake queue of its own takes reads and device controls and serves
// two slots the way the read and write paths use the engine:
//
//   read slot  (ReadFile): pends until data, a time-out or a cancel ends it;
//   write slot (IOCTL_ENGTEST_WRITE, input = the bytes): pends until the
//              test reports the transfer done, or a cancel ends it.
//
// The test plays the hardware: it makes data available and queues the read
// DPC, or queues the write DPC for a finished transfer.
#pragma once

#include "acm_request.h"

#include <winioctl.h>

namespace engtest {

inline constexpr ULONG IOCTL_ENGTEST_WRITE = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);

struct Harness {
    PACM_FDO_DATA fdx = nullptr;
    WDFQUEUE intake = nullptr;
    WDFTIMER read_timer = nullptr;
    WDFDPC read_dpc = nullptr;    // data arrived
    WDFDPC write_dpc = nullptr;   // the current write's transfer ended

    LONGLONG read_timeout = 0;    // due time for pended reads; 0: none
    ULONG available = 0;          // bytes "in the ring"
    bool hold_start = false;      // leave a new current read unstarted
    bool suspended = false;       // the bus reports the function suspended

    int cancel_during_set = 0;    // cancel routine calls that found REF_SETTING
    int read_cancels = 0;         // cancel routine calls on a marked read
    int read_timeouts = 0;        // read timer expiries
};

extern Harness harness;
void reset();

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path);

// Serves current_read_request and then the queued reads.
ACM_START_ROUTINE read_start;
ACM_START_ROUTINE write_start;

}  // namespace engtest
