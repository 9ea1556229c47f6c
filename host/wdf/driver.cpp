// The framework driver object: WdfDriverCreate hooks the WDM driver object's
// AddDevice and Unload; unloading calls EvtDriverUnload and then deletes the
// driver object with everything parented to it (its cleanup callbacks run).
#include "host/wdf/fx.h"
#include "host/wdf/internal.h"

#include "host/kernel/verifier.h"
#include "host/rtl/strings.h"

namespace host::wdf {

namespace {

FxDriver* g_driver = nullptr;

void unload(FxDriver* driver)
{
    if (driver->config.EvtDriverUnload != nullptr) {
        WDFDRIVER handle = driver->handle_as<WDFDRIVER>();
        call_driver("EvtDriverUnload", [&] { driver->config.EvtDriverUnload(handle); });
    }
    delete_object(driver);
}

}  // namespace

FxDriver* current_driver() { return g_driver; }

void driver_entry_failed(_DRIVER_OBJECT* wdm)
{
    auto* driver = static_cast<FxDriver*>(wdm->framework);
    if (driver == nullptr) return;
    delete_object(driver);
}

FxDriver::~FxDriver()
{
    if (wdm != nullptr) {
        wdm->framework = nullptr;
        wdm->add_device = nullptr;
        wdm->unload = nullptr;
    }
    if (g_driver == this) g_driver = nullptr;
}

}  // namespace host::wdf

using namespace host::wdf;

WDFAPI NTSTATUS WdfDriverCreate(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                                PWDF_OBJECT_ATTRIBUTES DriverAttributes, PWDF_DRIVER_CONFIG DriverConfig,
                                WDFDRIVER* Driver)
{
    if (Driver != nullptr) *Driver = nullptr;
    host::verify_irql_at_most(PASSIVE_LEVEL, "WdfDriverCreate");
    if (DriverObject == nullptr || DriverConfig == nullptr || DriverConfig->Size != sizeof(WDF_DRIVER_CONFIG))
        return STATUS_INVALID_PARAMETER;
    if (DriverObject->framework != nullptr) return STATUS_INVALID_DEVICE_STATE;

    FxDriver* driver = nullptr;
    NTSTATUS status = create_object(DriverAttributes, nullptr, "WdfDriverCreate", &driver);
    if (!NT_SUCCESS(status)) return status;
    driver->driver_may_delete = false;
    driver->wdm = DriverObject;
    driver->registry_path = host::to_u16(RegistryPath);
    driver->config = *DriverConfig;
    g_driver = driver;

    DriverObject->framework = driver;
    if ((DriverConfig->DriverInitFlags & WdfDriverInitNonPnpDriver) == 0)
        DriverObject->add_device = [driver](_DRIVER_OBJECT*, _DEVICE_OBJECT* pdo) { return add_device(driver, pdo); };
    DriverObject->unload = [driver](_DRIVER_OBJECT*) { unload(driver); };
    if (Driver != nullptr) *Driver = driver->handle_as<WDFDRIVER>();
    return STATUS_SUCCESS;
}

WDFAPI WDFDRIVER WdfGetDriver(VOID)
{
    FxDriver* driver = current_driver();
    return driver != nullptr ? driver->handle_as<WDFDRIVER>() : nullptr;
}

WDFAPI PWSTR WdfDriverGetRegistryPath(WDFDRIVER Driver)
{
    FxDriver* driver = resolve<FxDriver>(Driver, "WdfDriverGetRegistryPath");
    return driver != nullptr ? host::as_wchar(driver->registry_path.data()) : nullptr;
}

WDFAPI PDRIVER_OBJECT WdfDriverWdmGetDriverObject(WDFDRIVER Driver)
{
    FxDriver* driver = resolve<FxDriver>(Driver, "WdfDriverWdmGetDriverObject");
    return driver != nullptr ? driver->wdm : nullptr;
}

WDFAPI WDFDRIVER WdfWdmDriverGetWdfDriverHandle(PDRIVER_OBJECT DriverObject)
{
    auto* driver = static_cast<FxDriver*>(DriverObject->framework);
    return driver != nullptr ? driver->handle_as<WDFDRIVER>() : nullptr;
}

WDFAPI NTSTATUS WdfDriverOpenParametersRegistryKey(WDFDRIVER Driver, ACCESS_MASK DesiredAccess,
                                                   PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key)
{
    *Key = nullptr;
    host::verify_irql_at_most(PASSIVE_LEVEL, "WdfDriverOpenParametersRegistryKey");
    FxDriver* driver = resolve<FxDriver>(Driver, "WdfDriverOpenParametersRegistryKey");
    if (driver == nullptr) return STATUS_INVALID_HANDLE;
    return open_key(driver->registry_path + u"\\Parameters", DesiredAccess, KeyAttributes, driver,
                    "WdfDriverOpenParametersRegistryKey", Key);
}
