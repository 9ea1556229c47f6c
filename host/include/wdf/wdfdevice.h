/* Devices: initialization, creation, PnP and power callbacks, power policy. */
#pragma once

#include "wdftypes.h"

typedef enum _WDF_DEVICE_IO_TYPE {
    WdfDeviceIoUndefined = 0,
    WdfDeviceIoNeither,
    WdfDeviceIoBuffered,
    WdfDeviceIoDirect,
} WDF_DEVICE_IO_TYPE, *PWDF_DEVICE_IO_TYPE;

typedef enum _WDF_FILEOBJECT_CLASS {
    WdfFileObjectInvalid = 0,
    WdfFileObjectNotRequired = 1,
    WdfFileObjectWdfCanUseFsContext = 2,
    WdfFileObjectWdfCanUseFsContext2 = 3,
    WdfFileObjectWdfCannotUseFsContexts = 4,
    WdfFileObjectCanBeOptional = (int)0x80000000,
} WDF_FILEOBJECT_CLASS, *PWDF_FILEOBJECT_CLASS;

typedef enum _WDF_SPECIAL_FILE_TYPE {
    WdfSpecialFileUndefined = 0,
    WdfSpecialFilePaging = 1,
    WdfSpecialFileHibernation,
    WdfSpecialFileDump,
    WdfSpecialFileMax,
} WDF_SPECIAL_FILE_TYPE, *PWDF_SPECIAL_FILE_TYPE;

/* --- file object callbacks ---------------------------------------------- */

typedef VOID EVT_WDF_DEVICE_FILE_CREATE(_In_ WDFDEVICE Device, _In_ WDFREQUEST Request,
                                        _In_ WDFFILEOBJECT FileObject);
typedef EVT_WDF_DEVICE_FILE_CREATE* PFN_WDF_DEVICE_FILE_CREATE;

typedef VOID EVT_WDF_FILE_CLOSE(_In_ WDFFILEOBJECT FileObject);
typedef EVT_WDF_FILE_CLOSE* PFN_WDF_FILE_CLOSE;

typedef VOID EVT_WDF_FILE_CLEANUP(_In_ WDFFILEOBJECT FileObject);
typedef EVT_WDF_FILE_CLEANUP* PFN_WDF_FILE_CLEANUP;

typedef struct _WDF_FILEOBJECT_CONFIG {
    ULONG Size;
    PFN_WDF_DEVICE_FILE_CREATE EvtDeviceFileCreate;
    PFN_WDF_FILE_CLOSE EvtFileClose;
    PFN_WDF_FILE_CLEANUP EvtFileCleanup;
    WDF_TRI_STATE AutoForwardCleanupClose;
    WDF_FILEOBJECT_CLASS FileObjectClass;
} WDF_FILEOBJECT_CONFIG, *PWDF_FILEOBJECT_CONFIG;

FORCEINLINE VOID WDF_FILEOBJECT_CONFIG_INIT(_Out_ PWDF_FILEOBJECT_CONFIG FileEventCallbacks,
                                            _In_opt_ PFN_WDF_DEVICE_FILE_CREATE EvtDeviceFileCreate,
                                            _In_opt_ PFN_WDF_FILE_CLOSE EvtFileClose,
                                            _In_opt_ PFN_WDF_FILE_CLEANUP EvtFileCleanup)
{
    __builtin_memset(FileEventCallbacks, 0, sizeof(WDF_FILEOBJECT_CONFIG));
    FileEventCallbacks->Size = sizeof(WDF_FILEOBJECT_CONFIG);
    FileEventCallbacks->EvtDeviceFileCreate = EvtDeviceFileCreate;
    FileEventCallbacks->EvtFileClose = EvtFileClose;
    FileEventCallbacks->EvtFileCleanup = EvtFileCleanup;
    FileEventCallbacks->FileObjectClass = WdfFileObjectWdfCannotUseFsContexts;
    FileEventCallbacks->AutoForwardCleanupClose = WdfUseDefault;
}

