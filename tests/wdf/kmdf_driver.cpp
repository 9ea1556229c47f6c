#include "kmdf_driver.h"

#include "host/kernel/verifier.h"

#include <algorithm>

namespace wdftest {

Driver* Driver::current = nullptr;

namespace {

const char* power_name(WDF_POWER_DEVICE_STATE state)
{
    switch (state) {
    case WdfPowerDeviceD0: return "D0";
    case WdfPowerDeviceD1: return "D1";
    case WdfPowerDeviceD2: return "D2";
    case WdfPowerDeviceD3: return "D3";
    case WdfPowerDeviceD3Final: return "D3Final";
    default: return "?";
    }
}

NTSTATUS log_event(const std::string& event, WDFDEVICE device)
{
    return Driver::current->record(event, device);
}

EVT_WDF_DEVICE_PREPARE_HARDWARE prepare_hardware;
NTSTATUS prepare_hardware(WDFDEVICE device, WDFCMRESLIST, WDFCMRESLIST)
{
    return log_event("PrepareHardware", device);
}

EVT_WDF_DEVICE_RELEASE_HARDWARE release_hardware;
NTSTATUS release_hardware(WDFDEVICE device, WDFCMRESLIST) { return log_event("ReleaseHardware", device); }

EVT_WDF_DEVICE_D0_ENTRY d0_entry;
NTSTATUS d0_entry(WDFDEVICE device, WDF_POWER_DEVICE_STATE previous)
{
    return log_event(std::string("D0Entry(") + power_name(previous) + ")", device);
}

EVT_WDF_DEVICE_D0_EXIT d0_exit;
NTSTATUS d0_exit(WDFDEVICE device, WDF_POWER_DEVICE_STATE target)
{
    return log_event(std::string("D0Exit(") + power_name(target) + ")", device);
}

NTSTATUS smio_init(WDFDEVICE device) { return log_event("SelfManagedIoInit", device); }
NTSTATUS smio_suspend(WDFDEVICE device) { return log_event("SelfManagedIoSuspend", device); }
NTSTATUS smio_restart(WDFDEVICE device) { return log_event("SelfManagedIoRestart", device); }
VOID smio_flush(WDFDEVICE device) { log_event("SelfManagedIoFlush", device); }
VOID smio_cleanup(WDFDEVICE device) { log_event("SelfManagedIoCleanup", device); }
VOID surprise_removal(WDFDEVICE device) { log_event("SurpriseRemoval", device); }
NTSTATUS query_remove(WDFDEVICE device) { return log_event("QueryRemove", device); }

VOID device_cleanup(WDFOBJECT device) { log_event("DeviceCleanup", static_cast<WDFDEVICE>(device)); }
VOID device_destroy(WDFOBJECT device) { log_event("DeviceDestroy", static_cast<WDFDEVICE>(device)); }

VOID file_create(WDFDEVICE device, WDFREQUEST request, WDFFILEOBJECT /*file*/)
{
    NTSTATUS status = log_event("FileCreate", device);
    WdfRequestComplete(request, status);
}
VOID file_cleanup(WDFFILEOBJECT file) { log_event("FileCleanup", WdfFileObjectGetDevice(file)); }
VOID file_close(WDFFILEOBJECT file) { log_event("FileClose", WdfFileObjectGetDevice(file)); }

VOID driver_cleanup(WDFOBJECT) { log_event("DriverCleanup", nullptr); }
VOID driver_unload(WDFDRIVER) { log_event("DriverUnload", nullptr); }

EVT_WDF_DRIVER_DEVICE_ADD device_add;
NTSTATUS device_add(WDFDRIVER /*driver*/, PWDFDEVICE_INIT init)
{
    Driver& self = *Driver::current;
    WDF_PNPPOWER_EVENT_CALLBACKS pnp;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnp);
    pnp.EvtDevicePrepareHardware = prepare_hardware;
    pnp.EvtDeviceReleaseHardware = release_hardware;
    pnp.EvtDeviceD0Entry = d0_entry;
    pnp.EvtDeviceD0Exit = d0_exit;
    pnp.EvtDeviceSurpriseRemoval = surprise_removal;
    pnp.EvtDeviceQueryRemove = query_remove;
    if (self.self_managed_io) {
        pnp.EvtDeviceSelfManagedIoInit = smio_init;
        pnp.EvtDeviceSelfManagedIoSuspend = smio_suspend;
        pnp.EvtDeviceSelfManagedIoRestart = smio_restart;
        pnp.EvtDeviceSelfManagedIoFlush = smio_flush;
        pnp.EvtDeviceSelfManagedIoCleanup = smio_cleanup;
    }
    WdfDeviceInitSetPnpPowerEventCallbacks(init, &pnp);

