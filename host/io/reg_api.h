// The registry as the PnP manager and the Host use it (host/rtl/registry.h).
#pragma once

#if __has_include("host/rtl/registry.h")
#include "host/rtl/registry.h"
#else
// Until the registry lands: the declarations of its interface that are used here.
#include <ntddk.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace host::reg {
struct Value {
    ULONG type;
    std::vector<uint8_t> data;
};
void reset();
void set_value(std::u16string_view key_path, std::u16string_view name, Value v);
void create_key(std::u16string_view key_path);
std::vector<std::pair<std::u16string, Value>> values(std::u16string_view key_path);
NTSTATUS open_key(std::u16string_view path, ACCESS_MASK access, HANDLE* out);
}  // namespace host::reg
#endif
