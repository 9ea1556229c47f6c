/*
 * Completion of current requests: the reference bits that the parties
 * holding a request keep on it, the rule by which the last of them
 * completes it, and the one completion routine with its output-queue
 * accounting.
 */
#include "acm_request.h"

NTSTATUS acm_request_set_cancel_routine(WDFREQUEST request, PFN_WDF_REQUEST_CANCEL cancel_routine)
{
    PACM_REQUEST_CONTEXT ctx = acm_request_get_context(request);

    NT_ASSERT(KeGetCurrentIrql() == DISPATCH_LEVEL);
    NT_ASSERT(ctx->ref_bits & REF_SETTING);
    if (WdfRequestIsCanceled(request)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: request was canceled, quit.\n", __FUNCTION__);
        return STATUS_UNSUCCESSFUL;
    }
    ctx->ref_bits |= REF_CANCEL;
    ctx->cancel_routine = cancel_routine;
    /* A cancellation that came in meanwhile runs the routine from inside
       this call, on this thread: marking_thread tells it not to take
       spin_lock. A cancel routine on another thread takes spin_lock and
       waits for the marking to end. */
    (VOID)InterlockedExchangePointer(&ctx->marking_thread, (PVOID)KeGetCurrentThread());
    WdfRequestMarkCancelable(request, cancel_routine);
    (VOID)InterlockedExchangePointer(&ctx->marking_thread, NULL);
    return STATUS_SUCCESS;
}

BOOLEAN acm_request_cancel_during_set(WDFREQUEST request)
{
    PACM_REQUEST_CONTEXT ctx = acm_request_get_context(request);

    return InterlockedCompareExchangePointer(&ctx->marking_thread, NULL, NULL) ==
           (PVOID)KeGetCurrentThread();
}

NTSTATUS acm_request_unmark_cancelable(WDFREQUEST request)
{
    PACM_REQUEST_CONTEXT ctx = acm_request_get_context(request);
    NTSTATUS status;

    if (!(ctx->ref_bits & REF_CANCEL)) {
        return STATUS_SUCCESS;
    }
    status = WdfRequestUnmarkCancelable(request);
    if (NT_SUCCESS(status)) {
        ctx->ref_bits &= ~REF_CANCEL;
        ctx->cancel_routine = NULL;
    }
    return status;
}

/*
 * The timer is stopped whatever the unmarking gave: a timer callback whose
 * unmarking fails must still give up its reference, or the cancel routine
 * would find it held for ever.
 */
NTSTATUS acm_request_release_refs(WDFREQUEST request, WDFTIMER timer, ULONG ref_type)
{
    PACM_REQUEST_CONTEXT ctx = acm_request_get_context(request);
    NTSTATUS status = STATUS_SUCCESS;

    if (ref_type == REF_TYPE_CANCEL) {
        ctx->ref_bits &= (ctx->ref_bits & REF_CANCEL_CALLED) ? ~REF_CANCEL_CALLED : ~REF_CANCEL;
        ctx->cancel_routine = NULL;
    } else {
        status = acm_request_unmark_cancelable(request);
    }
    if (timer != NULL && (WdfTimerStop(timer, FALSE) || ref_type == REF_TYPE_TIMER)) {
        ctx->ref_bits &= ~REF_TIMER;
    }
    return status;
}

WDFREQUEST acm_request_lock_current(PACM_FDO_DATA fdx, WDFREQUEST* current_op_request)
{
    WDFREQUEST request;

    DC_PRINT(DC_LEVEL_TRACE, "%s: entered\n", __FUNCTION__);
    acm_lock_acquire(fdx);
    request = *current_op_request;
    if (request == NULL) {
        acm_lock_release(fdx);
        DC_PRINT(DC_LEVEL_TRACE, "%s: current_op_request is NULL\n", __FUNCTION__);
    }
    return request;
}

VOID acm_request_try_to_complete_current(PACM_FDO_DATA fdx,
                                         PFN_ACM_BEFORE_COMPLETE_ROUTINE before_complete,
                                         NTSTATUS status, WDFREQUEST* current_op_request,
                                         WDFQUEUE queue, WDFTIMER timer,
                                         PFN_ACM_START_ROUTINE start_next,
                                         PFN_ACM_GET_NEXT_ROUTINE get_next, ULONG ref_type)
{
    WDFREQUEST request;
    PACM_REQUEST_CONTEXT ctx;
    PFN_WDF_REQUEST_CANCEL cancel_routine;
    ULONG ref_bits;

    request = acm_request_lock_current(fdx, current_op_request);
    if (request == NULL) {
        return;
    }
    ctx = acm_request_get_context(request);
    if (ctx->resume) {
        /* A stopped queue holds it; its resume re-arms it. */
        acm_lock_release(fdx);
        DC_PRINT(DC_LEVEL_INFO, "%s: the request %p was marked for resume\n", __FUNCTION__, request);
        return;
    }
    if (ref_type == REF_TYPE_ISR) {
        if (!(ctx->ref_bits & REF_ISR)) {
            acm_lock_release(fdx);
            DC_PRINT(DC_LEVEL_INFO, "%s: current_op_request is already being cancelled or timed out\n",
                     __FUNCTION__);
            return;
        }
        ctx->ref_bits &= ~REF_ISR;
    }
    if (before_complete != NULL && before_complete(fdx, request)) {
        acm_lock_release(fdx);
        DC_PRINT(DC_LEVEL_TRACE, "%s: request %p keeps waiting\n", __FUNCTION__, request);
        return;
    }
    if (acm_request_release_refs(request, timer, ref_type) == STATUS_CANCELLED) {
        /* The framework's cancel routine is on its way and completes it. */
        acm_lock_release(fdx);
        DC_PRINT(DC_LEVEL_INFO, "%s: WdfRequestUnmarkCancelable returned STATUS_CANCELLED\n",
                 __FUNCTION__);
        return;
    }
    if (ctx->ref_bits != 0) {
        /* Once spin_lock is released another party may complete the
           request and free its context: trace what it held before. */
        ref_bits = ctx->ref_bits;
        cancel_routine = ctx->cancel_routine;
        acm_lock_release(fdx);
        DC_PRINT(DC_LEVEL_INFO,
                 "%s: non-zero ref count(%p), request %p, pending, cancel %p, called with ref_type %x\n",
                 __FUNCTION__, (PVOID)(ULONG_PTR)ref_bits, request, cancel_routine, ref_type);
        return;
    }

    DC_PRINT(DC_LEVEL_TRACE, "%s: zero ref count, attempting to complete, status %lx\n", __FUNCTION__,
             status);
    ctx->status = status;
    if (!NT_SUCCESS(status)) {
        ctx->information = 0;
    }
    request = (WDFREQUEST)InterlockedExchangePointer((PVOID volatile*)current_op_request, NULL);
    acm_lock_release(fdx);
    acm_request_complete(request);

    if (get_next != NULL) {
        acm_request_start_next_queued(fdx, current_op_request, queue, start_next, get_next);
    }
}

