#include "session.h"

#include "bus/behaviours.h"
#include "bus/cdc_function.h"
#include "common/cdc_protocol.h"
#include "host/host.h"
#include "host/rtl/registry.h"
#include "host/rtl/strings.h"
#include "host/rtl/trace.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace acmsim {
namespace {

constexpr char16_t kService[] = u"acmserial";


host::ChildDevice to_child_device(const FunctionSpec& spec, unsigned number)
{
    const std::string n = std::to_string(number);
    host::ChildDevice device;
    device.instance_path = host::to_u16("USB\\VID_1234&PID_5678&MI_00\\7&1&" + n);
    device.class_name = host::to_u16(spec.class_name);
    device.friendly_name =
        host::to_u16(spec.friendly_name.empty() ? "USB Serial Device " + n : spec.friendly_name);
    device.pdo_name = host::to_u16(spec.pdo.empty() ? "\\Device\\USBPDO-" + n : spec.pdo);
    device.hardware_id = u"USB\\VID_1234&PID_5678&MI_00";
    if (!spec.port.empty())
        device.hardware_key.emplace_back(u"PortName", host::reg::string_value(host::to_u16(spec.port)));
    return device;
}

// The serial control device of function `number`, beside its port.
bus::ChildNames control_names(unsigned number)
{
    const std::string n = std::to_string(number);
    return { host::to_u16("USB\\VID_1234&PID_5678&MI_02\\7&1&" + n), u"USB\\VID_1234&PID_5678&MI_02", u"System",
             host::to_u16("USB Serial Control Device " + n),
             host::to_u16("\\Device\\USBPDO-" + std::to_string(100 + number)) };
}

// The simulated USB function: its port carries the names the --function
// option gave and, when it gave one, its PortName.
std::unique_ptr<bus::CdcFunction> to_function(const FunctionSpec& spec, unsigned number)
{
    const host::ChildDevice names = to_child_device(spec, number);
    bus::FunctionConfig config;
    config.port = { names.instance_path, names.hardware_id, names.class_name, names.friendly_name,
                    names.pdo_name };
    config.port_name = host::to_u16(spec.port);
    config.control = control_names(number);
    config.acm = spec.acm;
    config.call_management = spec.call_management;
    config.speed = spec.speed;
    config.serial_control_device = spec.serial_control_device;
    return std::make_unique<bus::CdcFunction>(config);
}

std::shared_ptr<bus::Behaviour> firmware_of(const FunctionSpec& spec)
{
    switch (spec.firmware) {
    case Firmware::loopback: return std::make_shared<bus::Loopback>();
    case Firmware::modem: return std::make_shared<bus::AtModem>();
    case Firmware::none: break;
    }
    return nullptr;
}

// Firmware, timing and faults, once the host runs.
void arm(bus::CdcFunction& function, const FunctionSpec& spec, std::shared_ptr<bus::Behaviour> firmware)
{
    if (firmware)
        function.set_behaviour(std::move(firmware));
    if (spec.timing)
        function.set_timing(bus::Timing::for_speed(spec.speed, spec.turnaround));
    for (const auto& [op, fault] : spec.faults)
        function.inject(op, fault);
}

// A function that disappears (an injected surprise removal) takes its
// children with it, whichever of them the PnP manager knows by then.
void set_removal_handler(host::Host& host, bus::CdcFunction& function, const std::vector<host::ChildDevice>& children)
{
    std::vector<std::u16string> paths;
    for (const host::ChildDevice& child : children)
        paths.push_back(child.instance_path);
    function.set_removal_handler([&host, paths] {
        for (host::io::DeviceNode* node : host.devices())
            if (std::find(paths.begin(), paths.end(), node->instance_path) != paths.end())
                host.surprise_remove(node);
    });
}

host::ChildDevice port_of(bus::CdcFunction& function, const FunctionSpec& spec)
{
    host::ChildDevice device = function.port().description();
    if (spec.port.empty())
        std::erase_if(device.hardware_key, [](const auto& value) { return value.first == u"PortName"; });
    return device;
}

std::string fdo_name(const Plugged& child)
{
    _DEVICE_OBJECT* fdo = child.node ? child.node->pdo->upper : nullptr;
    return fdo ? host::to_utf8(fdo->name) : std::string();
}

// Links in the \??\ directory are the \DosDevices\ links of the driver.
std::string dos_devices_name(const std::u16string& link)
{
    std::string name = host::to_utf8(link);
    return name.rfind("\\??\\", 0) == 0 ? "\\DosDevices\\" + name.substr(4) : name;
}

// The child's function device, or what became of it.
std::string outcome(const Plugged& child)
{
    if (child.node == nullptr)
        return "(add or start failed)";
    std::string fdo = fdo_name(child);
    return fdo.empty() ? "(removed)" : fdo;
}

void print_published(const host::Host& host, const std::vector<Plugged>& children)
{
    std::printf("\nDevices:\n");
    for (const Plugged& child : children)
        std::printf("  %s  %s \"%s\"  ->  %s\n", host::to_utf8(child.device.pdo_name).c_str(),
                    host::to_utf8(child.device.class_name).c_str(), host::to_utf8(child.device.friendly_name).c_str(),
                    outcome(child).c_str());

    std::printf("DOS device links:\n");
    for (const auto& link : host.symbolic_links())
        for (const Plugged& child : children)
            if (child.node && host::to_utf8(link.target) == fdo_name(child))
                std::printf("  %s -> %s\n", dos_devices_name(link.link).c_str(),
                            host::to_utf8(link.target).c_str());

    std::printf("SERIALCOMM:\n");
    for (const auto& [name, data] : host.device_map())
        std::printf("  %s = %s\n", host::to_utf8(name).c_str(), host::to_utf8(data).c_str());

    std::printf("Device interfaces:\n");
    for (const auto& record : host.interfaces())
        std::printf("  %s %s  %s\n", host::to_utf8(host::io::guid_string(record.guid, true)).c_str(),
                    record.enabled ? "enabled " : "disabled", host::to_utf8(record.link).c_str());

    std::printf("SerialCount: %u\n", unsigned(host.serial_count()));
}

}  // namespace

