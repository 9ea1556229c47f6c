// The engine test device: device add, intake, and the start routines,
// hooks, DPCs, timer and cancel routines of its two slots.
#include "engine_harness.h"

#include "acm_read.h"
#include "named_device.h"

namespace engtest {

Harness harness;

void reset() { harness = Harness{}; }

namespace {

// --- read slot ----------------------------------------------------------------

// Moves what is "in the ring" into the read; spin_lock held.
BOOLEAN read_copy(PACM_FDO_DATA, WDFREQUEST request)
{
    PACM_REQUEST_CONTEXT ctx = acm_request_get_context(request);
    ULONG n = harness.available < ctx->length ? harness.available : ctx->length;
    harness.available -= n;
    ctx->information += n;
    return FALSE;
}

void read_end(ACM_BEFORE_COMPLETE_ROUTINE* hook, NTSTATUS status, WDFTIMER timer, ULONG ref_type)
{
    PACM_FDO_DATA fdx = harness.fdx;
    acm_request_try_to_complete_current(fdx, hook, status, &fdx->current_read_request, fdx->read_queue, timer,
                                        read_start, acm_queue_get_next_request, ref_type);
}

EVT_WDF_DPC read_dpc;
VOID read_dpc(WDFDPC) { read_end(read_copy, STATUS_SUCCESS, harness.read_timer, REF_TYPE_ISR); }

EVT_WDF_TIMER read_timeout;
VOID read_timeout(WDFTIMER timer)
{
    harness.read_timeouts++;
    read_end(acm_read_clear_pending, STATUS_TIMEOUT, timer, REF_TYPE_TIMER);
}

// A cancel routine called from inside the marking, which holds spin_lock,
// only clears REF_CANCEL: the start routine completes the request.
BOOLEAN cancelled_while_marking(WDFREQUEST request)
{
    PACM_REQUEST_CONTEXT ctx = acm_request_get_context(request);
    if (!acm_request_cancel_during_set(request))
        return FALSE;
    ctx->ref_bits &= ~REF_CANCEL;
    harness.cancel_during_set++;
    return TRUE;
}

EVT_WDF_REQUEST_CANCEL read_cancel;
VOID read_cancel(WDFREQUEST request)
{
    if (cancelled_while_marking(request))
        return;
    harness.read_cancels++;
    read_end(acm_read_clear_pending, STATUS_CANCELLED, harness.read_timer, REF_TYPE_CANCEL);
}

// The marking protocol of every start routine; spin_lock held. TRUE if the
// request is now cancelable with the cancel routine.
BOOLEAN mark_cancelable(WDFREQUEST request, PFN_WDF_REQUEST_CANCEL cancel_routine)
{
    PACM_REQUEST_CONTEXT ctx = acm_request_get_context(request);
    ctx->ref_bits = REF_SETTING;
    NTSTATUS status = acm_request_set_cancel_routine(request, cancel_routine);
    ctx->ref_bits &= ~REF_SETTING;
    return NT_SUCCESS(status) && (ctx->ref_bits & REF_CANCEL);
}

// Pends the current read, or readies it for completion; spin_lock held.
// TRUE if it was pended (or is already).
BOOLEAN read_pend(PACM_FDO_DATA fdx, WDFREQUEST request)
{
    PACM_REQUEST_CONTEXT ctx = acm_request_get_context(request);
    if (ctx->ref_bits & REF_ISR)
        return TRUE;
    read_copy(fdx, request);
    ctx->status = STATUS_SUCCESS;
    if (ctx->information != 0)
        return FALSE;
    if (!mark_cancelable(request, read_cancel)) {
        ctx->status = STATUS_CANCELLED;
        return FALSE;
    }
    ctx->ref_bits |= REF_ISR;
    ctx->timer = nullptr;
    ctx->due_time = 0;
    if (harness.read_timeout != 0) {
        ctx->ref_bits |= REF_TIMER;
        ctx->timer = harness.read_timer;
        ctx->due_time = harness.read_timeout;
        WdfTimerStart(harness.read_timer, harness.read_timeout);
    }
    return TRUE;
}

// --- write slot ------------------------------------------------------------------

BOOLEAN write_transferred(PACM_FDO_DATA, WDFREQUEST request)
{
    PACM_REQUEST_CONTEXT ctx = acm_request_get_context(request);
    ctx->information = ctx->length;
    return FALSE;
}

BOOLEAN write_take_back(PACM_FDO_DATA, WDFREQUEST request)
{
    acm_request_get_context(request)->ref_bits &= ~REF_ISR;
    return FALSE;
}

void write_end(ACM_BEFORE_COMPLETE_ROUTINE* hook, NTSTATUS status, ULONG ref_type)
{
    PACM_FDO_DATA fdx = harness.fdx;
    acm_request_try_to_complete_current(fdx, hook, status, &fdx->current_write_request, fdx->write_queue, nullptr,
                                        write_start, acm_queue_get_next_request, ref_type);
}

EVT_WDF_DPC write_dpc;
VOID write_dpc(WDFDPC) { write_end(write_transferred, STATUS_SUCCESS, REF_TYPE_ISR); }

EVT_WDF_REQUEST_CANCEL write_cancel;
VOID write_cancel(WDFREQUEST request)
{
    if (cancelled_while_marking(request))
        return;
    write_end(write_take_back, STATUS_CANCELLED, REF_TYPE_CANCEL);
}

// --- intake ------------------------------------------------------------------------

EVT_WDF_IO_QUEUE_IO_READ intake_read;
VOID intake_read(WDFQUEUE, WDFREQUEST request, size_t length)
{
    PACM_FDO_DATA fdx = harness.fdx;
    PACM_REQUEST_CONTEXT ctx = acm_request_get_context(request);
    ctx->major_function = IRP_MJ_READ;
    if (acm_request_complete_if_error(fdx, request) == STATUS_CANCELLED)
        return;
    ctx->length = ULONG(length);
    ctx->device = fdx;
    acm_queue_add_request(fdx, request, fdx->read_queue, &fdx->current_read_request, read_start);
}

EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL intake_ioctl;
VOID intake_ioctl(WDFQUEUE, WDFREQUEST request, size_t, size_t input_length, ULONG code)
{
    PACM_FDO_DATA fdx = harness.fdx;
    PACM_REQUEST_CONTEXT ctx = acm_request_get_context(request);
    ctx->major_function = IRP_MJ_DEVICE_CONTROL;
    ctx->ioctl_code = code;
    ctx->device = fdx;
    if (code != IOCTL_ENGTEST_WRITE) {
        ctx->status = STATUS_INVALID_DEVICE_REQUEST;
        acm_request_complete(request);
        return;
    }
    ctx->major_function = IRP_MJ_WRITE;
    ctx->length = ULONG(input_length);
    acm_queue_add_request(fdx, request, fdx->write_queue, &fdx->current_write_request, write_start);
}

DC_IS_SUSPENDED bus_is_suspended;
BOOLEAN bus_is_suspended(PVOID) { return harness.suspended; }

// Reads and device controls go to the intake queue; the driver's own
// acm_create_queues builds everything else.
NTSTATUS create_queues(PACM_FDO_DATA fdx)
{
    WDFDEVICE device = fdx->common.device;
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchParallel);
    config.EvtIoRead = intake_read;
    config.EvtIoDeviceControl = intake_ioctl;
    config.EvtIoStop = acm_evt_io_stop;
    config.EvtIoResume = acm_evt_io_resume;
    config.EvtIoCanceledOnQueue = acm_evt_canceled_on_queue;
    NTSTATUS status = WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &harness.intake);
    if (NT_SUCCESS(status))
        status = WdfDeviceConfigureRequestDispatching(device, harness.intake, WdfRequestTypeRead);
    if (NT_SUCCESS(status))
        status = WdfDeviceConfigureRequestDispatching(device, harness.intake, WdfRequestTypeDeviceControl);
    if (NT_SUCCESS(status))
        status = acm_create_queues(fdx);
    return status;
}

