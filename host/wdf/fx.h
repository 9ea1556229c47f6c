// The framework's internal object model, shared by the framework's parts:
// objects with handles, parents, contexts and callbacks; the driver, the
// device with its PnP/power state, and file objects. Queues, requests and the
// synchronisation objects build on these (queue_hooks.h is their side).
#pragma once

#include <wdf.h>

#include "host/io/wdm_model.h"
#include "host/kernel/sched.h"

#include <map>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace host::wdf {

enum class ObjectKind {
    any,   // for resolve(): every kind matches
    generic, driver, device, queue, request, file, memory, string, key,
    spinlock, waitlock, dpc, timer, workitem, iotarget, collection, cmreslist,
};
const char* kind_name(ObjectKind kind);

// One context area of an object, with the callbacks of the attributes that
// created it (creation attributes or WdfObjectAllocateContext).
struct FxContext {
    PCWDF_OBJECT_CONTEXT_TYPE_INFO type = nullptr;
    void* data = nullptr;
    PFN_WDF_OBJECT_CONTEXT_CLEANUP cleanup = nullptr;
    PFN_WDF_OBJECT_CONTEXT_DESTROY destroy = nullptr;
};

// A framework object. Its handle is its (pool, so deterministic) address.
// Deletion runs in two phases, as documented for EvtCleanupCallback and
// EvtDestroyCallback: cleanup bottom-up over the tree (children before the
// parent), then, as references drop to zero, destroy and free (children
// before the parent), so a parent's cleanup may still read its children.
struct FxObject {
    explicit FxObject(ObjectKind kind) : kind(kind) {}
    virtual ~FxObject() = default;
    FxObject(const FxObject&) = delete;
    FxObject& operator=(const FxObject&) = delete;

    WDFOBJECT handle() { return static_cast<WDFOBJECT>(this); }
    template <class H> H handle_as() { return reinterpret_cast<H>(this); }

    // Kind-specific teardown, once, after the children's cleanup and before
    // this object's own cleanup callbacks (a device removes its links, a
    // queue purges ...). Runs on the deleting thread.
    virtual void dispose() {}

    const ObjectKind kind;
    FxObject* parent = nullptr;
    std::vector<FxObject*> children;        // creation order
    std::vector<FxContext> contexts;        // creation order
    WDF_EXECUTION_LEVEL execution_level = WdfExecutionLevelInheritFromParent;
    WDF_SYNCHRONIZATION_SCOPE synchronization_scope = WdfSynchronizationScopeInheritFromParent;
    bool driver_may_delete = true;          // false: the framework owns its lifetime
    bool deleting = false;                  // deletion has begun
    bool disposed = false;                  // cleanup callbacks have run
    bool creation_reference_dropped = false;
    long references = 1;                    // the creation reference + WdfObjectReference
};

// Pool memory for an object, or null when fault injection fails the
// allocation. init_object gives a constructed object its attributes
// (context, callbacks, parent) and a handle, or frees it and fails.
void* allocate_object_memory(size_t bytes, const char* api);
NTSTATUS init_object(FxObject* object, PWDF_OBJECT_ATTRIBUTES attributes, FxObject* default_parent,
                     const char* api);
void free_object_memory(FxObject* object);

// Creates an object of type T in pool memory with the attributes' context,
// callbacks and parent (`default_parent` when they name none). Counts as
// one framework allocation for fault injection; on failure nothing is left
// behind and *out is null.
template <class T, class... Args>
NTSTATUS create_object(PWDF_OBJECT_ATTRIBUTES attributes, FxObject* default_parent,
                       const char* api, T** out, Args&&... args);

// Objects created and not yet destroyed, for the leak check at unload.
long live_objects();
// Deletes `object` and its subtree (framework side: no ownership check).
void delete_object(FxObject* object);
// Frees an object that creation could not finish, without callbacks.
void discard_object(FxObject* object);
void reference(FxObject* object);
void dereference(FxObject* object);
// The object's context of the given type, or null.
void* context_of(FxObject* object, PCWDF_OBJECT_CONTEXT_TYPE_INFO type);

// Looks a handle up. Reports to the verifier and returns null for a null or
// unknown handle ("invalid-handle"), a deleted object
// ("object-used-after-deletion") or another kind ("wrong-object-type").
// `allow_disposed` admits objects whose cleanup has run but which are still
// referenced (contexts, references).
FxObject* resolve(WDFOBJECT handle, ObjectKind expected, const char* api, bool allow_disposed = false);

template <class T, class H>
T* resolve(H handle, const char* api)
{
    return static_cast<T*>(resolve(reinterpret_cast<WDFOBJECT>(handle), T::kKind, api));
}

// Runs a driver callback the framework calls at PASSIVE_LEVEL or from a
// known IRQL, and verifies it returns at the IRQL it was entered at and
// holding no spin lock ("callback-irql-changed", "callback-holds-spinlock").
// The callback runs outside the caller's user context (`in_user_context`
// says otherwise only for EvtIoInCallerContext): whichever thread it is
// called on, the framework does not promise the caller's one.
template <class F>
decltype(auto) call_driver(const char* callback, F&& body, bool in_user_context = false);
void verify_callback_return(const char* callback, uint8_t entry_irql, int entry_locks);

// --- driver ----------------------------------------------------------------

struct FxDriver : FxObject {
    static constexpr ObjectKind kKind = ObjectKind::driver;
    FxDriver() : FxObject(kKind) {}
    ~FxDriver() override;

    _DRIVER_OBJECT* wdm = nullptr;
    std::u16string registry_path;           // \Registry\Machine\System\CurrentControlSet\Services\<svc>
    WDF_DRIVER_CONFIG config{};
};

