/*
 * Forced into every driver source compiled with MinGW-w64's kernel headers,
 * and only there: the names the driver uses that those headers lack.
 */
#pragma once

#include <ntddk.h>
#include <ntstrsafe.h>

/* KMDF's status codes (wdfstatus.h) are not in MinGW's ntstatus.h. */
#define STATUS_WDF_PAUSED ((NTSTATUS)0xC0200203L)

/* MinGW's ntstrsafe.h has no UNICODE_STRING functions; the WDK's declares
   this one (its inline body does not matter to a compile-only check). */
extern "C" NTSTATUS RtlUnicodeStringPrintf(PUNICODE_STRING DestinationString,
                                           NTSTRSAFE_PCWSTR pszFormat, ...);

/* Serial controls of the WDK's ntddser.h that MinGW's copy lacks. */
#define IOCTL_SERIAL_GET_COMMCONFIG CTL_CODE(FILE_DEVICE_SERIAL_PORT, 33, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_SET_COMMCONFIG CTL_CODE(FILE_DEVICE_SERIAL_PORT, 34, METHOD_BUFFERED, FILE_ANY_ACCESS)
