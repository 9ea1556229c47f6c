/*
 * Device creation: the framework device with its context, classified by
 * setup class, with its queues and its external names.
 */
#include "acm_file.h"
#include "acm_intake.h"
#include "acm_power.h"

/* System: all; administrators: read, write, execute; everyone: read and
   write; restricted code: read. */
DECLARE_CONST_UNICODE_STRING(acm_device_sddl,
                             L"D:P(A;;GA;;;SY)(A;;GRGWGX;;;BA)(A;;GRGW;;;WD)(A;;GR;;;RC)");

/* How the framework presents the device, its requests and its files. */
static VOID acm_device_init_configure(PWDFDEVICE_INIT device_init)
{
    WDF_OBJECT_ATTRIBUTES request_attributes;
    WDF_PNPPOWER_EVENT_CALLBACKS pnp_power_callbacks;
    WDF_FILEOBJECT_CONFIG file_config;
    WDF_OBJECT_ATTRIBUTES file_attributes;

    WdfDeviceInitSetExclusive(device_init, TRUE);
    WdfDeviceInitSetDeviceType(device_init, FILE_DEVICE_SERIAL_PORT);

    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&request_attributes, ACM_REQUEST_CONTEXT);
    WdfDeviceInitSetRequestAttributes(device_init, &request_attributes);

    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnp_power_callbacks);
    pnp_power_callbacks.EvtDevicePrepareHardware = acm_evt_dev_prepare_hardware;
    pnp_power_callbacks.EvtDeviceReleaseHardware = acm_evt_dev_release_hardware;
    pnp_power_callbacks.EvtDeviceD0Entry = acm_evt_dev_d0_entry;
    pnp_power_callbacks.EvtDeviceD0Exit = acm_evt_dev_d0_exit;
    pnp_power_callbacks.EvtDeviceSelfManagedIoFlush = acm_evt_dev_self_managed_io_flush;
    pnp_power_callbacks.EvtDeviceSelfManagedIoRestart = acm_evt_dev_self_managed_io_restart;
    WdfDeviceInitSetPnpPowerEventCallbacks(device_init, &pnp_power_callbacks);

    acm_set_io_in_caller_callback(device_init, acm_evt_io_in_caller);

    WDF_FILEOBJECT_CONFIG_INIT(&file_config, acm_evt_file_create, acm_evt_file_close,
                               acm_evt_file_cleanup);
    WDF_OBJECT_ATTRIBUTES_INIT(&file_attributes);
    file_attributes.SynchronizationScope = WdfSynchronizationScopeNone;
    WdfDeviceInitSetFileObjectConfig(device_init, &file_config, &file_attributes);
}

NTSTATUS acm_evt_device_add(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit)
{
    WDF_OBJECT_ATTRIBUTES device_attributes;
    WDFDEVICE device;
    PACM_FDO_DATA fdx;
    NTSTATUS status;

    UNREFERENCED_PARAMETER(Driver);
    DC_PRINT(DC_LEVEL_TRACE, "%s: entered\n", __FUNCTION__);

    status = acm_device_assign_name(DeviceInit);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    acm_device_init_configure(DeviceInit);

    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&device_attributes, ACM_FDO_DATA);
    device_attributes.EvtCleanupCallback = acm_evt_device_context_cleanup;
    status = WdfDeviceCreate(&DeviceInit, &device_attributes, &device);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "WdfDeviceCreate failed with status %lx\n", status);
        return status;
    }

    /* From here on a failure leaves the device to the framework, which
       deletes it; its cleanup callback undoes what was done. */
    fdx = acm_fdo_get_data(device);
    RtlZeroMemory(fdx, sizeof(*fdx));
    fdx->common.device = device;

    status = acm_device_get_setup_class(fdx);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = acm_create_queues(fdx);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: acm_create_queues failed 0x%lx\n", __FUNCTION__, status);
        return status;
    }
    if (fdx->is_modem) {
        status = acm_symlink_init(fdx);
        if (!NT_SUCCESS(status)) {
            DC_PRINT(DC_LEVEL_ERROR, "%s: acm_symlink_init failed %lx\n", __FUNCTION__, status);
            return status;
        }
    }
    status = fdx->is_serial_ctrl ? acm_serial_ctrl_create_ifc(fdx) : acm_do_external_naming(fdx);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: external naming failed %lx\n", __FUNCTION__, status);
        return status;
    }

    DC_PRINT(DC_LEVEL_TRACE, "%s: done\n", __FUNCTION__);
    return STATUS_SUCCESS;
}

