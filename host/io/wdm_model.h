// The host's model of the WDM objects that lie under the framework: driver
// objects, device objects and stacks, file objects and IRPs. The I/O manager
// (iomgr.h) and the PnP/power manager (pnp.h) act on them; whoever owns a
// device object (the framework for a function device, the bus for a child's
// physical device object) answers its requests through a DeviceHandler.
//
// These types are host-internal: driver code sees only the opaque WDK names.
#pragma once

#include <ntddk.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace host::io {

struct Irp;
struct DeviceNode;
struct IoCall;

// Power states as the PnP/power manager delivers them.
enum class DevicePower { D0 = 1, D1, D2, D3 };
enum class SystemPower { S0 = 1, S1, S2, S3, S4, S5 };

// Answers requests sent to a device object. Methods run at PASSIVE_LEVEL on
// the calling thread unless said otherwise.
class DeviceHandler {
public:
    virtual ~DeviceHandler() = default;

    // Create, cleanup, close, read, write, device control, internal device
    // control. The handler completes the IRP now or later through
    // io::complete_irp (any thread, IRQL <= DISPATCH_LEVEL).
    virtual void dispatch(Irp* irp) = 0;

    // Plug and Play, in the order the PnP manager sends them (pnp.h).
    virtual NTSTATUS pnp_start() { return STATUS_SUCCESS; }
    virtual NTSTATUS pnp_query_remove() { return STATUS_SUCCESS; }
    virtual void pnp_surprise_remove() {}
    virtual void pnp_remove() {}

    // Power: the device's power-policy owner moves it to `state`; for a
    // system transition the PnP manager calls power_system first.
    virtual NTSTATUS power_device(DevicePower /*state*/) { return STATUS_SUCCESS; }
    virtual NTSTATUS power_system(SystemPower /*state*/) { return STATUS_SUCCESS; }

    // IRP_MN_QUERY_INTERFACE, sent down the stack: the first handler that
    // does not return STATUS_NOT_SUPPORTED answers.
    virtual NTSTATUS query_interface(const GUID& /*type*/, USHORT /*size*/, USHORT /*version*/,
                                     PINTERFACE /*interface*/, PVOID /*specific_data*/)
    {
        return STATUS_NOT_SUPPORTED;
    }
};

}  // namespace host::io

// The WDM objects, complete here and opaque to driver code.
struct _DRIVER_OBJECT {
    std::u16string name;         // "\Driver\<service>"
    std::u16string service_name;
    // AddDevice, set by the framework at WdfDriverCreate.
    std::function<NTSTATUS(_DRIVER_OBJECT*, _DEVICE_OBJECT* pdo)> add_device;
    // Unload, called by the host when the last device is gone.
    std::function<void(_DRIVER_OBJECT*)> unload;
    void* framework = nullptr;   // the framework's driver record
};

struct _DEVICE_OBJECT {
    _DRIVER_OBJECT* driver = nullptr;   // null for a bus-owned PDO
    std::u16string name;                // NT name under \Device, may be empty
    DEVICE_TYPE device_type = 0;
    ULONG characteristics = 0;
    ULONG flags = 0;                    // DO_BUFFERED_IO, DO_DIRECT_IO, DO_POWER_PAGABLE ...
    bool exclusive = false;
    std::string sddl;
    _DEVICE_OBJECT* lower = nullptr;    // the device this one is attached to
    _DEVICE_OBJECT* upper = nullptr;    // the device attached to this one
    host::io::DeviceNode* node = nullptr;  // the PnP node of the stack
    host::io::DeviceHandler* handler = nullptr;
    int open_handles = 0;               // file objects open on it (exclusive devices allow one)
    bool deleted = false;
};

struct _FILE_OBJECT {
    _DEVICE_OBJECT* device = nullptr;
    std::u16string file_name;           // the part after the device name
    void* fs_context = nullptr;         // the framework's file object record
    bool cleanup_done = false;
    bool closed = false;
    ACCESS_MASK access = 0;             // granted at create
    int handle_count = 0;               // user handles on it; the last one's close sends cleanup
    int reference_count = 0;            // handles plus IRPs in flight; zero sends close
    uint64_t id = 0;                    // deterministic, for traces
};

namespace host::io {

// An I/O request packet, reduced to what the framework and the user-mode
// side use. Parameters mirror IO_STACK_LOCATION.
struct Irp {
    UCHAR major = 0;
    UCHAR minor = 0;
    _FILE_OBJECT* file = nullptr;
    _DEVICE_OBJECT* device = nullptr;
    KPROCESSOR_MODE requestor_mode = UserMode;

    // IRP_MJ_READ / IRP_MJ_WRITE
    ULONG length = 0;
    LONGLONG byte_offset = 0;
    // IRP_MJ_DEVICE_CONTROL / IRP_MJ_INTERNAL_DEVICE_CONTROL
    ULONG ioctl = 0;
    ULONG input_length = 0;
    ULONG output_length = 0;
    // IRP_MJ_CREATE
    ACCESS_MASK desired_access = 0;
    ULONG share_access = 0;
    ULONG create_options = 0;

    // Buffers, by transfer method: buffered I/O uses system_buffer (pool
    // memory the I/O manager copies to and from the caller); neither I/O
    // passes user_buffer (output) and type3_input (input) as the caller gave
    // them; direct I/O maps user_buffer as an MDL.
    void* system_buffer = nullptr;
    void* user_buffer = nullptr;
    void* type3_input = nullptr;

    // Result.
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;

    // Cancellation (IoCancelIrp semantics): `cancel` is set once; the cancel
    // routine, if one is set when cancellation begins, is taken (reset to
    // empty) and called on the cancelling thread at DISPATCH_LEVEL.
    bool cancel = false;
    std::function<void(Irp*)> cancel_routine;

    // Called once, when the IRP completes, at the completer's IRQL.
    std::function<void(Irp*)> on_complete;
    bool completed = false;

    void* framework = nullptr;   // the framework's request record, if any
    uint64_t id = 0;             // deterministic, for traces

    // The user-mode call this IRP carries out (iomgr.cpp), if any.
    std::shared_ptr<IoCall> call;
};

// Driver code sees an IRP only as the opaque PIRP.
inline PIRP to_pirp(Irp* irp) { return reinterpret_cast<PIRP>(irp); }
inline Irp* from_pirp(PIRP irp) { return reinterpret_cast<Irp*>(irp); }

}  // namespace host::io
