// The COM port of a simulated CDC ACM function with a loopback plug, bound
// to the driver linked into the test program or loaded as a module the way
// the system loads it, and the application that uses the port through the
// user-mode API. What shows here is what the application, the function and
// the verifier see.
#pragma once

#include "port_client.h"
#include "seeds.h"

#include "bus/behaviours.h"
#include "bus/cdc_function.h"
#include "host/host.h"
#include "host/kernel/verifier.h"
#include "host/rtl/registry.h"
#include "host/rtl/trace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace porttest {

// The driver a fixture binds: its entry point linked in, or its module.
struct DriverImage {
    host::DriverEntryFn entry = nullptr;
    const char* module = nullptr;
};

class PortTest : public ::testing::Test, public PortClient {
protected:
    explicit PortTest(DriverImage image) : image_(image) {}
    ~PortTest() override { teardown(); }

    void teardown()
    {
        close();
        host_.reset();   // the function outlives the devices bound to it
        fn_.reset();
    }

    // A fresh host with a loopback function and its port plugged.
    void start(uint64_t seed = 1, bus::FunctionConfig config = {}, host::Mode mode = host::Mode::controlled,
               ULONG debug_level = 2)
    {
        teardown();
        host::verifier_reset();
        host::verifier_set_action(host::VerifierAction::record);
        fn_ = std::make_unique<bus::CdcFunction>(std::move(config));
        fn_->set_behaviour(std::make_shared<bus::Loopback>());
        host_ = std::make_unique<host::Host>(host::HostOptions{ .mode = mode, .seed = seed });
        host::reg::set_dword(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\acmserial\\Parameters",
                             u"DebugLevel", debug_level);
        host::trace_clear();
        ASSERT_EQ(load(), STATUS_SUCCESS);
        plug();
    }
    void open() { ASSERT_TRUE(PortClient::open()); }

    // The device again, after the scenario removed it.
    void replug()
    {
        close();
        host_->settle();
        plug();
    }

    // --- the function -----------------------------------------------------------------
    std::vector<bus::DataTransfer> data_out() const
    {
        std::vector<bus::DataTransfer> out;
        for (const auto& t : fn_->transfers())
            if (!t.in)
                out.push_back(t);
        return out;
    }
    std::string device_received() const
    {
        bus::Bytes bytes = fn_->received();
        return std::string(bytes.begin(), bytes.end());
    }
    // Class requests (not generic controls) of one kind the function received.
    std::vector<bus::ControlTransfer> requests(uint8_t request) const
    {
        std::vector<bus::ControlTransfer> out;
        for (const auto& t : fn_->control_log())
            if (t.request == request && !t.generic)
                out.push_back(t);
        return out;
    }

    // --- the verifier -------------------------------------------------------------------
    void expect_verifier_silent(uint64_t seed = 0)
    {
        for (const auto& v : host::verifier_violations())
            ADD_FAILURE() << "seed " << seed << ": " << v.check << ": " << v.detail;
    }

    // Runs a scenario over seeds 1..`count` (or those ACM_SEEDS names); each
    // must give one of `allowed` and end cleanly (expect_clean_end), and
    // each of `must_see` must occur at least once in a range as long as the
    // default. RACE_HISTOGRAM=1 prints how often each outcome came.
    void over_seeds(uint64_t count, const std::function<std::string(uint64_t)>& scenario,
                    const std::vector<std::string>& allowed, const std::vector<std::string>& must_see = {})
    {
        std::map<std::string, int> seen;
        const seeds::Range range = seeds::run(count, [&](uint64_t seed) {
            std::string result = scenario(seed);
            EXPECT_NE(std::find(allowed.begin(), allowed.end(), result), allowed.end())
                << "seed " << seed << " gave " << result;
            seen[result]++;
            expect_clean_end(seed);
        });
        if (HasFailure())
            return;
        if (std::getenv("RACE_HISTOGRAM"))
            for (const auto& [o, n] : seen)
                std::printf("%s: %d\n", o.c_str(), n);
        if (!seeds::covers_default(range, count))
            return;
        for (const auto& o : must_see)
            EXPECT_GT(seen[o], 0) << o << " never happened in " << range.count() << " seeds";
    }

    // What a scenario must leave behind, whatever the interleaving: no
    // verifier report (the bus reports a write completed while its transfer
    // is posted), no request that outlived its bound, and a port that opens
    // again, once the handle is closed, and carries bytes both ways.
    void expect_clean_end(uint64_t seed)
    {
        EXPECT_EQ(hung_requests(), 0) << "seed " << seed << ": a request never completed";
        expect_port_reopens(seed);
        expect_verifier_silent(seed);
    }
    // The write reaches the device; a read gets bytes: the echo, or what the
    // device still had from the scenario.
    void expect_port_reopens(uint64_t seed)
    {
        close();
        fn_->clear_faults();
        fn_->release_stalls();
        fn_->settle();
        ASSERT_TRUE(PortClient::open()) << "seed " << seed << ": the port does not open again";
        const size_t before = fn_->received().size();
        auto io = write("ping");
        EXPECT_EQ(wait(*io).result(), outcome(STATUS_SUCCESS, 4)) << "seed " << seed;
        const bus::Bytes received = fn_->received();
        EXPECT_EQ(std::string(received.begin() + std::min(before, received.size()), received.end()), "ping")
            << "seed " << seed;
        EXPECT_TRUE(set_timeouts(MAXULONG, MAXULONG, 100));
        auto in = read(4);
        EXPECT_EQ(wait(*in).status(), STATUS_SUCCESS) << "seed " << seed;
        EXPECT_GT(in->information(), 0u) << "seed " << seed << ": no data in after reopening";
    }

    void failed(const char* call) override { ADD_FAILURE() << call << " failed: " << GetLastError(); }

    // The port's device stack is plugged, before the port opens.
    virtual void plugged() {}

    std::unique_ptr<bus::CdcFunction> fn_;
    std::unique_ptr<host::Host> host_;
    host::io::DeviceNode* node_ = nullptr;

private:
    NTSTATUS load()
    {
        return image_.entry ? host_->load_driver(u"acmserial", image_.entry)
                            : host_->load_driver_module(u"acmserial", image_.module);
    }
    void plug()
    {
        node_ = host_->plug(fn_->port().description());
        ASSERT_NE(node_, nullptr);
        plugged();
    }

    DriverImage image_;
};

}  // namespace porttest
