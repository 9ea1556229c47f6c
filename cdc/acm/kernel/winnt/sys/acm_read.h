/*
 * Read requests: served one at a time from the receive ring under the
 * serial read time-outs. A read completes at once with what the ring
 * holds, or waits until data arrives, its time-out expires or it is
 * cancelled.
 */
#pragma once
#include "acm_request.h"

EVT_WDF_IO_QUEUE_IO_READ acm_evt_read;

/* Serves current_read_request, then every queued read the ring satisfies. */
ACM_START_ROUTINE acm_request_read_start;

/* Sets read_timeout for a read of `length` bytes (0: no timer) and tells
   whether the read returns at once with what is there; spin_lock held. */
_Requires_lock_held_(fdx->spin_lock)
VOID acm_read_timeout_update(PACM_FDO_DATA fdx, ULONG length, PBOOLEAN return_with_whats_present);

/* The three ends of a pended read: data, time-out, cancel. */
EVT_WDF_DPC acm_request_read_complete_dpc;
EVT_WDF_TIMER acm_request_read_timeout;
EVT_WDF_REQUEST_CANCEL acm_request_read_cancel;

/* Time-out and cancel take the read back from the data side. */
ACM_BEFORE_COMPLETE_ROUTINE acm_read_clear_pending;

/* A pended read's timer across a bus suspend: the suspend holds it
   (spin_lock held), the next data-in post runs it again. */
_Requires_lock_held_(fdx->spin_lock)
VOID acm_hold_read_timer_for_suspend(PACM_FDO_DATA fdx);
_Requires_lock_not_held_(fdx->spin_lock)
VOID acm_resume_read_timer(PACM_FDO_DATA fdx);
