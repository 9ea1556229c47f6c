/*
 * Read requests and the serial read time-outs. The current read is served
 * from the receive ring; when the ring has nothing for it, it is pended
 * holding REF_ISR (the data side), REF_CANCEL and, with a time-out,
 * REF_TIMER. A pended read ends with the first data that arrives, even
 * fewer bytes than asked; the total time-out only bounds the wait for that
 * first data.
 */
#include "acm_read.h"

#define ACM_MS_TO_RELATIVE_DUE_TIME(ms) ((LONGLONG)(ms) * -10000)

VOID acm_evt_read(WDFQUEUE Queue, WDFREQUEST Request, size_t Length)
{
    PACM_FDO_DATA fdx = acm_fdo_get_data(WdfIoQueueGetDevice(Queue));

    if (!acm_request_take_buffer(fdx, Request, IRP_MJ_READ, Length)) {
        return;
    }
    acm_request_get_context(Request)->device = fdx;
    acm_queue_add_request(fdx, Request, fdx->read_queue, &fdx->current_read_request,
                          acm_request_read_start);
}

/*
 * ReadIntervalTimeout matters only as MAXULONG; with it, the multiplier and
 * the constant select one of the table's rows. M x L + C is taken in 64 bits.
 */
VOID acm_read_timeout_update(PACM_FDO_DATA fdx, ULONG length, PBOOLEAN return_with_whats_present)
{
    const ULONG interval = fdx->timeouts.ReadIntervalTimeout;
    const ULONG multiplier = fdx->timeouts.ReadTotalTimeoutMultiplier;
    const ULONG constant = fdx->timeouts.ReadTotalTimeoutConstant;
    ULONGLONG timeout_ms;

    ACM_ASSERT_LOCK_HELD(fdx);
    *return_with_whats_present = FALSE;
    if (interval != MAXULONG) {
        timeout_ms = (ULONGLONG)multiplier * length + constant;
    } else if (constant == MAXULONG) {
        timeout_ms = 0;
    } else if (multiplier == 0 || multiplier == MAXULONG) {
        timeout_ms = constant;
        *return_with_whats_present = (multiplier == 0 && constant == 0);
    } else {
        timeout_ms = (ULONGLONG)multiplier * length + constant;
    }

    fdx->read_timeout = ACM_MS_TO_RELATIVE_DUE_TIME(timeout_ms);
    DC_PRINT(DC_LEVEL_TRACE, "%s: timeout_ms %I64X, read_timeout %I64x, return_with_whats_present %ld\n",
             __FUNCTION__, timeout_ms, fdx->read_timeout, (LONG)*return_with_whats_present);
}

/*
 * Pends the current read: cancelable first, then held by the data side and,
 * with a time-out, by read_timer. The timer and its due time stay in the
 * context, so that a stopped queue or a bus suspend can start it again.
 * FALSE if the read was cancelled before it could be pended. spin_lock held.
 */
_Requires_lock_held_(fdx->spin_lock)
static BOOLEAN acm_read_pend(PACM_FDO_DATA fdx, WDFREQUEST request)
{
    PACM_REQUEST_CONTEXT ctx = acm_request_get_context(request);
    NTSTATUS status;

    ACM_ASSERT_LOCK_HELD(fdx);
    ctx->ref_bits = REF_SETTING;
    status = acm_request_set_cancel_routine(request, acm_request_read_cancel);
    ctx->ref_bits &= ~REF_SETTING;
    if (!NT_SUCCESS(status) || !(ctx->ref_bits & REF_CANCEL)) {
        return FALSE;
    }

    ctx->ref_bits |= REF_ISR;
    if (fdx->read_timeout != 0) {
        ctx->ref_bits |= REF_TIMER;
        ctx->timer = fdx->read_timer;
        ctx->due_time = fdx->read_timeout;
        WdfTimerStart(fdx->read_timer, fdx->read_timeout);
    } else {
        ctx->timer = NULL;
        ctx->due_time = 0;
    }
    DC_PRINT(DC_LEVEL_TRACE, "%s: pend request %p, timeout %I64x, queue %p\n",
             "acm_request_read_start", request, fdx->read_timeout, fdx->read_queue);
    return TRUE;
}