/*
 * "\Device\<service>_AcmSerial<n>". The number advances on every call, so a
 * number is never reused while the driver stays loaded.
 */
NTSTATUS acm_device_assign_name(PWDFDEVICE_INIT device_init)
{
    WCHAR buffer[128];
    UNICODE_STRING name = { 0, sizeof(buffer), buffer };
    ULONG number = device_counter++;
    NTSTATUS status;

    status = RtlUnicodeStringPrintf(&name, L"%ws%ws%ws%d", L"\\Device\\", service_name.Buffer,
                                    L"_AcmSerial", number);
    if (NT_SUCCESS(status)) {
        status = WdfDeviceInitAssignName(device_init, &name);
    }
    if (NT_SUCCESS(status)) {
        status = WdfDeviceInitAssignSDDLString(device_init, &acm_device_sddl);
    }
    return status;
}

/* Whole-string, case-insensitive match of a class-name property that holds
   at most `size` bytes and may end early at a NUL. */
static BOOLEAN acm_class_name_is(PCWSTR class_name, size_t size, PCWSTR expected)
{
    UNICODE_STRING actual;
    UNICODE_STRING wanted;
    USHORT chars = 0;

    while (chars < size / sizeof(WCHAR) && class_name[chars] != UNICODE_NULL) {
        chars++;
    }
    actual.Buffer = (PWCH)class_name;
    actual.Length = actual.MaximumLength = (USHORT)(chars * sizeof(WCHAR));
    RtlInitUnicodeString(&wanted, expected);
    return RtlEqualUnicodeString(&actual, &wanted, TRUE);
}

NTSTATUS acm_device_get_setup_class(PACM_FDO_DATA fdx)
{
    WDF_OBJECT_ATTRIBUTES attributes;
    WDFMEMORY memory;
    PCWSTR class_name;
    size_t size;
    NTSTATUS status;

    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = fdx->common.device;
    status = WdfDeviceAllocAndQueryProperty(fdx->common.device, DevicePropertyClassName,
                                            NonPagedPool, &attributes, &memory);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: WdfDeviceAllocAndQueryProperty failed %lx\n", __FUNCTION__,
                 status);
        return status;
    }

    class_name = (PCWSTR)WdfMemoryGetBuffer(memory, &size);
    fdx->is_modem = acm_class_name_is(class_name, size, L"Modem");
    fdx->is_serial_ctrl = acm_class_name_is(class_name, size, L"System");
    DC_PRINT(DC_LEVEL_INFO, "%s: class_name %ws, is modem %ld, is extra control device %ld\n",
             __FUNCTION__, class_name, (LONG)fdx->is_modem, (LONG)fdx->is_serial_ctrl);

    WdfObjectDelete(memory);
    return STATUS_SUCCESS;
}

/* With no callback given, the common layer's own one locks the user areas
   of its controls. */
VOID acm_set_io_in_caller_callback(PWDFDEVICE_INIT device_init,
                                   PFN_WDF_IO_IN_CALLER_CONTEXT callback)
{
    WdfDeviceInitSetIoInCallerContextCallback(
        device_init, callback != NULL ? callback : common_class_evt_io_in_caller);
}

/* The device object is being deleted: take back its names. */
VOID acm_evt_device_context_cleanup(WDFOBJECT Device)
{
    PACM_FDO_DATA fdx = acm_fdo_get_data((WDFDEVICE)Device);

    DC_PRINT(DC_LEVEL_TRACE, "%s: entered\n", __FUNCTION__);
    if (!fdx->is_serial_ctrl) {
        acm_undo_external_naming(fdx);
    }
    if (fdx->is_modem) {
        acm_symlink_deinit(fdx);
    }
}
