/*
 * The serial I/O control dispatcher: every control is checked against the
 * open-handle count and the device's role, its buffer is taken at the
 * size the control needs, and it is served by its routine. Most complete
 * here; wait-on-mask and purge become operations of the request engine and
 * the common-class controls go to the common class layer.
 */
#include "acm_ioctl.h"

/* Serves one control; ctx->buffer holds its buffer. STATUS_PENDING: the
   request was handed on and is completed elsewhere. */
typedef NTSTATUS ACM_IOCTL_ROUTINE(PACM_FDO_DATA fdx, WDFREQUEST request, PVOID buffer);

typedef struct _acm_ioctl_entry {
    ULONG code;
    PCSTR name;
    ULONG input_size;    /* minimum input buffer, 0: none examined */
    ULONG output_size;   /* minimum output buffer, 0: none examined */
    ULONG information;   /* on success */
    /* What serves it: a routine of its own, a routine run under spin_lock
       on its buffer, a change of the control lines, or a copy of a stored
       record (its offset in the device context, 0 being the common part
       that no control reads); none: nothing to do. */
    ACM_IOCTL_ROUTINE* routine;
    PFN_ACM_LOCKED_ROUTINE locked;
    ACM_LINE_ROUTINE* lines;
    LONG record;
} acm_ioctl_entry;

/* --- routines ------------------------------------------------------------------ */

static NTSTATUS acm_ioctl_baud_rate_set(PACM_FDO_DATA fdx, WDFREQUEST request, PVOID buffer)
{
    UNREFERENCED_PARAMETER(request);
    return acm_ioctl_set_baud_rate(fdx, (const SERIAL_BAUD_RATE*)buffer);
}

static NTSTATUS acm_ioctl_baud_rate_get(PACM_FDO_DATA fdx, WDFREQUEST request, PVOID buffer)
{
    cdc_line_coding_t line_coding;

    NTSTATUS status;

    UNREFERENCED_PARAMETER(request);
    status = acm_ioctl_get_line_coding(fdx, &line_coding);
    if (NT_SUCCESS(status)) {
        ((PSERIAL_BAUD_RATE)buffer)->BaudRate = line_coding.dwDTERate;
    }
    return status;
}

static NTSTATUS acm_ioctl_line_control_set(PACM_FDO_DATA fdx, WDFREQUEST request, PVOID buffer)
{
    UNREFERENCED_PARAMETER(request);
    return acm_ioctl_set_line_control(fdx, (const SERIAL_LINE_CONTROL*)buffer);
}

static NTSTATUS acm_ioctl_line_control_get(PACM_FDO_DATA fdx, WDFREQUEST request, PVOID buffer)
{
    PSERIAL_LINE_CONTROL line_control = (PSERIAL_LINE_CONTROL)buffer;
    cdc_line_coding_t line_coding;
    NTSTATUS status;

    UNREFERENCED_PARAMETER(request);
    status = acm_ioctl_get_line_coding(fdx, &line_coding);
    if (NT_SUCCESS(status)) {
        line_control->StopBits = line_coding.bCharFormat;
        line_control->Parity = line_coding.bParityType;
        line_control->WordLength = line_coding.bDataBits;
    }
    return status;
}

static NTSTATUS acm_ioctl_queue_size(PACM_FDO_DATA fdx, WDFREQUEST request, PVOID buffer)
{
    const SERIAL_QUEUE_SIZE* sizes = (const SERIAL_QUEUE_SIZE*)buffer;

    UNREFERENCED_PARAMETER(fdx);
    UNREFERENCED_PARAMETER(request);
    DC_PRINT(DC_LEVEL_INFO, "%s: QUEUE_SIZE in %lx, out %lx\n", "acm_evt_ioctl", sizes->InSize,
             sizes->OutSize);
    return STATUS_SUCCESS;
}

static NTSTATUS acm_ioctl_immediate_char(PACM_FDO_DATA fdx, WDFREQUEST request, PVOID buffer)
{
    UNREFERENCED_PARAMETER(fdx);
    UNREFERENCED_PARAMETER(request);
    DC_PRINT(DC_LEVEL_INFO, "%s: IMMEDIATE_CHAR %02x\n", "acm_evt_ioctl", *(const UCHAR*)buffer);
    return STATUS_SUCCESS;
}

static NTSTATUS acm_ioctl_break_on(PACM_FDO_DATA fdx, WDFREQUEST request, PVOID buffer)
{
    UNREFERENCED_PARAMETER(request);
    UNREFERENCED_PARAMETER(buffer);
    return acm_ioctl_set_break(fdx, TRUE);
}

