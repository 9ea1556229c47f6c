// A host with the driver linked in and one simulated CDC ACM function whose
// port child the driver binds to; white-box access to the device context.
#pragma once

#include "acm_read_buffer.h"

#include "bus/cdc_function.h"
#include "host/host.h"
#include "host/rtl/registry.h"
#include "host/rtl/trace.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace bindtest {

inline const std::u16string kPortsKey = u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Ports";

class BindTest : public ::testing::Test {
protected:
    ~BindTest() override
    {
        if (fdx_ && fdx_->common.ref_count > 0)
            close_stream();
        host_.reset();   // the function outlives the devices bound to it
        fn_.reset();
    }

    // A fresh host with the function; registry set-up may follow before plug().
    void make(bus::FunctionConfig config = {}, uint64_t seed = host::HostOptions{}.seed)
    {
        host_.reset();
        fn_ = std::make_unique<bus::CdcFunction>(std::move(config));
        host_ = std::make_unique<host::Host>(host::HostOptions{ .seed = seed });
        host::reg::set_dword(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\acmserial\\Parameters",
                             u"DebugLevel", 4);
        host::trace_clear();
    }

    // Loads the driver and plugs the port (or the serial control device).
    host::io::DeviceNode* plug(bool control = false)
    {
        EXPECT_EQ(host_->load_driver(u"acmserial", DriverEntry), STATUS_SUCCESS);
        bus::DcChild& child = control ? *fn_->control() : fn_->port();
        node_ = host_->plug(child.description());
        fdx_ = node_ ? acm_fdo_get_data(WdfWdmDeviceGetWdfDeviceHandle(node_->pdo->upper)) : nullptr;
        return node_;
    }

    // make() and plug() with the defaults.
    PACM_FDO_DATA started(bus::FunctionConfig config = {})
    {
        make(std::move(config));
        EXPECT_NE(plug(), nullptr);
        return fdx_;
    }

    // I/O as a first open starts it: one handle, transport and data I/O,
    // reads posted.
    void open_stream()
    {
        common_class_ref_inc(&fdx_->common);
        ASSERT_EQ(common_class_transport_io_init(&fdx_->common, 1, 1), STATUS_SUCCESS);
        InterlockedExchange(&fdx_->is_io_stopped, 0);
        acm_read_data_in(fdx_);
        fn_->settle();
    }
    // And as the last close stops it.
    void close_stream()
    {
        InterlockedExchange(&fdx_->is_io_stopped, 1);
        acm_data_in_purge(fdx_);
        common_class_transport_io_uninit(&fdx_->common);
        common_class_ref_dec(&fdx_->common);
        fn_->settle();
    }

    void device_sends(std::string_view text)
    {
        fn_->send(text);
        fn_->settle();
    }

    read_desc_t& desc(ULONG i) { return fdx_->read_desc[i]; }
    static size_t traced(std::string_view needle) { return host::trace_count(needle); }

    std::unique_ptr<bus::CdcFunction> fn_;
    std::unique_ptr<host::Host> host_;
    host::io::DeviceNode* node_ = nullptr;
    PACM_FDO_DATA fdx_ = nullptr;
};

}  // namespace bindtest
