// The driver module loaded the way the system loads it, bound to a
// simulated CDC ACM function with a loopback plug, and the application that
// uses its COM port through the user-mode API. Nothing here looks inside
// the driver: what shows is what the application and the device see.
#pragma once

#include "port_client.h"

#include "bus/behaviours.h"
#include "bus/cdc_function.h"
#include "host/host.h"
#include "host/kernel/verifier.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace porttest {

class PortTest : public ::testing::Test, public PortClient {
protected:
    ~PortTest() override { teardown(); }

    void teardown()
    {
        close();
        host_.reset();   // the function outlives the devices bound to it
        fn_.reset();
    }

    void start(uint64_t seed = 1, host::Mode mode = host::Mode::controlled, bus::FunctionConfig config = {})
    {
        teardown();
        host::verifier_reset();
        host::verifier_set_action(host::VerifierAction::record);
        fn_ = std::make_unique<bus::CdcFunction>(std::move(config));
        fn_->set_behaviour(std::make_shared<bus::Loopback>());
        host_ = std::make_unique<host::Host>(host::HostOptions{ .mode = mode, .seed = seed });
        ASSERT_EQ(host_->load_driver_module(u"acmserial", ACMSERIAL_MODULE), STATUS_SUCCESS);
        node_ = host_->plug(fn_->port().description());
        ASSERT_NE(node_, nullptr);
        ASSERT_TRUE(open());
    }

    std::vector<bus::DataTransfer> data_out() const
    {
        std::vector<bus::DataTransfer> out;
        for (const auto& t : fn_->transfers())
            if (!t.in)
                out.push_back(t);
        return out;
    }

    void expect_verifier_silent()
    {
        for (const auto& v : host::verifier_violations())
            ADD_FAILURE() << v.check << ": " << v.detail;
    }

    std::unique_ptr<bus::CdcFunction> fn_;
    std::unique_ptr<host::Host> host_;
    host::io::DeviceNode* node_ = nullptr;
};

}  // namespace porttest
