/*
 * Kernel run-time library: debugger output, counted strings, GUID and
 * integer conversion, memory helpers, status mapping and the kernel CRT's
 * wide-string routines.
 */
#pragma once
#include "../ntdef.h"

/*
 * The C library's <wchar.h> is read before the wide-string names below are
 * redirected, so that its declarations keep their own names. Its routines
 * assume a 32-bit wchar_t and must never be reached from kernel code.
 */
#include <string.h>
#include <wchar.h>

typedef const CHAR* PCCH;
typedef const ANSI_STRING* PCANSI_STRING;
typedef const STRING* PCSTRING;

/* --- Debugger output ---------------------------------------------------- */

#define DPFLTR_ERROR_LEVEL   0
#define DPFLTR_WARNING_LEVEL 1
#define DPFLTR_TRACE_LEVEL   2
#define DPFLTR_INFO_LEVEL    3
#define DPFLTR_MASK          0x80000000

typedef enum _DPFLTR_TYPE {
    DPFLTR_SYSTEM_ID = 0,
    DPFLTR_PNPMGR_ID = 35,
    DPFLTR_SERIAL_ID = 39,
    DPFLTR_SERENUM_ID = 40,
    DPFLTR_UNIMODEM_ID = 45,
    DPFLTR_IHVDRIVER_ID = 77,
    DPFLTR_IHVVIDEO_ID = 78,
    DPFLTR_IHVAUDIO_ID = 79,
    DPFLTR_IHVNETWORK_ID = 80,
    DPFLTR_IHVSTREAMING_ID = 81,
    DPFLTR_IHVBUS_ID = 82,
    DPFLTR_DEFAULT_ID = 101,
} DPFLTR_TYPE;

/*
 * The host's debugger has every component's filter mask fully open: each
 * call is captured. As on Windows, one call transmits at most 512 bytes.
 */
EXTERN_C ULONG DbgPrint(PCSTR Format, ...);
EXTERN_C ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...);
EXTERN_C ULONG vDbgPrintEx(ULONG ComponentId, ULONG Level, PCCH Format, va_list arglist);
EXTERN_C VOID DbgBreakPoint(void);

#if defined(DBG) && DBG
#define KdPrint(_x_) DbgPrint _x_
#define KdPrintEx(_x_) DbgPrintEx _x_
#define KdBreakPoint() DbgBreakPoint()
#else
#define KdPrint(_x_)
#define KdPrintEx(_x_)
#define KdBreakPoint()
#endif

/* --- Counted strings ---------------------------------------------------- */

EXTERN_C VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
EXTERN_C VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString);
EXTERN_C VOID RtlInitString(PSTRING DestinationString, PCSZ SourceString);
EXTERN_C VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
EXTERN_C NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
EXTERN_C NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
EXTERN_C LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                      BOOLEAN CaseInSensitive);
EXTERN_C BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                       BOOLEAN CaseInSensitive);
EXTERN_C BOOLEAN RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                        BOOLEAN CaseInSensitive);
EXTERN_C WCHAR RtlUpcaseUnicodeChar(WCHAR SourceCharacter);
EXTERN_C NTSTATUS RtlUpcaseUnicodeString(PUNICODE_STRING DestinationString,
                                         PCUNICODE_STRING SourceString,
                                         BOOLEAN AllocateDestinationString);
EXTERN_C NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value);
EXTERN_C NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String);
EXTERN_C NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString,
                                               PCANSI_STRING SourceString,
                                               BOOLEAN AllocateDestinationString);
EXTERN_C NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                               PCUNICODE_STRING SourceString,
                                               BOOLEAN AllocateDestinationString);
EXTERN_C VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
EXTERN_C VOID RtlFreeAnsiString(PANSI_STRING AnsiString);

FORCEINLINE VOID RtlInitEmptyUnicodeString(PUNICODE_STRING UnicodeString, PWCHAR Buffer,
                                           USHORT BufferSize)
{
    UnicodeString->Length = 0;
    UnicodeString->MaximumLength = BufferSize;
    UnicodeString->Buffer = Buffer;
}

/* --- GUIDs -------------------------------------------------------------- */

/* "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", allocated; RtlFreeUnicodeString frees it. */
EXTERN_C NTSTATUS RtlStringFromGUID(REFGUID Guid, PUNICODE_STRING GuidString);
EXTERN_C NTSTATUS RtlGUIDFromString(PCUNICODE_STRING GuidString, GUID* Guid);

/* --- Memory ------------------------------------------------------------- */

#define RtlEqualMemory(Destination, Source, Length) (!memcmp((Destination), (Source), (Length)))
#define RtlMoveMemory(Destination, Source, Length) memmove((Destination), (Source), (Length))
#define RtlCopyMemory(Destination, Source, Length) memcpy((Destination), (Source), (Length))
#define RtlFillMemory(Destination, Length, Fill) memset((Destination), (Fill), (Length))
#define RtlZeroMemory(Destination, Length) memset((Destination), 0, (Length))
#define RtlSecureZeroMemory(Destination, Length) memset((Destination), 0, (Length))

/* Number of leading bytes that match. */
EXTERN_C SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length);

/* --- Status ------------------------------------------------------------- */

/* The Win32 error code for a status; ERROR_MR_MID_NOT_FOUND (317) when none maps. */
EXTERN_C ULONG RtlNtStatusToDosError(NTSTATUS Status);

/* --- Kernel CRT wide strings (16-bit WCHAR) ----------------------------- */

EXTERN_C size_t host_wcslen16(const wchar_t* s);
EXTERN_C size_t host_wcsnlen16(const wchar_t* s, size_t max);
EXTERN_C int host_wcscmp16(const wchar_t* a, const wchar_t* b);
EXTERN_C int host_wcsncmp16(const wchar_t* a, const wchar_t* b, size_t n);
EXTERN_C int host_wcsicmp16(const wchar_t* a, const wchar_t* b);
EXTERN_C int host_wcsnicmp16(const wchar_t* a, const wchar_t* b, size_t n);
EXTERN_C wchar_t* host_wcscpy16(wchar_t* dest, const wchar_t* src);
EXTERN_C wchar_t* host_wcsncpy16(wchar_t* dest, const wchar_t* src, size_t n);
EXTERN_C wchar_t* host_wcscat16(wchar_t* dest, const wchar_t* src);
EXTERN_C wchar_t* host_wcschr16(const wchar_t* s, wchar_t c);
EXTERN_C wchar_t* host_wcsrchr16(const wchar_t* s, wchar_t c);
EXTERN_C wchar_t* host_wcsstr16(const wchar_t* s, const wchar_t* find);
EXTERN_C int host_wcscpy_s16(wchar_t* dest, size_t size, const wchar_t* src);
EXTERN_C int host_wcscat_s16(wchar_t* dest, size_t size, const wchar_t* src);

#define wcslen host_wcslen16
#define wcsnlen host_wcsnlen16
#define wcscmp host_wcscmp16
#define wcsncmp host_wcsncmp16
#define _wcsicmp host_wcsicmp16
#define _wcsnicmp host_wcsnicmp16
#define wcscpy host_wcscpy16
#define wcsncpy host_wcsncpy16
#define wcscat host_wcscat16
#define wcschr host_wcschr16
#define wcsrchr host_wcsrchr16
#define wcsstr host_wcsstr16
#define wcscpy_s host_wcscpy_s16
#define wcscat_s host_wcscat_s16
