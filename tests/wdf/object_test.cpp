// Framework objects: deletion of an object tree (cleanup bottom-up, then
// destroy bottom-up), references, contexts, memory and string objects,
// allocation fault injection and the verifier's object checks.
#include "kmdf_driver.h"

#include "host/kernel/verifier.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

using ::testing::ElementsAre;
using ::testing::IsEmpty;

struct NAMED_CONTEXT {
    char name[8];
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(NAMED_CONTEXT, named_context)

struct COUNTER_CONTEXT {
    ULONG count;
};
WDF_DECLARE_CONTEXT_TYPE(COUNTER_CONTEXT)

namespace {

constexpr ULONG kTestTag = 0x74736554;   // "Test" in a pool dump

std::vector<std::string> g_events;

VOID log_cleanup(WDFOBJECT object) { g_events.push_back(std::string("cleanup ") + named_context(object)->name); }
VOID log_destroy(WDFOBJECT object) { g_events.push_back(std::string("destroy ") + named_context(object)->name); }

class ObjectTest : public ::testing::Test {
protected:
    ObjectTest() { g_events.clear(); }

    // A generic object named `name` under `parent` that logs its cleanup and destroy.
    WDFOBJECT make(const char* name, WDFOBJECT parent)
    {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, NAMED_CONTEXT);
        attributes.ParentObject = parent;
        attributes.EvtCleanupCallback = log_cleanup;
        attributes.EvtDestroyCallback = log_destroy;
        WDFOBJECT object = nullptr;
        EXPECT_EQ(WdfObjectCreate(&attributes, &object), STATUS_SUCCESS);
        std::strncpy(named_context(object)->name, name, sizeof NAMED_CONTEXT::name - 1);
        return object;
    }

    wdftest::Fixture fx;
};

TEST_F(ObjectTest, DeletingATreeCleansUpChildrenFirstThenDestroysChildrenFirst)
{
    WDFOBJECT a = make("a", nullptr);
    WDFOBJECT b = make("b", a);
    make("c", b);
    make("d", a);
    WdfObjectDelete(a);
    EXPECT_THAT(g_events, ElementsAre("cleanup d", "cleanup c", "cleanup b", "cleanup a",   //
                                      "destroy d", "destroy c", "destroy b", "destroy a"));
}

TEST_F(ObjectTest, AReferenceDelaysTheDestroyButNotTheCleanup)
{
    WDFOBJECT a = make("a", nullptr);
    WdfObjectReference(a);
    WdfObjectDelete(a);
    EXPECT_THAT(g_events, ElementsAre("cleanup a"));
    EXPECT_STREQ(named_context(a)->name, "a") << "the context lives until the destroy";
    WdfObjectDereference(a);
    EXPECT_THAT(g_events, ElementsAre("cleanup a", "destroy a"));
}

TEST_F(ObjectTest, ObjectsParentedToTheDriverGoWithIt)
{
    WDFOBJECT a = make("a", WdfGetDriver());
    make("b", a);
    EXPECT_EQ(fx.host().unload_driver(), STATUS_SUCCESS);
    EXPECT_THAT(g_events, ElementsAre("cleanup b", "cleanup a", "destroy b", "destroy a"));
}

TEST_F(ObjectTest, ContextsAreZeroedTypedAndFindTheirObject)
{
    WDFOBJECT a = make("a", nullptr);
    EXPECT_EQ(WdfObjectGet_COUNTER_CONTEXT(a), nullptr) << "no context of that type yet";

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, COUNTER_CONTEXT);
    attributes.ContextSizeOverride = 64;
    PVOID raw = nullptr;
    ASSERT_EQ(WdfObjectAllocateContext(a, &attributes, &raw), STATUS_SUCCESS);
    COUNTER_CONTEXT* counter = WdfObjectGetTypedContext(a, COUNTER_CONTEXT);
    EXPECT_EQ(counter, raw);
    EXPECT_EQ(counter->count, 0u);
    EXPECT_EQ(static_cast<UCHAR*>(raw)[63], 0) << "the override size is allocated and zeroed";
    EXPECT_EQ(WdfObjectContextGetObject(counter), a);
    EXPECT_EQ(WdfObjectContextGetObject(named_context(a)), a);
    EXPECT_NE(static_cast<void*>(named_context(a)), raw);