static NTSTATUS acm_ioctl_break_off(PACM_FDO_DATA fdx, WDFREQUEST request, PVOID buffer)
{
    UNREFERENCED_PARAMETER(request);
    UNREFERENCED_PARAMETER(buffer);
    return acm_ioctl_set_break(fdx, FALSE);
}

/* A locked copy of a settings record that the data paths also read. */
typedef struct _acm_record_copy {
    PVOID to;
    const VOID* from;
    SIZE_T size;
} acm_record_copy;

_Requires_lock_held_(fdx->spin_lock)
static BOOLEAN acm_copy_record_locked(PACM_FDO_DATA fdx, PVOID argument)
{
    const acm_record_copy* copy = (const acm_record_copy*)argument;

    UNREFERENCED_PARAMETER(fdx);   /* where assertions compile to nothing */
    ACM_ASSERT_LOCK_HELD(fdx);
    RtlCopyMemory(copy->to, copy->from, copy->size);
    return TRUE;
}

static VOID acm_copy_record(PACM_FDO_DATA fdx, PVOID to, const VOID* from, SIZE_T size)
{
    acm_record_copy copy = { to, from, size };

    (VOID)acm_call_locked(fdx, acm_copy_record_locked, &copy);
}

/* All three read time-outs MAXULONG is no valid combination. */
static NTSTATUS acm_ioctl_timeouts_set(PACM_FDO_DATA fdx, WDFREQUEST request, PVOID buffer)
{
    const SERIAL_TIMEOUTS* timeouts = (const SERIAL_TIMEOUTS*)buffer;

    UNREFERENCED_PARAMETER(request);
    DC_PRINT(DC_LEVEL_INFO, "%s: SET_TIMEOUTS [%lx %lx %lx %lx %lx]\n", "acm_evt_ioctl",
             timeouts->ReadIntervalTimeout, timeouts->ReadTotalTimeoutMultiplier,
             timeouts->ReadTotalTimeoutConstant, timeouts->WriteTotalTimeoutMultiplier,
             timeouts->WriteTotalTimeoutConstant);
    if (timeouts->ReadIntervalTimeout == MAXULONG && timeouts->ReadTotalTimeoutMultiplier == MAXULONG &&
        timeouts->ReadTotalTimeoutConstant == MAXULONG) {
        return STATUS_INVALID_PARAMETER;
    }
    acm_copy_record(fdx, &fdx->timeouts, timeouts, sizeof(*timeouts));
    return STATUS_SUCCESS;
}

static NTSTATUS acm_ioctl_chars_set(PACM_FDO_DATA fdx, WDFREQUEST request, PVOID buffer)
{
    const SERIAL_CHARS* chars = (const SERIAL_CHARS*)buffer;

    UNREFERENCED_PARAMETER(request);
    acm_copy_record(fdx, &fdx->special_chars, chars, sizeof(*chars));
    DC_PRINT(DC_LEVEL_INFO, "%s: SET_CHARS [%02x %02x %02x %02x %02x %02x]\n", "acm_evt_ioctl",
             chars->EofChar, chars->ErrorChar, chars->BreakChar, chars->EventChar, chars->XonChar,
             chars->XoffChar);
    return STATUS_SUCCESS;
}

static NTSTATUS acm_ioctl_handflow_set(PACM_FDO_DATA fdx, WDFREQUEST request, PVOID buffer)
{
    UNREFERENCED_PARAMETER(request);
    return acm_ioctl_set_handflow(fdx, (SERIAL_HANDFLOW*)buffer);
}

static NTSTATUS acm_ioctl_dtr_clr(PACM_FDO_DATA fdx, WDFREQUEST request, PVOID buffer)
{
    UNREFERENCED_PARAMETER(request);
    UNREFERENCED_PARAMETER(buffer);
    acm_clr_dtr_and_send(fdx);
    return STATUS_SUCCESS;
}

static NTSTATUS acm_ioctl_modemstatus(PACM_FDO_DATA fdx, WDFREQUEST request, PVOID buffer)
{
    UNREFERENCED_PARAMETER(request);
    (VOID)acm_call_locked(fdx, acm_ioctl_get_modemstatus, buffer);
    DC_PRINT(DC_LEVEL_INFO, "%s: GET_MODEMSTATUS %lx\n", "acm_evt_ioctl", *(PULONG)buffer);
    return STATUS_SUCCESS;
}

