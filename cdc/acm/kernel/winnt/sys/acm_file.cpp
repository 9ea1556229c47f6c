/*
 * Opening and closing the port. The device is exclusive, so there is one
 * open at a time: its create starts I/O, and its end (the handle's cleanup,
 * or the removal's self-managed I/O flush when that comes first) stops I/O,
 * cancels what is pending, drops DTR and waits for the requests that intake
 * fails with a delay.
 */
#include "acm_file.h"
#include "acm_ioctl.h"
#include "acm_io.h"
#include "acm_power.h"
#include "acm_read_buffer.h"
#include "cdc_protocol.h"

/* The wait for delayed STATUS_DELETE_PENDING completions: 1 ms checks. */
#define ACM_DELETE_PENDING_CHECKS 2000

/* What each open starts from; line coding, control lines, handflow,
   time-outs and special characters stay as the last open left them. No
   request of the new open exists yet. */
static VOID acm_file_reset_per_open_state(PACM_FDO_DATA fdx)
{
    acm_settings_reset_at_open(fdx);

    acm_lock_acquire(fdx);
    fdx->write_remaining = 0;
    fdx->write_buffer = NULL;
    fdx->data_out_posted = 0;
    fdx->mask_location = NULL;
    fdx->data_in_restart_due = 0;
    acm_lock_release(fdx);

    /* An empty ring; a transfer the bus still holds keeps its place. */
    acm_read_buffer_reset(fdx);
}

VOID acm_evt_file_create(WDFDEVICE Device, WDFREQUEST Request, WDFFILEOBJECT FileObject)
{
    PACM_FDO_DATA fdx = acm_fdo_get_data(Device);
    NTSTATUS status;

    UNREFERENCED_PARAMETER(FileObject);
    DC_PRINT(DC_LEVEL_INFO, "%s: entered, device %p, flags %lx, is_modem %ld, is_serial_ctrl %ld\n",
             __FUNCTION__, Device, 0UL, (LONG)fdx->is_modem, (LONG)fdx->is_serial_ctrl);

    InterlockedExchange(&fdx->create_file_in_progress, 1);
    acm_file_reset_per_open_state(fdx);
    InterlockedExchange(&fdx->open_state, ACM_OPEN_ACTIVE);
    common_class_ref_inc(&fdx->common);

    status = acm_io_start(fdx);
    if (!NT_SUCCESS(status)) {
        /* Whatever the start got going (a transport whose clear-data
           failed) stops again, so that the next open starts afresh. */
        (VOID)acm_io_stop(fdx);
        common_class_ref_dec(&fdx->common);
        InterlockedExchange(&fdx->open_state, ACM_OPEN_NONE);
        DC_PRINT(DC_LEVEL_ERROR, "%s: failed starting io\n", __FUNCTION__);
    }
    WdfRequestComplete(Request, status);
    InterlockedExchange(&fdx->create_file_in_progress, 0);
}

VOID acm_evt_file_cleanup(WDFFILEOBJECT FileObject)
{
    DC_PRINT(DC_LEVEL_TRACE, "%s: entered TID=0x%p\n", __FUNCTION__, KeGetCurrentThread());
    acm_evt_file_cleanup_device(WdfFileObjectGetDevice(FileObject));
    DC_PRINT(DC_LEVEL_TRACE, "%s: exited TID=0x%p\n", __FUNCTION__, KeGetCurrentThread());
}

VOID acm_evt_file_close(WDFFILEOBJECT FileObject)
{
    UNREFERENCED_PARAMETER(FileObject);
}

static VOID acm_file_report_current_requests(PACM_FDO_DATA fdx)
{
    if (fdx->current_write_request == NULL && fdx->current_read_request == NULL &&
        fdx->current_mask_request == NULL && fdx->current_wait_request == NULL &&
        fdx->current_purge_request == NULL) {
        return;
    }
    DC_PRINT(DC_LEVEL_ERROR,
             "%s: entered with errors: \ncurrent_write_request %p \ncurrent_read_request %p "
             "\ncurrent_mask_request %p\ncurrent_wait_request %p\ncurrent_purge_request %p\n\n",
             "acm_evt_file_cleanup_device", fdx->current_write_request,
             fdx->current_read_request, fdx->current_mask_request, fdx->current_wait_request,
             fdx->current_purge_request);
}

static BOOLEAN acm_file_no_delete_pending(PACM_FDO_DATA fdx)
{
    /* The count changes by interlocked operations; it is read so too. */
    return InterlockedCompareExchange(&fdx->delete_pending_count, 0, 0) == 0;
}

static VOID acm_file_wait_for_delete_pending(PACM_FDO_DATA fdx)
{
    if (!acm_poll(fdx, acm_file_no_delete_pending, ACM_DELETE_PENDING_CHECKS)) {
        DC_PRINT(DC_LEVEL_ERROR,
                 "%s: Not all requests with STATUS_DELETE_PENDING were completed\n",
                 "acm_evt_file_cleanup_device");
    }
}

/* The active open ends here; it held the one open-handle count. */
static VOID acm_file_end_open(PACM_FDO_DATA fdx)
{
    acm_file_report_current_requests(fdx);
    (VOID)acm_io_stop(fdx);
    common_class_ref_dec(&fdx->common);
    acm_stop_timer_and_dpcs(fdx);
    if (fdx->dont_clear_dtr == 0 && (fdx->control_line_state & CDC_CONTROL_LINE_DTR)) {
        acm_clr_dtr_and_send(fdx);
    }
    acm_file_wait_for_delete_pending(fdx);
}

static BOOLEAN acm_file_open_ended(PACM_FDO_DATA fdx)
{
    return InterlockedCompareExchange(&fdx->open_state, ACM_OPEN_ENDING, ACM_OPEN_ENDING) !=
           ACM_OPEN_ENDING;
}

/*
 * Exactly one caller ends an open. A caller that finds the open being ended
 * waits until it is (the ending's own waits are bounded), so that neither
 * returns while the other still uses the bus: the removal goes on to
 * release the interface once the flush returns.
 */
VOID acm_evt_file_cleanup_device(WDFDEVICE device)
{
    PACM_FDO_DATA fdx = acm_fdo_get_data(device);
    LONG state;

    NT_ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
    DC_PRINT(DC_LEVEL_TRACE, "--->\"%ws\" TID=0x%p [%s():%d]\n", fdx->port_name.Buffer,
             KeGetCurrentThread(), __FUNCTION__, __LINE__);

    state = InterlockedCompareExchange(&fdx->open_state, ACM_OPEN_ENDING, ACM_OPEN_ACTIVE);
    if (state == ACM_OPEN_ACTIVE) {
        acm_file_end_open(fdx);
        InterlockedExchange(&fdx->open_state, ACM_OPEN_NONE);
    } else if (state == ACM_OPEN_ENDING) {
        (VOID)acm_poll(fdx, acm_file_open_ended, ACM_POLL_FOREVER);
    }
}
