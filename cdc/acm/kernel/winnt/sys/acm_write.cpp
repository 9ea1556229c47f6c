/*
 * The write path. The current write is marked cancelable and handed whole
 * to the bus as one data-out transfer ("given to the isr": its buffer then
 * belongs to the transfer). The transfer's completion only records the
 * byte count and queues write_complete_dpc, which completes the write and
 * starts the next one. A write cancelled while its transfer is posted is
 * finished by that transfer's completion after an abort.
 */
#include "acm_write.h"

/* How long an abort waits for the posted transfer to end: checks, 1 ms apart. */
#define ACM_DATA_OUT_PURGE_CHECKS 100

static BOOLEAN acm_bus_reports_suspended(PACM_FDO_DATA fdx)
{
    const DC_ENUMERATOR_INTERFACE* bus = &fdx->common.bus_ifc;

    return bus->is_suspended != NULL && bus->is_suspended(bus->Context);
}

/*
 * A write's bytes count in out_queue_bytes from its admission to its
 * completion, so `device`, which makes the completion take them off again,
 * is set only when the write is admitted: one refused before that never
 * counted.
 */
VOID acm_evt_write(WDFQUEUE Queue, WDFREQUEST Request, size_t Length)
{
    PACM_FDO_DATA fdx = acm_fdo_get_data(WdfIoQueueGetDevice(Queue));
    PACM_REQUEST_CONTEXT ctx = acm_request_get_context(Request);
    LONG purging;

    if (!acm_request_take_buffer(fdx, Request, IRP_MJ_WRITE, Length)) {
        return;
    }

    purging = InterlockedCompareExchange(&fdx->data_out_purging, 0, 0);
    if (common_class_ref_count(&fdx->common) == 0 || purging == 1) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: device is not ready for write %ld, %ld\n", __FUNCTION__,
                 common_class_ref_count(&fdx->common), purging);
        ctx->status = STATUS_UNSUCCESSFUL;
        ctx->information = 0;
        acm_request_complete(Request);
        return;
    }

    if (acm_bus_reports_suspended(fdx)) {
        common_class_device_wakeup_post(&fdx->common);
    }
    ctx->posted = 0;
    ctx->device = fdx;
    acm_queue_add_request(fdx, Request, fdx->write_queue, &fdx->current_write_request,
                          acm_request_write_start);
}

VOID acm_request_write_start(PACM_FDO_DATA fdx)
{
    DC_PRINT(DC_LEVEL_TRACE, "%s: entered, device %p\n", __FUNCTION__, fdx);
    acm_request_write_give_to_isr(fdx);
    DC_PRINT(DC_LEVEL_TRACE, "%s: done, device %p\n", __FUNCTION__, fdx);
}

static VOID acm_write_try_to_complete(PACM_FDO_DATA fdx, PFN_ACM_BEFORE_COMPLETE_ROUTINE before_complete,
                                      NTSTATUS status, ULONG ref_type)
{
    acm_request_try_to_complete_current(fdx, before_complete, status, &fdx->current_write_request,
                                        fdx->write_queue, NULL, acm_request_write_start,
                                        acm_request_write_get_next, ref_type);
}

/*
 * A write that any party already holds is left to it: the slot may be
 * started twice for one current request.
 */
