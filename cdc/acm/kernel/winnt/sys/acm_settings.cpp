/*
 * The serial settings state: what the port starts with, and what every open
 * starts from. Settings (line coding, handflow, time-outs, special
 * characters, control lines) outlive a close; counters, masks, errors and
 * modem status do not.
 */
#include "acm_serial.h"
#include "cdc_protocol.h"

/* 9600 bits per second, 1 stop bit, no parity, 8 data bits. */
VOID acm_line_coding_set_defaults(PACM_FDO_DATA fdx)
{
    fdx->line_coding.dwDTERate = 9600;
    fdx->line_coding.bCharFormat = CDC_STOP_BITS_1;
    fdx->line_coding.bParityType = CDC_PARITY_NONE;
    fdx->line_coding.bDataBits = 8;
}

/* DTR and RTS under the driver's control; no XON/XOFF limits. */
VOID acm_handflow_set_defaults(PACM_FDO_DATA fdx)
{
    fdx->handflow.ControlHandShake = SERIAL_DTR_CONTROL;
    fdx->handflow.FlowReplace = SERIAL_RTS_CONTROL;
    fdx->handflow.XonLimit = 0;
    fdx->handflow.XoffLimit = 0;
}

/* What each open starts from; taken under spin_lock, which the data and
   notification paths hold when they change these fields. */
VOID acm_settings_reset_at_open(PACM_FDO_DATA fdx)
{
    acm_lock_acquire(fdx);
    fdx->modem_status = 0;
    fdx->wait_mask = 0;
    fdx->history_mask = 0;
    fdx->errors = 0;
    fdx->hold_reasons = 0;
    fdx->out_queue_bytes = 0;
    RtlZeroMemory(&fdx->perf_stats, sizeof(fdx->perf_stats));
    acm_lock_release(fdx);
}
