// Framework objects: the handle table, the object tree with its two-phase
// deletion (cleanup, then destroy), contexts and references.
#include "host/wdf/fx.h"

#include "host/kernel/pool.h"
#include "host/kernel/verifier.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <unordered_map>

namespace host::wdf {

namespace {

// The handle table. Pool addresses are never reused within a controlled run,
// so a handle that was once live and is no longer is a use after deletion.
// In free mode the heap may reuse an address: creation overwrites the entry.
// Every framework call resolves its handles, so the table is split into
// shards with a lock each: threads resolving different objects do not meet.
enum class Slot { live, destroyed, unknown };

class HandleTable {
public:
    void set(const void* handle, Slot slot)
    {
        Shard& s = shard(handle);
        std::lock_guard guard(s.lock);
        s.slots[handle] = slot;
    }
    Slot find(const void* handle)
    {
        Shard& s = shard(handle);
        std::lock_guard guard(s.lock);
        auto it = s.slots.find(handle);
        return it == s.slots.end() ? Slot::unknown : it->second;
    }

private:
    struct Shard {
        std::mutex lock;
        std::unordered_map<const void*, Slot> slots;
    };
    static constexpr size_t kShards = 64;
    Shard& shard(const void* handle)
    {
        // Pool blocks are 16-byte aligned: the bits above those pick the shard.
        return shards_[(reinterpret_cast<uintptr_t>(handle) >> 4) % kShards];
    }
    Shard shards_[kShards];
};

HandleTable& handles()
{
    static HandleTable table;
    return table;
}

// Guards the object tree, references and the deletion flags.
std::mutex g_table_lock;
long g_live_objects = 0;   // under g_table_lock

// Every context area starts with this header, so that
// WdfObjectContextGetObject can find the owner.
struct alignas(16) ContextHeader {
    FxObject* owner;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO type;
};

std::string describe(const void* handle)
{
    char text[64];
    std::snprintf(text, sizeof text, "%p", handle);
    return text;
}

PCWDF_OBJECT_CONTEXT_TYPE_INFO unique_type(PCWDF_OBJECT_CONTEXT_TYPE_INFO type)
{
    return type != nullptr && type->UniqueType != nullptr ? type->UniqueType : type;
}

NTSTATUS validate_attributes(PWDF_OBJECT_ATTRIBUTES attributes)
{
    if (attributes == nullptr) return STATUS_SUCCESS;
    if (attributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES)) return STATUS_INFO_LENGTH_MISMATCH;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO type = attributes->ContextTypeInfo;
    if (type == nullptr && attributes->ContextSizeOverride != 0) return STATUS_INVALID_PARAMETER;
    if (type != nullptr && attributes->ContextSizeOverride != 0 &&
        attributes->ContextSizeOverride < type->ContextSize)
        return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

// Adds the context the attributes describe (if any) with their callbacks.
NTSTATUS add_context(FxObject* object, PWDF_OBJECT_ATTRIBUTES attributes, void** data_out,
                     const char* api, bool counted)
{
    PCWDF_OBJECT_CONTEXT_TYPE_INFO type = unique_type(attributes->ContextTypeInfo);
    void* data = nullptr;
    if (type != nullptr) {
        for (const FxContext& existing : object->contexts)
            if (existing.type == type) return STATUS_OBJECT_NAME_COLLISION;
        size_t size = std::max(type->ContextSize, attributes->ContextSizeOverride);
        // A context given at creation shares the object's allocation, as
        // in the framework; one added later is an allocation of its own.
        void* memory = counted ? allocate_object_memory(sizeof(ContextHeader) + size, api)
                               : host::pool_alloc(sizeof(ContextHeader) + size);
        if (memory != nullptr && !counted) std::memset(memory, 0, sizeof(ContextHeader) + size);
        auto* header = static_cast<ContextHeader*>(memory);
        if (header == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        header->owner = object;
        header->type = type;
        data = header + 1;
    }
    object->contexts.push_back({type, data, attributes->EvtCleanupCallback, attributes->EvtDestroyCallback});
    if (data_out != nullptr) *data_out = data;
    return STATUS_SUCCESS;
}

void free_contexts(FxObject* object)
{
    for (FxContext& context : object->contexts)
        if (context.data != nullptr) host::pool_free(static_cast<ContextHeader*>(context.data) - 1);
    object->contexts.clear();
}

// The tree is changed and read under the table lock: objects are created
// and deleted on any thread. A snapshot references each child it lists, so
// that a child deleted by another thread meanwhile stays until it is let go.
std::vector<FxObject*> children_of(FxObject* object)
{
    std::lock_guard guard(g_table_lock);
    for (FxObject* child : object->children) ++child->references;
    return object->children;
}

void dereference_all(const std::vector<FxObject*>& objects)
{
    for (FxObject* each : objects) dereference(each);
}

void unlink_from_parent(FxObject* object)
{
    std::lock_guard guard(g_table_lock);
    if (object->parent == nullptr) return;
    auto& siblings = object->parent->children;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), object), siblings.end());
    object->parent = nullptr;
}

