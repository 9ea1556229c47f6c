// The I/O manager: the object-name space, device objects and stacks, file
// objects, IRPs with their completion and cancellation, the process' user
// address space, device interfaces and the I/O configuration information.
//
// All state here is guarded by the scheduler lock; no function is called
// with it held, and none calls driver code while holding it.
#pragma once

#include "wdm_model.h"

#include <optional>
#include <string>
#include <vector>

namespace host::io {

// --- lifetime ----------------------------------------------------------------
// Forgets every name, device, file object, interface and user allocation and
// sets SerialCount to 0. The Host calls it at start.
void reset();
// Counts resets, so that per-process tables kept elsewhere (win32 handles)
// can tell that they belong to an earlier run. Needs no lock.
uint64_t generation();

// --- devices -----------------------------------------------------------------
NTSTATUS create_device(_DRIVER_OBJECT*, std::u16string name /*may be empty*/, DEVICE_TYPE,
                       ULONG characteristics, bool exclusive, _DEVICE_OBJECT** out);
// Attaches `upper` to the top of the stack `lower` belongs to.
void attach(_DEVICE_OBJECT* upper, _DEVICE_OBJECT* lower);
// Removes the device's name and detaches it; the object itself stays valid
// (marked deleted) until the next reset, as file objects may still refer to it.
void delete_device(_DEVICE_OBJECT*);
_DEVICE_OBJECT* top_of_stack(_DEVICE_OBJECT*);

// --- IRPs --------------------------------------------------------------------
// Hands the IRP to dev->handler->dispatch; without a handler, or on a
// deleted device, it completes with STATUS_INVALID_DEVICE_REQUEST.
void call_driver(_DEVICE_OBJECT*, Irp*);
// Completes the IRP (any thread, IRQL <= DISPATCH_LEVEL). The verifier
// reports an IRP completed twice or with a cancel routine still set.
void complete_irp(Irp*, NTSTATUS, ULONG_PTR information);
// IoCancelIrp: sets the cancel flag; if a cancel routine is set it is taken
// and called on this thread at DISPATCH_LEVEL. True if a routine was called.
bool cancel_irp(Irp*);
// IoSetCancelRoutine: installs `routine` (empty to clear) and returns the
// one that was set, atomically with respect to cancel_irp. A driver that
// installs a routine and then finds irp_cancelled() true takes it back with
// a second exchange; if it gets it back, it cancels the IRP itself.
std::function<void(Irp*)> exchange_cancel_routine(Irp*, std::function<void(Irp*)> routine);
bool irp_cancelled(Irp*);

// --- user-mode entry points (the system-service side of win32) ---------------
// Opens a file object on the device that `path` names (links followed): an
// IRP_MJ_CREATE goes down the device's stack and is waited for. Fails with
// STATUS_OBJECT_NAME_NOT_FOUND (no such name), STATUS_ACCESS_DENIED (an
// exclusive device already open), STATUS_NO_SUCH_DEVICE (not started yet),
// STATUS_DELETE_PENDING (removed or being removed) or the driver's status.
NTSTATUS open_file(std::u16string path, ACCESS_MASK access, ULONG share, _FILE_OBJECT** out);
// One handle to the file object closes. The last handle's close sends
// IRP_MJ_CLEANUP (and waits for it); IRP_MJ_CLOSE follows once no IRP
// refers to the file object any more.
void close_file(_FILE_OBJECT*);

// ObReferenceObject and ObDereferenceObject for a file object that a handle
// lookup found, so that a concurrent close cannot free it under the caller.
// The reference is taken with the scheduler lock held.
void reference_file_locked(_FILE_OBJECT*);
void dereference_file(_FILE_OBJECT*);

// A read, write or device-control call from user mode, or an internal
// device control from a kernel-mode client of the file object (sent with
// KernelMode as requestor: no probing, no access check).
struct UserIo {
    UCHAR major = IRP_MJ_READ;   // IRP_MJ_READ, _WRITE, _DEVICE_CONTROL or _INTERNAL_DEVICE_CONTROL
    ULONG ioctl = 0;
    const void* input = nullptr;   // the data of a write, the input of a control
    ULONG input_length = 0;
    void* output = nullptr;        // the buffer of a read, the output of a control
    ULONG output_length = 0;
    LONGLONG byte_offset = 0;
    const void* tag = nullptr;   // the caller's OVERLAPPED, for cancel_io(file, tag)
    // Runs once, with the scheduler lock held, when the IRP completes (or
    // the call fails before an IRP exists). Only records and signals.
    std::function<void(NTSTATUS, ULONG_PTR)> done;
};
// Issues the call; returns the final status if it completed before this
// returns, STATUS_PENDING otherwise. `done` has run or will run exactly once.
NTSTATUS submit(_FILE_OBJECT*, UserIo io);
// CancelIo: cancels the calling thread's IRPs on the file object.
NTSTATUS cancel_thread_io(_FILE_OBJECT*);
// CancelIoEx: cancels the IRPs issued with `tag`, or all of the file
// object's when `tag` is null; STATUS_NOT_FOUND when there were none.
NTSTATUS cancel_io(_FILE_OBJECT*, const void* tag);
// IRPs issued from user mode and not yet completed.
size_t pending_user_irps();
// Waits until every IRP_MJ_CLOSE deferred from a completion has been sent.
void flush_closes();
// File objects not yet closed.
size_t open_file_objects();

// --- user address space ------------------------------------------------------
// A region below 4 GiB for VirtualAlloc-style allocations with page
// protections (PAGE_* values); the rest of the low 4 GiB is not user memory
// (the kernel pool lives there). Memory above 4 GiB (the process' own heap
// and stacks) counts as ordinary read-write user memory.
void* user_alloc(size_t bytes, ULONG protect);
bool user_free(void* base);
bool user_protect(void* address, size_t bytes, ULONG protect, ULONG* old_protect);
// STATUS_ACCESS_VIOLATION unless the whole range is accessible as asked.
NTSTATUS probe_user_buffer(const void* p, size_t len, bool for_write);
// Locks the pages of a probed range and maps them at a system address, as
// MmProbeAndLockPages and MmGetSystemAddressForMdlSafe do: the view shares
// the caller's pages and stays valid when the caller frees or protects
// them; freed pages are given back only when the last lock goes. Memory
// outside the region is its own view.
void* user_lock_view(void* p, size_t len, bool for_write);
void user_unlock_view(void* view, void* p, size_t len);
// Pages of the region that are locked (for leak checks).
size_t user_locked_pages();

// --- names -------------------------------------------------------------------
// Names are case-insensitive; \DosDevices\X and \GLOBAL??\X are \??\X.
NTSTATUS create_symbolic_link(std::u16string link, std::u16string target);  // IoCreateSymbolicLink
NTSTATUS delete_symbolic_link(std::u16string link);
std::optional<std::u16string> resolve_link(std::u16string name);   // the link's target, links followed
struct SymbolicLink { std::u16string link; std::u16string target; };
std::vector<SymbolicLink> symbolic_links();                          // \??\ form, sorted

// --- device interfaces -------------------------------------------------------
NTSTATUS register_interface(_DEVICE_OBJECT* pdo, const GUID&, const UNICODE_STRING* ref, std::u16string* link_out);
NTSTATUS set_interface_state(std::u16string link, bool enable);
struct InterfaceRecord { GUID guid; std::u16string link; _DEVICE_OBJECT* pdo; bool enabled; };
std::vector<InterfaceRecord> interfaces();

CONFIGURATION_INFORMATION* configuration();   // IoGetConfigurationInformation

}  // namespace host::io