/* --- PnP and power callbacks -------------------------------------------- */

typedef NTSTATUS EVT_WDF_DEVICE_D0_ENTRY(_In_ WDFDEVICE Device,
                                         _In_ WDF_POWER_DEVICE_STATE PreviousState);
typedef EVT_WDF_DEVICE_D0_ENTRY* PFN_WDF_DEVICE_D0_ENTRY;

typedef NTSTATUS EVT_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED(
    _In_ WDFDEVICE Device, _In_ WDF_POWER_DEVICE_STATE PreviousState);
typedef EVT_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED* PFN_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED;

typedef NTSTATUS EVT_WDF_DEVICE_D0_EXIT(_In_ WDFDEVICE Device,
                                        _In_ WDF_POWER_DEVICE_STATE TargetState);
typedef EVT_WDF_DEVICE_D0_EXIT* PFN_WDF_DEVICE_D0_EXIT;

typedef NTSTATUS EVT_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED(
    _In_ WDFDEVICE Device, _In_ WDF_POWER_DEVICE_STATE TargetState);
typedef EVT_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED* PFN_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED;

typedef NTSTATUS EVT_WDF_DEVICE_PREPARE_HARDWARE(_In_ WDFDEVICE Device,
                                                 _In_ WDFCMRESLIST ResourcesRaw,
                                                 _In_ WDFCMRESLIST ResourcesTranslated);
typedef EVT_WDF_DEVICE_PREPARE_HARDWARE* PFN_WDF_DEVICE_PREPARE_HARDWARE;

typedef NTSTATUS EVT_WDF_DEVICE_RELEASE_HARDWARE(_In_ WDFDEVICE Device,
                                                 _In_ WDFCMRESLIST ResourcesTranslated);
typedef EVT_WDF_DEVICE_RELEASE_HARDWARE* PFN_WDF_DEVICE_RELEASE_HARDWARE;