// Cleanup phase: children (newest first) before their parent. An object
// another thread is deleting already is left to it; that thread holds a
// reference until the object is disposed.
void dispose_tree(FxObject* object)
{
    {
        std::lock_guard guard(g_table_lock);
        if (object->deleting) return;
        object->deleting = true;
    }
    std::vector<FxObject*> children = children_of(object);
    for (auto it = children.rbegin(); it != children.rend(); ++it) dispose_tree(*it);
    dereference_all(children);
    object->dispose();
    // The object is still usable inside its own cleanup callbacks.
    WDFOBJECT handle = object->handle();
    for (const FxContext& context : object->contexts)
        if (context.cleanup != nullptr)
            call_driver("EvtCleanupCallback", [&] { context.cleanup(handle); });
    std::lock_guard guard(g_table_lock);
    object->disposed = true;
}

// The tree, children before their parent. Each entry carries a reference:
// the caller's for `object`, the snapshots' for the rest.
void collect_tree(FxObject* object, std::vector<FxObject*>& tree)
{
    std::vector<FxObject*> children = children_of(object);
    for (auto it = children.rbegin(); it != children.rend(); ++it) collect_tree(*it, tree);
    tree.push_back(object);
}

void drop_creation_reference(FxObject* object)
{
    {
        std::lock_guard guard(g_table_lock);
        if (object->creation_reference_dropped) return;
        object->creation_reference_dropped = true;
    }
    dereference(object);
}

void destroy(FxObject* object)
{
    WDFOBJECT handle = object->handle();
    for (const FxContext& context : object->contexts)
        if (context.destroy != nullptr)
            call_driver("EvtDestroyCallback", [&] { context.destroy(handle); });
    unlink_from_parent(object);
    {
        std::lock_guard guard(g_table_lock);
        for (FxObject* child : object->children) child->parent = nullptr;   // still referenced
        object->children.clear();
        handles().set(object, Slot::destroyed);
        --g_live_objects;
    }
    free_contexts(object);
    free_object_memory(object);
}

}  // namespace

const char* kind_name(ObjectKind kind)
{
    switch (kind) {
    case ObjectKind::any: return "object";
    case ObjectKind::generic: return "WDFOBJECT";
    case ObjectKind::driver: return "WDFDRIVER";
    case ObjectKind::device: return "WDFDEVICE";
    case ObjectKind::queue: return "WDFQUEUE";
    case ObjectKind::request: return "WDFREQUEST";
    case ObjectKind::file: return "WDFFILEOBJECT";
    case ObjectKind::memory: return "WDFMEMORY";
    case ObjectKind::string: return "WDFSTRING";
    case ObjectKind::key: return "WDFKEY";
    case ObjectKind::spinlock: return "WDFSPINLOCK";
    case ObjectKind::waitlock: return "WDFWAITLOCK";
    case ObjectKind::dpc: return "WDFDPC";
    case ObjectKind::timer: return "WDFTIMER";
    case ObjectKind::workitem: return "WDFWORKITEM";
    case ObjectKind::iotarget: return "WDFIOTARGET";
    case ObjectKind::collection: return "WDFCOLLECTION";
    case ObjectKind::cmreslist: return "WDFCMRESLIST";
    }
    return "?";
}