/*
 * One call serves every queued read that the ring satisfies at once and
 * stops at the first read that has to wait. A read that any party already
 * holds (pended, or ending through the DPC, timer or cancel routine) is
 * left to them: the slot may be started twice for one current request.
 */
VOID acm_request_read_start(PACM_FDO_DATA fdx)
{
    WDFREQUEST request;
    PACM_REQUEST_CONTEXT ctx;
    BOOLEAN return_with_whats_present;

    acm_lock_acquire(fdx);
    if (fdx->current_read_request == NULL) {
        DC_PRINT(DC_LEVEL_INFO, "%s: current request is empty, get next\n", __FUNCTION__);
    }
    for (;;) {
        if (fdx->current_read_request == NULL) {
            acm_queue_get_next_request(&fdx->current_read_request, fdx->read_queue);
        }
        request = fdx->current_read_request;
        if (request == NULL) {
            break;
        }
        ctx = acm_request_get_context(request);
        if (ctx->ref_bits != 0 || ctx->resume) {
            DC_PRINT(DC_LEVEL_INFO, "%s: request was already set, quitting\n", __FUNCTION__);
            break;
        }

        WdfTimerStop(fdx->read_timer, FALSE);
        acm_read_timeout_update(fdx, ctx->length, &return_with_whats_present);
        acm_read_copy_from_buffer(fdx, request);
        if (!return_with_whats_present && ctx->information == 0) {
            /* Once I/O is stopped, its stop has cancelled the read it
               found; a read that becomes current after that is not pended. */
            if (!acm_io_stopped(fdx) && acm_read_pend(fdx, request)) {
                break;
            }
            ctx->status = STATUS_CANCELLED;
        } else {
            ctx->status = STATUS_SUCCESS;
        }

        (VOID)InterlockedExchangePointer((PVOID volatile*)&fdx->current_read_request, NULL);
        acm_lock_release(fdx);
        acm_request_complete(request);
        /* The copy may have emptied descriptors of a full ring. */
        acm_read_data_in(fdx);
        acm_lock_acquire(fdx);
    }
    acm_lock_release(fdx);
    acm_read_data_in(fdx);
}

static VOID acm_read_try_to_complete(PACM_FDO_DATA fdx, PFN_ACM_BEFORE_COMPLETE_ROUTINE before_complete,
                                     NTSTATUS status, WDFTIMER timer, ULONG ref_type)
{
    acm_request_try_to_complete_current(fdx, before_complete, status, &fdx->current_read_request,
                                        fdx->read_queue, timer, acm_request_read_start,
                                        acm_queue_get_next_request, ref_type);
}

/*
 * The data side's hook: the bytes leave the ring only for a read that can
 * still complete with them. A read whose cancellation has begun would
 * complete with STATUS_CANCELLED and no information, and bytes copied into
 * it would be lost; they stay in the ring for the next read instead. The
 * ring may also have been emptied, by a read start serving an earlier read,
 * since the DPC looked: then the read keeps waiting for data of its own.
 * spin_lock held.
 */
_Requires_lock_held_(fdx->spin_lock)
static BOOLEAN acm_read_copy_unless_cancelled(PACM_FDO_DATA fdx, WDFREQUEST request)
{
    ACM_ASSERT_LOCK_HELD(fdx);

    if (fdx->read_buffer_bytes == 0) {
        acm_request_get_context(request)->ref_bits |= REF_ISR;
        return TRUE;
    }
    if (NT_SUCCESS(acm_request_unmark_cancelable(request))) {
        acm_read_copy_from_buffer(fdx, request);
    }
    return FALSE;
}

/*
 * Data arrived for the pended read. The DPC can be queued again while it
 * runs and would then run beside itself; the read it woke may by then have
 * taken the bytes, and the next read be pended, which must go on waiting
 * rather than complete with nothing. So one instance serves every request,
 * one pass after the other, and a pass without data in the ring leaves the
 * read alone. The copy can empty the last descriptors of a full ring, so
 * the stream is posted again here too: when no read waits behind this one,
 * no read start follows to do it.
 */
