/*
 * When the device moves data: transfers run only while a handle is open,
 * the device is in D0 and the bus driver has not suspended the function.
 * acm_io_start and acm_io_stop bring the whole machinery up and down; the
 * bus driver's suspend and resume pause and restart the data-in stream and
 * the notifications in between.
 */
#include "acm_io.h"
#include "acm_write.h"

static BOOLEAN acm_bus_bound(PACM_FDO_DATA fdx, PCSTR caller)
{
    if (fdx->common.bus_ifc.Context == NULL) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: bus interface was not initialized\n", caller);
        return FALSE;
    }
    return TRUE;
}

/* --- Starting and stopping I/O ------------------------------------------- */

BOOLEAN acm_io_stopped(PACM_FDO_DATA fdx)
{
    return InterlockedCompareExchange(&fdx->is_io_stopped, 0, 0) != 0;
}

BOOLEAN acm_is_suspended(PACM_FDO_DATA fdx)
{
    return InterlockedCompareExchange(&fdx->suspended, 0, 0) != 0;
}

NTSTATUS acm_send_clear_data(PACM_FDO_DATA fdx)
{
    NTSTATUS status;

    if (fdx->is_serial_ctrl || fdx->call_clear_data == 0) {
        return STATUS_SUCCESS;
    }
    status = fdx->common.bus_ifc.dc_clear_data(fdx->common.bus_ifc.Context);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: dc_clear_data failed\n", __FUNCTION__);
    }
    return status;
}

/* FALSE when I/O start or stop has nothing to do, *status then being its
   result: the bus is not bound, or no handle is open. */
static BOOLEAN acm_io_has_work(PACM_FDO_DATA fdx, PCSTR caller, NTSTATUS* status)
{
    if (!acm_bus_bound(fdx, caller)) {
        *status = STATUS_UNSUCCESSFUL;
        return FALSE;
    }
    if (common_class_ref_count(&fdx->common) == 0) {
        DC_PRINT(DC_LEVEL_TRACE, "%s: No open handles, exiting\n", caller);
        *status = STATUS_SUCCESS;
        return FALSE;
    }
    return TRUE;
}

NTSTATUS acm_io_start(PACM_FDO_DATA fdx)
{
    const ULONG data = fdx->is_serial_ctrl ? 0 : 1;
    BOOLEAN data_io_was_initialized;
    NTSTATUS status;

    DC_PRINT(DC_LEVEL_TRACE, "%s: entered, device %p\n", __FUNCTION__, fdx->common.device);
    if (!acm_io_has_work(fdx, __FUNCTION__, &status)) {
        return status;
    }

    data_io_was_initialized = fdx->common.data_io_initialized != 0;
    status = common_class_transport_io_init(&fdx->common, data, data);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: Failed to init common transport and data io, status %lx\n",
                 __FUNCTION__, status);
        return status;
    }
    InterlockedExchange(&fdx->is_io_stopped, 0);

    status = acm_send_clear_data(fdx);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: acm_send_clear_data failed\n", __FUNCTION__);
        return status;
    }
    if (data && !data_io_was_initialized) {
        acm_read_data_in(fdx);
    }
    status = common_class_notify_cb_set(&fdx->common, acm_notify_cb);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_NOTE, "%s: Failed to set notify callback, status %lx\n", __FUNCTION__,
                 status);
    }
    return STATUS_SUCCESS;
}

/* Cancels the request each operation is serving; waiting requests stay. */
static VOID acm_cancel_current_requests(PACM_FDO_DATA fdx)
{
    DC_PRINT(DC_LEVEL_TRACE, "%s: Cancelling all pending requests\n", "acm_io_stop");
    acm_queue_purge_current(fdx->read_queue, &fdx->current_read_request);
    acm_data_in_purge(fdx);
    acm_queue_purge_current(fdx->write_queue, &fdx->current_write_request);
    acm_data_out_purge(fdx);
    acm_queue_purge_current(fdx->mask_queue, &fdx->current_wait_request);
    acm_queue_purge_current(fdx->mask_queue, &fdx->current_mask_request);
    acm_queue_purge_current(fdx->purge_queue, &fdx->current_purge_request);
}

NTSTATUS acm_io_stop(PACM_FDO_DATA fdx)
{
    NTSTATUS status;

    DC_PRINT(DC_LEVEL_TRACE, "%s: Entered, device %p\n", __FUNCTION__, fdx->common.device);
    if (!acm_io_has_work(fdx, __FUNCTION__, &status)) {
        return status;
    }
    if (InterlockedExchange(&fdx->is_io_stopped, 1) == 1) {
        DC_PRINT(DC_LEVEL_TRACE, "%s: io already stopped\n", __FUNCTION__);
        return STATUS_SUCCESS;
    }

    if (!fdx->is_serial_ctrl && fdx->common.data_io_initialized) {
        acm_cancel_current_requests(fdx);
    }
    common_class_notify_cb_clear(&fdx->common);
    status = common_class_transport_io_uninit(&fdx->common);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: Failed to uninit common transport and data io, status %lx\n",
                 __FUNCTION__, status);
    }
    DC_PRINT(DC_LEVEL_TRACE, "%s: done, device %p\n", __FUNCTION__, fdx->common.device);
    return status;
}

/*
 * Restarts the data-in stream after a pause; the bytes already in the ring
 * stay there for the reads to come. A transfer that is out, from before the
 * pause or just posted by a completion, is aborted and its completion posts
 * the next one (data_in_restart_due): nothing waits, because the bus may
 * call the resume at DISPATCH_LEVEL. The flag is set before the look at
 * data_in_pending, so that either this call or that completion posts.
 */
