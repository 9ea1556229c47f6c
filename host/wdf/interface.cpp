// Names the framework manages for a device: symbolic links (removed with the
// device), device interfaces (registered at once, enabled while the device
// is started) and interfaces queried from the drivers below.
#include "host/wdf/internal.h"

#include "host/io/iomgr.h"
#include "host/io/pnp.h"
#include "host/kernel/verifier.h"
#include "host/rtl/strings.h"

namespace host::wdf {

namespace {

FxDevice::Interface* find_interface(FxDevice* device, const GUID& guid, PCUNICODE_STRING reference)
{
    std::u16string ref = host::to_u16(reference);
    for (FxDevice::Interface& each : device->interfaces)
        if (each.guid == guid && host::iequals(each.reference, ref)) return &each;
    return nullptr;
}

bool started(const FxDevice* device) { return device->pnp_state == PnpState::started; }

}  // namespace

void set_device_interfaces(FxDevice* device, bool enable)
{
    for (const FxDevice::Interface& each : device->interfaces)
        if (each.enabled) host::io::set_interface_state(each.link, enable);
}

void remove_symbolic_links(FxDevice* device)
{
    for (const std::u16string& link : device->symbolic_links) host::io::delete_symbolic_link(link);
    device->symbolic_links.clear();
}

}  // namespace host::wdf

using namespace host::wdf;

WDFAPI NTSTATUS WdfDeviceCreateDeviceInterface(WDFDEVICE Device, CONST GUID* InterfaceClassGUID,
                                               PCUNICODE_STRING ReferenceString)
{
    host::verify_irql_at_most(PASSIVE_LEVEL, "WdfDeviceCreateDeviceInterface");
    FxDevice* device = resolve<FxDevice>(Device, "WdfDeviceCreateDeviceInterface");
    if (device == nullptr) return STATUS_INVALID_HANDLE;
    if (InterfaceClassGUID == nullptr) return STATUS_INVALID_PARAMETER;
    if (find_interface(device, *InterfaceClassGUID, ReferenceString) != nullptr) return STATUS_SUCCESS;
    if (host::verifier_allocation_fails("WdfDeviceCreateDeviceInterface")) return STATUS_INSUFFICIENT_RESOURCES;
    std::u16string link;
    NTSTATUS status = host::io::register_interface(device->pdo, *InterfaceClassGUID, ReferenceString, &link);
    if (!NT_SUCCESS(status)) return status;
    device->interfaces.push_back({*InterfaceClassGUID, host::to_u16(ReferenceString), link, true});
    if (started(device)) host::io::set_interface_state(link, true);
    return STATUS_SUCCESS;
}

WDFAPI VOID WdfDeviceSetDeviceInterfaceState(WDFDEVICE Device, CONST GUID* InterfaceClassGUID,
                                             PCUNICODE_STRING ReferenceString, BOOLEAN IsInterfaceEnabled)
{
    host::verify_irql_at_most(PASSIVE_LEVEL, "WdfDeviceSetDeviceInterfaceState");
    FxDevice* device = resolve<FxDevice>(Device, "WdfDeviceSetDeviceInterfaceState");
    if (device == nullptr || InterfaceClassGUID == nullptr) return;
    FxDevice::Interface* found = find_interface(device, *InterfaceClassGUID, ReferenceString);
    if (found == nullptr) return;
    found->enabled = IsInterfaceEnabled;
    if (started(device)) host::io::set_interface_state(found->link, IsInterfaceEnabled);
}

WDFAPI NTSTATUS WdfDeviceRetrieveDeviceInterfaceString(WDFDEVICE Device, CONST GUID* InterfaceClassGUID,
                                                       PCUNICODE_STRING ReferenceString, WDFSTRING String)
{
    host::verify_irql_at_most(PASSIVE_LEVEL, "WdfDeviceRetrieveDeviceInterfaceString");
    FxDevice* device = resolve<FxDevice>(Device, "WdfDeviceRetrieveDeviceInterfaceString");
    if (device == nullptr) return STATUS_INVALID_HANDLE;
    if (InterfaceClassGUID == nullptr) return STATUS_INVALID_PARAMETER;
    FxDevice::Interface* found = find_interface(device, *InterfaceClassGUID, ReferenceString);
    if (found == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    return assign_string(String, found->link, "WdfDeviceRetrieveDeviceInterfaceString");
}

// IRP_MN_QUERY_INTERFACE down the device's stack: the bus driver's handler
// of the physical device object answers.
WDFAPI NTSTATUS WdfFdoQueryForInterface(WDFDEVICE Fdo, LPCGUID InterfaceType, PINTERFACE Interface, USHORT Size,
                                        USHORT Version, PVOID InterfaceSpecificData)
{
    host::verify_irql_at_most(PASSIVE_LEVEL, "WdfFdoQueryForInterface");
    FxDevice* device = resolve<FxDevice>(Fdo, "WdfFdoQueryForInterface");
    if (device == nullptr) return STATUS_INVALID_HANDLE;
    if (InterfaceType == nullptr || Interface == nullptr || Size < sizeof(INTERFACE))
        return STATUS_INVALID_PARAMETER;
    return host::io::query_interface(device->wdm, *InterfaceType, Size, Version, Interface, InterfaceSpecificData);
}
