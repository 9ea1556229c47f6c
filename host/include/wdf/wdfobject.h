/* Framework objects: creation, deletion, references and contexts. */
#pragma once

#include "wdftypes.h"

WDFAPI NTSTATUS WdfObjectCreate(_In_opt_ PWDF_OBJECT_ATTRIBUTES Attributes,
                                _Out_ WDFOBJECT* Object);

WDFAPI VOID WdfObjectDelete(_In_ WDFOBJECT Object);

WDFAPI NTSTATUS WdfObjectAllocateContext(_In_ WDFOBJECT Handle,
                                         _In_ PWDF_OBJECT_ATTRIBUTES ContextAttributes,
                                         _Outptr_opt_ PVOID* Context);

WDFAPI WDFOBJECT WdfObjectContextGetObject(_In_ PVOID ContextPointer);

WDFAPI VOID WdfObjectReferenceActual(_In_ WDFOBJECT Handle, _In_opt_ PVOID Tag,
                                     _In_ LONG Line, _In_ PCHAR File);
WDFAPI VOID WdfObjectDereferenceActual(_In_ WDFOBJECT Handle, _In_opt_ PVOID Tag,
                                       _In_ LONG Line, _In_ PCHAR File);

#define WdfObjectReferenceWithTag(Handle, Tag) \
    WdfObjectReferenceActual((WDFOBJECT)(Handle), (Tag), __LINE__, (PCHAR)__FILE__)
#define WdfObjectReference(Handle) WdfObjectReferenceWithTag(Handle, NULL)
#define WdfObjectDereferenceWithTag(Handle, Tag) \
    WdfObjectDereferenceActual((WDFOBJECT)(Handle), (Tag), __LINE__, (PCHAR)__FILE__)
#define WdfObjectDereference(Handle) WdfObjectDereferenceWithTag(Handle, NULL)
