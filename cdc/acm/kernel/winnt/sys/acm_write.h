/*
 * The write path: one write at a time, handed whole to the bus as one
 * data-out transfer; later writes wait in write_queue.
 */
#pragma once
#include "acm_request.h"

EVT_WDF_IO_QUEUE_IO_WRITE acm_evt_write;

ACM_START_ROUTINE acm_request_write_start;
VOID acm_request_write_give_to_isr(PACM_FDO_DATA fdx);
/* spin_lock held. */
ACM_GET_NEXT_ROUTINE acm_request_write_get_next;
/* Starts the next queued write once the device is awake again. */
VOID acm_request_write_start_next(PACM_FDO_DATA fdx);

DC_TRANSFER_COMPLETE acm_data_out_complete;
EVT_WDF_DPC acm_request_write_complete_dpc;
VOID acm_request_write_complete_current(PACM_FDO_DATA fdx);
EVT_WDF_REQUEST_CANCEL acm_request_write_cancel;

/* Aborts the posted data-out transfer and waits (briefly) for it to end. */
_IRQL_requires_max_(DISPATCH_LEVEL) _Requires_lock_not_held_(fdx->spin_lock)
VOID acm_data_out_purge(PACM_FDO_DATA fdx);
