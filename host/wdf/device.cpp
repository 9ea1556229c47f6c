// Device initialization and the framework device: WdfDeviceCreate makes the
// WDM function device object, attaches it over the physical device object
// and installs the framework's PnP/power handler on it. The WDFDEVICE_INIT
// lives only during EvtDriverDeviceAdd.
#include "host/wdf/internal.h"

#include "host/io/iomgr.h"
#include "host/io/pnp.h"
#include "host/kernel/verifier.h"
#include "host/rtl/strings.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>

// The device initialization record (opaque to the driver).
struct WDFDEVICE_INIT {
    host::wdf::FxDriver* driver = nullptr;
    _DEVICE_OBJECT* pdo = nullptr;
    host::wdf::FxDevice* device = nullptr;   // set by WdfDeviceCreate

    std::u16string name;
    std::string sddl;
    bool exclusive = false;
    DEVICE_TYPE device_type = FILE_DEVICE_UNKNOWN;
    ULONG characteristics = FILE_DEVICE_SECURE_OPEN;
    WDF_DEVICE_IO_TYPE io_type = WdfDeviceIoBuffered;
    bool power_policy_owner = true;
    WDF_PNPPOWER_EVENT_CALLBACKS pnp{};
    WDF_FILEOBJECT_CONFIG file_config{};
    WDF_OBJECT_ATTRIBUTES file_attributes{};
    WDF_OBJECT_ATTRIBUTES request_attributes{};
    PFN_WDF_IO_IN_CALLER_CONTEXT io_in_caller_context = nullptr;
};