static NTSTATUS acm_ioctl_dtrrts(PACM_FDO_DATA fdx, WDFREQUEST request, PVOID buffer)
{
    UNREFERENCED_PARAMETER(request);
    (VOID)acm_call_locked(fdx, acm_ioctl_get_dtrrts, buffer);
    DC_PRINT(DC_LEVEL_INFO, "%s: GET_DTRRTS %lx\n", "acm_evt_ioctl", *(PULONG)buffer);
    return STATUS_SUCCESS;
}

static NTSTATUS acm_ioctl_properties(PACM_FDO_DATA fdx, WDFREQUEST request, PVOID buffer)
{
    UNREFERENCED_PARAMETER(request);
    acm_ioctl_get_properties(fdx, (PSERIAL_COMMPROP)buffer);
    return STATUS_SUCCESS;
}

/* --- events and purge ------------------------------------------------------------ */

static PCSTR const acm_event_names[] = { "RXCHAR", "RXFLAG", "TXEMPTY", "CTS",  "DSR",
                                         "RLSD",   "BREAK",  "ERR",     "RING", "PERR",
                                         "RX80FULL", "EVENT1", "EVENT2" };
static PCSTR const acm_purge_names[] = { "TXABORT", "RXABORT", "TXCLEAR", "RXCLEAR" };

#define ACM_EVENT_MASK_INVALID 0xFFFFE000
#define ACM_PURGE_MASK_VALID   0x0000000F

static VOID acm_print_bit_names(PCSTR format, PCSTR const* names, ULONG count, ULONG mask)
{
    for (ULONG bit = 0; bit < count; bit++) {
        if (mask & (1UL << bit)) {
            DC_PRINT(DC_LEVEL_INFO, format, names[bit]);
        }
    }
}

/* A pending wait ends with the events recorded so far. */
_Requires_lock_held_(fdx->spin_lock)
static BOOLEAN acm_set_wait_mask_locked(PACM_FDO_DATA fdx, PVOID argument)
{
    ULONG mask = *(const ULONG*)argument;

    ACM_ASSERT_LOCK_HELD(fdx);
    fdx->wait_mask = mask;
    fdx->history_mask &= mask;
    acm_request_wait_update_pending_and_complete(fdx);
    return TRUE;
}

static NTSTATUS acm_ioctl_wait_mask_set(PACM_FDO_DATA fdx, WDFREQUEST request, PVOID buffer)
{
    ULONG mask = *(const ULONG*)buffer;

    UNREFERENCED_PARAMETER(request);
    if (mask & ACM_EVENT_MASK_INVALID) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: invalid event mask %lx\n", "acm_evt_ioctl", mask);
        return STATUS_UNSUCCESSFUL;
    }
    DC_PRINT(DC_LEVEL_TRACE, "%s: set mask %lx, history_mask %lx\n", "acm_evt_ioctl", mask,
             fdx->history_mask);
    acm_print_bit_names("    SERIAL_EV_%s\n", acm_event_names, RTL_NUMBER_OF(acm_event_names), mask);
    (VOID)acm_call_locked(fdx, acm_set_wait_mask_locked, &mask);
    return STATUS_SUCCESS;
}

_Requires_lock_held_(fdx->spin_lock)
static BOOLEAN acm_get_wait_mask_locked(PACM_FDO_DATA fdx, PVOID argument)
{
    ACM_ASSERT_LOCK_HELD(fdx);

    *(PULONG)argument = fdx->wait_mask;
    return TRUE;
}

static NTSTATUS acm_ioctl_wait_on_mask(PACM_FDO_DATA fdx, WDFREQUEST request, PVOID buffer)
{
    UNREFERENCED_PARAMETER(buffer);
    DC_PRINT(DC_LEVEL_TRACE, "%s: wait on mask, history_mask %lx, wait mask %lx\n", "acm_evt_ioctl",
             fdx->history_mask, fdx->wait_mask);
    (VOID)acm_queue_add_request(fdx, request, fdx->mask_queue, &fdx->current_mask_request,
                                acm_request_mask_start);
    return STATUS_PENDING;
}

