/*
 * When the device moves data: transfers run only while a handle is open,
 * the device is in D0 and the bus driver has not suspended the function.
 * acm_io_start and acm_io_stop bring the whole machinery up and down; the
 * power callbacks and the bus driver's suspend and resume pause and restart
 * the data-in stream and the notifications in between.
 */
#include "acm_power.h"
#include "acm_file.h"
#include "acm_read.h"
#include "acm_write.h"
#include "acm_wait_event.h"

static PCSTR acm_power_state_name(WDF_POWER_DEVICE_STATE state)
{
    static const PCSTR names[] = {
        "WdfPowerDeviceInvalid", "WdfPowerDeviceD0",      "WdfPowerDeviceD1",
        "WdfPowerDeviceD2",      "WdfPowerDeviceD3",      "WdfPowerDeviceD3Final",
        "WdfPowerDevicePrepareForHibernation",            "PowerDeviceMaximum",
    };

    return (ULONG)state < RTL_NUMBER_OF(names) ? names[state] : "UnKnown Device Power State";
}

static BOOLEAN acm_bus_bound(PACM_FDO_DATA fdx, PCSTR caller)
{
    if (fdx->common.bus_ifc.Context == NULL) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: bus interface was not initialized\n", caller);
        return FALSE;
    }
    return TRUE;
}

