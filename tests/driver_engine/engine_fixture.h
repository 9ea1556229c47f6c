// A fresh host per seed with the engine test device plugged and opened,
// overlapped I/O from the application's side, and the hardware's side:
// data arriving, a transfer ending. Also the three completion races, each
// run over a range of seeds by the race suite.
#pragma once

#include "engine_harness.h"

#include "host/host.h"
#include "host/kernel/verifier.h"
#include "host/rtl/trace.h"
#include "port_client.h"
#include "root_device.h"
#include "seeds.h"

#include <win32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace engtest {

using namespace porttest;

class EngineTest : public ::testing::Test {
protected:
    ~EngineTest() override { stop(); }

    void start(uint64_t seed = 1, ULONG level = 4)
    {
        stop();
        reset();
        host::verifier_reset();
        host::verifier_set_action(host::VerifierAction::record);
        host_ = std::make_unique<host::Host>(host::HostOptions{.seed = seed});
        host::trace_clear();
        debug_level = level;
        ASSERT_EQ(host_->load_driver(u"engtest", DriverEntry), STATUS_SUCCESS);
        node_ = plug_and_open(*host_, root_child(u"ENGTEST", u"Ports", u"Engine test port"), L"\\\\.\\ENGTEST",
                              &file_);
        ASSERT_NE(file_, INVALID_HANDLE_VALUE);
    }

    void stop()
    {
        close_handle(file_);
        host_.reset();
    }

    PACM_FDO_DATA fdx() const { return harness.fdx; }

    // --- the application ------------------------------------------------------
    std::unique_ptr<Io> read(DWORD length) { return porttest::read_on(file_, length); }

    std::unique_ptr<Io> write(DWORD length)
    {
        auto io = std::make_unique<Io>();
        io->buffer.assign(length, 'w');
        DeviceIoControl(file_, IOCTL_ENGTEST_WRITE, io->buffer.data(), length, nullptr, 0, nullptr, &io->overlapped);
        return io;
    }

    NTSTATUS wait(Io& io) { return porttest::finish_on(file_, io); }

    void cancel(Io& io) { CancelIoEx(file_, &io.overlapped); }

    // --- the hardware -----------------------------------------------------------
    void data(ULONG bytes)
    {
        acm_lock_acquire(fdx());
        harness.available += bytes;
        acm_lock_release(fdx());
        WdfDpcEnqueue(harness.read_dpc);
    }
    void transfer_done() { WdfDpcEnqueue(harness.write_dpc); }

    ULONG available()
    {
        acm_lock_acquire(fdx());
        ULONG n = harness.available;
        acm_lock_release(fdx());
        return n;
    }

    // --- time -------------------------------------------------------------------
    static void settle() { sleep_for(host::kMillisecond); }
    void power(host::io::DevicePower state) { ASSERT_EQ(host_->set_power(node_, state), STATUS_SUCCESS); }

    static ULONG queued(WDFQUEUE queue)
    {
        ULONG waiting = 0;
        WdfIoQueueGetState(queue, &waiting, nullptr);
        return waiting;
    }

    void expect_verifier_silent(uint64_t seed)
    {
        for (const auto& v : host::verifier_violations())
            ADD_FAILURE() << "seed " << seed << ": " << v.check << ": " << v.detail;
    }

    // A read pended with a 100 ms time-out, at the moment it expires.
    // start(), then writes of `lengths`: the first current, the others queued.
    std::vector<std::unique_ptr<Io>> started_writes(std::initializer_list<DWORD> lengths)
    {
        start();
        std::vector<std::unique_ptr<Io>> writes;
        for (DWORD length : lengths)
            writes.push_back(write(length));
        settle();
        return writes;
    }

    // start(), then an 8-byte read that is the current read and held before
    // its start routine runs.
    std::unique_ptr<Io> unstarted_read()
    {
        start();
        harness.hold_start = true;
        auto io = read(8);
        settle();
        return io;
    }

    // A new read waits for data and gets what arrives: the read slot is free.
    void expect_next_read_served()
    {
        auto next = read(8);
        settle();
        EXPECT_FALSE(next->done());
        data(2);
        EXPECT_EQ(wait(*next), STATUS_SUCCESS);
        EXPECT_EQ(next->information(), 2u);
    }

