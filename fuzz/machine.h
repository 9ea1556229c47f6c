// What every fuzz target shares: the input read field by field, and a
// simulated machine with the driver linked in, loaded as the system loads
// it and bound to a simulated CDC ACM function. A target feeds one input
// through the machine; the machine then insists on a clean end (no
// verifier report, no request left pending, no user page left locked) and
// aborts with the reason otherwise, which libFuzzer keeps as a crash.
#pragma once

#include "bus/behaviours.h"
#include "bus/cdc_function.h"
#include "host/host.h"
#include "tests/support/port_client.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace fuzz {

// The fuzzer's bytes, taken from the front; past the end every field is 0.
class Input {
public:
    Input(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
    bool empty() const { return p_ == end_; }
    size_t left() const { return size_t(end_ - p_); }
    uint8_t u8() { return empty() ? 0 : *p_++; }
    uint16_t u16() { return uint16_t(u8() | u8() << 8); }
    uint32_t u32() { return uint32_t(u16()) | uint32_t(u16()) << 16; }
    std::string bytes(size_t n);   // up to n bytes
    std::string rest() { return bytes(left()); }

private:
    const uint8_t* p_;
    const uint8_t* end_;
};

// Reports a fault the input showed and aborts.
[[noreturn]] void fail(const std::string& what);

// User memory of the application: `bytes` at the end of a fresh read-write
// area followed by a no-access page, so that an overrun faults.
char* user_area(size_t bytes);

class Machine : public porttest::PortClient {
public:
    // A fresh host (controlled mode, seed 1, so that an input replays
    // alike) with the driver loaded and a function made from `config`;
    // `setup` runs before the driver loads (registry contents). The port
    // opens as `port`, which must outlive the machine.
    explicit Machine(bus::FunctionConfig config = {}, const wchar_t* port = L"\\\\.\\COM5",
                     const std::function<void()>& setup = {});
    // Closes the port, removes the device and unloads the driver, then
    // fails on anything left behind.
    ~Machine();

    bus::CdcFunction& function() { return *fn_; }
    host::Host& host() { return *host_; }
    // Plugs the function's port, as `adjust` changes what the bus reports;
    // false when add or start failed.
    bool plug(const std::function<void(host::ChildDevice&)>& adjust = {});
    host::io::DeviceNode* node() const { return node_; }
    // Plugs the port as the bus describes it and opens it; a port that does
    // not open is a fault.
    void plug_and_open();

    // Ends `io`: the bus finishes what it has, host time passes, and a
    // request still pending then is cancelled; one that does not end is a
    // hang.
    void finish(porttest::Io& io);
    // Fails on a verifier report, a hung request or a locked user page.
    void expect_clean(const char* when);

private:
    std::unique_ptr<bus::CdcFunction> fn_;
    std::unique_ptr<host::Host> host_;
    host::io::DeviceNode* node_ = nullptr;
};

}  // namespace fuzz