FxDriver* current_driver();                 // the driver of WdfDriverCreate, or null

// For the host when DriverEntry has failed: a framework driver object it
// created is deleted (its cleanup callbacks run, EvtDriverUnload does not).
// Call before the _DRIVER_OBJECT goes; nothing happens for a WDM driver.
void driver_entry_failed(_DRIVER_OBJECT* driver);

// --- device ----------------------------------------------------------------

enum class PnpState { added, started, surprise_removed, removed };

struct FxFile;

struct FxDevice : FxObject {
    static constexpr ObjectKind kKind = ObjectKind::device;
    FxDevice() : FxObject(kKind) { WDF_DEVICE_PNP_CAPABILITIES_INIT(&pnp_capabilities); }
    ~FxDevice() override;
    void dispose() override;   // removes links and interfaces, deletes the FDO

    FxDriver* driver = nullptr;
    _DEVICE_OBJECT* wdm = nullptr;          // the FDO
    _DEVICE_OBJECT* attached = nullptr;     // the device under it
    _DEVICE_OBJECT* pdo = nullptr;
    io::DeviceHandler* handler = nullptr;   // the FDO's handler (pnp_power.cpp)

    // From WDFDEVICE_INIT.
    WDF_PNPPOWER_EVENT_CALLBACKS pnp{};
    WDF_FILEOBJECT_CONFIG file_config{};
    WDF_OBJECT_ATTRIBUTES file_attributes{};     // Size 0: none given
    WDF_OBJECT_ATTRIBUTES request_attributes{};  // Size 0: none given
    PFN_WDF_IO_IN_CALLER_CONTEXT io_in_caller_context = nullptr;
    WDF_DEVICE_IO_TYPE io_type = WdfDeviceIoBuffered;
    bool power_policy_owner = true;

    // State, changed on the PnP thread under the scheduler lock.
    PnpState pnp_state = PnpState::added;
    WDF_POWER_DEVICE_STATE power_state = WdfPowerDeviceD3Final;
    bool in_d0() const { return power_state == WdfPowerDeviceD0; }

    // Queues (wdf-io): the default queue and WdfDeviceConfigureRequestDispatching.
    WDFQUEUE default_queue = nullptr;
    std::map<WDF_REQUEST_TYPE, WDFQUEUE> dispatch;
    std::vector<FxObject*> queues;          // every queue of the device, creation order

    // Names and interfaces the framework removes with the device.
    std::vector<std::u16string> symbolic_links;
    struct Interface { GUID guid; std::u16string reference; std::u16string link; bool enabled; };
    std::vector<Interface> interfaces;

    FxObject* io_target = nullptr;          // the default I/O target (the attached device)

    // What WdfDeviceSetPnpCapabilities has set so far, merged call by call
    // (WdfUseDefault and (ULONG)-1 where nothing was set).
    WDF_DEVICE_PNP_CAPABILITIES pnp_capabilities{};
};

FxDevice* device_of(_DEVICE_OBJECT* fdo);   // null if not a framework device

// Power references (WdfDeviceStopIdle / WdfDeviceResumeIdle). The queue side
// takes one while a power-managed queue holds or presents a request: taken
// while the device idles in Dx it brings the device back to D0, and the idle
// time-out runs only while no reference is held. A Dx imposed from outside
// (a device power request, system sleep) is not ended by a reference; the
// device returns to D0 when it is lifted. With wait_for_d0 the call returns
// once the device is in D0 (PASSIVE_LEVEL); without it returns
// STATUS_PENDING if the device is not in D0 yet. A device that is not
// started gets no reference: STATUS_INVALID_DEVICE_STATE. Both take the
// scheduler lock; the _locked form is for a caller that holds it.
NTSTATUS power_reference(FxDevice* device, bool wait_for_d0, const char* api);
void power_dereference(FxDevice* device, const char* api);
void power_dereference_locked(FxDevice* device, std::unique_lock<std::mutex>& lock, const char* api);

// --- file objects ----------------------------------------------------------

struct FxFile : FxObject {
    static constexpr ObjectKind kKind = ObjectKind::file;
    FxFile() : FxObject(kKind) {}

    FxDevice* device = nullptr;
    _FILE_OBJECT* wdm = nullptr;
    UNICODE_STRING file_name{};             // points into wdm->file_name
};

// --- provided by the queue side (wdf-io) -----------------------------------

// The framework request object for an IRP_MJ_CREATE, handed to
// EvtDeviceFileCreate; completing it completes the IRP.
WDFREQUEST make_create_request(FxDevice* device, io::Irp* irp);

// --- template definitions --------------------------------------------------

template <class T, class... Args>
NTSTATUS create_object(PWDF_OBJECT_ATTRIBUTES attributes, FxObject* default_parent,
                       const char* api, T** out, Args&&... args)
{
    *out = nullptr;
    void* memory = allocate_object_memory(sizeof(T), api);
    if (memory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    T* object = new (memory) T(std::forward<Args>(args)...);
    NTSTATUS status = init_object(object, attributes, default_parent, api);
    if (!NT_SUCCESS(status)) return status;   // init_object freed it
    *out = object;
    return STATUS_SUCCESS;
}

template <class F>
decltype(auto) call_driver(const char* callback, F&& body, bool in_user_context)
{
    struct Check {
        const char* callback;
        uint8_t irql;
        int locks;
        bool user_context;
        ~Check()
        {
            host::set_user_context(user_context);
            verify_callback_return(callback, irql, locks);
        }
    } check{callback, host::current_irql(), host::held_spin_locks(), host::set_user_context(in_user_context)};
    return body();
}

}  // namespace host::wdf
