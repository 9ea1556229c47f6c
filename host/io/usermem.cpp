// The process' user address space: a region below 4 GiB from which
// VirtualAlloc-style allocations come, with Windows page protections kept per
// page (and applied with mprotect, so that a stray access faults as it would
// on Windows). Probing checks ranges against those protections; memory
// outside the region is the process' own heap and stacks, read-write.
//
// User addresses mean something only in the caller's context. Under the
// controlled scheduler one thread runs at a time, so while a thread outside
// user context runs (a DPC, a work item, the PnP thread, or driver code
// other than EvtIoInCallerContext on the application's own thread) no
// allocation of the region is accessible; the locked views of probed
// buffers stay mapped. A driver that keeps a raw user address and uses it
// there faults, and the fault is reported as the verifier would.
#include "host/io/iomgr.h"
#include "host/io/iomgr_internal.h"

#include "host/kernel/pool.h"
#include "host/kernel/sched.h"
#include "host/kernel/verifier.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace host::io {

namespace {

constexpr uintptr_t kRegionBase = 0x20000000;
constexpr size_t kRegionSize = size_t(256) << 20;
constexpr size_t kPage = 0x1000;
constexpr size_t kGranularity = 0x10000;   // allocation granularity, as on Windows
constexpr uintptr_t kLowestUserAddress = 0x10000;
constexpr uintptr_t kHighestUserAddress = 0x7ffffffeffffull;
constexpr uintptr_t k2GiB = uintptr_t(1) << 31;
constexpr uintptr_t k4GiB = uintptr_t(1) << 32;

// Windows page protections (winnt.h values).
constexpr ULONG kNoAccess = 0x01, kReadOnly = 0x02, kReadWrite = 0x04, kWriteCopy = 0x08, kExecute = 0x10,
                kExecuteRead = 0x20, kExecuteReadWrite = 0x40, kExecuteWriteCopy = 0x80, kGuard = 0x100;

bool readable(ULONG p)
{
    return !(p & kGuard) && (p & (kReadOnly | kReadWrite | kWriteCopy | kExecuteRead | kExecuteReadWrite |
                                  kExecuteWriteCopy));
}
bool writable(ULONG p) { return !(p & kGuard) && (p & (kReadWrite | kWriteCopy | kExecuteReadWrite | kExecuteWriteCopy)); }
bool valid_protection(ULONG p)
{
    ULONG base = p & ~kGuard;
    return base == kNoAccess || base == kReadOnly || base == kReadWrite || base == kWriteCopy || base == kExecute ||
           base == kExecuteRead || base == kExecuteReadWrite || base == kExecuteWriteCopy;
}

int posix_protection(ULONG p)
{
    return (readable(p) ? PROT_READ : 0) | (writable(p) ? PROT_WRITE : 0);
}

struct Space {
    char* base = nullptr;                  // null: the region could not be placed
    int fd = -1;                           // the memory file behind it; -1: no second views
    std::map<uintptr_t, size_t> allocations;   // base -> bytes (whole pages)
    std::vector<ULONG> pages;              // protection per page, 0 = free
    std::vector<uint32_t> locks;           // locked views per page
    std::set<uintptr_t> freed_locked;      // allocations freed while locked: kept until unlocked
};
Space g_space;

// System views given back with their requests, most recent last: a fault
// in one of them is a driver that read or wrote a caller's buffer after
// the request completed. Written under the scheduler lock, read by the
// fault handler.
struct Released {
    std::atomic<uintptr_t> start{0}, end{0};
};
std::array<Released, 256> g_released;
std::atomic<size_t> g_released_next{0};
struct sigaction g_previous_segv;

bool in_released_view(uintptr_t a)
{
    for (const Released& r : g_released)
        if (a >= r.start.load(std::memory_order_relaxed) && a < r.end.load(std::memory_order_relaxed))
            return true;
    return false;
}

void remember_released(uintptr_t start, uintptr_t end)
{
    Released& r = g_released[g_released_next++ % g_released.size()];
    r.end.store(0, std::memory_order_relaxed);
    r.start.store(start, std::memory_order_relaxed);
    r.end.store(end, std::memory_order_relaxed);
}

// Under the controlled scheduler an allocation's pages carry their
// protections only while it is open: allocations start closed (no access),
// a thread in user context opens one when it first touches it (through the
// fault handler), and all are closed again when a thread outside user
// context is to run. So only what the application touched is ever
// unprotected and protected again. `g_closed` is set while such a thread
// runs. Changed with the scheduler lock held, or by the fault handler on
// the one thread that runs.
std::atomic<bool> g_closed{false};
std::vector<uintptr_t> g_opened;   // bases of open allocations

bool in_region(uintptr_t a) { return g_space.base && a >= uintptr_t(g_space.base) && a < uintptr_t(g_space.base) + kRegionSize; }

size_t page_index(uintptr_t a) { return (a - uintptr_t(g_space.base)) / kPage; }

bool opened(uintptr_t base) { return std::find(g_opened.begin(), g_opened.end(), base) != g_opened.end(); }

// The allocation that holds `a`, or end().
std::map<uintptr_t, size_t>::const_iterator allocation_at(uintptr_t a)
{
    auto it = g_space.allocations.upper_bound(a);
    if (it == g_space.allocations.begin())
        return g_space.allocations.end();
    --it;
    return a < it->first + it->second ? it : g_space.allocations.end();
}

// Applies the protections of the pages in [first, last), in runs of equal protection.
void apply_protection(uintptr_t first, uintptr_t last)
{
    while (first < last) {
        ULONG protect = g_space.pages[page_index(first)];
        uintptr_t end = first + kPage;
        while (end < last && g_space.pages[page_index(end)] == protect)
            end += kPage;
        mprotect(reinterpret_cast<void*>(first), end - first, protect ? posix_protection(protect) : PROT_NONE);
        first = end;
    }
}

void open_allocation(uintptr_t base, size_t bytes)
{
    if (!opened(base))
        g_opened.push_back(base);
    apply_protection(base, base + bytes);
}

void close_opened()
{
    for (uintptr_t base : g_opened) {
        auto it = g_space.allocations.find(base);
        if (it != g_space.allocations.end())
            mprotect(reinterpret_cast<void*>(base), it->second, PROT_NONE);
    }
    g_opened.clear();
}

void forget_opened(uintptr_t base) { g_opened.erase(std::remove(g_opened.begin(), g_opened.end(), base), g_opened.end()); }

// Whether allocations open only on touch: while the controlled scheduler
// runs, with the fault handler in place. Otherwise threads run at once (or
// nothing would open them) and every allocation stays open.
bool opened_on_touch() { return g_space.fd >= 0 && sched_running() && sched_mode() == Mode::controlled; }

void on_context(bool in_user_context)
{
    g_closed = !in_user_context;
    if (g_closed)
        close_opened();
}

void report_outside_caller(void* address)
{
    char text[32];
    std::snprintf(text, sizeof text, "%p", address);
    verifier_report("user-address-outside-caller-context",
                    std::string("user address ") + text +
                        " used directly outside the caller's context; only EvtIoInCallerContext may, later code "
                        "uses the locked view of the buffer");
}

// Names the fault and stops the run; any other fault goes on to the
// handler that was there before (the default one, or a sanitizer's).
// The first touch of a closed allocation opens it: in user context that
// is all, outside it the verifier reports it first (and, recording, lets
// the access go on).
void on_segv(int /*signal*/, siginfo_t* info, void* /*context*/)
{
    uintptr_t address = uintptr_t(info->si_addr);
    if (in_released_view(address)) {
        static const char kText[] = "host: VERIFIER: user-buffer-after-completion: the driver used a locked "
                                    "user buffer after its request completed\n";
        (void)!write(STDERR_FILENO, kText, sizeof kText - 1);
        abort();
    }
    auto allocation = in_region(address) ? allocation_at(address) : g_space.allocations.end();
    if (allocation != g_space.allocations.end() && !opened(allocation->first)) {
        if (!g_closed || readable(g_space.pages[page_index(address)])) {
            if (g_closed)
                report_outside_caller(info->si_addr);
            open_allocation(allocation->first, allocation->second);
            return;
        }
    }
    sigaction(SIGSEGV, &g_previous_segv, nullptr);   // the access faults again, there
}

void install_fault_handler()
{
    struct sigaction action {};
    action.sa_sigaction = on_segv;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, &g_previous_segv);
}

