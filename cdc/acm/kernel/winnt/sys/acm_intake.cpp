/*
 * Request intake, in the thread of the application that issued the request
 * and before any queue sees it.
 */
#include "acm_intake.h"

/* How long a request waits before it is failed while I/O is stopped. */
#define ACM_DELETE_PENDING_DELAY_MS 100

static ULONG acm_intake_code(const WDF_REQUEST_PARAMETERS* params)
{
    if (params->Type == WdfRequestTypeDeviceControl ||
        params->Type == WdfRequestTypeDeviceControlInternal) {
        return params->Parameters.DeviceIoControl.IoControlCode;
    }
    return 0;
}

static VOID acm_intake_enqueue(WDFDEVICE device, WDFREQUEST request)
{
    NTSTATUS status = WdfDeviceEnqueueRequest(device, request);

    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: WdfDeviceEnqueueRequest failed 0x%x", "acm_evt_io_in_caller",
                 status);
        DC_PRINT(DC_LEVEL_ERROR, "%s: failed 0x%lx\n", "acm_evt_io_in_caller", status);
        WdfRequestCompleteWithInformation(request, status, 0);
    }
}

VOID acm_evt_io_in_caller(WDFDEVICE Device, WDFREQUEST Request)
{
    PACM_FDO_DATA fdx = acm_fdo_get_data(Device);
    WDF_REQUEST_PARAMETERS params;
    ULONG code;

    DC_PRINT(DC_LEVEL_TRACE, "%s: Entered, device %p, request %p\n", __FUNCTION__, Device, Request);
    WDF_REQUEST_PARAMETERS_INIT(&params);
    WdfRequestGetParameters(Request, &params);
    code = acm_intake_code(&params);

    if (acm_io_stopped(fdx)) {
        DC_PRINT(DC_LEVEL_TRACE, "%s: Device is not ready, fail request %p, type %ld\n",
                 __FUNCTION__, Request, (LONG)params.Type);
        if (code == IOCTL_SERIAL_PURGE) {
            DC_PRINT(DC_LEVEL_TRACE, "%s: Complete IOCTL_SERIAL_PURGE with STATUS_SUCCESS\n",
                     __FUNCTION__);
            WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, 0);
        } else {
            request_complete_delete_pending(fdx, Request);
        }
        return;
    }

    if (dc_is_common_control(&params)) {
        DC_PRINT(DC_LEVEL_TRACE,
                 "%s: Received encapsulated commands or control request ioctl, call "
                 "common_class_evt_io_in_caller().\n",
                 __FUNCTION__);
        common_class_evt_io_in_caller(Device, Request);
        return;
    }
    acm_intake_enqueue(Device, Request);
}

/* --- Delayed STATUS_DELETE_PENDING ----------------------------------------- */

/*
 * The timer is the request's child: completing the request deletes it. The
 * request is neither queued nor cancelable meanwhile, so the timer is its
 * one completer.
 */
VOID request_complete_delete_pending(PACM_FDO_DATA fdx, WDFREQUEST request)
{
    WDF_TIMER_CONFIG config;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDFTIMER timer;
    NTSTATUS status;

    WDF_TIMER_CONFIG_INIT(&config, request_complete_delete_pending_cb);
    config.AutomaticSerialization = TRUE;
    config.TolerableDelay = 0;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, delete_pending_timer_ctx_t);
    attributes.ParentObject = request;

    status = WdfTimerCreate(&config, &attributes, &timer);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR,
                 "%s: Failed to create timer (status 0x%lx), complete the request locally\n",
                 __FUNCTION__, status);
        WdfRequestCompleteWithInformation(request, STATUS_DELETE_PENDING, 0);
        return;
    }
    delete_pending_timer_get_ctx(timer)->fdx = fdx;
    InterlockedIncrement(&fdx->delete_pending_count);
    WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS(ACM_DELETE_PENDING_DELAY_MS));
}

VOID request_complete_delete_pending_cb(WDFTIMER Timer)
{
    WDFREQUEST request = (WDFREQUEST)WdfTimerGetParentObject(Timer);
    PACM_FDO_DATA fdx = delete_pending_timer_get_ctx(Timer)->fdx;

    DC_PRINT(DC_LEVEL_TRACE, "%s: entered, request %p\n", __FUNCTION__, request);
    /* Counted down only once the request is gone: the close that waits
       for the count then knows that no completion is still under way. The
       completion may be the last thing a removal waits for, so a reference
       keeps the device's context for the count. */
    WdfObjectReference(fdx->common.device);
    WdfRequestCompleteWithInformation(request, STATUS_DELETE_PENDING, 0);
    InterlockedDecrement(&fdx->delete_pending_count);
    WdfObjectDereference(fdx->common.device);
}
