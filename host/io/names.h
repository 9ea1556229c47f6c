// The object-name space inside the I/O manager: device names and symbolic
// links under one case-insensitive directory. Callers hold the scheduler lock.
#pragma once

#include "wdm_model.h"

#include <optional>
#include <string>
#include <string_view>

namespace host::io::names {

void reset();

// \DosDevices\X and \GLOBAL??\X become \??\X.
std::u16string canonical(std::u16string_view name);
bool iequal(std::u16string_view a, std::u16string_view b);

NTSTATUS insert_device(const std::u16string& name, _DEVICE_OBJECT* device);
void erase_device(const std::u16string& name);

// Resolves `path` to a device, following links; `remainder` receives what
// follows the device's name (the file name).
struct Found {
    _DEVICE_OBJECT* device;
    std::u16string remainder;
};
std::optional<Found> find_device(std::u16string_view path);

}  // namespace host::io::names