typedef VOID EVT_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP(_In_ WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP* PFN_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP;

typedef VOID EVT_WDF_DEVICE_SELF_MANAGED_IO_FLUSH(_In_ WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_FLUSH* PFN_WDF_DEVICE_SELF_MANAGED_IO_FLUSH;

typedef NTSTATUS EVT_WDF_DEVICE_SELF_MANAGED_IO_INIT(_In_ WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_INIT* PFN_WDF_DEVICE_SELF_MANAGED_IO_INIT;

typedef NTSTATUS EVT_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND(_In_ WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND* PFN_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND;

typedef NTSTATUS EVT_WDF_DEVICE_SELF_MANAGED_IO_RESTART(_In_ WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_RESTART* PFN_WDF_DEVICE_SELF_MANAGED_IO_RESTART;

typedef VOID EVT_WDF_DEVICE_SURPRISE_REMOVAL(_In_ WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SURPRISE_REMOVAL* PFN_WDF_DEVICE_SURPRISE_REMOVAL;

typedef NTSTATUS EVT_WDF_DEVICE_QUERY_REMOVE(_In_ WDFDEVICE Device);
typedef EVT_WDF_DEVICE_QUERY_REMOVE* PFN_WDF_DEVICE_QUERY_REMOVE;

typedef NTSTATUS EVT_WDF_DEVICE_QUERY_STOP(_In_ WDFDEVICE Device);
typedef EVT_WDF_DEVICE_QUERY_STOP* PFN_WDF_DEVICE_QUERY_STOP;

typedef VOID EVT_WDF_DEVICE_USAGE_NOTIFICATION(_In_ WDFDEVICE Device,
                                               _In_ WDF_SPECIAL_FILE_TYPE NotificationType,
                                               _In_ BOOLEAN IsInNotificationPath);
typedef EVT_WDF_DEVICE_USAGE_NOTIFICATION* PFN_WDF_DEVICE_USAGE_NOTIFICATION;

typedef VOID EVT_WDF_DEVICE_RELATIONS_QUERY(_In_ WDFDEVICE Device, _In_ ULONG RelationType);
typedef EVT_WDF_DEVICE_RELATIONS_QUERY* PFN_WDF_DEVICE_RELATIONS_QUERY;

typedef struct _WDF_PNPPOWER_EVENT_CALLBACKS {
    ULONG Size;
    PFN_WDF_DEVICE_D0_ENTRY EvtDeviceD0Entry;
    PFN_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED EvtDeviceD0EntryPostInterruptsEnabled;
    PFN_WDF_DEVICE_D0_EXIT EvtDeviceD0Exit;
    PFN_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED EvtDeviceD0ExitPreInterruptsDisabled;
    PFN_WDF_DEVICE_PREPARE_HARDWARE EvtDevicePrepareHardware;
    PFN_WDF_DEVICE_RELEASE_HARDWARE EvtDeviceReleaseHardware;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP EvtDeviceSelfManagedIoCleanup;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_FLUSH EvtDeviceSelfManagedIoFlush;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_INIT EvtDeviceSelfManagedIoInit;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND EvtDeviceSelfManagedIoSuspend;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_RESTART EvtDeviceSelfManagedIoRestart;
    PFN_WDF_DEVICE_SURPRISE_REMOVAL EvtDeviceSurpriseRemoval;
    PFN_WDF_DEVICE_QUERY_REMOVE EvtDeviceQueryRemove;
    PFN_WDF_DEVICE_QUERY_STOP EvtDeviceQueryStop;
    PFN_WDF_DEVICE_USAGE_NOTIFICATION EvtDeviceUsageNotification;
    PFN_WDF_DEVICE_RELATIONS_QUERY EvtDeviceRelationsQuery;
} WDF_PNPPOWER_EVENT_CALLBACKS, *PWDF_PNPPOWER_EVENT_CALLBACKS;

FORCEINLINE VOID WDF_PNPPOWER_EVENT_CALLBACKS_INIT(_Out_ PWDF_PNPPOWER_EVENT_CALLBACKS Callbacks)
{
    __builtin_memset(Callbacks, 0, sizeof(WDF_PNPPOWER_EVENT_CALLBACKS));
    Callbacks->Size = sizeof(WDF_PNPPOWER_EVENT_CALLBACKS);
}

/* Called for every request of the device before it is queued. */
typedef VOID EVT_WDF_IO_IN_CALLER_CONTEXT(_In_ WDFDEVICE Device, _In_ WDFREQUEST Request);
typedef EVT_WDF_IO_IN_CALLER_CONTEXT* PFN_WDF_IO_IN_CALLER_CONTEXT;

/* --- power policy ------------------------------------------------------- */

typedef enum _WDF_POWER_POLICY_S0_IDLE_CAPABILITIES {
    IdleCapsInvalid = 0,
    IdleCannotWakeFromS0,
    IdleCanWakeFromS0,
    IdleUsbSelectiveSuspend,
} WDF_POWER_POLICY_S0_IDLE_CAPABILITIES;

typedef enum _WDF_POWER_POLICY_S0_IDLE_USER_CONTROL {
    IdleUserControlInvalid = 0,
    IdleDoNotAllowUserControl,
    IdleAllowUserControl,
} WDF_POWER_POLICY_S0_IDLE_USER_CONTROL;

typedef enum _WDF_POWER_POLICY_SX_WAKE_USER_CONTROL {
    WakeUserControlInvalid = 0,
    WakeDoNotAllowUserControl,
    WakeAllowUserControl,
} WDF_POWER_POLICY_SX_WAKE_USER_CONTROL;

/* IdleTimeout of 0: the framework's default of five seconds. */
#define IdleTimeoutDefaultValue 0

typedef struct _WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS {
    ULONG Size;
    WDF_POWER_POLICY_S0_IDLE_CAPABILITIES IdleCaps;
    DEVICE_POWER_STATE DxState;
    ULONG IdleTimeout;
    WDF_POWER_POLICY_S0_IDLE_USER_CONTROL UserControlOfIdleSettings;
    WDF_TRI_STATE Enabled;
    WDF_TRI_STATE PowerUpIdleDeviceOnSystemWake;
} WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS, *PWDF_DEVICE_POWER_POLICY_IDLE_SETTINGS;

FORCEINLINE VOID WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS_INIT(
    _Out_ PWDF_DEVICE_POWER_POLICY_IDLE_SETTINGS Settings,
    _In_ WDF_POWER_POLICY_S0_IDLE_CAPABILITIES IdleCaps)
{
    __builtin_memset(Settings, 0, sizeof(WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS));
    Settings->Size = sizeof(WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS);
    Settings->IdleTimeout = IdleTimeoutDefaultValue;
    Settings->UserControlOfIdleSettings = IdleAllowUserControl;
    Settings->Enabled = WdfUseDefault;
    Settings->PowerUpIdleDeviceOnSystemWake = WdfUseDefault;
    Settings->IdleCaps = IdleCaps;
    switch (IdleCaps) {
    case IdleUsbSelectiveSuspend:
    case IdleCanWakeFromS0:
        Settings->DxState = PowerDeviceMaximum;
        break;
    case IdleCannotWakeFromS0:
        Settings->DxState = PowerDeviceD3;
        break;
    default:
        break;
    }
}

typedef struct _WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS {
    ULONG Size;
    DEVICE_POWER_STATE DxState;
    WDF_POWER_POLICY_SX_WAKE_USER_CONTROL UserControlOfWakeSettings;
    WDF_TRI_STATE Enabled;
    BOOLEAN ArmForWakeIfChildrenAreArmedForWake;
    BOOLEAN IndicateChildWakeOnParentWake;
} WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS, *PWDF_DEVICE_POWER_POLICY_WAKE_SETTINGS;

FORCEINLINE VOID WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS_INIT(
    _Out_ PWDF_DEVICE_POWER_POLICY_WAKE_SETTINGS Settings)
{
    __builtin_memset(Settings, 0, sizeof(WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS));
    Settings->Size = sizeof(WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS);
    Settings->Enabled = WdfUseDefault;
    Settings->DxState = PowerDeviceMaximum;
    Settings->UserControlOfWakeSettings = WakeAllowUserControl;
}

/* --- PnP capabilities --------------------------------------------------- */

/* What the framework reports for the device in IRP_MN_QUERY_CAPABILITIES.
   WdfUseDefault, and (ULONG)-1 for Address and UINumber, leave a value as
   the bus driver reported it. */
typedef struct _WDF_DEVICE_PNP_CAPABILITIES {
    ULONG Size;
    WDF_TRI_STATE LockSupported;
    WDF_TRI_STATE EjectSupported;
    WDF_TRI_STATE Removable;
    WDF_TRI_STATE DockDevice;
    WDF_TRI_STATE UniqueID;
    WDF_TRI_STATE SilentInstall;
    WDF_TRI_STATE SurpriseRemovalOK;
    WDF_TRI_STATE HardwareDisabled;
    WDF_TRI_STATE NoDisplayInUI;
    ULONG Address;
    ULONG UINumber;
} WDF_DEVICE_PNP_CAPABILITIES, *PWDF_DEVICE_PNP_CAPABILITIES;

FORCEINLINE VOID WDF_DEVICE_PNP_CAPABILITIES_INIT(_Out_ PWDF_DEVICE_PNP_CAPABILITIES Caps)
{
    __builtin_memset(Caps, 0, sizeof(WDF_DEVICE_PNP_CAPABILITIES));
    Caps->Size = sizeof(WDF_DEVICE_PNP_CAPABILITIES);
    Caps->LockSupported = WdfUseDefault;
    Caps->EjectSupported = WdfUseDefault;
    Caps->Removable = WdfUseDefault;
    Caps->DockDevice = WdfUseDefault;
    Caps->UniqueID = WdfUseDefault;
    Caps->SilentInstall = WdfUseDefault;
    Caps->SurpriseRemovalOK = WdfUseDefault;
    Caps->HardwareDisabled = WdfUseDefault;
    Caps->NoDisplayInUI = WdfUseDefault;
    Caps->Address = (ULONG)-1;
    Caps->UINumber = (ULONG)-1;
}

/* --- device initialization ---------------------------------------------- */

WDFAPI NTSTATUS WdfDeviceInitAssignName(_In_ PWDFDEVICE_INIT DeviceInit,
                                        _In_opt_ PCUNICODE_STRING DeviceName);
WDFAPI NTSTATUS WdfDeviceInitAssignSDDLString(_In_ PWDFDEVICE_INIT DeviceInit,
                                              _In_opt_ PCUNICODE_STRING SDDLString);
WDFAPI VOID WdfDeviceInitSetExclusive(_In_ PWDFDEVICE_INIT DeviceInit, _In_ BOOLEAN IsExclusive);
WDFAPI VOID WdfDeviceInitSetDeviceType(_In_ PWDFDEVICE_INIT DeviceInit, _In_ DEVICE_TYPE DeviceType);
WDFAPI VOID WdfDeviceInitSetCharacteristics(_In_ PWDFDEVICE_INIT DeviceInit,
                                            _In_ ULONG DeviceCharacteristics,
                                            _In_ BOOLEAN OrInValues);
WDFAPI VOID WdfDeviceInitSetIoType(_In_ PWDFDEVICE_INIT DeviceInit, _In_ WDF_DEVICE_IO_TYPE IoType);
WDFAPI VOID WdfDeviceInitSetRequestAttributes(_In_ PWDFDEVICE_INIT DeviceInit,
                                              _In_ PWDF_OBJECT_ATTRIBUTES RequestAttributes);
WDFAPI VOID WdfDeviceInitSetPnpPowerEventCallbacks(
    _In_ PWDFDEVICE_INIT DeviceInit, _In_ PWDF_PNPPOWER_EVENT_CALLBACKS PnpPowerEventCallbacks);
WDFAPI VOID WdfDeviceInitSetIoInCallerContextCallback(
    _In_ PWDFDEVICE_INIT DeviceInit, _In_ PFN_WDF_IO_IN_CALLER_CONTEXT EvtIoInCallerContext);
WDFAPI VOID WdfDeviceInitSetFileObjectConfig(_In_ PWDFDEVICE_INIT DeviceInit,
                                             _In_ PWDF_FILEOBJECT_CONFIG FileObjectConfig,
                                             _In_opt_ PWDF_OBJECT_ATTRIBUTES FileObjectAttributes);
WDFAPI VOID WdfDeviceInitSetPowerPolicyOwnership(_In_ PWDFDEVICE_INIT DeviceInit,
                                                 _In_ BOOLEAN IsPowerPolicyOwner);

/* --- the device --------------------------------------------------------- */

WDFAPI NTSTATUS WdfDeviceCreate(_Inout_ PWDFDEVICE_INIT* DeviceInit,
                                _In_opt_ PWDF_OBJECT_ATTRIBUTES DeviceAttributes,
                                _Out_ WDFDEVICE* Device);

WDFAPI WDFDRIVER WdfDeviceGetDriver(_In_ WDFDEVICE Device);
WDFAPI PDEVICE_OBJECT WdfDeviceWdmGetDeviceObject(_In_ WDFDEVICE Device);
WDFAPI PDEVICE_OBJECT WdfDeviceWdmGetAttachedDevice(_In_ WDFDEVICE Device);
WDFAPI PDEVICE_OBJECT WdfDeviceWdmGetPhysicalDevice(_In_ WDFDEVICE Device);
WDFAPI WDFDEVICE WdfWdmDeviceGetWdfDeviceHandle(_In_ PDEVICE_OBJECT DeviceObject);
WDFAPI WDFIOTARGET WdfDeviceGetIoTarget(_In_ WDFDEVICE Device);

WDFAPI NTSTATUS WdfDeviceRetrieveDeviceName(_In_ WDFDEVICE Device, _In_ WDFSTRING String);
WDFAPI NTSTATUS WdfDeviceCreateSymbolicLink(_In_ WDFDEVICE Device,
                                            _In_ PCUNICODE_STRING SymbolicLinkName);

WDFAPI NTSTATUS WdfDeviceQueryProperty(_In_ WDFDEVICE Device,
                                       _In_ DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                       _In_ ULONG BufferLength,
                                       PVOID PropertyBuffer,
                                       _Out_ PULONG ResultLength);
WDFAPI NTSTATUS WdfDeviceAllocAndQueryProperty(_In_ WDFDEVICE Device,
                                               _In_ DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                               _In_ POOL_TYPE PoolType,
                                               _In_opt_ PWDF_OBJECT_ATTRIBUTES PropertyMemoryAttributes,
                                               _Out_ WDFMEMORY* PropertyMemory);

WDFAPI NTSTATUS WdfDeviceOpenRegistryKey(_In_ WDFDEVICE Device, _In_ ULONG DeviceInstanceKeyType,
                                         _In_ ACCESS_MASK DesiredAccess,
                                         _In_opt_ PWDF_OBJECT_ATTRIBUTES KeyAttributes,
                                         _Out_ WDFKEY* Key);

WDFAPI NTSTATUS WdfDeviceCreateDeviceInterface(_In_ WDFDEVICE Device,
                                               _In_ CONST GUID* InterfaceClassGUID,
                                               _In_opt_ PCUNICODE_STRING ReferenceString);
WDFAPI VOID WdfDeviceSetDeviceInterfaceState(_In_ WDFDEVICE Device,
                                             _In_ CONST GUID* InterfaceClassGUID,
                                             _In_opt_ PCUNICODE_STRING ReferenceString,
                                             _In_ BOOLEAN IsInterfaceEnabled);
WDFAPI NTSTATUS WdfDeviceRetrieveDeviceInterfaceString(_In_ WDFDEVICE Device,
                                                       _In_ CONST GUID* InterfaceClassGUID,
                                                       _In_opt_ PCUNICODE_STRING ReferenceString,
                                                       _In_ WDFSTRING String);

/* Queues: the default queue and per-type dispatching (queues live in wdfio.h). */
WDFAPI WDFQUEUE WdfDeviceGetDefaultQueue(_In_ WDFDEVICE Device);
WDFAPI NTSTATUS WdfDeviceConfigureRequestDispatching(_In_ WDFDEVICE Device, _In_ WDFQUEUE Queue,
                                                     _In_ WDF_REQUEST_TYPE RequestType);
WDFAPI NTSTATUS WdfDeviceEnqueueRequest(_In_ WDFDEVICE Device, _In_ WDFREQUEST Request);

/* Merged into what the device has set before: WdfUseDefault and (ULONG)-1
   leave a capability as it was. */
WDFAPI VOID WdfDeviceSetPnpCapabilities(_In_ WDFDEVICE Device,
                                        _In_ PWDF_DEVICE_PNP_CAPABILITIES PnpCapabilities);

/* Power policy. */
WDFAPI NTSTATUS WdfDeviceAssignS0IdleSettings(_In_ WDFDEVICE Device,
                                              _In_ PWDF_DEVICE_POWER_POLICY_IDLE_SETTINGS Settings);
WDFAPI NTSTATUS WdfDeviceAssignSxWakeSettings(_In_ WDFDEVICE Device,
                                              _In_ PWDF_DEVICE_POWER_POLICY_WAKE_SETTINGS Settings);
WDFAPI NTSTATUS WdfDeviceStopIdle(_In_ WDFDEVICE Device, _In_ BOOLEAN WaitForD0);
WDFAPI VOID WdfDeviceResumeIdle(_In_ WDFDEVICE Device);
