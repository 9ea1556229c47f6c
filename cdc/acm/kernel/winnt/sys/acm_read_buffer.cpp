/*
 * Read buffering. While the port is open one data-in transfer after the
 * other fills the ring, whether or not a read is pending; a full ring stops
 * the stream and the next copy-out lets it go on. The transfer's completion
 * only accounts, raises receive events and wakes a pended read through its
 * DPC; copying into requests happens under spin_lock on the read side.
 */
#include "acm_read_buffer.h"
#include "acm_read.h"

/* How long a purge waits for the aborted transfer: checks, 1 ms apart. */
#define ACM_PURGE_CHECKS 10000

static read_desc_t* acm_desc(PACM_FDO_DATA fdx, ULONG index)
{
    return &fdx->read_desc[index];
}

static ULONG acm_next_desc(PACM_FDO_DATA fdx, ULONG index)
{
    return (index + 1) % fdx->read_buffers;
}

/* --- Allocation ---------------------------------------------------------- */

static ULONG acm_read_setting(PACM_FDO_DATA fdx, PCUNICODE_STRING name, ULONG default_value)
{
    ULONG value;

    if (!NT_SUCCESS(dc_registry_read_device_ulong(fdx->common.device, name, &value))) {
        value = default_value;
    }
    return value;
}

static NTSTATUS acm_create_ring_memory(PACM_FDO_DATA fdx, size_t size, WDFMEMORY* memory,
                                       PVOID* buffer)
{
    WDF_OBJECT_ATTRIBUTES attributes;
    NTSTATUS status;

    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = fdx->common.device;
    status = WdfMemoryCreate(&attributes, NonPagedPool, ACM_READ_BUFFER_POOL_TAG, size, memory,
                             buffer);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: failed allocation, size %lx, status %lx\n",
                 "acm_read_buffer_init", (ULONG)size, status);
    }
    return status;
}

/*
 * The ring's geometry comes from the registry and the endpoint; a product
 * that does not fit in 32 bits is as invalid as 0, since the descriptors'
 * slices would otherwise run past the data area.
 */
NTSTATUS acm_read_buffer_init(PACM_FDO_DATA fdx)
{
    DECLARE_CONST_UNICODE_STRING(packets_name, L"DataInPacketsPerXfer");
    DECLARE_CONST_UNICODE_STRING(buffers_name, L"DataInBuffers");
    PDC_ENUMERATOR_INTERFACE bus = &fdx->common.bus_ifc;
    ULONGLONG size;
    PVOID buffer;
    NTSTATUS status;

    fdx->packets_per_xfer = acm_read_setting(fdx, &packets_name, 1);
    fdx->read_buffers = acm_read_setting(fdx, &buffers_name, 8);
    status = bus->get_max_packet_size(bus->Context, 0, 0, &fdx->read_max_ps, 0);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: Failed to retrieve read max ps, status %lx\n", __FUNCTION__,
                 status);
        return status;
    }

    size = (ULONGLONG)fdx->read_buffers * fdx->read_max_ps * fdx->packets_per_xfer;
    fdx->read_buffer_size = (ULONG)size;
    DC_PRINT(DC_LEVEL_INFO, "%s: read buffers %lx, max ps %lx, packets per transfer %lx\n",
             __FUNCTION__, fdx->read_buffers, fdx->read_max_ps, fdx->packets_per_xfer);
    if (size == 0 || size > MAXULONG || fdx->read_buffers > MAXULONG / sizeof(read_desc_t)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: failed since size is not valid\n", __FUNCTION__);
        return STATUS_UNSUCCESSFUL;
    }

    status = acm_create_ring_memory(fdx, fdx->read_buffer_size, &fdx->read_buffer_memory, &buffer);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    fdx->read_buffer = (PUCHAR)buffer;
    status = acm_create_ring_memory(fdx, fdx->read_buffers * sizeof(read_desc_t),
                                    &fdx->read_desc_memory, &buffer);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    fdx->read_desc = (read_desc_t*)buffer;

    /* A new ring: no descriptor of it has been posted. */
    RtlZeroMemory(fdx->read_desc, fdx->read_buffers * sizeof(read_desc_t));
    fdx->desc_end = 0;
    acm_read_buffer_reset(fdx);
    InterlockedExchange(&fdx->data_in_purged, 0);
    return STATUS_SUCCESS;
}

