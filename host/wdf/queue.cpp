// Framework I/O queues: accepting, presenting and retrieving requests,
// forwarding between queues, and the driver's stop, start and purge.
//
// A queue presents requests on whatever thread gave it work (the caller's
// thread for a new request, the completer's for a sequential queue, the
// starter's after WdfIoQueueStart), never recursively on one thread.
#include "host/wdf/queue.h"

#include "host/kernel/verifier.h"
#include "host/wdf/dpc.h"

#include <algorithm>
#include <utility>

namespace host::wdf {

namespace {

// Queues whose presentation loop runs on this thread, outermost first.
thread_local std::vector<FxQueue*> t_presenting;

bool is_zero_length_transfer(const io::Irp& irp)
{
    return (irp.major == IRP_MJ_READ || irp.major == IRP_MJ_WRITE) && irp.length == 0;
}

bool takes_work(const FxQueue* q)
{
    switch (q->config.DispatchType) {
    case WdfIoQueueDispatchSequential:
        return q->owned.empty();
    case WdfIoQueueDispatchParallel: {
        ULONG limit = q->config.Settings.Parallel.NumberOfPresentedRequests;
        return limit == 0 || limit == ULONG(-1) || q->owned.size() < limit;
    }
    default:
        return false;   // manual: the driver retrieves
    }
}

// Takes the first waiting request that no cancellation has claimed off the
// queue and gives it to the driver; null if there is none. Lock held.
FxRequest* deliver_next_locked(FxQueue* q)
{
    auto it = std::find_if(q->waiting.begin(), q->waiting.end(),
                           [](FxRequest* r) { return !request_cancel_in_flight_locked(r); });
    if (it == q->waiting.end())
        return nullptr;
    FxRequest* r = *it;
    q->waiting.erase(it);
    request_disarm_cancel_locked(r);
    r->owner = FxRequest::Owner::driver;
    q->owned.push_back(r);
    return r;
}

// The next request the queue presents by itself, or null; lock held.
FxRequest* take_next_locked(FxQueue* q)
{
    return q->dispatching() && takes_work(q) ? deliver_next_locked(q) : nullptr;
}

// Calls the queue's callback for the request's type.
void present(FxQueue* q, FxRequest* r)
{
    const WDF_IO_QUEUE_CONFIG& c = q->config;
    const io::Irp& irp = *r->irp;
    WDFQUEUE qh = q->handle_as<WDFQUEUE>();
    WDFREQUEST rh = r->handle_as<WDFREQUEST>();
    if (irp.major == IRP_MJ_READ && c.EvtIoRead) {
        size_t length = irp.length;
        call_driver("EvtIoRead", [&] { c.EvtIoRead(qh, rh, length); });
    } else if (irp.major == IRP_MJ_WRITE && c.EvtIoWrite) {
        size_t length = irp.length;
        call_driver("EvtIoWrite", [&] { c.EvtIoWrite(qh, rh, length); });
    } else if (irp.major == IRP_MJ_DEVICE_CONTROL && c.EvtIoDeviceControl) {
        size_t out = irp.output_length, in = irp.input_length;
        ULONG code = irp.ioctl;
        call_driver("EvtIoDeviceControl", [&] { c.EvtIoDeviceControl(qh, rh, out, in, code); });
    } else if (irp.major == IRP_MJ_INTERNAL_DEVICE_CONTROL && c.EvtIoInternalDeviceControl) {
        size_t out = irp.output_length, in = irp.input_length;
        ULONG code = irp.ioctl;
        call_driver("EvtIoInternalDeviceControl", [&] { c.EvtIoInternalDeviceControl(qh, rh, out, in, code); });
    } else if (c.EvtIoDefault) {
        call_driver("EvtIoDefault", [&] { c.EvtIoDefault(qh, rh); });
    } else {
        request_complete(r, STATUS_INVALID_DEVICE_REQUEST, 0, "queue without a callback for the request");
    }
}

// Runs the stop, purge and drain callbacks whose condition now holds.
void run_state_callbacks(FxQueue* q)
{
    std::vector<FxQueue::StateCallback> due;
    {
        auto lk = sched_lock();
        auto& pending = q->state_callbacks;
        for (auto it = pending.begin(); it != pending.end();) {
            if (q->owned.empty() && (!it->needs_empty || q->waiting.empty())) {
                due.push_back(*it);
                it = pending.erase(it);
            } else {
                ++it;
            }
        }
        notify_all();
    }
    for (const auto& cb : due)
        call_driver("EvtIoQueueState", [&] { cb.routine(q->handle_as<WDFQUEUE>(), cb.context); });
}

// Takes a request that was cancelled before it could be armed off the
// queue again; lock held. True if the caller must finish the cancellation.
bool take_if_cancelled_locked(FxQueue* q, FxRequest* r)
{
    if (!r->irp->cancel || r->owner != FxRequest::Owner::queue)
        return false;
    auto& waiting = q->waiting;
    waiting.erase(std::find(waiting.begin(), waiting.end(), r));
    request_disarm_cancel_locked(r);
    r->owner = FxRequest::Owner::framework;
    return true;
}

FxQueue* queue_of(WDFQUEUE handle, const char* api) { return resolve<FxQueue>(handle, api); }

}  // namespace

// --- power references -------------------------------------------------------------

namespace {
constexpr const char* kPowerManagedQueue = "power-managed queue";
}

QueuePowerReference::QueuePowerReference(FxQueue* q) : device_(q->device)
{
    if (!q->power_managed)
        return;
    NTSTATUS status = power_reference(device_, false, kPowerManagedQueue);
    held_ = status == STATUS_SUCCESS || status == STATUS_PENDING;
}

QueuePowerReference::~QueuePowerReference()
{
    if (held_)
        power_dereference(device_, kPowerManagedQueue);
}

void QueuePowerReference::hand_to_locked(FxRequest* r, std::unique_lock<std::mutex>& lk)
{
    if (std::exchange(r->power_referenced, std::exchange(held_, false)))
        power_dereference_locked(r->device, lk, kPowerManagedQueue);
}

void request_drop_power_reference_locked(FxRequest* r, std::unique_lock<std::mutex>& lk)
{
    if (std::exchange(r->power_referenced, false))
        power_dereference_locked(r->device, lk, kPowerManagedQueue);
}

// --- the queue machinery ----------------------------------------------------------

NTSTATUS queue_insert_locked(FxQueue* q, FxRequest* r, bool by_driver)
{
    if (!q->accepting)
        return STATUS_INVALID_DEVICE_STATE;
    r->queue = q;
    r->owner = FxRequest::Owner::queue;
    r->requeued = r->requeued || by_driver;
    q->waiting.push_back(r);
    request_arm_cancel_locked(r);
    return STATUS_SUCCESS;
}

void queue_detach_locked(FxQueue* q, FxRequest* r)
{
    auto& owned = q->owned;
    owned.erase(std::remove(owned.begin(), owned.end(), r), owned.end());
    auto& waiting = q->waiting;
    waiting.erase(std::remove(waiting.begin(), waiting.end(), r), waiting.end());
    notify_all();
}

void queue_run(FxQueue* q)
{
    if (std::find(t_presenting.begin(), t_presenting.end(), q) != t_presenting.end())
        return;   // the loop further up this thread's stack carries on
    t_presenting.push_back(q);
    for (;;) {
        auto lk = sched_lock();
        FxRequest* r = take_next_locked(q);
        lk.unlock();
        if (r == nullptr)
            break;
        present(q, r);
    }
    t_presenting.pop_back();
    run_state_callbacks(q);
}

void queue_after_completion(FxQueue* q)
{
    const WDF_IO_QUEUE_CONFIG& c = q->config;
    ULONG limit = c.Settings.Parallel.NumberOfPresentedRequests;
    bool limited = c.DispatchType == WdfIoQueueDispatchSequential ||
                   (c.DispatchType == WdfIoQueueDispatchParallel && limit != 0 && limit != ULONG(-1));
    if (limited)
        queue_run(q);
    else
        run_state_callbacks(q);
}

void queue_cancel_waiting(FxQueue* q, FxRequest* r)
{
    bool to_driver;
    {
        auto lk = sched_lock();
        to_driver = r->requeued && q->config.EvtIoCanceledOnQueue != nullptr;
        if (to_driver) {
            r->owner = FxRequest::Owner::driver;
            r->queue = q;
            q->owned.push_back(r);
        }
    }
    if (to_driver) {
        WDFREQUEST rh = r->handle_as<WDFREQUEST>();
        call_driver("EvtIoCanceledOnQueue",
                    [&] { q->config.EvtIoCanceledOnQueue(q->handle_as<WDFQUEUE>(), rh); });
    } else {
        request_complete(r, STATUS_CANCELLED, 0, "cancellation of a queued request");
    }
    run_state_callbacks(q);
}

void queue_cancel_waiting_where(FxQueue* q, const std::function<bool(FxRequest*)>& match)
{
    std::vector<FxRequest*> cancelled;
    {
        auto lk = sched_lock();
        auto& waiting = q->waiting;
        for (auto it = waiting.begin(); it != waiting.end();) {
            if (match(*it) && !request_cancel_in_flight_locked(*it)) {
                request_disarm_cancel_locked(*it);
                (*it)->owner = FxRequest::Owner::framework;
                cancelled.push_back(*it);
                it = waiting.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (FxRequest* r : cancelled)
        queue_cancel_waiting(q, r);
}

NTSTATUS queue_enqueue(FxQueue* q, FxRequest* r, bool by_driver)
{
    if (!q->config.AllowZeroLengthRequests && is_zero_length_transfer(*r->irp)) {
        request_complete(r, STATUS_SUCCESS, 0, "zero-length transfer");
        return STATUS_SUCCESS;
    }
    QueuePowerReference power(q);
    auto lk = sched_lock();
    NTSTATUS status = queue_insert_locked(q, r, by_driver);
    if (NT_SUCCESS(status))
        power.hand_to_locked(r, lk);
    bool cancelled = NT_SUCCESS(status) && take_if_cancelled_locked(q, r);
    lk.unlock();
    if (!NT_SUCCESS(status))
        return status;
    if (cancelled)
        queue_cancel_waiting(q, r);
    queue_run(q);
    return STATUS_SUCCESS;
}

void FxQueue::dispose()
{
    {
        auto lk = sched_lock();
        accepting = false;
        removed = true;
    }
    queue_cancel_waiting_where(this, [](FxRequest*) { return true; });
    auto& queues = device->queues;
    queues.erase(std::remove(queues.begin(), queues.end(), this), queues.end());
    if (device->default_queue == handle_as<WDFQUEUE>())
        device->default_queue = nullptr;
    std::erase_if(device->dispatch, [this](const auto& entry) { return entry.second == handle_as<WDFQUEUE>(); });
}

// --- routing ----------------------------------------------------------------------

FxQueue* route(FxDevice* device, const io::Irp& irp)
{
    auto it = device->dispatch.find(static_cast<WDF_REQUEST_TYPE>(irp.major));
    WDFQUEUE handle = it != device->dispatch.end() ? it->second : device->default_queue;
    return handle ? static_cast<FxQueue*>(reinterpret_cast<FxObject*>(handle)) : nullptr;
}

}  // namespace host::wdf

using namespace host;
using namespace host::wdf;

// --- creation and routing -------------------------------------------------------------

WDFAPI NTSTATUS WdfIoQueueCreate(WDFDEVICE Device, PWDF_IO_QUEUE_CONFIG Config,
                                 PWDF_OBJECT_ATTRIBUTES QueueAttributes, WDFQUEUE* Queue)
{
    if (Queue)
        *Queue = nullptr;
    verify_irql_at_most(DISPATCH_LEVEL, "WdfIoQueueCreate");
    FxDevice* device = resolve<FxDevice>(Device, "WdfIoQueueCreate");
    if (device == nullptr || Config == nullptr || Config->Size != sizeof(WDF_IO_QUEUE_CONFIG))
        return STATUS_INVALID_PARAMETER;
    if (Config->DispatchType <= WdfIoQueueDispatchInvalid || Config->DispatchType >= WdfIoQueueDispatchMax)
        return STATUS_INVALID_PARAMETER;
    if (Config->DefaultQueue && device->default_queue != nullptr)
        return STATUS_INVALID_DEVICE_STATE;

    FxQueue* q = nullptr;
    NTSTATUS status = create_object(QueueAttributes, device, "WdfIoQueueCreate", &q);
    if (!NT_SUCCESS(status))
        return status;
    q->device = device;
    q->config = *Config;
    // WdfUseDefault: power managed unless the device is not its power
    // policy owner (a filter's queues are not).
    q->power_managed = Config->PowerManaged == WdfTrue ||
                       (Config->PowerManaged == WdfUseDefault && device->power_policy_owner);
    q->power_held = q->power_managed && !device->in_d0();
    device->queues.push_back(q);
    if (Config->DefaultQueue)
        device->default_queue = q->handle_as<WDFQUEUE>();
    if (Queue)
        *Queue = q->handle_as<WDFQUEUE>();
    return STATUS_SUCCESS;
}

WDFAPI NTSTATUS WdfDeviceEnqueueRequest(WDFDEVICE Device, WDFREQUEST Request)
{
    FxDevice* device = resolve<FxDevice>(Device, "WdfDeviceEnqueueRequest");
    FxRequest* r = request_of(Request, "WdfDeviceEnqueueRequest");
    if (device == nullptr || r == nullptr)
        return STATUS_INVALID_PARAMETER;
    {
        auto lk = sched_lock();
        if (!r->in_caller_context || r->owner != FxRequest::Owner::framework)
            return STATUS_INVALID_DEVICE_REQUEST;
    }
    FxQueue* q = route(device, *r->irp);
    if (q == nullptr)
        return STATUS_INVALID_DEVICE_REQUEST;
    return queue_enqueue(q, r, true);
}

// --- state ------------------------------------------------------------------------------

WDFAPI WDF_IO_QUEUE_STATE WdfIoQueueGetState(WDFQUEUE Queue, PULONG QueueRequests, PULONG DriverRequests)
{
    FxQueue* q = queue_of(Queue, "WdfIoQueueGetState");
    if (q == nullptr)
        return WDF_IO_QUEUE_STATE(0);
    auto lk = sched_lock();
    ULONG state = 0;
    if (q->accepting)
        state |= WdfIoQueueAcceptRequests;
    if (q->started && !q->power_held)
        state |= WdfIoQueueDispatchRequests;
    if (q->waiting.empty())
        state |= WdfIoQueueNoRequests;
    if (q->owned.empty())
        state |= WdfIoQueueDriverNoRequests;
    if (q->power_held)
        state |= WdfIoQueuePnpHeld;
    if (QueueRequests)
        *QueueRequests = ULONG(q->waiting.size());
    if (DriverRequests)
        *DriverRequests = ULONG(q->owned.size());
    return WDF_IO_QUEUE_STATE(state);
}

WDFAPI WDFDEVICE WdfIoQueueGetDevice(WDFQUEUE Queue)
{
    FxQueue* q = queue_of(Queue, "WdfIoQueueGetDevice");
    return q ? q->device->handle_as<WDFDEVICE>() : nullptr;
}

// --- start, stop, purge, drain ----------------------------------------------------------

namespace {

void add_state_callback(FxQueue* q, bool needs_empty, PFN_WDF_IO_QUEUE_STATE routine, WDFCONTEXT context)
{
    if (routine)
        q->state_callbacks.push_back({needs_empty, routine, context});
}

// Stop (started cleared) or drain (accepting cleared): `routine` runs once the
// driver owns no request and, draining, none waits; a draining queue still
// dispatches what waits.
void halt(WDFQUEUE queue, const char* api, bool FxQueue::*flag, bool draining, PFN_WDF_IO_QUEUE_STATE routine,
          WDFCONTEXT context)
{
    FxQueue* q = queue_of(queue, api);
    if (q == nullptr)
        return;
    {
        auto lk = sched_lock();
        q->*flag = false;
        add_state_callback(q, draining, routine, context);
    }
    if (draining)
        queue_run(q);
    else
        run_state_callbacks(q);
}

void wait_for_queue(FxQueue* q, bool needs_empty, const char* what)
{
    auto lk = sched_lock();
    wait_until(lk, [&] { return q->owned.empty() && (!needs_empty || q->waiting.empty()); }, kForever, what);
}

// The synchronous form of a state change: `change` the queue, then wait
// until the driver owns no request (and, if `needs_empty`, none waits).
template <typename Change>
void change_synchronously(WDFQUEUE queue, const char* api, bool needs_empty, const char* what, Change change)
{
    bool wait = may_wait(api);
    FxQueue* q = queue_of(queue, api);
    if (q == nullptr || !wait)
        return;
    change(q);
    wait_for_queue(q, needs_empty, what);
}

// Stops accepting and presenting, cancels the waiting requests and the
// driver's cancelable ones.
void purge(FxQueue* q, PFN_WDF_IO_QUEUE_STATE routine, WDFCONTEXT context)
{
    std::vector<FxRequest*> to_cancel;
    {
        auto lk = sched_lock();
        q->accepting = false;
        q->started = false;
        add_state_callback(q, true, routine, context);
        for (FxRequest* r : q->owned) {
            if (r->cancelable && !r->cancel_started && !request_cancel_in_flight_locked(r)) {
                r->cancelable = false;
                r->cancel_started = true;
                request_disarm_cancel_locked(r);
                to_cancel.push_back(r);
            }
        }
    }
    queue_cancel_waiting_where(q, [](FxRequest*) { return true; });
    for (FxRequest* r : to_cancel)
        request_call_cancel_routine(r);
    run_state_callbacks(q);
}

}  // namespace

WDFAPI VOID WdfIoQueueStart(WDFQUEUE Queue)
{
    FxQueue* q = queue_of(Queue, "WdfIoQueueStart");
    if (q == nullptr)
        return;
    {
        auto lk = sched_lock();
        if (q->removed)
            return;
        q->accepting = true;
        q->started = true;
    }
    queue_run(q);
}

WDFAPI VOID WdfIoQueueStop(WDFQUEUE Queue, PFN_WDF_IO_QUEUE_STATE StopComplete, WDFCONTEXT Context)
{
    halt(Queue, "WdfIoQueueStop", &FxQueue::started, false, StopComplete, Context);
}

WDFAPI VOID WdfIoQueueStopSynchronously(WDFQUEUE Queue)
{
    change_synchronously(Queue, "WdfIoQueueStopSynchronously", false,
                         "WdfIoQueueStopSynchronously: requests the driver owns",
                         [Queue](FxQueue*) { WdfIoQueueStop(Queue, nullptr, nullptr); });
}

WDFAPI VOID WdfIoQueuePurge(WDFQUEUE Queue, PFN_WDF_IO_QUEUE_STATE PurgeComplete, WDFCONTEXT Context)
{
    verify_irql_at_most(DISPATCH_LEVEL, "WdfIoQueuePurge");
    if (FxQueue* q = queue_of(Queue, "WdfIoQueuePurge"))
        purge(q, PurgeComplete, Context);
}

WDFAPI VOID WdfIoQueuePurgeSynchronously(WDFQUEUE Queue)
{
    change_synchronously(Queue, "WdfIoQueuePurgeSynchronously", true,
                         "WdfIoQueuePurgeSynchronously: requests to complete",
                         [](FxQueue* q) { purge(q, nullptr, nullptr); });
}

WDFAPI VOID WdfIoQueueDrain(WDFQUEUE Queue, PFN_WDF_IO_QUEUE_STATE DrainComplete, WDFCONTEXT Context)
{
    halt(Queue, "WdfIoQueueDrain", &FxQueue::accepting, true, DrainComplete, Context);
}

WDFAPI VOID WdfIoQueueDrainSynchronously(WDFQUEUE Queue)
{
    change_synchronously(Queue, "WdfIoQueueDrainSynchronously", true,
                         "WdfIoQueueDrainSynchronously: requests to complete",
                         [Queue](FxQueue*) { WdfIoQueueDrain(Queue, nullptr, nullptr); });
}

// --- the driver moving requests -------------------------------------------------------------

WDFAPI NTSTATUS WdfIoQueueRetrieveNextRequest(WDFQUEUE Queue, WDFREQUEST* OutRequest)
{
    verify_irql_at_most(DISPATCH_LEVEL, "WdfIoQueueRetrieveNextRequest");
    if (OutRequest == nullptr)
        return STATUS_INVALID_PARAMETER;
    *OutRequest = nullptr;
    FxQueue* q = queue_of(Queue, "WdfIoQueueRetrieveNextRequest");
    if (q == nullptr)
        return STATUS_INVALID_PARAMETER;
    auto lk = sched_lock();
    if (q->config.DispatchType == WdfIoQueueDispatchParallel)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (!q->dispatching())
        return STATUS_WDF_PAUSED;
    FxRequest* r = deliver_next_locked(q);
    if (r == nullptr)
        return STATUS_NO_MORE_ENTRIES;
    *OutRequest = r->handle_as<WDFREQUEST>();
    return STATUS_SUCCESS;
}

WDFAPI NTSTATUS WdfRequestForwardToIoQueue(WDFREQUEST Request, WDFQUEUE DestinationQueue)
{
    verify_irql_at_most(DISPATCH_LEVEL, "WdfRequestForwardToIoQueue");
    FxRequest* r = request_of(Request, "WdfRequestForwardToIoQueue");
    FxQueue* dest = queue_of(DestinationQueue, "WdfRequestForwardToIoQueue");
    if (r == nullptr || dest == nullptr)
        return STATUS_INVALID_PARAMETER;
    QueuePowerReference power(dest);
    auto lk = sched_lock();
    FxQueue* source = r->queue;
    if (r->owner != FxRequest::Owner::driver || source == nullptr || source == dest ||
        source->device != dest->device || r->cancelable)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (!dest->accepting)
        return STATUS_WDF_BUSY;
    queue_detach_locked(source, r);
    queue_insert_locked(dest, r, true);
    power.hand_to_locked(r, lk);
    bool cancelled = take_if_cancelled_locked(dest, r);
    lk.unlock();
    if (cancelled)
        queue_cancel_waiting(dest, r);
    queue_run(dest);
    queue_run(source);
    return STATUS_SUCCESS;
}

WDFAPI VOID WdfRequestStopAcknowledge(WDFREQUEST Request, BOOLEAN Requeue)
{
    FxRequest* r = request_of(Request, "WdfRequestStopAcknowledge");
    if (r == nullptr)
        return;
    auto lk = sched_lock();
    if (r->stop_thread != current_thread() || r->owner != FxRequest::Owner::driver) {
        lk.unlock();
        verifier_report("stop-acknowledge-outside-evtiostop",
                        "WdfRequestStopAcknowledge outside the request's EvtIoStop");
        return;
    }
    r->stop = FxRequest::Stop::acknowledged;
    notify_all();   // a suspend or purge may wait for this acknowledgement
    if (!Requeue) {
        r->resume_due = !r->queue->removed;
        return;
    }
    if (r->cancelable) {
        lk.unlock();
        verifier_report("request-completed-while-cancelable",
                        "WdfRequestStopAcknowledge(Requeue TRUE) on a request still marked cancelable");
        return;
    }
    // Back to the head of its queue, to be presented again after the stop.
    FxQueue* q = r->queue;
    queue_detach_locked(q, r);
    r->owner = FxRequest::Owner::queue;
    r->requeued = true;
    q->waiting.push_front(r);
    request_arm_cancel_locked(r);
    bool cancelled = take_if_cancelled_locked(q, r);
    lk.unlock();
    if (cancelled)
        queue_cancel_waiting(q, r);
}
