#include "test_driver.h"

#include "host/kernel/sched.h"

#include <algorithm>
#include <cstring>

namespace iotest {

TestDriver* TestDriver::current = nullptr;

namespace {

std::mutex g_log_lock;

const char* major_name(UCHAR major)
{
    switch (major) {
    case IRP_MJ_CREATE: return "create";
    case IRP_MJ_CLEANUP: return "cleanup";
    case IRP_MJ_CLOSE: return "close";
    case IRP_MJ_READ: return "read";
    case IRP_MJ_WRITE: return "write";
    case IRP_MJ_DEVICE_CONTROL: return "ioctl";
    default: return "other";
    }
}

}  // namespace

void TestDriver::record(std::string event)
{
    std::lock_guard guard(g_log_lock);
    log.push_back(std::move(event));
    threads.push_back(host::current_thread() ? host::thread_name(host::current_thread()) : "?");
}

size_t TestDriver::count(const std::string& event) const
{
    std::lock_guard guard(g_log_lock);
    return std::count(log.begin(), log.end(), event);
}

host::io::Irp* TestDriver::take_held()
{
    std::lock_guard guard(g_log_lock);
    if (held.empty())
        return nullptr;
    host::io::Irp* irp = held.front();
    held.pop_front();
    return irp;
}

NTSTATUS TestDriver::DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING /*registry_path*/)
{
    current->record("DriverEntry");
    driver->add_device = [](_DRIVER_OBJECT* drv, _DEVICE_OBJECT* pdo) -> NTSTATUS {
        TestDriver& self = *current;
        self.record("add");
        if (!NT_SUCCESS(self.add_status))
            return self.add_status;
        std::u16string name = u"\\Device\\TestSerial" + std::u16string(1, char16_t(u'0' + self.fdos.size()));
        _DEVICE_OBJECT* fdo = nullptr;
        NTSTATUS status = host::io::create_device(drv, name, FILE_DEVICE_SERIAL_PORT, FILE_DEVICE_SECURE_OPEN,
                                                  self.exclusive, &fdo);
        if (!NT_SUCCESS(status))
            return status;
        fdo->flags |= self.device_flags;
        auto& handler = self.fdos.emplace_back(std::make_unique<TestFdo>(self, fdo, u"\\DosDevices\\" + self.port_name));
        fdo->handler = handler.get();
        host::io::attach(fdo, pdo);
        return STATUS_SUCCESS;
    };
    driver->unload = [](_DRIVER_OBJECT*) {
        current->record("unload");
        current->unloads++;
    };
    return STATUS_SUCCESS;
}

void TestFdo::dispatch(host::io::Irp* irp)
{
    driver_.record(major_name(irp->major));
    switch (irp->major) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
        host::io::complete_irp(irp, STATUS_SUCCESS, 0);
        return;
    default:
        if (driver_.on_io) {
            driver_.on_io(irp);
        } else {
            std::lock_guard guard(g_log_lock);
            driver_.held.push_back(irp);
        }
    }
}

NTSTATUS TestFdo::pnp_start()
{
    driver_.record("start");
    if (!NT_SUCCESS(driver_.start_status))
        return driver_.start_status;
    return host::io::create_symbolic_link(link_, device_->name);
}

NTSTATUS TestFdo::pnp_query_remove()
{
    driver_.record("query-remove");
    return driver_.query_remove_status;
}

void TestFdo::pnp_surprise_remove() { driver_.record("surprise-remove"); }

void TestFdo::pnp_remove()
{
    driver_.record("remove");
    host::io::delete_symbolic_link(link_);
    host::io::delete_device(device_);
}

NTSTATUS TestFdo::power_device(host::io::DevicePower state)
{
    driver_.record("D" + std::to_string(int(state) - 1));
    return STATUS_SUCCESS;
}

NTSTATUS TestFdo::power_system(host::io::SystemPower state)
{
    driver_.record("S" + std::to_string(int(state) - 1));
    return STATUS_SUCCESS;
}

// {5A1E0C11-3B2F-4C9A-9E51-0D2B7F0A6C11}
const GUID TestPdo::kInterface = {0x5a1e0c11, 0x3b2f, 0x4c9a, {0x9e, 0x51, 0x0d, 0x2b, 0x7f, 0x0a, 0x6c, 0x11}};

NTSTATUS TestPdo::query_interface(const GUID& type, USHORT size, USHORT version, PINTERFACE interface,
                                  PVOID /*specific_data*/)
{
    if (!(type == kInterface))
        return STATUS_NOT_SUPPORTED;
    if (size < sizeof(INTERFACE))
        return STATUS_INVALID_PARAMETER;
    interface->Size = sizeof(INTERFACE);
    interface->Version = version;
    interface->Context = this;
    return STATUS_SUCCESS;
}

host::ChildDevice test_child(int n, host::io::DeviceHandler* pdo)
{
    host::ChildDevice child;
    std::u16string digit(1, char16_t(u'0' + n));
    child.instance_path = u"USB\\VID_1234&PID_0001&MI_0" + digit + u"\\7&1&0";
    child.class_name = u"Ports";
    child.friendly_name = u"Test Serial Port " + digit;
    child.pdo_name = u"\\Device\\USBPDO-" + digit;
    child.hardware_id = u"USB\\VID_1234&PID_0001&MI_0" + digit;
    child.pdo_handler = pdo;
    return child;
}

void complete_with(host::io::Irp* irp, NTSTATUS status, ULONG_PTR bytes, char fill)
{
    void* buffer = irp->system_buffer ? irp->system_buffer : irp->user_buffer;
    if (buffer && irp->major != IRP_MJ_WRITE)
        std::memset(buffer, fill, bytes);
    host::io::complete_irp(irp, status, bytes);
}

}  // namespace iotest
