// Memory objects: a buffer the framework allocates (freed with the object)
// or one the driver lends (WdfMemoryCreatePreallocated). Copies are bounds
// checked against the buffer. A locked user buffer's memory object holds
// the system view of the caller's pages.
#include "host/wdf/internal.h"

#include "host/io/iomgr.h"

#include "host/kernel/pool.h"

#include <cstring>

namespace host::wdf {

struct FxMemory : FxObject {
    static constexpr ObjectKind kKind = ObjectKind::memory;
    FxMemory() : FxObject(kKind) {}
    ~FxMemory() override
    {
        if (owns_buffer) host::pool_free(buffer);
        if (user_address != nullptr) host::io::user_unlock_view(buffer, user_address, size);
    }

    void* buffer = nullptr;
    size_t size = 0;
    bool owns_buffer = false;
    void* user_address = nullptr;   // the locked user range this view maps
};

namespace {

NTSTATUS create(PWDF_OBJECT_ATTRIBUTES attributes, FxObject* parent, size_t size, void* lent, const char* api,
                FxMemory** out)
{
    *out = nullptr;
    if (size == 0) return STATUS_INVALID_PARAMETER;
    // The object and its buffer count as one allocation, as the framework
    // allocates them together.
    FxMemory* memory = nullptr;
    NTSTATUS status = create_object(attributes, parent, api, &memory);
    if (!NT_SUCCESS(status)) return status;
    void* buffer = lent != nullptr ? lent : host::pool_alloc(size);
    if (buffer == nullptr) {
        discard_object(memory);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    memory->buffer = buffer;
    memory->size = size;
    memory->owns_buffer = lent == nullptr;
    *out = memory;
    return STATUS_SUCCESS;
}

// True if [offset, offset + length) lies inside the buffer.
bool in_bounds(const FxMemory* memory, size_t offset, size_t length)
{
    return offset <= memory->size && length <= memory->size - offset;
}

}  // namespace

NTSTATUS create_memory(PWDF_OBJECT_ATTRIBUTES attributes, FxObject* parent, const void* bytes, size_t size,
                       const char* api, WDFMEMORY* out)
{
    *out = nullptr;
    FxMemory* memory = nullptr;
    NTSTATUS status = create(attributes, parent, size, nullptr, api, &memory);
    if (!NT_SUCCESS(status)) return status;
    std::memcpy(memory->buffer, bytes, size);
    *out = memory->handle_as<WDFMEMORY>();
    return STATUS_SUCCESS;
}

NTSTATUS create_user_view_memory(FxObject* request, void* user, size_t size, bool for_write, WDFMEMORY* out)
{
    *out = nullptr;
    void* view = host::io::user_lock_view(user, size, for_write);
    if (view == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    FxMemory* memory = nullptr;
    NTSTATUS status = create(&attributes, request, size, view, "WdfRequestProbeAndLockUserBuffer", &memory);
    if (!NT_SUCCESS(status)) {
        host::io::user_unlock_view(view, user, size);
        return status;
    }
    memory->user_address = user;
    *out = memory->handle_as<WDFMEMORY>();
    return STATUS_SUCCESS;
}

}  // namespace host::wdf

using namespace host::wdf;

WDFAPI NTSTATUS WdfMemoryCreate(PWDF_OBJECT_ATTRIBUTES Attributes, POOL_TYPE /*PoolType*/, ULONG /*PoolTag*/,
                                size_t BufferSize, WDFMEMORY* Memory, PVOID* Buffer)
{
    *Memory = nullptr;
    if (Buffer != nullptr) *Buffer = nullptr;
    FxMemory* memory = nullptr;
    NTSTATUS status = create(Attributes, current_driver(), BufferSize, nullptr, "WdfMemoryCreate", &memory);
    if (!NT_SUCCESS(status)) return status;
    *Memory = memory->handle_as<WDFMEMORY>();
    if (Buffer != nullptr) *Buffer = memory->buffer;
    return STATUS_SUCCESS;
}

WDFAPI NTSTATUS WdfMemoryCreatePreallocated(PWDF_OBJECT_ATTRIBUTES Attributes, PVOID Buffer,
                                            size_t BufferSize, WDFMEMORY* Memory)
{
    *Memory = nullptr;
    if (Buffer == nullptr) return STATUS_INVALID_PARAMETER;
    FxMemory* memory = nullptr;
    NTSTATUS status = create(Attributes, current_driver(), BufferSize, Buffer, "WdfMemoryCreatePreallocated", &memory);
    if (NT_SUCCESS(status)) *Memory = memory->handle_as<WDFMEMORY>();
    return status;
}

WDFAPI PVOID WdfMemoryGetBuffer(WDFMEMORY Memory, size_t* BufferSize)
{
    FxMemory* memory = resolve<FxMemory>(Memory, "WdfMemoryGetBuffer");
    if (BufferSize != nullptr) *BufferSize = memory != nullptr ? memory->size : 0;
    return memory != nullptr ? memory->buffer : nullptr;
}

WDFAPI NTSTATUS WdfMemoryAssignBuffer(WDFMEMORY Memory, PVOID Buffer, size_t BufferSize)
{
    FxMemory* memory = resolve<FxMemory>(Memory, "WdfMemoryAssignBuffer");
    if (memory == nullptr) return STATUS_INVALID_HANDLE;
    if (memory->owns_buffer || Buffer == nullptr || BufferSize == 0) return STATUS_INVALID_DEVICE_REQUEST;
    memory->buffer = Buffer;
    memory->size = BufferSize;
    return STATUS_SUCCESS;
}

WDFAPI NTSTATUS WdfMemoryCopyToBuffer(WDFMEMORY SourceMemory, size_t SourceOffset, PVOID Buffer,
                                      size_t NumBytesToCopyTo)
{
    FxMemory* memory = resolve<FxMemory>(SourceMemory, "WdfMemoryCopyToBuffer");
    if (memory == nullptr) return STATUS_INVALID_HANDLE;
    if (Buffer == nullptr) return STATUS_INVALID_PARAMETER;
    if (!in_bounds(memory, SourceOffset, NumBytesToCopyTo)) return STATUS_INVALID_BUFFER_SIZE;
    std::memcpy(Buffer, static_cast<char*>(memory->buffer) + SourceOffset, NumBytesToCopyTo);
    return STATUS_SUCCESS;
}

WDFAPI NTSTATUS WdfMemoryCopyFromBuffer(WDFMEMORY DestinationMemory, size_t DestinationOffset,
                                        PVOID Buffer, size_t NumBytesToCopyFrom)
{
    FxMemory* memory = resolve<FxMemory>(DestinationMemory, "WdfMemoryCopyFromBuffer");
    if (memory == nullptr) return STATUS_INVALID_HANDLE;
    if (Buffer == nullptr) return STATUS_INVALID_PARAMETER;
    if (!in_bounds(memory, DestinationOffset, NumBytesToCopyFrom)) return STATUS_INVALID_BUFFER_SIZE;
    std::memcpy(static_cast<char*>(memory->buffer) + DestinationOffset, Buffer, NumBytesToCopyFrom);
    return STATUS_SUCCESS;
}
