// The framework request object: one IRP of the device as the driver sees
// it, with the ownership, cancellation and queue-stop state the framework
// keeps for it. Fields are guarded by the scheduler lock.
#pragma once

#include "host/wdf/fx.h"

namespace host::wdf {

struct FxQueue;

struct FxRequest : FxObject {
    static constexpr ObjectKind kKind = ObjectKind::request;
    FxRequest() : FxObject(kKind) {}

    // Who holds the request: the framework (being created, in
    // EvtIoInCallerContext, being cancelled off a queue), a queue (waiting,
    // undelivered), the driver (presented or retrieved), or nobody.
    enum class Owner { framework, queue, driver, completed };

    io::Irp* irp = nullptr;
    FxDevice* device = nullptr;
    Owner owner = Owner::framework;
    FxQueue* queue = nullptr;          // the queue it waits in or was delivered from
    bool in_caller_context = false;    // inside EvtIoInCallerContext
    bool requeued = false;             // enqueued or forwarded by the driver
    bool power_referenced = false;     // holds a power reference for its power-managed queue

    // Cancellation. `cancelable`: marked and neither unmarked nor taken by
    // a cancellation; `cancel_started`: the framework took the routine.
    PFN_WDF_REQUEST_CANCEL cancel_routine = nullptr;
    bool cancelable = false;
    bool cancel_started = false;

    // Queue stop: the thread running EvtIoStop for it, and what came of it.
    enum class Stop { none, presented, acknowledged };
    Stop stop = Stop::none;
    Thread* stop_thread = nullptr;
    bool resume_due = false;           // acknowledged without requeue on a suspend

    ULONG_PTR information = 0;
    NTSTATUS status = STATUS_PENDING;

    // Keeps the object alive while the framework still looks at it after a
    // possible completion (EvtIoStop, a cancel routine).
    int pins = 0;
    bool delete_when_unpinned = false;
};

// A new request for `irp` with the device's request attributes; null (and
// the IRP completed with STATUS_INSUFFICIENT_RESOURCES) if allocation fails.
FxRequest* request_create(FxDevice* device, io::Irp* irp);

// Completes the request and deletes it. `api` names the caller for reports.
void request_complete(FxRequest* request, NTSTATUS status, ULONG_PTR information, const char* api);

// Runs the driver's EvtRequestCancel for a request whose cancellation the
// framework has taken (cancel_started set under the lock).
void request_call_cancel_routine(FxRequest* request);

// io::cancel_irp has taken the framework's IRP cancel routine from the IRP
// of a waiting or cancelable request but has not run it yet: the request
// belongs to that cancellation. Scheduler lock held.
bool request_cancel_in_flight_locked(const FxRequest* request);

// Installs or removes the framework's IRP cancel routine, which it keeps on
// an IRP while its request waits in a queue or is marked cancelable;
// scheduler lock held.
void request_arm_cancel_locked(FxRequest* request);
void request_disarm_cancel_locked(FxRequest* request);

// Pins keep a request's memory valid across driver callbacks that may
// complete it. Scheduler lock held for pin; unpin takes it itself.
void request_pin_locked(FxRequest* request);
void request_unpin(FxRequest* request);

// The request behind a handle, or null after a report: a request used after
// its completion ("request-used-after-completion", or
// "request-completed-twice" when `completing`) or a bad handle.
FxRequest* request_of(WDFREQUEST handle, const char* api, bool completing = false);

}  // namespace host::wdf