void map_region()
{
    int fd = memfd_create("user-space", MFD_CLOEXEC);
    if (fd >= 0 && ftruncate(fd, kRegionSize) != 0) {
        close(fd);
        fd = -1;
    }
    int flags = MAP_NORESERVE | MAP_FIXED_NOREPLACE | (fd >= 0 ? MAP_SHARED : MAP_PRIVATE | MAP_ANONYMOUS);
    void* got = mmap(reinterpret_cast<void*>(kRegionBase), kRegionSize, PROT_NONE, flags, fd, 0);
    if (got == MAP_FAILED) {   // e.g. under ThreadSanitizer: no region, ordinary memory only
        if (fd >= 0)
            close(fd);
        return;
    }
    g_space.base = static_cast<char*>(got);
    g_space.fd = fd;
    if (fd >= 0) {
        install_fault_handler();
        sched_set_context_hook(on_context);
    }
    g_space.pages.assign(kRegionSize / kPage, 0);
    g_space.locks.assign(kRegionSize / kPage, 0);
    g_opened.reserve(4096);   // the fault handler adds to it without allocating
}

// Fresh, zeroed pages for whoever allocates the range next.
void zero_pages(uintptr_t base, size_t bytes)
{
    if (g_space.fd >= 0 &&
        fallocate(g_space.fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, off_t(base - uintptr_t(g_space.base)),
                  off_t(bytes)) == 0)
        return;
    mprotect(reinterpret_cast<void*>(base), bytes, PROT_READ | PROT_WRITE);
    std::memset(reinterpret_cast<void*>(base), 0, bytes);
    mprotect(reinterpret_cast<void*>(base), bytes, PROT_NONE);
}

