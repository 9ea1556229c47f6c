/*
 * External names of a port: the DOS-devices link named after "PortName",
 * the SERIALCOMM device-map value, the COM-port device interface and the
 * system's serial-port count. The serial control device instead gets only
 * a private device interface.
 */
#include <initguid.h>   /* this file defines GUID_DEVINTERFACE_COMPORT */
#include "acm_serial.h"
#include <wdmguid.h>

DECLARE_CONST_UNICODE_STRING(acm_port_name_value, L"PortName");
#define ACM_SERIALCOMM L"SERIALCOMM"
#define ACM_NAME_POOL_TAG 0x6E6D6341   /* 'Acmn' */

/* {CD56B1BD-C817-4E15-88DE-BC4AF1202DCD} */
static const GUID serial_ctrl_interface_guid = {
    0xcd56b1bd, 0xc817, 0x4e15, { 0x88, 0xde, 0xbc, 0x4a, 0xf1, 0x20, 0x2d, 0xcd }
};

/*
 * A framework string's buffer need not end in a NUL. The device keeps a
 * terminated copy, made by the counted length in framework memory of its
 * own, because the names serve as registry value names and in traces.
 */
static NTSTATUS acm_keep_name(WDFDEVICE device, WDFSTRING string, PUNICODE_STRING name)
{
    WDF_OBJECT_ATTRIBUTES attributes;
    UNICODE_STRING counted;
    WDFMEMORY memory;
    PVOID buffer;
    NTSTATUS status;

    WdfStringGetUnicodeString(string, &counted);
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = device;
    status = WdfMemoryCreate(&attributes, NonPagedPool, ACM_NAME_POOL_TAG,
                             counted.Length + sizeof(WCHAR), &memory, &buffer);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: WdfMemoryCreate failed %lx\n", "acm_do_external_naming", status);
        return status;
    }
    RtlCopyMemory(buffer, counted.Buffer, counted.Length);
    ((PWCH)buffer)[counted.Length / sizeof(WCHAR)] = UNICODE_NULL;
    name->Buffer = (PWCH)buffer;
    name->Length = counted.Length;
    name->MaximumLength = (USHORT)(counted.Length + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

/*
 * Everything up to the device interface must succeed before the count is
 * touched, so a failed naming leaves only what the framework removes with
 * the device (the link).
 */
NTSTATUS acm_do_external_naming(PACM_FDO_DATA fdx)
{
    WDFDEVICE device = fdx->common.device;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDFSTRING device_name_string = NULL;
    WDFSTRING port_name_string = NULL;
    WCHAR port_buffer[64 + 1];
    UNICODE_STRING port = { 0, 64 * sizeof(WCHAR), port_buffer };
    WCHAR dos_buffer[128 + 1] = { 0 };   /* the extra unit keeps it terminated for the trace */
    UNICODE_STRING dos_name = { 0, 128 * sizeof(WCHAR), dos_buffer };
    NTSTATUS status;

    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = device;

    status = WdfStringCreate(NULL, &attributes, &device_name_string);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: WdfStringCreate failed %lx\n", __FUNCTION__, status);
        goto failed;
    }
    status = WdfDeviceRetrieveDeviceName(device, device_name_string);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: WdfDeviceRetrieveDeviceName failed %lx\n", __FUNCTION__,
                 status);
        goto failed;
    }
    status = dc_registry_read_device_unicode_str(device, &acm_port_name_value, &port);
    if (!NT_SUCCESS(status)) {
        goto failed;   /* the reader has reported it */
    }
    status = WdfStringCreate(&port, &attributes, &port_name_string);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: WdfStringCreate failed %lx\n", __FUNCTION__, status);
        goto failed;
    }
    status = acm_keep_name(device, device_name_string, &fdx->device_name);
    if (NT_SUCCESS(status)) {
        status = acm_keep_name(device, port_name_string, &fdx->port_name);
    }
    if (!NT_SUCCESS(status)) {
        goto failed;
    }

    status = RtlUnicodeStringPrintf(&dos_name, L"%ws%wZ", L"\\DosDevices\\", &fdx->port_name);
    if (!NT_SUCCESS(status)) {
        goto failed;
    }
    DC_PRINT(DC_LEVEL_INFO, "%s: NT name %ws, DOS name %ws\n", __FUNCTION__,
             fdx->device_name.Buffer, dos_name.Buffer);

    status = WdfDeviceCreateSymbolicLink(device, &dos_name);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: WdfDeviceCreateSymbolicLink failed %lx\n", __FUNCTION__,
                 status);
        goto failed;
    }
    fdx->symbolic_link_created = TRUE;

    status = RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, ACM_SERIALCOMM, fdx->device_name.Buffer,
                                   REG_SZ, fdx->port_name.Buffer, fdx->port_name.Length + sizeof(WCHAR));
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: Couldn't create the devmap entry, %lx\n", __FUNCTION__,
                 status);
        goto failed;
    }
    fdx->devmap_entry_created = TRUE;

    status = WdfDeviceCreateDeviceInterface(device, &GUID_DEVINTERFACE_COMPORT, NULL);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: Couldn't register class association\n", __FUNCTION__);
        goto failed;
    }

    IoGetConfigurationInformation()->SerialCount++;
    fdx->serial_count_incremented = TRUE;
    DC_PRINT(DC_LEVEL_TRACE, "%s: ok\n", __FUNCTION__);
    return STATUS_SUCCESS;

failed:
    DC_PRINT(DC_LEVEL_ERROR, "%s: failed %lx\n", __FUNCTION__, status);
    if (fdx->devmap_entry_created) {
        RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, ACM_SERIALCOMM, fdx->device_name.Buffer);
    }
    RtlZeroMemory(&fdx->device_name, sizeof(fdx->device_name));
    RtlZeroMemory(&fdx->port_name, sizeof(fdx->port_name));
    if (port_name_string != NULL) {
        WdfObjectDelete(port_name_string);
    }
    if (device_name_string != NULL) {
        WdfObjectDelete(device_name_string);
    }
    return status;
}

/* Runs once, from the device's cleanup; the link and the interfaces go
   with the device object. */
VOID acm_undo_external_naming(PACM_FDO_DATA fdx)
{
    DC_PRINT(DC_LEVEL_TRACE, "%s: fdx %p, port %ws\n", __FUNCTION__, fdx, fdx->device_name.Buffer);
    if (fdx->device_name.Buffer != NULL && fdx->devmap_entry_created) {
        if (fdx->serial_count_incremented) {
            IoGetConfigurationInformation()->SerialCount--;
        }
        RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, ACM_SERIALCOMM, fdx->device_name.Buffer);
    }
}

NTSTATUS acm_serial_ctrl_create_ifc(PACM_FDO_DATA fdx)
{
    NTSTATUS status;

    status = WdfDeviceCreateDeviceInterface(fdx->common.device, &serial_ctrl_interface_guid, NULL);
    if (!NT_SUCCESS(status)) {
        DC_PRINT(DC_LEVEL_ERROR, "%s: WdfDeviceCreateDeviceInterface failed, status %lx\n",
                 __FUNCTION__, status);
    }
    return status;
}
