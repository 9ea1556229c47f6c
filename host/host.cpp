#include "host/host.h"

#include "host/kernel/pool.h"
#include "host/kernel/verifier.h"
#include "host/rtl/strings.h"
#include "host/rtl/trace.h"
#include "host/wdf/fx.h"

#include <stdexcept>

namespace host {

namespace {

Host* g_current = nullptr;

constexpr std::u16string_view kServices = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
constexpr std::u16string_view kDeviceMap = u"\\Registry\\Machine\\Hardware\\DeviceMap\\";

}  // namespace

Host::Host(const HostOptions& options)
{
    if (g_current)
        throw std::logic_error("host: only one Host at a time");
    trace_clear();
    SchedConfig config;
    config.mode = options.mode;
    config.seed = options.seed;
    config.processors = options.processors;
    sched_start(config);
    // What the previous host left lives in the pool: release it first.
    io::reset();
    io::pnp_reset();
    pool_reset();
    reg::reset();
    io::pnp_thread_start();
    g_current = this;
}

Host::~Host()
{
    settle();
    remove_remaining_devices();
    if (driver_)
        unload_driver();
    io::pnp_thread_stop();
    g_current = nullptr;
    sched_stop();
    // IRPs a faulty driver never completed go with the machine.
    io::reset();
}

Host* Host::current() { return g_current; }

// --- the driver ------------------------------------------------------------------

NTSTATUS Host::start_driver(std::u16string service, DriverEntryFn entry)
{
    if (driver_)
        return STATUS_INVALID_DEVICE_STATE;
    auto driver = std::make_unique<_DRIVER_OBJECT>();
    driver->name = u"\\Driver\\" + service;
    driver->service_name = service;
    registry_path_ = std::u16string(kServices) + service;
    reg::create_key(registry_path_);

    UNICODE_STRING path;
    path.Buffer = reinterpret_cast<PWCH>(registry_path_.data());
    path.Length = USHORT(registry_path_.size() * sizeof(WCHAR));
    path.MaximumLength = path.Length;
    NTSTATUS status = STATUS_SUCCESS;
    objects_at_load_ = wdf::live_objects();
    pool_blocks_at_load_ = pool_driver_blocks();
    io::pnp_run("DriverEntry", [&] {
        status = entry(driver.get(), &path);
        // The framework's entry stub deletes what WdfDriverCreate made when
        // the driver's own entry fails; the image then unloads.
        if (!NT_SUCCESS(status))
            wdf::driver_entry_failed(driver.get());
    });
    io::trace_pnp("DriverEntry", service, status);
    if (NT_SUCCESS(status))
        driver_ = std::move(driver);
    else
        verify_unload_leaves_nothing(service);
    return status;
}

NTSTATUS Host::load_driver(std::u16string service, DriverEntryFn entry)
{
    return start_driver(std::move(service), entry);
}

NTSTATUS Host::load_driver_module(std::u16string service, const std::string& so_path)
{
    if (driver_)
        return STATUS_INVALID_DEVICE_STATE;
    std::string error;
    auto module = io::DriverModule::load(so_path, &error);
    if (!module) {
        trace_host("pnp: cannot load " + so_path + ": " + error);
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    NTSTATUS status = start_driver(std::move(service), module->entry());
    if (NT_SUCCESS(status))
        module_ = std::move(module);
    return status;
}

NTSTATUS Host::unload_driver()
{
    if (!driver_)
        return STATUS_INVALID_DEVICE_STATE;
    for (io::DeviceNode* node : devices())
        if (node->state == io::NodeState::started || node->state == io::NodeState::removal_pending)
            return STATUS_DEVICE_BUSY;
    io::pnp_run("DriverUnload", [this] {
        if (driver_->unload)
            driver_->unload(driver_.get());
    });
    io::trace_pnp("unloaded", driver_->service_name);
    verify_unload_leaves_nothing(driver_->service_name);
    driver_.reset();
    module_.reset();
    return STATUS_SUCCESS;
}

void Host::verify_unload_leaves_nothing(const std::u16string& service)
{
    const std::string name = to_utf8(service);
    if (long objects = wdf::live_objects() - objects_at_load_; objects != 0)
        verifier_report("object-leaked-at-unload",
                        name + " unloaded with " + std::to_string(objects) + " framework objects still alive");
    if (long blocks = pool_driver_blocks() - pool_blocks_at_load_; blocks != 0)
        verifier_report("pool-leaked-at-unload",
                        name + " unloaded with " + std::to_string(blocks) + " pool blocks not freed");
}

void Host::install_package(const std::string& inf_path)
{
    package_values_ = reg::load_inf_hardware_values(inf_path);
}

// --- devices ---------------------------------------------------------------------

io::DeviceNode* Host::plug(const ChildDevice& child)
{
    io::DeviceNode proto;
    proto.instance_path = child.instance_path;
    proto.class_name = child.class_name;
    proto.friendly_name = child.friendly_name;
    proto.pdo_name = child.pdo_name;
    proto.hardware_id = child.hardware_id;
    reg::create_key(proto.hardware_key_path());
    for (auto& [name, value] : child.hardware_key)
        reg::set_value(proto.hardware_key_path(), name, value);
    reg::apply_inf_values(package_values_, proto.hardware_key_path());

    io::DeviceNode* node = nullptr;
    NTSTATUS status = io::plug_node(proto, child.pdo_handler, driver_.get(), &node);
    return NT_SUCCESS(status) ? node : nullptr;
}

NTSTATUS Host::set_power(io::DeviceNode* node, io::DevicePower state) { return io::power_node(node, state); }
NTSTATUS Host::sleep(io::SystemPower state) { return io::system_sleep(state); }
NTSTATUS Host::wake() { return io::system_wake(); }
NTSTATUS Host::remove(io::DeviceNode* node) { return io::query_remove_node(node); }
void Host::surprise_remove(io::DeviceNode* node) { io::surprise_remove_node(node); }

void Host::settle()
{
    io::flush_closes();
    io::pnp_flush();
}

void Host::remove_remaining_devices()
{
    for (io::DeviceNode* node : devices())
        io::remove_node(node);
}

// --- observers -------------------------------------------------------------------

std::vector<io::DeviceNode*> Host::devices() const { return io::device_nodes(); }
std::vector<io::SymbolicLink> Host::symbolic_links() const { return io::symbolic_links(); }
std::vector<io::InterfaceRecord> Host::interfaces() const { return io::interfaces(); }
ULONG Host::serial_count() const { return io::configuration()->SerialCount; }

std::vector<std::pair<std::u16string, std::u16string>> Host::device_map(std::u16string_view key) const
{
    std::vector<std::pair<std::u16string, std::u16string>> out;
    for (auto& [name, value] : reg::values(std::u16string(kDeviceMap) + std::u16string(key))) {
        if (value.type != REG_SZ)
            continue;
        std::u16string text(reinterpret_cast<const char16_t*>(value.data.data()), value.data.size() / 2);
        while (!text.empty() && text.back() == u'\0')
            text.pop_back();
        out.emplace_back(name, text);
    }
    return out;
}

}  // namespace host
