// Several ports on real threads (free mode) for a bounded time: each carries
// a checksummed stream of numbered frames from a writer through its
// loopback function to a reader, while other threads change settings, wait
// for events, purge, cancel, close and reopen, put the system to sleep and
// wake it, and surprise-remove and replug the functions. The reader checks
// that every frame arrives once and in order and that frames go missing
// only at a cut of the stream (stream_frames.h); once the chaos stops, a
// last run of frames must arrive whole. ACM_SOAK_SECONDS sets the time
// (default 30); scripts/soak.sh runs it for longer under the sanitizers.
#include "stream_frames.h"

#include "acm_serial.h"

#include "bus/behaviours.h"
#include "bus/cdc_function.h"
#include "host/host.h"
#include "host/kernel/verifier.h"
#include "tests/support/port_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <string>
#include <vector>

namespace soak {
namespace {

using porttest::sleep_ms;

constexpr int kPorts = 3;
constexpr DWORD kRequestLimitMs = 30'000;   // a request pending longer is hung

int soak_seconds()
{
    const char* text = std::getenv("ACM_SOAK_SECONDS");
    const int seconds = text ? std::atoi(text) : 30;
    return seconds > 0 ? seconds : 30;
}

// One overlapped request whose storage outlives a hung request.
struct Request {
    OVERLAPPED overlapped{};
    std::string buffer;
    DWORD code = 0;
};

// One port: its function, device node and handle, the gate that keeps the
// handle valid while requests use it, and the stream's cut clock.
struct Port {
    int index = 0;
    std::unique_ptr<bus::CdcFunction> fn;
    host::io::DeviceNode* node = nullptr;
    HANDLE handle = INVALID_HANDLE_VALUE;

    // Requests hold the gate shared from issue to end; closing, reopening
    // and replugging hold it alone. A thread that wants it alone raises
    // `closing` so that no new request starts meanwhile.
    std::shared_mutex gate;
    std::atomic<int> closing{ 0 };

    std::atomic<uint32_t> cuts_begun{ 0 }, cuts_ended{ 0 };
    std::atomic<uint32_t> next_seq{ 0 };
    std::atomic<bool> writing{ true };
    std::atomic<int64_t> last_seen{ -1 };   // the reader's last good frame, for the main thread

    // \\.\COM5 and on; wide strings here are of the Windows width.
    const wchar_t* path() const
    {
        static const wchar_t* const kPaths[] = { L"\\\\.\\COM5", L"\\\\.\\COM6", L"\\\\.\\COM7" };
        return kPaths[index];
    }
    void cut_begin() { cuts_begun++; }
    void cut_end() { cuts_ended++; }
};

class SoakTest : public ::testing::Test {
protected:
    ~SoakTest() override
    {
        for (auto& p : ports_)
            if (p->handle != INVALID_HANDLE_VALUE)
                CloseHandle(p->handle);
        host_.reset();   // the functions outlive the devices bound to them
        ports_.clear();
        removed_.clear();
    }

    bus::FunctionConfig config(int index) const
    {
        bus::FunctionConfig c;
        const std::u16string n = u"COM" + to_u16(5 + index);
        c.port.instance_path = u"USB\\VID_1234&PID_000" + to_u16(1 + index) + u"&MI_00\\7&1&0";
        c.port.hardware_id = u"USB\\VID_1234&PID_000" + to_u16(1 + index) + u"&MI_00";
        c.port.friendly_name = u"ACM Serial Port (" + n + u")";
        c.port.pdo_name = u"\\Device\\USBPDO-" + to_u16(5 + index);
        c.port_name = n;
        c.ui_number = ULONG(5 + index);
        return c;
    }
    static std::u16string to_u16(int v)
    {
        std::u16string s;
        for (char ch : std::to_string(v))
            s.push_back(char16_t(ch));
        return s;
    }

    void fail(const std::string& what)
    {
        std::lock_guard guard(errors_lock_);
        std::fprintf(stderr, "soak: %s\n", what.c_str());
        errors_.push_back(what);
    }
    bool failed()
    {
        std::lock_guard guard(errors_lock_);
        return !errors_.empty();
    }

