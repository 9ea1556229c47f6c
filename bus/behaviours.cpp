// Loopback plug, AT-command modem and scripted peer.
#include "bus/behaviours.h"

#include "common/cdc_protocol.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace bus {

// --- Loopback ----------------------------------------------------------------

void Loopback::host_data(DeviceSide& d, std::span<const uint8_t> bytes) { d.send(bytes); }

void Loopback::control_lines(DeviceSide& d, uint16_t lines)
{
    const bool dtr = (lines & CDC_CONTROL_LINE_DTR) != 0;
    if (dtr == dtr_)
        return;
    dtr_ = dtr;
    d.serial_state(state());
}

void Loopback::break_state(DeviceSide& d, bool on)
{
    break_ = on;
    d.serial_state(state());
}

uint16_t Loopback::state() const
{
    return (dtr_ ? CDC_SERIAL_STATE_RX_CARRIER | CDC_SERIAL_STATE_TX_CARRIER : 0) |
           (break_ ? CDC_SERIAL_STATE_BREAK : 0);
}

// --- AtModem -----------------------------------------------------------------

namespace {

std::string result(std::string_view text) { return "\r\n" + std::string(text) + "\r\n"; }

}  // namespace

void AtModem::ring()
{
    auto lk = host::sched_lock();
    if (!device_ || connected_)
        return;
    device_->send(result("RING"));
    device_->serial_state(state() | CDC_SERIAL_STATE_RING_SIGNAL);
    device_->serial_state(state());
}

bool AtModem::connected() const
{
    auto lk = host::sched_lock();
    return connected_;
}

void AtModem::attached(DeviceSide& d) { device_ = &d; }

// What the modem says back to one write leaves it as one stream of packets.
void AtModem::host_data(DeviceSide& d, std::span<const uint8_t> bytes)
{
    std::string out;
    for (uint8_t b : bytes) {
        if (online_)
            data_byte(d, b, out);
        else
            command_byte(d, b, out);
    }
    d.send(out);
}

void AtModem::command_byte(DeviceSide& d, uint8_t byte, std::string& out)
{
    if (echo_)
        out += char(byte);
    if (byte == '\n')
        return;
    if (byte != '\r') {
        line_ += char(byte);
        return;
    }
    out += execute(d, std::exchange(line_, {}));
}

// Data mode: bytes go to the remote end, which echoes them. Three '+' after
// a guard time of silence are held back; if another guard time passes
// without data the modem returns to command mode.
void AtModem::data_byte(DeviceSide& d, uint8_t byte, std::string& out)
{
    const host::Time now = d.now();
    const bool silent_before = now - last_data_ >= guard_;
    last_data_ = now;
    if (byte == '+' && pluses_ < 3 && (pluses_ > 0 || silent_before)) {
        if (++pluses_ < 3)
            return;
        if (guard_ == 0) {
            escape_to_command_mode();
            out += result("OK");
            return;
        }
        escape_timer_ = d.after(guard_, [this, &d] {
            escape_to_command_mode();
            d.send(result("OK"));
        });
        return;
    }
    if (escape_timer_) {
        d.cancel(escape_timer_);
        escape_timer_ = 0;
    }
    out.append(std::exchange(pluses_, 0), '+');
    out += char(byte);
}

void AtModem::escape_to_command_mode()
{
    escape_timer_ = 0;
    pluses_ = 0;
    online_ = false;
}

// One command line; returns the response text (information and result code).
std::string AtModem::execute(DeviceSide& d, std::string_view line)
{
    std::string cmd;
    for (char c : line)
        cmd += char(std::toupper(static_cast<unsigned char>(c)));
    if (cmd.size() < 2 || cmd.compare(0, 2, "AT") != 0)
        return {};
    std::string info;
    std::string code = "OK";
    for (size_t i = 2; i < cmd.size();) {
        const char c = cmd[i++];
        auto number = [&] {
            int v = 0;
            while (i < cmd.size() && std::isdigit(static_cast<unsigned char>(cmd[i])))
                v = v * 10 + (cmd[i++] - '0');
            return v;
        };
        switch (c) {
        case ' ':
            break;
        case 'E':
            echo_ = number() != 0;
            break;
        case 'Z':
            number();
            echo_ = true;
            if (connected_)
                hang_up(d);
            break;
        case 'I':
            number();
            info += result(kIdentity);
            break;
        case 'H':
            number();
            if (connected_) {
                hang_up(d);
                code = "NO CARRIER";
            }
            break;
        case 'D':   // the rest of the line is the number to dial
        case 'A':
            i = cmd.size();
            connect(d);
            code = "CONNECT";
            break;
        case 'O':
            number();
            online_ = connected_;
            code = connected_ ? "CONNECT" : "NO CARRIER";
            break;
        default:
            return result("ERROR");
        }
    }
    return info + result(code);
}

