// The comm functions that drive a serial port: time-outs, queues,
// properties, control lines, break, status, purge and events, each a
// sequence of serial I/O controls.
#include "comm_control.h"
#include "process.h"

#include <ntddser.h>

using namespace win32;

namespace win32 {

BOOL serial_control(HANDLE handle, DWORD code, const void* input, DWORD input_length, void* output,
                    DWORD output_length, DWORD* returned)
{
    // A private event lets the call wait on an overlapped handle too.
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD bytes = 0;
    BOOL ok = DeviceIoControl(handle, code, const_cast<void*>(input), input_length, output, output_length, &bytes,
                              &overlapped);
    if (!ok && GetLastError() == ERROR_IO_PENDING)
        ok = GetOverlappedResult(handle, &overlapped, &bytes, TRUE);
    DWORD error = GetLastError();
    CloseHandle(overlapped.hEvent);
    SetLastError(error);
    if (returned)
        *returned = bytes;
    return ok;
}

}  // namespace win32

namespace {

BOOL send(HANDLE handle, DWORD code) { return serial_control(handle, code, nullptr, 0, nullptr, 0); }

DWORD escape_control(DWORD function)
{
    switch (function) {
    case SETXOFF: return IOCTL_SERIAL_SET_XOFF;
    case SETXON: return IOCTL_SERIAL_SET_XON;
    case SETRTS: return IOCTL_SERIAL_SET_RTS;
    case CLRRTS: return IOCTL_SERIAL_CLR_RTS;
    case SETDTR: return IOCTL_SERIAL_SET_DTR;
    case CLRDTR: return IOCTL_SERIAL_CLR_DTR;
    case RESETDEV: return IOCTL_SERIAL_RESET_DEVICE;
    case SETBREAK: return IOCTL_SERIAL_SET_BREAK_ON;
    case CLRBREAK: return IOCTL_SERIAL_SET_BREAK_OFF;
    default: return 0;
    }
}

// SERIAL_ERROR_* bits as the CE_* bits applications read.
DWORD comm_errors(ULONG serial_errors)
{
    struct Bit {
        ULONG serial;
        DWORD comm;
    };
    static constexpr Bit kBits[] = {
        {SERIAL_ERROR_BREAK, CE_BREAK},        {SERIAL_ERROR_FRAMING, CE_FRAME},
        {SERIAL_ERROR_OVERRUN, CE_OVERRUN},    {SERIAL_ERROR_QUEUEOVERRUN, CE_RXOVER},
        {SERIAL_ERROR_PARITY, CE_RXPARITY},
    };
    DWORD errors = 0;
    for (const Bit& bit : kBits)
        if (serial_errors & bit.serial)
            errors |= bit.comm;
    return errors;
}

COMSTAT comm_stat(const SERIAL_STATUS& status)
{
    COMSTAT stat{};
    stat.fCtsHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_CTS) != 0;
    stat.fDsrHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_DSR) != 0;
    stat.fRlsdHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_DCD) != 0;
    stat.fXoffHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_XON) != 0;
    stat.fXoffSent = (status.HoldReasons & SERIAL_TX_WAITING_XOFF_SENT) != 0;
    stat.fEof = status.EofReceived != 0;
    stat.fTxim = status.WaitForImmediate != 0;
    stat.cbInQue = status.AmountInInQueue;
    stat.cbOutQue = status.AmountInOutQueue;
    return stat;
}

}  // namespace

EXTERN_C BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    SERIAL_TIMEOUTS timeouts{};
    if (!serial_control(hFile, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &timeouts, sizeof timeouts))
        return FALSE;
    *lpCommTimeouts = COMMTIMEOUTS{timeouts.ReadIntervalTimeout, timeouts.ReadTotalTimeoutMultiplier,
                                   timeouts.ReadTotalTimeoutConstant, timeouts.WriteTotalTimeoutMultiplier,
                                   timeouts.WriteTotalTimeoutConstant};
    return TRUE;
}

EXTERN_C BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    SERIAL_TIMEOUTS timeouts{lpCommTimeouts->ReadIntervalTimeout, lpCommTimeouts->ReadTotalTimeoutMultiplier,
                             lpCommTimeouts->ReadTotalTimeoutConstant, lpCommTimeouts->WriteTotalTimeoutMultiplier,
                             lpCommTimeouts->WriteTotalTimeoutConstant};
    return serial_control(hFile, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts, nullptr, 0);
}

EXTERN_C BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue)
{
    SERIAL_QUEUE_SIZE sizes{dwInQueue, dwOutQueue};
    return serial_control(hFile, IOCTL_SERIAL_SET_QUEUE_SIZE, &sizes, sizeof sizes, nullptr, 0);
}

// The caller may ask for provider-specific data beyond the structure by
// marking dwProvSpec1 COMMPROP_INITIALIZED and giving the whole length.
EXTERN_C BOOL GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp)
{
    DWORD length = sizeof(COMMPROP);
    if (lpCommProp->dwProvSpec1 == COMMPROP_INITIALIZED && lpCommProp->wPacketLength > sizeof(COMMPROP))
        length = lpCommProp->wPacketLength;
    memset(lpCommProp, 0, length);
    lpCommProp->wPacketLength = WORD(length);
    return serial_control(hFile, IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, lpCommProp, length);
}

EXTERN_C BOOL GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat)
{
    ULONG status = 0;
    if (!serial_control(hFile, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &status, sizeof status))
        return FALSE;
    *lpModemStat = status;
    return TRUE;
}

EXTERN_C BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc)
{
    DWORD code = escape_control(dwFunc);
    if (!code)
        return fail_with_error(ERROR_INVALID_PARAMETER);
    return send(hFile, code);
}

EXTERN_C BOOL SetCommBreak(HANDLE hFile) { return send(hFile, IOCTL_SERIAL_SET_BREAK_ON); }
EXTERN_C BOOL ClearCommBreak(HANDLE hFile) { return send(hFile, IOCTL_SERIAL_SET_BREAK_OFF); }

EXTERN_C BOOL TransmitCommChar(HANDLE hFile, char cChar)
{
    return serial_control(hFile, IOCTL_SERIAL_IMMEDIATE_CHAR, &cChar, 1, nullptr, 0);
}

EXTERN_C BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat)
{
    SERIAL_STATUS status{};
    if (!serial_control(hFile, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof status))
        return FALSE;
    if (lpErrors)
        *lpErrors = comm_errors(status.Errors);
    if (lpStat)
        *lpStat = comm_stat(status);
    return TRUE;
}

EXTERN_C BOOL PurgeComm(HANDLE hFile, DWORD dwFlags)
{
    ULONG mask = dwFlags;
    return serial_control(hFile, IOCTL_SERIAL_PURGE, &mask, sizeof mask, nullptr, 0);
}

EXTERN_C BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask)
{
    ULONG mask = dwEvtMask;
    return serial_control(hFile, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask, nullptr, 0);
}

EXTERN_C BOOL GetCommMask(HANDLE hFile, LPDWORD lpEvtMask)
{
    ULONG mask = 0;
    if (!serial_control(hFile, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, &mask, sizeof mask))
        return FALSE;
    *lpEvtMask = mask;
    return TRUE;
}

// With an OVERLAPPED the wait runs on: FALSE with ERROR_IO_PENDING, the
// events land in *lpEvtMask when the request completes.
EXTERN_C BOOL WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped)
{
    if (lpOverlapped)
        return DeviceIoControl(hFile, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD), nullptr,
                               lpOverlapped);
    return serial_control(hFile, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD));
}
