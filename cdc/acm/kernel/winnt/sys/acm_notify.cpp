/*
 * The device's CDC notifications from the interrupt endpoint: NETWORK_CONNECTION
 * is traced, RESPONSE_AVAILABLE goes to the encapsulated command channel,
 * SERIAL_STATE becomes the modem status, the line error word, the error
 * statistics and serial events. Malformed packets are refused and change
 * nothing.
 */
#include "acm_wait_event.h"
#include "acm_io.h"
#include "cdc_protocol.h"

/* A modem line that follows a SERIAL_STATE bit; TRUE if it changed. */
static BOOLEAN acm_notify_set_lines(PACM_FDO_DATA fdx, ULONG lines, BOOLEAN on)
{
    const ULONG old_status = fdx->modem_status;

    fdx->modem_status = on ? (old_status | lines) : (old_status & ~lines);
    return fdx->modem_status != old_status;
}

static VOID acm_notify_record(PACM_FDO_DATA fdx, ULONG event)
{
    if (fdx->wait_mask & event) {
        fdx->history_mask |= event;
    }
}

/* The carrier lines are levels: an event only when they change. */
static VOID acm_notify_apply_lines(PACM_FDO_DATA fdx, USHORT state)
{
    if (acm_notify_set_lines(fdx, SERIAL_DCD_STATE, (state & CDC_SERIAL_STATE_RX_CARRIER) != 0)) {
        acm_notify_record(fdx, SERIAL_EV_RLSD);
    }
    if (acm_notify_set_lines(fdx, SERIAL_DSR_STATE, (state & CDC_SERIAL_STATE_TX_CARRIER) != 0)) {
        acm_notify_record(fdx, SERIAL_EV_DSR);
    }
    (VOID)acm_notify_set_lines(fdx, SERIAL_CTS_STATE, (state & CDC_SERIAL_STATE_TX_CARRIER) != 0);
    if (state & CDC_SERIAL_STATE_BREAK) {
        acm_notify_record(fdx, SERIAL_EV_BREAK);
    }
    if (state & CDC_SERIAL_STATE_RING_SIGNAL) {
        acm_notify_record(fdx, SERIAL_EV_RING);
    }
}

/* Line errors accumulate in `errors` until GET_COMMSTATUS reads them; the
   statistics count every error the device reports. */
static VOID acm_notify_apply_errors(PACM_FDO_DATA fdx, USHORT state)
{
    if (state & CDC_SERIAL_STATE_OVERRUN) {
        fdx->errors |= SERIAL_ERROR_OVERRUN;
        fdx->perf_stats.SerialOverrunErrorCount++;
    }
    if (state & CDC_SERIAL_STATE_PARITY) {
        if (fdx->wait_mask & SERIAL_EV_ERR) {
            fdx->errors |= SERIAL_ERROR_PARITY;
        }
        fdx->perf_stats.ParityErrorCount++;
    }
    if (state & CDC_SERIAL_STATE_FRAMING) {
        fdx->errors |= SERIAL_ERROR_FRAMING;
        fdx->perf_stats.FrameErrorCount++;
    }
    if (fdx->errors != 0) {
        acm_notify_record(fdx, SERIAL_EV_ERR);
    }
}

BOOLEAN acm_request_notify_update_serial_state(PACM_FDO_DATA fdx, PVOID argument)
{
    const USHORT state = *(PUSHORT)argument;

    ACM_ASSERT_LOCK_HELD(fdx);
    DC_PRINT(DC_LEVEL_INFO, "%s: serial_state %02x\n", __FUNCTION__, state);
    acm_notify_apply_lines(fdx, state);
    acm_notify_apply_errors(fdx, state);
    if (fdx->history_mask != 0) {
        acm_request_wait_update_pending_and_complete(fdx);
    }
    return FALSE;
}

/*
 * The bitmap is read only from bytes that arrived: a packet must hold its
 * header and both bytes of the bitmap, whatever the endpoint's buffer holds
 * beyond them.
 */
static BOOLEAN acm_notify_serial_state(PACM_FDO_DATA fdx, const CDC_NOTIFICATION_HEADER* header,
                                       PUCHAR packet, ULONG bytes_transferred)
{
    USHORT state;

    if (header->wLength != sizeof(USHORT) || bytes_transferred < CDC_SERIAL_STATE_NOTIFICATION_SIZE) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: invalid SERIAL_STATE notification\n", "acm_notify_cb");
        return FALSE;
    }
    state = (USHORT)(packet[CDC_NOTIFICATION_HEADER_SIZE] |
                     (packet[CDC_NOTIFICATION_HEADER_SIZE + 1] << 8));
    (VOID)acm_call_locked(fdx, acm_request_notify_update_serial_state, &state);
    return TRUE;
}

BOOLEAN acm_notify_cb(WDFDEVICE Device, PUCHAR Notification, ULONG BytesTransferred)
{
    PACM_FDO_DATA fdx = acm_fdo_get_data(Device);
    CDC_NOTIFICATION_HEADER header;

    DC_PRINT(DC_LEVEL_TRACE, "%s: entered, bytes_transferred %lx\n", __FUNCTION__, BytesTransferred);
    common_class_child_device_wakeup_post(&fdx->common);
    if (BytesTransferred < CDC_NOTIFICATION_HEADER_SIZE) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: wrong packet size\n", __FUNCTION__);
        return FALSE;
    }
    RtlCopyMemory(&header, Notification, sizeof(header));
    if (header.bNotification == CDC_NOTIFY_RESPONSE_AVAILABLE && fdx->serial_ctrl_enabled) {
        DC_PRINT(DC_LEVEL_ERROR,
                 "%s: Since serial control device is enabled, only that deviceis allowed to handle "
                 "response-available notification\n",
                 __FUNCTION__);
        return FALSE;
    }

    switch (header.bNotification) {
    case CDC_NOTIFY_NETWORK_CONNECTION:
        DC_PRINT(DC_LEVEL_INFO, "%s: connected %x\n", __FUNCTION__, header.wValue);
        return TRUE;
    case CDC_NOTIFY_RESPONSE_AVAILABLE:
        cdc_notify_response_available(&fdx->common, 0);
        return TRUE;
    case CDC_NOTIFY_SERIAL_STATE:
        return acm_notify_serial_state(fdx, &header, Notification, BytesTransferred);
    default:
        DC_PRINT(DC_LEVEL_ERROR, "%s: not an ACM notification\n", __FUNCTION__);
        return TRUE;
    }
}