bool any_locked(uintptr_t base, size_t bytes)
{
    for (size_t i = page_index(base); i < page_index(base + bytes); i++)
        if (g_space.locks[i])
            return true;
    return false;
}

// Allocations freed while locked are given back once no view holds them.
void release_unlocked_freed()
{
    for (auto it = g_space.freed_locked.begin(); it != g_space.freed_locked.end();) {
        size_t bytes = g_space.allocations.at(*it);
        if (any_locked(*it, bytes)) {
            ++it;
            continue;
        }
        zero_pages(*it, bytes);
        g_space.allocations.erase(*it);
        it = g_space.freed_locked.erase(it);
    }
}

// Sets the pages' protections; they apply now where their allocation is open.
void set_pages(uintptr_t address, size_t bytes, ULONG protect)
{
    std::fill_n(g_space.pages.begin() + page_index(address), bytes / kPage, protect);
    for (uintptr_t page = address; page < address + bytes;) {
        auto allocation = allocation_at(page);
        uintptr_t end = std::min(address + bytes, allocation->first + allocation->second);
        if (opened(allocation->first))
            apply_protection(page, end);
        page = end;
    }
}

uintptr_t find_free_range(size_t bytes)
{
    uintptr_t candidate = uintptr_t(g_space.base);
    for (auto& [base, size] : g_space.allocations) {
        if (base - candidate >= bytes)
            return candidate;
        candidate = (base + size + kGranularity - 1) & ~(kGranularity - 1);
    }
    return uintptr_t(g_space.base) + kRegionSize - candidate >= bytes ? candidate : 0;
}

// The machine's kernel space: the upper half of the 32-bit address space and
// the pool arena. Any other mapped page outside the user region is the
// process's own memory (its heap and stacks, which lie low under valgrind).
bool kernel_space(uintptr_t page)
{
    return (page >= k2GiB && page < k4GiB) || pool_arena_contains(reinterpret_cast<const void*>(page));
}

// Whether the process has a readable page there (its heap, its stacks):
// reading it through the kernel fails cleanly where it has none.
bool mapped(uintptr_t page)
{
    char byte;
    iovec local{ &byte, 1 };
    iovec remote{ reinterpret_cast<void*>(page), 1 };
    return process_vm_readv(getpid(), &local, 1, &remote, 1, 0) == 1;
}

}  // namespace

void reset_user_space()
{
    if (!g_space.base) {
        map_region();
        return;
    }
    for (auto& [base, size] : g_space.allocations) {
        mprotect(reinterpret_cast<void*>(base), size, PROT_NONE);
        zero_pages(base, size);   // fresh, zeroed pages for the next run
    }
    g_space.allocations.clear();
    g_space.freed_locked.clear();
    g_opened.clear();
    std::fill(g_space.pages.begin(), g_space.pages.end(), 0);
    std::fill(g_space.locks.begin(), g_space.locks.end(), 0);
}