    EXPECT_EQ(WdfObjectAllocateContext(a, &attributes, &raw), STATUS_OBJECT_NAME_COLLISION);
    attributes.ContextSizeOverride = 1;
    EXPECT_EQ(WdfObjectAllocateContext(a, &attributes, &raw), STATUS_INVALID_PARAMETER);
}

// Pool and memory-object buffers come uninitialised, as on Windows; the
// controlled host fills them with a pattern, so that a driver relying on
// zeroed memory fails the same way on every run.
TEST_F(ObjectTest, PoolAndMemoryBuffersAreNotZeroed)
{
    auto* pool = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 32, kTestTag));
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(pool[0], 0xC5);
    EXPECT_EQ(pool[31], 0xC5);
    ExFreePoolWithTag(pool, kTestTag);

    WDFMEMORY memory = nullptr;
    PVOID buffer = nullptr;
    ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPool, kTestTag, 16, &memory, &buffer), STATUS_SUCCESS);
    EXPECT_EQ(static_cast<UCHAR*>(buffer)[15], 0xC5);
    WdfObjectDelete(memory);
}

TEST_F(ObjectTest, MemoryCopiesAreBoundsChecked)
{
    WDFMEMORY memory;
    PVOID buffer;
    ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPool, 0x74736554, 16, &memory, &buffer), STATUS_SUCCESS);
    size_t size = 0;
    EXPECT_EQ(WdfMemoryGetBuffer(memory, &size), buffer);
    EXPECT_EQ(size, 16u);

    char data[16] = "0123456789abcde";
    EXPECT_EQ(WdfMemoryCopyFromBuffer(memory, 4, data, 12), STATUS_SUCCESS);
    EXPECT_EQ(WdfMemoryCopyFromBuffer(memory, 5, data, 12), STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(WdfMemoryCopyFromBuffer(memory, SIZE_MAX, data, 2), STATUS_INVALID_BUFFER_SIZE);
    char out[4] = {};
    EXPECT_EQ(WdfMemoryCopyToBuffer(memory, 12, out, 4), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(out, "89ab", 4), 0);
    EXPECT_EQ(WdfMemoryCopyToBuffer(memory, 13, out, 4), STATUS_INVALID_BUFFER_SIZE);

    char lent[8] = {};
    WDFMEMORY preallocated;
    ASSERT_EQ(WdfMemoryCreatePreallocated(WDF_NO_OBJECT_ATTRIBUTES, lent, sizeof lent, &preallocated), STATUS_SUCCESS);
    EXPECT_EQ(WdfMemoryCopyFromBuffer(preallocated, 0, data, 8), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(lent, data, 8), 0) << "a preallocated object writes the driver's buffer";
    WdfObjectDelete(preallocated);
    WdfObjectDelete(memory);
}

TEST_F(ObjectTest, StringObjectsHoldACopyOfTheText)
{
    WCHAR text[] = L"COM7";
    UNICODE_STRING source = {8, 10, text};
    WDFSTRING string;
    ASSERT_EQ(WdfStringCreate(&source, WDF_NO_OBJECT_ATTRIBUTES, &string), STATUS_SUCCESS);
    text[3] = L'8';
    UNICODE_STRING held;
    WdfStringGetUnicodeString(string, &held);
    EXPECT_EQ(held.Length, 8);
    EXPECT_EQ(std::memcmp(held.Buffer, L"COM7", 8), 0);
    EXPECT_EQ(held.MaximumLength, 8) << "no room for a terminating NUL is promised";
    EXPECT_NE(held.Buffer[4], 0) << "a guard character, not a NUL, follows the text";

    WDFSTRING empty;
    ASSERT_EQ(WdfStringCreate(nullptr, WDF_NO_OBJECT_ATTRIBUTES, &empty), STATUS_SUCCESS);
    WdfStringGetUnicodeString(empty, &held);
    EXPECT_EQ(held.Length, 0);
}

