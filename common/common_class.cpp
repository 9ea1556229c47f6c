/*
 * The common class context: binding to the bus driver through the DC
 * Enumerator interface, the transport and data I/O switches, the
 * notification callback and the open-handle count.
 *
 * Each switch is a 0/1 flag that flips by compare-exchange right before the
 * bus operation it stands for, so that exactly one caller enables and one
 * caller disables, however many try. The notification callback's flag
 * changes under a lock instead, together with its bus call (see below).
 */
#include "common_class.h"

/* 0 -> 1 or 1 -> 0 by compare-exchange; TRUE for the one caller that flipped it. */
static BOOLEAN common_flip(LONG volatile* flag, LONG from)
{
    return InterlockedCompareExchange(flag, 1 - from, from) == from;
}

static NTSTATUS common_query_bus_interface(common_class_ctx* ctx, WDFDEVICE device)
{
    NTSTATUS status;

    status = WdfFdoQueryForInterface(device, &GUID_DC_ENUMERATOR_INTERFACE,
                                     (PINTERFACE)&ctx->bus_ifc, sizeof(ctx->bus_ifc),
                                     DC_ENUMERATOR_INTERFACE_VERSION, (PVOID)DC_DRIVER_VERSION);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: Failed querying DC Enumerator interface, %x %p\n",
                 "common_class_ctx_init", status, ctx->bus_ifc.Context);
        ctx->bus_ifc.Context = NULL;
    }
    return status;
}

/* Gives the reference of the query back; the record is no longer bound. */
static VOID common_release_bus_interface(common_class_ctx* ctx)
{
    ctx->bus_ifc.InterfaceDereference(ctx->bus_ifc.Context);
    ctx->bus_ifc.Context = NULL;
}

static NTSTATUS common_create_workitem(common_class_ctx* ctx, PFN_WDF_WORKITEM callback,
                                       WDFWORKITEM* workitem)
{
    WDF_WORKITEM_CONFIG config;
    WDF_OBJECT_ATTRIBUTES attributes;

    WDF_WORKITEM_CONFIG_INIT(&config, callback);
    config.AutomaticSerialization = TRUE;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = ctx->device;
    return WdfWorkItemCreate(&config, &attributes, workitem);
}

/* Everything of the context after the query; the interface is bound. */
static NTSTATUS common_class_ctx_setup(WDFDEVICE device, common_class_ctx* ctx,
                                       BOOLEAN set_power_policy, BOOLEAN enable_encapsulated,
                                       BOOLEAN enable_custom_guid, PFN_WDF_WORKITEM device_wakeup_fn,
                                       PFN_WDF_WORKITEM child_device_wakeup_fn)
{
    WDF_OBJECT_ATTRIBUTES attributes;
    NTSTATUS status;

    ctx->ref_count = 0;
    ctx->encap_enabled = 0;
    ctx->device = device;

    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = device;
    status = WdfSpinLockCreate(&attributes, &ctx->common_lock);
    if (NT_SUCCESS(status)) {
        status = WdfSpinLockCreate(&attributes, &ctx->notify_lock);
    }
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: WdfSpinLockCreate failed %lx\n", "common_class_ctx_init", status);
        return status;
    }

    if (set_power_policy) {
        status = common_class_set_power_policy(ctx);
        if (!NT_SUCCESS(status)) {
            DC_PRINT(DC_LEVEL_ERROR, "%s: Failed to set device power policy settings %lx\n",
                     "common_class_ctx_init", status);
            return status;
        }
    } else {
        ctx->idle_timeout = 0;
    }

    InterlockedExchange(&ctx->transport_enabled, 0);
    InterlockedExchange(&ctx->data_io_initialized, 0);
    ctx->notify_cb_registered = 0;
    InterlockedExchange(&ctx->enc_ref_count, 0);

    if (enable_encapsulated) {
        InterlockedExchange(&ctx->encap_enabled, 1);
        (VOID)encap_create_queues(ctx);
    }
    if (enable_custom_guid) {
        (VOID)common_class_custom_guid_set(ctx);
    }

    if (device_wakeup_fn != NULL) {
        status = common_create_workitem(ctx, device_wakeup_fn, &ctx->device_wakeup_workitem);
        if (NT_SUCCESS(status) && child_device_wakeup_fn != NULL) {
            status = common_create_workitem(ctx, child_device_wakeup_fn,
                                            &ctx->child_device_wakeup_workitem);
        }
        if (!NT_SUCCESS(status)) {
            DC_PRINT(DC_LEVEL_ERROR, "%s: WdfWorkItemCreate failed, status %lx\n",
                     "common_class_ctx_init", status);
        }
    }
    return status;
}

/*
 * A failure after the query gives the interface back at once, so that a
 * failed init leaves nothing bound whether or not a release follows.
 */