    WDF_FILEOBJECT_CONFIG files;
    WDF_FILEOBJECT_CONFIG_INIT(&files, self.file_create_callback ? file_create : nullptr, file_close, file_cleanup);
    WdfDeviceInitSetFileObjectConfig(init, &files, WDF_NO_OBJECT_ATTRIBUTES);
    if (self.configure_init) self.configure_init(init);

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, TEST_DEVICE_CONTEXT);
    attributes.EvtCleanupCallback = device_cleanup;
    attributes.EvtDestroyCallback = device_destroy;
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&init, &attributes, &device);
    if (!NT_SUCCESS(status)) return status;
    self.device = device;
    device_context(device)->magic = 0xACAC;
    return log_event("DeviceAdd", device);
}

}  // namespace

NTSTATUS Driver::record(const std::string& event, WDFDEVICE device)
{
    log.push_back(event);
    auto hook = hooks.find(event.substr(0, event.find('(')));
    return hook != hooks.end() ? hook->second(device) : STATUS_SUCCESS;
}

size_t Driver::count(const std::string& event) const { return std::count(log.begin(), log.end(), event); }

std::vector<std::string> Driver::take_log()
{
    std::vector<std::string> out;
    out.swap(log);
    return out;
}

NTSTATUS Driver::DriverEntry(PDRIVER_OBJECT driver_object, PUNICODE_STRING registry_path)
{
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, device_add);
    config.EvtDriverUnload = driver_unload;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.EvtCleanupCallback = driver_cleanup;
    return WdfDriverCreate(driver_object, registry_path, &attributes, &config, &current->driver);
}

Fixture::Fixture(const host::HostOptions& options)
{
    Driver::current = &driver_;
    host_ = std::make_unique<host::Host>(options);
    host::verifier_reset();
    host::verifier_set_action(host::VerifierAction::record);
    NTSTATUS status = host_->load_driver(kService, Driver::DriverEntry);
    if (!NT_SUCCESS(status)) throw std::runtime_error("the test driver did not load");
}

Fixture::~Fixture()
{
    host_.reset();
    host::verifier_set_action(host::VerifierAction::stop);
    Driver::current = nullptr;
}

host::ChildDevice Fixture::child(host::io::DeviceHandler* pdo_handler)
{
    host::ChildDevice child;
    child.instance_path = u"USB\\VID_1234&PID_0001&MI_00\\7&1&0";
    child.class_name = u"Ports";
    child.friendly_name = u"Test Serial Port";
    child.pdo_name = u"\\Device\\USBPDO-5";
    child.hardware_id = u"USB\\VID_1234&PID_0001&MI_00";
    child.hardware_key = {{u"PortName", host::reg::string_value(u"COM7")},
                          {u"Answer", host::reg::dword_value(42)}};
    child.pdo_handler = pdo_handler;
    return child;
}

host::io::DeviceNode* Fixture::plug(host::io::DeviceHandler* pdo_handler)
{
    return host_->plug(child(pdo_handler));
}

void sleep_ms(LONGLONG ms)
{
    LARGE_INTEGER interval;
    interval.QuadPart = -ms * 10'000;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

}  // namespace wdftest
