// A root-enumerated device of a test driver, as the PnP manager reports
// it, and the overlapped handle an application opens on a device.
#pragma once

#include "host/host.h"

#include <win32.h>

#include <string>

namespace porttest {

// ROOT\<id>\0000 of the given setup class.
inline host::ChildDevice root_child(const std::u16string& id, std::u16string class_name,
                                    std::u16string friendly_name)
{
    host::ChildDevice child;
    child.instance_path = u"ROOT\\" + id + u"\\0000";
    child.class_name = std::move(class_name);
    child.friendly_name = std::move(friendly_name);
    child.hardware_id = u"ROOT\\" + id;
    return child;
}

// Read-write, exclusive, overlapped: how the tests' applications open a device.
inline HANDLE open_overlapped(const wchar_t* path)
{
    return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

// Closes `handle` if it is open and forgets it.
inline void close_handle(HANDLE& handle)
{
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
}

// Plugs `child` into `host` and opens `path` on it.
inline host::io::DeviceNode* plug_and_open(host::Host& host, const host::ChildDevice& child, const wchar_t* path,
                                           HANDLE* file)
{
    host::io::DeviceNode* node = host.plug(child);
    *file = node ? open_overlapped(path) : INVALID_HANDLE_VALUE;
    return node;
}

}  // namespace porttest
