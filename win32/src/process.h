// The process' handle table: files opened on devices and events. Guarded
// by the scheduler lock; a table left from an earlier Host is dropped.
#pragma once

#include "win32.h"

#include "host/io/iomgr.h"

#include <memory>
#include <variant>

namespace win32 {

struct Event {
    bool manual_reset = false;
    bool signaled = false;
};

struct File {
    _FILE_OBJECT* object = nullptr;
    bool overlapped = false;   // FILE_FLAG_OVERLAPPED
    bool busy = false;         // a synchronous call is in progress
};

using Object = std::variant<std::shared_ptr<Event>, std::shared_ptr<File>>;

// With the scheduler lock held.
HANDLE insert_handle(Object object);
Object* find_handle(HANDLE handle);
bool erase_handle(HANDLE handle, Object* removed);

template <typename T>
std::shared_ptr<T> find(HANDLE handle)
{
    Object* object = find_handle(handle);
    if (!object || !std::holds_alternative<std::shared_ptr<T>>(*object))
        return nullptr;
    return std::get<std::shared_ptr<T>>(*object);
}

// Sets the thread's last error from a status; returns FALSE for chaining.
BOOL fail_with_status(NTSTATUS status);
BOOL fail_with_error(DWORD error);

}  // namespace win32
