// Serial events, purge and the function's notifications as a Windows serial
// application sees them: WaitCommEvent, SetCommMask, PurgeComm,
// GetCommModemStatus and ClearCommError on the port of a simulated function.
#pragma once

#include "tests/driver_data/data_fixture.h"

#include "common/cdc_protocol.h"

#include <memory>
#include <string>

namespace eventstest {

using namespace datatest;

inline const std::string kWaitDone = outcome(STATUS_SUCCESS, sizeof(DWORD));

class EventTest : public DataTest {
protected:
    void opened(uint64_t seed = 1, bus::FunctionConfig config = {})
    {
        start(seed, std::move(config));
        open();
    }

    // The function's packets have reached the driver and every DPC they
    // queued has run.
    void settle()
    {
        fn_->settle();
        sleep_ms(1);
    }
};

}  // namespace eventstest