// --- allocation fault injection ---------------------------------------------------

TEST_F(ObjectTest, TheAllocationAfterTheNthFailsWithoutCallbacks)
{
    host::verifier_fail_allocations_after(2);
    WDFOBJECT first = make("1", nullptr);
    WDFMEMORY memory;
    EXPECT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPool, 0, 8, &memory, nullptr), STATUS_SUCCESS)
        << "object and context were allocation 1, the memory object is allocation 2";

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, NAMED_CONTEXT);
    attributes.EvtCleanupCallback = log_cleanup;
    WDFOBJECT third = nullptr;
    EXPECT_EQ(WdfObjectCreate(&attributes, &third), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(third, nullptr);
    EXPECT_EQ(WdfStringCreate(nullptr, WDF_NO_OBJECT_ATTRIBUTES, reinterpret_cast<WDFSTRING*>(&third)),
              STATUS_INSUFFICIENT_RESOURCES);
    host::verifier_fail_allocations_after(-1);
    EXPECT_THAT(g_events, IsEmpty());
    WdfObjectDelete(first);
}

// The fail-one mode fails the n-th counted allocation alone and names it;
// the pool the driver asks for is counted as the framework's objects are.
TEST_F(ObjectTest, OnlyTheNthAllocationFailsAndIsNamed)
{
    host::verifier_fail_allocation(2);
    WDFOBJECT first = make("1", nullptr);
    EXPECT_EQ(host::verifier_failed_allocation(), "");
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 16, kTestTag), nullptr);
    EXPECT_EQ(host::verifier_failed_allocation(), "ExAllocatePoolWithTag");
    WDFOBJECT third = make("3", nullptr);
    EXPECT_NE(third, nullptr) << "the allocations after the n-th succeed";
    EXPECT_EQ(host::verifier_allocation_count(), 3);
    host::verifier_fail_allocation(0);
    WdfObjectDelete(third);
    WdfObjectDelete(first);
}

// What the driver still holds when it unloads: an object kept by a reference
// the driver never dropped, and pool it never freed.
TEST_F(ObjectTest, UnloadReportsLeakedObjectsAndPool)
{
    host::verifier_set_action(host::VerifierAction::record);
    ASSERT_NE(fx.plug(), nullptr);
    ASSERT_EQ(fx.host().remove(fx.host().devices()[0]), STATUS_SUCCESS);
    ASSERT_EQ(fx.host().unload_driver(), STATUS_SUCCESS);
    EXPECT_THAT(host::verifier_violations(), IsEmpty()) << "a driver that keeps nothing unloads cleanly";

    ASSERT_EQ(fx.host().load_driver(wdftest::Fixture::kService, wdftest::Driver::DriverEntry), STATUS_SUCCESS);
    WDFOBJECT kept = make("kept", nullptr);
    WdfObjectReference(kept);
    void* pool = ExAllocatePoolWithTag(NonPagedPool, 16, kTestTag);
    ASSERT_EQ(fx.host().unload_driver(), STATUS_SUCCESS);
    EXPECT_TRUE(host::verifier_fired("object-leaked-at-unload"));
    EXPECT_TRUE(host::verifier_fired("pool-leaked-at-unload"));
    WdfObjectDereference(kept);
    ExFreePoolWithTag(pool, kTestTag);
    host::verifier_reset();
}

