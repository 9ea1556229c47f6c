// The device behaviours the bus offers: a loopback plug, an AT-command modem,
// a peer scripted by the test and a bridge to an outside byte stream.
#pragma once

#include "bus/behaviour.h"

#include <deque>
#include <string>

namespace host {
class Thread;
}

namespace bus {

// A loopback plug: data comes straight back, DTR drives DSR and DCD, a break
// comes back as a break.
class Loopback : public Behaviour {
public:
    void host_data(DeviceSide& d, std::span<const uint8_t> bytes) override;
    void control_lines(DeviceSide& d, uint16_t lines) override;
    void break_state(DeviceSide& d, bool on) override;

private:
    uint16_t state() const;
    bool dtr_ = false;
    bool break_ = false;
};

// A V.250 modem: command mode with echo and verbose result codes (AT, ATZ,
// ATI, ATE0/1, ATD, ATA, ATO, ATH), data mode with a remote end that echoes,
// the "+++" escape with its guard time, carrier and ring through SERIAL_STATE.
// Dropping DTR hangs up. Encapsulated commands are command lines too.
class AtModem : public Behaviour {
public:
    explicit AtModem(host::Time guard_time = host::kSecond) : guard_(guard_time) {}

    // An incoming call: "RING" and a pulse of the ring bit (takes the lock).
    void ring();
    bool connected() const;

    void attached(DeviceSide& d) override;
    void host_data(DeviceSide& d, std::span<const uint8_t> bytes) override;
    void control_lines(DeviceSide& d, uint16_t lines) override;
    void transport(DeviceSide& d, bool enabled) override;
    std::optional<Bytes> encapsulated_command(DeviceSide& d, std::span<const uint8_t> command) override;

    static constexpr const char* kIdentity = "ACM Virtual Modem 1.0";

private:
    void command_byte(DeviceSide& d, uint8_t byte, std::string& out);
    void data_byte(DeviceSide& d, uint8_t byte, std::string& out);
    void escape_to_command_mode();
    std::string execute(DeviceSide& d, std::string_view line);
    void connect(DeviceSide& d);
    void hang_up(DeviceSide& d);
    uint16_t state() const;

    host::Time guard_;
    DeviceSide* device_ = nullptr;
    std::string line_;
    bool echo_ = true;
    bool connected_ = false;
    bool online_ = false;          // data mode
    int pluses_ = 0;               // escape characters held back
    host::Time last_data_ = 0;
    host::TimerHandle escape_timer_ = 0;
};

// A peer the test scripts: steps run in order as the host's bytes arrive and
// host time passes. An expectation that the host's bytes contradict stops the
// script and is reported by mismatch().
class ScriptedPeer : public Behaviour {
public:
    ScriptedPeer& expect(std::string_view bytes);
    ScriptedPeer& send(std::string_view bytes);
    ScriptedPeer& serial_state(uint16_t bitmap);
    ScriptedPeer& notify(Bytes packet);
    ScriptedPeer& delay(host::Time time);

    bool done() const;
    std::string mismatch() const;
    Bytes received() const;   // everything the host sent
    // Blocks the calling thread until the script has run or `timeout` of host time passed.
    bool wait_done(host::Time timeout);

    void attached(DeviceSide& d) override;
    void host_data(DeviceSide& d, std::span<const uint8_t> bytes) override;

private:
    struct Step {
        enum class Kind { expect, send, serial_state, notify, delay } kind;
        Bytes bytes;
        host::Time time = 0;
        uint16_t bitmap = 0;
    };
    ScriptedPeer& add(Step step);
    void advance();   // lock held

    DeviceSide* device_ = nullptr;
    std::deque<Step> steps_;
    Bytes unmatched_;
    Bytes received_;
    std::string mismatch_;
    bool delaying_ = false;
};

// A bridge to an outside byte stream: what the host sends is written to
// `out_fd`, what `in_fd` yields is sent to the host. A device thread polls
// `in_fd` every `poll` of host time. The descriptors stay the caller's.
class StreamBridge : public Behaviour {
public:
    StreamBridge(int in_fd, int out_fd, host::Time poll = host::kMillisecond);
    ~StreamBridge() override;

    void attached(DeviceSide& d) override;
    void start() override;
    void stop() override;
    void host_data(DeviceSide& d, std::span<const uint8_t> bytes) override;

private:
    void poll_loop();
    void flush_out();   // lock held

    int in_fd_;
    int out_fd_;
    host::Time poll_;
    DeviceSide* device_ = nullptr;
    host::Thread* thread_ = nullptr;
    bool stopping_ = false;
    Bytes out_pending_;
};

}  // namespace bus
