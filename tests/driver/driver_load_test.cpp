// Loading the driver: banner, service name, verbosity and unloading.
#include "driver_fixture.h"

namespace drvtest {
namespace {

using LoadTest = DriverTest;

TEST_F(LoadTest, LoadAndUnloadWithoutDevicesTracesTheLifecycle)
{
    ASSERT_EQ(load(), STATUS_SUCCESS);
    EXPECT_EQ(traced("Tarvex CDC ACM OBEX Driver 2.1.5.48 . Built "), 1u);
    EXPECT_EQ(traced("DriverEntry: Service name is [acmserial]"), 1u);

    host_->unload_driver();
    EXPECT_EQ(traced("<---> UNLOADED "), 1u);
    EXPECT_EQ(traced("acm_evt_driver_context_cleanup():"), 1u);
}

TEST_F(LoadTest, ServiceNameOf64UnitsNamesTheDevicesInFull)
{
    const std::u16string service(64, u'S');
    ASSERT_EQ(load(service), STATUS_SUCCESS);

    auto* node = plug({ .port = u"COM3" });
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(fdo_name(node), u"\\Device\\" + service + u"_AcmSerial0");
}

TEST_F(LoadTest, ServiceNameOf65UnitsFailsWithOverflow)
{
    EXPECT_EQ(load(std::u16string(65, u'S')), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(traced("DriverEntry: RtlUnicodeStringPrintf failed with status 0x80000005"), 1u);
}

TEST_F(LoadTest, AbsentDebugLevelKeepsLevelTwoSilently)
{
    ASSERT_EQ(load(), STATUS_SUCCESS);
    EXPECT_EQ(traced("Debug Level"), 0u);   // neither the setting nor the level-3 note

    ASSERT_NE(plug({ .port = u"COM3" }), nullptr);
    EXPECT_EQ(traced("acm_device_get_setup_class: class_name Ports"), 1u);   // level 2
    EXPECT_EQ(traced("acm_evt_device_add: entered"), 0u);                    // level 4
}

TEST_F(LoadTest, DebugLevelFromParametersTakesEffectAfterItsAnnouncement)
{
    set_debug_level(4);
    ASSERT_EQ(load(), STATUS_SUCCESS);
    EXPECT_EQ(traced("dc_driver_debug_level_init: Debug Level set to 4"), 1u);
    EXPECT_EQ(traced("dc_registry_rw_ulong: entered, reading parameter DebugLevel"), 0u);

    ASSERT_NE(plug({ .port = u"COM3" }), nullptr);
    EXPECT_EQ(traced("acm_evt_device_add: entered"), 1u);
    EXPECT_EQ(traced("acm_evt_device_add: done"), 1u);
}

TEST_F(LoadTest, DebugLevelOneSilencesInformationButNotItsOwnAnnouncement)
{
    set_debug_level(1);
    ASSERT_EQ(load(), STATUS_SUCCESS);
    EXPECT_EQ(traced("Debug Level set to 1"), 1u);   // printed under the old level 2
    EXPECT_EQ(traced("Service name is"), 0u);

    ASSERT_NE(plug({ .port = u"COM3" }), nullptr);
    EXPECT_EQ(traced("class_name"), 0u);
}

}  // namespace
}  // namespace drvtest
