// A small KMDF driver for the framework's tests, written against the real
// framework API. It logs every framework callback it gets, in order, and
// lets each test add behaviour to any callback through a hook.
#pragma once

#include <wdf.h>

#include "host/host.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

// The test device's context.
struct TEST_DEVICE_CONTEXT {
    ULONG magic;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(TEST_DEVICE_CONTEXT, device_context)

namespace wdftest {

struct Driver {
    // Called at the named callback ("DeviceAdd", "PrepareHardware",
    // "D0Entry", ...) after it is logged; its status is the callback's.
    // "DeviceInit" runs before WdfDeviceCreate with the init record.
    std::map<std::string, std::function<NTSTATUS(WDFDEVICE)>> hooks;
    std::function<void(PWDFDEVICE_INIT)> configure_init;
    // Callbacks the device registers; all by default.
    bool self_managed_io = true;
    bool file_create_callback = true;

    std::vector<std::string> log;
    WDFDRIVER driver = nullptr;
    WDFDEVICE device = nullptr;

    NTSTATUS record(const std::string& event, WDFDEVICE device);
    size_t count(const std::string& event) const;
    // The log since the last call, then forgets it.
    std::vector<std::string> take_log();

    static NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path);
    static Driver* current;
};

// A started host with the test driver loaded under the service "wdftest".
class Fixture {
public:
    explicit Fixture(const host::HostOptions& options = {});
    ~Fixture();

    host::Host& host() { return *host_; }
    Driver& driver() { return driver_; }
    // A child with PortName COM7 in its hardware key; added and started.
    host::io::DeviceNode* plug(host::io::DeviceHandler* pdo_handler = nullptr);
    static host::ChildDevice child(host::io::DeviceHandler* pdo_handler = nullptr);

    static constexpr const char16_t* kService = u"wdftest";
    static constexpr const char16_t* kServiceKey =
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\wdftest";

private:
    Driver driver_;
    std::unique_ptr<host::Host> host_;
};

// Moves virtual time on by `ms` milliseconds on the calling thread.
void sleep_ms(LONGLONG ms);

}  // namespace wdftest
