/*
 * Wait-on-mask. A WAIT_ON_MASK request is started as current_mask_request
 * and, when it is valid, becomes the one current_wait_request, which the
 * event side (the "isr") owns with REF_ISR until an event, a mask change or
 * a cancel completes it. Events of interest that arrive while no wait is
 * pending stay in history_mask and complete the next wait at once.
 */
#include "acm_wait_event.h"

/* The request, set up to be completed with `status` and no data. */
static WDFREQUEST acm_wait_refuse(WDFREQUEST request, NTSTATUS status)
{
    PACM_REQUEST_CONTEXT ctx = acm_request_get_context(request);

    ctx->status = status;
    ctx->information = 0;
    return request;
}

/*
 * Makes `request` the pending wait, or returns it to be completed: a wait
 * on an empty mask, a second wait and one cancelled before it could be
 * pended are refused. spin_lock held.
 */
_Requires_lock_held_(fdx->spin_lock)
static WDFREQUEST acm_wait_try_to_pend(PACM_FDO_DATA fdx, WDFREQUEST request)
{
    PACM_REQUEST_CONTEXT ctx = acm_request_get_context(request);
    NTSTATUS status;

    ACM_ASSERT_LOCK_HELD(fdx);
    if (fdx->wait_mask == 0) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: ERROR wait on zero mask\n", "acm_request_mask_start");
        return acm_wait_refuse(request, STATUS_INVALID_PARAMETER);
    }
    if (fdx->current_wait_request != NULL) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: ERROR wait was already pending\n", "acm_request_mask_start");
        return acm_wait_refuse(request, STATUS_INVALID_PARAMETER);
    }

    ctx->ref_bits = REF_SETTING;
    status = acm_request_set_cancel_routine(request, acm_request_wait_cancel);
    ctx->ref_bits &= ~REF_SETTING;
    if (!NT_SUCCESS(status) || !(ctx->ref_bits & REF_CANCEL)) {
        return acm_wait_refuse(request, STATUS_CANCELLED);
    }

    DC_PRINT(DC_LEVEL_TRACE, "%s: %p will become the current wait request\n",
             "acm_request_mask_start", request);
    fdx->mask_location = NULL;
    (VOID)InterlockedExchangePointer((PVOID volatile*)&fdx->current_wait_request, request);
    acm_request_wait_give_to_isr(fdx);
    return NULL;
}

/* Serves every WAIT_ON_MASK request that mask_queue holds. */
VOID acm_request_mask_start(PACM_FDO_DATA fdx)
{
    WDFREQUEST request;
    WDFREQUEST refused;

    DC_PRINT(DC_LEVEL_TRACE, "%s: entered, current mask request %p\n", __FUNCTION__,
             fdx->current_mask_request);
    acm_lock_acquire(fdx);
    for (;;) {
        request = (WDFREQUEST)InterlockedExchangePointer(
            (PVOID volatile*)&fdx->current_mask_request, NULL);
        if (request == NULL) {
            DC_PRINT(DC_LEVEL_ERROR, "%s: current request is empty, get next\n", __FUNCTION__);
        } else {
            refused = acm_wait_try_to_pend(fdx, request);
            if (refused != NULL) {
                acm_lock_release(fdx);
                acm_request_complete(refused);
                acm_lock_acquire(fdx);
            }
        }
        acm_queue_get_next_request(&fdx->current_mask_request, fdx->mask_queue);
        if (fdx->current_mask_request == NULL) {
            break;
        }
    }
    acm_lock_release(fdx);
}

/* The wait's result and its completion from wait_complete_dpc; spin_lock held. */
_Requires_lock_held_(fdx->spin_lock)
static VOID acm_wait_deliver(PACM_FDO_DATA fdx, PACM_REQUEST_CONTEXT ctx)
{
    ACM_ASSERT_LOCK_HELD(fdx);

    *(PULONG)ctx->buffer = fdx->history_mask;
    fdx->history_mask = 0;
    ctx->information = sizeof(ULONG);
    ctx->status = STATUS_SUCCESS;
    fdx->mask_location = NULL;
    WdfDpcEnqueue(fdx->wait_complete_dpc);
}

VOID acm_request_wait_give_to_isr(PACM_FDO_DATA fdx)
{
    WDFREQUEST wait = fdx->current_wait_request;
    PACM_REQUEST_CONTEXT ctx;

    ACM_ASSERT_LOCK_HELD(fdx);
    if (wait == NULL) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: current request is empty\n", __FUNCTION__);
        return;
    }
    DC_PRINT(DC_LEVEL_TRACE, "%s: entered\n", __FUNCTION__);
    ctx = acm_request_get_context(wait);
    ctx->ref_bits |= REF_ISR;

    if (fdx->history_mask == 0) {
        DC_PRINT(DC_LEVEL_TRACE, "%s: No events occurred prior to the wait call\n", __FUNCTION__);
        fdx->mask_location = (PULONG)ctx->buffer;
        DC_PRINT(DC_LEVEL_TRACE, "%s: The isr owns the request %p, mask location %p, system buffer %p\n",
                 __FUNCTION__, wait, fdx->mask_location, ctx->buffer);
        return;
    }
    DC_PRINT(DC_LEVEL_TRACE,
             "%s: history_mask %lx, events occurred prior to the wait, completing WAIT request %p\n",
             __FUNCTION__, fdx->history_mask, wait);
    acm_wait_deliver(fdx, ctx);
}

