/*
 * The serial settings behind the I/O controls. Line coding, control lines
 * and break also reach the device as CDC class requests: each change and
 * its request are one step under settings_lock, so that parallel controls
 * leave the device with exactly what the port keeps. Fields that the data
 * and notification paths share are read and written under spin_lock.
 */
#include "acm_ioctl.h"
#include "cdc_protocol.h"

/* --- the settings lock --------------------------------------------------- */

static BOOLEAN acm_open_is_active(PACM_FDO_DATA fdx)
{
    return InterlockedCompareExchange(&fdx->open_state, ACM_OPEN_ACTIVE, ACM_OPEN_ACTIVE) == ACM_OPEN_ACTIVE;
}

/* settings_lock for a control of the open port: once the open is ending,
   a control changes nothing. */
static BOOLEAN acm_settings_acquire(PACM_FDO_DATA fdx)
{
    WdfWaitLockAcquire(fdx->settings_lock, NULL);
    if (!acm_open_is_active(fdx)) {
        WdfWaitLockRelease(fdx->settings_lock);
        DC_PRINT(DC_LEVEL_INFO, "%s: the port is closing\n", __FUNCTION__);
        return FALSE;
    }
    return TRUE;
}

/* --- control lines ------------------------------------------------------- */

VOID acm_set_dtr(PACM_FDO_DATA fdx)
{
    ACM_ASSERT_LOCK_HELD(fdx);

    fdx->control_line_state |= CDC_CONTROL_LINE_DTR;
    fdx->modem_status |= SERIAL_CTS_STATE | SERIAL_DSR_STATE;
}

VOID acm_clr_dtr(PACM_FDO_DATA fdx)
{
    ACM_ASSERT_LOCK_HELD(fdx);

    fdx->control_line_state &= (USHORT)~CDC_CONTROL_LINE_DTR;
    fdx->modem_status &= ~(SERIAL_CTS_STATE | SERIAL_DSR_STATE);
}

VOID acm_set_rts(PACM_FDO_DATA fdx)
{
    ACM_ASSERT_LOCK_HELD(fdx);

    fdx->control_line_state |= CDC_CONTROL_LINE_RTS;
    fdx->modem_status |= SERIAL_CTS_STATE;
}

VOID acm_clr_rts(PACM_FDO_DATA fdx)
{
    ACM_ASSERT_LOCK_HELD(fdx);

    fdx->control_line_state &= (USHORT)~CDC_CONTROL_LINE_RTS;
    fdx->modem_status &= ~SERIAL_CTS_STATE;
}

typedef struct _acm_line_change {
    ACM_LINE_ROUTINE* change;   /* NULL: only read the lines */
    USHORT lines;
} acm_line_change;

/*
 * The close drops DTR if it finds it raised. A control that got past the
 * open check before the close began and raises DTR after the close looked
 * finds the open ending here, and drops DTR itself.
 */
_Requires_lock_held_(fdx->spin_lock)
static BOOLEAN acm_change_lines_locked(PACM_FDO_DATA fdx, PVOID argument)
{
    acm_line_change* line_change = (acm_line_change*)argument;

    ACM_ASSERT_LOCK_HELD(fdx);
    if (line_change->change != NULL) {
        line_change->change(fdx);
    }
    if (fdx->dont_clear_dtr == 0 && !acm_open_is_active(fdx)) {
        acm_clr_dtr(fdx);
    }
    line_change->lines = fdx->control_line_state;
    return TRUE;
}

/* settings_lock held. */
static VOID acm_change_lines_locked_and_send(PACM_FDO_DATA fdx, ACM_LINE_ROUTINE* change)
{
    acm_line_change line_change = { change, 0 };

    (VOID)acm_call_locked(fdx, acm_change_lines_locked, &line_change);
    acm_req_set_control_line_state(fdx, line_change.lines);
}

NTSTATUS acm_change_lines_and_send(PACM_FDO_DATA fdx, ACM_LINE_ROUTINE* change)
{
    NT_ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);

    if (!acm_settings_acquire(fdx)) {
        return STATUS_UNSUCCESSFUL;
    }
    acm_change_lines_locked_and_send(fdx, change);
    WdfWaitLockRelease(fdx->settings_lock);
    return STATUS_SUCCESS;
}