void* allocate_object_memory(size_t bytes, const char* api)
{
    if (host::verifier_allocation_fails(api)) return nullptr;
    void* memory = host::pool_alloc(bytes);
    if (memory != nullptr) std::memset(memory, 0, bytes);   // objects and contexts start zeroed
    return memory;
}

void free_object_memory(FxObject* object)
{
    object->~FxObject();
    host::pool_free(object);
}

NTSTATUS init_object(FxObject* object, PWDF_OBJECT_ATTRIBUTES attributes, FxObject* default_parent,
                     const char* api)
{
    NTSTATUS status = validate_attributes(attributes);
    FxObject* parent = default_parent;
    if (NT_SUCCESS(status) && attributes != nullptr && attributes->ParentObject != nullptr) {
        parent = resolve(attributes->ParentObject, ObjectKind::any, api);
        if (parent == nullptr) status = STATUS_INVALID_PARAMETER;
    }
    if (NT_SUCCESS(status) && attributes != nullptr) {
        object->execution_level = attributes->ExecutionLevel;
        object->synchronization_scope = attributes->SynchronizationScope;
        status = add_context(object, attributes, nullptr, api, false);
    }
    if (!NT_SUCCESS(status)) {
        free_contexts(object);
        free_object_memory(object);
        return status;
    }
    std::lock_guard guard(g_table_lock);
    if (parent != nullptr) {
        object->parent = parent;
        parent->children.push_back(object);
    }
    handles().set(object, Slot::live);
    ++g_live_objects;
    return STATUS_SUCCESS;
}

void discard_object(FxObject* object)
{
    unlink_from_parent(object);
    free_contexts(object);
    {
        std::lock_guard guard(g_table_lock);
        handles().set(object, Slot::destroyed);
        --g_live_objects;
    }
    free_object_memory(object);
}

long live_objects()
{
    std::lock_guard guard(g_table_lock);
    return g_live_objects;
}

// Cleanup, then the destroy phase: each object of the tree gives up its
// creation reference, children before their parent, and one whose count
// reaches zero is destroyed. The deleter references the object throughout:
// another thread may delete it, or its parent, at the same time.
void delete_object(FxObject* object)
{
    reference(object);
    dispose_tree(object);
    std::vector<FxObject*> tree;
    collect_tree(object, tree);
    for (FxObject* each : tree) {
        drop_creation_reference(each);
        dereference(each);   // the tree's, the deleter's own last
    }
}

void reference(FxObject* object)
{
    std::lock_guard guard(g_table_lock);
    ++object->references;
}

void dereference(FxObject* object)
{
    long remaining;
    bool disposed;
    {
        std::lock_guard guard(g_table_lock);
        remaining = --object->references;
        disposed = object->disposed;
    }
    if (remaining > 0) return;
    if (!disposed) {
        host::verifier_report("object-reference-underflow",
                              std::string(kind_name(object->kind)) + " " + describe(object) +
                                  " dereferenced more often than referenced");
        std::lock_guard guard(g_table_lock);
        object->references = 1;
        return;
    }
    destroy(object);
}

FxObject* resolve(WDFOBJECT handle, ObjectKind expected, const char* api, bool allow_disposed)
{
    const char* check = nullptr;
    FxObject* object = nullptr;
    const Slot slot = handle == nullptr ? Slot::unknown : handles().find(handle);
    if (slot == Slot::unknown)
        check = "invalid-handle";
    else if (slot == Slot::destroyed)
        check = "object-used-after-deletion";
    else
        object = static_cast<FxObject*>(handle);
    if (object != nullptr && object->disposed && !allow_disposed) {
        check = "object-used-after-deletion";
        object = nullptr;
    }
    if (object != nullptr && expected != ObjectKind::any && object->kind != expected) {
        host::verifier_report("wrong-object-type", std::string(api) + ": " + describe(handle) + " is a " +
                                                       kind_name(object->kind) + ", not a " +
                                                       kind_name(expected));
        return nullptr;
    }
    if (check != nullptr) {
        host::verifier_report(check, std::string(api) + ": " + kind_name(expected) + " " + describe(handle));
        return nullptr;
    }
    return object;
}

