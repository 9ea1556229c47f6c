// Loading a driver module: every load starts from fresh globals.
#include "host/host.h"
#include "host/rtl/trace.h"

#include <gtest/gtest.h>

namespace {

TEST(ModuleTest, EachLoadRunsAFreshCopyOfTheModule)
{
    host::Host host;
    for (int load = 0; load < 2; ++load) {
        ASSERT_EQ(host.load_driver_module(u"modtest", IO_TEST_MODULE), STATUS_SUCCESS);
        auto links = host.symbolic_links();
        ASSERT_EQ(links.size(), 1u);
        EXPECT_EQ(links[0].link, u"\\??\\ModuleEntry1") << "load " << load << " saw an earlier load's globals";
        EXPECT_EQ(links[0].target, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\modtest");
        ASSERT_EQ(host.unload_driver(), STATUS_SUCCESS);
        EXPECT_TRUE(host.symbolic_links().empty());
    }
}

TEST(ModuleTest, AMissingFileOrEntryPointFailsTheLoad)
{
    host::Host host;
    EXPECT_EQ(host.load_driver_module(u"modtest", "/nonexistent/driver.so"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(host.load_driver_module(u"modtest", IO_TEST_NOT_A_DRIVER), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(host.driver(), nullptr);
    EXPECT_EQ(host::trace_count("has no DriverEntry"), 1u);
}

}  // namespace