VOID acm_delay_us(ULONG microseconds)
{
    LARGE_INTEGER interval;

    interval.QuadPart = -10LL * microseconds;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

/* --- Starting and stopping I/O ------------------------------------------- */

BOOLEAN acm_io_stopped(PACM_FDO_DATA fdx)
{
    return InterlockedCompareExchange(&fdx->is_io_stopped, 0, 0) != 0;
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

NTSTATUS acm_io_start(PACM_FDO_DATA fdx)
{
    const ULONG data = fdx->is_serial_ctrl ? 0 : 1;
    BOOLEAN data_io_was_initialized;
    NTSTATUS status;

    DC_PRINT(DC_LEVEL_TRACE, "%s: entered, device %p\n", __FUNCTION__, fdx->common.device);
    if (!acm_bus_bound(fdx, __FUNCTION__)) {
        return STATUS_UNSUCCESSFUL;
    }
    if (common_class_ref_count(&fdx->common) == 0) {
        DC_PRINT(DC_LEVEL_TRACE, "%s: No open handles, exiting\n", __FUNCTION__);
        return STATUS_SUCCESS;
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
    if (!acm_bus_bound(fdx, __FUNCTION__)) {
        return STATUS_UNSUCCESSFUL;
    }
    if (common_class_ref_count(&fdx->common) == 0) {
        DC_PRINT(DC_LEVEL_TRACE, "%s: No open handles, exiting\n", __FUNCTION__);
        return STATUS_SUCCESS;
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
    WdfSpinLockAcquire(fdx->spin_lock);
    outstanding = fdx->data_in_pending != 0;
    InterlockedExchange(&fdx->data_in_restart_due, outstanding ? 1 : 0);
    WdfSpinLockRelease(fdx->spin_lock);
    if (outstanding) {
        bus->data_abort(bus->Context, DC_ABORT_DATA_IN);
    } else {
        acm_read_data_in(fdx);
    }
}

/* Notifications and reads again, when I/O is running. */
static VOID acm_io_restart(PACM_FDO_DATA fdx)
{
    if (acm_io_stopped(fdx)) {
        return;
    }
    (VOID)common_class_notify_cb_reset(&fdx->common);
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
 * the D0 entry that follows releases it. A device that is already in D0 has
 * no such D0 entry coming, so the reference goes back at once; one that
 * could not be referenced has none to give back.
 */
static VOID acm_take_stop_idle(PACM_FDO_DATA fdx)
{
    NTSTATUS status;

    if (InterlockedCompareExchange(&fdx->stop_idle_taken, 1, 0) == 1) {
        DC_PRINT(DC_LEVEL_TRACE, "STOPIDLE ALLREADY [%s():%d]\n", "acm_io_resume_cb", __LINE__);
        return;
    }
    DC_PRINT(DC_LEVEL_TRACE, "SET STOPIDLE [%s():%d]\n", "acm_io_resume_cb", __LINE__);
    status = WdfDeviceStopIdle(fdx->common.device, FALSE);
    if (status == STATUS_PENDING) {
        return;
    }
    if (InterlockedCompareExchange(&fdx->stop_idle_taken, 0, 1) == 1 && NT_SUCCESS(status)) {
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

/* --- Power transitions ----------------------------------------------------- */

/* Back from a low-power state: a resume callback has re-armed everything
   already when it holds the stop-idle reference; otherwise do it here. */
static VOID acm_d0_return(PACM_FDO_DATA fdx)
{
    if (InterlockedCompareExchange(&fdx->stop_idle_taken, 0, 1) == 1) {
        DC_PRINT(DC_LEVEL_TRACE, "SET RESUMEIDLE [%s():%d]\n", "acm_evt_dev_d0_entry", __LINE__);
        WdfDeviceResumeIdle(fdx->common.device);
        return;
    }
    InterlockedExchange(&fdx->suspended, 0);
    acm_io_restart(fdx);
}

NTSTATUS acm_evt_dev_d0_entry(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState)
{
    PACM_FDO_DATA fdx = acm_fdo_get_data(Device);
    NTSTATUS status = STATUS_SUCCESS;

    DC_PRINT(DC_LEVEL_INFO, "--->%ws: oldstate=%s, device=%p [%s():%d]\n", fdx->port_name.Buffer,
             acm_power_state_name(PreviousState), Device, __FUNCTION__, __LINE__);

    if (PreviousState == WdfPowerDeviceD3Final) {
        status = acm_io_start(fdx);
    } else {
        acm_d0_return(fdx);
        if (common_class_ref_count(&fdx->common) != 0 && fdx->create_file_in_progress == 0) {
            status = acm_send_clear_data(fdx);
            if (!NT_SUCCESS(status)) {
                DC_PRINT(DC_LEVEL_ERROR, "%s: acm_send_clear_data failed\n", __FUNCTION__);
            }
        } else {
            DC_PRINT(DC_LEVEL_TRACE, "%ws: %s%s [%s():%d]\n", fdx->port_name.Buffer,
                     fdx->create_file_in_progress ? "create_file_in_progress" : "",
                     common_class_ref_count(&fdx->common) == 0 ? "zero refs" : "", __FUNCTION__, __LINE__);
        }
    }

    DC_PRINT(DC_LEVEL_INFO, "<---%ws status=%lx [%s():%d]\n", fdx->port_name.Buffer, status,
             __FUNCTION__, __LINE__);
    return status;
}

/* To a low-power state only the notifications stop; posted transfers are
   the bus driver's until the device is back. */
NTSTATUS acm_evt_dev_d0_exit(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState)
{
    PACM_FDO_DATA fdx = acm_fdo_get_data(Device);
    NTSTATUS status = STATUS_SUCCESS;

    DC_PRINT(DC_LEVEL_INFO, "--->%ws: targetstate=%s, device=%p [%s():%d]\n",
             fdx->port_name.Buffer, acm_power_state_name(TargetState), Device, __FUNCTION__,
             __LINE__);

    if (TargetState == WdfPowerDeviceD3Final) {
        status = acm_io_stop(fdx);
    } else {
        common_class_notify_cb_clear(&fdx->common);
    }
    if (common_class_ref_count(&fdx->common) > 0) {
        common_class_handles_open_notify(&fdx->common);
    }

    DC_PRINT(DC_LEVEL_INFO, "<---%ws status=%lx [%s():%d]\n", fdx->port_name.Buffer, status,
             __FUNCTION__, __LINE__);
    return status;
}

/* Removal: the open ends here if its handle's cleanup has not ended it. */
VOID acm_evt_dev_self_managed_io_flush(WDFDEVICE Device)
{
    PDEVICE_OBJECT device_object = WdfDeviceWdmGetDeviceObject(Device);
    PDEVICE_OBJECT lower = WdfIoTargetWdmGetTargetDeviceObject(WdfDeviceGetIoTarget(Device));

    DC_PRINT(DC_LEVEL_INFO, "-->DO=0x%p LDO=0x%p TID=0x%p (%s():%d)\n", device_object, lower,
             KeGetCurrentThread(), __FUNCTION__, __LINE__);
    acm_evt_file_cleanup_device(Device);
    DC_PRINT(DC_LEVEL_INFO, "<-- DO=0x%p LDO=0x%p TID=0x%p (%s():%d)\n", device_object, lower,
             KeGetCurrentThread(), __FUNCTION__, __LINE__);
}

/*
 * Back in D0 with the queues running again. A current request that ended
 * while the device was away could not take the next one from its stopped
 * queue; the slots that stayed empty start their next request now.
 */
/* The current-request slots change under spin_lock; they are read so too. */
static BOOLEAN acm_slot_empty(PACM_FDO_DATA fdx, WDFREQUEST* slot)
{
    BOOLEAN empty;

    WdfSpinLockAcquire(fdx->spin_lock);
    empty = *slot == NULL;
    WdfSpinLockRelease(fdx->spin_lock);
    return empty;
}

NTSTATUS acm_evt_dev_self_managed_io_restart(WDFDEVICE Device)
{
    PACM_FDO_DATA fdx = acm_fdo_get_data(Device);

    DC_PRINT(DC_LEVEL_TRACE, "%s: entered, device %p\n", __FUNCTION__, Device);
    if (acm_slot_empty(fdx, &fdx->current_read_request)) {
        acm_request_start_next_queued(fdx, &fdx->current_read_request, fdx->read_queue,
                                      acm_request_read_start, acm_queue_get_next_request);
    }
    if (acm_slot_empty(fdx, &fdx->current_write_request)) {
        acm_request_write_start_next(fdx);
    }
    return STATUS_SUCCESS;
}

/* --- Wake-up work items ---------------------------------------------------- */

VOID acm_device_wakeup_cb(WDFWORKITEM WorkItem)
{
    PACM_FDO_DATA fdx = acm_fdo_get_data((WDFDEVICE)WdfWorkItemGetParentObject(WorkItem));

    DC_PRINT(DC_LEVEL_TRACE, "%s: Entered\n", __FUNCTION__);
    common_class_device_wakeup_sync(&fdx->common, fdx->call_clear_data == 0);

    DC_PRINT(DC_LEVEL_TRACE, "%s: D0 forced, resume transfers\n", __FUNCTION__);
    DC_PRINT(DC_LEVEL_TRACE, "%s: Reset notify callback\n", __FUNCTION__);
    (VOID)common_class_notify_cb_reset(&fdx->common);
    if (fdx->is_serial_ctrl) {
        return;
    }
    if (!NT_SUCCESS(acm_send_clear_data(fdx))) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: acm_send_clear_data failed\n", __FUNCTION__);
        return;
    }
    acm_read_data_in(fdx);
    acm_request_write_start_next(fdx);
}

VOID acm_child_device_wakeup_cb(WDFWORKITEM WorkItem)
{
    PACM_FDO_DATA fdx = acm_fdo_get_data((WDFDEVICE)WdfWorkItemGetParentObject(WorkItem));

    DC_PRINT(DC_LEVEL_TRACE, "%s: Entered\n", __FUNCTION__);
    common_class_child_device_wakeup_sync(&fdx->common);
}

/* --- Quiescing the request engine ----------------------------------------- */

/*
 * A DPC that the cancel takes off the queue was queued for a completion
 * (a transfer that the stop's abort ended, data for a read): its request
 * would never complete. Its routine runs here instead, as the DPC would
 * have, at DISPATCH_LEVEL.
 */
static VOID acm_stop_dpc(WDFDPC dpc, PFN_WDF_DPC routine)
{
    KIRQL irql;

    if (dpc == NULL || !WdfDpcCancel(dpc, TRUE)) {
        return;
    }
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    routine(dpc);
    KeLowerIrql(irql);
}

VOID acm_stop_timer_and_dpcs(PACM_FDO_DATA fdx)
{
    if (fdx->read_timer != NULL) {
        WdfTimerStop(fdx->read_timer, TRUE);
    }
    acm_stop_dpc(fdx->wait_complete_dpc, acm_request_wait_complete_dpc);
    acm_stop_dpc(fdx->read_complete_dpc, acm_request_read_complete_dpc);
    acm_stop_dpc(fdx->write_complete_dpc, acm_request_write_complete_dpc);
}
