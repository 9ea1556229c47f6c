// Every fault the simulated function can inject, on every bus operation the
// port uses while it carries data, at every call of that operation: a
// loopback session with reads, writes, a wait on events and controls
// pending. Whatever the fault, every request ends within its bound, the
// device received of each write exactly the bytes the write reported, the
// reads got a prefix of what came back, the verifier is silent, and the
// port opens again and moves data once the fault is cleared (unless the
// fault removed the function).
#include "tests/driver_data/data_fixture.h"

#include <cinttypes>

#ifndef BUS_FAULT_SEEDS
#define BUS_FAULT_SEEDS 1
#endif

namespace busfaults {
namespace {

using namespace datatest;

struct Injection {
    bus::Op op;
    const char* operation;   // as the function counts its calls
    const char* kind;
    bus::Fault fault;
};

// Each operation with the fault kinds it accepts (bus/faults.h).
std::vector<Injection> matrix()
{
    using bus::Fault;
    using bus::Op;
    const Fault fail = Fault::fail(STATUS_UNSUCCESSFUL);
    std::vector<Injection> list;
    for (auto [op, name] : { std::pair{ Op::data_in_post, "data_in_post" }, std::pair{ Op::data_out_post, "data_out_post" } }) {
        list.push_back({ op, name, "refuse", Fault::refuse() });
        list.push_back({ op, name, "fail", fail });
        list.push_back({ op, name, "zero bytes", Fault::zero_bytes() });
        list.push_back({ op, name, "stall", Fault::stall() });
        list.push_back({ op, name, "surprise remove", Fault::surprise_remove() });
    }
    // A short data-out transfer: the device took one byte of it.
    list.push_back({ Op::data_out_post, "data_out_post", "short", Fault::complete(STATUS_SUCCESS, 1) });
    list.push_back({ Op::control_request, "control_request", "fail", fail });
    list.push_back({ Op::control_request, "control_request", "zero bytes", Fault::zero_bytes() });
    list.push_back({ Op::control_request, "control_request", "stall", Fault::stall() });
    list.push_back({ Op::control_request, "control_request", "surprise remove", Fault::surprise_remove() });
    list.push_back({ Op::set_notify_cb, "cdc_set_notify_cb", "refuse", Fault::refuse() });
    list.push_back({ Op::data_abort, "data_abort", "ignore", Fault::ignore() });
    for (auto [op, name] : { std::pair{ Op::transport_enable, "dc_transport_enable" },
                             std::pair{ Op::transport_disable, "dc_transport_disable" },
                             std::pair{ Op::data_io_init, "cdc_data_io_init" },
                             std::pair{ Op::data_io_uninit, "cdc_data_io_uninit" },
                             std::pair{ Op::get_max_packet_size, "get_max_packet_size" } })
        list.push_back({ op, name, "fail", fail });
    return list;
}

// What one session left for the checks.
struct Session {
    bool opened = false;
    std::vector<std::unique_ptr<Io>> writes;
    std::vector<std::unique_ptr<Io>> reads;
    std::vector<std::unique_ptr<Io>> tail_reads;   // after the purge
    std::vector<std::unique_ptr<Io>> controls;
    std::unique_ptr<Io> wait;
};

class BusFaultTest : public DataTest {
protected:
    static constexpr size_t kWrites = 3, kWriteLength = 300, kReadLength = 200, kTailLength = 40;
    // A stalled endpoint answers again after this much host time, as a
    // device that recovers; requests held by it end then, or at their
    // time-outs, which come first.
    static constexpr LONGLONG kStallMs = 3000;
    static constexpr uint64_t kSeeds = BUS_FAULT_SEEDS;   // per fault and call
    static constexpr uint64_t kRemovalSeeds = 50;
    bool recovering_ = false;
    host::Thread* recovery_ = nullptr;

    std::unique_ptr<Io> control(DWORD code, std::string in)
    {
        auto io = std::make_unique<Io>();
        io->buffer = std::move(in);
        DeviceIoControl(handle(), code, io->buffer.data(), DWORD(io->buffer.size()), nullptr, 0, nullptr,
                        &io->overlapped);
        return io;
    }
    std::unique_ptr<Io> wait_on_events()
    {
        auto io = std::make_unique<Io>();
        io->buffer.assign(sizeof(DWORD), '\0');
        WaitCommEvent(handle(), reinterpret_cast<DWORD*>(io->buffer.data()), &io->overlapped);
        return io;
    }
    template <typename T>
    static std::string bytes_of(const T& value)
    {
        return std::string(reinterpret_cast<const char*>(&value), sizeof value);
    }

