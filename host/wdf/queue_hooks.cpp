// The queue side of the device's life: request intake, power transitions
// (the "PnP and power management scenarios" of the framework: power-managed
// queues stop with EvtIoStop before EvtDeviceD0Exit and resume with
// EvtIoResume after EvtDeviceD0Entry), file cleanup and removal (EvtIoStop
// with WdfRequestStopActionPurge for every queue).
#include "host/wdf/queue_hooks.h"

#include "host/kernel/verifier.h"
#include "host/wdf/queue.h"

#include <sstream>

namespace host::wdf {

namespace {

// How long the framework waits for EvtIoStop's requests before it reports
// them, as the framework's verifier bounds such waits.
constexpr Time kStopWaitLimit = 60 * kSecond;

std::vector<FxQueue*> queues_of(FxDevice* device, bool power_managed_only)
{
    std::vector<FxQueue*> out;
    for (FxObject* object : device->queues) {
        auto* q = static_cast<FxQueue*>(object);
        if (!power_managed_only || q->power_managed)
            out.push_back(q);
    }
    return out;
}

std::string describe(FxQueue* q, FxRequest* r)
{
    std::ostringstream out;
    out << "WDFREQUEST " << static_cast<void*>(r) << " (IRP " << r->irp->id << ") of WDFQUEUE "
        << static_cast<void*>(q);
    return out.str();
}

// A request EvtIoStop was called for, pinned until the stop is over.
struct Stopped {
    FxQueue* queue;
    FxRequest* request;
};

// Calls EvtIoStop once for every request the driver owns from `q`, with
// `action` and WdfRequestStopRequestCancelable where it applies.
void stop_owned_requests(FxQueue* q, ULONG action, std::vector<Stopped>& stopped)
{
    std::vector<FxRequest*> owned;
    {
        auto lk = sched_lock();
        owned = q->owned;
        for (FxRequest* r : owned)
            request_pin_locked(r);
    }
    PFN_WDF_IO_QUEUE_IO_STOP evt_io_stop = q->config.EvtIoStop;
    for (FxRequest* r : owned) {
        stopped.push_back({q, r});
        ULONG flags = action;
        {
            auto lk = sched_lock();
            if (r->owner != FxRequest::Owner::driver || r->queue != q)
                continue;
            if (r->cancelable)
                flags |= WdfRequestStopRequestCancelable;
            r->stop = FxRequest::Stop::presented;
            if (evt_io_stop == nullptr)
                continue;   // the framework just waits for the completion
            r->stop_thread = current_thread();
        }
        // The driver may also leave the request to a path that completes
        // it shortly; wait_for_stopped judges what stays unresolved.
        call_driver("EvtIoStop",
                    [&] { evt_io_stop(q->handle_as<WDFQUEUE>(), r->handle_as<WDFREQUEST>(), flags); });
        auto lk = sched_lock();
        r->stop_thread = nullptr;
    }
}

// Waits until every stopped request is resolved: completed or given back
// to a queue, or, for a suspend, acknowledged. Then unpins them.
void wait_for_stopped(std::vector<Stopped>& stopped, bool purging)
{
    auto resolved = [purging](const Stopped& s) {
        const FxRequest* r = s.request;
        if (r->owner != FxRequest::Owner::driver || r->queue != s.queue)
            return true;
        return !purging && s.queue->config.EvtIoStop && r->stop == FxRequest::Stop::acknowledged;
    };
    std::vector<std::string> unresolved;
    {
        auto lk = sched_lock();
        auto all = [&] { return std::all_of(stopped.begin(), stopped.end(), resolved); };
        if (!wait_until(lk, all, now() + kStopWaitLimit, "requests stopped by EvtIoStop to be resolved"))
            for (const Stopped& s : stopped)
                if (!resolved(s))
                    unresolved.push_back(describe(s.queue, s.request));
    }
    for (const std::string& what : unresolved)
        verifier_report(purging ? "request-left-uncompleted" : "evt-io-stop-not-acknowledged",
                        what + (purging ? ": not completed at removal" : ": neither completed nor acknowledged"));
    for (const Stopped& s : stopped)
        request_unpin(s.request);
}

}  // namespace

void queues_dispatch(FxDevice* device, io::Irp* irp)
{
    FxRequest* r = request_create(device, irp);
    if (r == nullptr)
        return;
    // Creates that reach a queue go there directly, without the driver's
    // EvtIoInCallerContext.
    if (device->io_in_caller_context == nullptr || irp->major == IRP_MJ_CREATE) {
        FxQueue* q = route(device, *irp);
        NTSTATUS status = q ? queue_enqueue(q, r, false) : STATUS_INVALID_DEVICE_REQUEST;
        if (!NT_SUCCESS(status))
            request_complete(r, status, 0, "request intake");
        return;
    }
    {
        auto lk = sched_lock();
        r->in_caller_context = true;
        request_pin_locked(r);
    }
    call_driver(
        "EvtIoInCallerContext",
        [&] { device->io_in_caller_context(device->handle_as<WDFDEVICE>(), r->handle_as<WDFREQUEST>()); },
        in_user_context(current_thread()));
    {
        auto lk = sched_lock();
        r->in_caller_context = false;
    }
    request_unpin(r);
}

void queues_power_down(FxDevice* device)
{
    std::vector<FxQueue*> queues = queues_of(device, true);
    {
        auto lk = sched_lock();
        for (FxQueue* q : queues)
            q->power_held = true;
    }
    std::vector<Stopped> stopped;
    for (FxQueue* q : queues)
        stop_owned_requests(q, WdfRequestStopActionSuspend, stopped);
    wait_for_stopped(stopped, false);
}

void queues_power_up(FxDevice* device)
{
    for (FxQueue* q : queues_of(device, true)) {
        std::vector<FxRequest*> resumed;
        {
            auto lk = sched_lock();
            q->power_held = false;
            for (FxRequest* r : q->owned) {
                r->stop = FxRequest::Stop::none;
                if (r->resume_due) {
                    r->resume_due = false;
                    request_pin_locked(r);
                    resumed.push_back(r);
                }
            }
        }
        for (FxRequest* r : resumed) {
            if (q->config.EvtIoResume)
                call_driver("EvtIoResume",
                            [&] { q->config.EvtIoResume(q->handle_as<WDFQUEUE>(), r->handle_as<WDFREQUEST>()); });
            request_unpin(r);
        }
        queue_run(q);
    }
}

void queues_file_cleanup(FxDevice* device, FxFile* file)
{
    for (FxQueue* q : queues_of(device, false))
        queue_cancel_waiting_where(q, [file](FxRequest* r) { return r->irp->file == file->wdm; });
}

void queues_remove(FxDevice* device)
{
    std::vector<FxQueue*> queues = queues_of(device, false);
    auto everything = [](FxRequest*) { return true; };
    for (FxQueue* q : queues) {
        {
            auto lk = sched_lock();
            q->accepting = false;
            q->removed = true;
        }
        queue_cancel_waiting_where(q, everything);
    }
    std::vector<Stopped> stopped;
    for (FxQueue* q : queues)
        stop_owned_requests(q, WdfRequestStopActionPurge, stopped);
    wait_for_stopped(stopped, true);
    // Requests the driver requeued from EvtIoStop go the way of the others.
    for (FxQueue* q : queues)
        queue_cancel_waiting_where(q, everything);
}

}  // namespace host::wdf