// Device add with a name, a link, an interface and a string: each failing
// allocation fails the add and leaves nothing behind.
TEST(AllocationSweep, DeviceAddFailsCleanlyAtEveryAllocation)
{
    static const GUID kInterface = {0xcd56b1bd, 0xc817, 0x4e15, {0x88, 0xde, 0xbc, 0x4a, 0xf1, 0x20, 0x2d, 0xcd}};
    bool added = false;
    for (long n = 0; n < 50 && !added; ++n) {
        wdftest::Fixture fx;
        wdftest::Driver& driver = fx.driver();
        driver.configure_init = [](PWDFDEVICE_INIT init) {
            DECLARE_CONST_UNICODE_STRING(name, L"\\Device\\WdfTest0");
            WdfDeviceInitAssignName(init, &name);
        };
        driver.hooks["DeviceAdd"] = [](WDFDEVICE device) {
            WDF_OBJECT_ATTRIBUTES attributes;
            WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
            attributes.ParentObject = device;
            WDFSTRING string;
            NTSTATUS status = WdfStringCreate(nullptr, &attributes, &string);
            if (NT_SUCCESS(status)) status = WdfDeviceRetrieveDeviceName(device, string);
            DECLARE_CONST_UNICODE_STRING(link, L"\\DosDevices\\COM7");
            if (NT_SUCCESS(status)) status = WdfDeviceCreateSymbolicLink(device, &link);
            if (NT_SUCCESS(status)) status = WdfDeviceCreateDeviceInterface(device, &kInterface, nullptr);
            return status;
        };
        host::verifier_fail_allocations_after(n);
        host::io::DeviceNode* node = fx.plug();
        host::verifier_fail_allocations_after(-1);
        added = node != nullptr;
        if (added) break;
        EXPECT_THAT(fx.host().symbolic_links(), IsEmpty()) << "n=" << n;
        for (const auto& record : fx.host().interfaces()) EXPECT_FALSE(record.enabled) << "n=" << n;
        EXPECT_EQ(driver.count("DeviceCleanup"), driver.count("DeviceAdd")) << "n=" << n;
        EXPECT_FALSE(host::verifier_fired("object-used-after-deletion")) << "n=" << n;
    }
    EXPECT_TRUE(added);
}

// --- verifier checks ----------------------------------------------------------------

TEST_F(ObjectTest, UseAfterDeletionIsReported)
{
    WDFMEMORY memory;
    ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPool, 0, 8, &memory, nullptr), STATUS_SUCCESS);
    WdfObjectDelete(memory);
    EXPECT_FALSE(host::verifier_fired("object-used-after-deletion"));
    EXPECT_EQ(WdfMemoryGetBuffer(memory, nullptr), nullptr);
    EXPECT_TRUE(host::verifier_fired("object-used-after-deletion"));
}

TEST_F(ObjectTest, AHandleOfAnotherTypeIsReported)
{
    WDFOBJECT object = make("a", nullptr);
    WdfMemoryGetBuffer(reinterpret_cast<WDFMEMORY>(object), nullptr);
    EXPECT_TRUE(host::verifier_fired("wrong-object-type"));
}

TEST_F(ObjectTest, DeletingAFrameworkOwnedObjectIsReportedAndRefused)
{
    fx.plug();
    WDFDEVICE device = fx.driver().device;
    WdfObjectDelete(device);
    EXPECT_TRUE(host::verifier_fired("delete-framework-owned-object"));
    EXPECT_NE(WdfDeviceWdmGetDeviceObject(device), nullptr) << "the device is still there";
    WdfObjectDelete(WdfDeviceGetIoTarget(device));
    WdfObjectDelete(WdfGetDriver());
    EXPECT_EQ(host::verifier_violations().size(), 3u);
}

TEST_F(ObjectTest, DereferencingBelowTheCreationReferenceIsReported)
{
    WDFOBJECT object = make("a", nullptr);
    WdfObjectDereference(object);
    EXPECT_TRUE(host::verifier_fired("object-reference-underflow"));
    EXPECT_THAT(g_events, IsEmpty());
    WdfObjectDelete(object);
    EXPECT_THAT(g_events, ElementsAre("cleanup a", "destroy a"));
}

}  // namespace
