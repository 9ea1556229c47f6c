// The user address space: allocations below 4 GiB, page protections and
// probing, through the Win32 virtual-memory calls.
#include "host/host.h"
#include "host/io/iomgr.h"
#include "host/kernel/pool.h"
#include "win32.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <vector>

namespace {

using host::io::probe_user_buffer;

class UserMemoryTest : public ::testing::Test {
protected:
    host::Host host;
};

TEST_F(UserMemoryTest, AllocationsLieBelow4GiBOnTheAllocationGranularity)
{
    auto* a = static_cast<char*>(VirtualAlloc(nullptr, 100, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    auto* b = static_cast<char*>(VirtualAlloc(nullptr, 100, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_LT(uintptr_t(b) + 100, uintptr_t(1) << 32);
    EXPECT_EQ(uintptr_t(a) % 0x10000, 0u);
    EXPECT_EQ(uintptr_t(b) % 0x10000, 0u);
    EXPECT_NE(a, b);
    a[0] = 1, a[4095] = 2;   // the whole page is usable
    EXPECT_EQ(probe_user_buffer(a, 4096, true), STATUS_SUCCESS);
    EXPECT_EQ(probe_user_buffer(a + 4095, 2, false), STATUS_ACCESS_VIOLATION) << "the next page is not committed";
}

// Below 4 GiB, outside the user region, lie the process's own pages (low
// under valgrind) and the machine's kernel space: the pool arena and the
// upper 2 GiB. Only the process's pages are user memory.
TEST_F(UserMemoryTest, ProcessPagesBelow4GiBAreUserMemoryKernelSpaceIsNot)
{
    auto map_at = [](uintptr_t at) {
        void* p = mmap(reinterpret_cast<void*>(at), 4096, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
        return p == reinterpret_cast<void*>(at) ? p : nullptr;
    };
    void* own = map_at(0x70000000);
    void* upper = map_at(0x90000000);
    if (!own || !upper)
        GTEST_SKIP() << "the test addresses are taken in this process";
    EXPECT_EQ(probe_user_buffer(own, 4096, true), STATUS_SUCCESS);
    EXPECT_EQ(probe_user_buffer(upper, 1, false), STATUS_ACCESS_VIOLATION);
    void* pool = host::pool_alloc(16);
    ASSERT_TRUE(host::pool_arena_contains(pool));
    EXPECT_EQ(probe_user_buffer(pool, 16, false), STATUS_ACCESS_VIOLATION);
    host::pool_free(pool);
    munmap(own, 4096);
    munmap(upper, 4096);
}

TEST_F(UserMemoryTest, ProtectionDecidesWhatAProbeAllows)
{
    void* p = VirtualAlloc(nullptr, 8192, MEM_COMMIT, PAGE_READONLY);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(probe_user_buffer(p, 8192, false), STATUS_SUCCESS);
    EXPECT_EQ(probe_user_buffer(p, 1, true), STATUS_ACCESS_VIOLATION);

    DWORD old = 0;
    ASSERT_TRUE(VirtualProtect(static_cast<char*>(p) + 4096, 1, PAGE_NOACCESS, &old));
    EXPECT_EQ(old, DWORD(PAGE_READONLY));
    EXPECT_EQ(probe_user_buffer(p, 4096, false), STATUS_SUCCESS);
    EXPECT_EQ(probe_user_buffer(p, 4097, false), STATUS_ACCESS_VIOLATION);

    ASSERT_TRUE(VirtualProtect(p, 8192, PAGE_READWRITE, &old));
    EXPECT_EQ(probe_user_buffer(p, 8192, true), STATUS_SUCCESS);
    EXPECT_EQ(probe_user_buffer(p, 1, true) , STATUS_SUCCESS);
}

TEST_F(UserMemoryTest, FreedMemoryFailsProbesAndCannotBeFreedTwice)
{
    void* p = VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE);
    ASSERT_NE(p, nullptr);
    ASSERT_TRUE(VirtualFree(p, 0, MEM_RELEASE));
    EXPECT_EQ(probe_user_buffer(p, 1, false), STATUS_ACCESS_VIOLATION);
    EXPECT_FALSE(VirtualFree(p, 0, MEM_RELEASE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_ADDRESS));
    EXPECT_FALSE(VirtualProtect(p, 1, PAGE_READWRITE, nullptr)) << "nothing committed there";
}

TEST_F(UserMemoryTest, NullWrappedAndKernelRangesAreRejected)
{
    EXPECT_EQ(probe_user_buffer(nullptr, 1, false), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(probe_user_buffer(reinterpret_cast<void*>(0x1000), 4, false), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(probe_user_buffer(reinterpret_cast<void*>(~uintptr_t(0) - 2), 8, true), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(probe_user_buffer(nullptr, 0, true), STATUS_SUCCESS) << "an empty range is never probed";

    EXPECT_EQ(probe_user_buffer(reinterpret_cast<void*>(0x80001000), 4, false), STATUS_ACCESS_VIOLATION)
        << "the 32-bit kernel range";
    EXPECT_EQ(probe_user_buffer(reinterpret_cast<void*>(0x40000000), 4, false), STATUS_ACCESS_VIOLATION)
        << "the kernel pool is no user memory";
    void* p = VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(probe_user_buffer(static_cast<char*>(p) + 4000, 200, false), STATUS_ACCESS_VIOLATION)
        << "a range crossing into an unmapped page";

    std::vector<char> heap(64);
    EXPECT_EQ(probe_user_buffer(heap.data(), heap.size(), true), STATUS_SUCCESS)
        << "the process' own heap is ordinary user memory";
}

TEST(UserMemoryLifetimeTest, EveryHostStartsWithAnEmptyAddressSpace)
{
    void* first = nullptr;
    {
        host::Host host;
        first = VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE);
        ASSERT_NE(first, nullptr);
        static_cast<char*>(first)[0] = 42;
    }
    host::Host next;
    EXPECT_EQ(probe_user_buffer(first, 1, false), STATUS_ACCESS_VIOLATION);
    void* again = VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE);
    EXPECT_EQ(again, first) << "addresses repeat from run to run";
    EXPECT_EQ(static_cast<char*>(again)[0], 0) << "and the memory is fresh";
}

}  // namespace