void AtModem::connect(DeviceSide& d)
{
    connected_ = true;
    online_ = true;
    last_data_ = d.now();
    d.serial_state(state());
}

void AtModem::hang_up(DeviceSide& d)
{
    connected_ = false;
    online_ = false;
    d.serial_state(state());
}

// A dropped DTR ends the call.
void AtModem::control_lines(DeviceSide& d, uint16_t lines)
{
    if (connected_ && !(lines & CDC_CONTROL_LINE_DTR)) {
        hang_up(d);
        d.send(result("NO CARRIER"));
    }
}

// The modem is ready (DSR) whenever the host listens.
void AtModem::transport(DeviceSide& d, bool enabled)
{
    if (enabled)
        d.serial_state(state());
}

std::optional<Bytes> AtModem::encapsulated_command(DeviceSide& d, std::span<const uint8_t> command)
{
    std::string line(command.begin(), command.end());
    line.erase(std::remove_if(line.begin(), line.end(), [](char c) { return c == '\r' || c == '\n'; }), line.end());
    std::string response = execute(d, line);
    if (response.empty())
        return std::nullopt;
    return to_bytes(response);
}

uint16_t AtModem::state() const
{
    return CDC_SERIAL_STATE_TX_CARRIER | (connected_ ? CDC_SERIAL_STATE_RX_CARRIER : 0);
}

// --- ScriptedPeer ------------------------------------------------------------

ScriptedPeer& ScriptedPeer::expect(std::string_view bytes) { return add({Step::Kind::expect, to_bytes(bytes)}); }
ScriptedPeer& ScriptedPeer::send(std::string_view bytes) { return add({Step::Kind::send, to_bytes(bytes)}); }

ScriptedPeer& ScriptedPeer::serial_state(uint16_t bitmap) { return add({Step::Kind::serial_state, {}, 0, bitmap}); }

ScriptedPeer& ScriptedPeer::notify(Bytes packet) { return add({Step::Kind::notify, std::move(packet)}); }
ScriptedPeer& ScriptedPeer::delay(host::Time time) { return add({Step::Kind::delay, {}, time}); }

ScriptedPeer& ScriptedPeer::add(Step step)
{
    auto lk = host::sched_lock();
    steps_.push_back(std::move(step));
    advance();
    return *this;
}

bool ScriptedPeer::done() const
{
    auto lk = host::sched_lock();
    return steps_.empty();
}

std::string ScriptedPeer::mismatch() const
{
    auto lk = host::sched_lock();
    return mismatch_;
}

Bytes ScriptedPeer::received() const
{
    auto lk = host::sched_lock();
    return received_;
}

bool ScriptedPeer::wait_done(host::Time timeout)
{
    auto lk = host::sched_lock();
    return host::wait_until(lk, [this] { return steps_.empty() || !mismatch_.empty(); }, host::now() + timeout,
                            "scripted peer") &&
           mismatch_.empty();
}

void ScriptedPeer::attached(DeviceSide& d)
{
    device_ = &d;
    advance();
}

void ScriptedPeer::host_data(DeviceSide& /*d*/, std::span<const uint8_t> bytes)
{
    received_.insert(received_.end(), bytes.begin(), bytes.end());
    unmatched_.insert(unmatched_.end(), bytes.begin(), bytes.end());
    advance();
}

void ScriptedPeer::advance()
{
    while (device_ && !steps_.empty() && mismatch_.empty() && !delaying_) {
        Step& step = steps_.front();
        switch (step.kind) {
        case Step::Kind::expect: {
            const size_t n = std::min(unmatched_.size(), step.bytes.size());
            if (!std::equal(unmatched_.begin(), unmatched_.begin() + n, step.bytes.begin())) {
                mismatch_ = "expected \"" + std::string(step.bytes.begin(), step.bytes.end()) + "\", host sent \"" +
                            std::string(unmatched_.begin(), unmatched_.end()) + "\"";
                host::notify_all();
                return;
            }
            if (n < step.bytes.size())
                return;   // wait for more
            unmatched_.erase(unmatched_.begin(), unmatched_.begin() + n);
            break;
        }
        case Step::Kind::send:
            device_->send(step.bytes);
            break;
        case Step::Kind::serial_state:
            device_->serial_state(step.bitmap);
            break;
        case Step::Kind::notify:
            device_->notify(step.bytes);
            break;
        case Step::Kind::delay:
            delaying_ = true;
            device_->after(step.time, [this] {
                delaying_ = false;
                steps_.pop_front();
                host::notify_all();
                advance();
            });
            return;
        }
        steps_.pop_front();
        host::notify_all();
    }
}

}  // namespace bus