NTSTATUS create_completion_objects(WDFDEVICE device)
{
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = device;
    WDF_DPC_CONFIG dpc;
    WDF_DPC_CONFIG_INIT(&dpc, read_dpc);
    NTSTATUS status = WdfDpcCreate(&dpc, &attributes, &harness.read_dpc);
    if (!NT_SUCCESS(status))
        return status;
    WDF_DPC_CONFIG_INIT(&dpc, write_dpc);
    status = WdfDpcCreate(&dpc, &attributes, &harness.write_dpc);
    if (!NT_SUCCESS(status))
        return status;
    WDF_TIMER_CONFIG timer;
    WDF_TIMER_CONFIG_INIT(&timer, read_timeout);
    return WdfTimerCreate(&timer, &attributes, &harness.read_timer);
}

EVT_WDF_DRIVER_DEVICE_ADD device_add;
NTSTATUS device_add(WDFDRIVER, PWDFDEVICE_INIT device_init)
{
    WdfDeviceInitSetDeviceType(device_init, FILE_DEVICE_SERIAL_PORT);
    WDF_OBJECT_ATTRIBUTES request_attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&request_attributes, ACM_REQUEST_CONTEXT);
    WdfDeviceInitSetRequestAttributes(device_init, &request_attributes);

    WDF_OBJECT_ATTRIBUTES device_attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&device_attributes, ACM_FDO_DATA);
    WDFDEVICE device;
    NTSTATUS status = porttest::create_named_device(&device_init, L"\\Device\\EngTest0", L"\\DosDevices\\ENGTEST",
                                                    &device_attributes, &device);
    if (!NT_SUCCESS(status))
        return status;
    PACM_FDO_DATA fdx = acm_fdo_get_data(device);
    RtlZeroMemory(fdx, sizeof(*fdx));
    fdx->common.device = device;
    fdx->common.bus_ifc.Context = &harness;
    fdx->common.bus_ifc.is_suspended = bus_is_suspended;
    harness.fdx = fdx;

    status = create_queues(fdx);
    if (NT_SUCCESS(status))
        status = create_completion_objects(device);
    return status;
}

}  // namespace

