/*
 * Driver entry and the driver-wide state every device shares.
 */
#include "acm_serial.h"

/* One unit beyond the 64 the name may use, never written, so that the
   name stays terminated even when it fills the counted string. */
static WCHAR service_name_buffer[64 + 1];
UNICODE_STRING service_name = { 0, 64 * sizeof(WCHAR), service_name_buffer };
ULONG device_counter;

/* The component after the last backslash of a registry path. */
static PCWSTR acm_registry_path_leaf(PCUNICODE_STRING registry_path)
{
    PCWSTR leaf = registry_path->Buffer;

    for (USHORT i = 0; i < registry_path->Length / sizeof(WCHAR); i++) {
        if (registry_path->Buffer[i] == L'\\') {
            leaf = &registry_path->Buffer[i + 1];
        }
    }
    return leaf;
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_DRIVER_CONFIG config;
    PCWSTR name;
    NTSTATUS status;

    DC_PRINT(DC_LEVEL_INFO, "Tarvex CDC ACM OBEX Driver %s %s. Built %s %s\n", DC_DRIVER_VERSION,
             "", __DATE__, __TIME__);

    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.EvtCleanupCallback = acm_evt_driver_context_cleanup;
    WDF_DRIVER_CONFIG_INIT(&config, acm_evt_device_add);

    status = WdfDriverCreate(DriverObject, RegistryPath, &attributes, &config, WDF_NO_HANDLE);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: WdfDriverCreate failed with status 0x%x\n", __FUNCTION__,
                 status);
        return status;
    }

    dc_driver_debug_level_init(WdfGetDriver());

    name = acm_registry_path_leaf(RegistryPath);
    DC_PRINT(DC_LEVEL_INFO, "%s: Service name is [%ws]\n", __FUNCTION__, name);
    status = RtlUnicodeStringPrintf(&service_name, L"%ws", name);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: RtlUnicodeStringPrintf failed with status 0x%x\n",
                 __FUNCTION__, status);
        return status;
    }

    status = acm_devlist_init();
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: acm_devlist_init failed, 0x%lx\n", __FUNCTION__, status);
    }
    return status;
}

/* The list lock goes with the driver object; every device has already
   taken its own record out of dev_list. */
VOID acm_evt_driver_context_cleanup(WDFOBJECT Driver)
{
    DC_PRINT(DC_LEVEL_INFO, "<---> UNLOADED %p [%s():%d]\n", Driver, __FUNCTION__, __LINE__);
}