VOID acm_request_write_give_to_isr(PACM_FDO_DATA fdx)
{
    PDC_ENUMERATOR_INTERFACE bus = &fdx->common.bus_ifc;
    WDFREQUEST request;
    PACM_REQUEST_CONTEXT ctx;
    NTSTATUS status;
    PVOID transfer_buffer;
    ULONG transfer_length;
    LONG aborts;

    acm_lock_acquire(fdx);
    request = fdx->current_write_request;
    if (request == NULL) {
        acm_lock_release(fdx);
        DC_PRINT(DC_LEVEL_ERROR, "%s: current request is empty, get next\n", __FUNCTION__);
        return;
    }
    ctx = acm_request_get_context(request);
    if (ctx->ref_bits != 0 || ctx->resume) {
        acm_lock_release(fdx);
        DC_PRINT(DC_LEVEL_INFO, "%s: request was already set, quitting\n", __FUNCTION__);
        return;
    }
    if (acm_io_stopped(fdx)) {
        /* The stop's cancel of the current write is over: nothing may be
           posted on a transport that is going away. */
        ctx->ref_bits = REF_CANCEL_CALLED;
        acm_lock_release(fdx);
        DC_PRINT(DC_LEVEL_INFO, "%s: io is stopped, cancel request %p\n", __FUNCTION__, request);
        acm_request_write_cancel(request);
        return;
    }

    ctx->ref_bits = REF_SETTING;
    status = acm_request_set_cancel_routine(request, acm_request_write_cancel);
    ctx->ref_bits &= ~REF_SETTING;
    if (!NT_SUCCESS(status) || !(ctx->ref_bits & REF_CANCEL)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: request was canceled during set\n", __FUNCTION__);
        ctx->ref_bits |= REF_CANCEL_CALLED;
        acm_lock_release(fdx);
        acm_request_write_cancel(request);
        return;
    }

    ctx->ref_bits |= REF_ISR;
    fdx->write_remaining = ctx->length;
    fdx->write_buffer = ctx->buffer;
    fdx->data_out_posted = 1;
    ctx->posted = 1;
    /* The whole remainder goes into one transfer. */
    fdx->perf_stats.TransmittedCount += fdx->write_remaining;
    transfer_buffer = fdx->write_buffer;
    transfer_length = fdx->write_remaining;
    fdx->write_remaining = 0;
    aborts = InterlockedCompareExchange(&fdx->data_out_aborts, 0, 0);
    acm_lock_release(fdx);

    if (bus->data_out_post(bus->Context, transfer_buffer, transfer_length, acm_data_out_complete, fdx,
                           0, 0)) {
        /* An abort asked for while the post was on its way (a cancel, a
           stop) may have reached the bus before the transfer did. The
           request may be gone by now: only the device is looked at. */
        if (InterlockedCompareExchange(&fdx->data_out_aborts, 0, 0) != aborts) {
            bus->data_abort(bus->Context, DC_ABORT_DATA_OUT);
        }
        return;
    }

    status = STATUS_INSUFFICIENT_RESOURCES;
    acm_lock_acquire(fdx);
    fdx->data_out_posted = 0;
    ctx->posted = 0;
    if (ctx->ref_bits & REF_PURGE) {
        ctx->ref_bits &= ~REF_PURGE;
        status = STATUS_CANCELLED;
    }
    acm_lock_release(fdx);
    DC_PRINT(DC_LEVEL_ERROR, "%s: failed sending data, complete with error %lx\n", __FUNCTION__,
             status);
    acm_write_try_to_complete(fdx, NULL, status, REF_TYPE_ISR);
}

VOID acm_request_write_get_next(WDFREQUEST* current_op_request, WDFQUEUE queue)
{
    PACM_FDO_DATA fdx = acm_fdo_get_data(WdfIoQueueGetDevice(queue));

    ACM_ASSERT_LOCK_HELD(fdx);
    if (*current_op_request != NULL) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: current request was already set - quit\n", __FUNCTION__);
        return;
    }
    acm_queue_get_next_request(current_op_request, queue);
    if (*current_op_request == NULL && (fdx->wait_mask & SERIAL_EV_TXEMPTY) &&
        acm_queue_is_idle(queue)) {
        fdx->history_mask |= SERIAL_EV_TXEMPTY;
        acm_request_wait_update_pending_and_complete(fdx);
    }
    DC_PRINT(DC_LEVEL_TRACE, "%s: done, current %p\n", __FUNCTION__, *current_op_request);
}

VOID acm_request_write_start_next(PACM_FDO_DATA fdx)
{
    acm_request_start_next_queued(fdx, &fdx->current_write_request, fdx->write_queue,
                                  acm_request_write_start, acm_request_write_get_next);
}

/*
 * The write queue stopped (a power-down) while the transfer was posted and
 * holds the request for its resume, which would re-arm the request but
 * never learn that the transfer ended. The completion takes the request
 * back instead: cancelable again as the resume would make it, or, if it was
 * cancelled meanwhile, marked as cancelled while posted. spin_lock held.
 */