void verify_callback_return(const char* callback, uint8_t entry_irql, int entry_locks)
{
    uint8_t irql = host::current_irql();
    if (irql != entry_irql) {
        host::verifier_report("callback-irql-changed",
                              std::string(callback) + " entered at IRQL " + std::to_string(entry_irql) +
                                  ", returned at " + std::to_string(irql));
        host::set_current_irql(entry_irql);
    }
    int locks = host::held_spin_locks();
    if (locks > entry_locks) {
        host::verifier_report("callback-holds-spinlock",
                              std::string(callback) + " returned holding " +
                                  std::to_string(locks - entry_locks) + " spin lock(s)");
    }
}

void* context_of(FxObject* object, PCWDF_OBJECT_CONTEXT_TYPE_INFO type)
{
    type = unique_type(type);
    for (const FxContext& context : object->contexts)
        if (context.type == type && context.data != nullptr) return context.data;
    return nullptr;
}

}  // namespace host::wdf

using namespace host::wdf;

// --- framework API -----------------------------------------------------------

WDFAPI NTSTATUS WdfObjectCreate(PWDF_OBJECT_ATTRIBUTES Attributes, WDFOBJECT* Object)
{
    FxObject* object = nullptr;
    NTSTATUS status = create_object(Attributes, current_driver(), "WdfObjectCreate", &object,
                                    ObjectKind::generic);
    *Object = object != nullptr ? object->handle() : nullptr;
    return status;
}

WDFAPI VOID WdfObjectDelete(WDFOBJECT Object)
{
    FxObject* object = resolve(Object, ObjectKind::any, "WdfObjectDelete");
    if (object == nullptr) return;
    if (!object->driver_may_delete) {
        host::verifier_report("delete-framework-owned-object",
                              std::string("WdfObjectDelete: the framework owns ") + kind_name(object->kind) +
                                  " " + describe(Object));
        return;
    }
    delete_object(object);
}

WDFAPI NTSTATUS WdfObjectAllocateContext(WDFOBJECT Handle, PWDF_OBJECT_ATTRIBUTES ContextAttributes,
                                         PVOID* Context)
{
    if (Context != nullptr) *Context = nullptr;
    FxObject* object = resolve(Handle, ObjectKind::any, "WdfObjectAllocateContext");
    if (object == nullptr) return STATUS_INVALID_HANDLE;
    NTSTATUS status = validate_attributes(ContextAttributes);
    if (!NT_SUCCESS(status)) return status;
    if (ContextAttributes == nullptr || ContextAttributes->ContextTypeInfo == nullptr ||
        ContextAttributes->ParentObject != nullptr)
        return STATUS_INVALID_PARAMETER;
    return add_context(object, ContextAttributes, Context, "WdfObjectAllocateContext", true);
}

WDFAPI PVOID WdfObjectGetTypedContextWorker(WDFOBJECT Handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo)
{
    // Contexts stay valid until the object is destroyed (a cleanup callback
    // reads its own context).
    FxObject* object = resolve(Handle, ObjectKind::any, "WdfObjectGetTypedContext", true);
    return object != nullptr ? context_of(object, TypeInfo) : nullptr;
}

WDFAPI WDFOBJECT WdfObjectContextGetObject(PVOID ContextPointer)
{
    auto* header = static_cast<ContextHeader*>(ContextPointer) - 1;
    FxObject* object = resolve(header->owner, ObjectKind::any, "WdfObjectContextGetObject", true);
    return object != nullptr ? object->handle() : nullptr;
}

WDFAPI VOID WdfObjectReferenceActual(WDFOBJECT Handle, PVOID /*Tag*/, LONG /*Line*/, PCHAR /*File*/)
{
    if (FxObject* object = resolve(Handle, ObjectKind::any, "WdfObjectReference", true)) reference(object);
}

WDFAPI VOID WdfObjectDereferenceActual(WDFOBJECT Handle, PVOID /*Tag*/, LONG /*Line*/, PCHAR /*File*/)
{
    if (FxObject* object = resolve(Handle, ObjectKind::any, "WdfObjectDereference", true)) dereference(object);
}