NTSTATUS common_class_ctx_init(WDFDEVICE device, common_class_ctx* ctx, BOOLEAN set_power_policy,
                               BOOLEAN enable_encapsulated, BOOLEAN enable_custom_guid,
                               PFN_WDF_WORKITEM device_wakeup_fn,
                               PFN_WDF_WORKITEM child_device_wakeup_fn)
{
    NTSTATUS status;

    DC_PRINT(DC_LEVEL_TRACE, "%s: entered, device %p\n", __FUNCTION__, device);

    status = common_query_bus_interface(ctx, device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = common_class_ctx_setup(device, ctx, set_power_policy, enable_encapsulated,
                                    enable_custom_guid, device_wakeup_fn, child_device_wakeup_fn);
    if (!NT_SUCCESS(status)) {
        common_release_bus_interface(ctx);
        return status;
    }

    DC_PRINT(DC_LEVEL_TRACE, "%s: done, status %lx\n", __FUNCTION__, status);
    return status;
}

NTSTATUS common_class_ctx_uninit(common_class_ctx* ctx)
{
    DC_PRINT(DC_LEVEL_TRACE, "%s: entered\n", __FUNCTION__);
    if (ctx->bus_ifc.Context == NULL) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: bus interface was not initialized\n", __FUNCTION__);
        return STATUS_SUCCESS;
    }

    if (ctx->device_wakeup_workitem != NULL) {
        WdfWorkItemFlush(ctx->device_wakeup_workitem);
    }
    if (ctx->child_device_wakeup_workitem != NULL) {
        WdfWorkItemFlush(ctx->child_device_wakeup_workitem);
    }
    if (ctx->encap_enabled) {
        encap_purge_queues(ctx);
    }

    common_release_bus_interface(ctx);
    DC_PRINT(DC_LEVEL_TRACE, "%s: done\n", __FUNCTION__);
    return STATUS_SUCCESS;
}

NTSTATUS common_class_transport_io_init(common_class_ctx* ctx, ULONG data_flag_a, ULONG data_flag_b)
{
    NTSTATUS status = STATUS_SUCCESS;

    DC_PRINT(DC_LEVEL_TRACE, "%s: entered\n", __FUNCTION__);

    if (common_flip(&ctx->transport_enabled, 0)) {
        status = ctx->bus_ifc.dc_transport_enable(ctx->bus_ifc.Context);
        if (!NT_SUCCESS(status)) {
            DC_PRINT(DC_LEVEL_ERROR, "%s: failed dc_transport_enable %lx\n", __FUNCTION__, status);
            (VOID)common_class_transport_io_uninit(ctx);
            return status;
        }
    }

    if ((data_flag_a != 0 || data_flag_b != 0) && common_flip(&ctx->data_io_initialized, 0)) {
        status = ctx->bus_ifc.cdc_data_io_init(ctx->bus_ifc.Context, data_flag_a, data_flag_b);
        if (!NT_SUCCESS(status)) {
            DC_PRINT(DC_LEVEL_ERROR, "%s: failed cdc_data_io_init %lx\n", __FUNCTION__, status);
            (VOID)common_class_transport_io_uninit(ctx);
            return status;
        }
    }

    DC_PRINT(DC_LEVEL_TRACE, "%s: done, status %lx\n", __FUNCTION__, status);
    return status;
}

/* The reverse of init; a failed disable wins over a failed data I/O uninit. */
NTSTATUS common_class_transport_io_uninit(common_class_ctx* ctx)
{
    NTSTATUS status = STATUS_SUCCESS;
    NTSTATUS disable_status;

    DC_PRINT(DC_LEVEL_TRACE, "%s: entered\n", __FUNCTION__);

    if (common_flip(&ctx->data_io_initialized, 1)) {
        status = ctx->bus_ifc.cdc_data_io_uninit(ctx->bus_ifc.Context);
        if (!NT_SUCCESS(status)) {
            DC_PRINT(DC_LEVEL_ERROR, "%s: failed cdc_data_io_uninit %lx\n", __FUNCTION__, status);
        }
    }

    if (common_flip(&ctx->transport_enabled, 1)) {
        disable_status = ctx->bus_ifc.dc_transport_disable(ctx->bus_ifc.Context);
        if (!NT_SUCCESS(disable_status)) {
            DC_PRINT(DC_LEVEL_ERROR, "%s: failed dc_transport_disable %lx\n", __FUNCTION__,
                     disable_status);
            status = disable_status;
        }
    }

    DC_PRINT(DC_LEVEL_TRACE, "%s: done, status %lx\n", __FUNCTION__, status);
    return status;
}

/*
 * The notification callback. A registration change and the bus call that
 * makes it are one step under notify_lock: a clear on one thread and a set
 * on another (a close and a resume) could otherwise reach the bus in the
 * other order than they changed the flag, leaving a callback registered
 * twice, or registered while the flag says it is not.
 */

