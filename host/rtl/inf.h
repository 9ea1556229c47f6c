// A driver package's setup information (INF) file, as far as device
// installation reads it: the values that the AddReg sections named by the
// package's [*.HW] sections write into each device's hardware key (HKR).
#pragma once

#include "host/rtl/registry.h"

#include <string>
#include <string_view>
#include <vector>

namespace host::reg {

struct InfValue {
    std::u16string name;
    Value value;
    bool no_clobber = false;   // FLG_ADDREG_NOCLOBBER: an existing value stays
};

// The HKR lines "HKR,,Name,Flags,Value" of those AddReg sections, in each
// section's order. Flags: 0 (REG_SZ) or FLG_ADDREG_TYPE_DWORD (0x00010001), each
// optionally with FLG_ADDREG_NOCLOBBER (0x00000002); numbers are decimal or
// 0x hexadecimal. Throws std::runtime_error naming the line of a line it
// cannot take.
std::vector<InfValue> inf_hardware_values(std::string_view text);
std::vector<InfValue> load_inf_hardware_values(const std::string& path);

// Writes the values into a device's hardware key as installation does.
void apply_inf_values(const std::vector<InfValue>& values, std::u16string_view key_path);

}  // namespace host::reg
