/* String objects: a counted string whose buffer the framework owns. */
#pragma once

#include "wdftypes.h"

WDFAPI NTSTATUS WdfStringCreate(_In_opt_ PCUNICODE_STRING UnicodeString,
                                _In_opt_ PWDF_OBJECT_ATTRIBUTES StringAttributes,
                                _Out_ WDFSTRING* String);

WDFAPI VOID WdfStringGetUnicodeString(_In_ WDFSTRING String, _Out_ PUNICODE_STRING UnicodeString);