namespace host::wdf {

namespace {

std::mutex g_devices_lock;
std::unordered_map<const _DEVICE_OBJECT*, FxDevice*>& devices()
{
    static std::unordered_map<const _DEVICE_OBJECT*, FxDevice*> map;
    return map;
}

// The device's default I/O target: the device it is attached to.
struct FxIoTarget : FxObject {
    static constexpr ObjectKind kKind = ObjectKind::iotarget;
    FxIoTarget() : FxObject(kKind) {}
    FxDevice* device = nullptr;
};

WDFDEVICE_INIT* check_init(PWDFDEVICE_INIT init, const char* api)
{
    if (init == nullptr || init->device != nullptr) {
        host::verifier_report("device-init-misused", std::string(api) + ": the WDFDEVICE_INIT is null or was "
                                                                        "already used by WdfDeviceCreate");
        return nullptr;
    }
    return init;
}

ULONG io_flags(WDF_DEVICE_IO_TYPE type)
{
    switch (type) {
    case WdfDeviceIoBuffered: return DO_BUFFERED_IO;
    case WdfDeviceIoDirect: return DO_DIRECT_IO;
    default: return 0;
    }
}

void copy_configuration(FxDevice* device, const WDFDEVICE_INIT& init)
{
    device->driver = init.driver;
    device->pnp = init.pnp;
    device->file_config = init.file_config;
    device->file_attributes = init.file_attributes;
    device->request_attributes = init.request_attributes;
    device->io_in_caller_context = init.io_in_caller_context;
    device->io_type = init.io_type == WdfDeviceIoUndefined ? WdfDeviceIoBuffered : init.io_type;
    device->power_policy_owner = init.power_policy_owner;
}

NTSTATUS create_wdm_device(FxDevice* device, const WDFDEVICE_INIT& init)
{
    _DEVICE_OBJECT* fdo = nullptr;
    NTSTATUS status = host::io::create_device(init.driver->wdm, init.name, init.device_type, init.characteristics,
                                              init.exclusive, &fdo);
    if (!NT_SUCCESS(status)) return status;
    fdo->sddl = init.sddl;
    fdo->flags |= io_flags(device->io_type) | DO_POWER_PAGABLE;
    host::io::attach(fdo, init.pdo);
    device->wdm = fdo;
    device->attached = fdo->lower;
    device->pdo = init.pdo;
    {
        std::lock_guard guard(g_devices_lock);
        devices()[fdo] = device;
    }
    device->handler = make_device_handler(device);
    fdo->handler = device->handler;
    return STATUS_SUCCESS;
}

}  // namespace

FxDevice* device_of(_DEVICE_OBJECT* fdo)
{
    std::lock_guard guard(g_devices_lock);
    auto it = devices().find(fdo);
    return it != devices().end() ? it->second : nullptr;
}

// The links and interfaces go, then the WDM device object.
void FxDevice::dispose()
{
    if (wdm == nullptr) return;
    set_device_interfaces(this, false);
    interfaces.clear();
    remove_symbolic_links(this);
    {
        std::lock_guard guard(g_devices_lock);
        devices().erase(wdm);
    }
    wdm->handler = nullptr;
    host::io::delete_device(wdm);
}

FxDevice::~FxDevice() { delete handler; }

NTSTATUS add_device(FxDriver* driver, _DEVICE_OBJECT* pdo)
{
    if (driver->config.EvtDriverDeviceAdd == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    auto init = std::make_unique<WDFDEVICE_INIT>();
    init->driver = driver;
    init->pdo = pdo;
    PWDFDEVICE_INIT handed_out = init.get();
    WDFDRIVER handle = driver->handle_as<WDFDRIVER>();
    NTSTATUS status = call_driver("EvtDriverDeviceAdd",
                                  [&] { return driver->config.EvtDriverDeviceAdd(handle, handed_out); });
    if (NT_SUCCESS(status) && init->device == nullptr) status = STATUS_INVALID_DEVICE_STATE;
    // A failed add leaves nothing behind: the framework deletes the device
    // it created (its cleanup callbacks run).
    if (!NT_SUCCESS(status) && init->device != nullptr) delete_object(init->device);
    return status;
}

}  // namespace host::wdf

using namespace host::wdf;

// --- WDFDEVICE_INIT ------------------------------------------------------------

WDFAPI NTSTATUS WdfDeviceInitAssignName(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING DeviceName)
{
    WDFDEVICE_INIT* init = check_init(DeviceInit, "WdfDeviceInitAssignName");
    if (init == nullptr) return STATUS_INVALID_PARAMETER;
    // The framework keeps a copy of the name.
    if (DeviceName != nullptr && host::verifier_allocation_fails("WdfDeviceInitAssignName"))
        return STATUS_INSUFFICIENT_RESOURCES;
    init->name = DeviceName != nullptr ? host::to_u16(DeviceName) : std::u16string();
    return STATUS_SUCCESS;
}

WDFAPI NTSTATUS WdfDeviceInitAssignSDDLString(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING SDDLString)
{
    WDFDEVICE_INIT* init = check_init(DeviceInit, "WdfDeviceInitAssignSDDLString");
    if (init == nullptr) return STATUS_INVALID_PARAMETER;
    init->sddl = SDDLString != nullptr ? host::to_utf8(host::view(*SDDLString)) : std::string();
    return STATUS_SUCCESS;
}

WDFAPI VOID WdfDeviceInitSetExclusive(PWDFDEVICE_INIT DeviceInit, BOOLEAN IsExclusive)
{
    if (WDFDEVICE_INIT* init = check_init(DeviceInit, "WdfDeviceInitSetExclusive")) init->exclusive = IsExclusive;
}

WDFAPI VOID WdfDeviceInitSetDeviceType(PWDFDEVICE_INIT DeviceInit, DEVICE_TYPE DeviceType)
{
    if (WDFDEVICE_INIT* init = check_init(DeviceInit, "WdfDeviceInitSetDeviceType")) init->device_type = DeviceType;
}

WDFAPI VOID WdfDeviceInitSetCharacteristics(PWDFDEVICE_INIT DeviceInit, ULONG DeviceCharacteristics,
                                            BOOLEAN OrInValues)
{
    WDFDEVICE_INIT* init = check_init(DeviceInit, "WdfDeviceInitSetCharacteristics");
    if (init == nullptr) return;
    init->characteristics = OrInValues ? init->characteristics | DeviceCharacteristics : DeviceCharacteristics;
}

WDFAPI VOID WdfDeviceInitSetIoType(PWDFDEVICE_INIT DeviceInit, WDF_DEVICE_IO_TYPE IoType)
{
    if (WDFDEVICE_INIT* init = check_init(DeviceInit, "WdfDeviceInitSetIoType")) init->io_type = IoType;
}

WDFAPI VOID WdfDeviceInitSetRequestAttributes(PWDFDEVICE_INIT DeviceInit, PWDF_OBJECT_ATTRIBUTES RequestAttributes)
{
    WDFDEVICE_INIT* init = check_init(DeviceInit, "WdfDeviceInitSetRequestAttributes");
    if (init != nullptr && RequestAttributes != nullptr) init->request_attributes = *RequestAttributes;
}

WDFAPI VOID WdfDeviceInitSetPnpPowerEventCallbacks(PWDFDEVICE_INIT DeviceInit,
                                                   PWDF_PNPPOWER_EVENT_CALLBACKS PnpPowerEventCallbacks)
{
    WDFDEVICE_INIT* init = check_init(DeviceInit, "WdfDeviceInitSetPnpPowerEventCallbacks");
    if (init != nullptr && PnpPowerEventCallbacks != nullptr) init->pnp = *PnpPowerEventCallbacks;
}

WDFAPI VOID WdfDeviceInitSetIoInCallerContextCallback(PWDFDEVICE_INIT DeviceInit,
                                                      PFN_WDF_IO_IN_CALLER_CONTEXT EvtIoInCallerContext)
{
    WDFDEVICE_INIT* init = check_init(DeviceInit, "WdfDeviceInitSetIoInCallerContextCallback");
    if (init != nullptr) init->io_in_caller_context = EvtIoInCallerContext;
}

WDFAPI VOID WdfDeviceInitSetFileObjectConfig(PWDFDEVICE_INIT DeviceInit, PWDF_FILEOBJECT_CONFIG FileObjectConfig,
                                             PWDF_OBJECT_ATTRIBUTES FileObjectAttributes)
{
    WDFDEVICE_INIT* init = check_init(DeviceInit, "WdfDeviceInitSetFileObjectConfig");
    if (init == nullptr || FileObjectConfig == nullptr) return;
    init->file_config = *FileObjectConfig;
    if (FileObjectAttributes != nullptr) init->file_attributes = *FileObjectAttributes;
}

WDFAPI VOID WdfDeviceInitSetPowerPolicyOwnership(PWDFDEVICE_INIT DeviceInit, BOOLEAN IsPowerPolicyOwner)
{
    WDFDEVICE_INIT* init = check_init(DeviceInit, "WdfDeviceInitSetPowerPolicyOwnership");
    if (init != nullptr) init->power_policy_owner = IsPowerPolicyOwner;
}

WDFAPI PDEVICE_OBJECT WdfFdoInitWdmGetPhysicalDevice(PWDFDEVICE_INIT DeviceInit)
{
    WDFDEVICE_INIT* init = check_init(DeviceInit, "WdfFdoInitWdmGetPhysicalDevice");
    return init != nullptr ? init->pdo : nullptr;
}

// --- the device --------------------------------------------------------------

WDFAPI NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT* DeviceInit, PWDF_OBJECT_ATTRIBUTES DeviceAttributes,
                                WDFDEVICE* Device)
{
    *Device = nullptr;
    host::verify_irql_at_most(PASSIVE_LEVEL, "WdfDeviceCreate");
    WDFDEVICE_INIT* init = check_init(DeviceInit != nullptr ? *DeviceInit : nullptr, "WdfDeviceCreate");
    if (init == nullptr) return STATUS_INVALID_PARAMETER;

    FxDevice* device = nullptr;
    NTSTATUS status = create_object(DeviceAttributes, init->driver, "WdfDeviceCreate", &device);
    if (!NT_SUCCESS(status)) return status;
    device->driver_may_delete = false;
    copy_configuration(device, *init);

    FxIoTarget* target = nullptr;
    status = create_object(nullptr, device, "WdfDeviceCreate", &target);
    if (NT_SUCCESS(status)) {
        target->driver_may_delete = false;
        target->device = device;
        device->io_target = target;
        status = create_wdm_device(device, *init);
    }
    if (!NT_SUCCESS(status)) {
        if (target != nullptr) discard_object(target);
        discard_object(device);
        return status;
    }
    init->device = device;
    *DeviceInit = nullptr;
    *Device = device->handle_as<WDFDEVICE>();
    return STATUS_SUCCESS;
}

