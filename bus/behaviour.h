// The firmware of a simulated function: a pluggable behaviour that reacts to
// what the host does (data, control lines, line coding, break, encapsulated
// commands) and talks back through its DeviceSide.
//
// Firmware runs inside the bus model, with the scheduler lock held: it only
// changes host state and must neither block nor call driver code.
#pragma once

#include "bus/timing.h"

#include <ntddk.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace bus {

class CdcFunction;

// The CDC line coding as the device keeps it.
struct LineCoding {
    ULONG rate = 9600;
    UCHAR stop_bits = 0;   // 0 = 1, 1 = 1.5, 2 = 2
    UCHAR parity = 0;      // 0 none, 1 odd, 2 even, 3 mark, 4 space
    UCHAR data_bits = 8;

    std::vector<uint8_t> bytes() const;   // the 7 bytes on the wire
    static LineCoding from_bytes(std::span<const uint8_t> wire);
    bool operator==(const LineCoding&) const = default;
};

using Bytes = std::vector<uint8_t>;
Bytes to_bytes(std::string_view text);

// What the firmware can do to its own function. Every call expects the
// scheduler lock held (firmware callbacks and device timers have it).
class DeviceSide {
public:
    explicit DeviceSide(CdcFunction& function) : fn_(function) {}

    // Data to the host: full packets, the last one short (none if the length
    // is a multiple of the packet size).
    void send(std::span<const uint8_t> bytes);
    void send(std::string_view text);
    // Exactly one packet, at most the maximum packet size; empty: a zero-length packet.
    void send_packet(std::span<const uint8_t> packet);

    void serial_state(uint16_t bitmap);
    void line_event(uint16_t one_shot_bits);   // see CdcFunction::line_event
    void response_available();
    void network_connection(bool connected);
    void notify(Bytes packet);   // any interrupt packet, any length

    uint16_t control_lines() const;
    LineCoding line_coding() const;
    ULONG max_packet_size() const;

    host::Time now() const;
    // A device timer; `fire` runs with the scheduler lock held.
    host::TimerHandle after(host::Time delay, std::function<void()> fire);
    void cancel(host::TimerHandle timer);

private:
    CdcFunction& fn_;
};

class Behaviour {
public:
    virtual ~Behaviour() = default;

    virtual void attached(DeviceSide&) {}
    // Start and end device threads; called without the scheduler lock, after
    // attached() and before the behaviour is replaced or the function goes.
    virtual void start() {}
    virtual void stop() {}

    virtual void host_data(DeviceSide&, std::span<const uint8_t> /*bytes*/) {}
    virtual void control_lines(DeviceSide&, uint16_t /*lines*/) {}
    virtual void line_coding(DeviceSide&, const LineCoding&) {}
    virtual void break_state(DeviceSide&, bool /*on*/) {}
    virtual void transport(DeviceSide&, bool /*enabled*/) {}
    // A reply to queue for GET_ENCAPSULATED_RESPONSE (announced with
    // RESPONSE_AVAILABLE), or none.
    virtual std::optional<Bytes> encapsulated_command(DeviceSide&, std::span<const uint8_t> /*command*/)
    {
        return std::nullopt;
    }
};

}  // namespace bus
