/*
 * Operation slots: for each kind of long-running request a current field,
 * a manual queue in which later requests of that kind wait, and the moves
 * between them; the queues' stop and resume callbacks that keep a current
 * request alive across a power transition.
 */
#include "acm_request.h"
#include "acm_write.h"

static BOOLEAN acm_bus_is_suspended(PACM_FDO_DATA fdx)
{
    const DC_ENUMERATOR_INTERFACE* bus = &fdx->common.bus_ifc;

    return bus->Context != NULL && bus->is_suspended != NULL && bus->is_suspended(bus->Context);
}

/* The current field naming the request, or NULL; spin_lock held. */
_Requires_lock_held_(fdx->spin_lock)
static WDFREQUEST* acm_queue_slot_of(PACM_FDO_DATA fdx, WDFREQUEST request)
{
    ACM_ASSERT_LOCK_HELD(fdx);

    WDFREQUEST* const slots[] = { &fdx->current_read_request, &fdx->current_write_request,
                                  &fdx->current_mask_request, &fdx->current_wait_request,
                                  &fdx->current_purge_request };

    for (ULONG i = 0; i < RTL_NUMBER_OF(slots); i++) {
        if (*slots[i] == request) {
            return slots[i];
        }
    }
    return NULL;
}

/* A suspended device never starts a write from intake: it waits in
   write_queue until the write path restarts it after wake-up. spin_lock
   held. */
_Requires_lock_held_(fdx->spin_lock)
static BOOLEAN acm_queue_may_start(PACM_FDO_DATA fdx, WDFQUEUE queue)
{
    ACM_ASSERT_LOCK_HELD(fdx);

    return queue != fdx->write_queue || !acm_bus_is_suspended(fdx);
}

/*
 * A request whose queue stopped while it was still in its intake callback
 * was not acknowledged (it was not current then): it goes to its waiting
 * queue, which settles the stop, and starts from there once the device is
 * back. Forwarding runs without spin_lock, because the framework may call
 * EvtIoCanceledOnQueue from inside it; the current request may then have
 * completed in the meantime and found the queue still empty, so a request
 * waiting behind an empty slot is started here.
 */
BOOLEAN acm_queue_add_request(PACM_FDO_DATA fdx, WDFREQUEST request, WDFQUEUE queue,
                              WDFREQUEST* current_op_request, PFN_ACM_START_ROUTINE start)
{
    PACM_REQUEST_CONTEXT ctx = acm_request_get_context(request);
    WDFREQUEST next = NULL;
    NTSTATUS status;

    acm_lock_acquire(fdx);
    if (ctx->major_function == IRP_MJ_WRITE) {
        InterlockedExchangeAdd((LONG volatile*)&fdx->out_queue_bytes, (LONG)ctx->length);
    }
    if (*current_op_request == NULL && acm_queue_is_idle(queue) && acm_queue_may_start(fdx, queue) &&
        !ctx->stopped_in_intake) {
        (VOID)InterlockedExchangePointer((PVOID volatile*)current_op_request, request);
        acm_lock_release(fdx);
        DC_PRINT(DC_LEVEL_TRACE, "%s: queue is empty, start request %p\n", __FUNCTION__, request);
        start(fdx);
        return FALSE;
    }
    ctx->device = fdx;
    ctx->stopped_in_intake = FALSE;
    acm_lock_release(fdx);

    status = WdfRequestForwardToIoQueue(request, queue);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: WdfRequestForwardToIoQueue failed %lx\n", __FUNCTION__, status);
        ctx->information = 0;
        ctx->status = status;
        acm_request_complete(request);
    }
    DC_PRINT(DC_LEVEL_TRACE, "%s: queue is not empty, forward request %p\n", __FUNCTION__, request);

    acm_lock_acquire(fdx);
    if (*current_op_request == NULL && acm_queue_may_start(fdx, queue)) {
        acm_queue_get_next_request(current_op_request, queue);
        next = *current_op_request;
    }
    acm_lock_release(fdx);
    if (next != NULL) {
        start(fdx);
    }
    return TRUE;
}

BOOLEAN acm_queue_is_idle(WDFQUEUE queue)
{
    ULONG state = WdfIoQueueGetState(queue, NULL, NULL);

    return (state & WdfIoQueueNoRequests) && (state & WdfIoQueueDriverNoRequests);
}

