/*
 * The device's queues and its request-state lock.
 *
 * Reads and I/O controls are presented in parallel by the default queue,
 * which is not power managed; writes by a power-managed queue of their own,
 * so that the framework holds them while the device is not in D0. Four
 * manual queues park requests of one kind behind the one being served.
 */
#include "acm_ioctl.h"
#include "acm_read.h"
#include "acm_write.h"
#include "acm_wait_event.h"

/* Every queue of the device keeps its current request across a stop and
   completes what is cancelled while waiting in it. */
static VOID acm_queue_config_engine_callbacks(PWDF_IO_QUEUE_CONFIG config)
{
    config->EvtIoStop = acm_evt_io_stop;
    config->EvtIoResume = acm_evt_io_resume;
    config->EvtIoCanceledOnQueue = acm_evt_canceled_on_queue;
}

static NTSTATUS acm_create_presentation_queues(PACM_FDO_DATA fdx)
{
    WDFDEVICE device = fdx->common.device;
    WDF_IO_QUEUE_CONFIG config;
    WDFQUEUE write_presentation_queue;
    NTSTATUS status;

    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
    config.EvtIoRead = acm_evt_read;
    config.EvtIoDeviceControl = acm_evt_ioctl;
    config.EvtIoInternalDeviceControl = acm_evt_ioctl_internal;
    acm_queue_config_engine_callbacks(&config);
    config.PowerManaged = WdfFalse;
    status = WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, WDF_NO_HANDLE);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: WdfIoQueueCreate failed %lx\n", "acm_create_queues", status);
        return status;
    }

    WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchParallel);
    config.EvtIoWrite = acm_evt_write;
    acm_queue_config_engine_callbacks(&config);
    status = WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &write_presentation_queue);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: WdfIoQueueCreate failed %lx\n", "acm_create_queues", status);
        return status;
    }

    status = WdfDeviceConfigureRequestDispatching(device, write_presentation_queue,
                                                  WdfRequestTypeWrite);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: WdfDeviceConfigureRequestDispatching failed %lx\n",
                 "acm_create_queues", status);
    }
    return status;
}

static NTSTATUS acm_create_wait_queues(PACM_FDO_DATA fdx)
{
    WDFQUEUE* const wait_queues[] = { &fdx->read_queue, &fdx->write_queue, &fdx->mask_queue,
                                      &fdx->purge_queue };
    WDF_IO_QUEUE_CONFIG config;
    NTSTATUS status = STATUS_SUCCESS;

    WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchManual);
    acm_queue_config_engine_callbacks(&config);
    for (ULONG i = 0; i < RTL_NUMBER_OF(wait_queues); i++) {
        status = WdfIoQueueCreate(fdx->common.device, &config, WDF_NO_OBJECT_ATTRIBUTES,
                                  wait_queues[i]);
        if (!NT_SUCCESS(status)) {
            DC_PRINT(DC_LEVEL_ERROR, "%s: WdfIoQueueCreate failed %lx\n", "acm_create_queues",
                     status);
            break;
        }
    }
    return status;
}

/* An automatically serialized DPC of the device. */
static NTSTATUS acm_create_dpc(PACM_FDO_DATA fdx, PFN_WDF_DPC routine, WDFDPC* dpc)
{
    WDF_DPC_CONFIG config;
    WDF_OBJECT_ATTRIBUTES attributes;
    NTSTATUS status;

    WDF_DPC_CONFIG_INIT(&config, routine);
    config.AutomaticSerialization = TRUE;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = fdx->common.device;
    status = WdfDpcCreate(&config, &attributes, dpc);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: WdfDpcCreate failed %lx\n", "acm_create_queues", status);
    }
    return status;
}

/*
 * Objects created before a failure stay with the device, which the failing
 * device add discards.
 */
NTSTATUS acm_create_queues(PACM_FDO_DATA fdx)
{
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_TIMER_CONFIG timer_config;
    NTSTATUS status;

    status = acm_create_presentation_queues(fdx);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = acm_create_wait_queues(fdx);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = fdx->common.device;
    status = WdfSpinLockCreate(&attributes, &fdx->spin_lock);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: WdfSpinLockCreate failed %lx\n", __FUNCTION__, status);
        return status;
    }

    status = WdfWaitLockCreate(&attributes, &fdx->settings_lock);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: WdfWaitLockCreate failed %lx\n", __FUNCTION__, status);
        return status;
    }

    status = acm_create_dpc(fdx, acm_request_wait_complete_dpc, &fdx->wait_complete_dpc);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = acm_create_dpc(fdx, acm_request_read_complete_dpc, &fdx->read_complete_dpc);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = acm_create_dpc(fdx, acm_request_write_complete_dpc, &fdx->write_complete_dpc);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    WDF_TIMER_CONFIG_INIT(&timer_config, acm_request_read_timeout);
    timer_config.AutomaticSerialization = TRUE;
    timer_config.TolerableDelay = 0;
    status = WdfTimerCreate(&timer_config, &attributes, &fdx->read_timer);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: WdfTimerCreate failed %lx\n", __FUNCTION__, status);
    }
    return status;
}
