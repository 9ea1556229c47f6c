/* Function-driver (FDO) specifics. */
#pragma once

#include "wdftypes.h"

WDFAPI PDEVICE_OBJECT WdfFdoInitWdmGetPhysicalDevice(_In_ PWDFDEVICE_INIT DeviceInit);

/* Sends IRP_MN_QUERY_INTERFACE down the device's stack. */
WDFAPI NTSTATUS WdfFdoQueryForInterface(_In_ WDFDEVICE Fdo, _In_ LPCGUID InterfaceType,
                                        _Out_ PINTERFACE Interface, _In_ USHORT Size,
                                        _In_ USHORT Version, _In_opt_ PVOID InterfaceSpecificData);
