/*
 * Delivery of receive and line events to the pending wait-on-mask request:
 * the producers have changed history_mask under spin_lock; the pending wait,
 * if any, gets the events now and completes from its DPC.
 */
#include "acm_serial.h"

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