/* Serves the close too: lowering DTR is right whenever it comes. */
VOID acm_clr_dtr_and_send(PACM_FDO_DATA fdx)
{
    WdfWaitLockAcquire(fdx->settings_lock, NULL);
    acm_change_lines_locked_and_send(fdx, acm_clr_dtr);
    WdfWaitLockRelease(fdx->settings_lock);
}

/* --- handflow ------------------------------------------------------------- */

/* DTR and RTS follow the control modes given; the handshake modes leave the
   line low, toggle leaves RTS alone. */
BOOLEAN acm_set_handflow(PACM_FDO_DATA fdx, PVOID argument)
{
    const SERIAL_HANDFLOW* handflow = (const SERIAL_HANDFLOW*)argument;
    ULONG dtr = handflow->ControlHandShake & SERIAL_DTR_MASK;
    ULONG rts = handflow->FlowReplace & SERIAL_RTS_MASK;

    ACM_ASSERT_LOCK_HELD(fdx);
    if (dtr != (fdx->handflow.ControlHandShake & SERIAL_DTR_MASK)) {
        if (dtr == SERIAL_DTR_CONTROL) {
            acm_set_dtr(fdx);
        } else if (dtr == 0 || dtr == SERIAL_DTR_HANDSHAKE) {
            acm_clr_dtr(fdx);
        }
    }
    if (rts != (fdx->handflow.FlowReplace & SERIAL_RTS_MASK)) {
        if (rts == SERIAL_RTS_HANDSHAKE) {
            acm_clr_rts(fdx);
        } else if (rts == SERIAL_RTS_CONTROL) {
            acm_set_rts(fdx);
        }
    }
    fdx->handflow = *handflow;
    return TRUE;
}

NTSTATUS acm_ioctl_set_handflow(PACM_FDO_DATA fdx, SERIAL_HANDFLOW* handflow)
{
    if ((handflow->ControlHandShake & SERIAL_CONTROL_INVALID) != 0 ||
        (handflow->FlowReplace & SERIAL_FLOW_INVALID) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    DC_PRINT(DC_LEVEL_INFO, "  SET_HANDFLOW [%lx %lx %lx %lx]\n", handflow->ControlHandShake,
             handflow->FlowReplace, (ULONG)handflow->XonLimit, (ULONG)handflow->XoffLimit);
    if (!acm_settings_acquire(fdx)) {
        return STATUS_UNSUCCESSFUL;
    }
    (VOID)acm_call_locked(fdx, acm_set_handflow, handflow);
    acm_change_lines_locked_and_send(fdx, NULL);
    WdfWaitLockRelease(fdx->settings_lock);
    return STATUS_SUCCESS;
}

/* --- line coding ---------------------------------------------------------- */

/*
 * Only what a CDC line coding can carry is kept: a rate of 0 bits per
 * second, a stop-bit or parity code out of range, or a word length other
 * than 5 to 8 or 16 bits would otherwise reach the device and be reported
 * back as if it held.
 */
static BOOLEAN acm_line_control_is_valid(const SERIAL_LINE_CONTROL* line_control)
{
    UCHAR data_bits = line_control->WordLength;

    return line_control->StopBits <= CDC_STOP_BITS_2 && line_control->Parity <= CDC_PARITY_SPACE &&
           ((data_bits >= 5 && data_bits <= 8) || data_bits == 16);
}

/* settings_lock held. The device's answer is not the caller's: the stored
   coding stands whatever it says. */
static VOID acm_store_and_send_line_coding(PACM_FDO_DATA fdx, const cdc_line_coding_t* line_coding)
{
    cdc_line_coding_t sent = *line_coding;

    fdx->line_coding = *line_coding;
    (VOID)acm_req_set_line_coding(fdx, &sent);
}

NTSTATUS acm_ioctl_set_baud_rate(PACM_FDO_DATA fdx, const SERIAL_BAUD_RATE* baud_rate)
{
    cdc_line_coding_t line_coding;

    if (baud_rate->BaudRate == 0) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: invalid baud rate %lu\n", "acm_evt_ioctl", baud_rate->BaudRate);
        return STATUS_INVALID_PARAMETER;
    }
    if (!acm_settings_acquire(fdx)) {
        return STATUS_UNSUCCESSFUL;
    }
    line_coding = fdx->line_coding;
    line_coding.dwDTERate = baud_rate->BaudRate;
    acm_store_and_send_line_coding(fdx, &line_coding);
    WdfWaitLockRelease(fdx->settings_lock);
    return STATUS_SUCCESS;
}