VOID acm_queue_get_next_request(WDFREQUEST* current_op_request, WDFQUEUE queue)
{
    WDFREQUEST request;
    NTSTATUS status;

    ACM_ASSERT_LOCK_HELD(acm_fdo_get_data(WdfIoQueueGetDevice(queue)));
    if (*current_op_request != NULL) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: current request was already set - quit\n", __FUNCTION__);
        return;
    }
    status = WdfIoQueueRetrieveNextRequest(queue, &request);
    if (NT_SUCCESS(status)) {
        (VOID)InterlockedExchangePointer((PVOID volatile*)current_op_request, request);
    } else if (status != STATUS_NO_MORE_ENTRIES && status != STATUS_WDF_PAUSED) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: ERROR retrieving next request, status %lx\n", __FUNCTION__,
                 status);
    }
}

VOID acm_request_start_next_queued(PACM_FDO_DATA fdx, WDFREQUEST* current_op_request,
                                   WDFQUEUE queue, PFN_ACM_START_ROUTINE start,
                                   PFN_ACM_GET_NEXT_ROUTINE get_next)
{
    WDFREQUEST next;

    DC_PRINT(DC_LEVEL_TRACE, "%s: Entered, current_op_request %p, queue %p\n", __FUNCTION__,
             current_op_request, queue);
    acm_lock_acquire(fdx);
    get_next(current_op_request, queue);
    next = *current_op_request;
    acm_lock_release(fdx);
    if (next != NULL) {
        start(fdx);
    } else {
        DC_PRINT(DC_LEVEL_TRACE, "%s: No request in the queue\n", __FUNCTION__);
    }
}

/*
 * A request held for resume is not cancelable; REF_CANCEL_CALLED stands for
 * its cancel reference. Its cancellation (a purge, a close, a removal) ends
 * the hold, with the timer the stop halted, and returns the saved cancel
 * routine for the caller to call without spin_lock. spin_lock held.
 */
_Requires_lock_held_(fdx->spin_lock)
static PFN_WDF_REQUEST_CANCEL acm_queue_end_hold(PACM_FDO_DATA fdx, PACM_REQUEST_CONTEXT ctx)
{
    PFN_WDF_REQUEST_CANCEL cancel_routine =
        (ctx->ref_bits & REF_CANCEL_CALLED) ? ctx->cancel_routine : NULL;

    UNREFERENCED_PARAMETER(fdx);   /* where assertions compile to nothing */
    ACM_ASSERT_LOCK_HELD(fdx);
    ctx->ref_bits &= ~REF_TIMER;
    ctx->cancel_routine = NULL;
    ctx->resume = FALSE;
    return cancel_routine;
}

/* Cancels the current request through its own cancel routine, which
   completes it with reference type 2; also one that a stopped queue holds. */
VOID acm_queue_purge_current(WDFQUEUE queue, WDFREQUEST* current_op_request)
{
    PACM_FDO_DATA fdx = acm_fdo_get_data(WdfIoQueueGetDevice(queue));
    PFN_WDF_REQUEST_CANCEL cancel_routine;
    PACM_REQUEST_CONTEXT ctx;
    WDFREQUEST request;
    NTSTATUS status;

    request = acm_request_lock_current(fdx, current_op_request);
    if (request == NULL) {
        return;
    }
    ctx = acm_request_get_context(request);
    cancel_routine = ctx->cancel_routine;
    if (cancel_routine == NULL) {
        acm_lock_release(fdx);
        DC_PRINT(DC_LEVEL_TRACE, "%s: cancel routine is not defined, exit\n", __FUNCTION__);
        return;
    }
    if (ctx->resume) {
        cancel_routine = acm_queue_end_hold(fdx, ctx);
        acm_lock_release(fdx);
        if (cancel_routine != NULL) {
            cancel_routine(request);
        }
        return;
    }
    if (!(ctx->ref_bits & REF_CANCEL)) {
        acm_lock_release(fdx);
        DC_PRINT(DC_LEVEL_TRACE, "%s: cancel routine is already in progress, exit\n", __FUNCTION__);
        return;
    }
    ctx->ref_bits |= REF_CANCEL_CALLED;
    status = acm_request_unmark_cancelable(request);
    if (!NT_SUCCESS(status)) {
        /* The framework's own call of the routine will do. */
        ctx->ref_bits &= ~REF_CANCEL_CALLED;
    }
    acm_lock_release(fdx);
    if (NT_SUCCESS(status)) {
        cancel_routine(request);
    }
    DC_PRINT(DC_LEVEL_TRACE, "%s: done\n", __FUNCTION__);
}

