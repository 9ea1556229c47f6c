// Counts the kernel pool allocations of the host by standing in front of
// host::pool_alloc: the executable's definition takes precedence over the
// host library's for every caller, which then reaches the real one.
#include "bench/rig.h"

#include <dlfcn.h>

#include <atomic>

namespace {
std::atomic<uint64_t> g_allocations = 0;
}

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
}  // namespace bench