/* notify_lock held. */
static NTSTATUS common_notify_register(common_class_ctx* ctx, PFN_DC_NOTIFY_CB callback)
{
    if (ctx->notify_cb_registered) {
        DC_PRINT(DC_LEVEL_TRACE, "%s: Notify callback is already set\n", "common_class_notify_cb_set");
        return STATUS_SUCCESS;
    }
    if (!ctx->bus_ifc.cdc_set_notify_cb(ctx->bus_ifc.Context, ctx->device, callback)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: failed cdc_set_notify_cb\n", "common_class_notify_cb_set");
        return STATUS_UNSUCCESSFUL;
    }
    ctx->notify_cb_registered = 1;
    return STATUS_SUCCESS;
}

static PFN_DC_NOTIFY_CB common_notify_kept(common_class_ctx* ctx)
{
    return (PFN_DC_NOTIFY_CB)InterlockedCompareExchangePointer((PVOID volatile*)&ctx->notify_cb, NULL, NULL);
}

NTSTATUS common_class_notify_cb_set(common_class_ctx* ctx, PFN_DC_NOTIFY_CB callback)
{
    NTSTATUS status;

    if (callback == NULL) {
        return STATUS_SUCCESS;
    }
    /* Set at open and read at D0 entry, on other threads: interlocked. */
    (VOID)InterlockedExchangePointer((PVOID volatile*)&ctx->notify_cb, (PVOID)callback);

    WdfSpinLockAcquire(ctx->notify_lock);
    status = common_notify_register(ctx, callback);
    WdfSpinLockRelease(ctx->notify_lock);
    return status;
}

NTSTATUS common_class_notify_cb_restore(common_class_ctx* ctx, COMMON_NOTIFY_WANTED* wanted)
{
    PFN_DC_NOTIFY_CB callback = common_notify_kept(ctx);
    NTSTATUS status = STATUS_SUCCESS;

    if (callback == NULL) {
        return STATUS_SUCCESS;
    }
    WdfSpinLockAcquire(ctx->notify_lock);
    if (wanted(ctx)) {
        status = common_notify_register(ctx, callback);
    }
    WdfSpinLockRelease(ctx->notify_lock);
    return status;
}

/* A clear the bus refuses leaves the callback registered: the bus keeps
   calling it, and the next set finds it so. */
VOID common_class_notify_cb_clear(common_class_ctx* ctx)
{
    WdfSpinLockAcquire(ctx->notify_lock);
    if (ctx->notify_cb_registered) {
        if (ctx->bus_ifc.cdc_set_notify_cb(ctx->bus_ifc.Context, NULL, NULL)) {
            ctx->notify_cb_registered = 0;
        } else {
            DC_PRINT(DC_LEVEL_ERROR, "%s: failed cdc_set_notify_cb\n", __FUNCTION__);
        }
    }
    WdfSpinLockRelease(ctx->notify_lock);
}

NTSTATUS common_class_notify_cb_reset(common_class_ctx* ctx)
{
    PFN_DC_NOTIFY_CB callback = common_notify_kept(ctx);

    if (callback == NULL) {
        DC_PRINT(DC_LEVEL_TRACE, "%s: Notify callback not defined\n", __FUNCTION__);
        return STATUS_SUCCESS;
    }
    common_class_notify_cb_clear(ctx);
    return common_class_notify_cb_set(ctx, callback);
}

LONG common_class_ref_inc(common_class_ctx* ctx)
{
    LONG count;

    WdfSpinLockAcquire(ctx->common_lock);
    count = ++ctx->ref_count;
    WdfSpinLockRelease(ctx->common_lock);
    return count;
}

LONG common_class_ref_count(common_class_ctx* ctx)
{
    LONG count;

    WdfSpinLockAcquire(ctx->common_lock);
    count = ctx->ref_count;
    WdfSpinLockRelease(ctx->common_lock);
    return count;
}

/* The bus hears of the last close after the lock is released. */
LONG common_class_ref_dec(common_class_ctx* ctx)
{
    LONG count;

    WdfSpinLockAcquire(ctx->common_lock);
    count = --ctx->ref_count;
    WdfSpinLockRelease(ctx->common_lock);
    if (count == 0) {
        ctx->bus_ifc.last_handle_closed(ctx->bus_ifc.Context);
    }
    return count;
}

ULONG common_class_ctrl_dev_hold_child_if_in_use(common_class_ctx* ctx)
{
    DECLARE_CONST_UNICODE_STRING(hold_name, L"CtrlDevHoldChildIfInUse");
    ULONG hold = 0;

    if (!NT_SUCCESS(dc_registry_read_device_ulong(ctx->device, &hold_name, &hold))) {
        hold = 0;
    }
    DC_PRINT(DC_LEVEL_INFO, "%s: CtrlDevHoldChildIfInUse = %ld\n", __FUNCTION__, hold);
    return hold;
}

VOID common_class_handles_open_notify(common_class_ctx* ctx)
{
    ctx->bus_ifc.handles_open_at_d0_exit(ctx->bus_ifc.Context);
}
