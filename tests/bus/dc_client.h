// A small function driver for the bus tests: binds to a child through its
// DC Enumerator interface and drives it the way the serial driver does,
// recording every completion and notification under the scheduler lock.
#pragma once

#include "bus/cdc_function.h"
#include "host/kernel/sched.h"
#include "host/kernel/verifier.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <vector>

namespace bus_test {

using bus::Bytes;

struct Completion {
    NTSTATUS status = STATUS_SUCCESS;
    ULONG bytes = 0;
    Bytes data;               // data-in: the bytes delivered
    uint8_t irql = 0;         // IRQL the routine ran at
    bool inside_post = false;   // ran inside a post call of its own thread
};

class DcClient {
public:
    explicit DcClient(bus::DcChild& child) : child_(child)
    {
        const NTSTATUS status = child.query_interface(GUID_DC_ENUMERATOR_INTERFACE, sizeof ifc, 1,
                                                      reinterpret_cast<PINTERFACE>(&ifc), (PVOID) "2.1.5.48");
        EXPECT_EQ(status, STATUS_SUCCESS);
    }
    // No completion may reach a client that is gone.
    ~DcClient()
    {
        stop_streaming();
        child_.function().settle();
        if (ifc.Context && !released_)
            ifc.InterfaceDereference(ifc.Context);
    }

    DC_ENUMERATOR_INTERFACE ifc{};
    PVOID ctx() const { return ifc.Context; }
    void release()
    {
        released_ = true;
        ifc.InterfaceDereference(ifc.Context);
    }

    // I/O start and stop in the driver's order.
    void start(bool data = true)
    {
        ASSERT_EQ(ifc.dc_transport_enable(ctx()), STATUS_SUCCESS);
        if (data) {
            ASSERT_EQ(ifc.cdc_data_io_init(ctx(), 1, 1), STATUS_SUCCESS);
        }
        ASSERT_TRUE(ifc.cdc_set_notify_cb(ctx(), reinterpret_cast<WDFDEVICE>(this), on_notify));
    }
    void stop()
    {
        ifc.cdc_set_notify_cb(ctx(), nullptr, nullptr);
        ifc.cdc_data_io_uninit(ctx());
        ifc.dc_transport_disable(ctx());
    }

    // Data in, into the client's own buffer; `stream` re-posts from the
    // completion routine, as the driver's continuous read does.
    BOOLEAN post_in(ULONG length, bool stream = false)
    {
        {
            auto lk = host::sched_lock();
            in_buffer_.assign(length, 0xCC);
            in_length_ = length;
            streaming_ = stream;
        }
        return posting([&] { return ifc.data_in_post(ctx(), in_buffer_.data(), length, on_in, this, 0, 0); });
    }
    BOOLEAN post_out(Bytes bytes)
    {
        {
            auto lk = host::sched_lock();
            out_buffer_ = std::move(bytes);
        }
        return posting(
            [&] { return ifc.data_out_post(ctx(), out_buffer_.data(), ULONG(out_buffer_.size()), on_out, this, 0, 0); });
    }
    uint8_t* out_buffer() { return out_buffer_.data(); }
    // Ends a stream; a repost already under way is waited for.
    void stop_streaming()
    {
        auto lk = host::sched_lock();
        streaming_ = false;
        host::wait_until(lk, [this] { return !reposting_; }, host::kForever, "test client repost");
    }

    // What the client has seen, kept under the scheduler lock.
    struct Records {
        std::vector<Completion> ins;
        std::vector<Completion> outs;
        Bytes in_data;   // everything data-in delivered, in order
        std::vector<Bytes> notifications;
    };
    Records records() const
    {
        auto lk = host::sched_lock();
        return rec_;
    }
    std::vector<Completion> ins() const { return records().ins; }
    std::vector<Completion> outs() const { return records().outs; }
    Bytes in_data() const { return records().in_data; }
    std::vector<Bytes> notifications() const { return records().notifications; }
    void accept_notifications(bool accept) { accept_ = accept; }

