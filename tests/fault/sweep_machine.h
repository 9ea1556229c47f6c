// One machine for one run of an allocation sweep: the driver linked in, a
// simulated function with a loopback plug and an application using its COM
// port. Every step tolerates the failure of the allocation under test: it
// gives the application an error or success, and a request that is still
// pending after its bound (host time) is counted as hung.
#pragma once

#include "bus/behaviours.h"
#include "bus/cdc_function.h"
#include "host/host.h"
#include "tests/support/port_client.h"

#include <dc_ioctl.h>

#include <memory>
#include <string>

namespace faulttest {

class Machine : public porttest::PortClient {
public:
    // A fresh host with the function, scheduled by `seed`; the verifier records.
    explicit Machine(uint64_t seed);
    // Whatever the run left is taken apart (the host's own checks only).
    ~Machine();

    // --- the steps of the scenarios ------------------------------------------
    void load();
    void plug();
    bool open_port();   // CreateFile; false when the driver refused it
    void configure();   // SetCommState with handflow and characters, time-outs
    void read();        // bytes the device sent, then a read that times out
    void write();
    void wait_on_mask();   // an event that comes, then a wait ended by a mask change
    void purge();          // a read and a write held pending, then aborted
    void sleep_and_wake(); // system sleep and wake, then a bus suspend and resume, with a read pending
    void bus_stop_and_start(); // the bus stops the port's I/O; a write meanwhile; the bus starts it again
    void surprise_remove(); // the function vanishes under a pending read; a read after it
    // An encapsulated command, the wait for its response and the response;
    // a vendor request through the generic control.
    void control_channel();
    void close_port();
    void unplug();          // query-remove, remove, unload

    // --- after the swept part -------------------------------------------------
    // The machine recovers: the driver loads, the device starts, the port
    // opens and carries bytes both ways. Only while the function is present.
    void expect_port_works();
    // Closes, removes and unloads, then every verifier report fails the run,
    // the leak checks of the unload among them.
    void expect_clean_end();

    bool function_present() const { return fn_->present(); }

private:
    // Waits for `io` within the client's bound; a hang fails `step`.
    bool ends(porttest::Io& io, const char* step);
    // What the application saw of a read matches what the device sent.
    static void expect_prefix_of(const porttest::Io& io, const std::string& sent, const char* step);
    // A control of the channel with its record (in and out) in user memory.
    std::unique_ptr<porttest::Io> channel_control(DWORD code, dc_ioctl_data* record);

    std::unique_ptr<bus::CdcFunction> fn_;
    std::unique_ptr<host::Host> host_;
    host::io::DeviceNode* node_ = nullptr;
    bool loaded_ = false;
};

}  // namespace faulttest