static NTSTATUS acm_ioctl_purge(PACM_FDO_DATA fdx, WDFREQUEST request, PVOID buffer)
{
    ULONG mask = *(const ULONG*)buffer;

    if (mask == 0 || (mask & ~ACM_PURGE_MASK_VALID) != 0) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: invalid purge mask %lx\n", "acm_evt_ioctl", mask);
        return STATUS_UNSUCCESSFUL;
    }
    DC_PRINT(DC_LEVEL_INFO, "%s: PURGE %lx\n", "acm_evt_ioctl", mask);
    acm_print_bit_names("    SERIAL_PURGE_%s\n", acm_purge_names, RTL_NUMBER_OF(acm_purge_names), mask);
    (VOID)acm_queue_add_request(fdx, request, fdx->purge_queue, &fdx->current_purge_request,
                                acm_request_purge_start);
    return STATUS_PENDING;
}

static NTSTATUS acm_ioctl_common(PACM_FDO_DATA fdx, WDFREQUEST request, PVOID buffer)
{
    UNREFERENCED_PARAMETER(buffer);
    acm_common_ioctl(fdx, acm_request_get_context(request)->ioctl_code, request);
    return STATUS_PENDING;
}

/* --- the table ----------------------------------------------------------------- */

#define ACM_IOCTL(name, in, out, info, routine) \
    { IOCTL_SERIAL_##name, #name, in, out, info, routine, NULL, NULL, 0 }
#define ACM_IOCTL_LOCKED(name, in, out, info, locked) \
    { IOCTL_SERIAL_##name, #name, in, out, info, NULL, locked, NULL, 0 }
#define ACM_IOCTL_LINES(name, change) \
    { IOCTL_SERIAL_##name, #name, 0, 0, 0, NULL, NULL, change, 0 }
#define ACM_IOCTL_RECORD(name, type, field) \
    { IOCTL_SERIAL_##name, #name, 0, sizeof(type), sizeof(type), NULL, NULL, NULL, \
      FIELD_OFFSET(ACM_FDO_DATA, field) }
#define ACM_IOCTL_COMMON(code, name) \
    { code, name, 0, 0, 0, acm_ioctl_common, NULL, NULL, 0 }

static const acm_ioctl_entry acm_ioctls[] = {
    ACM_IOCTL(SET_BAUD_RATE, sizeof(SERIAL_BAUD_RATE), 0, 0, acm_ioctl_baud_rate_set),
    ACM_IOCTL(SET_QUEUE_SIZE, sizeof(SERIAL_QUEUE_SIZE), 0, 0, acm_ioctl_queue_size),
    ACM_IOCTL(SET_LINE_CONTROL, sizeof(SERIAL_LINE_CONTROL), 0, 0, acm_ioctl_line_control_set),
    ACM_IOCTL(SET_BREAK_ON, 0, 0, 0, acm_ioctl_break_on),
    ACM_IOCTL(SET_BREAK_OFF, 0, 0, 0, acm_ioctl_break_off),
    ACM_IOCTL(IMMEDIATE_CHAR, sizeof(UCHAR), 0, 0, acm_ioctl_immediate_char),
    ACM_IOCTL(SET_TIMEOUTS, sizeof(SERIAL_TIMEOUTS), 0, 0, acm_ioctl_timeouts_set),
    ACM_IOCTL_RECORD(GET_TIMEOUTS, SERIAL_TIMEOUTS, timeouts),
    ACM_IOCTL_LINES(SET_DTR, acm_set_dtr),
    ACM_IOCTL(CLR_DTR, 0, 0, 0, acm_ioctl_dtr_clr),
    ACM_IOCTL(RESET_DEVICE, 0, 0, 0, NULL),
    ACM_IOCTL_LINES(SET_RTS, acm_set_rts),
    ACM_IOCTL_LINES(CLR_RTS, acm_clr_rts),
    ACM_IOCTL(SET_XOFF, 0, 0, 0, NULL),
    ACM_IOCTL(SET_XON, 0, 0, 0, NULL),
    ACM_IOCTL_LOCKED(GET_WAIT_MASK, 0, sizeof(ULONG), sizeof(ULONG), acm_get_wait_mask_locked),
    ACM_IOCTL(SET_WAIT_MASK, sizeof(ULONG), 0, sizeof(ULONG), acm_ioctl_wait_mask_set),
    ACM_IOCTL(WAIT_ON_MASK, 0, sizeof(ULONG), sizeof(ULONG), acm_ioctl_wait_on_mask),
    ACM_IOCTL(PURGE, sizeof(ULONG), 0, 0, acm_ioctl_purge),
    ACM_IOCTL(GET_BAUD_RATE, 0, sizeof(SERIAL_BAUD_RATE), sizeof(SERIAL_BAUD_RATE), acm_ioctl_baud_rate_get),
    ACM_IOCTL(GET_LINE_CONTROL, 0, sizeof(SERIAL_LINE_CONTROL), sizeof(SERIAL_LINE_CONTROL),
              acm_ioctl_line_control_get),
    ACM_IOCTL_RECORD(GET_CHARS, SERIAL_CHARS, special_chars),
    ACM_IOCTL(SET_CHARS, sizeof(SERIAL_CHARS), 0, 0, acm_ioctl_chars_set),
    ACM_IOCTL_RECORD(GET_HANDFLOW, SERIAL_HANDFLOW, handflow),
    ACM_IOCTL(SET_HANDFLOW, sizeof(SERIAL_HANDFLOW), 0, 0, acm_ioctl_handflow_set),
    ACM_IOCTL(GET_MODEMSTATUS, 0, sizeof(ULONG), sizeof(ULONG), acm_ioctl_modemstatus),
    ACM_IOCTL_LOCKED(GET_COMMSTATUS, 0, sizeof(SERIAL_STATUS), sizeof(SERIAL_STATUS), acm_ioctl_get_commstatus),
    ACM_IOCTL(XOFF_COUNTER, 0, 0, 0, NULL),
    ACM_IOCTL(GET_PROPERTIES, 0, sizeof(SERIAL_COMMPROP), sizeof(SERIAL_COMMPROP), acm_ioctl_properties),
    ACM_IOCTL(GET_DTRRTS, 0, sizeof(ULONG), sizeof(ULONG), acm_ioctl_dtrrts),
    ACM_IOCTL(LSRMST_INSERT, 0, 0, 0, NULL),
    ACM_IOCTL(CONFIG_SIZE, 0, 0, 0, NULL),
    ACM_IOCTL(GET_COMMCONFIG, 0, 0, 0, NULL),
    ACM_IOCTL(SET_COMMCONFIG, 0, 0, 0, NULL),
    ACM_IOCTL_LOCKED(GET_STATS, 0, sizeof(SERIALPERF_STATS), sizeof(SERIALPERF_STATS), acm_ioctl_get_stats),
    ACM_IOCTL_LOCKED(CLEAR_STATS, 0, 0, 0, acm_ioctl_clear_stats),
    ACM_IOCTL(GET_MODEM_CONTROL, 0, 0, 0, NULL),
    ACM_IOCTL(SET_MODEM_CONTROL, 0, 0, 0, NULL),
    ACM_IOCTL(SET_FIFO_CONTROL, 0, 0, 0, NULL),
    ACM_IOCTL_COMMON(IOCTL_DC_GENERIC_CONTROL, "IOCTL_DC_GENERIC_CONTROL"),
    ACM_IOCTL_COMMON(IOCTL_CDC_SEND_ENCAPSULATED_COMMAND, "SEND_ENCAPSULATED_COMMAND"),
    ACM_IOCTL_COMMON(IOCTL_CDC_GET_ENCAPSULATED_RESPONSE, "GET_ENCAPSULATED_RESPONSE"),
    ACM_IOCTL_COMMON(IOCTL_CDC_WAIT_FOR_ENCAPSULATED_RESPONSE, "WAIT_FOR_ENCAPSULATED_RESPONSE"),
};

static const acm_ioctl_entry* acm_ioctl_find(ULONG code)
{
    for (ULONG i = 0; i < RTL_NUMBER_OF(acm_ioctls); i++) {
        if (acm_ioctls[i].code == code) {
            return &acm_ioctls[i];
        }
    }
    return NULL;
}

static const CHAR acm_unknown_ioctl[] = " unknown";

PCSTR acm_ioctl_name(ULONG code)
{
    const acm_ioctl_entry* entry = acm_ioctl_find(code);

    return entry != NULL ? entry->name : acm_unknown_ioctl;
}

/* --- dispatch ------------------------------------------------------------------ */

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

/* The request's buffer of at least the entry's size into the context; on
   failure the context carries the framework's status. */
static BOOLEAN acm_ioctl_get_buffer(WDFREQUEST request, const acm_ioctl_entry* entry)
{
    PACM_REQUEST_CONTEXT ctx = acm_request_get_context(request);
    PVOID buffer = NULL;

    if (entry->input_size != 0) {
        ctx->status = WdfRequestRetrieveInputBuffer(request, entry->input_size, &buffer, NULL);
    } else if (entry->output_size != 0) {
        ctx->status = WdfRequestRetrieveOutputBuffer(request, entry->output_size, &buffer, NULL);
    }
    if (!NT_SUCCESS(ctx->status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: Could not get request memory buffer %lx\n", "acm_evt_ioctl",
                 ctx->status);
        return FALSE;
    }
    ctx->buffer = buffer;
    return TRUE;
}

static NTSTATUS acm_ioctl_serve(PACM_FDO_DATA fdx, WDFREQUEST request, const acm_ioctl_entry* entry,
                                PVOID buffer)
{
    if (entry->routine != NULL) {
        return entry->routine(fdx, request, buffer);
    }
    if (entry->locked != NULL) {
        (VOID)acm_call_locked(fdx, entry->locked, buffer);
    } else if (entry->lines != NULL) {
        return acm_change_lines_and_send(fdx, entry->lines);
    } else if (entry->record != 0) {
        acm_copy_record(fdx, buffer, (PUCHAR)fdx + entry->record, entry->output_size);
    }
    return STATUS_SUCCESS;
}

/* FALSE when the request was handed on and must not be completed here. */
static BOOLEAN acm_ioctl_dispatch(PACM_FDO_DATA fdx, WDFREQUEST request, ULONG code)
{
    PACM_REQUEST_CONTEXT ctx = acm_request_get_context(request);
    const acm_ioctl_entry* entry = acm_ioctl_find(code);
    NTSTATUS status;

    if (entry == NULL) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: unknown ioctl %lx (func %lx)\n", "acm_evt_ioctl", code,
                 (code >> 2) & 0xFFF);
        ctx->status = STATUS_INVALID_DEVICE_REQUEST;
        return TRUE;
    }
    if (!acm_ioctl_get_buffer(request, entry)) {
        return TRUE;
    }
    ctx->information = entry->information;
    status = acm_ioctl_serve(fdx, request, entry, ctx->buffer);
    if (status == STATUS_PENDING) {
        return FALSE;
    }
    ctx->status = status;
    return TRUE;
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

    if (common_class_ref_count(&fdx->common) == 0) {
        ctx->status = STATUS_UNSUCCESSFUL;
    } else if (!acm_ioctl_allowed(fdx, IoControlCode)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: IOCTL %s (%lx) is not allowed for %sserial control device\n",
                 __FUNCTION__, acm_ioctl_name(IoControlCode), IoControlCode,
                 fdx->is_serial_ctrl ? "" : "non-");
        ctx->status = STATUS_INVALID_DEVICE_REQUEST;
    } else if (!acm_ioctl_dispatch(fdx, Request, IoControlCode)) {
        return;
    }
    if (!NT_SUCCESS(ctx->status)) {
        ctx->information = 0;
    }
    acm_request_complete(Request);
}

