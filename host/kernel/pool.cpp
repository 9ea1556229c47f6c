// Kernel pool: a fixed-address arena in controlled mode (deterministic
// addresses, never reused within a run), the C heap in free mode.
#include "host/kernel/pool.h"

#include "host/kernel/sched.h"
#include "host/kernel/verifier.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define POOL_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define POOL_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define POOL_POISON(p, n) ((void)(p), (void)(n))
#define POOL_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace host {

namespace {

constexpr uintptr_t kArenaBase = 0x40000000;          // below 2 GiB: clear of every sanitizer's shadow
constexpr size_t kArenaSize = size_t(512) << 20;
constexpr uint32_t kArenaBlock = 0x41524e41;          // 'ANRA'
constexpr uint32_t kHeapBlock = 0x50414548;           // 'HEAP'
constexpr uint32_t kFreedBlock = 0x44455246;          // 'FRED'
constexpr unsigned char kUninitialisedFill = 0xC5;

struct alignas(16) Header {
    uint32_t magic;
    uint32_t reserved;
    size_t bytes;
};

std::mutex g_pool_lock;
char* g_arena = nullptr;
size_t g_arena_used = 0;

char* arena()
{
    if (!g_arena) {
        void* want = reinterpret_cast<void*>(kArenaBase);
        void* got = mmap(want, kArenaSize, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED_NOREPLACE, -1, 0);
        if (got == MAP_FAILED)
            throw std::runtime_error("host: cannot map the kernel pool arena");
        g_arena = static_cast<char*>(got);
        POOL_POISON(g_arena, kArenaSize);
    }
    return g_arena;
}

Header* arena_alloc(size_t bytes)
{
    size_t total = (sizeof(Header) + bytes + 15) & ~size_t(15);
    std::lock_guard guard(g_pool_lock);
    char* base = arena();
    if (g_arena_used + total > kArenaSize)
        return nullptr;
    auto* h = reinterpret_cast<Header*>(base + g_arena_used);
    g_arena_used += total;
    POOL_UNPOISON(h, sizeof(Header) + bytes);
    h->magic = kArenaBlock;
    return h;
}

}  // namespace

void* pool_alloc(size_t bytes)
{
    Header* h = sched_mode() == Mode::controlled && sched_running()
                    ? arena_alloc(bytes)
                    : static_cast<Header*>(std::malloc(sizeof(Header) + bytes));
    if (!h)
        return nullptr;
    if (h->magic != kArenaBlock)
        h->magic = kHeapBlock;
    h->bytes = bytes;
    // Pool comes uninitialised, as on Windows; in controlled mode (the
    // verifier's runs) with a fill pattern, so that reliance on zeroed pool
    // shows the same way on every run.
    if (h->magic == kArenaBlock)
        std::memset(h + 1, kUninitialisedFill, bytes);
    return h + 1;
}

void pool_free(void* p)
{
    if (!p)
        return;
    Header* h = static_cast<Header*>(p) - 1;
    if (h->magic == kHeapBlock) {
        h->magic = kFreedBlock;
        std::free(h);
        return;
    }
    if (h->magic != kArenaBlock) {
        verifier_report("pool-bad-free", "freeing memory that is not a live pool block");
        return;
    }
    h->magic = kFreedBlock;
    POOL_POISON(p, h->bytes);
}

void pool_reset()
{
    std::lock_guard guard(g_pool_lock);
    if (g_arena && g_arena_used) {
        POOL_UNPOISON(g_arena, g_arena_used);
        madvise(g_arena, g_arena_used, MADV_DONTNEED);   // zero and give the pages back
        POOL_POISON(g_arena, g_arena_used);
    }
    g_arena_used = 0;
}

}  // namespace host
