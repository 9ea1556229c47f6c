/*
 * Power policy and wake-up. The bus driver decides whether the function may
 * idle down (its idle time-out); the framework is told so here. A suspended
 * function is brought back by one of two one-shot work items, posted from
 * any I/O path and run at PASSIVE_LEVEL, where the bus's device_wakeup may
 * block until the function is back.
 */
#include "common_class.h"

static NTSTATUS common_assign_idle_and_wake_settings(common_class_ctx* ctx)
{
    WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS idle_settings;
    WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS wake_settings;
    NTSTATUS status;

    WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS_INIT(&idle_settings, IdleCanWakeFromS0);
    idle_settings.DxState = PowerDeviceMaximum;
    idle_settings.IdleTimeout = ctx->idle_timeout * 1000;
    idle_settings.UserControlOfIdleSettings = IdleAllowUserControl;
    idle_settings.Enabled = WdfUseDefault;
    idle_settings.PowerUpIdleDeviceOnSystemWake = WdfUseDefault;
    status = WdfDeviceAssignS0IdleSettings(ctx->device, &idle_settings);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: WdfDeviceSetPowerPolicyS0IdlePolicy failed %lx\n",
                 "common_class_set_power_policy", status);
        return status;
    }

    WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS_INIT(&wake_settings);
    wake_settings.DxState = PowerDeviceMaximum;
    wake_settings.UserControlOfWakeSettings = WakeAllowUserControl;
    wake_settings.Enabled = WdfUseDefault;
    wake_settings.ArmForWakeIfChildrenAreArmedForWake = FALSE;
    wake_settings.IndicateChildWakeOnParentWake = FALSE;
    status = WdfDeviceAssignSxWakeSettings(ctx->device, &wake_settings);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: WdfDeviceAssignSxWakeSettings failed %lx\n",
                 "common_class_set_power_policy", status);
    }
    return status;
}

/* An idle time-out of 0 leaves the framework's settings alone. */
NTSTATUS common_class_set_power_policy(common_class_ctx* ctx)
{
    NTSTATUS status;

    status = ctx->bus_ifc.get_idle_timeout(ctx->bus_ifc.Context, &ctx->idle_timeout);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_NOTE, "%s: Idle timeout not set\n", __FUNCTION__);
        ctx->idle_timeout = 0;
    }
    DC_PRINT(DC_LEVEL_INFO, "%s: Idle timeout %ld seconds\n", __FUNCTION__, ctx->idle_timeout);

    if (ctx->idle_timeout == 0) {
        return STATUS_SUCCESS;
    }
    return common_assign_idle_and_wake_settings(ctx);
}

/* Queues the work item unless it is queued already; `name` is the caller's. */
static VOID common_wakeup_enqueue(WDFWORKITEM workitem, LONG volatile* pending, PCSTR name)
{
    if (InterlockedCompareExchange(pending, 1, 0) == 0) {
        WdfWorkItemEnqueue(workitem);
    } else {
        DC_PRINT(DC_LEVEL_TRACE, "%s: Wake-up is already enqueued\n", name);
    }
}

VOID common_class_device_wakeup_post(common_class_ctx* ctx)
{
    if (ctx->device_wakeup_workitem == NULL) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: No device_wakeup_workitem defined\n", __FUNCTION__);
        return;
    }
    common_wakeup_enqueue(ctx->device_wakeup_workitem, &ctx->device_wakeup_pending, __FUNCTION__);
}

VOID common_class_device_wakeup_sync(common_class_ctx* ctx, BOOLEAN flag)
{
    NT_ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);

    ctx->bus_ifc.device_wakeup(ctx->bus_ifc.Context, flag);
    DC_PRINT(DC_LEVEL_TRACE, "%s: Device is awake\n", __FUNCTION__);
    InterlockedExchange(&ctx->device_wakeup_pending, 0);
}

VOID common_class_child_device_wakeup_post(common_class_ctx* ctx)
{
    if (ctx->idle_timeout == 0) {
        DC_PRINT(DC_LEVEL_TRACE, "%s: Device is not remote wake-able, SS not supported\n",
                 __FUNCTION__);
        return;
    }
    if (ctx->child_device_wakeup_workitem == NULL) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: No child_device_wakeup_workitem defined\n", __FUNCTION__);
        return;
    }
    common_wakeup_enqueue(ctx->child_device_wakeup_workitem, &ctx->child_device_wakeup_pending,
                          __FUNCTION__);
}

VOID common_class_child_device_wakeup_sync(common_class_ctx* ctx)
{
    NT_ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);

    ctx->bus_ifc.device_wakeup(ctx->bus_ifc.Context, TRUE);
    InterlockedExchange(&ctx->child_device_wakeup_pending, 0);
}
