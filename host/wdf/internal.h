// Functions shared between the framework's own parts (not the queue side).
#pragma once

#include "host/wdf/fx.h"

#include <string>

namespace host::wdf {

// AddDevice for a framework driver: builds the WDFDEVICE_INIT, calls
// EvtDriverDeviceAdd and deletes a half-made device when it fails.
NTSTATUS add_device(FxDriver* driver, _DEVICE_OBJECT* pdo);

// Opens a registry key as a WDFKEY (parent: the attributes' or `parent`).
NTSTATUS open_key(const std::u16string& path, ACCESS_MASK access, PWDF_OBJECT_ATTRIBUTES attributes,
                  FxObject* parent, const char* api, WDFKEY* key);

// A memory object over framework-owned pool memory holding a copy of
// `bytes` (parent: the attributes' or `parent`).
NTSTATUS create_memory(PWDF_OBJECT_ATTRIBUTES attributes, FxObject* parent, const void* bytes, size_t size,
                       const char* api, WDFMEMORY* memory);

// A memory object over the locked system view of a probed user range, a
// child of `request`; the view is unmapped and the pages unlocked when the
// object goes with its request.
NTSTATUS create_user_view_memory(FxObject* request, void* user, size_t size, bool for_write, WDFMEMORY* memory);

// The string object's text, for the framework's own writers.
NTSTATUS assign_string(WDFSTRING string, std::u16string_view text, const char* api);

// IRP_MJ_CREATE, IRP_MJ_CLEANUP and IRP_MJ_CLOSE of the device (file.cpp).
void file_create(FxDevice* device, io::Irp* irp);
void file_cleanup(FxDevice* device, io::Irp* irp);
void file_close(FxDevice* device, io::Irp* irp);

// Device interfaces are enabled at start and disabled at removal; the
// device's symbolic links go at removal (interface.cpp, device.cpp).
void set_device_interfaces(FxDevice* device, bool enable);
void remove_symbolic_links(FxDevice* device);


// The device's PnP and power handler, installed on its FDO.
io::DeviceHandler* make_device_handler(FxDevice* device);

}  // namespace host::wdf
