// The function model: class requests kept by the device, the two bulk pipes
// with packetisation and the timing model, notifications, the completion
// context, faults, removal and selective suspend.
#include "bus/cdc_function.h"

#include "common/cdc_protocol.h"
#include "host/kernel/pool.h"
#include "host/kernel/verifier.h"

#include <algorithm>
#include <stdexcept>

namespace bus {

namespace {

// Trims a log to its last `n` entries once it has twice as many, so that the
// trimming costs O(1) per entry.
template <typename T>
void keep_last(std::vector<T>& log, size_t n)
{
    if (log.size() > 2 * n)
        log.erase(log.begin(), log.end() - std::ptrdiff_t(n));
}

bool ranges_overlap(const uint8_t* a, ULONG a_len, const uint8_t* b, ULONG b_len)
{
    return a_len && b_len && a < b + b_len && b < a + a_len;
}

}  // namespace

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

// --- timers ------------------------------------------------------------------

host::TimerHandle CdcFunction::arm(host::Time due, std::function<void()> fire)
{
    auto handle = std::make_shared<host::TimerHandle>(0);
    *handle = host::timer_arm(held(), due, [this, handle, fire = std::move(fire)] {
        timers_.erase(*handle);
        fire();
    });
    timers_.insert(*handle);
    return *handle;
}

void CdcFunction::disarm(host::TimerHandle timer)
{
    if (timers_.erase(timer))
        host::timer_disarm(held(), timer);
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

// --- data pipes --------------------------------------------------------------

BOOLEAN CdcFunction::post(DcChild& child, Pipe& pipe, PVOID buffer, ULONG length, PDC_TRANSFER_COMPLETE routine,
                          PVOID context)
{
    const char* op = pipe.in ? "data_in_post" : "data_out_post";
    if (!routine || (!buffer && length)) {
        host::verifier_report("bus-invalid-post", std::string(op) + " without a completion routine or buffer");
        return FALSE;
    }
    if (pipe.state != PipeState::idle) {
        host::verifier_report(pipe.in ? "bus-second-data-in" : "bus-second-data-out",
                              std::string(op) + " while a transfer of that direction is outstanding");
        return FALSE;
    }
    if (!present_ || child.removed_)
        return FALSE;
    const bool open = pipe.in ? child.data_in_open_ : child.data_out_open_;
    if (!child.transport_ || !open) {
        host::verifier_report("bus-transfer-while-disabled",
                              std::string(op) + (child.transport_ ? " before cdc_data_io_init opened the pipe"
                                                                   : " while the transport is disabled"));
        return FALSE;
    }
    auto* bytes = static_cast<uint8_t*>(buffer);
    const Pipe& other = pipe.in ? out_ : in_;
    if (other.state == PipeState::posted &&
        ranges_overlap(bytes, length, other.transfer.buffer, other.transfer.length))
        host::verifier_report("bus-buffer-overlap", std::string(op) + " buffer overlaps the outstanding transfer");

    auto fault = faults_.take(pipe.in ? Op::data_in_post : Op::data_out_post);
    if (fault && fault->kind == Fault::Kind::refuse)
        return FALSE;

    pipe.state = PipeState::posted;
    pipe.transfer = Transfer{};
    pipe.transfer.buffer = bytes;
    pipe.transfer.length = length;
    pipe.transfer.routine = routine;
    pipe.transfer.context = context;
    if (!pipe.in) {
        pipe.snapshot.assign(bytes, bytes + length);
        pipe.transfer.packets_left = std::max<ULONG>(1, (length + max_packet_size() - 1) / max_packet_size());
        watch_out_buffer(bytes, length);
    }
    if (suspended_) {
        finish(pipe, STATUS_POWER_STATE_INVALID, 0);
        return TRUE;
    }
    if (fault) {
        switch (fault->kind) {
        case Fault::Kind::stall:
            pipe.transfer.stalled = true;
            return TRUE;
        case Fault::Kind::surprise_remove:
            remove_locked();
            return TRUE;
        case Fault::Kind::complete:
            complete_forced(pipe, fault->status, std::min(fault->bytes, length));
            return TRUE;
        default:
            complete_forced(pipe, fault->status, 0);
            return TRUE;
        }
    }
    pump();
    return TRUE;
}

// A transfer ended by a fault: a data-in transfer gets what the device has
// (zero-filled beyond it), the device receives the first bytes of a data-out one.
void CdcFunction::complete_forced(Pipe& pipe, NTSTATUS status, ULONG bytes)
{
    Transfer& t = pipe.transfer;
    if (pipe.in) {
        std::fill(t.buffer, t.buffer + bytes, 0);
        for (ULONG at = 0; at < bytes && !in_packets_.empty();)
            at += ULONG(in_packets_.take_front(t.buffer + at, bytes - at));
        finish(pipe, status, bytes);
        return;
    }
    finish(pipe, status, bytes);
    if (bytes) {
        pipe.snapshot.resize(bytes);
        deliver_out(pipe);
    }
}

void CdcFunction::abort(Pipe& pipe)
{
    if (auto fault = faults_.take(Op::data_abort); fault && fault->kind == Fault::Kind::ignore)
        return;
    if (pipe.state == PipeState::posted)
        finish(pipe, STATUS_CANCELLED, pipe.in ? pipe.transfer.done : 0);
}

// Data I/O uninit and transport disable close the pipes the child had open.
void CdcFunction::close_pipes(DcChild& child)
{
    if (child.data_in_open_ && in_.state == PipeState::posted)
        finish(in_, STATUS_CANCELLED, in_.transfer.done);
    if (child.data_out_open_ && out_.state == PipeState::posted)
        finish(out_, STATUS_CANCELLED, 0);
}

bool CdcFunction::in_ready() const
{
    return in_.state == PipeState::posted && !in_.transfer.stalled && !in_packets_.empty();
}

// A transfer under way is taken whole; a new one waits while the device's
// queue to the host is full.
bool CdcFunction::out_ready() const
{
    const Transfer& t = out_.transfer;
    const bool started = t.packets_left < std::max<ULONG>(1, (t.length + max_packet_size() - 1) / max_packet_size());
    return out_.state == PipeState::posted && !t.stalled && (started || in_packets_.bytes() < kDeviceBuffer);
}

void CdcFunction::pump()
{
    if (!present_ || suspended_)
        return;
    if (timing_.enabled) {
        schedule_frame();
        return;
    }
    while (in_ready())
        fill_in();
    if (out_ready()) {
        finish(out_, STATUS_SUCCESS, out_.transfer.length);
        deliver_out(out_);
    }
}

// Moves one packet into the data-in transfer. A transfer ends when it is
// full or with a short packet; a packet larger than the room left is babble.
void CdcFunction::fill_in()
{
    Transfer& t = in_.transfer;
    const size_t size = in_packets_.front_size();
    const ULONG room = t.length - t.done;
    t.done += ULONG(in_packets_.take_front(t.buffer + t.done, room));
    if (size > room) {
        in_packets_.drop_front();
        finish(in_, STATUS_BUFFER_OVERFLOW, t.done);
    } else if (t.done == t.length || size < max_packet_size()) {
        finish(in_, STATUS_SUCCESS, t.done);
    }
}

void CdcFunction::move_out_packet()
{
    Transfer& t = out_.transfer;
    if (--t.packets_left == 0) {
        finish(out_, STATUS_SUCCESS, t.length);
        deliver_out(out_);
    }
}

// The device takes the bytes of a data-out transfer whose completion is
// queued (so that what the firmware sends back cannot run into it again).
// They must still be what the driver posted: the buffer belongs to the
// transfer until the completion has run.
void CdcFunction::deliver_out(Pipe& pipe)
{
    const Bytes& bytes = pipe.snapshot;
    if (host::pool_range_freed(pipe.transfer.buffer, pipe.transfer.length)) {
        host::verifier_report("bus-freed-buffer", "data-out transfer reads a buffer that was freed while it was posted");
        return;
    }
    if (!std::equal(bytes.begin(), bytes.end(), pipe.transfer.buffer))
        host::verifier_report("bus-buffer-touched", "data-out buffer changed while its transfer was posted");
    received_.insert(received_.end(), bytes.begin(), bytes.end());
    keep_last(received_, kLogLimit);
    for_behaviour([&](Behaviour& b) { b.host_data(device_, bytes); });
}

void CdcFunction::finish(Pipe& pipe, NTSTATUS status, ULONG bytes)
{
    Transfer& t = pipe.transfer;
    pipe.state = PipeState::completing;
    transfers_.push_back({pipe.in, t.length, status, bytes});
    keep_last(transfers_, kLogLimit);
    Completion c;
    c.pipe = &pipe;
    c.routine = t.routine;
    c.context = t.context;
    c.status = status;
    c.bytes = bytes;
    if (timing_.enabled && timing_.turnaround > 0) {
        ++turnarounds_;
        arm(host::now() + timing_.turnaround, [this, c] {
            --turnarounds_;
            queue_completion(c);
        });
        return;
    }
    queue_completion(std::move(c));
}

// From the post until its completion routine is called, a data-out
// transfer's buffer is the bus's: the driver may not complete the write, and
// so free the buffer, before then.
void CdcFunction::watch_out_buffer(const uint8_t* buffer, ULONG length)
{
    unwatch_out_buffer();
    if (!length)
        return;
    host::pool_watch(buffer, length, "a data-out transfer posted at the bus");
    out_watched_ = buffer;
}

void CdcFunction::unwatch_out_buffer()
{
    if (out_watched_)
        host::pool_unwatch(out_watched_);
    out_watched_ = nullptr;
}

// --- timing model ------------------------------------------------------------

void CdcFunction::set_timing(const Timing& timing)
{
    auto lk = lock();
    timing_ = timing;
    pump();
}

void CdcFunction::schedule_frame()
{
    if (frame_timer_ || !(in_ready() || out_ready()))
        return;
    const host::Time next = (host::now() / timing_.frame + 1) * timing_.frame;
    frame_timer_ = arm(next, [this] { on_frame(); });
}

// One (micro)frame: its bulk packets go to the directions in turn.
void CdcFunction::on_frame()
{
    frame_timer_ = 0;
    if (!present_ || suspended_)
        return;
    for (unsigned budget = timing_.packets_per_frame; budget > 0 && (in_ready() || out_ready()); --budget) {
        const bool take_in = in_ready() && (in_first_ || !out_ready());
        if (take_in)
            fill_in();
        else
            move_out_packet();
        in_first_ = !take_in;
    }
    schedule_frame();
}

// --- completion context ------------------------------------------------------

void CdcFunction::queue_completion(Completion c)
{
    completions_.push_back(std::move(c));
    host::dpc_queue(held(), &completion_dpc_);
}

// The DPC that calls the driver back, one completion at a time and in order.
void CdcFunction::run_completions()
{
    auto lk = lock();
    if (draining_)
        return;
    draining_ = true;
    while (!completions_.empty()) {
        Completion c = std::move(completions_.front());
        completions_.pop_front();
        if (c.pipe) {
            if (c.pipe == &out_)
                unwatch_out_buffer();
            c.pipe->state = PipeState::idle;
            c.pipe->transfer = {};
            lk.unlock();
            c.routine(c.context, c.status, c.bytes);
            lk.lock();
            continue;
        }
        DcChild& child = *c.child;
        PDC_NOTIFY_CALLBACK callback = child.notify_;
        WDFDEVICE device = child.notify_device_;
        if (!callback || child.removed_)
            continue;   // withdrawn meanwhile: the packet is lost, as on the wire
        // The interrupt transfer's buffer is a whole endpoint packet, whatever arrived.
        Bytes buffer = c.packet;
        buffer.resize(std::max<size_t>(buffer.size(), kInterruptPacketSize));
        lk.unlock();
        const BOOLEAN taken = callback(device, buffer.data(), ULONG(c.packet.size()));
        lk.lock();
        notifications_.push_back({child.kind_, std::move(c.packet), taken != FALSE});
    }
    draining_ = false;
    host::notify_all();
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