VOID acm_request_wait_update_pending_and_complete(PACM_FDO_DATA fdx)
{
    WDFREQUEST wait = fdx->current_wait_request;

    ACM_ASSERT_LOCK_HELD(fdx);
    if (wait == NULL) {
        DC_PRINT(DC_LEVEL_TRACE, "%s: current request is empty\n", __FUNCTION__);
        return;
    }
    DC_PRINT(DC_LEVEL_TRACE, "%s: request %p, history_mask %lx\n", __FUNCTION__, wait,
             fdx->history_mask);
    acm_wait_deliver(fdx, acm_request_get_context(wait));
}

/*
 * A delivery while the DPC is already running queues it once more; that
 * second run may find the next wait, not yet given any events (its mask
 * location still set). That wait stays pending. spin_lock held.
 */
_Requires_lock_held_(fdx->spin_lock)
static BOOLEAN acm_wait_keep_undelivered(PACM_FDO_DATA fdx, WDFREQUEST request)
{
    ACM_ASSERT_LOCK_HELD(fdx);

    if (fdx->mask_location == NULL) {
        return FALSE;
    }
    acm_request_get_context(request)->ref_bits |= REF_ISR;
    return TRUE;
}

VOID acm_request_wait_complete_dpc(WDFDPC Dpc)
{
    PACM_FDO_DATA fdx = acm_fdo_get_data((WDFDEVICE)WdfDpcGetParentObject(Dpc));

    DC_PRINT(DC_LEVEL_TRACE, "%s: entered, current request %p\n", __FUNCTION__,
             fdx->current_wait_request);
    acm_request_try_to_complete_current(fdx, acm_wait_keep_undelivered, STATUS_SUCCESS,
                                        &fdx->current_wait_request, NULL, NULL, NULL, NULL,
                                        REF_TYPE_ISR);
    DC_PRINT(DC_LEVEL_TRACE, "%s: done\n", __FUNCTION__);
}

VOID acm_request_wait_cancel(WDFREQUEST Request)
{
    PACM_REQUEST_CONTEXT ctx = acm_request_get_context(Request);
    PACM_FDO_DATA fdx = ctx->device;

    DC_PRINT(DC_LEVEL_TRACE, "%s: entered, request %p, current request %p\n", __FUNCTION__, Request,
             fdx->current_wait_request);
    if (acm_request_cancel_during_set(Request)) {
        /* Called from inside the marking in acm_request_mask_start, which
           holds spin_lock and completes the request. */
        DC_PRINT(DC_LEVEL_TRACE, "%s: cancel was called during set\n", __FUNCTION__);
        ctx->ref_bits &= ~REF_CANCEL;
        return;
    }
    acm_request_try_to_complete_current(fdx, acm_request_wait_grab_from_isr, STATUS_CANCELLED,
                                        &fdx->current_wait_request, NULL, NULL, NULL, NULL,
                                        REF_TYPE_CANCEL);
    DC_PRINT(DC_LEVEL_TRACE, "%s: done\n", __FUNCTION__);
}

/*
 * A wait whose events are already delivered keeps REF_ISR: its DPC
 * completes it with them instead of the cancel. A DPC that came first but
 * stepped back for this cancel has dropped REF_ISR already; the cancel then
 * completes the wait, and its events go back to the history for the next
 * wait rather than being lost with it.
 */
BOOLEAN acm_request_wait_grab_from_isr(PACM_FDO_DATA fdx, WDFREQUEST request)
{
    PACM_REQUEST_CONTEXT ctx = acm_request_get_context(request);

    ACM_ASSERT_LOCK_HELD(fdx);
    DC_PRINT(DC_LEVEL_TRACE, "%s: entered, mask location %p\n", __FUNCTION__, fdx->mask_location);
    if (fdx->mask_location != NULL && fdx->current_wait_request != NULL) {
        DC_PRINT(DC_LEVEL_TRACE,
                 "%s: The isr still owns the request %p, mask location %p, system buffer is %p\n",
                 __FUNCTION__, request, fdx->mask_location, ctx->buffer);
        *fdx->mask_location = 0;
        fdx->mask_location = NULL;
        ctx->information = sizeof(ULONG);
        ctx->ref_bits &= ~REF_ISR;
    } else {
        DC_PRINT(DC_LEVEL_ERROR, "%s: error in mask %p, current_wait %p\n", __FUNCTION__,
                 fdx->mask_location, fdx->current_wait_request);
        if (!(ctx->ref_bits & REF_ISR)) {
            fdx->history_mask |= *(PULONG)ctx->buffer;
        }
    }
    return FALSE;
}