static VOID acm_data_in_restart(PACM_FDO_DATA fdx)
{
    PDC_ENUMERATOR_INTERFACE bus = &fdx->common.bus_ifc;
    BOOLEAN outstanding;

    if (fdx->is_serial_ctrl || fdx->common.data_io_initialized == 0) {
        return;
    }
    if (InterlockedCompareExchange(&fdx->data_in_purged, 0, 0) != 0) {
        return;   /* a purge runs; its caller restarts the stream */
    }
    acm_lock_acquire(fdx);
    outstanding = fdx->data_in_pending != 0;
    InterlockedExchange(&fdx->data_in_restart_due, outstanding ? 1 : 0);
    acm_lock_release(fdx);
    if (outstanding) {
        bus->data_abort(bus->Context, DC_ABORT_DATA_IN);
    } else {
        acm_read_data_in(fdx);
    }
}

static BOOLEAN acm_io_running(common_class_ctx* common)
{
    return !acm_io_stopped((PACM_FDO_DATA)common);
}

/*
 * Notifications and reads again, when I/O is running. The D0 exit and the
 * suspend took the notification callback away; a D0 entry and a resume
 * callback that both restart (one came while the other ran) register it
 * once. An I/O stop marks I/O stopped before it clears the callback, so a
 * restart meeting it either registers first or sees the stop.
 */
VOID acm_io_restart(PACM_FDO_DATA fdx)
{
    if (acm_io_stopped(fdx)) {
        return;
    }
    (VOID)common_class_notify_cb_restore(&fdx->common, acm_io_running);
    acm_data_in_restart(fdx);
}

/* --- The bus driver's callbacks ------------------------------------------ */

NTSTATUS acm_io_start_cb(PVOID context)
{
    return acm_io_start((PACM_FDO_DATA)context);
}

NTSTATUS acm_io_stop_cb(PVOID context)
{
    return acm_io_stop((PACM_FDO_DATA)context);
}

BOOLEAN acm_is_in_use_cb(PVOID context)
{
    return common_class_ref_count(&((PACM_FDO_DATA)context)->common) > 0 ? 1 : 0;
}

/* Posted transfers are left alone: the data-in completion sees `suspended`
   and holds the stream until the resume. */
NTSTATUS acm_io_suspend_cb(PVOID context)
{
    PACM_FDO_DATA fdx = (PACM_FDO_DATA)context;

    DC_PRINT(DC_LEVEL_TRACE, "---> %ws TID=0x%p [%s():%d]\n", fdx->port_name.Buffer,
             KeGetCurrentThread(), __FUNCTION__, __LINE__);
    if (InterlockedCompareExchange(&fdx->suspended, 1, 0) == 1) {
        DC_PRINT(DC_LEVEL_ERROR, "<--- ALREADY SUSPENDED TID=0x%p [%s():%d]\n",
                 KeGetCurrentThread(), __FUNCTION__, __LINE__);
    } else {
        common_class_notify_cb_clear(&fdx->common);
    }
    DC_PRINT(DC_LEVEL_TRACE, "<--- %ws TID=0x%p [%s():%d]\n", fdx->port_name.Buffer,
             KeGetCurrentThread(), __FUNCTION__, __LINE__);
    return STATUS_SUCCESS;
}

/*
 * The stop-idle reference brings the device to D0 and keeps it there until
 * it is back: a device that is in D0 already (STATUS_SUCCESS) gives it back
 * at once, and so does one that came back while the reference was taken;
 * otherwise the next D0 entry or self-managed I/O restart does (the restart
 * for a power-up whose D0 entry came just before the reference). One that
 * could not be referenced has none to give back.
 */
static VOID acm_take_stop_idle(PACM_FDO_DATA fdx)
{
    NTSTATUS status;

    if (InterlockedCompareExchange(&fdx->stop_idle_taken, ACM_STOP_IDLE_TAKING, ACM_STOP_IDLE_NONE) !=
        ACM_STOP_IDLE_NONE) {
        DC_PRINT(DC_LEVEL_TRACE, "STOPIDLE ALLREADY [%s():%d]\n", "acm_io_resume_cb", __LINE__);
        return;
    }
    DC_PRINT(DC_LEVEL_TRACE, "SET STOPIDLE [%s():%d]\n", "acm_io_resume_cb", __LINE__);
    status = WdfDeviceStopIdle(fdx->common.device, FALSE);
    if (status == STATUS_PENDING &&
        InterlockedCompareExchange(&fdx->stop_idle_taken, ACM_STOP_IDLE_HELD, ACM_STOP_IDLE_TAKING) ==
            ACM_STOP_IDLE_TAKING) {
        return;
    }
    InterlockedExchange(&fdx->stop_idle_taken, ACM_STOP_IDLE_NONE);
    if (NT_SUCCESS(status)) {
        WdfDeviceResumeIdle(fdx->common.device);
    }
}

NTSTATUS acm_io_resume_cb(PVOID context)
{
    PACM_FDO_DATA fdx = (PACM_FDO_DATA)context;

    DC_PRINT(DC_LEVEL_TRACE, "---> %ws TID=0x%p [%s():%d]\n", fdx->port_name.Buffer,
             KeGetCurrentThread(), __FUNCTION__, __LINE__);
    if (InterlockedCompareExchange(&fdx->suspended, 0, 1) == 0) {
        DC_PRINT(DC_LEVEL_ERROR, "ALREADY WOKEN TID=0x%p [%s():%d]\n", KeGetCurrentThread(),
                 __FUNCTION__, __LINE__);
    } else {
        acm_take_stop_idle(fdx);
        acm_io_restart(fdx);
    }
    DC_PRINT(DC_LEVEL_TRACE, "<--- %ws TID=0x%p [%s():%d]\n", fdx->port_name.Buffer,
             KeGetCurrentThread(), __FUNCTION__, __LINE__);
    return STATUS_SUCCESS;
}