NTSTATUS acm_ioctl_set_line_control(PACM_FDO_DATA fdx, const SERIAL_LINE_CONTROL* line_control)
{
    cdc_line_coding_t line_coding;

    if (!acm_line_control_is_valid(line_control)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: invalid line control %x %x %x\n", "acm_evt_ioctl",
                 line_control->StopBits, line_control->Parity, line_control->WordLength);
        return STATUS_INVALID_PARAMETER;
    }
    if (!acm_settings_acquire(fdx)) {
        return STATUS_UNSUCCESSFUL;
    }
    line_coding = fdx->line_coding;
    line_coding.bCharFormat = line_control->StopBits;
    line_coding.bParityType = line_control->Parity;
    line_coding.bDataBits = line_control->WordLength;
    acm_store_and_send_line_coding(fdx, &line_coding);
    WdfWaitLockRelease(fdx->settings_lock);
    return STATUS_SUCCESS;
}

/* A failed or short answer leaves the stored coding as it was. */
NTSTATUS acm_ioctl_get_line_coding(PACM_FDO_DATA fdx, cdc_line_coding_t* line_coding)
{
    cdc_line_coding_t answer;

    if (!acm_settings_acquire(fdx)) {
        return STATUS_UNSUCCESSFUL;
    }
    answer = fdx->line_coding;
    if (fdx->acm_line_coding && NT_SUCCESS(acm_req_get_line_coding(fdx, &answer, TRUE))) {
        fdx->line_coding = answer;
    }
    *line_coding = fdx->line_coding;
    WdfWaitLockRelease(fdx->settings_lock);
    return STATUS_SUCCESS;
}

/* --- break ------------------------------------------------------------------ */

_Requires_lock_held_(fdx->spin_lock)
static BOOLEAN acm_set_break_hold(PACM_FDO_DATA fdx, PVOID argument)
{
    ACM_ASSERT_LOCK_HELD(fdx);

    if (*(const BOOLEAN*)argument) {
        fdx->hold_reasons |= ACM_HOLD_BREAK;
    } else {
        fdx->hold_reasons &= ~ACM_HOLD_BREAK;
    }
    return TRUE;
}

/* Without the SEND_BREAK capability there is no break to keep. */
NTSTATUS acm_ioctl_set_break(PACM_FDO_DATA fdx, BOOLEAN on)
{
    if (!fdx->acm_send_break) {
        return STATUS_SUCCESS;
    }
    if (!acm_settings_acquire(fdx)) {
        return STATUS_UNSUCCESSFUL;
    }
    acm_req_send_break(fdx, on);
    (VOID)acm_call_locked(fdx, acm_set_break_hold, &on);
    WdfWaitLockRelease(fdx->settings_lock);
    return STATUS_SUCCESS;
}

/* --- status, statistics, properties ------------------------------------------- */

BOOLEAN acm_ioctl_get_modemstatus(PACM_FDO_DATA fdx, PVOID argument)
{
    ACM_ASSERT_LOCK_HELD(fdx);

    *(PULONG)argument = fdx->modem_status;
    return TRUE;
}

/* Errors are reported once: reading them clears them. */
BOOLEAN acm_ioctl_get_commstatus(PACM_FDO_DATA fdx, PVOID argument)
{
    PSERIAL_STATUS status = (PSERIAL_STATUS)argument;

    ACM_ASSERT_LOCK_HELD(fdx);
    status->Errors = fdx->errors;
    fdx->errors = 0;
    status->HoldReasons = fdx->hold_reasons;
    status->AmountInInQueue = fdx->read_buffer_bytes;
    status->AmountInOutQueue =
        (ULONG)InterlockedCompareExchange((LONG volatile*)&fdx->out_queue_bytes, 0, 0);
    status->EofReceived = FALSE;
    status->WaitForImmediate = FALSE;
    DC_PRINT(DC_LEVEL_TRACE, "%s: [%lx %lx %lx %lx %lx %lx]\n", __FUNCTION__, status->Errors,
             status->HoldReasons, status->AmountInInQueue, status->AmountInOutQueue,
             (ULONG)status->EofReceived, (ULONG)status->WaitForImmediate);
    return TRUE;
}

