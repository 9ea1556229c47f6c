/*
 * The generic control I/O control and the dispatcher of the four controls
 * that share the dc_ioctl_data record. Their user areas were locked in the
 * caller's context (common_intercept.cpp); here they are used only through
 * those locked views. Once a request has been prepared, its outcome goes
 * back in dc_status while the request itself succeeds.
 */
#include "common_class.h"

typedef struct _dc_status_entry {
    NTSTATUS status;
    ULONG dc_status;
} dc_status_entry;

static const dc_status_entry dc_status_map[] = {
    { STATUS_SUCCESS, DC_STATUS_SUCCESS },
    { STATUS_TIMEOUT, DC_STATUS_TIMEOUT },
    { STATUS_IO_TIMEOUT, DC_STATUS_TIMEOUT },
    { STATUS_BUFFER_TOO_SMALL, DC_STATUS_BUFFER_TOO_SMALL },
    { STATUS_INVALID_PARAMETER, DC_STATUS_INVALID_PARAMETER },
    { STATUS_INVALID_DEVICE_REQUEST, DC_STATUS_INVALID_DEVICE_REQUEST },
    { STATUS_ACCESS_VIOLATION, DC_STATUS_ACCESS_VIOLATION },
    { STATUS_DEVICE_BUSY, DC_STATUS_DEVICE_BUSY },
    { STATUS_DEVICE_NOT_CONNECTED, DC_STATUS_DEVICE_NOT_CONNECTED },
};

static const PCSTR dc_status_texts[] = {
    "Success",
    "Operation failed",
    "Timeout occurred",
    "Buffer too small",
    "Invalid parameter",
    "Invalid device request",
    "Invalid device handle",
    "Access violation",
    "Device busy",
    "Device not connected",
};

ULONG dc_status_from_ntstatus(NTSTATUS status)
{
    for (ULONG i = 0; i < RTL_NUMBER_OF(dc_status_map); i++) {
        if (dc_status_map[i].status == status) {
            return dc_status_map[i].dc_status;
        }
    }
    return DC_STATUS_FAILED;
}

PCSTR dc_ioctl_name(ULONG code)
{
    switch (code) {
    case IOCTL_DC_GENERIC_CONTROL:
        return "IOCTL_DC_GENERIC_CONTROL";
    case IOCTL_CDC_SEND_ENCAPSULATED_COMMAND:
        return "IOCTL_CDC_SEND_ENCAPSULATED_COMMAND";
    case IOCTL_CDC_GET_ENCAPSULATED_RESPONSE:
        return "IOCTL_CDC_GET_ENCAPSULATED_RESPONSE";
    case IOCTL_CDC_WAIT_FOR_ENCAPSULATED_RESPONSE:
        return "IOCTL_CDC_WAIT_FOR_ENCAPSULATED_RESPONSE";
    default:
        return "unknown";
    }
}

PVOID dc_locked_view(WDFMEMORY memory, ULONG* length)
{
    size_t size = 0;
    PVOID view = memory != NULL ? WdfMemoryGetBuffer(memory, &size) : NULL;

    if (length != NULL) {
        *length = (ULONG)size;
    }
    return view;
}

/* The caller may place its record at any address, aligned or not. */
VOID dc_record_store(dc_ioctl_data* record, LONG offset, ULONG value)
{
    RtlCopyMemory((PUCHAR)record + offset, &value, sizeof(value));
}

/*
 * The record's lengths are taken from the locked records now and must still
 * be the lengths that were locked: a caller that changed its record while
 * the request was queued is refused.
 */
