// Races over many schedules: the end of an open claimed by the handle's
// cleanup and by the removal at once, and a stream of bytes across bus
// suspends and resumes (every other seed with the bus calling its
// callbacks at DISPATCH_LEVEL), and a close meeting a resume. No read may
// hang, and the port must open again and carry bytes afterwards.
#include "lifecycle_fixture.h"
#include "seeds.h"

#include "common/cdc_protocol.h"

#include <string>

namespace lifecycle {
namespace {

constexpr uint64_t kSeeds = 2000;

TEST_F(LifecycleTest, CleanupRacingSurpriseRemovalEndsTheOpenOnce)
{
    seeds::run(kSeeds, [this](uint64_t seed) {
        SCOPED_TRACE(seed);
        opened(seed);
        fn_->set_removal_handler([this] { host_->surprise_remove(node_); });

        host::Thread* closer = close_elsewhere();
        fn_->surprise_remove();
        host::join(closer);
        host_->settle();

        EXPECT_EQ(calls("last_handle_closed"), 1);
        EXPECT_FALSE(fn_->port().transport_enabled());
        expect_verifier_silent();
        stop();
    }, seeds::Stop::at_fatal_failure);
}

// The device streams while the bus suspends and resumes the function and
// the application reads: every byte arrives once, in order.
TEST_F(LifecycleTest, BytesStreamedAcrossSuspendAndResumeArriveOnceInOrder)
{
    seeds::run(kSeeds, [this](uint64_t seed) {
        SCOPED_TRACE(seed);
        bus::FunctionConfig config;
        config.callbacks_at_dispatch = seed % 2 == 0;
        make(std::move(config), seed);
        plug();
        open();

        std::string sent;
        for (char c = 'a'; c <= 'z'; ++c)
            sent += std::string(3, c);
        host::Thread* device = host::spawn("device", [&] {
            for (size_t at = 0; at < sent.size(); at += 3) {
                fn_->send(sent.substr(at, 3));
                sleep_for(host::kMillisecond);
            }
        });
        host::Thread* bus = host::spawn("bus", [&] {
            for (int i = 0; i < 3; ++i) {
                sleep_for(5 * host::kMillisecond);
                fn_->suspend();
                sleep_for(2 * host::kMillisecond);
                fn_->resume();
            }
        });

        std::string received;
        const host::Time deadline = host::now() + host::kSecond;
        while (received.size() < sent.size() && host::now() < deadline) {
            char buffer[64];
            DWORD got = 0;
            OVERLAPPED overlapped{};
            ReadFile(file_, buffer, sizeof buffer, nullptr, &overlapped);
            if (!wait_bounded(overlapped, &got)) {
                ADD_FAILURE() << "a read never completed";
                break;
            }
            received.append(buffer, got);
        }
        host::join(device);
        host::join(bus);

        EXPECT_EQ(received, sent);
        EXPECT_EQ(fdx_->stop_idle_taken, 0);
        expect_port_reopens();
        expect_verifier_silent();
        stop();
    });
}

// The bus resumes the function while the system lifts an imposed power-down:
// the resume callback's power reference and the D0 entry that releases such
// a reference meet. It is released exactly once (no underflow), and nothing
// keeps the device from idling afterwards.
TEST_F(LifecycleTest, AResumeRacingTheD0EntryTakesAndReleasesOnePowerReference)
{
    seeds::run(kSeeds, [this](uint64_t seed) {
        SCOPED_TRACE(seed);
        bus::FunctionConfig config;
        config.idle_timeout = 1;
        config.callbacks_at_dispatch = seed % 2 == 0;
        make(std::move(config), seed);
        plug();
        open();
        power(host::io::DevicePower::D2);
        fn_->suspend();

        host::Thread* bus = host::spawn("bus", [this] { fn_->resume(); });
        power(host::io::DevicePower::D0);
        host::join(bus);
        host_->settle();
        fn_->settle();

        EXPECT_EQ(fdx_->stop_idle_taken, 0);
        EXPECT_EQ(fdx_->suspended, 0);
        sleep_for(3 * host::kSecond);
        EXPECT_NE(node_->power, host::io::DevicePower::D0) << "a power reference keeps the device from idling";
        expect_verifier_silent();
        stop();
    });
}

// The handle closes while the bus resumes the function: the close takes the
// notification callback away as the resume gives it back. Whichever comes
// last, the bus holds at most one registration, none once the port is
// closed, and the next open hears the device's serial state. The window is
// one step wide: random seeds rarely hit it, one preemption at every point
// does (the bounded entry in CMakeLists.txt).
TEST_F(LifecycleTest, ACloseRacingTheBusResumeLeavesTheNextOpenHearingSerialState)
{
    seeds::run(kSeeds, [this](uint64_t seed) {
        SCOPED_TRACE(seed);
        opened(seed);
        fn_->suspend();

        host::Thread* closer = close_elsewhere();
        fn_->resume();
        host::join(closer);
        host_->settle();
        fn_->settle();
        EXPECT_FALSE(notify_registered()) << "a callback registered for a closed port";

        open();
        fn_->serial_state(CDC_SERIAL_STATE_TX_CARRIER);
        fn_->settle();
        DWORD modem = 0;
        EXPECT_TRUE(GetCommModemStatus(file_, &modem));
        EXPECT_EQ(modem, DWORD(MS_DSR_ON | MS_CTS_ON));
        expect_verifier_silent();
        stop();
    }, seeds::Stop::at_fatal_failure);
}

}  // namespace
}  // namespace lifecycle
