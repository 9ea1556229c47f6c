/*
 * The serial I/O control dispatcher: every control is checked against the
 * open-handle count and the device's role, then served by its code.
 */
#include "acm_ioctl.h"

typedef struct _acm_ioctl_name_entry {
    ULONG code;
    PCSTR name;
} acm_ioctl_name_entry;

static const acm_ioctl_name_entry acm_ioctl_names[] = {
    { IOCTL_SERIAL_SET_TIMEOUTS, "SET_TIMEOUTS" },
    { IOCTL_SERIAL_GET_TIMEOUTS, "GET_TIMEOUTS" },
    { IOCTL_DC_GENERIC_CONTROL, "IOCTL_DC_GENERIC_CONTROL" },
    { IOCTL_CDC_SEND_ENCAPSULATED_COMMAND, "SEND_ENCAPSULATED_COMMAND" },
    { IOCTL_CDC_GET_ENCAPSULATED_RESPONSE, "GET_ENCAPSULATED_RESPONSE" },
    { IOCTL_CDC_WAIT_FOR_ENCAPSULATED_RESPONSE, "WAIT_FOR_ENCAPSULATED_RESPONSE" },
};

PCSTR acm_ioctl_name(ULONG code)
{
    for (ULONG i = 0; i < RTL_NUMBER_OF(acm_ioctl_names); i++) {
        if (acm_ioctl_names[i].code == code) {
            return acm_ioctl_names[i].name;
        }
    }
    return " unknown";
}

static BOOLEAN acm_is_common_class_ioctl(ULONG code)
{
    return code == IOCTL_DC_GENERIC_CONTROL || code == IOCTL_CDC_SEND_ENCAPSULATED_COMMAND ||
           code == IOCTL_CDC_GET_ENCAPSULATED_RESPONSE ||
           code == IOCTL_CDC_WAIT_FOR_ENCAPSULATED_RESPONSE;
}

/* The common-class controls belong to the data device unless a serial
   control device serves them; every other control to the data device. */
static BOOLEAN acm_ioctl_allowed(PACM_FDO_DATA fdx, ULONG code)
{
    return acm_is_common_class_ioctl(code) ? !fdx->serial_ctrl_enabled : !fdx->is_serial_ctrl;
}

/* The request's buffer of at least `size` bytes into the context; on
   failure the context carries the framework's status. */
static BOOLEAN acm_ioctl_get_buffer(WDFREQUEST request, size_t size, BOOLEAN input)
{
    PACM_REQUEST_CONTEXT ctx = acm_request_get_context(request);
    PVOID buffer;

    ctx->status = input ? WdfRequestRetrieveInputBuffer(request, size, &buffer, NULL)
                        : WdfRequestRetrieveOutputBuffer(request, size, &buffer, NULL);
    if (!NT_SUCCESS(ctx->status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: Could not get request memory buffer %lx\n", "acm_evt_ioctl",
                 ctx->status);
        return FALSE;
    }
    ctx->buffer = buffer;
    return TRUE;
}

/* All three read time-outs MAXULONG is no valid combination. */
static VOID acm_ioctl_set_timeouts(PACM_FDO_DATA fdx, PACM_REQUEST_CONTEXT ctx)
{
    const SERIAL_TIMEOUTS* timeouts = (const SERIAL_TIMEOUTS*)ctx->buffer;

    DC_PRINT(DC_LEVEL_INFO, "%s: SET_TIMEOUTS [%lx %lx %lx %lx %lx]\n", "acm_evt_ioctl",
             timeouts->ReadIntervalTimeout, timeouts->ReadTotalTimeoutMultiplier,
             timeouts->ReadTotalTimeoutConstant, timeouts->WriteTotalTimeoutMultiplier,
             timeouts->WriteTotalTimeoutConstant);
    if (timeouts->ReadIntervalTimeout == MAXULONG && timeouts->ReadTotalTimeoutMultiplier == MAXULONG &&
        timeouts->ReadTotalTimeoutConstant == MAXULONG) {
        ctx->status = STATUS_INVALID_PARAMETER;
        return;
    }
    fdx->timeouts = *timeouts;
}

static VOID acm_ioctl_dispatch(PACM_FDO_DATA fdx, WDFREQUEST request, ULONG code)
{
    PACM_REQUEST_CONTEXT ctx = acm_request_get_context(request);

    switch (code) {
    case IOCTL_SERIAL_SET_TIMEOUTS:
        if (acm_ioctl_get_buffer(request, sizeof(SERIAL_TIMEOUTS), TRUE)) {
            acm_ioctl_set_timeouts(fdx, ctx);
        }
        break;
    case IOCTL_SERIAL_GET_TIMEOUTS:
        if (acm_ioctl_get_buffer(request, sizeof(SERIAL_TIMEOUTS), FALSE)) {
            *(SERIAL_TIMEOUTS*)ctx->buffer = fdx->timeouts;
            ctx->information = sizeof(SERIAL_TIMEOUTS);
        }
        break;
    default:
        DC_PRINT(DC_LEVEL_ERROR, "%s: unknown ioctl %lx (func %lx)\n", "acm_evt_ioctl", code,
                 (code >> 2) & 0xFFF);
        ctx->status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
}

VOID acm_evt_ioctl(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength,
                   size_t InputBufferLength, ULONG IoControlCode)
{
    PACM_FDO_DATA fdx = acm_fdo_get_data(WdfIoQueueGetDevice(Queue));
    PACM_REQUEST_CONTEXT ctx = acm_request_get_context(Request);

    UNREFERENCED_PARAMETER(OutputBufferLength);
    UNREFERENCED_PARAMETER(InputBufferLength);
    DC_PRINT(DC_LEVEL_TRACE, "%s: IOCTL %s (%lx), request %p, is_modem %d, is_serial_ctrl %d\n",
             __FUNCTION__, acm_ioctl_name(IoControlCode), IoControlCode, Request, fdx->is_modem,
             fdx->is_serial_ctrl);
    ctx->information = 0;
    ctx->status = STATUS_SUCCESS;
    ctx->major_function = IRP_MJ_DEVICE_CONTROL;
    ctx->device = fdx;
    ctx->ioctl_code = IoControlCode;

    if (fdx->common.ref_count == 0) {
        ctx->status = STATUS_UNSUCCESSFUL;
    } else if (!acm_ioctl_allowed(fdx, IoControlCode)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: IOCTL %s (%lx) is not allowed for %sserial control device\n",
                 __FUNCTION__, acm_ioctl_name(IoControlCode), IoControlCode,
                 fdx->is_serial_ctrl ? "" : "non-");
        ctx->status = STATUS_INVALID_DEVICE_REQUEST;
    } else if (acm_is_common_class_ioctl(IoControlCode)) {
        acm_common_ioctl(fdx, IoControlCode, Request);
        return;
    } else {
        acm_ioctl_dispatch(fdx, Request, IoControlCode);
    }
    if (!NT_SUCCESS(ctx->status)) {
        ctx->information = 0;
    }
    acm_request_complete(Request);
}
