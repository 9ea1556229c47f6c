// Kernel pool: a fixed-address arena in controlled mode (deterministic
// addresses, never reused within a run), the C heap in free mode.
#include "host/kernel/pool.h"

#include "host/kernel/sched.h"
#include "host/kernel/verifier.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
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

struct Watch {
    size_t bytes;
    std::string user;
};

std::mutex g_pool_lock;
char* g_arena = nullptr;
size_t g_arena_used = 0;
size_t g_arena_live = 0;                      // arena blocks allocated and not yet freed
std::map<uintptr_t, uintptr_t> g_freed;       // arena blocks freed in this run: start -> end
std::map<uintptr_t, Watch> g_watches;         // by start

bool overlaps(uintptr_t a, uintptr_t a_end, uintptr_t b, uintptr_t b_end) { return a < b_end && b < a_end; }

// The user of a watched range that [start, end) overlaps, or "". Lock held.
std::string watched_user(uintptr_t start, uintptr_t end)
{
    for (const auto& [at, watch] : g_watches)
        if (overlaps(start, end, at, at + watch.bytes))
            return watch.user;
    return "";
}

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
    g_arena_live++;
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
    if (h->magic != kHeapBlock && h->magic != kArenaBlock) {
        verifier_report("pool-bad-free", "freeing memory that is not a live pool block");
        return;
    }
    const auto start = reinterpret_cast<uintptr_t>(p), end = start + h->bytes;
    std::string user;
    {
        std::lock_guard guard(g_pool_lock);
        user = watched_user(start, end);
        if (h->magic == kArenaBlock && h->bytes)
            g_freed[start] = end;
        if (h->magic == kArenaBlock)
            g_arena_live--;
    }
    if (!user.empty())
        verifier_report("pool-freed-while-in-use", "a pool block is freed while " + user + " still uses it");
    std::memset(p, kPoolFreedByte, h->bytes);
    if (h->magic == kHeapBlock) {
        h->magic = kFreedBlock;
        std::free(h);
        return;
    }
    h->magic = kFreedBlock;
    POOL_POISON(p, h->bytes);
}

bool pool_arena_contains(const void* p)
{
    const char* at = static_cast<const char*>(p);
    return g_arena && at >= g_arena && at < g_arena + kArenaSize;
}

bool pool_range_freed(const void* p, size_t bytes)
{
    const auto start = reinterpret_cast<uintptr_t>(p), end = start + bytes;
    std::lock_guard guard(g_pool_lock);
    auto it = g_freed.upper_bound(start);
    if (it != g_freed.begin() && std::prev(it)->second > start)
        return true;
    return it != g_freed.end() && it->first < end;
}

void pool_watch(const void* p, size_t bytes, std::string user)
{
    std::lock_guard guard(g_pool_lock);
    g_watches[reinterpret_cast<uintptr_t>(p)] = Watch{bytes, std::move(user)};
}

void pool_unwatch(const void* p)
{
    std::lock_guard guard(g_pool_lock);
    g_watches.erase(reinterpret_cast<uintptr_t>(p));
}

void pool_reset()
{
    std::lock_guard guard(g_pool_lock);
    g_freed.clear();
    g_watches.clear();
    if (g_arena && g_arena_used) {
        POOL_UNPOISON(g_arena, g_arena_used);
        madvise(g_arena, g_arena_used, MADV_DONTNEED);   // zero and give the pages back
        POOL_POISON(g_arena, g_arena_used);
    }
    g_arena_used = 0;
    g_arena_live = 0;
}

size_t pool_blocks_in_use()
{
    std::lock_guard guard(g_pool_lock);
    return g_arena_live;
}

}  // namespace host
