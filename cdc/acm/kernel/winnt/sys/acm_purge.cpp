/*
 * IOCTL_SERIAL_PURGE: aborts reads or writes and throws away the data on
 * the way, one purge at a time. The purge stays current_purge_request while
 * it runs, so that a purge arriving meanwhile waits in purge_queue.
 */
#include "acm_read.h"
#include "acm_write.h"

/* The transmit side first, then the receive side; no lock held. */
_Requires_lock_not_held_(fdx->spin_lock)
static VOID acm_purge_execute(PACM_FDO_DATA fdx, ULONG flags)
{
    if (flags & (SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR)) {
        if (flags & SERIAL_PURGE_TXABORT) {
            acm_queue_flush(fdx->write_queue, &fdx->current_write_request);
        }
        acm_data_out_purge(fdx);
    }
    if (flags & (SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR)) {
        if (flags & SERIAL_PURGE_RXABORT) {
            acm_queue_flush(fdx->read_queue, &fdx->current_read_request);
        }
        acm_data_in_purge(fdx);
        acm_read_data_in(fdx);
    }
}

/*
 * A purge is completed by whoever takes it out of current_purge_request: a
 * queue stop that purges the device's requests may have completed it
 * meanwhile. spin_lock held; released and taken again around the completion.
 */
_Requires_lock_held_(fdx->spin_lock)
static VOID acm_purge_complete(PACM_FDO_DATA fdx, WDFREQUEST request)
{
    PACM_REQUEST_CONTEXT ctx = acm_request_get_context(request);

    ACM_ASSERT_LOCK_HELD(fdx);
    if (InterlockedCompareExchangePointer((PVOID volatile*)&fdx->current_purge_request, NULL,
                                          request) != request) {
        return;
    }
    acm_lock_release(fdx);
    ctx->status = STATUS_SUCCESS;
    ctx->information = 0;
    acm_request_complete(request);
    acm_lock_acquire(fdx);
}

/*
 * Serves the current purge, then every purge that waits in purge_queue. A
 * purge that became current while the last one was being completed was
 * started by its own caller.
 */
VOID acm_request_purge_start(PACM_FDO_DATA fdx)
{
    WDFREQUEST request;
    ULONG flags;

    DC_PRINT(DC_LEVEL_TRACE, "%s: entered\n", __FUNCTION__);
    acm_lock_acquire(fdx);
    request = fdx->current_purge_request;
    while (request != NULL) {
        flags = *(PULONG)acm_request_get_context(request)->buffer;
        acm_lock_release(fdx);
        acm_purge_execute(fdx, flags);
        acm_lock_acquire(fdx);
        acm_purge_complete(fdx, request);
        if (fdx->current_purge_request != NULL) {
            break;
        }
        acm_queue_get_next_request(&fdx->current_purge_request, fdx->purge_queue);
        request = fdx->current_purge_request;
    }
    acm_lock_release(fdx);
}