/* --- Reset --------------------------------------------------------------- */

/*
 * Every descriptor empty, both indices at the same place, no bytes held.
 * A transfer the bus still holds (a purge that gave up waiting for it)
 * keeps its descriptor posted at desc_end, so that its late completion
 * lands where its bytes are and is accounted like any other.
 */
_Requires_lock_held_(fdx->spin_lock)
static VOID acm_read_ring_reset_locked(PACM_FDO_DATA fdx)
{
    ACM_ASSERT_LOCK_HELD(fdx);

    const ULONG transfer_size = fdx->packets_per_xfer * fdx->read_max_ps;
    const ULONG outstanding = fdx->desc_end;
    const BOOLEAN still_posted = fdx->data_in_pending != 0 && outstanding < fdx->read_buffers &&
                                 acm_desc(fdx, outstanding)->posted;

    for (ULONG i = 0; i < fdx->read_buffers; i++) {
        read_desc_t* d = acm_desc(fdx, i);

        d->buffer = fdx->read_buffer + i * transfer_size;
        d->length = transfer_size;
        d->empty = TRUE;
        d->bytes_transferred = 0;
        d->first_char = 0;
        d->posted = FALSE;
    }
    fdx->desc_end = 0;
    fdx->desc_begin = 0;
    fdx->read_buffer_bytes = 0;

    if (still_posted) {
        fdx->desc_end = outstanding;
        fdx->desc_begin = outstanding;
        acm_desc(fdx, outstanding)->posted = TRUE;
    }
}

/* Under spin_lock, so that no copy-out sees a half-reset ring. */
VOID acm_read_buffer_reset(PACM_FDO_DATA fdx)
{
    acm_lock_acquire(fdx);
    acm_read_ring_reset_locked(fdx);
    acm_lock_release(fdx);
}

/* data_in_purged changes by interlocked operations only; it is read so too. */
static BOOLEAN acm_data_in_is_purging(PACM_FDO_DATA fdx)
{
    return InterlockedCompareExchange(&fdx->data_in_purged, 1, 1) == 1;
}

/* --- Posting ------------------------------------------------------------- */

VOID acm_read_data_in(PACM_FDO_DATA fdx)
{
    PDC_ENUMERATOR_INTERFACE bus = &fdx->common.bus_ifc;
    read_desc_t* d;
    ULONG index;
    PUCHAR buffer;
    ULONG length;
    BOOLEAN purge_started;

    DC_PRINT(DC_LEVEL_TRACE, "---> TID=0x%p [%s():%d]\n", KeGetCurrentThread(), __FUNCTION__,
             __LINE__);
    acm_resume_read_timer(fdx);

    if (acm_data_in_is_purging(fdx) || acm_io_stopped(fdx) || common_class_ref_count(&fdx->common) == 0) {
        DC_PRINT(DC_LEVEL_TRACE, "<---> %s %s ref_count=%d [%s():%d]\n",
                 acm_data_in_is_purging(fdx) ? "data_in_purged" : "",
                 acm_io_stopped(fdx) ? "is_io_stopped" : "", common_class_ref_count(&fdx->common),
                 __FUNCTION__, __LINE__);
        return;
    }

    /* Looked at again under spin_lock, with data_in_pending counted there:
       a stop or purge that began since either sees this post pending and
       waits for it, or is seen here. */
    acm_lock_acquire(fdx);
    if (acm_data_in_is_purging(fdx) || acm_io_stopped(fdx)) {
        acm_lock_release(fdx);
        return;
    }
    index = fdx->desc_end;
    d = acm_desc(fdx, index);
    if (d->posted || !d->empty) {
        acm_lock_release(fdx);
        DC_PRINT(DC_LEVEL_TRACE, "%s %s [%s():%d]\n", d->posted ? "posted" : "",
                 !d->empty ? "NOT EMPTY" : "", __FUNCTION__, __LINE__);
        return;
    }
    fdx->data_in_pending++;
    d->posted = TRUE;
    /* Taken under spin_lock: a ring reset rewrites the descriptor. */
    buffer = d->buffer;
    length = d->length;
    acm_lock_release(fdx);

    if (bus->data_in_post(bus->Context, buffer, length, acm_read_data_in_complete, fdx, 0, 0)) {
        DC_PRINT(DC_LEVEL_TRACE, "posted=#%lx addr=%p length=%lx [%s():%d]\n", index, buffer, length,
                 __FUNCTION__, __LINE__);
        /* A purge that began while this post was on its way may have
           aborted before the bus had the transfer: abort it here. */
        acm_lock_acquire(fdx);
        purge_started = acm_data_in_is_purging(fdx);
        acm_lock_release(fdx);
        if (purge_started) {
            bus->data_abort(bus->Context, DC_ABORT_DATA_IN);
        }
    } else {
        acm_lock_acquire(fdx);
        fdx->data_in_pending--;
        d->posted = FALSE;
        acm_lock_release(fdx);
    }
    DC_PRINT(DC_LEVEL_TRACE, "<--- TID=0x%p [%s():%d]\n", KeGetCurrentThread(), __FUNCTION__,
             __LINE__);
}