BOOLEAN acm_ioctl_get_dtrrts(PACM_FDO_DATA fdx, PVOID argument)
{
    ULONG lines = 0;

    ACM_ASSERT_LOCK_HELD(fdx);
    if (fdx->control_line_state & CDC_CONTROL_LINE_DTR) {
        lines |= SERIAL_DTR_STATE;
    }
    if (fdx->control_line_state & CDC_CONTROL_LINE_RTS) {
        lines |= SERIAL_RTS_STATE;
    }
    *(PULONG)argument = lines;
    return TRUE;
}

BOOLEAN acm_ioctl_get_stats(PACM_FDO_DATA fdx, PVOID argument)
{
    ACM_ASSERT_LOCK_HELD(fdx);

    *(PSERIALPERF_STATS)argument = fdx->perf_stats;
    return TRUE;
}

BOOLEAN acm_ioctl_clear_stats(PACM_FDO_DATA fdx, PVOID argument)
{
    ACM_ASSERT_LOCK_HELD(fdx);

    UNREFERENCED_PARAMETER(argument);
    RtlZeroMemory(&fdx->perf_stats, sizeof(fdx->perf_stats));
    return TRUE;
}

#define ACM_PROV_CAPABILITIES                                                          \
    (SERIAL_PCF_DTRDSR | SERIAL_PCF_RTSCTS | SERIAL_PCF_CD | SERIAL_PCF_PARITY_CHECK | \
     SERIAL_PCF_TOTALTIMEOUTS | SERIAL_PCF_INTTIMEOUTS)
#define ACM_SETTABLE_PARAMS                                                         \
    (SERIAL_SP_PARITY | SERIAL_SP_BAUD | SERIAL_SP_DATABITS | SERIAL_SP_STOPBITS | \
     SERIAL_SP_HANDSHAKING | SERIAL_SP_PARITY_CHECK | SERIAL_SP_CARRIER_DETECT)
#define ACM_SETTABLE_BAUD (SERIAL_BAUD_USER | 0x0007FFFF)   /* every listed rate */
#define ACM_SETTABLE_DATA \
    (SERIAL_DATABITS_5 | SERIAL_DATABITS_6 | SERIAL_DATABITS_7 | SERIAL_DATABITS_8)
#define ACM_SETTABLE_STOP_PARITY                                                               \
    (SERIAL_STOPBITS_10 | SERIAL_STOPBITS_15 | SERIAL_STOPBITS_20 | SERIAL_PARITY_NONE |        \
     SERIAL_PARITY_ODD | SERIAL_PARITY_EVEN | SERIAL_PARITY_MARK | SERIAL_PARITY_SPACE)

VOID acm_ioctl_get_properties(PACM_FDO_DATA fdx, PSERIAL_COMMPROP properties)
{
    RtlZeroMemory(properties, sizeof(*properties));
    properties->PacketLength = sizeof(SERIAL_COMMPROP);
    properties->PacketVersion = 2;
    properties->ServiceMask = SERIAL_SP_SERIALCOMM;
    properties->MaxBaud = SERIAL_BAUD_USER;
    properties->ProvSubType = fdx->is_modem ? SERIAL_SP_RS232 : SERIAL_SP_MODEM;
    properties->ProvCapabilities = ACM_PROV_CAPABILITIES;
    properties->SettableParams = ACM_SETTABLE_PARAMS;
    properties->SettableBaud = ACM_SETTABLE_BAUD;
    properties->SettableData = ACM_SETTABLE_DATA;
    properties->SettableStopParity = ACM_SETTABLE_STOP_PARITY;
    properties->CurrentRxQueue = fdx->read_buffer_size;
}

static_assert(ACM_PROV_CAPABILITIES == 0xCF && ACM_SETTABLE_PARAMS == 0x7F &&
                  ACM_SETTABLE_BAUD == 0x1007FFFF && ACM_SETTABLE_DATA == 0x000F &&
                  ACM_SETTABLE_STOP_PARITY == 0x1F07,
              "the properties the port reports");
