/*
 * The user-mode API of the host: handles, files on devices, overlapped I/O,
 * events, waits, virtual memory and the thread's last error, with the names,
 * types, values and semantics of the Windows API.
 */
#pragma once

#include <ntdef.h>

typedef void* LPVOID;
typedef const void* LPCVOID;
typedef HANDLE* LPHANDLE;
typedef int32_t* LPLONG;

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define INFINITE 0xFFFFFFFF
#define MAXIMUM_WAIT_OBJECTS 64

typedef struct _OVERLAPPED {
    ULONG_PTR Internal;       /* the request's NTSTATUS; STATUS_PENDING while in flight */
    ULONG_PTR InternalHigh;   /* bytes transferred */
    union {
        struct {
            DWORD Offset;
            DWORD OffsetHigh;
        };
        PVOID Pointer;
    };
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

#define HasOverlappedIoCompleted(lpOverlapped) (((DWORD)(lpOverlapped)->Internal) != 0x00000103L)

/* Access, sharing, creation. */
#ifndef GENERIC_READ
#define GENERIC_READ    0x80000000L
#define GENERIC_WRITE   0x40000000L
#define GENERIC_EXECUTE 0x20000000L
#define GENERIC_ALL     0x10000000L
#endif
#ifndef FILE_SHARE_READ
#define FILE_SHARE_READ   0x00000001
#define FILE_SHARE_WRITE  0x00000002
#define FILE_SHARE_DELETE 0x00000004
#endif
#define CREATE_NEW        1
#define CREATE_ALWAYS     2
#define OPEN_EXISTING     3
#define OPEN_ALWAYS       4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_FLAG_OVERLAPPED  0x40000000

/* Waits. */
#define WAIT_OBJECT_0    0x00000000L
#define WAIT_ABANDONED_0 0x00000080L
#define WAIT_TIMEOUT     258L
#define WAIT_FAILED      ((DWORD)0xFFFFFFFF)

/* Virtual memory. */
#define MEM_COMMIT   0x00001000
#define MEM_RESERVE  0x00002000
#define MEM_DECOMMIT 0x00004000
#define MEM_RELEASE  0x00008000
#define PAGE_NOACCESS          0x01
#define PAGE_READONLY          0x02
#define PAGE_READWRITE         0x04
#define PAGE_WRITECOPY         0x08
#define PAGE_EXECUTE           0x10
#define PAGE_EXECUTE_READ      0x20
#define PAGE_EXECUTE_READWRITE 0x40
#define PAGE_GUARD             0x100

/* Error codes (winerror.h). */
#define ERROR_SUCCESS              0L
#define NO_ERROR                   0L
#define ERROR_INVALID_FUNCTION     1L
#define ERROR_FILE_NOT_FOUND       2L
#define ERROR_PATH_NOT_FOUND       3L
#define ERROR_ACCESS_DENIED        5L
#define ERROR_INVALID_HANDLE       6L
#define ERROR_NOT_ENOUGH_MEMORY    8L
#define ERROR_NOT_READY            21L
#define ERROR_BAD_COMMAND          22L
#define ERROR_CRC                  23L
#define ERROR_BAD_LENGTH           24L
#define ERROR_GEN_FAILURE          31L
#define ERROR_SHARING_VIOLATION    32L
#define ERROR_HANDLE_EOF           38L
#define ERROR_NOT_SUPPORTED        50L
#define ERROR_DEV_NOT_EXIST        55L
#define ERROR_INVALID_PARAMETER    87L
#define ERROR_SEM_TIMEOUT          121L
#define ERROR_INSUFFICIENT_BUFFER  122L
#define ERROR_INVALID_NAME         123L
#define ERROR_BUSY                 170L
#define ERROR_ALREADY_EXISTS       183L
#define ERROR_MORE_DATA            234L
#define ERROR_NO_MORE_ITEMS        259L
#define ERROR_MR_MID_NOT_FOUND     317L
#define ERROR_INVALID_ADDRESS      487L
#define ERROR_OPERATION_ABORTED    995L
#define ERROR_IO_INCOMPLETE        996L
#define ERROR_IO_PENDING           997L
#define ERROR_NOACCESS             998L
#define ERROR_DEVICE_NOT_CONNECTED 1167L
#define ERROR_NOT_FOUND            1168L
#define ERROR_NO_SYSTEM_RESOURCES  1450L
#define ERROR_TIMEOUT              1460L
#define ERROR_DEVICE_REMOVED       1617L
#define ERROR_INVALID_USER_BUFFER  1784L

EXTERN_C DWORD GetLastError(void);
EXTERN_C void SetLastError(DWORD dwErrCode);

/* Files. \\.\NAME opens \??\NAME (\DosDevices\NAME); \\?\GLOBALROOT\X opens X. */
EXTERN_C HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                            LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                            DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
EXTERN_C HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                            LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                            DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
EXTERN_C BOOL CloseHandle(HANDLE hObject);
EXTERN_C BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                       LPOVERLAPPED lpOverlapped);
EXTERN_C BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                        LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
EXTERN_C BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                              LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                              LPOVERLAPPED lpOverlapped);
EXTERN_C BOOL CancelIo(HANDLE hFile);
EXTERN_C BOOL CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped);
EXTERN_C BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                  BOOL bWait);

/* Events and waits. */
EXTERN_C HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                             LPCWSTR lpName);
EXTERN_C HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                             LPCSTR lpName);
EXTERN_C BOOL SetEvent(HANDLE hEvent);
EXTERN_C BOOL ResetEvent(HANDLE hEvent);
EXTERN_C DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
EXTERN_C DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds);
EXTERN_C void Sleep(DWORD dwMilliseconds);

/* Virtual memory, below 4 GiB, with page protections. */
EXTERN_C LPVOID VirtualAlloc(LPVOID lpAddress, SIZE_T dwSize, DWORD flAllocationType, DWORD flProtect);
EXTERN_C BOOL VirtualFree(LPVOID lpAddress, SIZE_T dwSize, DWORD dwFreeType);
EXTERN_C BOOL VirtualProtect(LPVOID lpAddress, SIZE_T dwSize, DWORD flNewProtect, PDWORD lpflOldProtect);

#ifdef UNICODE
#define CreateFile CreateFileW
#define CreateEvent CreateEventW
#else
#define CreateFile CreateFileA
#define CreateEvent CreateEventA
#endif

/* The comm functions and serial structures. */
#include "comm.h"
