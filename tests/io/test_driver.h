// A small function driver written directly against the host's WDM model,
// for testing the I/O and PnP managers without the framework. Its device
// handler logs every event it sees and holds the IRPs it is told to hold,
// so that a test decides when and how each one completes.
#pragma once

#include "host/host.h"
#include "host/io/iomgr.h"
#include "host/kernel/sched.h"

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace iotest {

class TestFdo;

// The driver's behaviour and what it saw. One instance per test.
struct TestDriver {
    // Configuration.
    bool exclusive = true;
    std::u16string port_name = u"COM7";
    NTSTATUS add_status = STATUS_SUCCESS;
    NTSTATUS start_status = STATUS_SUCCESS;
    NTSTATUS query_remove_status = STATUS_SUCCESS;
    ULONG device_flags = DO_BUFFERED_IO;
    // Reads, writes and controls: completed by this if set, else held.
    std::function<void(host::io::Irp*)> on_io;

    // What happened, in order: "add", "start", "create", "read" ...
    std::vector<std::string> log;
    std::vector<std::string> threads;   // the thread of each log entry
    std::deque<host::io::Irp*> held;
    std::vector<std::unique_ptr<TestFdo>> fdos;
    int unloads = 0;

    void record(std::string event);
    size_t count(const std::string& event) const;
    host::io::Irp* take_held();   // the oldest held IRP

    // Installed as the driver's DriverEntry: sets add_device and unload.
    static NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path);
    static TestDriver* current;
};

class TestFdo final : public host::io::DeviceHandler {
public:
    TestFdo(TestDriver& driver, _DEVICE_OBJECT* device, std::u16string link)
        : driver_(driver), device_(device), link_(std::move(link)) {}

    void dispatch(host::io::Irp* irp) override;
    NTSTATUS pnp_start() override;
    NTSTATUS pnp_query_remove() override;
    void pnp_surprise_remove() override;
    void pnp_remove() override;
    NTSTATUS power_device(host::io::DevicePower state) override;
    NTSTATUS power_system(host::io::SystemPower state) override;

    _DEVICE_OBJECT* device() const { return device_; }

private:
    TestDriver& driver_;
    _DEVICE_OBJECT* device_;
    std::u16string link_;
};

// A bus-side PDO handler that offers one interface and logs what reaches it.
class TestPdo final : public host::io::DeviceHandler {
public:
    void dispatch(host::io::Irp* irp) override { host::io::complete_irp(irp, STATUS_NOT_SUPPORTED, 0); }
    NTSTATUS query_interface(const GUID& type, USHORT size, USHORT version, PINTERFACE interface,
                             PVOID specific_data) override;
    static const GUID kInterface;
};

// A child device as a bus would report it.
host::ChildDevice test_child(int n = 1, host::io::DeviceHandler* pdo = nullptr);

// Completes a held IRP with `bytes` of `fill` in its buffer.
void complete_with(host::io::Irp* irp, NTSTATUS status, ULONG_PTR bytes, char fill = 'x');

}  // namespace iotest