    // Open, configure, then reads, a wait, writes and line controls
    // outstanding at once, one read cancelled; purge, sleep and wake, close. The
    // controls run on a thread of their own, since a stalled control
    // endpoint holds its caller.
    Session session(uint64_t seed, const Injection* injection)
    {
        Session s;
        start(seed);
        fn_->set_removal_handler([this] { host_->surprise_remove(node_); });
        if (injection)
            fn_->inject(injection->op, injection->fault);
        recovering_ = true;
        recovery_ = host::spawn("recovery", [this] {
            while (recovering_) {
                sleep_ms(kStallMs);
                fn_->release_stalls();
            }
        });
        s.opened = PortClient::open();
        if (s.opened)
            run_io(s);
        close();
        host_->settle();
        fn_->settle();
        return s;
    }
    // The checks after a session close and open the port, which may meet
    // a stalled control endpoint too; the recovery runs until they are done.
    void end_session()
    {
        recovering_ = false;
        host::join(recovery_);
    }

    void run_io(Session& s)
    {
        SERIAL_TIMEOUTS timeouts{ 0, 0, 500, 0, 1000 };
        s.controls.push_back(control(IOCTL_SERIAL_SET_TIMEOUTS, bytes_of(timeouts)));
        ULONG mask = SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY;
        s.controls.push_back(control(IOCTL_SERIAL_SET_WAIT_MASK, bytes_of(mask)));
        for (auto& c : s.controls)
            wait(*c);
        for (int i = 0; i < 3; i++)
            s.reads.push_back(read(kReadLength));
        s.wait = wait_on_events();
        host::Thread* controls = host::spawn("controls", [&] {
            SERIAL_BAUD_RATE baud{ 115200 };
            SERIAL_LINE_CONTROL line{ STOP_BIT_1, NO_PARITY, 8 };
            for (auto& io : { control(IOCTL_SERIAL_SET_BAUD_RATE, bytes_of(baud)),
                              control(IOCTL_SERIAL_SET_LINE_CONTROL, bytes_of(line)),
                              control(IOCTL_SERIAL_SET_DTR, ""), control(IOCTL_SERIAL_CLR_RTS, "") })
                wait(*io);
        });
        for (size_t i = 0; i < kWrites; i++)
            s.writes.push_back(write(pattern(kWriteLength, i * kWriteLength)));
        cancel(*s.reads.back());
        host::join(controls);
        for (auto& w : s.writes)
            wait(*w);
        for (auto& r : s.reads)
            wait(*r);
        ULONG purge = SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR;
        s.controls.push_back(control(IOCTL_SERIAL_PURGE, bytes_of(purge)));
        wait(*s.controls.back());
        mask = 0;   // ends the wait on events, if nothing else did
        s.controls.push_back(control(IOCTL_SERIAL_SET_WAIT_MASK, bytes_of(mask)));
        wait(*s.controls.back());
        wait(*s.wait);
        sleep_and_wake(s);
    }

    // The system sleeps with a read pending and wakes; then a last write
    // and its echo.
    void sleep_and_wake(Session& s)
    {
        s.tail_reads.push_back(read(kReadLength));
        EXPECT_EQ(host_->sleep(host::io::SystemPower::S3), STATUS_SUCCESS);
        EXPECT_EQ(host_->wake(), STATUS_SUCCESS);
        fn_->settle();
        s.writes.push_back(write(pattern(kTailLength, kWrites * kWriteLength)));
        wait(*s.tail_reads.back());
        // What the device still held from before the purge, then the echo.
        for (int i = 0; i < 8 && s.tail_reads.back()->information() > 0; i++)
            s.tail_reads.push_back(read(kReadLength));
        for (auto& io : s.tail_reads)
            wait(*io);
        wait(*s.writes.back());
    }

    // The device received of each write, in order, exactly the bytes the
    // write reported; the reads got, in order, a prefix of what came back;
    // after the purge, bytes that came back.
    void expect_data_intact(const Session& s, const std::string& label)
    {
        std::string reported;
        for (const auto& w : s.writes)
            reported += w->buffer.substr(0, w->information());
        std::string results;
        for (const auto& w : s.writes)
            results += " " + w->result();
        EXPECT_EQ(first_difference(device_received(), reported), "") << label << ": data out, writes" << results;
        std::string got;
        for (const auto& r : s.reads)
            got += r->data();
        const std::string echoed = device_received();
        EXPECT_EQ(got, echoed.substr(0, got.size())) << label << ": data in is not a prefix of the echo";
        EXPECT_NE(echoed.find(tail_data(s)), std::string::npos) << label << ": data in after the purge not echoed";
        for (const auto& w : s.writes)
            EXPECT_LE(w->information(), w->buffer.size()) << label;
    }

