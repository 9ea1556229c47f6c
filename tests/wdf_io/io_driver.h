// A small KMDF driver for the framework's I/O tests. Its callbacks are the
// framework's documented ones; what they do is set per test through
// `behaviour`, and what they saw is kept in `journal`.
#pragma once

#include <ntddk.h>
#include <wdf.h>

#include <functional>
#include <string>
#include <vector>

// The request context every request of the test device carries.
typedef struct _IOTEST_REQUEST_CONTEXT {
    ULONG tag;
    ULONG spare[3];
} IOTEST_REQUEST_CONTEXT, *PIOTEST_REQUEST_CONTEXT;
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(IOTEST_REQUEST_CONTEXT, iotest_request_context)

namespace iotest {

struct Behaviour {
    WDF_DEVICE_IO_TYPE io_type = WdfDeviceIoBuffered;
    // Registers EvtIoInCallerContext; without `on_in_caller` it enqueues the
    // request with WdfDeviceEnqueueRequest and completes it if that fails.
    bool in_caller_context = false;
    std::function<void(WDFDEVICE, WDFREQUEST)> on_in_caller;
    // Builds the queues at device add; default: one parallel default queue
    // with every callback of this driver, power managed by default.
    std::function<void(WDFDEVICE)> create_queues;
    // EvtIoRead/Write/DeviceControl/InternalDeviceControl/Default; default:
    // the request is kept in journal.held.
    std::function<void(WDFQUEUE, WDFREQUEST)> on_io;
    // EvtIoStop; default: acknowledge, keeping the request.
    std::function<void(WDFQUEUE, WDFREQUEST, ULONG)> on_stop;
    std::function<void(WDFQUEUE, WDFREQUEST)> on_resume;
    // EvtIoCanceledOnQueue and EvtRequestCancel; default: complete with
    // STATUS_CANCELLED.
    std::function<void(WDFQUEUE, WDFREQUEST)> on_canceled_on_queue;
    std::function<void(WDFREQUEST)> on_cancel;
};

struct Journal {
    std::vector<std::string> events;   // "read", "stop 0x10000001", "resume", "cancel" ...
    std::vector<WDFREQUEST> held;
    WDFDEVICE device = nullptr;
    WDFQUEUE default_queue = nullptr;

    size_t count(const std::string& event) const;
    WDFREQUEST take_held();   // the oldest held request
};

extern Behaviour behaviour;
extern Journal journal;
void reset();

// A queue configuration with every callback of this driver set.
WDF_IO_QUEUE_CONFIG queue_config(WDF_IO_QUEUE_DISPATCH_TYPE type, bool default_queue);

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path);
EVT_WDF_REQUEST_CANCEL evt_request_cancel;

}  // namespace iotest
