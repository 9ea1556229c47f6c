// Framework requests: parameters, buffers, cancellation and completion.
//
// A request is created for every read, write, device-control and internal
// device-control IRP of a framework device (and for the create IRP handed
// to EvtDeviceFileCreate). Completing it completes the IRP and deletes the
// object; the handle is remembered so that later use is reported.
#include "host/wdf/queue.h"

#include "host/io/iomgr.h"
#include "host/wdf/internal.h"
#include "host/kernel/verifier.h"

#include <algorithm>
#include <deque>
#include <sstream>
#include <unordered_map>

namespace host::wdf {

namespace {

// Handles of recently completed requests, for "request-used-after-completion",
// oldest first; bounded, so that long runs do not grow without limit.
// Guarded by the scheduler lock.
constexpr size_t kCompletedRemembered = 1 << 16;
struct Completed {
    uint64_t irp_id;   // the IRP itself may be gone
    UCHAR major;
};
std::unordered_map<WDFREQUEST, Completed> g_completed;
std::deque<WDFREQUEST> g_completed_order;

void remember_completed_locked(FxRequest* r)
{
    WDFREQUEST handle = r->handle_as<WDFREQUEST>();
    if (g_completed.emplace(handle, Completed{r->irp->id, r->irp->major}).second)
        g_completed_order.push_back(handle);
    if (g_completed_order.size() > kCompletedRemembered) {
        g_completed.erase(g_completed_order.front());
        g_completed_order.pop_front();
    }
}

std::string describe(WDFREQUEST handle, const Completed& irp)
{
    std::ostringstream out;
    out << "WDFREQUEST " << static_cast<void*>(handle) << " (IRP " << irp.irp_id << ", major 0x" << std::hex
        << unsigned(irp.major) << ")";
    return out.str();
}

std::string describe(FxRequest* r) { return describe(r->handle_as<WDFREQUEST>(), {r->irp->id, r->irp->major}); }

}  // namespace

// --- lifetime ------------------------------------------------------------------

FxRequest* request_create(FxDevice* device, io::Irp* irp)
{
    PWDF_OBJECT_ATTRIBUTES attributes =
        device->request_attributes.Size != 0 ? &device->request_attributes : nullptr;
    FxRequest* r = nullptr;
    if (!NT_SUCCESS(create_object(attributes, device, "request", &r))) {
        io::complete_irp(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        return nullptr;
    }
    r->driver_may_delete = false;
    r->irp = irp;
    r->device = device;
    auto lk = sched_lock();
    irp->framework = r;
    g_completed.erase(r->handle_as<WDFREQUEST>());
    return r;
}

WDFREQUEST make_create_request(FxDevice* device, io::Irp* irp)
{
    FxRequest* r = request_create(device, irp);
    if (r == nullptr)
        return nullptr;
    auto lk = sched_lock();
    r->owner = FxRequest::Owner::driver;
    return r->handle_as<WDFREQUEST>();
}

// A pin is an object reference too: the removal may delete the device, and
// the request with it, while a completion is still under way.
void request_pin_locked(FxRequest* r)
{
    r->pins++;
    reference(r);
}

void request_unpin(FxRequest* r)
{
    auto lk = sched_lock();
    bool delete_now = --r->pins == 0 && r->delete_when_unpinned;
    lk.unlock();
    if (delete_now)
        delete_object(r);
    dereference(r);
}

FxRequest* request_of(WDFREQUEST handle, const char* api, bool completing)
{
    {
        auto lk = sched_lock();
        auto it = g_completed.find(handle);
        if (it != g_completed.end()) {
            std::string detail = std::string(api) + " on " + describe(handle, it->second) + ", already completed";
            lk.unlock();
            verifier_report(completing ? "request-completed-twice" : "request-used-after-completion", detail);
            return nullptr;
        }
    }
    return resolve<FxRequest>(handle, api);
}

// --- completion ----------------------------------------------------------------

void request_complete(FxRequest* r, NTSTATUS status, ULONG_PTR information, const char* api)
{
    yield_point("request completion");
    auto lk = sched_lock();
    if (r->owner == FxRequest::Owner::completed) {
        std::ostringstream detail;
        detail << api << " on WDFREQUEST " << static_cast<void*>(r);
        lk.unlock();
        verifier_report("request-completed-twice", detail.str());
        return;
    }
    if (r->cancelable && !r->cancel_started) {
        std::string detail = std::string(api) + " on " + describe(r) + " still marked cancelable";
        lk.unlock();
        verifier_report("request-completed-while-cancelable", detail);
        lk.lock();
    }
    request_disarm_cancel_locked(r);
    r->cancelable = false;
    r->owner = FxRequest::Owner::completed;
    r->status = status;
    r->information = information;
    remember_completed_locked(r);
    // The completion holds its own pin until it is done with the request:
    // whoever drops the last pin, here or on another thread, deletes it.
    r->delete_when_unpinned = true;
    request_pin_locked(r);
    io::Irp* irp = r->irp;
    notify_all();   // no longer the driver's: a stop may wait for that
    lk.unlock();

    io::complete_irp(irp, status, information);
    // Only now does the queue stop counting it: whoever waits for the
    // queue's requests finds their IRPs completed.
    lk.lock();
    FxQueue* queue = r->queue;
    if (queue)
        queue_detach_locked(queue, r);
    request_drop_power_reference_locked(r, lk);
    lk.unlock();
    request_unpin(r);
    if (queue)
        queue_after_completion(queue);
}

// --- cancellation ----------------------------------------------------------------

void request_call_cancel_routine(FxRequest* r)
{
    PFN_WDF_REQUEST_CANCEL routine = r->cancel_routine;
    WDFREQUEST handle = r->handle_as<WDFREQUEST>();
    call_driver("EvtRequestCancel", [&] { routine(handle); });
}

namespace {

// Called by io::cancel_irp, which took the routine; runs at DISPATCH_LEVEL.
// A waiting request leaves its queue; a cancelable one goes to its routine.
void irp_cancel_routine(io::Irp* irp)
{
    auto lk = sched_lock();
    auto* r = static_cast<FxRequest*>(irp->framework);
    if (r->owner == FxRequest::Owner::queue) {
        FxQueue* queue = r->queue;
        auto& waiting = queue->waiting;
        waiting.erase(std::find(waiting.begin(), waiting.end(), r));
        r->owner = FxRequest::Owner::framework;
        lk.unlock();
        queue_cancel_waiting(queue, r);
        return;
    }
    if (r->owner == FxRequest::Owner::driver && r->cancelable) {
        r->cancelable = false;
        r->cancel_started = true;
        lk.unlock();
        request_call_cancel_routine(r);
    }
}

// Marks a driver-owned request cancelable. STATUS_CANCELLED: its IRP is
// already cancelled and the request stays uncancelable.
NTSTATUS mark_cancelable(FxRequest* r, PFN_WDF_REQUEST_CANCEL routine)
{
    auto lk = sched_lock();
    if (r->owner != FxRequest::Owner::driver || routine == nullptr)
        return STATUS_INVALID_DEVICE_REQUEST;
    r->cancel_routine = routine;
    if (r->irp->cancel || r->cancel_started)
        return STATUS_CANCELLED;
    r->cancelable = true;
    request_arm_cancel_locked(r);
    return STATUS_SUCCESS;
}

}  // namespace

bool request_cancel_in_flight_locked(const FxRequest* r)
{
    bool armed = r->owner == FxRequest::Owner::queue || (r->owner == FxRequest::Owner::driver && r->cancelable);
    return armed && !r->irp->cancel_routine;
}

void request_arm_cancel_locked(FxRequest* r) { r->irp->cancel_routine = irp_cancel_routine; }
void request_disarm_cancel_locked(FxRequest* r) { r->irp->cancel_routine = nullptr; }

}  // namespace host::wdf

using namespace host;
using namespace host::wdf;

WDFAPI VOID WdfRequestMarkCancelable(WDFREQUEST Request, PFN_WDF_REQUEST_CANCEL EvtRequestCancel)
{
    verify_irql_at_most(DISPATCH_LEVEL, "WdfRequestMarkCancelable");
    // A cancellation on another processor may land between the driver's
    // last look at the request and this call.
    yield_point("WdfRequestMarkCancelable");
    FxRequest* r = request_of(Request, "WdfRequestMarkCancelable");
    if (r == nullptr || mark_cancelable(r, EvtRequestCancel) != STATUS_CANCELLED)
        return;
    // The cancellation came first: the routine runs now, on this thread.
    {
        auto lk = sched_lock();
        r->cancel_started = true;
    }
    request_call_cancel_routine(r);
}

WDFAPI NTSTATUS WdfRequestMarkCancelableEx(WDFREQUEST Request, PFN_WDF_REQUEST_CANCEL EvtRequestCancel)
{
    verify_irql_at_most(DISPATCH_LEVEL, "WdfRequestMarkCancelableEx");
    FxRequest* r = request_of(Request, "WdfRequestMarkCancelableEx");
    return r ? mark_cancelable(r, EvtRequestCancel) : STATUS_INVALID_PARAMETER;
}

WDFAPI NTSTATUS WdfRequestUnmarkCancelable(WDFREQUEST Request)
{
    verify_irql_at_most(DISPATCH_LEVEL, "WdfRequestUnmarkCancelable");
    FxRequest* r = request_of(Request, "WdfRequestUnmarkCancelable");
    if (r == nullptr)
        return STATUS_INVALID_PARAMETER;
    auto lk = sched_lock();
    if (r->owner != FxRequest::Owner::driver)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (r->cancel_started || request_cancel_in_flight_locked(r))
        return STATUS_CANCELLED;   // the cancel routine runs or will run
    if (!r->cancelable)
        return STATUS_INVALID_PARAMETER;
    r->cancelable = false;
    r->cancel_routine = nullptr;
    request_disarm_cancel_locked(r);
    return STATUS_SUCCESS;
}

WDFAPI BOOLEAN WdfRequestIsCanceled(WDFREQUEST Request)
{
    FxRequest* r = request_of(Request, "WdfRequestIsCanceled");
    if (r == nullptr)
        return FALSE;
    auto lk = sched_lock();
    return (r->irp->cancel || r->cancel_started) ? TRUE : FALSE;
}

// --- completion ------------------------------------------------------------------

WDFAPI VOID WdfRequestCompleteWithInformation(WDFREQUEST Request, NTSTATUS Status, ULONG_PTR Information)
{
    verify_irql_at_most(DISPATCH_LEVEL, "WdfRequestComplete");
    verify_no_spin_lock_held("WdfRequestComplete");
    FxRequest* r = request_of(Request, "WdfRequestComplete", true);
    if (r != nullptr)
        request_complete(r, Status, Information, "WdfRequestComplete");
}

WDFAPI VOID WdfRequestComplete(WDFREQUEST Request, NTSTATUS Status)
{
    FxRequest* r = request_of(Request, "WdfRequestComplete", true);
    if (r == nullptr)
        return;
    ULONG_PTR information;
    {
        auto lk = sched_lock();
        information = r->information;
    }
    WdfRequestCompleteWithInformation(Request, Status, information);
}

WDFAPI VOID WdfRequestSetInformation(WDFREQUEST Request, ULONG_PTR Information)
{
    FxRequest* r = request_of(Request, "WdfRequestSetInformation");
    if (r == nullptr)
        return;
    auto lk = sched_lock();
    r->information = Information;
}

WDFAPI ULONG_PTR WdfRequestGetInformation(WDFREQUEST Request)
{
    FxRequest* r = request_of(Request, "WdfRequestGetInformation");
    if (r == nullptr)
        return 0;
    auto lk = sched_lock();
    return r->information;
}

WDFAPI NTSTATUS WdfRequestGetStatus(WDFREQUEST Request)
{
    FxRequest* r = request_of(Request, "WdfRequestGetStatus");
    if (r == nullptr)
        return STATUS_INVALID_PARAMETER;
    auto lk = sched_lock();
    return r->status;
}

// --- parameters ------------------------------------------------------------------

WDFAPI VOID WdfRequestGetParameters(WDFREQUEST Request, PWDF_REQUEST_PARAMETERS Parameters)
{
    FxRequest* r = request_of(Request, "WdfRequestGetParameters");
    if (r == nullptr)
        return;
    const io::Irp& irp = *r->irp;
    WDF_REQUEST_PARAMETERS_INIT(Parameters);
    Parameters->Type = static_cast<WDF_REQUEST_TYPE>(irp.major);
    Parameters->MinorFunction = irp.minor;
    switch (irp.major) {
    case IRP_MJ_CREATE:
        Parameters->Parameters.Create.Options = irp.create_options;
        Parameters->Parameters.Create.ShareAccess = static_cast<USHORT>(irp.share_access);
        break;
    case IRP_MJ_READ:
        Parameters->Parameters.Read.Length = irp.length;
        Parameters->Parameters.Read.DeviceOffset = irp.byte_offset;
        break;
    case IRP_MJ_WRITE:
        Parameters->Parameters.Write.Length = irp.length;
        Parameters->Parameters.Write.DeviceOffset = irp.byte_offset;
        break;
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        Parameters->Parameters.DeviceIoControl.OutputBufferLength = irp.output_length;
        Parameters->Parameters.DeviceIoControl.InputBufferLength = irp.input_length;
        Parameters->Parameters.DeviceIoControl.IoControlCode = irp.ioctl;
        Parameters->Parameters.DeviceIoControl.Type3InputBuffer = irp.type3_input;
        break;
    default:
        break;
    }
}

WDFAPI WDFFILEOBJECT WdfRequestGetFileObject(WDFREQUEST Request)
{
    FxRequest* r = request_of(Request, "WdfRequestGetFileObject");
    if (r == nullptr || r->irp->file == nullptr || r->irp->file->fs_context == nullptr)
        return nullptr;
    return static_cast<FxFile*>(r->irp->file->fs_context)->handle_as<WDFFILEOBJECT>();
}

WDFAPI KPROCESSOR_MODE WdfRequestGetRequestorMode(WDFREQUEST Request)
{
    FxRequest* r = request_of(Request, "WdfRequestGetRequestorMode");
    return r ? r->irp->requestor_mode : KPROCESSOR_MODE(KernelMode);
}

WDFAPI WDFQUEUE WdfRequestGetIoQueue(WDFREQUEST Request)
{
    FxRequest* r = request_of(Request, "WdfRequestGetIoQueue");
    if (r == nullptr)
        return nullptr;
    auto lk = sched_lock();
    return r->queue ? r->queue->handle_as<WDFQUEUE>() : nullptr;
}

// --- buffers ----------------------------------------------------------------------

namespace {

enum class Transfer { buffered, direct, neither };

Transfer transfer_of(const FxRequest* r)
{
    const io::Irp& irp = *r->irp;
    if (irp.major == IRP_MJ_DEVICE_CONTROL || irp.major == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        switch (METHOD_FROM_CTL_CODE(irp.ioctl)) {
        case METHOD_BUFFERED: return Transfer::buffered;
        case METHOD_NEITHER: return Transfer::neither;
        default: return Transfer::direct;
        }
    }
    switch (r->device->io_type) {
    case WdfDeviceIoDirect: return Transfer::direct;
    case WdfDeviceIoNeither: return Transfer::neither;
    default: return Transfer::buffered;
    }
}

struct Buffer {
    void* data = nullptr;
    size_t length = 0;
    bool exists = false;
};

// The input (`input` true) or output buffer as the request's transfer
// method presents it; `unsafe` asks for the caller's METHOD_NEITHER pointers.
Buffer buffer_of(const FxRequest* r, bool input, bool unsafe)
{
    const io::Irp& irp = *r->irp;
    Transfer transfer = transfer_of(r);
    // Neither-I/O buffers are safe to use directly when they come from kernel
    // mode or with an internal device control.
    bool trusted = irp.requestor_mode == KernelMode || irp.major == IRP_MJ_INTERNAL_DEVICE_CONTROL;
    if (unsafe ? transfer != Transfer::neither : (transfer == Transfer::neither && !trusted))
        return {};
    switch (irp.major) {
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
        if (input != (irp.major == IRP_MJ_WRITE))
            return {};
        return {transfer == Transfer::buffered ? irp.system_buffer : irp.user_buffer, irp.length, true};
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        if (input)
            return {transfer == Transfer::neither ? irp.type3_input : irp.system_buffer, irp.input_length, true};
        return {transfer == Transfer::buffered ? irp.system_buffer : irp.user_buffer, irp.output_length, true};
    default:
        return {};
    }
}

NTSTATUS retrieve(WDFREQUEST handle, bool input, bool unsafe, size_t minimum, PVOID* buffer, size_t* length,
                  const char* api)
{
    if (buffer == nullptr)
        return STATUS_INVALID_PARAMETER;
    *buffer = nullptr;
    if (length)
        *length = 0;
    FxRequest* r = request_of(handle, api);
    if (r == nullptr)
        return STATUS_INTERNAL_ERROR;
    if (unsafe && !r->in_caller_context) {
        verifier_report("user-buffer-outside-caller-context",
                        std::string(api) + " outside EvtIoInCallerContext: the caller's addresses mean nothing here");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    Buffer b = buffer_of(r, input, unsafe);
    if (!b.exists)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (b.length == 0 || b.length < minimum)
        return STATUS_BUFFER_TOO_SMALL;
    *buffer = b.data;
    if (length)
        *length = b.length;
    return STATUS_SUCCESS;
}

// A memory object describing `data`, a child of the request.
NTSTATUS memory_for(FxRequest* r, void* data, size_t length, WDFMEMORY* memory)
{
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = r->handle();
    return WdfMemoryCreatePreallocated(&attributes, data, length, memory);
}

NTSTATUS retrieve_memory(WDFREQUEST handle, bool input, WDFMEMORY* memory, const char* api)
{
    if (memory == nullptr)
        return STATUS_INVALID_PARAMETER;
    *memory = nullptr;
    PVOID data;
    size_t length;
    NTSTATUS status = retrieve(handle, input, false, 0, &data, &length, api);
    if (!NT_SUCCESS(status))
        return status;
    return memory_for(resolve<FxRequest>(handle, api), data, length, memory);
}

NTSTATUS probe_and_lock(WDFREQUEST handle, PVOID buffer, size_t length, bool for_write, WDFMEMORY* memory,
                        const char* api)
{
    if (memory == nullptr)
        return STATUS_INVALID_PARAMETER;
    *memory = nullptr;
    verify_irql_at_most(PASSIVE_LEVEL, api);
    FxRequest* r = request_of(handle, api);
    if (r == nullptr)
        return STATUS_INTERNAL_ERROR;
    if (!r->in_caller_context) {
        verifier_report("user-buffer-outside-caller-context",
                        std::string(api) + " outside EvtIoInCallerContext: the caller's addresses mean nothing here");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (length == 0)
        return STATUS_INVALID_USER_BUFFER;
    if (r->irp->requestor_mode == UserMode) {
        NTSTATUS status = io::probe_user_buffer(buffer, length, for_write);
        if (!NT_SUCCESS(status))
            return status;
        return create_user_view_memory(r, buffer, length, for_write, memory);
    }
    return memory_for(r, buffer, length, memory);
}

}  // namespace

WDFAPI NTSTATUS WdfRequestRetrieveInputBuffer(WDFREQUEST Request, size_t MinimumRequiredLength, PVOID* Buffer,
                                              size_t* Length)
{
    return retrieve(Request, true, false, MinimumRequiredLength, Buffer, Length, "WdfRequestRetrieveInputBuffer");
}

WDFAPI NTSTATUS WdfRequestRetrieveOutputBuffer(WDFREQUEST Request, size_t MinimumRequiredSize, PVOID* Buffer,
                                               size_t* Length)
{
    return retrieve(Request, false, false, MinimumRequiredSize, Buffer, Length,
                    "WdfRequestRetrieveOutputBuffer");
}

WDFAPI NTSTATUS WdfRequestRetrieveUnsafeUserInputBuffer(WDFREQUEST Request, size_t MinimumRequiredLength,
                                                        PVOID* InputBuffer, size_t* Length)
{
    return retrieve(Request, true, true, MinimumRequiredLength, InputBuffer, Length,
                    "WdfRequestRetrieveUnsafeUserInputBuffer");
}

WDFAPI NTSTATUS WdfRequestRetrieveUnsafeUserOutputBuffer(WDFREQUEST Request, size_t MinimumRequiredLength,
                                                         PVOID* OutputBuffer, size_t* Length)
{
    return retrieve(Request, false, true, MinimumRequiredLength, OutputBuffer, Length,
                    "WdfRequestRetrieveUnsafeUserOutputBuffer");
}

WDFAPI NTSTATUS WdfRequestRetrieveInputMemory(WDFREQUEST Request, WDFMEMORY* Memory)
{
    return retrieve_memory(Request, true, Memory, "WdfRequestRetrieveInputMemory");
}

WDFAPI NTSTATUS WdfRequestRetrieveOutputMemory(WDFREQUEST Request, WDFMEMORY* Memory)
{
    return retrieve_memory(Request, false, Memory, "WdfRequestRetrieveOutputMemory");
}

// "ForRead": the driver reads the caller's buffer; "ForWrite": it writes it.
WDFAPI NTSTATUS WdfRequestProbeAndLockUserBufferForRead(WDFREQUEST Request, PVOID Buffer, size_t Length,
                                                        WDFMEMORY* MemoryObject)
{
    return probe_and_lock(Request, Buffer, Length, false, MemoryObject, "WdfRequestProbeAndLockUserBufferForRead");
}

WDFAPI NTSTATUS WdfRequestProbeAndLockUserBufferForWrite(WDFREQUEST Request, PVOID Buffer, size_t Length,
                                                         WDFMEMORY* MemoryObject)
{
    return probe_and_lock(Request, Buffer, Length, true, MemoryObject, "WdfRequestProbeAndLockUserBufferForWrite");
}