/* --- internal controls ------------------------------------------------------------ */

static PCSTR acm_ioctl_internal_name(ULONG code)
{
    switch (code) {
    case IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE: return "DO_WAIT_WAKE";
    case IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE: return "CANCEL_WAIT_WAKE";
    case IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS: return "BASIC_SETTINGS";
    case IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS: return "RESTORE_SETTINGS";
    default: return acm_unknown_ioctl;
    }
}

/* The system's serial enumerator and power code ask for wait-wake and
   basic settings; the port has nothing to change for either. */
VOID acm_evt_ioctl_internal(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength,
                            size_t InputBufferLength, ULONG IoControlCode)
{
    PACM_FDO_DATA fdx = acm_fdo_get_data(WdfIoQueueGetDevice(Queue));
    PACM_REQUEST_CONTEXT ctx = acm_request_get_context(Request);
    PCSTR name = acm_ioctl_internal_name(IoControlCode);

    UNREFERENCED_PARAMETER(OutputBufferLength);
    UNREFERENCED_PARAMETER(InputBufferLength);
    DC_PRINT(DC_LEVEL_TRACE, "%s: IOCTL_SERIAL_INTERNAL_%s (%lx)\n", __FUNCTION__, name, IoControlCode);
    ctx->information = 0;
    ctx->status = STATUS_SUCCESS;
    ctx->device = fdx;
    ctx->major_function = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    ctx->ioctl_code = IoControlCode;
    if (name == acm_unknown_ioctl) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: unknown ioctl %lx (func %lx)\n", __FUNCTION__, IoControlCode,
                 (IoControlCode >> 2) & 0xFFF);
        ctx->status = STATUS_INVALID_DEVICE_REQUEST;
    }
    acm_request_complete(Request);
}