_Requires_lock_held_(fdx->spin_lock)
static VOID acm_write_take_back_from_stop(PACM_FDO_DATA fdx, WDFREQUEST request)
{
    PACM_REQUEST_CONTEXT ctx = acm_request_get_context(request);
    NTSTATUS status;

    UNREFERENCED_PARAMETER(fdx);   /* where assertions compile to nothing */
    ACM_ASSERT_LOCK_HELD(fdx);
    ctx->ref_bits &= ~REF_CANCEL_CALLED;
    ctx->resume = FALSE;
    ctx->ref_bits |= REF_SETTING;
    status = acm_request_set_cancel_routine(request, acm_request_write_cancel);
    ctx->ref_bits &= ~REF_SETTING;
    if (!NT_SUCCESS(status) || !(ctx->ref_bits & REF_CANCEL)) {
        ctx->ref_bits |= REF_PURGE;
    }
}

VOID acm_data_out_complete(PVOID Context, NTSTATUS Status, ULONG BytesTransferred)
{
    PACM_FDO_DATA fdx = (PACM_FDO_DATA)Context;
    WDFREQUEST request;
    PACM_REQUEST_CONTEXT ctx;

    DC_PRINT(DC_LEVEL_TRACE, "%s: bytes_written %lx, status %lx\n", __FUNCTION__, BytesTransferred,
             Status);
    acm_lock_acquire(fdx);
    fdx->data_out_posted = 0;
    request = fdx->current_write_request;
    if (request == NULL) {
        acm_lock_release(fdx);
        DC_PRINT(DC_LEVEL_ERROR, "%s: current request is empty\n", __FUNCTION__);
        return;
    }
    DC_PRINT(DC_LEVEL_TRACE, "%s: completing current request %p, bytes_written %lx\n", __FUNCTION__,
             request, BytesTransferred);
    ctx = acm_request_get_context(request);
    if (ctx->posted == 0) {
        acm_lock_release(fdx);
        DC_PRINT(DC_LEVEL_ERROR, "%s: The current request is not posted\n", __FUNCTION__);
        return;
    }
    ctx->posted = 0;
    /* Whoever completes the write reports what the device took. */
    ctx->information = BytesTransferred;
    if (ctx->resume) {
        acm_write_take_back_from_stop(fdx, request);
    }
    if (Status == STATUS_CANCELLED) {
        /* Aborted: by a cancel, a purge or the transport going away. */
        ctx->ref_bits |= REF_PURGE;
    }
    if (ctx->ref_bits & (REF_CANCEL | REF_PURGE)) {
        ctx->ref_bits |= REF_DPC;
        acm_lock_release(fdx);
        WdfDpcEnqueue(fdx->write_complete_dpc);
        return;
    }
    acm_lock_release(fdx);
    DC_PRINT(DC_LEVEL_TRACE, "%s: request %p is supposed to be cancelled\n", __FUNCTION__, request);
}

VOID acm_request_write_complete_dpc(WDFDPC Dpc)
{
    acm_request_write_complete_current(acm_fdo_get_data((WDFDEVICE)WdfDpcGetParentObject(Dpc)));
}

_Requires_lock_held_(fdx->spin_lock)
static BOOLEAN acm_write_clear_dpc(PACM_FDO_DATA fdx, WDFREQUEST request)
{
    UNREFERENCED_PARAMETER(fdx);   /* where assertions compile to nothing */
    ACM_ASSERT_LOCK_HELD(fdx);
    acm_request_get_context(request)->ref_bits &= ~(REF_DPC | REF_PURGE);
    return FALSE;
}

/*
 * A finished transfer completes its write with STATUS_SUCCESS and the
 * count the bus reported, whatever status the bus gave, except an aborted
 * transfer: that write, like one cancelled meanwhile, completes with
 * STATUS_CANCELLED and the bytes the device took. A cancel that came after
 * the device had taken every byte is too late: the write is done.
 */
