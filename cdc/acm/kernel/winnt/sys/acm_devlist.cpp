/*
 * Modem friendly-name links. Modems of the same friendly name share one
 * DOS-devices link; when the modem it points at departs, the link is moved
 * to the most recently added modem of that name that remains.
 */
#include "acm_serial.h"

acm_dev_list_rec* dev_list;
WDFSPINLOCK dev_list_lock;

/* The list's lock lives as long as the driver object. */
NTSTATUS acm_devlist_init(VOID)
{
    WDF_OBJECT_ATTRIBUTES attributes;
    NTSTATUS status;

    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = WdfGetDriver();
    status = WdfSpinLockCreate(&attributes, &dev_list_lock);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: WdfSpinLockCreate failed, 0x%lx\n", __FUNCTION__, status);
    }
    return status;
}

/* Exact comparison of two NUL-terminated UTF-16 strings. */
static BOOLEAN acm_wstr_equal(PCWSTR a, PCWSTR b)
{
    while (*a != UNICODE_NULL && *a == *b) {
        a++;
        b++;
    }
    return *a == *b;
}

NTSTATUS acm_symlink_init(PACM_FDO_DATA fdx)
{
    acm_dev_list_rec* rec = &fdx->dev_list_rec;
    WCHAR friendly_name[64];
    ULONG result_length;
    NTSTATUS status;

    DC_PRINT(DC_LEVEL_TRACE, "%s: entered\n", __FUNCTION__);

    status = WdfDeviceQueryProperty(fdx->common.device, DevicePropertyPhysicalDeviceObjectName,
                                    128, rec->device_obj_name, &result_length);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: WdfDeviceQueryProperty failed retrieving device_obj_name\n",
                 __FUNCTION__);
        return status;
    }
    DC_PRINT(DC_LEVEL_TRACE, "%s: device object name '%ws'\n", __FUNCTION__, rec->device_obj_name);

    status = WdfDeviceQueryProperty(fdx->common.device, DevicePropertyFriendlyName,
                                    sizeof(friendly_name), friendly_name, &result_length);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: WdfDeviceQueryProperty failed retrieving friendly_name\n",
                 __FUNCTION__);
        return status;
    }

    status = RtlStringCbPrintfW(rec->symbolic_link_name, sizeof(rec->symbolic_link_name),
                                L"\\DosDevices\\%ws", friendly_name);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: RtlStringCbPrintfW failed, 0x%lx\n", __FUNCTION__, status);
        return status;
    }
    DC_PRINT(DC_LEVEL_TRACE, "%s: Symbolic link name '%ws'\n", __FUNCTION__,
             rec->symbolic_link_name);

    acm_devlist_insert(fdx);
    return STATUS_SUCCESS;
}

VOID acm_devlist_insert(PACM_FDO_DATA fdx)
{
    WdfSpinLockAcquire(dev_list_lock);
    fdx->dev_list_rec.dev_list_next = dev_list;
    dev_list = &fdx->dev_list_rec;
    WdfSpinLockRelease(dev_list_lock);
}

/*
 * Takes the device's record out of the list and hands its link to the first
 * remaining record of the same link name. The record is copied under the
 * lock: the link calls run at PASSIVE_LEVEL, and the other device may
 * depart meanwhile.
 */
VOID acm_symlink_deinit(PACM_FDO_DATA fdx)
{
    const acm_dev_list_rec* self = &fdx->dev_list_rec;
    acm_dev_list_rec** link;
    acm_dev_list_rec* heir;
    acm_dev_list_rec heir_copy;

    NT_ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
    DC_PRINT(DC_LEVEL_TRACE, "%s: entered\n", __FUNCTION__);
    WdfSpinLockAcquire(dev_list_lock);

    link = &dev_list;
    while (*link != NULL && !acm_wstr_equal((*link)->device_obj_name, self->device_obj_name)) {
        link = &(*link)->dev_list_next;
    }
    if (*link == NULL) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: Device data could not be found in dev_list\n", __FUNCTION__);
        WdfSpinLockRelease(dev_list_lock);
        return;
    }
    *link = (*link)->dev_list_next;

    heir = dev_list;
    while (heir != NULL && !acm_wstr_equal(heir->symbolic_link_name, self->symbolic_link_name)) {
        heir = heir->dev_list_next;
    }
    if (heir == NULL) {
        WdfSpinLockRelease(dev_list_lock);
        return;
    }
    heir_copy = *heir;
    WdfSpinLockRelease(dev_list_lock);

    DC_PRINT(DC_LEVEL_TRACE,
             "%s: Symbolic link '%ws' will be transferred\nfrom device '%ws' to device '%ws'\n",
             __FUNCTION__, self->symbolic_link_name, self->device_obj_name,
             heir_copy.device_obj_name);
    acm_symbolic_relink(&heir_copy);
}

/* Re-creates the record's link, pointing at the record's device. */
VOID acm_symbolic_relink(const acm_dev_list_rec* rec)
{
    WCHAR target_buffer[128];
    UNICODE_STRING target = { 0, sizeof(target_buffer), target_buffer };
    WCHAR link_buffer[128 + 1] = { 0 };   /* the extra unit keeps it terminated for the trace */
    UNICODE_STRING link = { 0, 128 * sizeof(WCHAR), link_buffer };
    NTSTATUS status;

    DC_PRINT(DC_LEVEL_TRACE, "%s: entered\n", __FUNCTION__);

    status = RtlUnicodeStringPrintf(&target, L"%ws", rec->device_obj_name);
    if (NT_SUCCESS(status)) {
        status = RtlUnicodeStringPrintf(&link, L"%ws", rec->symbolic_link_name);
    }
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: RtlUnicodeStringPrintf failed\n", __FUNCTION__);
        return;
    }

    status = IoDeleteSymbolicLink(&link);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: '%ws' was already deleted, status 0x%lx\n", __FUNCTION__,
                 link_buffer, status);
    }
    status = IoCreateSymbolicLink(&link, &target);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: IoCreateSymbolicLink failed, status 0x%lx\n", __FUNCTION__,
                 status);
    }
}
