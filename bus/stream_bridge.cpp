// The bridge between the simulated function and an outside byte stream.
#include "bus/behaviours.h"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

#include <utility>

namespace bus {

StreamBridge::StreamBridge(int in_fd, int out_fd, host::Time poll) : in_fd_(in_fd), out_fd_(out_fd), poll_(poll) {}

StreamBridge::~StreamBridge() { stop(); }

void StreamBridge::attached(DeviceSide& d) { device_ = &d; }

void StreamBridge::start()
{
    if (thread_)
        return;
    {
        auto lk = host::sched_lock();
        stopping_ = false;
    }
    thread_ = host::spawn("bus stream bridge", [this] { poll_loop(); });
}

// Without a scheduler the thread is already gone: it ended with the scheduler.
void StreamBridge::stop()
{
    if (!thread_)
        return;
    if (!host::sched_running()) {
        thread_ = nullptr;
        return;
    }
    {
        auto lk = host::sched_lock();
        stopping_ = true;
        host::notify_all();
    }
    host::join(std::exchange(thread_, nullptr));
}

// Reads what the stream has without blocking the host, then sleeps one poll
// period of host time.
void StreamBridge::poll_loop()
{
    uint8_t buffer[4096];
    for (;;) {
        pollfd p{in_fd_, POLLIN, 0};
        ssize_t n = 0;
        if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLIN | POLLHUP)))
            n = ::read(in_fd_, buffer, sizeof buffer);
        auto lk = host::sched_lock();
        if (n > 0 && device_)
            device_->send(std::span<const uint8_t>(buffer, size_t(n)));
        flush_out();
        if (n > 0)
            continue;
        host::wait_until(lk, [this] { return stopping_; }, host::now() + poll_, "stream bridge poll");
        if (stopping_)
            return;
    }
}

void StreamBridge::host_data(DeviceSide& /*d*/, std::span<const uint8_t> bytes)
{
    out_pending_.insert(out_pending_.end(), bytes.begin(), bytes.end());
    flush_out();
}

// Writes what the stream takes now; the rest waits for the next poll.
void StreamBridge::flush_out()
{
    while (!out_pending_.empty()) {
        pollfd p{out_fd_, POLLOUT, 0};
        if (::poll(&p, 1, 0) <= 0)
            return;
        const ssize_t n = ::write(out_fd_, out_pending_.data(), out_pending_.size());
        if (n <= 0)
            return;
        out_pending_.erase(out_pending_.begin(), out_pending_.begin() + n);
    }
}

}  // namespace bus
