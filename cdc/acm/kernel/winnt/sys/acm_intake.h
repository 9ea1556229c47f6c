/*
 * Request intake in the caller's context: while I/O is stopped requests are
 * failed with STATUS_DELETE_PENDING after a short delay (a purge succeeds);
 * otherwise they go on to the device's queues.
 */
#pragma once
#include "acm_serial.h"

/* A delete-pending timer's context. */
typedef struct _delete_pending_timer_ctx_t {
    PACM_FDO_DATA fdx;
} delete_pending_timer_ctx_t;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(delete_pending_timer_ctx_t, delete_pending_timer_get_ctx)

EVT_WDF_IO_IN_CALLER_CONTEXT acm_evt_io_in_caller;
/* STATUS_DELETE_PENDING, information 0, about 100 ms from now. */
VOID request_complete_delete_pending(PACM_FDO_DATA fdx, WDFREQUEST request);
EVT_WDF_TIMER request_complete_delete_pending_cb;
