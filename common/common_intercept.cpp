/*
 * User-buffer interception for the generic control and encapsulated-command
 * controls. They use METHOD_NEITHER and their record names further user
 * areas, which are valid only in the caller's thread; here, before the
 * request is queued, every area the control will need is probed and locked
 * and kept on the request. Each user value is read once, through a locked
 * view, so that a caller changing the record meanwhile cannot make the
 * driver lock one area and use another.
 */
#include "common_class.h"

typedef struct _intercept_failure {
    PCSTR message;    /* printed with the status */
    NTSTATUS status;
} intercept_failure;

static PVOID dc_user_address(ULONG address)
{
    return (PVOID)(ULONG_PTR)address;
}

static NTSTATUS intercept_fail(PCSTR message, NTSTATUS status, intercept_failure* failure)
{
    failure->message = message;
    failure->status = status;
    return status;
}

static NTSTATUS intercept_refuse(PCSTR message, intercept_failure* failure)
{
    return intercept_fail(message, STATUS_INVALID_PARAMETER, failure);
}

/* Probes and locks one user area for the driver to read or to write. */
static NTSTATUS intercept_lock(WDFREQUEST request, PVOID address, size_t length, BOOLEAN for_write,
                               WDFMEMORY* memory, intercept_failure* failure)
{
    NTSTATUS status = for_write
                          ? WdfRequestProbeAndLockUserBufferForWrite(request, address, length, memory)
                          : WdfRequestProbeAndLockUserBufferForRead(request, address, length, memory);

    if (!NT_SUCCESS(status)) {
        return intercept_fail(for_write ? "%s: WdfRequestProbeAndLockUserBufferForWrite failed 0x%x"
                                        : "%s: WdfRequestProbeAndLockUserBufferForRead failed 0x%x",
                              status, failure);
    }
    return status;
}

/* The records may be one and the same, or apart; a partial overlap would let
   the results written to one change the lengths read from the other. A
   wrapping range gives no sensible answer here; its probe refuses it. */
static BOOLEAN intercept_records_overlap(PVOID in_record, size_t in_length, PVOID out_record,
                                         size_t out_length)
{
    ULONG_PTR in_start = (ULONG_PTR)in_record;
    ULONG_PTR out_start = (ULONG_PTR)out_record;

    if (in_start == out_start) {
        return FALSE;
    }
    return in_start < out_start + out_length && out_start < in_start + in_length;
}

/*
 * The generic control's own data buffer, named at offsets 8 and 12 of its
 * control record. The data stage of a device-to-host request writes it,
 * so that buffer is locked for write.
 */
static NTSTATUS intercept_lock_control_data(WDFREQUEST request, intercept_req_context_t* irc,
                                            ULONG data_in_len, intercept_failure* failure)
{
    const dc_control_record* control;
    dc_control_record setup;

    if (data_in_len < sizeof(dc_control_record)) {
        return intercept_refuse("%s: control record missing or short 0x%x\n", failure);
    }
    control = (const dc_control_record*)dc_locked_view(irc->in_data_mem, NULL);
    RtlCopyMemory(&setup, control, sizeof(setup));
    if (setup.data_address == 0) {
        return STATUS_SUCCESS;
    }
    if (setup.data_length == 0) {
        return intercept_refuse("%s: control data buffer without a length 0x%x\n", failure);
    }
    return intercept_lock(request, dc_user_address(setup.data_address), setup.data_length,
                          (setup.bmRequestType & 0x80) != 0, &irc->control_data_mem, failure);
}

/* Locks the caller's record and takes a copy of it, read once. */
static NTSTATUS intercept_lock_record(WDFREQUEST request, PVOID address, size_t length, BOOLEAN for_write,
                                      WDFMEMORY* memory, dc_ioctl_data* record, intercept_failure* failure)
{
    NTSTATUS status = intercept_lock(request, address, length, for_write, memory, failure);

    if (NT_SUCCESS(status)) {
        RtlCopyMemory(record, dc_locked_view(*memory, NULL), sizeof(*record));
    }
    return status;
}

