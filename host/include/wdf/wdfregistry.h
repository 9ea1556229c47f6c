/* Registry keys opened through the framework. */
#pragma once

#include "wdftypes.h"

WDFAPI NTSTATUS WdfRegistryOpenKey(_In_opt_ WDFKEY ParentKey, _In_ PCUNICODE_STRING KeyName,
                                   _In_ ACCESS_MASK DesiredAccess,
                                   _In_opt_ PWDF_OBJECT_ATTRIBUTES KeyAttributes,
                                   _Out_ WDFKEY* Key);

WDFAPI NTSTATUS WdfRegistryCreateKey(_In_opt_ WDFKEY ParentKey, _In_ PCUNICODE_STRING KeyName,
                                     _In_ ACCESS_MASK DesiredAccess, _In_ ULONG CreateOptions,
                                     _Out_opt_ PULONG CreateDisposition,
                                     _In_opt_ PWDF_OBJECT_ATTRIBUTES KeyAttributes,
                                     _Out_ WDFKEY* Key);

WDFAPI VOID WdfRegistryClose(_In_ WDFKEY Key);

WDFAPI HANDLE WdfRegistryWdmGetHandle(_In_ WDFKEY Key);

WDFAPI NTSTATUS WdfRegistryRemoveValue(_In_ WDFKEY Key, _In_ PCUNICODE_STRING ValueName);

WDFAPI NTSTATUS WdfRegistryQueryValue(_In_ WDFKEY Key, _In_ PCUNICODE_STRING ValueName,
                                      _In_ ULONG ValueLength, _Out_opt_ PVOID Value,
                                      _Out_opt_ PULONG ValueLengthQueried,
                                      _Out_opt_ PULONG ValueType);

WDFAPI NTSTATUS WdfRegistryQueryMemory(_In_ WDFKEY Key, _In_ PCUNICODE_STRING ValueName,
                                       _In_ POOL_TYPE PoolType,
                                       _In_opt_ PWDF_OBJECT_ATTRIBUTES MemoryAttributes,
                                       _Out_ WDFMEMORY* Memory, _Out_opt_ PULONG ValueType);

WDFAPI NTSTATUS WdfRegistryQueryULong(_In_ WDFKEY Key, _In_ PCUNICODE_STRING ValueName,
                                      _Out_ PULONG Value);

WDFAPI NTSTATUS WdfRegistryQueryUnicodeString(_In_ WDFKEY Key, _In_ PCUNICODE_STRING ValueName,
                                              _Out_opt_ PUSHORT ValueByteLength,
                                              _Inout_opt_ PUNICODE_STRING Value);

WDFAPI NTSTATUS WdfRegistryQueryString(_In_ WDFKEY Key, _In_ PCUNICODE_STRING ValueName,
                                       _In_ WDFSTRING String);

WDFAPI NTSTATUS WdfRegistryAssignValue(_In_ WDFKEY Key, _In_ PCUNICODE_STRING ValueName,
                                       _In_ ULONG ValueType, _In_ ULONG ValueLength,
                                       _In_ PVOID Value);

WDFAPI NTSTATUS WdfRegistryAssignULong(_In_ WDFKEY Key, _In_ PCUNICODE_STRING ValueName,
                                       _In_ ULONG Value);

WDFAPI NTSTATUS WdfRegistryAssignUnicodeString(_In_ WDFKEY Key, _In_ PCUNICODE_STRING ValueName,
                                               _In_ PCUNICODE_STRING Value);