    // Waits in host time for a condition on the records (evaluated under the lock).
    bool wait(const std::function<bool(const Records&)>& ready, host::Time timeout = host::kSecond)
    {
        auto lk = host::sched_lock();
        return host::wait_until(lk, [&] { return ready(rec_); }, host::now() + timeout, "test client");
    }
    bool wait_ins(size_t n, host::Time timeout = host::kSecond)
    {
        return wait([n](const Records& r) { return r.ins.size() >= n; }, timeout);
    }
    bool wait_outs(size_t n, host::Time timeout = host::kSecond)
    {
        return wait([n](const Records& r) { return r.outs.size() >= n; }, timeout);
    }
    bool wait_in_bytes(size_t n, host::Time timeout = host::kSecond)
    {
        return wait([n](const Records& r) { return r.in_data.size() >= n; }, timeout);
    }
    bool wait_notifications(size_t n, host::Time timeout = host::kSecond)
    {
        return wait([n](const Records& r) { return r.notifications.size() >= n; }, timeout);
    }

private:
    // Marks the calling thread as inside a post while `post` runs.
    static BOOLEAN posting(const std::function<BOOLEAN()>& post)
    {
        ++in_post_;
        const BOOLEAN posted = post();
        --in_post_;
        return posted;
    }
    static Completion make(NTSTATUS status, ULONG bytes, const DcClient*)
    {
        return {status, bytes, {}, host::current_irql(), in_post_ > 0};
    }
    static VOID on_in(PVOID context, NTSTATUS status, ULONG bytes)
    {
        auto* c = static_cast<DcClient*>(context);
        bool repost = false;
        ULONG length = 0;
        {
            auto lk = host::sched_lock();
            Completion done = make(status, bytes, c);
            done.data.assign(c->in_buffer_.begin(), c->in_buffer_.begin() + std::min(bytes, c->in_length_));
            c->rec_.in_data.insert(c->rec_.in_data.end(), done.data.begin(), done.data.end());
            c->rec_.ins.push_back(std::move(done));
            repost = c->streaming_ && NT_SUCCESS(status);
            c->reposting_ = repost;
            length = c->in_length_;
            host::notify_all();
        }
        if (!repost)
            return;
        posting([&] { return c->ifc.data_in_post(c->ctx(), c->in_buffer_.data(), length, on_in, c, 0, 0); });
        auto lk = host::sched_lock();
        c->reposting_ = false;
        host::notify_all();
    }
    static VOID on_out(PVOID context, NTSTATUS status, ULONG bytes)
    {
        auto* c = static_cast<DcClient*>(context);
        auto lk = host::sched_lock();
        c->rec_.outs.push_back(make(status, bytes, c));
        host::notify_all();
    }
    static BOOLEAN on_notify(WDFDEVICE device, PUCHAR packet, ULONG length)
    {
        auto* c = reinterpret_cast<DcClient*>(device);
        auto lk = host::sched_lock();
        c->rec_.notifications.emplace_back(packet, packet + length);
        host::notify_all();
        return c->accept_;
    }

    bus::DcChild& child_;
    bool released_ = false;
    Bytes in_buffer_;
    ULONG in_length_ = 0;
    bool streaming_ = false;
    bool reposting_ = false;
    Bytes out_buffer_;
    static inline thread_local int in_post_ = 0;
    Records rec_;
    bool accept_ = true;
};

// Each test gets a fresh controlled scheduler; the verifier stops the run on
// any violation unless a test records them.
// BUS_TEST_SEED picks another schedule for a whole run.
class BusTest : public ::testing::Test {
protected:
    BusTest()
    {
        host::verifier_reset();
        const char* seed = std::getenv("BUS_TEST_SEED");
        host::sched_start({host::Mode::controlled, seed ? std::strtoull(seed, nullptr, 10) : 1});
    }
    ~BusTest() override
    {
        clients_.clear();
        functions_.clear();
        host::sched_stop();
        host::verifier_reset();
    }
    bus::CdcFunction& make_function(bus::FunctionConfig config = {})
    {
        functions_.push_back(std::make_unique<bus::CdcFunction>(std::move(config)));
        return *functions_.back();
    }
    DcClient& bind(bus::DcChild& child)
    {
        clients_.push_back(std::make_unique<DcClient>(child));
        return *clients_.back();
    }
    // A function with its port bound and started.
    DcClient& started_port(bus::CdcFunction& fn)
    {
        DcClient& c = bind(fn.port());
        c.start();
        return c;
    }

private:
    std::vector<std::unique_ptr<bus::CdcFunction>> functions_;
    std::vector<std::unique_ptr<DcClient>> clients_;
};

inline Bytes pattern(size_t n, uint8_t seed = 0)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = uint8_t(seed + i * 7);
    return b;
}

}  // namespace bus_test