/* --- Completion ---------------------------------------------------------- */

/* Receive events for `bytes` just delivered into `d`; spin_lock held. */
_Requires_lock_held_(fdx->spin_lock)
static VOID acm_raise_receive_events(PACM_FDO_DATA fdx, read_desc_t* d, ULONG bytes)
{
    const UCHAR event_char = fdx->special_chars.EventChar;
    ULONG used;

    ACM_ASSERT_LOCK_HELD(fdx);
    if (fdx->wait_mask & SERIAL_EV_RXCHAR) {
        fdx->history_mask |= SERIAL_EV_RXCHAR;
    }
    if (fdx->wait_mask & SERIAL_EV_RX80FULL) {
        /* A ring that has just become full counts all its descriptors. */
        used = fdx->desc_end > fdx->desc_begin ? fdx->desc_end - fdx->desc_begin
                                                : fdx->desc_end - fdx->desc_begin + fdx->read_buffers;
        if (fdx->read_buffers / used < 2) {
            fdx->history_mask |= SERIAL_EV_RX80FULL;
        }
    }
    if ((fdx->wait_mask & SERIAL_EV_RXFLAG) && event_char != 0) {
        for (ULONG i = 0; i < bytes; i++) {
            if (d->buffer[i] == event_char) {
                fdx->history_mask |= SERIAL_EV_RXFLAG;
                acm_request_wait_update_pending_and_complete(fdx);
            }
        }
    }
    if (fdx->history_mask != 0) {
        acm_request_wait_update_pending_and_complete(fdx);
    }
}

/* Bytes arrived in the descriptor at desc_end; spin_lock held, released here. */
_Requires_lock_held_(fdx->spin_lock)
static VOID acm_read_data_arrived(PACM_FDO_DATA fdx, read_desc_t* d, ULONG bytes, BOOLEAN stream_goes_on)
{
    WDFREQUEST read = fdx->current_read_request;
    BOOLEAN wake_read;

    ACM_ASSERT_LOCK_HELD(fdx);
    fdx->desc_end = acm_next_desc(fdx, fdx->desc_end);
    d->empty = FALSE;
    fdx->read_buffer_bytes += bytes;
    fdx->perf_stats.ReceivedCount += bytes;
    acm_raise_receive_events(fdx, d, bytes);

    wake_read = read != NULL && (acm_request_get_context(read)->ref_bits & REF_ISR) != 0;
    acm_lock_release(fdx);
    if (wake_read) {
        WdfDpcEnqueue(fdx->read_complete_dpc);
    }
    if (stream_goes_on && !acm_data_in_is_purging(fdx)) {
        acm_read_data_in(fdx);
    }
}