void check_registry_files(const Options& options)
{
    for (const std::string& file : options.reg_files) {
        std::error_code error;
        const auto status = std::filesystem::status(file, error);
        if (!std::filesystem::exists(status))
            throw UsageError("--reg " + file + ": no such file");
        if (std::filesystem::is_directory(status))
            throw UsageError("--reg " + file + ": a directory, not a registry file");
        if (access(file.c_str(), R_OK) != 0)
            throw UsageError("--reg " + file + ": cannot be read (" + std::strerror(errno) + ")");
    }
}

void load_registry(const Options& options)
{
    if (!options.reg_text.empty())
        host::reg::load_reg_text(options.reg_text);
    for (const std::string& file : options.reg_files) {
        try {
            host::reg::load_reg_file(file);
        } catch (const std::runtime_error& error) {
            throw UsageError("--reg " + std::string(error.what()));
        }
    }
}

Machine::Machine(const Options& options, host::Mode mode, FILE* trace) : options_(options)
{
    check_registry_files(options);
    for (const FunctionSpec& spec : options.functions)
        functions_.push_back(to_function(spec, unsigned(functions_.size() + 1)));
    host_ = std::make_unique<host::Host>(host::HostOptions{ .mode = mode, .seed = options.seed });
    load_registry(options);
    host_->install_package(ACMSERIAL_INF);   // the shipping defaults; a --reg value set before wins where the INF says so
    host::trace_set_live(trace);
    driver_status_ = host_->load_driver_module(kService, ACMSERIAL_MODULE);
}

Machine::~Machine()
{
    host::trace_set_live(nullptr);
    for (auto& function : functions_)   // the host's teardown is no removal by the bus
        function->set_removal_handler(nullptr);
    for (auto& function : functions_)   // a behaviour's threads end before the scheduler
        function->set_behaviour(nullptr);
    host_.reset();                      // the functions outlive the devices bound to them
}

bool Machine::plug_all(const Fit& fit)
{
    bool all_started = true;
    for (size_t i = 0; i < functions_.size(); i++) {
        bus::CdcFunction& function = *functions_[i];
        behaviours_.push_back(fit ? fit(i, firmware_of(options_.functions[i])) : firmware_of(options_.functions[i]));
        port_child_.push_back(children_.size());
        arm(function, options_.functions[i], behaviours_.back());
        std::vector<host::ChildDevice> devices{ port_of(function, options_.functions[i]) };
        if (function.control() != nullptr)
            devices.push_back(function.control()->description());
        set_removal_handler(*host_, function, devices);
        for (host::ChildDevice& device : devices) {
            Plugged child{ std::move(device), nullptr };
            child.node = host_->plug(child.device);
            all_started &= child.node != nullptr;
            children_.push_back(std::move(child));
        }
    }
    return all_started;
}

host::io::DeviceNode* Machine::port_node(size_t function) const { return children_[port_child_[function]].node; }

std::string describe_line_coding(const bus::LineCoding& coding)
{
    static const char kParity[] = "NOEMS";
    static const char* const kStop[] = { "1", "1.5", "2" };
    return std::to_string(coding.rate) + " " + std::to_string(coding.data_bits) +
           (coding.parity < 5 ? kParity[coding.parity] : '?') + (coding.stop_bits < 3 ? kStop[coding.stop_bits] : "?");
}

std::string describe_control_lines(uint16_t lines)
{
    return std::string(lines & CDC_CONTROL_LINE_DTR ? "DTR on" : "DTR off") +
           (lines & CDC_CONTROL_LINE_RTS ? ", RTS on" : ", RTS off");
}

int run_load(const Options& options)
{
    Machine machine(options, host::Mode::controlled, stdout);
    if (!NT_SUCCESS(machine.driver_status())) {
        host::trace_set_live(nullptr);
        std::fprintf(stderr, "acmsim: the driver did not load, status 0x%08X\n", unsigned(machine.driver_status()));
        return 1;
    }
    const bool all_started = machine.plug_all();
    host::trace_set_live(nullptr);
    std::fflush(stdout);
    print_published(machine.host(), machine.children());
    return all_started ? 0 : 1;
}

}  // namespace acmsim
