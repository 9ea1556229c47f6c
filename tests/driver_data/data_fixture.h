// The port of a simulated CDC ACM function bound to the driver linked into
// the test program, opened through the user-mode API, with the bus's side
// (loopback, timing, faults) and the driver's device context for
// white-box checks.
#pragma once

#include "acm_read_buffer.h"
#include "acm_request.h"

#include "port_fixture.h"

namespace datatest {

using namespace porttest;

class DataTest : public porttest::PortTest {
protected:
    DataTest() : PortTest({ .entry = DriverEntry }) {}

    void plugged() override { fdx_ = acm_fdo_get_data(WdfWdmDeviceGetWdfDeviceHandle(node_->pdo->upper)); }

    PACM_FDO_DATA fdx_ = nullptr;
};

}  // namespace datatest