/* Nothing arrived; spin_lock held, released here. */
_Requires_lock_held_(fdx->spin_lock)
static VOID acm_read_nothing_arrived(PACM_FDO_DATA fdx, NTSTATUS status)
{
    ACM_ASSERT_LOCK_HELD(fdx);

    if (acm_is_suspended(fdx)) {
        /* The stream restarts when the bus resumes the function. */
        acm_hold_read_timer_for_suspend(fdx);
        acm_lock_release(fdx);
        DC_PRINT(DC_LEVEL_TRACE, "SUSPENDED TID=0x%p [%s():%d]\n", KeGetCurrentThread(),
                 __FUNCTION__, __LINE__);
        return;
    }
    acm_lock_release(fdx);
    if (status == STATUS_CANCELLED || status == STATUS_NO_SUCH_DEVICE ||
        status == STATUS_POWER_STATE_INVALID) {
        if (status == STATUS_CANCELLED && InterlockedExchange(&fdx->data_in_restart_due, 0) == 1) {
            acm_read_data_in(fdx);   /* a restart aborted it and left the next post to here */
        }
        return;
    }
    if (NT_SUCCESS(status)) {
        /* A zero-length packet ended a transfer that had nothing yet: the
           device marks the end of a burst so. What the ring holds stays. */
        if (!acm_data_in_is_purging(fdx)) {
            acm_read_data_in(fdx);
        }
        return;
    }

    /* A failed transfer lost only its own bytes: what the ring holds
       arrived intact and stays. The stream restarts from the work item
       rather than spin here on a device that keeps failing; without a
       work item it waits for the next caller of acm_read_data_in. */
    if (fdx->read_in_workitem == NULL) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: no read-in work item, data-in waits for the next read\n",
                 "acm_read_data_in_complete");
        return;
    }
    if (InterlockedCompareExchange(&fdx->read_in_workitem_queued, 1, 0) == 0) {
        WdfWorkItemEnqueue(fdx->read_in_workitem);
    }
}

/*
 * A transfer that an abort or a suspend ended part way through keeps the
 * packets it had received: with many packets per transfer they are bytes
 * the device sent and will not send again.
 */
static ULONG acm_bytes_kept(NTSTATUS status, ULONG bytes)
{
    if (NT_SUCCESS(status)) {
        return bytes;
    }
    DC_PRINT(DC_LEVEL_INFO, "%s: status %lx\n", "acm_read_data_in_complete", status);
    if (bytes == 0 || (status != STATUS_CANCELLED && status != STATUS_POWER_STATE_INVALID)) {
        return 0;
    }
    return bytes;
}

VOID acm_read_data_in_complete(PVOID Context, NTSTATUS Status, ULONG BytesTransferred)
{
    PACM_FDO_DATA fdx = (PACM_FDO_DATA)Context;
    ULONG bytes;
    read_desc_t* d;

    DC_PRINT(DC_LEVEL_TRACE, "%s: Entered, status %lx, bytes_read %ld\n", __FUNCTION__, Status,
             BytesTransferred);
    bytes = acm_bytes_kept(Status, BytesTransferred);
    if (bytes > 0) {
        common_class_child_device_wakeup_post(&fdx->common);
    }

    acm_lock_acquire(fdx);
    d = acm_desc(fdx, fdx->desc_end);
    d->posted = FALSE;
    DC_PRINT(DC_LEVEL_TRACE,
             "%s: device %p, begin %lx, end %lx, addr %p, length %lx, transferred %lx\n",
             __FUNCTION__, fdx->common.device, fdx->desc_begin, fdx->desc_end, d->buffer,
             d->length, bytes);
    fdx->data_in_pending--;
    d->first_char = 0;
    d->bytes_transferred = bytes;

    if (bytes > 0) {
        /* The stream goes on after a transfer that ended by itself, or one
           a restart aborted and left the next post to; not after one that a
           transport disable, a stop or a suspend ended. */
        acm_read_data_arrived(fdx, d, bytes,
                              NT_SUCCESS(Status) ||
                                  (Status == STATUS_CANCELLED &&
                                   InterlockedExchange(&fdx->data_in_restart_due, 0) == 1));
    } else {
        acm_read_nothing_arrived(fdx, Status);
    }
}

