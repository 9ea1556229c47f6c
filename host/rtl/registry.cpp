#include "host/rtl/registry.h"

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "host/include/ntstatus.h"
#include "host/rtl/strings.h"

namespace host::reg {

namespace {

struct Key {
    std::u16string name;
    uint64_t serial;   // tells a key from a later one of the same name
    std::map<std::u16string, std::unique_ptr<Key>> children;   // by upcased name
    std::vector<std::pair<std::u16string, Value>> values;      // in creation order

    Key* child(std::u16string_view n) const
    {
        const auto it = children.find(upcase(n));
        return it == children.end() ? nullptr : it->second.get();
    }
    Key* add_child(std::u16string_view n)
    {
        auto& slot = children[upcase(n)];
        static uint64_t next_serial = 0;   // guarded by the registry's lock
        if (!slot)
            slot = std::make_unique<Key>(Key{std::u16string(n), ++next_serial, {}, {}});
        return slot.get();
    }
    auto find_value(std::u16string_view n)
    {
        auto it = values.begin();
        while (it != values.end() && !iequals(it->first, n))
            ++it;
        return it;
    }
};

struct OpenKey {
    std::u16string path;
    uint64_t serial;
};

struct Registry {
    std::mutex mutex;   // its own lock: registry calls never take the scheduler's
    Key root{u"Registry", 0, {}, {}};
    std::map<uintptr_t, OpenKey> handles;
    uintptr_t next_handle = 0;
};

// Kernel handles have the top bit set, as on Windows.
constexpr uintptr_t kKernelHandleBase = 0xFFFFFFFF80000000ull;

// The components of an absolute path after "\Registry"; nullopt for a
// path of another form. Empty components (doubled separators) are skipped.
std::optional<std::vector<std::u16string_view>> components(std::u16string_view path)
{
    std::vector<std::u16string_view> parts;
    if (path.empty() || path.front() != u'\\')
        return std::nullopt;
    while (!path.empty()) {
        const size_t start = path.find_first_not_of(u'\\');
        if (start == std::u16string_view::npos)
            break;
        path.remove_prefix(start);
        const size_t end = path.find(u'\\');
        parts.push_back(path.substr(0, end));
        path.remove_prefix(end == std::u16string_view::npos ? path.size() : end);
    }
    if (parts.empty() || !iequals(parts.front(), u"Registry"))
        return std::nullopt;
    parts.erase(parts.begin());
    return parts;
}

std::vector<std::u16string_view> checked_components(std::u16string_view path)
{
    auto parts = components(path);
    if (!parts)
        throw std::invalid_argument("not an absolute registry path: " + to_utf8(path));
    return *parts;
}

Key* find(Registry& r, const std::vector<std::u16string_view>& parts, bool create)
{
    Key* key = &r.root;
    for (const auto& part : parts) {
        Key* next = key->child(part);
        if (!next && create)
            next = key->add_child(part);
        if (!next)
            return nullptr;
        key = next;
    }
    return key;
}

// The path with each component spelt as the key was created.
std::u16string canonical_path(Registry& r, const std::vector<std::u16string_view>& parts)
{
    std::u16string path = u"\\Registry";
    const Key* key = &r.root;
    for (const auto& part : parts) {
        key = key->child(part);
        path += u'\\';
        path += key->name;
    }
    return path;
}

// Kernel callers are not access-checked, so a handle records only its key.
HANDLE new_handle(Registry& r, const std::vector<std::u16string_view>& parts)
{
    const uintptr_t value = kKernelHandleBase + 4 * ++r.next_handle;
    r.handles[value] = {canonical_path(r, parts), find(r, parts, false)->serial};
    return reinterpret_cast<HANDLE>(value);
}

void add_skeleton(Registry& r)
{
    static constexpr std::u16string_view kSkeleton[] = {
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Services",
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Control",
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum",
        u"\\Registry\\Machine\\Hardware\\DeviceMap",
        u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion",
        u"\\Registry\\User\\.Default",
    };
    for (auto path : kSkeleton)
        find(r, checked_components(path), true);
}

Registry& registry()
{
    static Registry* const r = [] {
        auto* fresh = new Registry;   // never destroyed: usable until the process ends
        add_skeleton(*fresh);
        return fresh;
    }();
    return *r;
}

}  // namespace

// --- values ---

Value string_value(std::u16string_view s, ULONG type)
{
    Value v{type, std::vector<uint8_t>((s.size() + 1) * sizeof(char16_t))};
    std::memcpy(v.data.data(), s.data(), s.size() * sizeof(char16_t));
    return v;
}

Value multi_string_value(const std::vector<std::u16string>& strings)
{
    std::u16string joined;
    for (const auto& s : strings) {
        joined += s;
        joined += u'\0';
    }
    return string_value(joined, REG_MULTI_SZ);
}

Value dword_value(ULONG v)
{
    Value out{REG_DWORD, std::vector<uint8_t>(sizeof v)};
    std::memcpy(out.data.data(), &v, sizeof v);
    return out;
}

Value qword_value(ULONGLONG v)
{
    Value out{REG_QWORD, std::vector<uint8_t>(sizeof v)};
    std::memcpy(out.data.data(), &v, sizeof v);
    return out;
}

std::optional<std::u16string> as_string(const Value& v)
{
    if (v.type != REG_SZ && v.type != REG_EXPAND_SZ)
        return std::nullopt;
    std::u16string text(v.data.size() / sizeof(char16_t), u'\0');
    std::memcpy(text.data(), v.data.data(), text.size() * sizeof(char16_t));
    return text.substr(0, text.find(u'\0'));
}

std::optional<ULONG> as_dword(const Value& v)
{
    if (v.type != REG_DWORD || v.data.size() != sizeof(ULONG))
        return std::nullopt;
    ULONG out;
    std::memcpy(&out, v.data.data(), sizeof out);
    return out;
}

// --- keys and values by path ---

void reset()
{
    Registry& r = registry();
    std::lock_guard guard(r.mutex);
    r.root.children.clear();
    r.root.values.clear();
    r.handles.clear();
    r.next_handle = 0;
    add_skeleton(r);
}

void set_value(std::u16string_view key_path, std::u16string_view name, Value v)
{
    Registry& r = registry();
    const auto parts = checked_components(key_path);
    std::lock_guard guard(r.mutex);
    Key* key = find(r, parts, true);
    const auto it = key->find_value(name);
    if (it != key->values.end())
        it->second = std::move(v);
    else
        key->values.emplace_back(std::u16string(name), std::move(v));
}

void set_string(std::u16string_view key_path, std::u16string_view name, std::u16string_view s)
{
    set_value(key_path, name, string_value(s));
}

void set_dword(std::u16string_view key_path, std::u16string_view name, ULONG v)
{
    set_value(key_path, name, dword_value(v));
}

std::optional<Value> get_value(std::u16string_view key_path, std::u16string_view name)
{
    Registry& r = registry();
    const auto parts = checked_components(key_path);
    std::lock_guard guard(r.mutex);
    Key* key = find(r, parts, false);
    if (!key)
        return std::nullopt;
    const auto it = key->find_value(name);
    return it == key->values.end() ? std::nullopt : std::optional<Value>(it->second);
}

bool delete_value(std::u16string_view key_path, std::u16string_view name)
{
    Registry& r = registry();
    const auto parts = checked_components(key_path);
    std::lock_guard guard(r.mutex);
    Key* key = find(r, parts, false);
    if (!key)
        return false;
    const auto it = key->find_value(name);
    if (it == key->values.end())
        return false;
    key->values.erase(it);
    return true;
}

std::vector<std::pair<std::u16string, Value>> values(std::u16string_view key_path)
{
    Registry& r = registry();
    const auto parts = checked_components(key_path);
    std::lock_guard guard(r.mutex);
    const Key* key = find(r, parts, false);
    return key ? key->values : std::vector<std::pair<std::u16string, Value>>{};
}

bool key_exists(std::u16string_view key_path)
{
    Registry& r = registry();
    const auto parts = checked_components(key_path);
    std::lock_guard guard(r.mutex);
    return find(r, parts, false) != nullptr;
}

void create_key(std::u16string_view key_path)
{
    Registry& r = registry();
    const auto parts = checked_components(key_path);
    std::lock_guard guard(r.mutex);
    find(r, parts, true);
}

void delete_key(std::u16string_view key_path)
{
    Registry& r = registry();
    auto parts = checked_components(key_path);
    if (parts.empty())
        throw std::invalid_argument("the registry root cannot be deleted");
    std::lock_guard guard(r.mutex);
    const auto last = parts.back();
    parts.pop_back();
    if (Key* parent = find(r, parts, false))
        parent->children.erase(upcase(last));
}

std::vector<std::u16string> subkeys(std::u16string_view key_path)
{
    Registry& r = registry();
    const auto parts = checked_components(key_path);
    std::lock_guard guard(r.mutex);
    std::vector<std::u16string> names;
    if (const Key* key = find(r, parts, false))
        for (const auto& [folded, child] : key->children)
            names.push_back(child->name);
    return names;
}

// --- kernel handles ---

NTSTATUS open_key(std::u16string_view path, ACCESS_MASK, HANDLE* out)
{
    Registry& r = registry();
    const auto parts = components(path);
    if (!parts)
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    std::lock_guard guard(r.mutex);
    if (!find(r, *parts, false))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    *out = new_handle(r, *parts);
    return STATUS_SUCCESS;
}

NTSTATUS create_key(std::u16string_view path, ACCESS_MASK, HANDLE* out, ULONG* disposition)
{
    Registry& r = registry();
    auto parts = components(path);
    if (!parts || parts->empty())
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    std::lock_guard guard(r.mutex);
    const auto last = parts->back();
    parts->pop_back();
    Key* parent = find(r, *parts, false);
    if (!parent)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    const bool existed = parent->child(last) != nullptr;
    parent->add_child(last);
    parts->push_back(last);
    *out = new_handle(r, *parts);
    if (disposition)
        *disposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    return STATUS_SUCCESS;
}

NTSTATUS close_key(HANDLE handle)
{
    Registry& r = registry();
    std::lock_guard guard(r.mutex);
    return r.handles.erase(reinterpret_cast<uintptr_t>(handle)) ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}

std::u16string key_path_of(HANDLE handle)
{
    Registry& r = registry();
    std::lock_guard guard(r.mutex);
    const auto it = r.handles.find(reinterpret_cast<uintptr_t>(handle));
    return it == r.handles.end() ? std::u16string() : it->second.path;
}

NTSTATUS handle_key(HANDLE handle, std::u16string* path)
{
    Registry& r = registry();
    std::lock_guard guard(r.mutex);
    const auto it = r.handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == r.handles.end())
        return STATUS_INVALID_HANDLE;
    *path = it->second.path;
    const Key* key = find(r, checked_components(*path), false);
    return key && key->serial == it->second.serial ? STATUS_SUCCESS : STATUS_KEY_DELETED;
}

size_t open_handle_count()
{
    Registry& r = registry();
    std::lock_guard guard(r.mutex);
    return r.handles.size();
}

}  // namespace host::reg
