/*
 * Delivery of receive and line events to the pending wait-on-mask request:
 * the producers have changed history_mask under spin_lock; the pending wait,
 * if any, gets the events now and completes from its DPC.
 */
#include "acm_request.h"

VOID acm_request_wait_update_pending_and_complete(PACM_FDO_DATA fdx)
{
    WDFREQUEST wait = fdx->current_wait_request;
    PACM_REQUEST_CONTEXT context;

    if (wait == NULL) {
        DC_PRINT(DC_LEVEL_TRACE, "%s: current request is empty\n", __FUNCTION__);
        return;
    }
    DC_PRINT(DC_LEVEL_TRACE, "%s: request %p, history_mask %lx\n", __FUNCTION__, wait,
             fdx->history_mask);
    context = acm_request_get_context(wait);
    *(PULONG)context->buffer = fdx->history_mask;
    fdx->history_mask = 0;
    context->information = sizeof(ULONG);
    context->status = STATUS_SUCCESS;
    fdx->mask_location = NULL;
    WdfDpcEnqueue(fdx->wait_complete_dpc);
}

/* Interim: wait-on-mask is not served yet; the current request is refused
   and the next one taken. Replaced by the wait-on-mask engine. */
static VOID acm_request_refuse_current(PACM_FDO_DATA fdx, WDFREQUEST* current, WDFQUEUE queue,
                                       PFN_ACM_START_ROUTINE start)
{
    WDFREQUEST request;

    WdfSpinLockAcquire(fdx->spin_lock);
    request = *current;
    *current = NULL;
    WdfSpinLockRelease(fdx->spin_lock);
    if (request != NULL) {
        acm_request_get_context(request)->status = STATUS_NOT_IMPLEMENTED;
        acm_request_get_context(request)->information = 0;
        acm_request_complete(request);
    }
    acm_request_start_next_queued(fdx, current, queue, start, acm_queue_get_next_request);
}

VOID acm_request_mask_start(PACM_FDO_DATA fdx)
{
    acm_request_refuse_current(fdx, &fdx->current_mask_request, fdx->mask_queue,
                               acm_request_mask_start);
}

VOID acm_request_purge_start(PACM_FDO_DATA fdx)
{
    acm_request_refuse_current(fdx, &fdx->current_purge_request, fdx->purge_queue,
                               acm_request_purge_start);
}