WDFAPI WDFDRIVER WdfDeviceGetDriver(WDFDEVICE Device)
{
    FxDevice* device = resolve<FxDevice>(Device, "WdfDeviceGetDriver");
    return device != nullptr ? device->driver->handle_as<WDFDRIVER>() : nullptr;
}

WDFAPI PDEVICE_OBJECT WdfDeviceWdmGetDeviceObject(WDFDEVICE Device)
{
    FxDevice* device = resolve<FxDevice>(Device, "WdfDeviceWdmGetDeviceObject");
    return device != nullptr ? device->wdm : nullptr;
}

WDFAPI PDEVICE_OBJECT WdfDeviceWdmGetAttachedDevice(WDFDEVICE Device)
{
    FxDevice* device = resolve<FxDevice>(Device, "WdfDeviceWdmGetAttachedDevice");
    return device != nullptr ? device->attached : nullptr;
}

WDFAPI PDEVICE_OBJECT WdfDeviceWdmGetPhysicalDevice(WDFDEVICE Device)
{
    FxDevice* device = resolve<FxDevice>(Device, "WdfDeviceWdmGetPhysicalDevice");
    return device != nullptr ? device->pdo : nullptr;
}

WDFAPI WDFDEVICE WdfWdmDeviceGetWdfDeviceHandle(PDEVICE_OBJECT DeviceObject)
{
    FxDevice* device = device_of(DeviceObject);
    return device != nullptr ? device->handle_as<WDFDEVICE>() : nullptr;
}

