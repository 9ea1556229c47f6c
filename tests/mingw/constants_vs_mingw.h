/*
 * The MinGW-w64 side of the generated constants comparison: Windows's
 * headers as MinGW-w64 writes them, and the names they lack, each with the
 * public document that gives its value.
 */
#pragma once

#include <ntddk.h>
#include <winerror.h>

/* Each GUID the following headers define becomes a constant expression in
   its own namespace; a GUID they lack falls back to a global acm_no_guid. */
#undef DEFINE_GUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    namespace acm_guid_in_mingw {                                    \
    inline constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}; }
#include <ntddser.h>
#include <devguid.h>
#include <wdmguid.h>

struct acm_mingw_lacking {
    const char* name;
    const char* document;
};

#define ACM_NTDDSER_DOC "ntddser.h reference, learn.microsoft.com/windows-hardware/drivers/ddi/ntddser"
#define ACM_UART_DOC "IOCTL_SERIAL_LSRMST_INSERT (ntddser.h) and serial.h of the WDK serial sample: 16550 register bits"
#define ACM_WDF_DOC "wdfstatus.h, Windows Driver Kit (KMDF 1.9)"

inline constexpr acm_mingw_lacking acm_mingw_lacking_names[] = {
    {"IOCTL_SERIAL_APPLY_DEFAULT_CONFIGURATION", ACM_NTDDSER_DOC},
    {"IOCTL_SERIAL_GET_COMMCONFIG", ACM_NTDDSER_DOC},
    {"IOCTL_SERIAL_SET_COMMCONFIG", ACM_NTDDSER_DOC},
    {"IOCTL_SERIAL_SET_INTERVAL_TIMER_RESOLUTION", ACM_NTDDSER_DOC},
    {"SERIAL_LSR_BI", ACM_UART_DOC},
    {"SERIAL_LSR_DR", ACM_UART_DOC},
    {"SERIAL_LSR_FE", ACM_UART_DOC},
    {"SERIAL_LSR_FIFOERR", ACM_UART_DOC},
    {"SERIAL_LSR_OE", ACM_UART_DOC},
    {"SERIAL_LSR_PE", ACM_UART_DOC},
    {"SERIAL_LSR_TEMT", ACM_UART_DOC},
    {"SERIAL_LSR_THRE", ACM_UART_DOC},
    {"SERIAL_MSR_CTS", ACM_UART_DOC},
    {"SERIAL_MSR_DCD", ACM_UART_DOC},
    {"SERIAL_MSR_DCTS", ACM_UART_DOC},
    {"SERIAL_MSR_DDCD", ACM_UART_DOC},
    {"SERIAL_MSR_DDSR", ACM_UART_DOC},
    {"SERIAL_MSR_DSR", ACM_UART_DOC},
    {"SERIAL_MSR_RI", ACM_UART_DOC},
    {"SERIAL_MSR_TERI", ACM_UART_DOC},
    {"STATUS_WDF_BUSY", ACM_WDF_DOC},
    {"STATUS_WDF_INTERNAL_ERROR", ACM_WDF_DOC},
    {"STATUS_WDF_NO_CALLBACK", ACM_WDF_DOC},
    {"STATUS_WDF_OBJECT_ALREADY_DELETED", ACM_WDF_DOC},
    {"STATUS_WDF_PAUSED", ACM_WDF_DOC},
    {"STATUS_WDF_REQUEST_ALREADY_PENDING", ACM_WDF_DOC},
    {"STATUS_WDF_TOO_FRAGMENTED", ACM_WDF_DOC},
};

constexpr bool acm_same_name(const char* a, const char* b)
{
    while (*a != 0 && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

constexpr bool acm_mingw_lacks(const char* name)
{
    for (const acm_mingw_lacking& entry : acm_mingw_lacking_names) {
        if (acm_same_name(entry.name, name)) {
            return true;
        }
    }
    return false;
}

/* Compared as the 32 bits Windows stores, whatever type each side casts to. */
#define ACM_SAME_VALUE(name, ours) ((unsigned)(name) == (ours))

struct acm_no_guid {};

constexpr bool acm_same_guid(const GUID& theirs, const GUID& ours)
{
    for (int i = 0; i < 8; ++i) {
        if (theirs.Data4[i] != ours.Data4[i]) {
            return false;
        }
    }
    return theirs.Data1 == ours.Data1 && theirs.Data2 == ours.Data2 && theirs.Data3 == ours.Data3;
}

/* A GUID MinGW lacks has nothing to compare; it must be listed instead. */
constexpr bool acm_same_guid(acm_no_guid, const GUID&)
{
    return true;
}

constexpr bool acm_listed_rightly(const GUID&, const char* name)
{
    return !acm_mingw_lacks(name);
}

constexpr bool acm_listed_rightly(acm_no_guid, const char* name)
{
    return acm_mingw_lacks(name);
}
