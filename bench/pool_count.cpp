// Counts the kernel pool allocations of the host, and every heap allocation
// of the process, by standing in front of host::pool_alloc and malloc: the
// executable's definitions take precedence over the libraries' for every
// caller, and reach the real ones.
#include "bench/rig.h"

#include <dlfcn.h>

#include <atomic>

namespace {
std::atomic<uint64_t> g_allocations = 0;
std::atomic<uint64_t> g_heap_allocations = 0;
}  // namespace

// Sanitizer builds keep their own allocator: no heap count there.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
extern "C" void* __libc_malloc(size_t bytes);

extern "C" void* malloc(size_t bytes)
{
    g_heap_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(bytes);
}
#endif

namespace host {

void* pool_alloc(size_t bytes)
{
    using Fn = void* (*)(size_t);
    static const Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "_ZN4host10pool_allocEm"));
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return real(bytes);
}

}  // namespace host

namespace bench {
uint64_t pool_allocation_count() { return g_allocations.load(std::memory_order_relaxed); }
uint64_t heap_allocation_count() { return g_heap_allocations.load(std::memory_order_relaxed); }
}  // namespace bench
