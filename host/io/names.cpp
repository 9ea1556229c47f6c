// The object-name space (device names and symbolic links), device
// interfaces and the I/O configuration information.
#include "host/io/names.h"

#include "host/io/iomgr.h"
#include "host/io/pnp.h"
#include "host/kernel/sched.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <variant>

namespace host::io {

namespace {

char16_t fold(char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - u'a' + u'A') : c; }

std::u16string folded(std::u16string_view s)
{
    std::u16string out(s);
    std::transform(out.begin(), out.end(), out.begin(), fold);
    return out;
}

bool has_prefix(std::u16string_view s, std::u16string_view prefix)
{
    return s.size() >= prefix.size() && names::iequal(s.substr(0, prefix.size()), prefix);
}

// A directory entry: a device or the target of a symbolic link.
struct Entry {
    std::u16string name;   // as created, canonical
    std::variant<_DEVICE_OBJECT*, std::u16string> object;
    bool is_link() const { return std::holds_alternative<std::u16string>(object); }
};

struct State {
    std::map<std::u16string, Entry> directory;   // by folded canonical name
    std::vector<InterfaceRecord> interfaces;
    CONFIGURATION_INFORMATION configuration{};
};
State g_state;

constexpr int kMaxLinkDepth = 32;

// The longest entry that `path` starts with, ending at a component boundary.
const Entry* longest_prefix(std::u16string_view path, size_t* matched)
{
    std::u16string key = folded(path);
    for (size_t end = key.size(); end > 0 && end != std::u16string::npos; end = key.rfind(u'\\', end - 1)) {
        auto it = g_state.directory.find(key.substr(0, end));
        if (it != g_state.directory.end()) {
            *matched = end;
            return &it->second;
        }
    }
    return nullptr;
}

InterfaceRecord* find_interface(std::u16string_view link)
{
    std::u16string name = names::canonical(link);
    for (auto& r : g_state.interfaces)
        if (names::iequal(r.link, name))
            return &r;
    return nullptr;
}

}  // namespace

namespace names {

void reset() { g_state = State{}; }

bool iequal(std::u16string_view a, std::u16string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char16_t x, char16_t y) { return fold(x) == fold(y); });
}

std::u16string canonical(std::u16string_view name)
{
    for (std::u16string_view alias : {u"\\DosDevices\\", u"\\GLOBAL??\\"})
        if (has_prefix(name, alias))
            return u"\\??\\" + std::u16string(name.substr(alias.size()));
    if (iequal(name, u"\\DosDevices") || iequal(name, u"\\GLOBAL??"))
        return u"\\??";
    return std::u16string(name);
}

NTSTATUS insert_device(const std::u16string& name, _DEVICE_OBJECT* device)
{
    std::u16string key = folded(canonical(name));
    if (g_state.directory.count(key))
        return STATUS_OBJECT_NAME_COLLISION;
    g_state.directory.emplace(key, Entry{canonical(name), device});
    return STATUS_SUCCESS;
}

void erase_device(const std::u16string& name) { g_state.directory.erase(folded(canonical(name))); }

std::optional<Found> find_device(std::u16string_view path)
{
    std::u16string current = canonical(path);
    for (int depth = 0; depth < kMaxLinkDepth; ++depth) {
        size_t matched = 0;
        const Entry* entry = longest_prefix(current, &matched);
        if (!entry)
            return std::nullopt;
        std::u16string rest = current.substr(matched);
        if (!entry->is_link())
            return Found{std::get<_DEVICE_OBJECT*>(entry->object), rest};
        current = canonical(std::get<std::u16string>(entry->object) + rest);
    }
    return std::nullopt;
}

}  // namespace names

NTSTATUS create_symbolic_link(std::u16string link, std::u16string target)
{
    if (link.empty() || link[0] != u'\\' || target.empty())
        return STATUS_OBJECT_NAME_INVALID;
    std::u16string name = names::canonical(link);
    auto lock = sched_lock();
    auto [it, inserted] = g_state.directory.try_emplace(folded(name), Entry{name, std::move(target)});
    return inserted ? STATUS_SUCCESS : STATUS_OBJECT_NAME_COLLISION;
}

NTSTATUS delete_symbolic_link(std::u16string link)
{
    auto lock = sched_lock();
    auto it = g_state.directory.find(folded(names::canonical(link)));
    if (it == g_state.directory.end() || !it->second.is_link())
        return STATUS_OBJECT_NAME_NOT_FOUND;
    g_state.directory.erase(it);
    return STATUS_SUCCESS;
}

