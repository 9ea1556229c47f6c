// The Plug and Play and power manager: device nodes with their setup
// properties and registry keys, driver loading and unloading, and the
// device lifecycle (add, start, power, sleep, removal). Every operation runs
// on the dedicated "pnp" system thread at PASSIVE_LEVEL while the requesting
// thread waits, as the system's PnP manager serialises its work.
//
// The PnP manager talks to the top of each device stack through its
// DeviceHandler; the handler of an upper device passes the event on to the
// device below it where the event concerns that device too.
#pragma once

#include "wdm_model.h"

#include <string>
#include <utility>
#include <vector>

namespace host::io {

enum class NodeState {
    reported,          // the PDO exists, no function driver yet
    started,
    removal_pending,   // surprise-removed; removal follows when its files close
    removed,
    failed,            // add or start failed
};
const char* to_string(NodeState);

struct DeviceNode {
    _DEVICE_OBJECT* pdo = nullptr;
    std::u16string instance_path;   // USB\VID_1234&PID_0001&MI_00\7&1&0
    std::u16string class_name;      // setup class: Ports, Modem, System
    std::u16string friendly_name;
    std::u16string pdo_name;        // \Device\USBPDO-5
    std::u16string hardware_id;
    NodeState state = NodeState::reported;
    DevicePower power = DevicePower::D3;
    unsigned index = 0;             // order of arrival, names the driver key

    // \Registry\Machine\System\CurrentControlSet\Enum\<instance>\Device Parameters
    std::u16string hardware_key_path() const;
    // \Registry\Machine\System\CurrentControlSet\Control\Class\{class guid}\<index>
    std::u16string driver_key_path() const;
    std::u16string class_guid() const;   // {4D36E978-E325-11CE-BFC1-08002BE10318} for Ports
};

// The value of a device property as IoGetDeviceProperty returns it: strings
// UTF-16 with their NUL, the hardware ID as REG_MULTI_SZ. STATUS_OBJECT_NAME_NOT_FOUND
// for a property this device does not have, STATUS_INVALID_PARAMETER_2 for
// a value outside DEVICE_REGISTRY_PROPERTY.
NTSTATUS device_property(const DeviceNode&, DEVICE_REGISTRY_PROPERTY, std::vector<uint8_t>* value);

// A host trace line "pnp: <event> <subject>[ -> <status>]".
void trace_pnp(const std::string& event, std::u16string_view subject, NTSTATUS status = STATUS_SUCCESS);

// "{86e0d1e0-8089-11d0-9ce4-08003e301f73}", in the given case.
std::u16string guid_string(const GUID&, bool upper);

// Runs `job` on the PnP thread and waits for it. The thread exists while a
// Host does (pnp_thread_start / pnp_thread_stop); nested calls from the PnP
// thread itself run inline.
void pnp_run(const char* what, std::function<void()> job);
// Queues `job` for the PnP thread without waiting (deferred removals).
void pnp_post(const char* what, std::function<void()> job);
// Waits until every job queued so far has run.
void pnp_flush();
void pnp_thread_start();
void pnp_thread_stop();   // runs what is queued, then ends the thread
bool on_pnp_thread();

// Asks `device`'s stack, from `device` down, for an interface
// (IRP_MN_QUERY_INTERFACE): the first handler that does not return
// STATUS_NOT_SUPPORTED answers.
NTSTATUS query_interface(_DEVICE_OBJECT* device, const GUID& type, USHORT size, USHORT version,
                         PINTERFACE interface, PVOID specific_data);

// --- the lifecycle ---------------------------------------------------------
// Each runs on the PnP thread (the caller waits) and writes a host trace line.
void pnp_reset();                       // forgets every node
std::vector<DeviceNode*> device_nodes();

// Reports a child: creates its PDO (answered by `pdo_handler`, or by a
// handler that supports nothing), then, with a driver, calls its AddDevice
// and starts the stack. The node is kept even when add or start fails.
NTSTATUS plug_node(const DeviceNode& child, DeviceHandler* pdo_handler, _DRIVER_OBJECT* driver,
                   DeviceNode** out);
NTSTATUS power_node(DeviceNode*, DevicePower);
// System sleep (S1-S4): power_system, then D3, for each started device, last
// arrived first; wake: S0, then D0, in arrival order.
NTSTATUS system_sleep(SystemPower);
NTSTATUS system_wake();
// Query-remove; unless vetoed, the removal.
NTSTATUS query_remove_node(DeviceNode*);
// Surprise removal; the removal follows when no file object is open on the stack.
void surprise_remove_node(DeviceNode*);
// The removal without asking (a started or surprise-removed device).
void remove_node(DeviceNode*);

// Called by the I/O manager when the last file object of a stack is closed:
// a surprise-removed device gets its removal now.
void stack_files_closed(DeviceNode*);

}  // namespace host::io