VOID read_start(PACM_FDO_DATA fdx)
{
    acm_lock_acquire(fdx);
    for (;;) {
        WDFREQUEST request = fdx->current_read_request;
        if (request == nullptr) {
            acm_queue_get_next_request(&fdx->current_read_request, fdx->read_queue);
            if (fdx->current_read_request == nullptr)
                break;
            continue;
        }
        if (harness.hold_start || read_pend(fdx, request))
            break;
        InterlockedExchangePointer((PVOID volatile*)&fdx->current_read_request, nullptr);
        acm_lock_release(fdx);
        acm_request_complete(request);
        acm_lock_acquire(fdx);
    }
    acm_lock_release(fdx);
}

VOID write_start(PACM_FDO_DATA fdx)
{
    acm_lock_acquire(fdx);
    WDFREQUEST request = fdx->current_write_request;
    if (request == nullptr || (acm_request_get_context(request)->ref_bits & REF_ISR)) {
        acm_lock_release(fdx);
        return;
    }
    if (mark_cancelable(request, write_cancel)) {
        acm_request_get_context(request)->ref_bits |= REF_ISR;
        acm_lock_release(fdx);
        return;
    }
    acm_request_get_context(request)->status = STATUS_CANCELLED;
    InterlockedExchangePointer((PVOID volatile*)&fdx->current_write_request, nullptr);
    acm_lock_release(fdx);
    acm_request_complete(request);
    acm_request_start_next_queued(fdx, &fdx->current_write_request, fdx->write_queue, write_start,
                                  acm_queue_get_next_request);
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path)
{
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, device_add);
    return WdfDriverCreate(driver, registry_path, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
}

}  // namespace engtest
