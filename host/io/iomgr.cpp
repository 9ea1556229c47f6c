// The I/O manager: device objects and stacks, file objects, IRPs and their
// completion and cancellation, and the system-service side of user-mode I/O.
#include "host/io/iomgr.h"

#include "host/io/iomgr_internal.h"
#include "host/io/names.h"
#include "host/io/pnp.h"
#include "host/kernel/pool.h"
#include "host/kernel/sched.h"
#include "host/kernel/verifier.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string>

namespace host::io {

// One user-mode call in flight; outlives its IRP so that the caller can read
// the result after the IRP is gone.
struct IoCall {
    UserIo io;
    _FILE_OBJECT* file = nullptr;
    uint32_t thread = 0;     // host::thread_id of the issuing thread
    bool copy_out = false;   // buffered output: copy system_buffer back at completion
    bool finished = false;
    NTSTATUS status = STATUS_PENDING;
};

namespace {

std::atomic<uint64_t> g_generation{0};

// Device objects live in kernel pool, so that the addresses a driver prints
// are the same on every controlled run of a seed.
struct PoolDelete {
    void operator()(_DEVICE_OBJECT* device) const
    {
        device->~_DEVICE_OBJECT();
        pool_free(device);
    }
};
using DeviceObjectPtr = std::unique_ptr<_DEVICE_OBJECT, PoolDelete>;

struct State {
    uint64_t next_irp_id = 1;
    uint64_t next_file_id = 1;
    ULONG next_auto_name = 0;
    std::vector<DeviceObjectPtr> devices;                      // kept until reset: file objects may refer to them
    std::map<_FILE_OBJECT*, std::unique_ptr<_FILE_OBJECT>> files;
    std::map<uint64_t, Irp*> user_irps;                        // issued from user mode, not yet completed
    std::vector<std::unique_ptr<WorkItem>> close_work;         // deferred IRP_MJ_CLOSE
    int pending_closes = 0;
};
State g_state;

std::string describe(const Irp* irp)
{
    return "irp #" + std::to_string(irp->id) + " major " + std::to_string(irp->major);
}

// Sends an IRP this manager owns and waits for its completion.
NTSTATUS send_and_wait(_DEVICE_OBJECT* device, Irp* irp)
{
    call_driver(top_of_stack(device), irp);
    auto lock = sched_lock();
    wait_until(lock, [irp] { return irp->completed; }, kForever, "IRP completion");
    return irp->status;
}

std::unique_ptr<Irp> file_irp(UCHAR major, _FILE_OBJECT* file)
{
    auto irp = std::make_unique<Irp>();
    irp->major = major;
    irp->file = file;
    irp->requestor_mode = UserMode;
    return irp;
}

bool file_open_on(const DeviceNode* node)
{
    return std::any_of(g_state.files.begin(), g_state.files.end(),
                       [node](auto& entry) { return entry.first->device->node == node; });
}

// IRP_MJ_CLOSE for a file object nobody refers to any more; frees it.
void send_close(_FILE_OBJECT* file)
{
    _DEVICE_OBJECT* device = file->device;
    if (!device->deleted) {
        auto irp = file_irp(IRP_MJ_CLOSE, file);
        send_and_wait(device, irp.get());
    }
    auto lock = sched_lock();
    file->closed = true;
    device->open_handles--;
    DeviceNode* node = device->node;
    g_state.files.erase(file);
    g_state.pending_closes--;
    bool last_on_stack = node && !file_open_on(node);
    notify_all();
    lock.unlock();
    if (last_on_stack)
        stack_files_closed(node);
}

// Drops a reference to `file`. The last one closes it: now if the caller is
// the closing thread, else from a system worker at PASSIVE_LEVEL (a
// completion may run at DISPATCH_LEVEL).
void release_file(std::unique_lock<std::mutex>& lock, _FILE_OBJECT* file, bool close_here)
{
    if (--file->reference_count > 0)
        return;
    g_state.pending_closes++;
    if (close_here) {
        lock.unlock();
        send_close(file);
        lock.lock();
        return;
    }
    auto& work = g_state.close_work.emplace_back(std::make_unique<WorkItem>());
    work->name = "IRP_MJ_CLOSE";
    work->routine = [file] { send_close(file); };
    work_queue(lock, work.get());
}

// The I/O manager's part of completing a user-mode call: copy buffered
// output back, report the result, release the file object. Frees the IRP.
void finish_user_call(std::unique_lock<std::mutex>& lock, Irp* irp)
{
    IoCall& call = *irp->call;
    NTSTATUS status = irp->status;
    ULONG_PTR information = irp->information;
    CallerContextScope in_caller;
    if (call.copy_out && !NT_ERROR(status)) {
        size_t bytes = std::min<size_t>(information, call.io.output_length);
        if (NT_SUCCESS(probe_locked(call.io.output, bytes, true)))
            std::memcpy(call.io.output, irp->system_buffer, bytes);
        else
            status = STATUS_ACCESS_VIOLATION, information = 0;
    }
    if (irp->system_buffer)
        pool_free(irp->system_buffer);
    call.status = status;
    call.finished = true;
    call.io.done(status, information);
    g_state.user_irps.erase(irp->id);
    release_file(lock, call.file, false);
    delete irp;
}

bool has_access(const _FILE_OBJECT* file, ULONG needed)
{
    return (file->access & needed) == needed;
}

// Access rights (FILE_READ_DATA, FILE_WRITE_DATA: the same bits as
// FILE_READ_ACCESS and FILE_WRITE_ACCESS in a control code) and the generic
// rights that map to them.
constexpr ACCESS_MASK kRead = 0x1, kWrite = 0x2;
constexpr ACCESS_MASK kGenericRead = 0x80000000, kGenericWrite = 0x40000000, kGenericAll = 0x10000000;

ACCESS_MASK granted_access(ACCESS_MASK desired)
{
    ACCESS_MASK granted = desired & (kRead | kWrite);
    if (desired & (kGenericRead | kGenericAll))
        granted |= kRead;
    if (desired & (kGenericWrite | kGenericAll))
        granted |= kWrite;
    return granted;
}

// Fills the IRP's buffers by transfer method, probing and copying as the
// I/O manager does. Direct I/O passes the caller's buffer itself: an MDL
// would map the same pages.
NTSTATUS prepare_buffers(Irp* irp, IoCall& call, ULONG method)
{
    UserIo& io = call.io;
    bool output_is_written = irp->major != IRP_MJ_WRITE && method != METHOD_IN_DIRECT;
    auto lock = sched_lock();
    if (method != METHOD_NEITHER && irp->requestor_mode == UserMode) {
        if (!NT_SUCCESS(probe_locked(io.input, io.input_length, false)) ||
            !NT_SUCCESS(probe_locked(io.output, io.output_length, output_is_written)))
            return STATUS_ACCESS_VIOLATION;
    }
    lock.unlock();
    switch (method) {
    case METHOD_NEITHER:
        irp->type3_input = const_cast<void*>(io.input);
        irp->user_buffer = irp->major == IRP_MJ_WRITE ? const_cast<void*>(io.input) : io.output;
        return STATUS_SUCCESS;
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        irp->user_buffer = irp->major == IRP_MJ_WRITE ? const_cast<void*>(io.input) : io.output;
        if (irp->major == IRP_MJ_READ || irp->major == IRP_MJ_WRITE || io.input_length == 0)
            return STATUS_SUCCESS;
        irp->system_buffer = pool_alloc(io.input_length);
        if (!irp->system_buffer)
            return STATUS_INSUFFICIENT_RESOURCES;
        std::memcpy(irp->system_buffer, io.input, io.input_length);
        return STATUS_SUCCESS;
    default: {   // METHOD_BUFFERED
        size_t bytes = std::max(io.input_length, io.output_length);
        if (irp->major == IRP_MJ_WRITE)
            bytes = io.input_length;
        else if (irp->major == IRP_MJ_READ)
            bytes = io.output_length;
        if (bytes == 0)
            return STATUS_SUCCESS;
        irp->system_buffer = pool_alloc(bytes);
        if (!irp->system_buffer)
            return STATUS_INSUFFICIENT_RESOURCES;
        if (irp->major != IRP_MJ_READ && io.input_length)
            std::memcpy(irp->system_buffer, io.input, io.input_length);
        call.copy_out = irp->major != IRP_MJ_WRITE && io.output_length > 0;
        return STATUS_SUCCESS;
    }
    }
}

// The transfer method of a call: from the control code for device
// controls, from the device's flags for reads and writes.
ULONG transfer_method(const Irp* irp, const _DEVICE_OBJECT* device)
{
    if (irp->major == IRP_MJ_DEVICE_CONTROL || irp->major == IRP_MJ_INTERNAL_DEVICE_CONTROL)
        return METHOD_FROM_CTL_CODE(irp->ioctl);
    if (device->flags & DO_BUFFERED_IO)
        return METHOD_BUFFERED;
    return (device->flags & DO_DIRECT_IO) ? METHOD_OUT_DIRECT : METHOD_NEITHER;
}

NTSTATUS check_access(const Irp* irp, const _FILE_OBJECT* file)
{
    if (irp->requestor_mode == KernelMode)
        return STATUS_SUCCESS;
    ULONG needed = 0;
    if (irp->major == IRP_MJ_READ)
        needed = kRead;
    else if (irp->major == IRP_MJ_WRITE)
        needed = kWrite;
    else
        needed = (irp->ioctl >> 14) & (kRead | kWrite);
    return has_access(file, needed) ? STATUS_SUCCESS : STATUS_ACCESS_DENIED;
}

// Takes the IRP's cancel routine for a cancellation; scheduler lock held.
std::function<void(Irp*)> begin_cancel(Irp* irp)
{
    irp->cancel = true;
    return std::exchange(irp->cancel_routine, nullptr);
}

void run_cancel_routine(Irp* irp, const std::function<void(Irp*)>& routine)
{
    uint8_t irql = current_irql();
    set_current_irql(DISPATCH_LEVEL);
    routine(irp);
    set_current_irql(irql);
}

// Cancels the user IRPs that `matches` selects; returns how many there were.
template <typename Match>
size_t cancel_user_irps(Match matches)
{
    auto lock = sched_lock();
    std::vector<uint64_t> ids;
    for (auto& [id, irp] : g_state.user_irps)
        if (matches(*irp))
            ids.push_back(id);
    for (uint64_t id : ids) {
        auto it = g_state.user_irps.find(id);
        if (it == g_state.user_irps.end())
            continue;   // completed meanwhile
        Irp* irp = it->second;
        auto routine = begin_cancel(irp);
        if (!routine)
            continue;
        lock.unlock();
        run_cancel_routine(irp, routine);
        lock.lock();
    }
    return ids.size();
}

}  // namespace

// --- lifetime ------------------------------------------------------------------

void reset()
{
    auto lock = sched_lock();
    for (auto& [id, irp] : g_state.user_irps)
        delete irp;
    g_state = State{};
    g_generation++;
    names::reset();
    reset_user_space();
}

uint64_t generation() { return g_generation; }

// --- devices -------------------------------------------------------------------

NTSTATUS create_device(_DRIVER_OBJECT* driver, std::u16string name, DEVICE_TYPE type, ULONG characteristics,
                       bool exclusive, _DEVICE_OBJECT** out)
{
    auto lock = sched_lock();
    if (name.empty() && (characteristics & FILE_AUTOGENERATED_DEVICE_NAME)) {
        char16_t digits[8];
        for (int i = 7, n = g_state.next_auto_name++; i >= 0; --i, n >>= 4)
            digits[i] = u"0123456789abcdef"[n & 0xf];
        name = u"\\Device\\" + std::u16string(digits, 8);
    }
    void* memory = pool_alloc(sizeof(_DEVICE_OBJECT));
    if (memory == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(memory, 0, sizeof(_DEVICE_OBJECT));   // IoCreateDevice zeroes the device object
    DeviceObjectPtr device(new (memory) _DEVICE_OBJECT);
    device->driver = driver;
    device->name = name;
    device->device_type = type;
    device->characteristics = characteristics;
    device->exclusive = exclusive;
    if (exclusive)
        device->flags |= DO_EXCLUSIVE;
    if (!name.empty()) {
        NTSTATUS status = names::insert_device(name, device.get());
        if (!NT_SUCCESS(status))
            return status;
    }
    *out = g_state.devices.emplace_back(std::move(device)).get();
    return STATUS_SUCCESS;
}

void attach(_DEVICE_OBJECT* upper, _DEVICE_OBJECT* lower)
{
    auto lock = sched_lock();
    while (lower->upper)
        lower = lower->upper;
    lower->upper = upper;
    upper->lower = lower;
    upper->node = lower->node;
}

void delete_device(_DEVICE_OBJECT* device)
{
    auto lock = sched_lock();
    if (!device->name.empty())
        names::erase_device(device->name);
    if (device->lower)
        device->lower->upper = device->upper;
    if (device->upper)
        device->upper->lower = device->lower;
    device->lower = device->upper = nullptr;
    device->deleted = true;
}

_DEVICE_OBJECT* top_of_stack(_DEVICE_OBJECT* device)
{
    auto lock = sched_lock();
    while (device->upper)
        device = device->upper;
    return device;
}

// --- IRPs ----------------------------------------------------------------------

void call_driver(_DEVICE_OBJECT* device, Irp* irp)
{
    verify_irql_at_most(DISPATCH_LEVEL, "IoCallDriver");
    {
        auto lock = sched_lock();
        if (irp->id == 0)
            irp->id = g_state.next_irp_id++;
        irp->device = device;
    }
    yield_point("IoCallDriver");
    if (device->handler && !device->deleted)
        device->handler->dispatch(irp);
    else
        complete_irp(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

void complete_irp(Irp* irp, NTSTATUS status, ULONG_PTR information)
{
    verify_irql_at_most(DISPATCH_LEVEL, "IoCompleteRequest");
    yield_point("IoCompleteRequest");
    auto lock = sched_lock();
    if (irp->completed) {
        lock.unlock();
        verifier_report("irp-completed-twice", describe(irp));
        return;
    }
    if (irp->cancel_routine) {
        lock.unlock();
        verifier_report("irp-completed-cancelable", describe(irp) + " still has a cancel routine");
        lock.lock();
    }
    irp->status = status;
    irp->information = information;
    irp->completed = true;
    auto on_complete = irp->on_complete;
    bool user_call = irp->call != nullptr;
    notify_all();
    lock.unlock();
    if (on_complete)
        on_complete(irp);
    if (user_call) {
        lock.lock();
        finish_user_call(lock, irp);   // frees the IRP
        notify_all();
    }
}

bool cancel_irp(Irp* irp)
{
    yield_point("IoCancelIrp");
    auto lock = sched_lock();
    auto routine = begin_cancel(irp);
    lock.unlock();
    if (!routine)
        return false;
    run_cancel_routine(irp, routine);
    return true;
}

std::function<void(Irp*)> exchange_cancel_routine(Irp* irp, std::function<void(Irp*)> routine)
{
    auto lock = sched_lock();
    return std::exchange(irp->cancel_routine, std::move(routine));
}

bool irp_cancelled(Irp* irp)
{
    auto lock = sched_lock();
    return irp->cancel;
}

// --- user-mode entry points ------------------------------------------------------

NTSTATUS open_file(std::u16string path, ACCESS_MASK access, ULONG share, _FILE_OBJECT** out)
{
    verify_irql_at_most(PASSIVE_LEVEL, "open_file");
    auto lock = sched_lock();
    auto found = names::find_device(path);
    if (!found)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    _DEVICE_OBJECT* device = found->device;
    DeviceNode* node = device->node;
    if (device->deleted || (node && node->state != NodeState::started))
        return node && node->state == NodeState::reported ? STATUS_NO_SUCH_DEVICE : STATUS_DELETE_PENDING;
    if (device->exclusive && device->open_handles > 0)
        return STATUS_ACCESS_DENIED;
    device->open_handles++;
    auto owned = std::make_unique<_FILE_OBJECT>();
    _FILE_OBJECT* file = owned.get();
    file->device = device;
    file->file_name = found->remainder;
    file->access = granted_access(access);
    file->handle_count = 1;
    file->reference_count = 1;
    file->id = g_state.next_file_id++;
    g_state.files.emplace(file, std::move(owned));
    lock.unlock();

    auto irp = file_irp(IRP_MJ_CREATE, file);
    irp->desired_access = access;
    irp->share_access = share;
    NTSTATUS status = send_and_wait(device, irp.get());
    lock.lock();
    if (!NT_SUCCESS(status)) {
        device->open_handles--;
        g_state.files.erase(file);
        notify_all();
        return status;
    }
    *out = file;
    return status;
}

void close_file(_FILE_OBJECT* file)
{
    verify_irql_at_most(PASSIVE_LEVEL, "close_file");
    auto lock = sched_lock();
    if (--file->handle_count == 0) {
        lock.unlock();
        if (!file->device->deleted) {
            auto irp = file_irp(IRP_MJ_CLEANUP, file);
            send_and_wait(file->device, irp.get());
        }
        lock.lock();
        file->cleanup_done = true;
    }
    release_file(lock, file, true);
}

void reference_file_locked(_FILE_OBJECT* file) { file->reference_count++; }

void dereference_file(_FILE_OBJECT* file)
{
    auto lock = sched_lock();
    release_file(lock, file, current_irql() == PASSIVE_LEVEL);
}

NTSTATUS submit(_FILE_OBJECT* file, UserIo io)
{
    verify_irql_at_most(PASSIVE_LEVEL, "submit");
    auto call = std::make_shared<IoCall>();
    call->io = std::move(io);
    call->file = file;
    call->thread = thread_id(current_thread());

    auto irp = std::make_unique<Irp>();
    irp->major = call->io.major;
    irp->requestor_mode = irp->major == IRP_MJ_INTERNAL_DEVICE_CONTROL ? KernelMode : UserMode;
    irp->file = file;
    irp->ioctl = call->io.ioctl;
    irp->byte_offset = call->io.byte_offset;
    irp->length = irp->major == IRP_MJ_WRITE ? call->io.input_length : call->io.output_length;
    irp->input_length = call->io.input_length;
    irp->output_length = call->io.output_length;
    _DEVICE_OBJECT* top = top_of_stack(file->device);

    NTSTATUS status = check_access(irp.get(), file);
    if (NT_SUCCESS(status))
        status = prepare_buffers(irp.get(), *call, transfer_method(irp.get(), top));
    auto lock = sched_lock();
    if (!NT_SUCCESS(status)) {
        if (irp->system_buffer)
            pool_free(irp->system_buffer);
        call->io.done(status, 0);
        return status;
    }
    irp->id = g_state.next_irp_id++;
    irp->call = call;
    g_state.user_irps[irp->id] = irp.get();
    file->reference_count++;
    lock.unlock();

    call_driver(top, irp.release());
    lock.lock();
    return call->finished ? call->status : STATUS_PENDING;
}

NTSTATUS cancel_thread_io(_FILE_OBJECT* file)
{
    uint32_t self = thread_id(current_thread());
    cancel_user_irps([&](const Irp& irp) { return irp.file == file && irp.call->thread == self; });
    return STATUS_SUCCESS;
}

NTSTATUS cancel_io(_FILE_OBJECT* file, const void* tag)
{
    size_t n = cancel_user_irps(
        [&](const Irp& irp) { return irp.file == file && (!tag || irp.call->io.tag == tag); });
    return n ? STATUS_SUCCESS : STATUS_NOT_FOUND;
}

size_t pending_user_irps()
{
    auto lock = sched_lock();
    return g_state.user_irps.size();
}

void flush_closes()
{
    auto lock = sched_lock();
    wait_until(lock, [] { return g_state.pending_closes == 0; }, kForever, "deferred IRP_MJ_CLOSE");
}

size_t open_file_objects()
{
    auto lock = sched_lock();
    return g_state.files.size();
}

}  // namespace host::io
