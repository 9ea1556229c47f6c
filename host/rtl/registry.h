// The in-memory registry: keys under \Registry (\Registry\Machine for
// HKEY_LOCAL_MACHINE, \Registry\User for HKEY_USERS) with case-insensitive
// key and value names; the empty name is a key's default value. Every call
// takes the registry's own lock, so any thread may use it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/include/ntdef.h"
#include "host/include/wdk/reg.h"

namespace host::reg {

struct Value {
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;   // REG_SZ: UTF-16LE including the NUL
    bool operator==(const Value&) const = default;
};

Value string_value(std::u16string_view s, ULONG type = REG_SZ);    // REG_SZ or REG_EXPAND_SZ
Value multi_string_value(const std::vector<std::u16string>& strings);
Value dword_value(ULONG v);
Value qword_value(ULONGLONG v);
// The text of a REG_SZ/REG_EXPAND_SZ value, up to its first NUL.
std::optional<std::u16string> as_string(const Value& v);
std::optional<ULONG> as_dword(const Value& v);

// The registry as a fresh system has it: under \Registry\Machine the keys
// System\CurrentControlSet\{Services,Control,Enum}, Hardware\DeviceMap and
// Software\Microsoft\Windows NT\CurrentVersion; \Registry\User\.Default.
// Open handles are closed.
void reset();

// Key paths are absolute: u"\\Registry\\Machine\\System\\...". Another
// form throws std::invalid_argument.
void set_value(std::u16string_view key_path, std::u16string_view name, Value v);   // creates keys
void set_string(std::u16string_view key_path, std::u16string_view name, std::u16string_view s);
void set_dword(std::u16string_view key_path, std::u16string_view name, ULONG v);
std::optional<Value> get_value(std::u16string_view key_path, std::u16string_view name);
bool delete_value(std::u16string_view key_path, std::u16string_view name);
std::vector<std::pair<std::u16string, Value>> values(std::u16string_view key_path);  // in creation order

bool key_exists(std::u16string_view key_path);
void create_key(std::u16string_view key_path);      // with any missing parents
void delete_key(std::u16string_view key_path);      // with its subtree; absent: nothing
std::vector<std::u16string> subkeys(std::u16string_view key_path);   // sorted, case-insensitively

// Windows Registry Editor 5.00 text (UTF-8 or UTF-16LE with byte-order
// mark). Throws std::runtime_error naming the line on bad input; lines
// before the bad one stay applied.
void load_reg_text(std::string_view text);
void load_reg_file(const std::string& path);
// The subtree at `key_path` as Registry Editor text (UTF-8, "\n" line ends).
std::string dump(std::u16string_view key_path);

// Kernel handles for keys. Once its key is deleted, operations through a
// handle fail with STATUS_KEY_DELETED.
NTSTATUS open_key(std::u16string_view path, ACCESS_MASK access, HANDLE* out);
// Creates the last component only (its parent must exist), as ZwCreateKey does.
NTSTATUS create_key(std::u16string_view path, ACCESS_MASK access, HANDLE* out, ULONG* disposition);
NTSTATUS close_key(HANDLE handle);
std::u16string key_path_of(HANDLE handle);   // empty for a handle that is not an open key
// The path of an open key: STATUS_INVALID_HANDLE for a handle that is not
// one, STATUS_KEY_DELETED once its key is gone, even if a key of the same
// name has been created since.
NTSTATUS handle_key(HANDLE handle, std::u16string* path);
size_t open_handle_count();

}  // namespace host::reg