/*
 * out_queue_bytes changes by interlocked operations, so that completion
 * needs no lock: EvtIoCanceledOnQueue may run wherever the framework
 * cancels a waiting write.
 */
VOID acm_request_complete(WDFREQUEST request)
{
    PACM_REQUEST_CONTEXT ctx = acm_request_get_context(request);
    PACM_FDO_DATA fdx = ctx->device;

    DC_PRINT(DC_LEVEL_TRACE, "%s: entered, request %p\n", __FUNCTION__, request);
    if (fdx != NULL) {
        switch (ctx->major_function) {
        case IRP_MJ_READ:
            DC_PRINT(DC_LEVEL_TRACE,
                     "%s: READ request %p, status %lx, length %lx, info %lx, read_buffer_bytes %lx\n",
                     __FUNCTION__, request, ctx->status, ctx->length, (ULONG)ctx->information,
                     fdx->read_buffer_bytes);
            break;
        case IRP_MJ_WRITE:
            InterlockedExchangeAdd((LONG volatile*)&fdx->out_queue_bytes, -(LONG)ctx->length);
            DC_PRINT(DC_LEVEL_TRACE, "%s: WRITE request %p, status %lx, length %lx, info %lx\n",
                     __FUNCTION__, request, ctx->status, ctx->length, (ULONG)ctx->information);
            break;
        default:
            DC_PRINT(DC_LEVEL_TRACE, "%s: request %p, mf %ld, status %lx, info %lx, ioctl %lx\n",
                     __FUNCTION__, request, (LONG)ctx->major_function, ctx->status,
                     (ULONG)ctx->information, ctx->ioctl_code);
            break;
        }
    }
    WdfRequestCompleteWithInformation(request, ctx->status, ctx->information);
}

NTSTATUS acm_request_complete_if_error(PACM_FDO_DATA fdx, WDFREQUEST request)
{
    PACM_REQUEST_CONTEXT ctx = acm_request_get_context(request);
    BOOLEAN abort;

    acm_lock_acquire(fdx);
    abort = (fdx->handflow.ControlHandShake & SERIAL_ERROR_ABORT) && fdx->errors != 0;
    acm_lock_release(fdx);
    if (!abort) {
        return STATUS_SUCCESS;
    }
    ctx->information = 0;
    ctx->status = STATUS_CANCELLED;
    acm_request_complete(request);
    return STATUS_CANCELLED;
}

BOOLEAN acm_request_take_buffer(PACM_FDO_DATA fdx, WDFREQUEST request, UCHAR major_function,
                                size_t length)
{
    PACM_REQUEST_CONTEXT ctx = acm_request_get_context(request);
    PVOID buffer;

    ctx->major_function = major_function;
    if (acm_request_complete_if_error(fdx, request) == STATUS_CANCELLED) {
        DC_PRINT(DC_LEVEL_INFO, "%s: STATUS_CANCELLED\n", __FUNCTION__);
        return FALSE;
    }
    ctx->length = (ULONG)length;
    ctx->status = (major_function == IRP_MJ_READ)
                      ? WdfRequestRetrieveOutputBuffer(request, length, &buffer, NULL)
                      : WdfRequestRetrieveInputBuffer(request, length, &buffer, NULL);
    if (!NT_SUCCESS(ctx->status)) {
        ctx->information = 0;
        DC_PRINT(DC_LEVEL_ERROR, "%s: Could not get request memory buffer %lx\n", __FUNCTION__,
                 ctx->status);
        acm_request_complete(request);
        return FALSE;
    }
    ctx->buffer = buffer;
    return TRUE;
}

/* A request the driver forwarded was cancelled while it waited. */
VOID acm_evt_canceled_on_queue(WDFQUEUE Queue, WDFREQUEST Request)
{
    PACM_REQUEST_CONTEXT ctx = acm_request_get_context(Request);

    UNREFERENCED_PARAMETER(Queue);
    DC_PRINT(DC_LEVEL_TRACE, "%s: entered, request %p\n", __FUNCTION__, Request);
    ctx->information = 0;
    ctx->status = STATUS_CANCELLED;
    acm_request_complete(Request);
}
