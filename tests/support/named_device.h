// The test drivers' devices: named in \Device and reachable through a
// symbolic link, as their EvtDriverDeviceAdd creates them.
#pragma once

#include <ntddk.h>
#include <wdf.h>

namespace porttest {

// Names the device, creates it with `attributes` and links `link` to it;
// the device-init settings made before stay in force.
inline NTSTATUS create_named_device(PWDFDEVICE_INIT* device_init, PCWSTR name, PCWSTR link,
                                    PWDF_OBJECT_ATTRIBUTES attributes, WDFDEVICE* device)
{
    UNICODE_STRING device_name, link_name;
    RtlInitUnicodeString(&device_name, name);
    RtlInitUnicodeString(&link_name, link);
    NTSTATUS status = WdfDeviceInitAssignName(*device_init, &device_name);
    if (NT_SUCCESS(status))
        status = WdfDeviceCreate(device_init, attributes, device);
    if (NT_SUCCESS(status))
        status = WdfDeviceCreateSymbolicLink(*device, &link_name);
    return status;
}

}  // namespace porttest