WDFAPI WDFIOTARGET WdfDeviceGetIoTarget(WDFDEVICE Device)
{
    FxDevice* device = resolve<FxDevice>(Device, "WdfDeviceGetIoTarget");
    return device != nullptr ? device->io_target->handle_as<WDFIOTARGET>() : nullptr;
}

WDFAPI PDEVICE_OBJECT WdfIoTargetWdmGetTargetDeviceObject(WDFIOTARGET IoTarget)
{
    FxIoTarget* target = resolve<FxIoTarget>(IoTarget, "WdfIoTargetWdmGetTargetDeviceObject");
    return target != nullptr ? target->device->attached : nullptr;
}

WDFAPI WDFDEVICE WdfIoTargetGetDevice(WDFIOTARGET IoTarget)
{
    FxIoTarget* target = resolve<FxIoTarget>(IoTarget, "WdfIoTargetGetDevice");
    return target != nullptr ? target->device->handle_as<WDFDEVICE>() : nullptr;
}

WDFAPI NTSTATUS WdfDeviceRetrieveDeviceName(WDFDEVICE Device, WDFSTRING String)
{
    host::verify_irql_at_most(PASSIVE_LEVEL, "WdfDeviceRetrieveDeviceName");
    FxDevice* device = resolve<FxDevice>(Device, "WdfDeviceRetrieveDeviceName");
    if (device == nullptr) return STATUS_INVALID_HANDLE;
    if (device->wdm->name.empty()) return STATUS_INVALID_DEVICE_STATE;
    return assign_string(String, device->wdm->name, "WdfDeviceRetrieveDeviceName");
}