/* --- Copy-out ------------------------------------------------------------ */

BOOLEAN acm_read_copy_from_buffer(PACM_FDO_DATA fdx, WDFREQUEST request)
{
    PACM_REQUEST_CONTEXT context = acm_request_get_context(request);
    PUCHAR target = (PUCHAR)context->buffer;
    read_desc_t* d = acm_desc(fdx, fdx->desc_begin);
    ULONG copied = 0;
    ULONG n;

    ACM_ASSERT_LOCK_HELD(fdx);
    DC_PRINT(DC_LEVEL_TRACE, "%s: device %p desc_begin %ld, desc_end %ld, req length %lx\n",
             __FUNCTION__, fdx->common.device, fdx->desc_begin, fdx->desc_end, context->length);

    while (!d->empty) {
        n = d->bytes_transferred - d->first_char;
        if (n > context->length - copied) {
            n = context->length - copied;
        }
        DC_PRINT(DC_LEVEL_TRACE, "%s: #%lx, bytes_transferred %lx, first char %lx, bytes_to_copy %lx\n",
                 __FUNCTION__, fdx->desc_begin, d->bytes_transferred, d->first_char, n);
        if (n > 0) {
            RtlCopyMemory(target + copied, d->buffer + d->first_char, n);
            d->first_char += n;
            copied += n;
        }
        if (d->first_char < d->bytes_transferred) {
            break;
        }
        d->empty = TRUE;
        fdx->desc_begin = acm_next_desc(fdx, fdx->desc_begin);
        if (copied == context->length) {
            break;
        }
        d = acm_desc(fdx, fdx->desc_begin);
    }

    context->information = copied;
    fdx->read_buffer_bytes -= copied;
    DC_PRINT(DC_LEVEL_TRACE, "%s: bytes copied %lx\n", __FUNCTION__, copied);
    return FALSE;
}

/* --- Purge --------------------------------------------------------------- */

static BOOLEAN acm_data_in_settled(PACM_FDO_DATA fdx)
{
    ULONG pending;

    acm_lock_acquire(fdx);
    pending = fdx->data_in_pending;
    acm_lock_release(fdx);
    return pending == 0;
}

/*
 * Aborts the data-in direction, waits for the outstanding transfer (1 ms
 * apart at PASSIVE_LEVEL, not at all above it) and empties the ring. The
 * check that ends the wait and the reset share one hold of spin_lock, so
 * that a post cannot slip in between.
 */
VOID acm_data_in_purge(PACM_FDO_DATA fdx)
{
    PDC_ENUMERATOR_INTERFACE bus = &fdx->common.bus_ifc;
    ULONG pending;

    if (InterlockedCompareExchange(&fdx->data_in_purged, 1, 0) != 0) {
        return;
    }
    DC_PRINT(DC_LEVEL_TRACE, "%s: pending %ld \n", __FUNCTION__, fdx->data_in_pending);
    bus->data_abort(bus->Context, DC_ABORT_DATA_IN);

    if (!acm_poll(fdx, acm_data_in_settled, ACM_PURGE_CHECKS)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: time out\n", __FUNCTION__);
    }

    acm_lock_acquire(fdx);
    pending = fdx->data_in_pending;
    acm_read_ring_reset_locked(fdx);
    InterlockedExchange(&fdx->data_in_purged, 0);
    acm_lock_release(fdx);

    if (pending != 0) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: left pending %ld \n", __FUNCTION__, pending);
    } else {
        DC_PRINT(DC_LEVEL_TRACE, "%s: purged\n", __FUNCTION__);
    }
}