VOID acm_queue_flush(WDFQUEUE queue, WDFREQUEST* current_op_request)
{
    DC_PRINT(DC_LEVEL_TRACE, "%s: entered\n", __FUNCTION__);
    WdfIoQueuePurge(queue, WDF_NO_EVENT_CALLBACK, WDF_NO_CONTEXT);
    acm_queue_purge_current(queue, current_op_request);
    WdfIoQueueStart(queue);
    DC_PRINT(DC_LEVEL_TRACE, "%s: done\n", __FUNCTION__);
}

BOOLEAN acm_call_locked(PACM_FDO_DATA fdx, PFN_ACM_LOCKED_ROUTINE routine, PVOID argument)
{
    BOOLEAN result;

    acm_lock_acquire(fdx);
    result = routine(fdx, argument);
    acm_lock_release(fdx);
    return result;
}

/* --- queue stop and resume ------------------------------------------------------ */

/*
 * A cancelable current request is unmarked for the time its queue is
 * stopped; REF_CANCEL_CALLED stands in for its cancel reference and resume
 * makes every completion attempt step back. FALSE if the framework's
 * cancellation came first: its cancel routine completes the request.
 * spin_lock held.
 */
_Requires_lock_held_(fdx->spin_lock)
static BOOLEAN acm_io_stop_hold_for_resume(PACM_FDO_DATA fdx, WDFREQUEST request)
{
    PACM_REQUEST_CONTEXT ctx = acm_request_get_context(request);
    PFN_WDF_REQUEST_CANCEL cancel_routine = ctx->cancel_routine;

    UNREFERENCED_PARAMETER(fdx);   /* where assertions compile to nothing */
    ACM_ASSERT_LOCK_HELD(fdx);
    ctx->ref_bits |= REF_CANCEL_CALLED;
    if (acm_request_unmark_cancelable(request) == STATUS_CANCELLED) {
        ctx->ref_bits &= ~REF_CANCEL_CALLED;
        return FALSE;
    }
    ctx->cancel_routine = cancel_routine;
    ctx->resume = TRUE;
    return TRUE;
}

/*
 * Only a current request is the engine's to acknowledge, and it is
 * acknowledged under spin_lock, so that no party completes it in between.
 * A request that is not current is being completed, or is still in its
 * intake callback, which is told to park it in its waiting queue; a write
 * whose transfer ended and whose completion DPC is queued is being
 * completed too. The stop waits for either. Only a held request has its
 * timer halted: resume starts it again, while any other request still
 * needs its timer to end.
 */
static VOID acm_io_stop_suspend(PACM_FDO_DATA fdx, WDFREQUEST request, ULONG action_flags)
{
    PACM_REQUEST_CONTEXT ctx = acm_request_get_context(request);
    WDFTIMER timer = NULL;

    acm_lock_acquire(fdx);
    if (acm_queue_slot_of(fdx, request) == NULL) {
        ctx->stopped_in_intake = TRUE;
        acm_lock_release(fdx);
        return;
    }
    if ((ctx->ref_bits & REF_DPC) ||
        ((action_flags & WdfRequestStopRequestCancelable) && (ctx->ref_bits & REF_CANCEL) &&
         !acm_io_stop_hold_for_resume(fdx, request))) {
        acm_lock_release(fdx);
        return;
    }
    WdfRequestStopAcknowledge(request, FALSE);
    if (ctx->resume && (ctx->ref_bits & REF_TIMER)) {
        timer = ctx->timer;
    }
    acm_lock_release(fdx);

    if (timer != NULL) {
        DC_PRINT(DC_LEVEL_TRACE, "%s: stop the timer\n", "acm_evt_io_stop");
        /* Waiting for a running callback needs PASSIVE_LEVEL; one that runs
           anyway finds the request marked for resume and steps back. */
        WdfTimerStop(timer, KeGetCurrentIrql() == PASSIVE_LEVEL);
    } else {
        DC_PRINT(DC_LEVEL_TRACE, "%s: no timeout was set for this request\n", "acm_evt_io_stop");
    }
}

/*
 * A request held for resume is cancelled through its cancel routine. Any
 * other current request is completed here and leaves its current field in
 * the same critical section; one whose cancel routine runs or is about to
 * be called, and one that is not current (its completion is under way),
 * is left to whoever has it. So is a write whose transfer is still posted
 * or whose completion DPC is queued: the bus holds its buffer until the
 * transfer ends, and that end completes it; the transfer is aborted (again)
 * to make it end.
 */