NTSTATUS dc_ioctl_data_get(WDFREQUEST request, dc_ioctl_req_t* req)
{
    intercept_req_context_t* irc = intercept_req_get_context(request);
    dc_ioctl_data in_record;
    dc_ioctl_data out_record;
    ULONG locked_in_len;
    ULONG locked_out_len;

    RtlZeroMemory(req, sizeof(*req));
    if (irc == NULL || irc->in_record_mem == NULL || irc->out_record_mem == NULL) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: Failed to retrieve input/output buffer\n", __FUNCTION__);
        return STATUS_INVALID_PARAMETER;
    }
    req->record = (dc_ioctl_data*)dc_locked_view(irc->out_record_mem, NULL);
    RtlCopyMemory(&out_record, req->record, sizeof(out_record));
    RtlCopyMemory(&in_record, dc_locked_view(irc->in_record_mem, NULL), sizeof(in_record));

    req->data_out_len = out_record.data_out_len;
    req->data_in_len = in_record.data_in_len;
    req->data_out = dc_locked_view(irc->out_data_mem, &locked_out_len);
    req->data_in = dc_locked_view(irc->in_data_mem, &locked_in_len);
    req->control_data = dc_locked_view(irc->control_data_mem, &req->control_data_len);

    if (req->data_out_len != locked_out_len || req->data_in_len != locked_in_len) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: Failed to retrieve input/output buffer\n", __FUNCTION__);
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

/*
 * The bus reads the setup packet from a copy in the driver, so the caller
 * cannot change it during the transfer.
 */
static NTSTATUS dc_generic_control(common_class_ctx* ctx, dc_ioctl_req_t* req)
{
    dc_control_record setup;
    PVOID buffer = req->data_out;
    ULONG length = req->data_out_len & 0xFFFF;
    ULONG done = 0;
    NTSTATUS status;

    if (req->data_in_len < sizeof(setup)) {
        return STATUS_INVALID_PARAMETER;
    }
    RtlCopyMemory(&setup, req->data_in, sizeof(setup));
    if (req->control_data != NULL) {
        buffer = req->control_data;
        length = req->control_data_len;
    }
    status = ctx->bus_ifc.generic_control(ctx->bus_ifc.Context, &setup, buffer, length, &done, 0);
    req->data_out_len = done;
    return status;
}

NTSTATUS common_evt_ioctl(WDFREQUEST request, common_class_ctx* ctx, dc_ioctl_req_t* req, ULONG code)
{
    DC_PRINT(DC_LEVEL_TRACE, "%s: entered, ioctl %s (0x%lx)\n", __FUNCTION__, dc_ioctl_name(code),
             code);
    if (ctx->bus_ifc.Context == NULL) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: bus interface was not initialized\n", __FUNCTION__);
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    common_class_child_device_wakeup_post(ctx);

    switch (code) {
    case IOCTL_DC_GENERIC_CONTROL:
        return dc_generic_control(ctx, req);
    case IOCTL_CDC_SEND_ENCAPSULATED_COMMAND:
    case IOCTL_CDC_GET_ENCAPSULATED_RESPONSE:
    case IOCTL_CDC_WAIT_FOR_ENCAPSULATED_RESPONSE:
        return enc_evt_ioctl(request, ctx, req, code);
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

VOID dc_ioctl_request_complete(WDFREQUEST request, NTSTATUS status, dc_ioctl_req_t* req)
{
    ULONG dc_status;

    if (req == NULL || req->record == NULL) {
        WdfRequestCompleteWithInformation(request, status, 0);
        return;
    }
    dc_status = dc_status_from_ntstatus(status);
    dc_record_store(req->record, FIELD_OFFSET(dc_ioctl_data, dc_status), dc_status);
    dc_record_store(req->record, FIELD_OFFSET(dc_ioctl_data, data_out_len), req->data_out_len);
    DC_PRINT(DC_LEVEL_TRACE, "%s: status = %ld, data_out_len = %ld\n", __FUNCTION__, status,
             req->data_out_len);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: operation failed, status 0x%lx, dc_status 0x%lx (%s)\n",
                 __FUNCTION__, status, dc_status, dc_status_texts[dc_status]);
    }
    WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, sizeof(dc_ioctl_data));
}