/* Steps on the input side: the input record, its data, a control's data. */
static NTSTATUS intercept_lock_input(WDFREQUEST request, intercept_req_context_t* irc,
                                     PVOID in_record, size_t in_length, ULONG code,
                                     intercept_failure* failure)
{
    dc_ioctl_data record;
    NTSTATUS status;

    status = intercept_lock_record(request, in_record, in_length, FALSE, &irc->in_record_mem, &record,
                                   failure);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (record.data_in_len != 0) {
        status = intercept_lock(request, dc_user_address(record.data_in), record.data_in_len,
                                FALSE, &irc->in_data_mem, failure);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    if (code == IOCTL_DC_GENERIC_CONTROL) {
        status = intercept_lock_control_data(request, irc, record.data_in_len, failure);
    }
    return status;
}

static NTSTATUS intercept_lock_output(WDFREQUEST request, intercept_req_context_t* irc,
                                      PVOID out_record, size_t out_length,
                                      intercept_failure* failure)
{
    dc_ioctl_data record;
    NTSTATUS status;

    status = intercept_lock_record(request, out_record, out_length, TRUE, &irc->out_record_mem, &record,
                                   failure);
    if (NT_SUCCESS(status) && record.data_out_len != 0) {
        status = intercept_lock(request, dc_user_address(record.data_out), record.data_out_len,
                                TRUE, &irc->out_data_mem, failure);
    }
    return status;
}

static NTSTATUS intercept_allocate_context(WDFREQUEST request, intercept_req_context_t** irc,
                                           intercept_failure* failure)
{
    WDF_OBJECT_ATTRIBUTES attributes;
    NTSTATUS status;

    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, intercept_req_context_t);
    status = WdfObjectAllocateContext(request, &attributes, (PVOID*)irc);
    if (!NT_SUCCESS(status)) {
        return intercept_fail("%s: WdfObjectAllocateContext failed 0x%x\n", status, failure);
    }
    return status;
}

/*
 * Both records are whole dc_ioctl_data records; shorter buffers are refused
 * before anything is read from them.
 */
static NTSTATUS intercept_retrieve_records(WDFREQUEST request, PVOID* in_record, size_t* in_length,
                                           PVOID* out_record, size_t* out_length,
                                           intercept_failure* failure)
{
    NTSTATUS status;

    status = WdfRequestRetrieveUnsafeUserInputBuffer(request, sizeof(dc_ioctl_data), in_record,
                                                     in_length);
    if (!NT_SUCCESS(status)) {
        return intercept_fail("%s: WdfRequestRetrieveUnsafeUserInputBuffer failed 0x%x\n", status, failure);
    }
    status = WdfRequestRetrieveUnsafeUserOutputBuffer(request, sizeof(dc_ioctl_data), out_record,
                                                      out_length);
    if (!NT_SUCCESS(status)) {
        return intercept_fail("%s: WdfRequestRetrieveUnsafeUserOutputBuffer failed 0x%x\n", status, failure);
    }
    if (intercept_records_overlap(*in_record, *in_length, *out_record, *out_length)) {
        return intercept_refuse("%s: input and output records overlap 0x%x\n", failure);
    }
    return STATUS_SUCCESS;
}

static NTSTATUS intercept_lock_all(WDFREQUEST request, ULONG code, intercept_failure* failure)
{
    intercept_req_context_t* irc;
    PVOID in_record;
    PVOID out_record;
    size_t in_length;
    size_t out_length;
    NTSTATUS status;

    status = intercept_retrieve_records(request, &in_record, &in_length, &out_record, &out_length,
                                        failure);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = intercept_allocate_context(request, &irc, failure);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = intercept_lock_input(request, irc, in_record, in_length, code, failure);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return intercept_lock_output(request, irc, out_record, out_length, failure);
}

BOOLEAN dc_is_common_control(const WDF_REQUEST_PARAMETERS* params)
{
    ULONG code = params->Parameters.DeviceIoControl.IoControlCode;

    return params->Type == WdfRequestTypeDeviceControl &&
           (code == IOCTL_DC_GENERIC_CONTROL || code == IOCTL_CDC_SEND_ENCAPSULATED_COMMAND ||
            code == IOCTL_CDC_GET_ENCAPSULATED_RESPONSE ||
            code == IOCTL_CDC_WAIT_FOR_ENCAPSULATED_RESPONSE);
}

/* Registered on its own, it passes every other request straight on. */
VOID common_class_evt_io_in_caller(WDFDEVICE Device, WDFREQUEST Request)
{
    WDF_REQUEST_PARAMETERS params;
    intercept_failure failure = { NULL, STATUS_SUCCESS };
    NTSTATUS status = STATUS_SUCCESS;

    WDF_REQUEST_PARAMETERS_INIT(&params);
    WdfRequestGetParameters(Request, &params);
    if (dc_is_common_control(&params)) {
        status = intercept_lock_all(Request, params.Parameters.DeviceIoControl.IoControlCode,
                                    &failure);
    }
    if (NT_SUCCESS(status)) {
        status = WdfDeviceEnqueueRequest(Device, Request);
        if (!NT_SUCCESS(status)) {
            failure.message = "%s: WdfDeviceEnqueueRequest failed 0x%x";
            failure.status = status;
        }
    }
    if (!NT_SUCCESS(status)) {
        /* Memory locked so far is released with the request. */
        DC_PRINT(DC_LEVEL_ERROR, failure.message, __FUNCTION__, failure.status);
        DC_PRINT(DC_LEVEL_ERROR, "%s: failed %x\n", __FUNCTION__, status);
        WdfRequestCompleteWithInformation(Request, status, 0);
    }
}
