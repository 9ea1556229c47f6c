#include "process.h"

#include <ntddk.h>

#include <map>

namespace win32 {

namespace {

// Handles are multiples of four, as on Windows; the first is 4.
struct HandleTable {
    uint64_t generation = 0;
    uintptr_t next = 4;
    std::map<uintptr_t, Object> objects;
};
HandleTable g_table;

HandleTable& table()
{
    uint64_t current = host::io::generation();
    if (g_table.generation != current) {
        g_table = HandleTable{};
        g_table.generation = current;
    }
    return g_table;
}

thread_local DWORD t_last_error = ERROR_SUCCESS;

}  // namespace

HANDLE insert_handle(Object object)
{
    HandleTable& t = table();
    uintptr_t value = t.next;
    t.next += 4;
    t.objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

Object* find_handle(HANDLE handle)
{
    HandleTable& t = table();
    auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
    return it == t.objects.end() ? nullptr : &it->second;
}

bool erase_handle(HANDLE handle, Object* removed)
{
    HandleTable& t = table();
    auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it == t.objects.end())
        return false;
    *removed = std::move(it->second);
    t.objects.erase(it);
    return true;
}

BOOL fail_with_status(NTSTATUS status) { return fail_with_error(RtlNtStatusToDosError(status)); }

BOOL fail_with_error(DWORD error)
{
    t_last_error = error;
    return FALSE;
}

}  // namespace win32

EXTERN_C DWORD GetLastError(void) { return win32::t_last_error; }
EXTERN_C void SetLastError(DWORD dwErrCode) { win32::t_last_error = dwErrCode; }
