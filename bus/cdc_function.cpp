// The function model: class requests kept by the device, notifications,
// faults, removal and selective suspend. The bulk pipes and the completion
// context are in cdc_function_pipes.cpp, timers and the timing model in
// cdc_function_timing.cpp.
#include "bus/cdc_function.h"

#include "common/cdc_protocol.h"

#include <algorithm>
#include <stdexcept>

namespace bus {

Bytes serial_state_packet(uint16_t iface, uint16_t bitmap)
{
    return {CDC_NOTIFICATION_REQUEST_TYPE, CDC_NOTIFY_SERIAL_STATE, 0, 0, uint8_t(iface), uint8_t(iface >> 8),
            2, 0, uint8_t(bitmap), uint8_t(bitmap >> 8)};
}

Bytes header_packet(uint16_t iface, uint8_t code, uint16_t value)
{
    return {CDC_NOTIFICATION_REQUEST_TYPE, code, uint8_t(value), uint8_t(value >> 8), uint8_t(iface),
            uint8_t(iface >> 8), 0, 0};
}

CdcFunction::CdcFunction(FunctionConfig config)
    : config_(std::move(config)), line_coding_(config_.initial_line_coding)
{
    if (config_.max_packet == 0u)
        throw std::invalid_argument("bus: a bulk endpoint's maximum packet size is at least 1");
    port_ = std::make_unique<DcChild>(*this, ChildKind::port);
    if (config_.serial_control_device)
        control_ = std::make_unique<DcChild>(*this, ChildKind::control);
    completion_dpc_.routine = [this] { run_completions(); };
    completion_dpc_.name = "bus completion";
}

// Without a scheduler (it stopped first, with the Host) there is nothing left
// to cancel or join: its timers, DPCs and threads went with it.
CdcFunction::~CdcFunction()
{
    if (behaviour_)
        behaviour_->stop();
    if (!host::sched_running())
        return;
    std::vector<host::Thread*> threads;
    {
        auto lk = lock();
        for (host::TimerHandle t : timers_)
            host::timer_disarm(lk, t);
        timers_.clear();
        completions_.clear();
        unwatch_out_buffer();
        host::dpc_dequeue(lk, &completion_dpc_);
        host::dpc_flush(lk, &completion_dpc_);
        threads.swap(threads_);
    }
    for (host::Thread* t : threads)
        host::join(t);
}

std::unique_lock<std::mutex> CdcFunction::lock() const
{
    auto lk = host::sched_lock();
    sched_mutex_.store(lk.mutex(), std::memory_order_relaxed);
    return lk;
}

std::vector<DcChild*> CdcFunction::child_list()
{
    std::vector<DcChild*> list{port_.get()};
    if (control_)
        list.push_back(control_.get());
    return list;
}

// --- firmware ----------------------------------------------------------------

void CdcFunction::set_behaviour(std::shared_ptr<Behaviour> behaviour)
{
    std::shared_ptr<Behaviour> old;
    {
        auto lk = lock();
        for (host::TimerHandle t : std::exchange(firmware_timers_, {}))
            disarm(t);
        old = std::exchange(behaviour_, std::move(behaviour));
    }
    if (old)
        old->stop();
    std::shared_ptr<Behaviour> current;
    {
        auto lk = lock();
        for_behaviour([&](Behaviour& b) { b.attached(device_); });
        current = behaviour_;
    }
    if (current)
        current->start();
}

void CdcFunction::set_responder(Responder responder)
{
    auto lk = lock();
    responder_ = std::move(responder);
}

void CdcFunction::send(std::span<const uint8_t> bytes)
{
    auto lk = lock();
    send_locked(bytes);
}

void CdcFunction::send(std::string_view text) { send(to_bytes(text)); }

void CdcFunction::send_packet(std::span<const uint8_t> packet)
{
    auto lk = lock();
    send_packet_locked(packet);
}

void CdcFunction::serial_state(uint16_t bitmap)
{
    auto lk = lock();
    serial_state_locked(bitmap);
}

void CdcFunction::line_event(uint16_t one_shot_bits)
{
    auto lk = lock();
    line_event_locked(one_shot_bits);
}

void CdcFunction::response_available()
{
    auto lk = lock();
    response_available_locked();
}

void CdcFunction::network_connection(bool connected)
{
    auto lk = lock();
    network_connection_locked(connected);
}

void CdcFunction::notify(Bytes packet)
{
    auto lk = lock();
    notify_locked(std::move(packet));
}

void CdcFunction::queue_response(Bytes response)
{
    auto lk = lock();
    queue_response_locked(std::move(response));
}

void CdcFunction::send_locked(std::span<const uint8_t> bytes)
{
    const size_t mps = max_packet_size();
    for (size_t at = 0; at < bytes.size(); at += mps)
        in_packets_.push(bytes.subspan(at, std::min(mps, bytes.size() - at)));
    pump();
}

void CdcFunction::send_packet_locked(std::span<const uint8_t> packet)
{
    if (packet.size() > max_packet_size())
        throw std::invalid_argument("bus: a packet is at most the maximum packet size");
    in_packets_.push(packet);
    pump();
}

void CdcFunction::serial_state_locked(uint16_t bitmap)
{
    carrier_lines_ = bitmap & (CDC_SERIAL_STATE_RX_CARRIER | CDC_SERIAL_STATE_TX_CARRIER);
    notify_locked(serial_state_packet(config_.comm_interface, bitmap));
}

void CdcFunction::line_event_locked(uint16_t one_shot_bits)
{
    const uint16_t one_shot = CDC_SERIAL_STATE_BREAK | CDC_SERIAL_STATE_RING_SIGNAL | CDC_SERIAL_STATE_FRAMING |
                              CDC_SERIAL_STATE_PARITY | CDC_SERIAL_STATE_OVERRUN;
    if (one_shot_bits & ~one_shot)
        throw std::invalid_argument("bus: a line event carries only break, ring and line error bits");
    notify_locked(serial_state_packet(config_.comm_interface, carrier_lines_ | one_shot_bits));
}

void CdcFunction::response_available_locked()
{
    notify_locked(header_packet(config_.comm_interface, CDC_NOTIFY_RESPONSE_AVAILABLE, 0));
}

void CdcFunction::network_connection_locked(bool connected)
{
    notify_locked(header_packet(config_.comm_interface, CDC_NOTIFY_NETWORK_CONNECTION, connected ? 1 : 0));
}

void CdcFunction::queue_response_locked(Bytes response)
{
    responses_.push_back(std::move(response));
    response_available_locked();
}

void CdcFunction::notify_locked(Bytes packet)
{
    notifications_pending_.push_back(std::move(packet));
    deliver_notifications();
}

// Interrupt packets wait in the device until a child listens: a registered
// callback on an enabled transport of a function that is present and awake.
void CdcFunction::deliver_notifications()
{
    if (!present_ || suspended_)
        return;
    std::vector<DcChild*> listeners;
    for (DcChild* c : child_list())
        if (c->notify_ && c->transport_ && !c->removed_)
            listeners.push_back(c);
    if (listeners.empty())
        return;
    while (!notifications_pending_.empty()) {
        Bytes packet = std::move(notifications_pending_.front());
        notifications_pending_.pop_front();
        for (DcChild* c : listeners) {
            Completion notification;
            notification.child = c;
            notification.packet = packet;
            queue_completion(std::move(notification));
        }
    }
}

// --- what the device keeps ---------------------------------------------------

LineCoding CdcFunction::line_coding() const
{
    auto lk = lock();
    return line_coding_;
}

uint16_t CdcFunction::control_lines() const
{
    auto lk = lock();
    return control_lines_;
}

bool CdcFunction::break_on() const
{
    auto lk = lock();
    return break_on_;
}

std::vector<Bytes> CdcFunction::encapsulated_commands() const
{
    auto lk = lock();
    return commands_;
}

size_t CdcFunction::pending_in_bytes() const
{
    auto lk = lock();
    return in_packets_.bytes();
}

std::vector<ControlTransfer> CdcFunction::control_log() const
{
    auto lk = lock();
    return control_log_;
}

Bytes CdcFunction::received() const
{
    auto lk = lock();
    return received_;
}

std::vector<DataTransfer> CdcFunction::transfers() const
{
    auto lk = lock();
    return transfers_;
}

std::vector<Notification> CdcFunction::notifications() const
{
    auto lk = lock();
    return notifications_;
}

void CdcFunction::clear_logs()
{
    auto lk = lock();
    control_log_.clear();
    received_.clear();
    transfers_.clear();
    notifications_.clear();
    commands_.clear();
}

bool CdcFunction::data_in_outstanding() const
{
    auto lk = lock();
    return in_.state != PipeState::idle;
}

bool CdcFunction::data_out_outstanding() const
{
    auto lk = lock();
    return out_.state != PipeState::idle;
}

void CdcFunction::settle()
{
    auto lk = lock();
    host::wait_until(
        lk,
        [this] {
            return completions_.empty() && !draining_ && !completion_dpc_.queued && completion_dpc_.running == 0 &&
                   turnarounds_ == 0;
        },
        host::kForever, "bus: completions to settle");
}

// --- class requests ----------------------------------------------------------

// A control transfer on the default pipe, as the host controller runs it:
// faults first, then the transfer's own time, then the device's answer. A
// stalled transfer gives up after `timeout` (0: never) with STATUS_IO_TIMEOUT.
NTSTATUS CdcFunction::control_transfer(DcChild& child, const DC_CONTROL_RECORD& setup, uint8_t* buffer,
                                       ULONG buffer_length, PULONG bytes_done, bool generic, host::Time timeout,
                                       std::unique_lock<std::mutex>& lk)
{
    ControlTransfer record;
    record.request_type = setup.bmRequestType;
    record.request = setup.bRequest;
    record.value = setup.wValue;
    record.index = setup.wIndex;
    record.length = setup.wLength;
    record.generic = generic;
    auto finish_with = [&](NTSTATUS status, ULONG bytes) {
        if (bytes_done)
            *bytes_done = bytes;
        record.status = status;
        control_log_.push_back(record);
        return status;
    };
    if (!present_ || child.removed_)
        return finish_with(STATUS_NO_SUCH_DEVICE, 0);

    const ULONG length = std::min<ULONG>(setup.wLength, buffer ? buffer_length : 0);
    if (!record.to_host() && length)
        record.data.assign(buffer, buffer + length);

    if (auto fault = faults_.take(generic ? Op::generic_control : Op::control_request)) {
        switch (fault->kind) {
        case Fault::Kind::stall: {
            const uint64_t generation = stall_generation_;
            const host::Time deadline = timeout > 0 ? host::now() + timeout : host::kForever;
            const bool released = host::wait_until(
                lk, [&] { return stall_generation_ != generation || !present_; }, deadline,
                "bus: stalled control transfer");
            if (!released)
                return finish_with(STATUS_IO_TIMEOUT, 0);
            if (!present_)
                return finish_with(STATUS_NO_SUCH_DEVICE, 0);
            break;
        }
        case Fault::Kind::surprise_remove:
            remove_locked();
            return finish_with(STATUS_NO_SUCH_DEVICE, 0);
        case Fault::Kind::complete:
            return finish_with(fault->status, fault->bytes);
        default:
            return finish_with(fault->status, 0);
        }
    }

    if (timing_.enabled) {
        const host::Time done = host::now() + timing_.control_frames * timing_.frame + timing_.turnaround;
        host::wait_until(lk, [this] { return !present_; }, done, "bus: control transfer");
        if (!present_)
            return finish_with(STATUS_NO_SUCH_DEVICE, 0);
    }

    Bytes data = record.data;
    const NTSTATUS status = device_request(setup, data);
    if (!NT_SUCCESS(status))
        return finish_with(status, 0);
    if (record.to_host()) {
        data.resize(std::min<size_t>(data.size(), length));
        std::copy(data.begin(), data.end(), buffer);
        record.data = data;
        return finish_with(status, ULONG(data.size()));
    }
    return finish_with(status, length);
}

// The device's answer by request type; STATUS_UNSUCCESSFUL is the STALL
// handshake of a request the device does not support.
NTSTATUS CdcFunction::device_request(const DC_CONTROL_RECORD& setup, Bytes& data)
{
    if (stalled_controls_.count({setup.bmRequestType, setup.bRequest}))
        return STATUS_UNSUCCESSFUL;
    switch (setup.bmRequestType & 0x60) {
    case 0x00: return standard_request(setup, data);
    case 0x20: return class_request(setup, data);
    case 0x40: return vendor_request(setup, data);
    default: return STATUS_UNSUCCESSFUL;
    }
}

// GET_STATUS, GET_DESCRIPTOR (device) and GET_CONFIGURATION of a configured,
// bus-powered device; the rest stalls.
NTSTATUS CdcFunction::standard_request(const DC_CONTROL_RECORD& setup, Bytes& data)
{
    constexpr uint8_t kGetStatus = 0x00, kGetDescriptor = 0x06, kGetConfiguration = 0x08;
    constexpr uint8_t kDeviceDescriptor = 1;
    if (!(setup.bmRequestType & 0x80))
        return STATUS_UNSUCCESSFUL;
    switch (setup.bRequest) {
    case kGetStatus:
        data = {0, 0};
        return STATUS_SUCCESS;
    case kGetConfiguration:
        data = {1};
        return STATUS_SUCCESS;
    case kGetDescriptor:
        if ((setup.wValue >> 8) != kDeviceDescriptor)
            return STATUS_UNSUCCESSFUL;
        data = {18, kDeviceDescriptor, 0x00, 0x02, 0xEF, 0x02, 0x01, 64, 0x34, 0x12, 0x01, 0x00, 0x00, 0x01,
                0, 0, 0, 1};
        return STATUS_SUCCESS;
    default:
        return STATUS_UNSUCCESSFUL;
    }
}

NTSTATUS CdcFunction::vendor_request(const DC_CONTROL_RECORD& setup, Bytes& data)
{
    const bool in = (setup.bmRequestType & 0x80) != 0;
    if (!in && setup.bRequest == kVendorStore) {
        vendor_data_ = data;
        return STATUS_SUCCESS;
    }
    if (in && setup.bRequest == kVendorFetch) {
        data = vendor_data_;
        return STATUS_SUCCESS;
    }
    return STATUS_UNSUCCESSFUL;
}

void CdcFunction::stall_control(uint8_t request_type, uint8_t request)
{
    auto lk = lock();
    stalled_controls_.insert({request_type, request});
}

Bytes CdcFunction::vendor_data() const
{
    auto lk = lock();
    return vendor_data_;
}

// The communication interface's answer to a class request.
NTSTATUS CdcFunction::class_request(const DC_CONTROL_RECORD& setup, Bytes& data)
{
    constexpr NTSTATUS kStall = STATUS_UNSUCCESSFUL;
    const bool in = (setup.bmRequestType & 0x80) != 0;
    const uint8_t expected_type = in ? CDC_REQUEST_INTERFACE_TO_HOST : CDC_REQUEST_HOST_TO_INTERFACE;
    if (setup.bmRequestType != expected_type || setup.wIndex != config_.comm_interface)
        return kStall;
    const uint8_t acm = config_.acm.value_or(0);
    const bool line_requests = (acm & CDC_ACM_LINE_CODING) != 0;

    switch (setup.bRequest) {
    case CDC_SEND_ENCAPSULATED_COMMAND: {
        if (in)
            return kStall;
        commands_.push_back(data);
        std::optional<Bytes> reply;
        if (responder_)
            reply = responder_(data);
        else if (behaviour_)
            reply = behaviour_->encapsulated_command(device_, data);
        if (reply)
            queue_response_locked(std::move(*reply));
        return STATUS_SUCCESS;
    }
    case CDC_GET_ENCAPSULATED_RESPONSE:
        if (!in)
            return kStall;
        data.clear();
        if (!responses_.empty()) {
            data = std::move(responses_.front());
            responses_.pop_front();
        }
        return STATUS_SUCCESS;
    case CDC_SET_LINE_CODING:
        if (in || !line_requests || data.size() != CDC_LINE_CODING_SIZE)
            return kStall;
        line_coding_ = LineCoding::from_bytes(data);
        for_behaviour([&](Behaviour& b) { b.line_coding(device_, line_coding_); });
        return STATUS_SUCCESS;
    case CDC_GET_LINE_CODING:
        if (!in || !line_requests)
            return kStall;
        data = line_coding_.bytes();
        return STATUS_SUCCESS;
    case CDC_SET_CONTROL_LINE_STATE:
        if (in || !line_requests)
            return kStall;
        control_lines_ = setup.wValue;
        for_behaviour([&](Behaviour& b) { b.control_lines(device_, control_lines_); });
        return STATUS_SUCCESS;
    case CDC_SEND_BREAK:
        if (in || !(acm & CDC_ACM_SEND_BREAK))
            return kStall;
        set_break(setup.wValue);
        return STATUS_SUCCESS;
    default:
        return kStall;
    }
}

// wValue 0xFFFF: until stopped; 0: off; otherwise a break of that many milliseconds.
void CdcFunction::set_break(uint16_t duration)
{
    disarm(break_timer_);
    break_timer_ = 0;
    const bool on = duration != CDC_BREAK_OFF;
    if (duration != CDC_BREAK_OFF && duration != CDC_BREAK_UNTIL_STOPPED)
        break_timer_ = arm(host::now() + duration * host::kMillisecond, [this] {
            break_timer_ = 0;
            break_on_ = false;
            for_behaviour([&](Behaviour& b) { b.break_state(device_, false); });
        });
    if (on != break_on_) {
        break_on_ = on;
        for_behaviour([&](Behaviour& b) { b.break_state(device_, on); });
    }
}

// --- faults and removal ------------------------------------------------------

void CdcFunction::inject(Op op, const Fault& fault)
{
    auto lk = lock();
    faults_.arm(op, fault);
}

void CdcFunction::clear_faults()
{
    auto lk = lock();
    faults_.clear();
}

void CdcFunction::release_stalls()
{
    auto lk = lock();
    ++stall_generation_;
    in_.transfer.stalled = false;
    out_.transfer.stalled = false;
    pump();
    host::notify_all();
}

void CdcFunction::set_removal_handler(std::function<void()> handler)
{
    auto lk = lock();
    removal_handler_ = std::move(handler);
}

bool CdcFunction::present() const
{
    auto lk = lock();
    return present_;
}

void CdcFunction::surprise_remove()
{
    {
        auto lk = lock();
        remove_locked();
    }
    report_removal();
}

// The function is gone: every outstanding transfer ends, waiters wake up.
void CdcFunction::remove_locked()
{
    if (!present_)
        return;
    present_ = false;
    removal_due_ = true;
    disarm(frame_timer_);
    frame_timer_ = 0;
    for (Pipe* pipe : {&in_, &out_})
        if (pipe->state == PipeState::posted)
            finish(*pipe, STATUS_NO_SUCH_DEVICE, 0);
    host::notify_all();
}

// Tells the PnP side on a thread of its own, as a bus invalidates its
// relations: the caller may be a DPC.
void CdcFunction::report_removal()
{
    auto lk = lock();
    if (!removal_due_ || !removal_handler_)
        return;
    removal_due_ = false;
    std::function<void()> handler = removal_handler_;
    lk.unlock();
    host::Thread* t = host::spawn("bus removal", handler);
    lk.lock();
    threads_.push_back(t);
}

// --- selective suspend -------------------------------------------------------

void CdcFunction::suspend()
{
    for (DcChild* c : child_list())
        c->io_suspend();
    auto lk = lock();
    suspended_ = true;
    for (Pipe* pipe : {&in_, &out_})
        if (pipe->state == PipeState::posted)
            finish(*pipe, STATUS_POWER_STATE_INVALID, pipe->in ? pipe->transfer.done : 0);
}

void CdcFunction::resume()
{
    {
        auto lk = lock();
        if (!suspended_)
            return;
        suspended_ = false;
        resuming_ = true;
        pump();
        deliver_notifications();
    }
    for (DcChild* c : child_list())
        c->io_resume();
    auto lk = lock();
    resuming_ = false;
    host::notify_all();
}

bool CdcFunction::suspended() const
{
    auto lk = lock();
    return suspended_;
}

// device_wakeup: resume signalling takes `resume_latency` of host time, then
// the function is back and its drivers have been told; only then it returns.
void CdcFunction::wakeup()
{
    auto lk = lock();
    if (!present_ || (!suspended_ && !resuming_))
        return;
    if (suspended_ && !wakeup_started_) {
        wakeup_started_ = true;
        const host::Time due = host::now() + config_.resume_latency;
        lk.unlock();
        host::Thread* t = host::spawn("bus resume", [this, due] {
            {
                auto inner = lock();
                host::wait_until(inner, [this] { return !present_; }, due, "bus: resume signalling");
                wakeup_started_ = false;
            }
            resume();
        });
        lk.lock();
        threads_.push_back(t);
    }
    host::wait_until(lk, [this] { return !present_ || (!suspended_ && !resuming_); }, host::kForever,
                     "bus: device_wakeup");
}

}  // namespace bus
