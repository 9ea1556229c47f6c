// The function model's two bulk pipes: posting, packetisation, the checks
// of the driver's use of a transfer, aborts, and the completion context that
// calls the driver back.
#include "bus/cdc_function.h"

#include "host/kernel/pool.h"
#include "host/kernel/verifier.h"

#include <algorithm>
#include <utility>

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
    return in_.state == PipeState::posted && !in_.transfer.stalled && (zlp_due_ || !in_packets_.empty());
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
// The device decides on a zero-length packet when it puts a full packet on
// the bus with nothing queued behind it; that packet goes out next.
void CdcFunction::fill_in()
{
    Transfer& t = in_.transfer;
    if (std::exchange(zlp_due_, false)) {
        finish(in_, STATUS_SUCCESS, t.done);
        return;
    }
    const size_t size = in_packets_.front_size();
    const ULONG room = t.length - t.done;
    t.done += ULONG(in_packets_.take_front(t.buffer + t.done, room));
    zlp_due_ = config_.zero_length_packets && size == max_packet_size() && size <= room && in_packets_.empty();
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

}  // namespace bus