    // start(), then an 8-byte read the engine has pended with `timeout`
    // (a relative due time; 0 for none).
    std::unique_ptr<Io> pended_read(LONGLONG timeout = 0)
    {
        start();
        harness.read_timeout = timeout;
        auto io = read(8);
        settle();
        return io;
    }

    std::unique_ptr<Io> read_at_its_timeout(uint64_t seed)
    {
        start(seed, 2);
        harness.read_timeout = -100 * host::kMillisecond;
        auto io = read(8);
        sleep_for(100 * host::kMillisecond);
        return io;
    }

    // --- the races of a pended read ----------------------------------------------------
    // Each gives "status/information" of the read.
public:
    // Data arrives just as the time-out expires.
    std::string data_and_timeout(uint64_t seed)
    {
        auto io = read_at_its_timeout(seed);
        data(5);
        NTSTATUS status = wait(*io);
        settle();
        // Data either went into this read or is still there for the next.
        EXPECT_EQ(available(), io->information() == 5 ? 0u : 5u) << "seed " << seed;
        expect_verifier_silent(seed);
        return outcome(status, io->information());
    }

    // The application cancels just as the time-out expires.
    std::string cancel_and_timeout(uint64_t seed)
    {
        auto io = read_at_its_timeout(seed);
        cancel(*io);
        NTSTATUS status = wait(*io);
        settle();
        expect_verifier_silent(seed);
        return outcome(status, io->information());
    }

    // The device powers down while data arrives for a pended read; after
    // the return to D0 a data arrival completes the read if it still waits.
    std::string stop_while_pending(uint64_t seed)
    {
        start(seed, 2);
        harness.read_timeout = -500 * host::kMillisecond;
        auto io = read(8);
        settle();
        data(5);
        power(host::io::DevicePower::D3);
        const WDFREQUEST current = fdx()->current_read_request;
        const bool held = !io->done() && current && acm_request_get_context(current)->resume;
        power(host::io::DevicePower::D0);
        if (!io->done())
            data(0);
        NTSTATUS status = wait(*io);
        settle();
        EXPECT_EQ(available(), 0u) << "seed " << seed;
        expect_verifier_silent(seed);
        return outcome(status, io->information()) + (held ? " held" : "");
    }

    // The application cancels while the read is being started: the read
    // is cancelled before it is marked, from inside the marking, or while
    // pended. Gives the outcome and which of the three it was.
    std::string cancel_while_starting(uint64_t seed)
    {
        start(seed, 2);
        auto io = std::make_unique<Io>();
        io->buffer.resize(8);
        host::Thread* canceller = host::spawn("canceller", [&] {
            while (!io->done()) {
                CancelIoEx(file_, &io->overlapped);
                KeStallExecutionProcessor(1);   // lets the reader on
            }
        });
        ReadFile(file_, io->buffer.data(), 8, nullptr, &io->overlapped);
        NTSTATUS status = wait(*io);
        host::join(canceller);
        settle();
        expect_verifier_silent(seed);
        const char* path = harness.cancel_during_set != 0 ? " during marking"
                           : harness.read_cancels != 0    ? " while pended"
                                                          : " before marking";
        return outcome(status, io->information()) + path;
    }

    // Runs a race over seeds 1..`count` (or those ACM_SEEDS names); every
    // seed must give one of `allowed`, and each of `must_see` must occur at
    // least once in a range as long as the default.
    template <typename Scenario>
    void over_seeds(uint64_t count, Scenario scenario, const std::vector<std::string>& allowed,
                    const std::vector<std::string>& must_see)
    {
        std::map<std::string, int> seen;
        const seeds::Range range = seeds::run(count, [&](uint64_t seed) {
            std::string result = (this->*scenario)(seed);
            EXPECT_NE(std::find(allowed.begin(), allowed.end(), result), allowed.end())
                << "seed " << seed << " gave " << result;
            seen[result]++;
        });
        if (HasFailure() || !seeds::covers_default(range, count))
            return;
        for (const auto& outcome : must_see)
            EXPECT_GT(seen[outcome], 0) << outcome << " never happened in " << range.count() << " seeds";
    }

protected:
    std::unique_ptr<host::Host> host_;
    host::io::DeviceNode* node_ = nullptr;
    HANDLE file_ = INVALID_HANDLE_VALUE;
};

}  // namespace engtest
