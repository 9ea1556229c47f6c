/* The framework driver object. */
#pragma once

#include "wdftypes.h"

typedef enum _WDF_DRIVER_INIT_FLAGS {
    WdfDriverInitNonPnpDriver = 0x00000001,
    WdfDriverInitNoDispatchOverride = 0x00000002,
    WdfVerifyOn = 0x00000004,
    WdfVerifierOn = 0x00000008,
} WDF_DRIVER_INIT_FLAGS;

typedef NTSTATUS EVT_WDF_DRIVER_DEVICE_ADD(_In_ WDFDRIVER Driver,
                                           _Inout_ PWDFDEVICE_INIT DeviceInit);
typedef EVT_WDF_DRIVER_DEVICE_ADD* PFN_WDF_DRIVER_DEVICE_ADD;

typedef VOID EVT_WDF_DRIVER_UNLOAD(_In_ WDFDRIVER Driver);
typedef EVT_WDF_DRIVER_UNLOAD* PFN_WDF_DRIVER_UNLOAD;

typedef struct _WDF_DRIVER_CONFIG {
    ULONG Size;
    PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd;
    PFN_WDF_DRIVER_UNLOAD EvtDriverUnload;
    ULONG DriverInitFlags;
    ULONG DriverPoolTag;
} WDF_DRIVER_CONFIG, *PWDF_DRIVER_CONFIG;

FORCEINLINE VOID WDF_DRIVER_CONFIG_INIT(_Out_ PWDF_DRIVER_CONFIG Config,
                                        _In_opt_ PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd)
{
    __builtin_memset(Config, 0, sizeof(WDF_DRIVER_CONFIG));
    Config->Size = sizeof(WDF_DRIVER_CONFIG);
    Config->EvtDriverDeviceAdd = EvtDriverDeviceAdd;
}

WDFAPI NTSTATUS WdfDriverCreate(_In_ PDRIVER_OBJECT DriverObject,
                                _In_ PCUNICODE_STRING RegistryPath,
                                _In_opt_ PWDF_OBJECT_ATTRIBUTES DriverAttributes,
                                _In_ PWDF_DRIVER_CONFIG DriverConfig,
                                _Out_opt_ WDFDRIVER* Driver);

WDFAPI WDFDRIVER WdfGetDriver(VOID);

WDFAPI PWSTR WdfDriverGetRegistryPath(_In_ WDFDRIVER Driver);

WDFAPI PDRIVER_OBJECT WdfDriverWdmGetDriverObject(_In_ WDFDRIVER Driver);

WDFAPI WDFDRIVER WdfWdmDriverGetWdfDriverHandle(_In_ PDRIVER_OBJECT DriverObject);

WDFAPI NTSTATUS WdfDriverOpenParametersRegistryKey(_In_ WDFDRIVER Driver,
                                                   _In_ ACCESS_MASK DesiredAccess,
                                                   _In_opt_ PWDF_OBJECT_ATTRIBUTES KeyAttributes,
                                                   _Out_ WDFKEY* Key);