WDFAPI NTSTATUS WdfDeviceCreateSymbolicLink(WDFDEVICE Device, PCUNICODE_STRING SymbolicLinkName)
{
    host::verify_irql_at_most(PASSIVE_LEVEL, "WdfDeviceCreateSymbolicLink");
    FxDevice* device = resolve<FxDevice>(Device, "WdfDeviceCreateSymbolicLink");
    if (device == nullptr) return STATUS_INVALID_HANDLE;
    if (SymbolicLinkName == nullptr || SymbolicLinkName->Length == 0) return STATUS_INVALID_PARAMETER;
    if (device->wdm->name.empty()) return STATUS_INVALID_DEVICE_STATE;   // a link needs a named device
    // The framework keeps a copy of the link's name, to delete it with the device.
    if (host::verifier_allocation_fails("WdfDeviceCreateSymbolicLink")) return STATUS_INSUFFICIENT_RESOURCES;
    std::u16string link = host::to_u16(SymbolicLinkName);
    NTSTATUS status = host::io::create_symbolic_link(link, device->wdm->name);
    if (NT_SUCCESS(status)) device->symbolic_links.push_back(link);
    return status;
}

namespace {

// The property of the device's physical device object; *device, if asked
// for, receives the device.
NTSTATUS query_property(WDFDEVICE handle, DEVICE_REGISTRY_PROPERTY property, const char* api, FxDevice** device,
                        std::vector<uint8_t>* value)
{
    host::verify_irql_at_most(PASSIVE_LEVEL, api);
    FxDevice* fx = resolve<FxDevice>(handle, api);
    if (fx == nullptr) return STATUS_INVALID_HANDLE;
    if (device != nullptr) *device = fx;
    return host::io::device_property(*fx->pdo->node, property, value);
}

}  // namespace

WDFAPI NTSTATUS WdfDeviceQueryProperty(WDFDEVICE Device, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                       ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength)
{
    *ResultLength = 0;
    std::vector<uint8_t> value;
    NTSTATUS status = query_property(Device, DeviceProperty, "WdfDeviceQueryProperty", nullptr, &value);
    if (!NT_SUCCESS(status)) return status;
    *ResultLength = static_cast<ULONG>(value.size());
    if (BufferLength < value.size()) return STATUS_BUFFER_TOO_SMALL;
    if (PropertyBuffer == nullptr) return STATUS_INVALID_PARAMETER;
    std::memcpy(PropertyBuffer, value.data(), value.size());
    return STATUS_SUCCESS;
}