    static std::string tail_data(const Session& s)
    {
        std::string got;
        for (const auto& r : s.tail_reads)
            got += r->data();
        return got;
    }

    // After a removal: the device went away once the handle closed, no
    // request or object is left behind.
    void expect_removed_cleanly(const std::string& label)
    {
        EXPECT_EQ(hung_requests(), 0) << label << ": a request never completed";
        // The function reports its removal from a thread of its own.
        for (int ms = 0; ms < 1000 && node_->state != host::io::NodeState::removed; ms++) {
            sleep_ms(1);
            host_->settle();
        }
        EXPECT_EQ(node_->state, host::io::NodeState::removed) << label;
        for (const auto& v : host::verifier_violations())
            ADD_FAILURE() << label << ": " << v.check << ": " << v.detail;
    }

    // How often the session calls each operation, without a fault.
    std::map<std::string, int> calls_without_fault()
    {
        session(1, nullptr);
        end_session();
        std::map<std::string, int> calls;
        for (const auto& i : matrix())
            calls[i.operation] = fn_->port().calls(i.operation);
        return calls;
    }
};

TEST_F(BusFaultTest, CleanSessionMovesEveryByteAndEndsEveryRequest)
{
    Session s = session(1, nullptr);
    ASSERT_TRUE(s.opened);
    for (const auto& w : s.writes)
        EXPECT_EQ(w->result(), outcome(STATUS_SUCCESS, w->buffer.size()));
    for (const auto& c : s.controls)
        EXPECT_EQ(c->status(), STATUS_SUCCESS);
    EXPECT_EQ(s.wait->status(), STATUS_SUCCESS);
    EXPECT_EQ(s.reads.back()->status(), STATUS_CANCELLED);
    const std::string tail = tail_data(s);
    EXPECT_EQ(tail.substr(tail.size() - std::min(tail.size(), size_t(kTailLength))), s.writes.back()->buffer);
    expect_data_intact(s, "no fault");
    expect_clean_end(1);
    end_session();
}

TEST_F(BusFaultTest, EveryFaultAtEveryCallOfEveryOperation)
{
    const std::map<std::string, int> calls = calls_without_fault();
    int runs = 0;
    for (const Injection& injection : matrix()) {
        const int count = calls.at(injection.operation);
        EXPECT_GT(count, 0) << injection.operation << " is never called in the session";
        for (int call = 1; call <= count; call++) {
            const std::string label = std::string(injection.kind) + " at " + injection.operation + " call " +
                                      std::to_string(call);
            Injection at_call = injection;
            at_call.fault = injection.fault.after(call - 1);
            seeds::run(kSeeds, [&](uint64_t seed) {
                SCOPED_TRACE(label + ", seed " + std::to_string(seed));
                Session s = session(seed, &at_call);
                runs++;
                expect_data_intact(s, label);
                if (!fn_->present())
                    expect_removed_cleanly(label);
                else
                    expect_clean_end(seed);
                end_session();
            });
            if (HasFailure())
                return;
        }
    }
    std::printf("%d faulted sessions\n", runs);
}

// The function goes while the system goes to sleep with writes queued and
// one posted: whichever of the transfer's end, the queue's stop for the
// sleep and the removal comes first, every request ends and none is left
// to the removal.
TEST_F(BusFaultTest, SurpriseRemovalAsTheSystemSleepsEndsEveryRequest)
{
    seeds::run(kRemovalSeeds, [&](uint64_t seed) {
        start(seed);
        fn_->set_removal_handler([this] { host_->surprise_remove(node_); });
        open();
        EXPECT_TRUE(set_timeouts(MAXULONG, MAXULONG, 50));
        std::vector<std::unique_ptr<Io>> requests;
        for (int i = 0; i < 80; i++)
            requests.push_back(write(pattern(1000)));
        requests.push_back(read(100));
        sleep_ms(seed % 5);
        host::Thread* sleeper = host::spawn("sleeper", [&] {
            host_->sleep(host::io::SystemPower::S3);
            sleep_ms(5);
            host_->wake();
        });
        sleep_for(host::Time(seed % 11) * host::kMillisecond / 2);
        fn_->surprise_remove();
        for (auto& io : requests)
            wait(*io);
        close();
        host::join(sleeper);
        host_->settle();
        EXPECT_EQ(hung_requests(), 0) << "seed " << seed;
        expect_verifier_silent(seed);
    });
}

}  // namespace
}  // namespace busfaults
