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

// One overlapped WaitCommEvent.
struct Wait {
    OVERLAPPED overlapped{};
    DWORD events = 0xEEEEEEEE;
    bool done() const { return HasOverlappedIoCompleted(&overlapped); }
    NTSTATUS status() const { return NTSTATUS(overlapped.Internal); }
    std::string result() const { return outcome(status(), overlapped.InternalHigh); }
    // The outcome, and the events a successful wait returned.
    std::string result_with_events() const
    {
        return status() == STATUS_SUCCESS ? result() + " events " + std::to_string(events) : result();
    }
};

inline const std::string kWaitDone = outcome(STATUS_SUCCESS, sizeof(DWORD));
inline const std::string kCancelled0 = outcome(STATUS_CANCELLED, 0);

class EventTest : public DataTest {
protected:
    void opened(uint64_t seed = 1, bus::FunctionConfig config = {})
    {
        start(seed, std::move(config));
        open();
    }

    std::unique_ptr<Wait> wait_event()
    {
        auto w = std::make_unique<Wait>();
        WaitCommEvent(handle(), &w->events, &w->overlapped);
        return w;
    }
    Wait& finish(Wait& w)
    {
        DWORD bytes;
        GetOverlappedResult(handle(), &w.overlapped, &bytes, TRUE);
        return w;
    }
    // The function's packets have reached the driver and every DPC they
    // queued has run.
    void settle()
    {
        fn_->settle();
        sleep_ms(1);
    }

    DWORD modem_status()
    {
        DWORD status = 0xEEEEEEEE;
        EXPECT_TRUE(GetCommModemStatus(handle(), &status));
        return status;
    }
    DWORD comm_errors(COMSTAT* stat = nullptr)
    {
        DWORD errors = 0xEEEEEEEE;
        COMSTAT ignored;
        EXPECT_TRUE(ClearCommError(handle(), &errors, stat ? stat : &ignored));
        return errors;
    }
    SERIALPERF_STATS stats()
    {
        SERIALPERF_STATS s{};
        EXPECT_TRUE(ioctl(IOCTL_SERIAL_GET_STATS, nullptr, 0, &s, sizeof s));
        return s;
    }
};

}  // namespace eventstest
