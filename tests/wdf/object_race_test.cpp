// The framework deleting an object it holds while another thread deletes
// the object's parent, over many seeds of the controlled scheduler: a
// request completed (and so deleted) while the removal deletes its device
// is such a case. Each object is cleaned up and destroyed once, and the
// verifier stays silent.
#include "kmdf_driver.h"

#include "host/kernel/sched.h"
#include "host/wdf/fx.h"
#include "host/kernel/verifier.h"
#include "seeds.h"

#include <gtest/gtest.h>

#include <map>

namespace {

// Controlled mode runs one thread at a time: no lock needed.
std::map<WDFOBJECT, int> g_cleanups, g_destroys;

LONG g_yield;
VOID count_cleanup(WDFOBJECT object)
{
    g_cleanups[object]++;
    InterlockedIncrement(&g_yield);   // a scheduling point inside the deletion
}
VOID count_destroy(WDFOBJECT object) { g_destroys[object]++; }

WDFOBJECT make(WDFOBJECT parent)
{
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = parent;
    attributes.EvtCleanupCallback = count_cleanup;
    attributes.EvtDestroyCallback = count_destroy;
    WDFOBJECT object = nullptr;
    EXPECT_EQ(WdfObjectCreate(&attributes, &object), STATUS_SUCCESS);
    return object;
}

TEST(ObjectRaceTest, AnObjectTheFrameworkDeletesWhileItsParentIsDeletedGoesOnce)
{
    seeds::run(2000, [](uint64_t seed) {
        SCOPED_TRACE(seed);
        wdftest::Fixture fx(host::HostOptions{ .seed = seed });
        g_cleanups.clear();
        g_destroys.clear();
        WDFOBJECT parent = make(nullptr);
        WDFOBJECT child = make(parent);
        WDFOBJECT grandchild = make(child);

        // Held as a completion holds its request, from before the race.
        host::wdf::FxObject* held = host::wdf::resolve(child, host::wdf::ObjectKind::any, "test");
        host::wdf::reference(held);
        host::Thread* deleter = host::spawn("child deleter", [held] {
            host::wdf::delete_object(held);
            host::wdf::dereference(held);
        });
        WdfObjectDelete(parent);
        host::join(deleter);

        for (WDFOBJECT object : { parent, child, grandchild }) {
            EXPECT_EQ(g_cleanups[object], 1) << object;
            EXPECT_EQ(g_destroys[object], 1) << object;
        }
        for (const auto& v : host::verifier_violations())
            ADD_FAILURE() << v.check << ": " << v.detail;
    }, seeds::Stop::at_any_failure);
}

}  // namespace