VOID acm_request_read_complete_dpc(WDFDPC Dpc)
{
    PACM_FDO_DATA fdx = acm_fdo_get_data((WDFDEVICE)WdfDpcGetParentObject(Dpc));

    DC_PRINT(DC_LEVEL_TRACE, "%s: entered with request %p, device %p\n", __FUNCTION__,
             fdx->current_read_request, fdx);
    if (InterlockedIncrement(&fdx->read_dpc_requests) != 1) {
        return;
    }
    do {
        /* The hook leaves the read waiting when the ring has nothing for it. */
        acm_read_try_to_complete(fdx, acm_read_copy_unless_cancelled, STATUS_SUCCESS,
                                 fdx->read_timer, REF_TYPE_ISR);
        acm_read_data_in(fdx);
    } while (InterlockedDecrement(&fdx->read_dpc_requests) != 0);
}

VOID acm_request_read_timeout(WDFTIMER Timer)
{
    PACM_FDO_DATA fdx = acm_fdo_get_data((WDFDEVICE)WdfTimerGetParentObject(Timer));

    DC_PRINT(DC_LEVEL_TRACE, "%s: entered\n", __FUNCTION__);
    acm_read_try_to_complete(fdx, acm_read_clear_pending, STATUS_TIMEOUT, Timer, REF_TYPE_TIMER);
}

VOID acm_request_read_cancel(WDFREQUEST Request)
{
    PACM_REQUEST_CONTEXT ctx = acm_request_get_context(Request);

    DC_PRINT(DC_LEVEL_TRACE, "%s: entered\n", __FUNCTION__);
    if (acm_request_cancel_during_set(Request)) {
        /* Called from inside the marking, which holds spin_lock: the read
           start completes the request. */
        ctx->ref_bits &= ~REF_CANCEL;
        return;
    }
    acm_read_try_to_complete(ctx->device, acm_read_clear_pending, STATUS_CANCELLED,
                             ctx->device->read_timer, REF_TYPE_CANCEL);
}

BOOLEAN acm_read_clear_pending(PACM_FDO_DATA fdx, WDFREQUEST request)
{
    PACM_REQUEST_CONTEXT ctx = acm_request_get_context(request);

    UNREFERENCED_PARAMETER(fdx);   /* where assertions compile to nothing */
    ACM_ASSERT_LOCK_HELD(fdx);
    if (ctx->ref_bits & REF_ISR) {
        ctx->information = 0;
        ctx->ref_bits &= ~REF_ISR;
    }
    return FALSE;
}

/* --- A pended read's timer across a bus suspend ------------------------ */

/*
 * A bus suspend stops the read timer. When the stop took it off the timer
 * queue, the pended read's REF_TIMER goes with it: the timer cannot fire,
 * and a cancel or data arrival must be able to complete the read alone.
 * The read keeps `timer` and `due_time`, so that acm_resume_read_timer can
 * run the full time-out again. A read marked for resume belongs to a stopped
 * queue, whose resume restarts its timer itself. Nothing waits for a
 * callback already running: it drops REF_TIMER itself under spin_lock.
 * spin_lock held.
 */
VOID acm_hold_read_timer_for_suspend(PACM_FDO_DATA fdx)
{
    WDFREQUEST request = fdx->current_read_request;
    PACM_REQUEST_CONTEXT context;

    ACM_ASSERT_LOCK_HELD(fdx);
    if (fdx->read_timer == NULL || !WdfTimerStop(fdx->read_timer, FALSE) || request == NULL) {
        return;
    }
    context = acm_request_get_context(request);
    if ((context->ref_bits & (REF_ISR | REF_TIMER)) == (REF_ISR | REF_TIMER) && !context->resume) {
        context->ref_bits &= ~REF_TIMER;
    }
}

/* The bus is back: a pended read whose timer a suspend held runs it again. */
VOID acm_resume_read_timer(PACM_FDO_DATA fdx)
{
    WDFREQUEST request;
    PACM_REQUEST_CONTEXT context;

    acm_lock_acquire(fdx);
    request = fdx->current_read_request;
    if (request != NULL && !acm_is_suspended(fdx)) {
        context = acm_request_get_context(request);
        if (context->timer != NULL && !context->resume &&
            (context->ref_bits & (REF_ISR | REF_TIMER)) == REF_ISR) {
            context->ref_bits |= REF_TIMER;
            WdfTimerStart(context->timer, context->due_time);
        }
    }
    acm_lock_release(fdx);
}
