// The host as tests and tools use it: one simulated Windows machine with the
// scheduler, the registry, the I/O and PnP managers, one function driver and
// the child devices a bus reports to it.
//
// One Host exists at a time; Hosts may follow one another in a process.
#pragma once

#include <ntddk.h>

#include "host/io/iomgr.h"
#include "host/io/module.h"
#include "host/io/pnp.h"
#include "host/rtl/inf.h"
#include "host/rtl/registry.h"
#include "host/kernel/sched.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace host {

struct HostOptions {
    Mode mode = Mode::controlled;
    uint64_t seed = 1;
    unsigned processors = 2;
};

using DriverEntryFn = NTSTATUS (*)(PDRIVER_OBJECT, PUNICODE_STRING);

// What a bus reports for one child device.
struct ChildDevice {
    std::u16string instance_path;   // e.g. u"USB\\VID_1234&PID_0001&MI_00\\7&1&0"
    std::u16string class_name;      // setup class: u"Modem", u"Ports", u"System"
    std::u16string friendly_name;
    std::u16string pdo_name;        // u"\\Device\\USBPDO-5"; empty: a generated name
    std::u16string hardware_id;
    std::vector<std::pair<std::u16string, reg::Value>> hardware_key;   // PortName, options
    io::DeviceHandler* pdo_handler = nullptr;   // the bus's answers (query interface ...)
};

class Host {
public:
    // Starts the scheduler (the calling thread becomes "main") and the PnP
    // thread, with an empty registry, name space, pool and user address space.
    explicit Host(const HostOptions& options = {});
    // Removes the devices still present, unloads the driver, stops the scheduler.
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    static Host* current();   // the live Host, if any

    // --- the driver ----------------------------------------------------------
    // Calls DriverEntry with the service's registry path on the PnP thread.
    NTSTATUS load_driver(std::u16string service, DriverEntryFn entry);
    // The same with a driver built as a shared object, loaded afresh.
    NTSTATUS load_driver_module(std::u16string service, const std::string& so_path);
    // The driver's unload routine; STATUS_DEVICE_BUSY while it has devices.
    NTSTATUS unload_driver();
    _DRIVER_OBJECT* driver() const { return driver_.get(); }
    // The driver package's INF: every device plugged afterwards gets the
    // values its [*.HW] AddReg sections write into the hardware key (after
    // the bus's own values; a no-clobber value does not replace one of them).
    void install_package(const std::string& inf_path);

    // --- devices -------------------------------------------------------------
    // Reports the child, calls AddDevice and starts it; nullptr if add or
    // start failed (without a driver, the node stays `reported`).
    io::DeviceNode* plug(const ChildDevice& child);
    NTSTATUS set_power(io::DeviceNode* node, io::DevicePower state);
    NTSTATUS sleep(io::SystemPower state);
    NTSTATUS wake();
    // Query-remove, then remove; returns the veto if the stack refused.
    NTSTATUS remove(io::DeviceNode* node);
    void surprise_remove(io::DeviceNode* node);
    // Waits until deferred work is done: closes sent after their last IRP
    // completed, removals that followed the close of a surprise-removed
    // device's last handle.
    void settle();

    // --- observers -----------------------------------------------------------
    std::vector<io::DeviceNode*> devices() const;
    std::vector<io::SymbolicLink> symbolic_links() const;
    std::vector<io::InterfaceRecord> interfaces() const;
    ULONG serial_count() const;
    // The REG_SZ values of HARDWARE\DEVICEMAP\<key>: (value name, data).
    std::vector<std::pair<std::u16string, std::u16string>> device_map(std::u16string_view key = u"SERIALCOMM") const;

private:
    NTSTATUS start_driver(std::u16string service, DriverEntryFn entry);
    void remove_remaining_devices();
    // The image is gone: every framework object and pool block the driver
    // got since its load must be gone with it.
    void verify_unload_leaves_nothing(const std::u16string& service);

    std::unique_ptr<_DRIVER_OBJECT> driver_;
    std::u16string registry_path_;
    std::unique_ptr<io::DriverModule> module_;
    std::vector<reg::InfValue> package_values_;
    long objects_at_load_ = 0;
    long pool_blocks_at_load_ = 0;
};

}  // namespace host