VOID acm_request_write_complete_current(PACM_FDO_DATA fdx)
{
    WDFREQUEST request;
    PACM_REQUEST_CONTEXT ctx;
    NTSTATUS status = STATUS_SUCCESS;

    acm_lock_acquire(fdx);
    request = fdx->current_write_request;
    ctx = request != NULL ? acm_request_get_context(request) : NULL;
    if (ctx != NULL && (!(ctx->ref_bits & REF_CANCEL) || (ctx->ref_bits & REF_PURGE)) &&
        ctx->information < ctx->length) {
        status = STATUS_CANCELLED;
    }
    acm_lock_release(fdx);

    DC_PRINT(DC_LEVEL_TRACE, "%s: completing request %p with status %lx\n", __FUNCTION__, request,
             status);
    acm_write_try_to_complete(fdx, acm_write_clear_dpc, status, REF_TYPE_ISR);
}

_Requires_lock_held_(fdx->spin_lock)
static BOOLEAN acm_write_take_back(PACM_FDO_DATA fdx, WDFREQUEST request)
{
    ACM_ASSERT_LOCK_HELD(fdx);

    acm_request_get_context(request)->ref_bits &= ~REF_ISR;
    fdx->write_remaining = 0;
    return FALSE;
}

VOID acm_request_write_cancel(WDFREQUEST Request)
{
    PACM_REQUEST_CONTEXT ctx = acm_request_get_context(Request);
    PACM_FDO_DATA fdx = ctx->device;
    NTSTATUS status;

    DC_PRINT(DC_LEVEL_TRACE, "%s: entered\n", __FUNCTION__);
    if (acm_request_cancel_during_set(Request)) {
        /* Called from inside the hand-over's marking, which holds
           spin_lock and completes the request. */
        ctx->ref_bits &= ~REF_CANCEL;
        DC_PRINT(DC_LEVEL_TRACE, "%s: cancel was called during set\n", __FUNCTION__);
        return;
    }

    acm_lock_acquire(fdx);
    if (Request != fdx->current_write_request) {
        acm_lock_release(fdx);
        DC_PRINT(DC_LEVEL_ERROR, "%s: request %p is already handled\n", __FUNCTION__, Request);
        return;
    }
    ctx->ref_bits &= ~REF_CANCEL;

    if (ctx->posted == 1) {
        /* The aborted transfer's completion finishes the request. */
        DC_PRINT(DC_LEVEL_TRACE, "%s: Purging posted data\n", __FUNCTION__);
        ctx->ref_bits |= REF_PURGE;
        ctx->ref_bits &= ~REF_CANCEL_CALLED;
        acm_lock_release(fdx);
        acm_data_out_purge(fdx);
        return;
    }
    if (ctx->ref_bits & REF_DPC) {
        ctx->ref_bits &= ~REF_CANCEL_CALLED;
        acm_lock_release(fdx);
        DC_PRINT(DC_LEVEL_TRACE, "%s: dpc callack is already enqueued, let it to finish the request",
                 __FUNCTION__);
        return;
    }
    /* A transfer that ended before the cancel and took every byte has
       done the write. */
    status = ctx->information == ctx->length ? STATUS_SUCCESS : STATUS_CANCELLED;
    acm_lock_release(fdx);
    acm_write_try_to_complete(fdx, acm_write_take_back, status, REF_TYPE_CANCEL);
    DC_PRINT(DC_LEVEL_TRACE, "%s: done\n", __FUNCTION__);
}

static BOOLEAN acm_data_out_settled(PACM_FDO_DATA fdx)
{
    BOOLEAN posted;

    acm_lock_acquire(fdx);
    posted = fdx->data_out_posted != 0;
    acm_lock_release(fdx);
    return !posted;
}

/* Waits for the aborted transfer through acm_poll. */
VOID acm_data_out_purge(PACM_FDO_DATA fdx)
{
    PDC_ENUMERATOR_INTERFACE bus = &fdx->common.bus_ifc;

    DC_PRINT(DC_LEVEL_TRACE, "%s: entered\n", __FUNCTION__);
    /* Counted before the check, so that a post on its way sees the abort
       also when another abort is the one that runs. */
    InterlockedIncrement(&fdx->data_out_aborts);
    if (InterlockedCompareExchange(&fdx->data_out_purging, 1, 0) != 0) {
        return;
    }
    bus->data_abort(bus->Context, DC_ABORT_DATA_OUT);

    (VOID)acm_poll(fdx, acm_data_out_settled, ACM_DATA_OUT_PURGE_CHECKS);
    InterlockedExchange(&fdx->data_out_purging, 0);
}
