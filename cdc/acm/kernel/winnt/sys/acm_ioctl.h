/*
 * The serial I/O controls of the port.
 */
#pragma once
#include "acm_request.h"

/* The controls of the common class layer (IOCTL_DC_GENERIC_CONTROL and the
   encapsulated-command controls) come with common_class.h, from dc_ioctl.h. */

/* HoldReasons bit kept while a break is on. */
#define ACM_HOLD_BREAK 0x10

EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL acm_evt_ioctl;
EVT_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL acm_evt_ioctl_internal;

/* Passes a control of the common class layer on to it; completes it. */
VOID acm_common_ioctl(PACM_FDO_DATA fdx, ULONG code, WDFREQUEST request);

/* The name printed for a code: the IOCTL_SERIAL_ name without its prefix. */
PCSTR acm_ioctl_name(ULONG code);

/* Run under spin_lock through acm_call_locked; the argument is the
   request's buffer. */
ACM_LOCKED_ROUTINE acm_ioctl_get_modemstatus;   /* ULONG */
ACM_LOCKED_ROUTINE acm_ioctl_get_commstatus;    /* SERIAL_STATUS */
ACM_LOCKED_ROUTINE acm_ioctl_get_dtrrts;        /* ULONG */
ACM_LOCKED_ROUTINE acm_ioctl_get_stats;         /* SERIALPERF_STATS */
ACM_LOCKED_ROUTINE acm_ioctl_clear_stats;       /* none */
ACM_LOCKED_ROUTINE acm_set_handflow;            /* SERIAL_HANDFLOW, validated */

VOID acm_ioctl_get_properties(PACM_FDO_DATA fdx, PSERIAL_COMMPROP properties);

/* Control lines: control_line_state and the emulated modem_status;
   spin_lock held. */
_Requires_lock_held_(fdx->spin_lock)
VOID acm_set_dtr(PACM_FDO_DATA fdx);
_Requires_lock_held_(fdx->spin_lock)
VOID acm_clr_dtr(PACM_FDO_DATA fdx);
_Requires_lock_held_(fdx->spin_lock)
VOID acm_set_rts(PACM_FDO_DATA fdx);
_Requires_lock_held_(fdx->spin_lock)
VOID acm_clr_rts(PACM_FDO_DATA fdx);
typedef _Requires_lock_held_(fdx->spin_lock) VOID ACM_LINE_ROUTINE(PACM_FDO_DATA fdx);

/*
 * Changes under spin_lock what the routine changes and sends the lines
 * that result to the device. The change and its request are one step
 * under settings_lock, so that the device ends with the lines the port
 * keeps whatever runs in parallel. STATUS_UNSUCCESSFUL once the port's
 * open is ending. PASSIVE_LEVEL, no lock held.
 */
_IRQL_requires_(PASSIVE_LEVEL) _Requires_lock_not_held_(fdx->spin_lock)
NTSTATUS acm_change_lines_and_send(PACM_FDO_DATA fdx, ACM_LINE_ROUTINE* change);
/* DTR low, on the port and (with the line-coding capability) the device. */
_IRQL_requires_(PASSIVE_LEVEL)
VOID acm_clr_dtr_and_send(PACM_FDO_DATA fdx);

/* Line coding and break, each kept and sent as one step under
   settings_lock; STATUS_UNSUCCESSFUL once the port's open is ending. */
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS acm_ioctl_set_baud_rate(PACM_FDO_DATA fdx, const SERIAL_BAUD_RATE* baud_rate);
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS acm_ioctl_set_line_control(PACM_FDO_DATA fdx, const SERIAL_LINE_CONTROL* line_control);
/* The line coding, asked from the device first when it answers for it. */
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS acm_ioctl_get_line_coding(PACM_FDO_DATA fdx, cdc_line_coding_t* line_coding);
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS acm_ioctl_set_break(PACM_FDO_DATA fdx, BOOLEAN on);
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS acm_ioctl_set_handflow(PACM_FDO_DATA fdx, SERIAL_HANDFLOW* handflow);
