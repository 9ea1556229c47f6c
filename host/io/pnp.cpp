// The Plug and Play and power manager.
#include "host/io/pnp.h"

#include "host/io/iomgr.h"
#include "host/rtl/registry.h"
#include "host/kernel/sched.h"
#include "host/kernel/verifier.h"
#include "host/rtl/strings.h"
#include "host/rtl/trace.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <mutex>
#include <memory>

namespace host::io {

namespace {

// --- the PnP thread --------------------------------------------------------

struct Job {
    const char* what;
    std::function<void()> body;
    bool done = false;
};

struct PnpThread {
    Thread* thread = nullptr;
    std::deque<std::shared_ptr<Job>> jobs;
    bool stopping = false;
};
PnpThread g_pnp;

void pnp_thread_main()
{
    set_user_context(false);
    for (;;) {
        auto lock = sched_lock();
        wait_until(lock, [] { return g_pnp.stopping || !g_pnp.jobs.empty(); }, kForever, "PnP work");
        if (g_pnp.jobs.empty())
            return;
        auto job = g_pnp.jobs.front();
        g_pnp.jobs.pop_front();
        lock.unlock();
        job->body();
        if (current_irql() != PASSIVE_LEVEL)
            verifier_report("irql", std::string(job->what) + " returned above PASSIVE_LEVEL");
        lock.lock();
        job->done = true;
        notify_all();
    }
}

std::shared_ptr<Job> queue_job(const char* what, std::function<void()> body)
{
    auto job = std::make_shared<Job>(Job{what, std::move(body)});
    auto lock = sched_lock();
    g_pnp.jobs.push_back(job);
    notify_all();
    return job;
}

// --- nodes -----------------------------------------------------------------

std::vector<std::unique_ptr<DeviceNode>> g_nodes;
// Guards g_nodes alone: a plug on one thread and the PnP thread walking the
// nodes for a system power change may run at once in free mode.
std::mutex g_nodes_lock;

// A PDO nobody answers for: every request is refused, no interface offered.
class SilentPdo final : public DeviceHandler {
public:
    void dispatch(Irp* irp) override { complete_irp(irp, STATUS_INVALID_DEVICE_REQUEST, 0); }
};
SilentPdo g_silent_pdo;

void trace_event(const DeviceNode* node, const std::string& event, NTSTATUS status = STATUS_SUCCESS)
{
    trace_pnp(event, node->instance_path, status);
}

DeviceHandler* top_handler(DeviceNode* node) { return top_of_stack(node->pdo)->handler; }

struct ClassGuid {
    const char16_t* name;
    const char16_t* guid;
};
constexpr ClassGuid kClassGuids[] = {
    {u"Ports", u"{4D36E978-E325-11CE-BFC1-08002BE10318}"},
    {u"Modem", u"{4D36E96D-E325-11CE-BFC1-08002BE10318}"},
    {u"System", u"{4D36E97D-E325-11CE-BFC1-08002BE10318}"},
    {u"MultiPortSerial", u"{50906CB8-BA12-11D1-BF5D-0000F805F530}"},
    {u"USB", u"{36FC9E60-C465-11CF-8056-444553540000}"},
};

std::vector<uint8_t> string_value(std::u16string_view s)
{
    std::vector<uint8_t> out((s.size() + 1) * sizeof(char16_t), 0);
    std::memcpy(out.data(), s.data(), s.size() * sizeof(char16_t));
    return out;
}

std::u16string four_digits(unsigned n)
{
    std::u16string out(4, u'0');
    for (int i = 3; i >= 0; --i, n /= 10)
        out[i] = char16_t(u'0' + n % 10);
    return out;
}

void set_state(DeviceNode* node, NodeState state)
{
    auto lock = sched_lock();
    node->state = state;
    notify_all();
}

// IRP_MN_REMOVE_DEVICE and what the PnP manager does after it.
void remove_now(DeviceNode* node)
{
    top_handler(node)->pnp_remove();
    for (auto& record : interfaces())
        if (record.pdo == node->pdo && record.enabled)
            set_interface_state(record.link, false);
    delete_device(node->pdo);
    set_state(node, NodeState::removed);
    trace_event(node, "removed");
}

NTSTATUS start(DeviceNode* node, _DRIVER_OBJECT* driver)
{
    NTSTATUS status = driver->add_device(driver, node->pdo);
    trace_event(node, "AddDevice", status);
    if (!NT_SUCCESS(status)) {
        delete_device(node->pdo);
        set_state(node, NodeState::failed);
        return status;
    }
    status = top_handler(node)->pnp_start();
    trace_event(node, "start", status);
    if (!NT_SUCCESS(status)) {
        remove_now(node);
        set_state(node, NodeState::failed);
        return status;
    }
    auto lock = sched_lock();
    node->state = NodeState::started;
    node->power = DevicePower::D0;
    return STATUS_SUCCESS;
}

std::vector<DeviceNode*> started_nodes()
{
    std::vector<DeviceNode*> out;
    for (DeviceNode* node : device_nodes())
        if (node->state == NodeState::started)
            out.push_back(node);
    return out;
}

}  // namespace

// --- DeviceNode ------------------------------------------------------------------

void trace_pnp(const std::string& event, std::u16string_view subject, NTSTATUS status)
{
    std::string line = "pnp: " + event + " " + to_utf8(subject);
    if (status != STATUS_SUCCESS) {
        char code[16];
        std::snprintf(code, sizeof code, " -> %08x", unsigned(status));
        line += code;
    }
    trace_host(line);
}

const char* to_string(NodeState state)
{
    switch (state) {
    case NodeState::reported: return "reported";
    case NodeState::started: return "started";
    case NodeState::removal_pending: return "removal-pending";
    case NodeState::removed: return "removed";
    case NodeState::failed: return "failed";
    }
    return "?";
}

std::u16string DeviceNode::hardware_key_path() const
{
    return u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + instance_path + u"\\Device Parameters";
}

std::u16string DeviceNode::driver_key_path() const
{
    return u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\" + class_guid() + u"\\" +
           four_digits(index);
}

std::u16string DeviceNode::class_guid() const
{
    for (auto& c : kClassGuids)
        if (iequals(class_name, c.name))
            return c.guid;
    return {};
}

std::u16string guid_string(const GUID& g, bool upper)
{
    char text[40];
    std::snprintf(text, sizeof text, upper ? "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}"
                                           : "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  unsigned(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
    return to_u16(text);
}

NTSTATUS device_property(const DeviceNode& node, DEVICE_REGISTRY_PROPERTY property, std::vector<uint8_t>* value)
{
    std::u16string text;
    switch (property) {
    case DevicePropertyDeviceDescription:
    case DevicePropertyFriendlyName: text = node.friendly_name; break;
    case DevicePropertyClassName: text = node.class_name; break;
    case DevicePropertyClassGuid: text = node.class_guid(); break;
    case DevicePropertyPhysicalDeviceObjectName: text = node.pdo->name; break;
    case DevicePropertyEnumeratorName: text = node.instance_path.substr(0, node.instance_path.find(u'\\')); break;
    case DevicePropertyDriverKeyName:
        if (!node.class_guid().empty())
            text = node.class_guid() + u"\\" + four_digits(node.index);
        break;
    case DevicePropertyHardwareID:
        if (node.hardware_id.empty())
            return STATUS_OBJECT_NAME_NOT_FOUND;
        *value = string_value(node.hardware_id);
        value->push_back(0), value->push_back(0);   // REG_MULTI_SZ: a second NUL ends the list
        return STATUS_SUCCESS;
    default:
        if (property > DevicePropertyContainerID)
            return STATUS_INVALID_PARAMETER_2;
        break;
    }
    if (text.empty())
        return STATUS_OBJECT_NAME_NOT_FOUND;
    *value = string_value(text);
    return STATUS_SUCCESS;
}

NTSTATUS query_interface(_DEVICE_OBJECT* device, const GUID& type, USHORT size, USHORT version,
                         PINTERFACE interface, PVOID specific_data)
{
    for (; device; device = device->lower) {
        NTSTATUS status = device->handler
                              ? device->handler->query_interface(type, size, version, interface, specific_data)
                              : STATUS_NOT_SUPPORTED;
        if (status != STATUS_NOT_SUPPORTED)
            return status;
    }
    return STATUS_NOT_SUPPORTED;
}

// --- the PnP thread ----------------------------------------------------------------

void pnp_thread_start()
{
    g_pnp.stopping = false;
    g_pnp.thread = spawn("pnp", pnp_thread_main);
}

void pnp_thread_stop()
{
    if (!g_pnp.thread)
        return;
    {
        auto lock = sched_lock();
        g_pnp.stopping = true;
        notify_all();
    }
    join(g_pnp.thread);
    g_pnp.thread = nullptr;
}

bool on_pnp_thread() { return g_pnp.thread && current_thread() == g_pnp.thread; }

void pnp_run(const char* what, std::function<void()> body)
{
    if (!g_pnp.thread || on_pnp_thread()) {
        body();
        return;
    }
    auto job = queue_job(what, std::move(body));
    auto lock = sched_lock();
    wait_until(lock, [&] { return job->done; }, kForever, what);
}

void pnp_flush() { pnp_run("flush", [] {}); }

void pnp_post(const char* what, std::function<void()> body)
{
    if (!g_pnp.thread) {
        body();
        return;
    }
    queue_job(what, std::move(body));
}

// --- the lifecycle -----------------------------------------------------------------

void pnp_reset()
{
    std::lock_guard guard(g_nodes_lock);
    g_nodes.clear();
}

std::vector<DeviceNode*> device_nodes()
{
    std::vector<DeviceNode*> out;
    std::lock_guard guard(g_nodes_lock);
    for (auto& node : g_nodes)
        out.push_back(node.get());
    return out;
}

NTSTATUS plug_node(const DeviceNode& child, DeviceHandler* pdo_handler, _DRIVER_OBJECT* driver, DeviceNode** out)
{
    // Whole before it is listed: the PnP thread may walk the list meanwhile.
    auto fresh = std::make_unique<DeviceNode>(child);
    fresh->state = NodeState::reported;
    DeviceNode* node;
    {
        std::lock_guard guard(g_nodes_lock);
        fresh->index = unsigned(g_nodes.size());
        node = g_nodes.emplace_back(std::move(fresh)).get();
    }
    *out = node;
    NTSTATUS status = STATUS_SUCCESS;
    pnp_run("plug", [&] {
        ULONG characteristics = node->pdo_name.empty() ? FILE_AUTOGENERATED_DEVICE_NAME : 0;
        status = create_device(nullptr, node->pdo_name, FILE_DEVICE_UNKNOWN, characteristics, false, &node->pdo);
        if (!NT_SUCCESS(status)) {
            set_state(node, NodeState::failed);
            trace_event(node, "PDO not created", status);
            return;
        }
        node->pdo_name = node->pdo->name;
        node->pdo->node = node;
        node->pdo->handler = pdo_handler ? pdo_handler : &g_silent_pdo;
        node->pdo->flags |= DO_BUS_ENUMERATED_DEVICE;
        trace_event(node, "reported");
        if (driver && driver->add_device)
            status = start(node, driver);
    });
    return status;
}

NTSTATUS power_node(DeviceNode* node, DevicePower state)
{
    NTSTATUS status = STATUS_INVALID_DEVICE_STATE;
    pnp_run("device power", [&] {
        if (node->state != NodeState::started)
            return;
        status = top_handler(node)->power_device(state);
        trace_event(node, "D" + std::to_string(int(state) - 1), status);
        if (NT_SUCCESS(status)) {
            auto lock = sched_lock();
            node->power = state;
        }
    });
    return status;
}

// The system power IRP, then the device power IRP it leads to.
static NTSTATUS power_system_node(DeviceNode* node, SystemPower system, DevicePower device)
{
    NTSTATUS status = top_handler(node)->power_system(system);
    trace_event(node, "S" + std::to_string(int(system) - 1), status);
    if (NT_SUCCESS(status))
        status = top_handler(node)->power_device(device);
    if (NT_SUCCESS(status)) {
        auto lock = sched_lock();
        node->power = device;
    }
    return status;
}

NTSTATUS system_sleep(SystemPower state)
{
    NTSTATUS result = STATUS_SUCCESS;
    pnp_run("system sleep", [&] {
        auto nodes = started_nodes();
        for (auto it = nodes.rbegin(); it != nodes.rend(); ++it) {
            NTSTATUS status = power_system_node(*it, state, DevicePower::D3);
            if (NT_SUCCESS(result))
                result = status;
        }
    });
    return result;
}

NTSTATUS system_wake()
{
    NTSTATUS result = STATUS_SUCCESS;
    pnp_run("system wake", [&] {
        for (DeviceNode* node : started_nodes()) {
            NTSTATUS status = power_system_node(node, SystemPower::S0, DevicePower::D0);
            if (NT_SUCCESS(result))
                result = status;
        }
    });
    return result;
}

NTSTATUS query_remove_node(DeviceNode* node)
{
    NTSTATUS status = STATUS_INVALID_DEVICE_STATE;
    pnp_run("remove", [&] {
        if (node->state != NodeState::started)
            return;
        status = top_handler(node)->pnp_query_remove();
        trace_event(node, "query-remove", status);
        if (NT_SUCCESS(status))
            remove_now(node);
    });
    return status;
}

void surprise_remove_node(DeviceNode* node)
{
    pnp_run("surprise removal", [&] {
        if (node->state != NodeState::started)
            return;
        set_state(node, NodeState::removal_pending);
        top_handler(node)->pnp_surprise_remove();
        trace_event(node, "surprise-removed");
        bool files_open = false;
        {
            auto lock = sched_lock();
            for (_DEVICE_OBJECT* d = node->pdo; d; d = d->upper)
                files_open = files_open || d->open_handles > 0;
        }
        if (!files_open)
            remove_now(node);
    });
}

void stack_files_closed(DeviceNode* node)
{
    pnp_post("removal after surprise removal", [node] {
        if (node->state == NodeState::removal_pending)
            remove_now(node);
    });
}

void remove_node(DeviceNode* node)
{
    pnp_run("remove", [node] {
        if (node->state == NodeState::started || node->state == NodeState::removal_pending)
            remove_now(node);
    });
}

}  // namespace host::io

// --- the kernel routines ---------------------------------------------------------

EXTERN_C NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                      ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength)
{
    host::verify_irql_at_most(PASSIVE_LEVEL, "IoGetDeviceProperty");
    if (!DeviceObject || !DeviceObject->node)
        return STATUS_INVALID_DEVICE_REQUEST;
    std::vector<uint8_t> value;
    NTSTATUS status = host::io::device_property(*DeviceObject->node, DeviceProperty, &value);
    if (!NT_SUCCESS(status))
        return status;
    *ResultLength = ULONG(value.size());
    if (BufferLength < value.size())
        return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(PropertyBuffer, value.data(), value.size());
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                          ACCESS_MASK DesiredAccess, PHANDLE DeviceRegKey)
{
    host::verify_irql_at_most(PASSIVE_LEVEL, "IoOpenDeviceRegistryKey");
    if (!DeviceObject || !DeviceObject->node)
        return STATUS_INVALID_DEVICE_REQUEST;
    const host::io::DeviceNode& node = *DeviceObject->node;
    std::u16string path;
    switch (DevInstKeyType & ~PLUGPLAY_REGKEY_CURRENT_HWPROFILE) {
    case PLUGPLAY_REGKEY_DEVICE: path = node.hardware_key_path(); break;
    case PLUGPLAY_REGKEY_DRIVER: path = node.driver_key_path(); break;
    default: return STATUS_INVALID_PARAMETER;
    }
    host::reg::create_key(path);
    return host::reg::open_key(path, DesiredAccess, DeviceRegKey);
}
