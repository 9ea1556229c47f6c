// The firmware's handle on its function, the line coding's wire format and
// the fault plan.
#include "bus/cdc_function.h"

namespace bus {

Bytes to_bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

std::vector<uint8_t> LineCoding::bytes() const
{
    return {uint8_t(rate), uint8_t(rate >> 8), uint8_t(rate >> 16), uint8_t(rate >> 24), stop_bits, parity,
            data_bits};
}

LineCoding LineCoding::from_bytes(std::span<const uint8_t> wire)
{
    LineCoding c;
    c.rate = ULONG(wire[0]) | ULONG(wire[1]) << 8 | ULONG(wire[2]) << 16 | ULONG(wire[3]) << 24;
    c.stop_bits = wire[4];
    c.parity = wire[5];
    c.data_bits = wire[6];
    return c;
}

void DeviceSide::send(std::span<const uint8_t> bytes) { fn_.send_locked(bytes); }
void DeviceSide::send(std::string_view text) { fn_.send_locked(to_bytes(text)); }
void DeviceSide::send_packet(std::span<const uint8_t> packet) { fn_.send_packet_locked(packet); }
void DeviceSide::serial_state(uint16_t bitmap) { fn_.serial_state_locked(bitmap); }

void DeviceSide::line_event(uint16_t one_shot_bits) { fn_.line_event_locked(one_shot_bits); }
void DeviceSide::response_available() { fn_.response_available_locked(); }
void DeviceSide::network_connection(bool connected) { fn_.network_connection_locked(connected); }
void DeviceSide::notify(Bytes packet) { fn_.notify_locked(std::move(packet)); }
uint16_t DeviceSide::control_lines() const { return fn_.control_lines_; }
LineCoding DeviceSide::line_coding() const { return fn_.line_coding_; }
ULONG DeviceSide::max_packet_size() const { return fn_.max_packet_size(); }
host::Time DeviceSide::now() const { return host::now(); }

// Firmware timers die with the behaviour that armed them.
host::TimerHandle DeviceSide::after(host::Time delay, std::function<void()> fire)
{
    auto handle = std::make_shared<host::TimerHandle>(0);
    *handle = fn_.arm(host::now() + delay, [this, handle, fire = std::move(fire)] {
        fn_.firmware_timers_.erase(*handle);
        fire();
    });
    fn_.firmware_timers_.insert(*handle);
    return *handle;
}

void DeviceSide::cancel(host::TimerHandle timer)
{
    fn_.firmware_timers_.erase(timer);
    fn_.disarm(timer);
}

std::optional<Fault> FaultPlan::take(Op op)
{
    auto it = armed_.find(op);
    if (it == armed_.end() || it->second.empty())
        return std::nullopt;
    Fault& f = it->second.front();
    if (f.skip > 0) {
        --f.skip;
        return std::nullopt;
    }
    Fault taken = f;
    if (f.times > 0 && --f.times == 0)
        it->second.pop_front();
    return taken;
}

}  // namespace bus