    // The port's function, plugged; its removal reports itself to PnP.
    bool plug(Port& p)
    {
        p.fn = std::make_unique<bus::CdcFunction>(config(p.index));
        p.fn->set_behaviour(std::make_shared<bus::Loopback>());
        p.fn->set_removal_handler([this, &p, node = &p.node] { host_->surprise_remove(*node); });
        p.node = host_->plug(p.fn->port().description());
        return p.node != nullptr;
    }

    // Reads return what came within 50 ms; writes have no time-out.
    bool open(Port& p)
    {
        p.handle = CreateFileW(p.path(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
        if (p.handle == INVALID_HANDLE_VALUE)
            return false;
        COMMTIMEOUTS timeouts{ MAXULONG, MAXULONG, 50, 0, 0 };
        return SetCommTimeouts(p.handle, &timeouts);
    }

    // Runs `issue(handle, overlapped)` with the gate held shared and waits
    // for its end; false when the port is closed or closing. A hung request
    // is reported and its storage kept.
    // Waits longer than `patience_ms` cancel the request.
    template <typename Issue>
    bool run_request(Port& p, Request& r, Issue issue, DWORD* bytes, DWORD patience_ms = kRequestLimitMs)
    {
        if (p.closing)
            return false;
        std::shared_lock shared(p.gate);
        if (p.handle == INVALID_HANDLE_VALUE)
            return false;
        r.overlapped = OVERLAPPED{};
        issue(p.handle, &r.overlapped);
        if (!GetOverlappedResultEx(p.handle, &r.overlapped, bytes, patience_ms, FALSE) &&
            GetLastError() == WAIT_TIMEOUT)
            CancelIoEx(p.handle, &r.overlapped);
        if (!GetOverlappedResultEx(p.handle, &r.overlapped, bytes, kRequestLimitMs, FALSE) &&
            GetLastError() == WAIT_TIMEOUT) {
            fail("COM" + std::to_string(5 + p.index) + ": a request hung, code " + std::to_string(r.code));
            static std::mutex kept_lock;
            static std::vector<std::shared_ptr<Request>> kept;
            std::lock_guard guard(kept_lock);
            kept.push_back(std::make_shared<Request>(r));   // the driver may still write into it
            return false;
        }
        *bytes = DWORD(r.overlapped.InternalHigh);
        return NT_SUCCESS(NTSTATUS(r.overlapped.Internal));
    }

    // --- the stream ---------------------------------------------------------

    void writer(Port& p)
    {
        Request r;
        r.code = 1;
        while (p.writing) {
            const uint32_t begun = p.cuts_begun.load(), ended = p.cuts_ended.load();
            r.buffer.clear();
            while (r.buffer.size() < 1000)
                r.buffer += encode(Frame{ p.next_seq++, begun, begun != ended });
            DWORD bytes = 0;
            if (!run_request(p, r, [&](HANDLE h, OVERLAPPED* o) { WriteFile(h, r.buffer.data(), DWORD(r.buffer.size()), nullptr, o); }, &bytes) &&
                p.closing)
                sleep_ms(1);
        }
    }

    void reader(Port& p, StreamCheck& check, std::atomic<bool>& reading)
    {
        Request r;
        r.code = 2;
        r.buffer.resize(4096);
        while (reading) {
            DWORD bytes = 0;
            const bool ok = run_request(p, r, [&](HANDLE h, OVERLAPPED* o) { ReadFile(h, r.buffer.data(), DWORD(r.buffer.size()), nullptr, o); }, &bytes);
            if (!ok && bytes == 0) {
                if (p.closing || p.handle == INVALID_HANDLE_VALUE)
                    sleep_ms(1);
                continue;
            }
            check.feed(r.buffer.substr(0, bytes), p.cuts_begun.load());
            if (check.last_seq())
                p.last_seen = *check.last_seq();
        }
    }

    // --- the chaos ----------------------------------------------------------

    void waiter(Port& p)
    {
        Request r;
        r.code = 3;
        r.buffer.resize(sizeof(DWORD));
        while (!stop_) {
            DWORD bytes = 0;
            if (!run_request(p, r, [&](HANDLE h, OVERLAPPED* o) { WaitCommEvent(h, reinterpret_cast<DWORD*>(r.buffer.data()), o); }, &bytes, 200))
                sleep_ms(1);
        }
    }

    void with_handle(Port& p, const std::function<void(HANDLE)>& action)
    {
        if (p.closing)
            return;
        std::shared_lock shared(p.gate);
        if (p.handle != INVALID_HANDLE_VALUE)
            action(p.handle);
    }

    void change_settings(Port& p, std::mt19937& rng)
    {
        static constexpr DWORD kBauds[] = { 9600, 115200, 921600 };
        with_handle(p, [&](HANDLE h) {
            DCB dcb{};
            dcb.DCBlength = sizeof dcb;
            if (GetCommState(h, &dcb)) {
                dcb.BaudRate = kBauds[rng() % 3];
                SetCommState(h, &dcb);
            }
            SetCommMask(h, rng() % 2 ? EV_RXCHAR | EV_TXEMPTY : EV_TXEMPTY | EV_DSR);
            EscapeCommFunction(h, rng() % 2 ? SETRTS : CLRRTS);
            DWORD errors = 0, modem = 0;
            COMSTAT stat{};
            ClearCommError(h, &errors, &stat);
            GetCommModemStatus(h, &modem);
        });
    }

    void cut(Port& p, const std::function<void(HANDLE)>& action)
    {
        p.cut_begin();
        with_handle(p, action);
        p.cut_end();
    }

    // The port's handle alone: no new request starts, those pending are
    // cancelled. Only the port's chaos thread changes the handle, so it
    // may use it without the gate.
    std::unique_lock<std::shared_mutex> alone(Port& p)
    {
        p.closing++;
        std::unique_lock<std::shared_mutex> lock(p.gate, std::defer_lock);
        while (!lock.try_lock()) {
            if (p.handle != INVALID_HANDLE_VALUE)
                CancelIoEx(p.handle, nullptr);
            sleep_ms(1);
        }
        return lock;
    }
    void release(Port& p, std::unique_lock<std::shared_mutex>& lock)
    {
        lock.unlock();
        p.closing--;
    }

    // Close the handle, once its requests ended, and open again.
    void reopen(Port& p)
    {
        p.cut_begin();
        auto lock = alone(p);
        CloseHandle(p.handle);
        p.handle = INVALID_HANDLE_VALUE;
        if (!open(p))
            fail("COM" + std::to_string(5 + p.index) + " does not open again");
        release(p, lock);
        p.cut_end();
    }

    // The PnP manager changes a node's state under the scheduler lock.
    static bool removed(const Port& p)
    {
        auto lock = host::sched_lock();
        return p.node->state == host::io::NodeState::removed;
    }

    // The function disappears under I/O; once the application closed the
    // handle and the device is gone, a new function is plugged in.
    void remove_and_replug(Port& p)
    {
        p.cut_begin();
        p.fn->surprise_remove();
        auto lock = alone(p);
        {
            CloseHandle(p.handle);
            p.handle = INVALID_HANDLE_VALUE;
            for (int ms = 0; ms < 10'000 && !removed(p); ms++) {
                host_->settle();
                sleep_ms(1);
            }
            if (!removed(p))
                fail("COM" + std::to_string(5 + p.index) + " is not removed after its function went");
            {
                std::lock_guard guard(removed_lock_);   // every port's chaos thread adds to it
                removed_.push_back(std::move(p.fn));
            }
            if (!plug(p) || !open(p))
                fail("COM" + std::to_string(5 + p.index) + " does not come back after a replug");
        }
        release(p, lock);
        p.cut_end();
    }

    void chaos(Port& p, unsigned seed)
    {
        std::mt19937 rng(seed);
        while (!stop_) {
            sleep_ms(10 + rng() % 90);
            const unsigned pick = rng() % 100;
            if (pick < 40)
                change_settings(p, rng), counts_.settings++;
            else if (pick < 55)
                cut(p, [](HANDLE h) { PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_TXABORT); }),
                    counts_.purges++;
            else if (pick < 70)
                cut(p, [](HANDLE h) { CancelIoEx(h, nullptr); }), counts_.cancels++;
            else if (pick < 78)
                reopen(p), counts_.reopens++;
            else if (pick < 81)
                remove_and_replug(p), counts_.removals++;
        }
    }

    void sleeper()
    {
        std::mt19937 rng(7);
        while (!stop_) {
            sleep_ms(200 + rng() % 300);
            if (host_->sleep(host::io::SystemPower::S3) != STATUS_SUCCESS)
                fail("the system does not go to sleep");
            sleep_ms(1 + rng() % 20);   // not 0: a zero delay never returns in free mode
            if (host_->wake() != STATUS_SUCCESS)
                fail("the system does not wake");
            counts_.sleeps++;
        }
    }

    std::unique_ptr<host::Host> host_;
    std::vector<std::unique_ptr<Port>> ports_;
    std::mutex removed_lock_;
    std::vector<std::unique_ptr<bus::CdcFunction>> removed_;   // kept until the host goes
    std::atomic<bool> stop_{ false };
    struct {
        std::atomic<int> settings{ 0 }, purges{ 0 }, cancels{ 0 }, reopens{ 0 }, removals{ 0 }, sleeps{ 0 };
    } counts_;
    std::mutex errors_lock_;
    std::vector<std::string> errors_;
};

TEST_F(SoakTest, PortsCarryChecksummedStreamsThroughSettingsPurgesCancelsReopensSleepAndRemoval)
{
    host::verifier_reset();
    host::verifier_set_action(host::VerifierAction::record);
    for (int i = 0; i < kPorts; i++) {
        ports_.push_back(std::make_unique<Port>());
        ports_.back()->index = i;
    }
    host_ = std::make_unique<host::Host>(host::HostOptions{ .mode = host::Mode::free });
    ASSERT_EQ(host_->load_driver(u"acmserial", DriverEntry), STATUS_SUCCESS);
    for (auto& p : ports_) {
        ASSERT_TRUE(plug(*p));
        ASSERT_TRUE(open(*p)) << "COM" << 5 + p->index << ": " << GetLastError();
    }

    std::vector<StreamCheck> checks(kPorts);
    std::atomic<bool> reading{ true };
    std::vector<host::Thread*> stream, disorder;
    for (int i = 0; i < kPorts; i++) {
        Port& p = *ports_[i];
        stream.push_back(host::spawn("writer", [this, &p] { writer(p); }));
        stream.push_back(host::spawn("reader", [this, &p, &c = checks[i], &reading] { reader(p, c, reading); }));
        disorder.push_back(host::spawn("waiter", [this, &p] { waiter(p); }));
        disorder.push_back(host::spawn("chaos", [this, &p, i] { chaos(p, unsigned(i + 1)); }));
    }
    disorder.push_back(host::spawn("sleeper", [this] { sleeper(); }));

    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(soak_seconds());
    while (std::chrono::steady_clock::now() < end && !failed())
        sleep_ms(100);
    stop_ = true;
    for (auto* t : disorder)
        host::join(t);

    // Calm: the writers go on for a while, stop, and every frame they wrote
    // since reaches the readers.
    sleep_ms(200);
    for (auto& p : ports_)
        p->writing = false;
    for (int i = 0; i < kPorts; i++)
        host::join(stream[2 * i]);
    for (int ms = 0; ms < 10'000; ms++) {
        bool all = true;
        for (int i = 0; i < kPorts; i++)
            all = all && ports_[i]->last_seen == int64_t(ports_[i]->next_seq.load()) - 1;
        if (all)
            break;
        sleep_ms(1);
    }
    reading = false;
    for (int i = 0; i < kPorts; i++)
        host::join(stream[2 * i + 1]);

    for (const auto& e : errors_)
        ADD_FAILURE() << e;
    std::printf("%d settings changes, %d purges, %d cancels, %d reopens, %d removals, %d sleeps\n",
                counts_.settings.load(), counts_.purges.load(), counts_.cancels.load(), counts_.reopens.load(),
                counts_.removals.load(), counts_.sleeps.load());
    for (int i = 0; i < kPorts; i++) {
        const StreamCheck& c = checks[i];
        std::printf("COM%d: %llu frames of %u, %llu gaps at cuts, %llu bytes skipped at cuts, %u cuts\n", 5 + i,
                    (unsigned long long)c.frames(), ports_[i]->next_seq.load(), (unsigned long long)c.gaps(),
                    (unsigned long long)c.skipped_bytes(), ports_[i]->cuts_ended.load());
        EXPECT_EQ(c.error(), "") << "COM" << 5 + i;
        EXPECT_EQ(c.last_seq(), std::optional(ports_[i]->next_seq.load() - 1))
            << "COM" << 5 + i << ": the last frames never arrived";
        EXPECT_GT(c.frames(), 0u);
    }
    for (const auto& v : host::verifier_violations())
        ADD_FAILURE() << v.check << ": " << v.detail;
}

}  // namespace
}  // namespace soak