std::optional<std::u16string> resolve_link(std::u16string name)
{
    auto lock = sched_lock();
    std::optional<std::u16string> target;
    std::u16string current = names::canonical(name);
    for (int depth = 0; depth < kMaxLinkDepth; ++depth) {
        auto it = g_state.directory.find(folded(current));
        if (it == g_state.directory.end() || !it->second.is_link())
            break;
        target = std::get<std::u16string>(it->second.object);
        current = names::canonical(*target);
    }
    return target;
}

std::vector<SymbolicLink> symbolic_links()
{
    auto lock = sched_lock();
    std::vector<SymbolicLink> out;
    for (auto& [key, entry] : g_state.directory)
        if (entry.is_link())
            out.push_back({entry.name, std::get<std::u16string>(entry.object)});
    return out;
}

// The link of a device interface: \??\<instance path, '\' as '#'>#{guid}[\ref].
NTSTATUS register_interface(_DEVICE_OBJECT* pdo, const GUID& guid, const UNICODE_STRING* ref,
                            std::u16string* link_out)
{
    if (!pdo || !pdo->node || pdo->node->pdo != pdo)
        return STATUS_INVALID_DEVICE_REQUEST;
    std::u16string link = u"\\??\\" + pdo->node->instance_path;
    std::replace(link.begin() + 4, link.end(), u'\\', u'#');
    link += u"#" + guid_string(guid, false);
    if (ref && ref->Length)
        link += u"\\" + std::u16string(reinterpret_cast<const char16_t*>(ref->Buffer), ref->Length / 2);
    auto lock = sched_lock();
    if (!find_interface(link))
        g_state.interfaces.push_back({guid, link, pdo, false});
    *link_out = link;
    return STATUS_SUCCESS;
}

// An enabled interface is a symbolic link to its physical device object.
NTSTATUS set_interface_state(std::u16string link, bool enable)
{
    auto lock = sched_lock();
    InterfaceRecord* record = find_interface(link);
    if (!record)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    if (record->enabled == enable)
        return enable ? STATUS_OBJECT_NAME_EXISTS : STATUS_OBJECT_NAME_NOT_FOUND;
    record->enabled = enable;
    std::u16string key = folded(record->link);
    if (enable)
        g_state.directory.insert_or_assign(key, Entry{record->link, record->pdo->name});
    else
        g_state.directory.erase(key);
    return STATUS_SUCCESS;
}

std::vector<InterfaceRecord> interfaces()
{
    auto lock = sched_lock();
    return g_state.interfaces;
}

CONFIGURATION_INFORMATION* configuration() { return &g_state.configuration; }

}  // namespace host::io

// --- the kernel routines ------------------------------------------------------

namespace {

std::u16string from_unicode(const UNICODE_STRING* s)
{
    if (!s || !s->Buffer)
        return {};
    return std::u16string(reinterpret_cast<const char16_t*>(s->Buffer), s->Length / sizeof(WCHAR));
}

}  // namespace

EXTERN_C PCONFIGURATION_INFORMATION IoGetConfigurationInformation(VOID) { return host::io::configuration(); }

EXTERN_C NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    return host::io::create_symbolic_link(from_unicode(SymbolicLinkName), from_unicode(DeviceName));
}

EXTERN_C NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    return host::io::delete_symbolic_link(from_unicode(SymbolicLinkName));
}

EXTERN_C NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                            PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName)
{
    std::u16string link;
    NTSTATUS status = host::io::register_interface(PhysicalDeviceObject, *InterfaceClassGuid, ReferenceString, &link);
    if (!NT_SUCCESS(status))
        return status;
    size_t bytes = (link.size() + 1) * sizeof(WCHAR);
    // RtlFreeUnicodeString releases it.
    auto* buffer = static_cast<WCHAR*>(std::malloc(bytes));
    if (!buffer)
        return STATUS_INSUFFICIENT_RESOURCES;
    std::copy(link.begin(), link.end(), reinterpret_cast<char16_t*>(buffer));
    buffer[link.size()] = 0;
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = USHORT(link.size() * sizeof(WCHAR));
    SymbolicLinkName->MaximumLength = USHORT(bytes);
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable)
{
    return host::io::set_interface_state(from_unicode(SymbolicLinkName), Enable != FALSE);
}
