// The order of the driver's PnP and power callbacks for a power-policy-owning
// function device: start, power down and up, system sleep, removal and
// surprise removal, failures on the way, idle power-down and stop-idle.
#include "kmdf_driver.h"

#include "host/kernel/verifier.h"
#include "host/wdf/fx.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using wdftest::Fixture;

namespace {

class PnpPowerTest : public ::testing::Test {
protected:
    Fixture fx;
    wdftest::Driver& driver = fx.driver();
    host::Host& host = fx.host();
};

TEST_F(PnpPowerTest, StartRunsAddThenPrepareThenD0EntryFromD3Final)
{
    host::io::DeviceNode* node = fx.plug();
    ASSERT_NE(node, nullptr);
    EXPECT_THAT(driver.take_log(),
                ElementsAre("DeviceAdd", "PrepareHardware", "D0Entry(D3Final)", "SelfManagedIoInit"));
    EXPECT_EQ(node->state, host::io::NodeState::started);
    EXPECT_EQ(node->power, host::io::DevicePower::D0);
    EXPECT_EQ(device_context(driver.device)->magic, 0xACACu);
}

TEST_F(PnpPowerTest, PowerDownAndUpPassTheStates)
{
    host::io::DeviceNode* node = fx.plug();
    driver.take_log();

    EXPECT_EQ(host.set_power(node, host::io::DevicePower::D2), STATUS_SUCCESS);
    EXPECT_THAT(driver.take_log(), ElementsAre("SelfManagedIoSuspend", "D0Exit(D2)"));
    EXPECT_EQ(host.set_power(node, host::io::DevicePower::D0), STATUS_SUCCESS);
    EXPECT_THAT(driver.take_log(), ElementsAre("D0Entry(D2)", "SelfManagedIoRestart"));
    // Already in D0: nothing to do.
    EXPECT_EQ(host.set_power(node, host::io::DevicePower::D0), STATUS_SUCCESS);
    EXPECT_THAT(driver.take_log(), IsEmpty());
}

TEST_F(PnpPowerTest, SystemSleepGoesToD3AndWakeReturnsToD0)
{
    fx.plug();
    driver.take_log();
    EXPECT_EQ(host.sleep(host::io::SystemPower::S3), STATUS_SUCCESS);
    EXPECT_THAT(driver.take_log(), ElementsAre("SelfManagedIoSuspend", "D0Exit(D3)"));
    EXPECT_EQ(host.wake(), STATUS_SUCCESS);
    EXPECT_THAT(driver.take_log(), ElementsAre("D0Entry(D3)", "SelfManagedIoRestart"));
}

TEST_F(PnpPowerTest, SleepWithWakeArmedStopsInTheWakeState)
{
    driver.hooks["DeviceAdd"] = [](WDFDEVICE device) {
        WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS wake;
        WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS_INIT(&wake);
        return WdfDeviceAssignSxWakeSettings(device, &wake);
    };
    fx.plug();
    driver.take_log();
    host.sleep(host::io::SystemPower::S3);
    EXPECT_THAT(driver.take_log(), ElementsAre("SelfManagedIoSuspend", "D0Exit(D2)"));
    host.wake();
    EXPECT_THAT(driver.take_log(), ElementsAre("D0Entry(D2)", "SelfManagedIoRestart"));
}

// Orderly and surprise removal, from D0 and from a low-power state: a device
// in Dx is not brought back to D0 on the way out.
class RemovalTest : public PnpPowerTest, public ::testing::WithParamInterface<std::tuple<bool, bool>> {};

TEST_P(RemovalTest, TearsDownThenDeletesTheDevice)
{
    const auto [surprise, in_dx] = GetParam();
    host::io::DeviceNode* node = fx.plug();
    if (in_dx)
        host.set_power(node, host::io::DevicePower::D3);
    driver.take_log();
    if (surprise)
        host.surprise_remove(node);
    else
        EXPECT_EQ(host.remove(node), STATUS_SUCCESS);
    std::vector<std::string> expected{surprise ? "SurpriseRemoval" : "QueryRemove"};
    if (!in_dx)
        expected.insert(expected.end(), {"SelfManagedIoSuspend", "D0Exit(D3Final)"});
    expected.insert(expected.end(), {"ReleaseHardware", "SelfManagedIoFlush", "SelfManagedIoCleanup",
                                     "DeviceCleanup", "DeviceDestroy"});
    EXPECT_EQ(driver.take_log(), expected);
    EXPECT_EQ(node->state, host::io::NodeState::removed);
}

INSTANTIATE_TEST_SUITE_P(OrderlyAndSurprise, RemovalTest, ::testing::Combine(::testing::Bool(), ::testing::Bool()));

TEST_F(PnpPowerTest, TheDeviceIsUsableInItsOwnCleanupCallback)
{
    host::io::DeviceNode* node = fx.plug();
    ULONG magic = 0;
    driver.hooks["DeviceCleanup"] = [&](WDFDEVICE device) {
        magic = device_context(device)->magic;
        WdfDeviceGetDriver(device);
        return STATUS_SUCCESS;
    };
    host.remove(node);
    EXPECT_EQ(magic, 0xACACu);
    EXPECT_TRUE(host::verifier_violations().empty());
}

TEST_F(PnpPowerTest, QueryRemoveVetoKeepsTheDevice)
{
    host::io::DeviceNode* node = fx.plug();
    driver.hooks["QueryRemove"] = [](WDFDEVICE) { return STATUS_DEVICE_BUSY; };
    driver.take_log();
    EXPECT_EQ(host.remove(node), STATUS_DEVICE_BUSY);
    EXPECT_THAT(driver.take_log(), ElementsAre("QueryRemove"));
    EXPECT_EQ(node->state, host::io::NodeState::started);
}

TEST_F(PnpPowerTest, FailedDeviceAddDeletesTheCreatedDevice)
{
    driver.hooks["DeviceAdd"] = [](WDFDEVICE) { return STATUS_INSUFFICIENT_RESOURCES; };
    EXPECT_EQ(fx.plug(), nullptr);
    EXPECT_THAT(driver.take_log(), ElementsAre("DeviceAdd", "DeviceCleanup", "DeviceDestroy"));
    EXPECT_THAT(host.symbolic_links(), IsEmpty());
}

// Release hardware follows a failed prepare hardware; power is never applied.
TEST_F(PnpPowerTest, FailedPrepareHardwareIsReleasedWithoutPower)
{
    driver.hooks["PrepareHardware"] = [](WDFDEVICE) { return STATUS_DEVICE_DATA_ERROR; };
    EXPECT_EQ(fx.plug(), nullptr);
    EXPECT_THAT(driver.take_log(),
                ElementsAre("DeviceAdd", "PrepareHardware", "ReleaseHardware", "DeviceCleanup", "DeviceDestroy"));
}

TEST_F(PnpPowerTest, FailedD0EntryReleasesTheHardware)
{
    driver.hooks["D0Entry"] = [](WDFDEVICE) { return STATUS_UNSUCCESSFUL; };
    EXPECT_EQ(fx.plug(), nullptr);
    EXPECT_THAT(driver.take_log(), ElementsAre("DeviceAdd", "PrepareHardware", "D0Entry(D3Final)",
                                               "ReleaseHardware", "DeviceCleanup", "DeviceDestroy"));
}

TEST_F(PnpPowerTest, UnloadCallsEvtDriverUnloadThenTheDriverCleanup)
{
    host::io::DeviceNode* node = fx.plug();
    host.remove(node);
    driver.take_log();
    EXPECT_EQ(host.unload_driver(), STATUS_SUCCESS);
    EXPECT_THAT(driver.take_log(), ElementsAre("DriverUnload", "DriverCleanup"));
    EXPECT_EQ(WdfGetDriver(), nullptr);
}

TEST(DriverEntryFailure, TheHostDeletesTheFrameworkDriverWithoutUnload)
{
    wdftest::Driver driver;
    wdftest::Driver::current = &driver;
    host::Host host;
    _DRIVER_OBJECT wdm;
    UNICODE_STRING path = RTL_CONSTANT_STRING(L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\x");
    ASSERT_EQ(wdftest::Driver::DriverEntry(&wdm, &path), STATUS_SUCCESS);
    EXPECT_NE(WdfGetDriver(), nullptr);
    host::wdf::driver_entry_failed(&wdm);
    EXPECT_THAT(driver.take_log(), ElementsAre("DriverCleanup"));
    EXPECT_EQ(WdfGetDriver(), nullptr);
    EXPECT_EQ(wdm.framework, nullptr);
    wdftest::Driver::current = nullptr;
}

TEST_F(PnpPowerTest, UsingTheInitRecordAfterWdfDeviceCreateIsReported)
{
    static PWDFDEVICE_INIT saved;
    driver.configure_init = [](PWDFDEVICE_INIT init) { saved = init; };
    driver.hooks["DeviceAdd"] = [](WDFDEVICE) {
        WdfDeviceInitSetExclusive(saved, TRUE);
        return STATUS_SUCCESS;
    };
    ASSERT_NE(fx.plug(), nullptr);
    EXPECT_TRUE(host::verifier_fired("device-init-misused"));
}

// --- idle power-down and stop-idle ---------------------------------------------

class IdleTest : public PnpPowerTest {
protected:
    host::io::DeviceNode* plug_idling_device(ULONG timeout_ms)
    {
        driver.hooks["DeviceAdd"] = [timeout_ms](WDFDEVICE device) {
            WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS idle;
            WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS_INIT(&idle, IdleCanWakeFromS0);
            idle.IdleTimeout = timeout_ms;
            return WdfDeviceAssignS0IdleSettings(device, &idle);
        };
        host::io::DeviceNode* node = fx.plug();
        driver.take_log();
        return node;
    }
};

TEST_F(IdleTest, DeviceIdlesDownAfterTheTimeout)
{
    host::io::DeviceNode* node = plug_idling_device(2000);
    wdftest::sleep_ms(1900);
    EXPECT_THAT(driver.take_log(), IsEmpty());
    wdftest::sleep_ms(200);
    EXPECT_THAT(driver.take_log(), ElementsAre("SelfManagedIoSuspend", "D0Exit(D2)"));
    EXPECT_EQ(node->power, host::io::DevicePower::D2);
}

TEST_F(IdleTest, StopIdleWaitingBringsTheDeviceBackAndHoldsIt)
{
    plug_idling_device(1000);
    wdftest::sleep_ms(1500);
    driver.take_log();

    EXPECT_EQ(WdfDeviceStopIdle(driver.device, TRUE), STATUS_SUCCESS);
    EXPECT_THAT(driver.take_log(), ElementsAre("D0Entry(D2)", "SelfManagedIoRestart"));
    wdftest::sleep_ms(5000);
    EXPECT_THAT(driver.take_log(), IsEmpty()) << "a power reference keeps the device in D0";

    WdfDeviceResumeIdle(driver.device);
    wdftest::sleep_ms(1100);
    EXPECT_THAT(driver.take_log(), ElementsAre("SelfManagedIoSuspend", "D0Exit(D2)"));
}

TEST_F(IdleTest, StopIdleWithoutWaitIsPendingInDxAndPowersUpLater)
{
    plug_idling_device(1000);
    wdftest::sleep_ms(1500);
    driver.take_log();

    EXPECT_EQ(WdfDeviceStopIdle(driver.device, FALSE), STATUS_PENDING);
    wdftest::sleep_ms(1);
    EXPECT_THAT(driver.take_log(), ElementsAre("D0Entry(D2)", "SelfManagedIoRestart"));
    EXPECT_EQ(WdfDeviceStopIdle(driver.device, FALSE), STATUS_SUCCESS) << "already in D0";
    WdfDeviceResumeIdle(driver.device);
    WdfDeviceResumeIdle(driver.device);
    EXPECT_FALSE(host::verifier_fired("power-reference-underflow"));
    WdfDeviceResumeIdle(driver.device);
    EXPECT_TRUE(host::verifier_fired("power-reference-underflow"));
}

TEST_F(IdleTest, ResumeIdleInsideD0EntryReleasesTheReferenceTakenInDx)
{
    // The pattern of a bus resume: a stop-idle reference taken without
    // waiting, dropped by the next D0 entry.
    plug_idling_device(1000);
    wdftest::sleep_ms(1500);
    driver.hooks["D0Entry"] = [](WDFDEVICE device) {
        WdfDeviceResumeIdle(device);
        return STATUS_SUCCESS;
    };
    WdfDeviceStopIdle(driver.device, FALSE);
    wdftest::sleep_ms(1100);
    EXPECT_THAT(driver.take_log(), ElementsAre("SelfManagedIoSuspend", "D0Exit(D2)", "D0Entry(D2)",
                                               "SelfManagedIoRestart", "SelfManagedIoSuspend", "D0Exit(D2)"));
}

TEST_F(IdleTest, AReferenceTakenWhileLeavingD0BringsTheDeviceBack)
{
    plug_idling_device(1000);
    NTSTATUS during_exit = STATUS_SUCCESS;
    driver.hooks["D0Exit"] = [&](WDFDEVICE device) {
        during_exit = WdfDeviceStopIdle(device, FALSE);
        return STATUS_SUCCESS;
    };
    wdftest::sleep_ms(1100);
    EXPECT_EQ(during_exit, STATUS_PENDING);
    EXPECT_THAT(driver.take_log(),
                ElementsAre("SelfManagedIoSuspend", "D0Exit(D2)", "D0Entry(D2)", "SelfManagedIoRestart"));
    EXPECT_EQ(fx.host().devices().front()->power, host::io::DevicePower::D0);
    driver.hooks.erase("D0Exit");   // it writes to this frame; the removal runs D0 exit again
}

TEST_F(IdleTest, NoIdleSettingsNoPowerDown)
{
    fx.plug();
    driver.take_log();
    wdftest::sleep_ms(60'000);
    EXPECT_THAT(driver.take_log(), IsEmpty());
}

// Real threads on real time: the same lifecycle, with the idle time-out and
// a stop-idle from another thread racing the PnP thread.
TEST(PnpPowerFreeMode, LifecycleWithIdleRunsOnRealThreads)
{
    Fixture fx(host::HostOptions{.mode = host::Mode::free});
    wdftest::Driver& driver = fx.driver();
    driver.hooks["DeviceAdd"] = [](WDFDEVICE device) {
        WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS idle;
        WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS_INIT(&idle, IdleCannotWakeFromS0);
        idle.IdleTimeout = 20;
        return WdfDeviceAssignS0IdleSettings(device, &idle);
    };
    host::io::DeviceNode* node = fx.plug();
    ASSERT_NE(node, nullptr);
    for (int round = 0; round < 5; ++round) {
        wdftest::sleep_ms(40);
        EXPECT_EQ(WdfDeviceStopIdle(driver.device, TRUE), STATUS_SUCCESS);
        EXPECT_EQ(node->power, host::io::DevicePower::D0);
        WdfDeviceResumeIdle(driver.device);
    }
    EXPECT_EQ(fx.host().remove(node), STATUS_SUCCESS);
    EXPECT_EQ(driver.count("DeviceCleanup"), 1u);
    EXPECT_GE(driver.count("D0Exit(D3)"), 1u);
    auto starting = [&](const std::string& prefix) {
        return std::count_if(driver.log.begin(), driver.log.end(),
                             [&](const std::string& event) { return event.rfind(prefix, 0) == 0; });
    };
    EXPECT_EQ(starting("D0Entry"), starting("D0Exit")) << "every entry to D0 has its exit";
    EXPECT_TRUE(host::verifier_violations().empty());
}

// --- callbacks must return as they were entered ---------------------------------

TEST_F(PnpPowerTest, CallbackReturningAtRaisedIrqlIsReported)
{
    driver.hooks["PrepareHardware"] = [](WDFDEVICE) {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        return STATUS_SUCCESS;
    };
    fx.plug();
    EXPECT_TRUE(host::verifier_fired("callback-irql-changed"));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(PnpPowerTest, CallbackReturningWithASpinLockHeldIsReported)
{
    static WDFSPINLOCK lock;
    driver.hooks["DeviceAdd"] = [](WDFDEVICE device) {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = device;
        return WdfSpinLockCreate(&attributes, &lock);
    };
    driver.hooks["D0Entry"] = [](WDFDEVICE) {
        WdfSpinLockAcquire(lock);
        return STATUS_SUCCESS;
    };
    driver.hooks["SelfManagedIoInit"] = [](WDFDEVICE) {
        WdfSpinLockRelease(lock);
        return STATUS_SUCCESS;
    };
    fx.plug();
    EXPECT_TRUE(host::verifier_fired("callback-holds-spinlock"));
}

}  // namespace
