/*
 * Serial events: the event history that the receive, transmit and
 * notification paths fill, and the one pending IOCTL_SERIAL_WAIT_ON_MASK
 * request that it completes; purge; the device's CDC notifications.
 */
#pragma once
#include "acm_request.h"

/* The pending wait belongs to the event side; spin_lock held. */
_Requires_lock_held_(fdx->spin_lock)
VOID acm_request_wait_give_to_isr(PACM_FDO_DATA fdx);
EVT_WDF_DPC acm_request_wait_complete_dpc;
EVT_WDF_REQUEST_CANCEL acm_request_wait_cancel;
/* Takes the pending wait back from the event side; spin_lock held. */
ACM_BEFORE_COMPLETE_ROUTINE acm_request_wait_grab_from_isr;

/* Applies a SERIAL_STATE bitmap (a PUSHORT) through acm_call_locked. */
ACM_LOCKED_ROUTINE acm_request_notify_update_serial_state;
