/*
 * Power: D0 entry and exit pause and restart the data-in stream and the
 * notifications of an open port (I/O start and stop at the first D0 and the
 * last D0 exit), the self-managed I/O callbacks, the wake-up work items, and
 * the quiescing of the request engine's timer and DPCs.
 */
#include "acm_power.h"
#include "acm_io.h"
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

/* --- Power transitions ----------------------------------------------------- */

/*
 * Back in D0: gives back a stop-idle reference held for this moment, or
 * marks that the device came back while a resume callback takes one. TRUE
 * when a resume callback has re-armed, or is re-arming, the I/O.
 */
static BOOLEAN acm_stop_idle_back_in_d0(PACM_FDO_DATA fdx, PCSTR caller)
{
    LONG state = InterlockedCompareExchange(&fdx->stop_idle_taken, ACM_STOP_IDLE_TAKING_D0,
                                            ACM_STOP_IDLE_TAKING);

    if (state == ACM_STOP_IDLE_TAKING || state == ACM_STOP_IDLE_TAKING_D0) {
        return TRUE;
    }
    if (InterlockedCompareExchange(&fdx->stop_idle_taken, ACM_STOP_IDLE_NONE, ACM_STOP_IDLE_HELD) !=
        ACM_STOP_IDLE_HELD) {
        return FALSE;
    }
    DC_PRINT(DC_LEVEL_TRACE, "SET RESUMEIDLE [%s():%d]\n", caller, __LINE__);
    WdfDeviceResumeIdle(fdx->common.device);
    return TRUE;
}

/* Back from a low-power state: a resume callback that holds or is taking
   the stop-idle reference re-arms everything itself; otherwise do it here. */
static VOID acm_d0_return(PACM_FDO_DATA fdx)
{
    if (acm_stop_idle_back_in_d0(fdx, "acm_evt_dev_d0_entry")) {
        return;
    }
    InterlockedExchange(&fdx->suspended, 0);
    acm_io_restart(fdx);
}

NTSTATUS acm_evt_dev_d0_entry(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState)
{
    PACM_FDO_DATA fdx = acm_fdo_get_data(Device);
    NTSTATUS status = STATUS_SUCCESS;
    LONG creating;

    DC_PRINT(DC_LEVEL_INFO, "--->%ws: oldstate=%s, device=%p [%s():%d]\n", fdx->port_name.Buffer,
             acm_power_state_name(PreviousState), Device, __FUNCTION__, __LINE__);

    if (PreviousState == WdfPowerDeviceD3Final) {
        status = acm_io_start(fdx);
    } else {
        acm_d0_return(fdx);
        creating = InterlockedCompareExchange(&fdx->create_file_in_progress, 0, 0);
        if (common_class_ref_count(&fdx->common) != 0 && !creating) {
            status = acm_send_clear_data(fdx);
            if (!NT_SUCCESS(status)) {
                DC_PRINT(DC_LEVEL_ERROR, "%s: acm_send_clear_data failed\n", __FUNCTION__);
            }
        } else {
            DC_PRINT(DC_LEVEL_TRACE, "%ws: %s%s [%s():%d]\n", fdx->port_name.Buffer,
                     creating ? "create_file_in_progress" : "",
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

/* The current-request slots change under spin_lock; they are read so too. */
static BOOLEAN acm_slot_empty(PACM_FDO_DATA fdx, WDFREQUEST* slot)
{
    BOOLEAN empty;

    acm_lock_acquire(fdx);
    empty = *slot == NULL;
    acm_lock_release(fdx);
    return empty;
}

/*
 * Back in D0 with the queues running again. A stop-idle reference taken
 * after this power-up's D0 entry is given back here. A current request that
 * ended while the device was away could not take the next one from its
 * stopped queue; the slots that stayed empty start their next request now.
 */
NTSTATUS acm_evt_dev_self_managed_io_restart(WDFDEVICE Device)
{
    PACM_FDO_DATA fdx = acm_fdo_get_data(Device);

    DC_PRINT(DC_LEVEL_TRACE, "%s: entered, device %p\n", __FUNCTION__, Device);
    (VOID)acm_stop_idle_back_in_d0(fdx, __FUNCTION__);
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
    NT_ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);

    if (fdx->read_timer != NULL) {
        WdfTimerStop(fdx->read_timer, TRUE);
    }
    acm_stop_dpc(fdx->wait_complete_dpc, acm_request_wait_complete_dpc);
    acm_stop_dpc(fdx->read_complete_dpc, acm_request_read_complete_dpc);
    acm_stop_dpc(fdx->write_complete_dpc, acm_request_write_complete_dpc);
}