static VOID acm_io_stop_purge(PACM_FDO_DATA fdx, WDFREQUEST request, ULONG action_flags)
{
    PACM_REQUEST_CONTEXT ctx = acm_request_get_context(request);
    PFN_WDF_REQUEST_CANCEL cancel_routine = NULL;
    WDFREQUEST* slot;
    BOOLEAN posted;

    acm_lock_acquire(fdx);
    slot = acm_queue_slot_of(fdx, request);
    if (slot == NULL || slot == &fdx->current_purge_request) {
        /* A running purge completes itself once its aborts end; the
           removal waits for it rather than pull the bus from under it. */
        acm_lock_release(fdx);
        return;
    }
    if ((action_flags & WdfRequestStopRequestCancelable) && (ctx->ref_bits & REF_CANCEL) &&
        !acm_io_stop_hold_for_resume(fdx, request)) {
        acm_lock_release(fdx);
        return;
    }
    if (ctx->resume) {
        cancel_routine = acm_queue_end_hold(fdx, ctx);
        if (cancel_routine != NULL) {
            acm_lock_release(fdx);
            cancel_routine(request);
            return;
        }
    }
    if (ctx->ref_bits & (REF_CANCEL | REF_CANCEL_CALLED)) {
        acm_lock_release(fdx);
        return;
    }
    if (ctx->posted || (ctx->ref_bits & REF_DPC)) {
        posted = ctx->posted != 0;
        acm_lock_release(fdx);
        if (posted) {
            acm_data_out_purge(fdx);
        }
        return;
    }
    (VOID)InterlockedExchangePointer((PVOID volatile*)slot, NULL);
    acm_lock_release(fdx);
    ctx->information = 0;
    ctx->status = STATUS_CANCELLED;
    acm_request_complete(request);
}

VOID acm_evt_io_stop(WDFQUEUE Queue, WDFREQUEST Request, ULONG ActionFlags)
{
    PACM_FDO_DATA fdx = acm_fdo_get_data(WdfIoQueueGetDevice(Queue));

    DC_PRINT(DC_LEVEL_TRACE, "%s: flags %x, queue %p, request %p\n", __FUNCTION__, ActionFlags, Queue,
             Request);
    if (ActionFlags & WdfRequestStopActionSuspend) {
        acm_io_stop_suspend(fdx, Request, ActionFlags);
    } else if (ActionFlags & WdfRequestStopActionPurge) {
        acm_io_stop_purge(fdx, Request, ActionFlags);
    }
}

/*
 * A held request becomes cancelable again and its timer starts with the
 * full time-out. One that was cancelled while held is not re-marked: its
 * cancellation is finished here through its cancel routine, as the
 * framework would have done.
 */
VOID acm_evt_io_resume(WDFQUEUE Queue, WDFREQUEST Request)
{
    PACM_FDO_DATA fdx = acm_fdo_get_data(WdfIoQueueGetDevice(Queue));
    PACM_REQUEST_CONTEXT ctx = acm_request_get_context(Request);
    PFN_WDF_REQUEST_CANCEL cancel_routine;
    BOOLEAN wake_read;
    NTSTATUS status;

    DC_PRINT(DC_LEVEL_TRACE, "%s: queue %p, request %p\n", __FUNCTION__, Queue, Request);
    acm_lock_acquire(fdx);
    if (!ctx->resume) {
        acm_lock_release(fdx);
        return;
    }
    ctx->ref_bits &= ~REF_CANCEL_CALLED;
    cancel_routine = ctx->cancel_routine;
    ctx->ref_bits |= REF_SETTING;
    status = acm_request_set_cancel_routine(Request, cancel_routine);
    ctx->ref_bits &= ~REF_SETTING;
    ctx->resume = FALSE;
    if (NT_SUCCESS(status) && (ctx->ref_bits & REF_CANCEL)) {
        if (ctx->ref_bits & REF_TIMER) {
            WdfTimerStart(ctx->timer, ctx->due_time);
        }
        /* Data that came during the hold woke the read DPC, which stepped
           back from the held read: it runs again for the read now. */
        wake_read = Request == fdx->current_read_request && (ctx->ref_bits & REF_ISR) &&
                    fdx->read_buffer_bytes != 0;
        acm_lock_release(fdx);
        if (wake_read) {
            WdfDpcEnqueue(fdx->read_complete_dpc);
        }
        return;
    }
    ctx->ref_bits |= REF_CANCEL_CALLED;
    ctx->ref_bits &= ~REF_TIMER;   /* halted by the stop */
    acm_lock_release(fdx);
    cancel_routine(Request);
}