void* user_alloc(size_t bytes, ULONG protect)
{
    if (!g_space.base || bytes == 0 || !valid_protection(protect))
        return nullptr;
    bytes = (bytes + kPage - 1) & ~(kPage - 1);
    auto lock = sched_lock();
    uintptr_t base = find_free_range(bytes);
    if (!base)
        return nullptr;
    g_space.allocations[base] = bytes;
    set_pages(base, bytes, protect);
    if (!opened_on_touch())
        open_allocation(base, bytes);
    return reinterpret_cast<void*>(base);
}

bool user_free(void* address)
{
    auto lock = sched_lock();
    auto it = g_space.allocations.find(uintptr_t(address));
    if (it == g_space.allocations.end() || g_space.freed_locked.count(it->first))
        return false;
    auto [base, bytes] = *it;
    set_pages(base, bytes, 0);
    forget_opened(base);
    if (any_locked(base, bytes)) {
        g_space.freed_locked.insert(base);
        return true;
    }
    zero_pages(base, bytes);
    g_space.allocations.erase(it);
    return true;
}

bool user_protect(void* address, size_t bytes, ULONG protect, ULONG* old_protect)
{
    uintptr_t first = uintptr_t(address) & ~(kPage - 1);
    uintptr_t last = (uintptr_t(address) + bytes + kPage - 1) & ~(kPage - 1);
    if (!valid_protection(protect) || bytes == 0 || !in_region(first) || !in_region(last - 1))
        return false;
    auto lock = sched_lock();
    for (uintptr_t page = first; page < last; page += kPage)
        if (g_space.pages[page_index(page)] == 0)
            return false;   // not committed
    if (old_protect)
        *old_protect = g_space.pages[page_index(first)];
    set_pages(first, last - first, protect);
    return true;
}

NTSTATUS probe_locked(const void* p, size_t len, bool for_write)
{
    if (len == 0)
        return STATUS_SUCCESS;
    uintptr_t start = uintptr_t(p);
    uintptr_t end = start + len;
    if (end < start || start < kLowestUserAddress || end > kHighestUserAddress)
        return STATUS_ACCESS_VIOLATION;
    for (uintptr_t page = start & ~(kPage - 1); page < end; page += kPage) {
        if (!in_region(page)) {
            if (kernel_space(page) || !mapped(page))
                return STATUS_ACCESS_VIOLATION;
            continue;
        }
        ULONG protect = g_space.pages[page_index(page)];
        if (!(for_write ? writable(protect) : readable(protect)))
            return STATUS_ACCESS_VIOLATION;
    }
    return STATUS_SUCCESS;
}

NTSTATUS probe_user_buffer(const void* p, size_t len, bool for_write)
{
    auto lock = sched_lock();
    return probe_locked(p, len, for_write);
}

void* user_lock_view(void* p, size_t len, bool for_write)
{
    auto lock = sched_lock();
    uintptr_t start = uintptr_t(p);
    if (g_space.fd < 0 || len == 0 || !in_region(start))
        return p;
    uintptr_t first = start & ~(kPage - 1);
    uintptr_t last = (start + len + kPage - 1) & ~(kPage - 1);
    void* view = mmap(nullptr, last - first, for_write ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED,
                      g_space.fd, off_t(first - uintptr_t(g_space.base)));
    if (view == MAP_FAILED)
        return nullptr;
    for (size_t i = page_index(first); i < page_index(last); i++)
        g_space.locks[i]++;
    return static_cast<char*>(view) + (start - first);
}

void user_unlock_view(void* view, void* p, size_t len)
{
    auto lock = sched_lock();
    uintptr_t start = uintptr_t(p);
    if (view == p || len == 0 || !in_region(start))
        return;
    uintptr_t first = start & ~(kPage - 1);
    uintptr_t last = (start + len + kPage - 1) & ~(kPage - 1);
    char* mapping = static_cast<char*>(view) - (start - first);
    munmap(mapping, last - first);
    remember_released(uintptr_t(mapping), uintptr_t(mapping) + (last - first));
    for (size_t i = page_index(first); i < page_index(last); i++)
        g_space.locks[i]--;
    release_unlocked_freed();
}

CallerContextScope::CallerContextScope() : was_closed_(g_closed) { g_closed = false; }
CallerContextScope::~CallerContextScope() { on_context(!was_closed_); }

size_t user_locked_pages()
{
    auto lock = sched_lock();
    return size_t(std::count_if(g_space.locks.begin(), g_space.locks.end(), [](uint32_t n) { return n != 0; }));
}

}  // namespace host::io