WDFAPI NTSTATUS WdfDeviceAllocAndQueryProperty(WDFDEVICE Device, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                               POOL_TYPE /*PoolType*/, PWDF_OBJECT_ATTRIBUTES PropertyMemoryAttributes,
                                               WDFMEMORY* PropertyMemory)
{
    *PropertyMemory = nullptr;
    FxDevice* device = nullptr;
    std::vector<uint8_t> value;
    NTSTATUS status = query_property(Device, DeviceProperty, "WdfDeviceAllocAndQueryProperty", &device, &value);
    if (!NT_SUCCESS(status)) return status;
    if (value.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
    return create_memory(PropertyMemoryAttributes, device, value.data(), value.size(), "WdfDeviceAllocAndQueryProperty",
                         PropertyMemory);
}

WDFAPI NTSTATUS WdfDeviceOpenRegistryKey(WDFDEVICE Device, ULONG DeviceInstanceKeyType, ACCESS_MASK DesiredAccess,
                                         PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key)
{
    *Key = nullptr;
    host::verify_irql_at_most(PASSIVE_LEVEL, "WdfDeviceOpenRegistryKey");
    FxDevice* device = resolve<FxDevice>(Device, "WdfDeviceOpenRegistryKey");
    if (device == nullptr) return STATUS_INVALID_HANDLE;
    const host::io::DeviceNode& node = *device->pdo->node;
    std::u16string path;
    switch (DeviceInstanceKeyType) {
    case PLUGPLAY_REGKEY_DEVICE: path = node.hardware_key_path(); break;
    case PLUGPLAY_REGKEY_DRIVER: path = node.driver_key_path(); break;
    default: return STATUS_INVALID_PARAMETER;
    }
    return open_key(path, DesiredAccess, KeyAttributes, device, "WdfDeviceOpenRegistryKey", Key);
}

WDFAPI WDFQUEUE WdfDeviceGetDefaultQueue(WDFDEVICE Device)
{
    FxDevice* device = resolve<FxDevice>(Device, "WdfDeviceGetDefaultQueue");
    return device != nullptr ? device->default_queue : nullptr;
}

// Records which queue receives a request type; the queue side dispatches.
WDFAPI NTSTATUS WdfDeviceConfigureRequestDispatching(WDFDEVICE Device, WDFQUEUE Queue,
                                                     WDF_REQUEST_TYPE RequestType)
{
    FxDevice* device = resolve<FxDevice>(Device, "WdfDeviceConfigureRequestDispatching");
    FxObject* queue = resolve(reinterpret_cast<WDFOBJECT>(Queue), ObjectKind::queue,
                              "WdfDeviceConfigureRequestDispatching");
    if (device == nullptr || queue == nullptr) return STATUS_INVALID_HANDLE;
    switch (RequestType) {
    case WdfRequestTypeCreate:
    case WdfRequestTypeRead:
    case WdfRequestTypeWrite:
    case WdfRequestTypeDeviceControl:
    case WdfRequestTypeDeviceControlInternal:
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    if (queue->parent != device) return STATUS_INVALID_PARAMETER;
    // One queue per request type, once.
    return device->dispatch.emplace(RequestType, Queue).second ? STATUS_SUCCESS : STATUS_WDF_BUSY;
}

// --- PnP capabilities -----------------------------------------------------------

namespace {

void merge(WDF_TRI_STATE& into, WDF_TRI_STATE value)
{
    if (value != WdfUseDefault) into = value;
}

void merge(ULONG& into, ULONG value)
{
    if (value != ULONG(-1)) into = value;
}

}  // namespace

// The framework keeps what the driver sets and reports it in the device's
// capabilities; a value left at its default keeps what an earlier call set.
WDFAPI VOID WdfDeviceSetPnpCapabilities(WDFDEVICE Device, PWDF_DEVICE_PNP_CAPABILITIES PnpCapabilities)
{
    host::verify_irql_at_most(DISPATCH_LEVEL, "WdfDeviceSetPnpCapabilities");
    FxDevice* device = resolve<FxDevice>(Device, "WdfDeviceSetPnpCapabilities");
    if (device == nullptr) return;
    if (PnpCapabilities == nullptr || PnpCapabilities->Size != sizeof(WDF_DEVICE_PNP_CAPABILITIES)) {
        host::verifier_report("structure-size-mismatch",
                              "WdfDeviceSetPnpCapabilities: PnpCapabilities is null or its Size is not "
                              "sizeof(WDF_DEVICE_PNP_CAPABILITIES)");
        return;
    }
    const WDF_DEVICE_PNP_CAPABILITIES& in = *PnpCapabilities;
    auto lock = host::sched_lock();
    WDF_DEVICE_PNP_CAPABILITIES& caps = device->pnp_capabilities;
    merge(caps.LockSupported, in.LockSupported);
    merge(caps.EjectSupported, in.EjectSupported);
    merge(caps.Removable, in.Removable);
    merge(caps.DockDevice, in.DockDevice);
    merge(caps.UniqueID, in.UniqueID);
    merge(caps.SilentInstall, in.SilentInstall);
    merge(caps.SurpriseRemovalOK, in.SurpriseRemovalOK);
    merge(caps.HardwareDisabled, in.HardwareDisabled);
    merge(caps.NoDisplayInUI, in.NoDisplayInUI);
    merge(caps.Address, in.Address);
    merge(caps.UINumber, in.UINumber);
}
