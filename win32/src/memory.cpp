// Virtual memory: allocations in the user address space below 4 GiB.
#include "process.h"

EXTERN_C LPVOID VirtualAlloc(LPVOID lpAddress, SIZE_T dwSize, DWORD flAllocationType, DWORD flProtect)
{
    if (lpAddress) {   // placing at a chosen address is not modelled
        win32::fail_with_error(ERROR_INVALID_ADDRESS);
        return nullptr;
    }
    if (!(flAllocationType & MEM_COMMIT) || dwSize == 0) {
        win32::fail_with_error(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    void* p = host::io::user_alloc(dwSize, flProtect);
    if (!p)
        win32::fail_with_error(ERROR_NOT_ENOUGH_MEMORY);
    return p;
}

EXTERN_C BOOL VirtualFree(LPVOID lpAddress, SIZE_T dwSize, DWORD dwFreeType)
{
    if (dwFreeType != MEM_RELEASE || dwSize != 0)
        return win32::fail_with_error(ERROR_INVALID_PARAMETER);
    return host::io::user_free(lpAddress) ? TRUE : win32::fail_with_error(ERROR_INVALID_ADDRESS);
}

EXTERN_C BOOL VirtualProtect(LPVOID lpAddress, SIZE_T dwSize, DWORD flNewProtect, PDWORD lpflOldProtect)
{
    ULONG old = 0;
    if (!host::io::user_protect(lpAddress, dwSize, flNewProtect, &old))
        return win32::fail_with_error(ERROR_INVALID_ADDRESS);
    if (lpflOldProtect)
        *lpflOldProtect = old;
    return TRUE;
}
