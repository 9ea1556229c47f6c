// The demo session. Every step is what a Windows serial application does,
// through the user-mode API only; the simulated functions stand in for the
// devices, and what they received is shown beside what the application saw.
#include "demo.h"

#include "com_port.h"
#include "session.h"

#include "bus/behaviours.h"
#include "common/cdc_protocol.h"
#include "host/io/iomgr.h"
#include "host/kernel/sched.h"
#include "host/kernel/verifier.h"

#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace acmsim {
namespace {

constexpr size_t kModem = 0, kSerial = 1;       // the demo's functions, in plug order
constexpr size_t kLoopbackBytes = size_t(4) << 20;
constexpr size_t kSleepBytes = size_t(1) << 20;
constexpr size_t kChunk = 64 * 1024;            // one WriteFile of a transfer
constexpr DWORD kReadChunk = 4096;              // one ReadFile of a transfer

enum class Verdict { passed, failed, not_served };

const char* mark(Verdict verdict)
{
    switch (verdict) {
    case Verdict::passed: return "ok";
    case Verdict::failed: return "FAILED";
    case Verdict::not_served: break;
    }
    return "NOT SERVED";
}

struct Step {
    std::string name;
    Verdict verdict = Verdict::passed;
    std::string detail;
};

void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void say(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

// `n` bytes that differ from their neighbours and repeat only every 251.
std::string pattern(size_t n, size_t offset = 0)
{
    std::string bytes(n, '\0');
    for (size_t i = 0; i < n; i++)
        bytes[i] = char((i + offset) % 251);
    return bytes;
}

std::string mib(size_t bytes)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", double(bytes) / double(1 << 20));
    return text;
}

// A call the driver refused as unknown is a feature this build does not serve.
Step refused(const std::string& name, const std::string& call, DWORD error)
{
    if (error == ERROR_INVALID_FUNCTION)
        return { name, Verdict::not_served, call + ": not served by this driver build (ERROR_INVALID_FUNCTION)" };
    return { name, Verdict::failed, call + " failed: " + error_name(error) };
}

std::string modem_status_text(DWORD status)
{
    std::string text;
    for (auto [bit, name] : { std::pair{ MS_CTS_ON, "CTS" }, { MS_DSR_ON, "DSR" }, { MS_RING_ON, "RING" },
                              { MS_RLSD_ON, "RLSD" } })
        if (status & bit)
            text += (text.empty() ? "" : " ") + std::string(name);
    return text.empty() ? "none" : text;
}

std::string events_text(DWORD mask)
{
    std::string text;
    for (auto [bit, name] : { std::pair{ EV_RXCHAR, "EV_RXCHAR" }, { EV_TXEMPTY, "EV_TXEMPTY" }, { EV_CTS, "EV_CTS" },
                              { EV_DSR, "EV_DSR" }, { EV_RLSD, "EV_RLSD" }, { EV_BREAK, "EV_BREAK" },
                              { EV_ERR, "EV_ERR" }, { EV_RING, "EV_RING" } })
        if (mask & bit)
            text += (text.empty() ? "" : "|") + std::string(name);
    return text.empty() ? "none" : text;
}

// The text lines of a modem's answer, without the echoed command.
std::vector<std::string> answer_lines(const std::string& answer, const std::string& echoed)
{
    std::string rest = answer.rfind(echoed, 0) == 0 ? answer.substr(echoed.size()) : answer;
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= rest.size()) {
        size_t end = rest.find_first_of("\r\n", start);
        if (end == std::string::npos)
            end = rest.size();
        if (end > start)
            lines.push_back(rest.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

class Demo {
public:
    Demo(Machine& machine, bool terminal) : machine_(machine), terminal_(terminal) {}
    int run();

private:
    Step modem_settings(ComPort& modem);
    Step modem_dialogue(ComPort& modem);
    Step modem_events(ComPort& modem);
    Step loopback_transfer(ComPort& port);
    Step purge(ComPort& port);
    Step sleep_and_wake(ComPort& port);
    Step surprise_removal(ComPort& port);
    int summary();

    // The modem's answer to `line`, read until `final` or a read gives nothing.
    std::string converse(ComPort& modem, const std::string& line, const std::string& final, bool show_echo = false);
    // Writes `total` pattern bytes in chunks and reads them back on two
    // threads; `midway` runs once a third came back. Counts the bytes.
    struct Transfer {
        std::string sent, got;
        host::Time took = 0;
        DWORD write_error = ERROR_SUCCESS, read_error = ERROR_SUCCESS;
    };
    Transfer transfer(ComPort& port, size_t total, const std::function<void()>& midway);
    void progress(size_t received, size_t total, size_t* shown);
    Step transfer_step(const std::string& name, const Transfer& t);
    void record(Step step);

    Machine& machine_;
    bool terminal_;
    Ledger ledger_;
    std::vector<Step> steps_;
    uint64_t sent_ = 0, received_ = 0;
};

void Demo::record(Step step)
{
    ledger_.prune();
    say("  -> %s: %s\n", mark(step.verdict), step.detail.c_str());
    steps_.push_back(std::move(step));
}

std::string Demo::converse(ComPort& modem, const std::string& line, const std::string& final, bool show_echo)
{
    say("  > %s\n", line.c_str());
    const std::string command = line + (line == "+++" ? "" : "\r");
    if (!modem.write_all(command, 2000)) {
        say("  (the write did not complete)\n");
        return "";
    }
    std::string answer;
    while (answer.find(final) == std::string::npos) {
        std::string more = modem.read_up_to(256);
        if (more.empty())
            break;
        answer += more;
    }
    for (const std::string& text : answer_lines(answer, show_echo ? "" : command))
        say("  < %s\n", text.c_str());
    return answer;
}

Step Demo::modem_settings(ComPort& modem)
{
    const std::string name = "modem: SetCommState";
    say("\n== COM5, the modem: settings\n");
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(modem.handle(), &dcb))
        return refused(name, "GetCommState", GetLastError());
    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    say("  SetCommState: 115200 8N1, DTR and RTS on\n");
    if (!SetCommState(modem.handle(), &dcb))
        return refused(name, "SetCommState", GetLastError());
    bus::CdcFunction& fn = machine_.function(kModem);
    fn.settle();
    const bus::LineCoding coding = fn.line_coding();
    const uint16_t lines = fn.control_lines();
    say("  the function has: SET_LINE_CODING %s, SET_CONTROL_LINE_STATE %s\n", describe_line_coding(coding).c_str(),
        describe_control_lines(lines).c_str());
    const bool ok = coding == bus::LineCoding{ 115200, 0, 0, 8 } &&
                    (lines & (CDC_CONTROL_LINE_DTR | CDC_CONTROL_LINE_RTS)) ==
                        (CDC_CONTROL_LINE_DTR | CDC_CONTROL_LINE_RTS);
    return { name, ok ? Verdict::passed : Verdict::failed,
             "the function received " + describe_line_coding(coding) + ", " + describe_control_lines(lines) };
}

Step Demo::modem_dialogue(ComPort& modem)
{
    const std::string name = "modem: AT dialogue";
    say("\n== COM5, the modem: AT commands\n");
    if (!modem.set_timeouts(MAXULONG, MAXULONG, 1500))
        return refused(name, "SetCommTimeouts", GetLastError());
    std::vector<std::string> missing;
    auto expect = [&](const std::string& line, const std::string& final, bool show_echo = false) {
        if (converse(modem, line, final, show_echo).find(final) == std::string::npos)
            missing.push_back(line + " -> " + final);
    };
    expect("AT", "OK");
    expect("ATI", bus::AtModem::kIdentity);
    expect("ATD5551234", "CONNECT");
    say("  (connected: data goes to the remote end, which echoes it)\n");
    expect("hello over the line", "hello over the line", true);
    Sleep(1100);   // the escape needs a second of silence before and after
    expect("+++", "OK");
    expect("ATH", "NO CARRIER");
    if (!missing.empty())
        return { name, Verdict::failed, "no answer to " + missing.front() };
    return { name, Verdict::passed, "AT, ATI, ATD, data, +++ and ATH answered" };
}

Step Demo::modem_events(ComPort& modem)
{
    const std::string name = "modem: lines and events";
    say("\n== COM5, the modem: modem lines and events\n");
    DWORD status = 0;
    if (!GetCommModemStatus(modem.handle(), &status))
        return refused(name, "GetCommModemStatus", GetLastError());
    say("  GetCommModemStatus: %s\n", modem_status_text(status).c_str());
    if (!SetCommMask(modem.handle(), EV_DSR | EV_RLSD | EV_RING))
        return refused(name, "SetCommMask", GetLastError());
    say("  SetCommMask: EV_DSR | EV_RLSD | EV_RING\n");

    auto modem_fw = std::dynamic_pointer_cast<bus::AtModem>(machine_.behaviour(kModem));
    struct Cue {
        const char* what;
        std::function<void()> act;
        DWORD event;
        DWORD lines;   // modem status after it
    };
    const std::vector<Cue> cues = {
        { "the line rings", [&] { modem_fw->ring(); }, EV_RING, MS_DSR_ON },
        { "ATA answers", [&] { modem.write_all("ATA\r", 2000); }, EV_RLSD, MS_DSR_ON | MS_RLSD_ON },
        { "DTR drops (EscapeCommFunction CLRDTR)", [&] { EscapeCommFunction(modem.handle(), CLRDTR); }, EV_RLSD,
          MS_DSR_ON },
    };
    std::string seen;
    bool ok = true;
    for (const Cue& cue : cues) {
        auto wait = modem.wait_event();
        if (wait->finished && wait->error != ERROR_SUCCESS)
            return refused(name, "WaitCommEvent", wait->error);
        say("  WaitCommEvent pending; %s\n", cue.what);
        cue.act();
        if (!modem.finish(*wait, 3000)) {
            modem.cancel(*wait);
            say("  no event within 3 s\n");
            ok = false;
            continue;
        }
        DWORD now = 0;
        GetCommModemStatus(modem.handle(), &now);
        say("  WaitCommEvent: %s; GetCommModemStatus: %s\n", events_text(wait->event_mask).c_str(),
            modem_status_text(now).c_str());
        seen += (seen.empty() ? "" : ", ") + events_text(wait->event_mask);
        ok &= wait->error == ERROR_SUCCESS && (wait->event_mask & cue.event) && (now & (MS_DSR_ON | MS_RLSD_ON)) == cue.lines;
    }
    modem.read_up_to(256);   // RING and the answers; the time-outs end the read
    return { name, ok ? Verdict::passed : Verdict::failed, "events " + seen };
}

void Demo::progress(size_t received, size_t total, size_t* shown)
{
    constexpr size_t kWidth = 40;
    constexpr size_t kWorthShowing = 64 * 1024;   // a short round trip needs no bar
    if (total < kWorthShowing)
        return;
    if (terminal_) {
        const size_t filled = received * kWidth / total;
        if (filled == *shown && received != total)
            return;
        *shown = filled;
        say("\r  [%s%s] %3zu%%  %s of %s", std::string(filled, '#').c_str(), std::string(kWidth - filled, '.').c_str(),
            received * 100 / total, mib(received).c_str(), mib(total).c_str());
        if (received == total)
            say("\n");
        return;
    }
    const size_t quarter = received * 4 / total;
    for (; *shown < quarter; ++*shown)
        say("  %s of %s\n", mib(total * (*shown + 1) / 4).c_str(), mib(total).c_str());
}

Demo::Transfer Demo::transfer(ComPort& port, size_t total, const std::function<void()>& midway)
{
    Transfer t;
    t.sent = pattern(total);
    port.set_timeouts(20, 0, 2000);   // a read ends full, at a 20 ms gap, or after 2 s
    std::atomic<size_t> received{ 0 };
    std::atomic<bool> writing{ true }, reading{ true };
    const host::Time start = host::now();

    host::Thread* writer = host::spawn("demo writer", [&] {
        for (size_t at = 0; at < total && t.write_error == ERROR_SUCCESS; at += kChunk) {
            auto w = port.write(t.sent.substr(at, kChunk));
            port.finish(*w);
            t.write_error = w->error;
        }
        writing = false;
    });
    host::Thread* reader = host::spawn("demo reader", [&] {
        while (t.got.size() < total) {
            auto r = port.read(DWORD(std::min<size_t>(total - t.got.size(), kReadChunk)));
            port.finish(*r);
            t.read_error = r->error;
            if (r->error != ERROR_SUCCESS || r->bytes == 0)
                break;
            t.got += r->data();
            received = t.got.size();
            t.took = host::now() - start;
        }
        reading = false;
    });

    size_t shown = 0;
    bool midway_done = !midway;
    while (writing || reading) {
        Sleep(5);
        progress(received, total, &shown);
        if (!midway_done && received >= total / 3) {
            midway_done = true;
            midway();
        }
    }
    host::join(writer);
    host::join(reader);
    if (terminal_ && received != total)
        say("\n");
    sent_ += total;
    received_ += t.got.size();
    return t;
}

Step Demo::transfer_step(const std::string& name, const Transfer& t)
{
    const bool intact = t.got == t.sent;
    size_t diff = 0;
    while (diff < t.got.size() && diff < t.sent.size() && t.got[diff] == t.sent[diff])
        diff++;
    std::string detail = std::to_string(t.got.size()) + " of " + std::to_string(t.sent.size()) + " bytes back";
    if (intact)
        return { name, Verdict::passed, detail + ", intact" };
    if (t.write_error != ERROR_SUCCESS)
        detail += ", a write failed: " + error_name(t.write_error);
    if (t.read_error != ERROR_SUCCESS)
        detail += ", a read failed: " + error_name(t.read_error);
    return { name, Verdict::failed, detail + ", first difference at byte " + std::to_string(diff) };
}

Step Demo::loopback_transfer(ComPort& port)
{
    say("\n== COM6, the serial port: loopback transfer of %s\n", mib(kLoopbackBytes).c_str());
    Transfer t = transfer(port, kLoopbackBytes, nullptr);
    Step step = transfer_step("loopback transfer", t);
    if (t.took > 0) {
        const auto rate = uint64_t(double(t.got.size()) * double(host::kSecond) / double(t.took));
        say("  %zu bytes in %.3f s of host time: %llu bytes/s\n", t.got.size(), double(t.took) / double(host::kSecond),
            static_cast<unsigned long long>(rate));
        step.detail += ", " + std::to_string(rate) + " bytes/s of host time";
    }
    return step;
}

// Reads what is on its way and throws it away: bytes the loopback had
// already turned round arrive after their write ended.
size_t drain(ComPort& port)
{
    port.set_timeouts(MAXULONG, 0, 0);   // a read returns at once with what is there
    size_t drained = 0;
    for (;;) {
        Sleep(50);
        const size_t more = port.read_up_to(SIZE_MAX).size();
        if (more == 0)
            return drained;
        drained += more;
    }
}

// A pending request, then the purge that ends it: the flags' ending and
// the request's result.
struct Purged {
    bool purged = false;
    DWORD purge_error = ERROR_SUCCESS;
    bool ended = false;
};

Purged purge_pending(ComPort& port, const char* what, Request& request, DWORD flags, const char* flag_names)
{
    Purged result;
    say("  PurgeComm(%s) with the %s pending\n", flag_names, what);
    result.purged = PurgeComm(port.handle(), flags);
    result.purge_error = result.purged ? ERROR_SUCCESS : GetLastError();
    result.ended = port.finish(request, 2000);
    if (!result.ended || !result.purged)   // the application ends it itself
        port.cancel(request);
    else
        say("  it ended: %s after %lu bytes\n", error_name(request.error).c_str(),
            static_cast<unsigned long>(request.bytes));
    return result;
}

Step Demo::purge(ComPort& port)
{
    const std::string name = "purge";
    say("\n== COM6, the serial port: purge with I/O pending\n");
    port.set_timeouts(0, 0, 0);   // no time-out: a read waits for its first bytes
    auto read = port.read(4096);   // nothing is on its way: it stays pending
    Purged rx = purge_pending(port, "read", *read, PURGE_RXABORT | PURGE_RXCLEAR, "PURGE_RXABORT | PURGE_RXCLEAR");
    if (!rx.purged) {
        drain(port);
        return refused(name, "PurgeComm", rx.purge_error);
    }
    auto write = port.write(pattern(size_t(4) << 20));   // one transfer, in flight for a second
    Purged tx = purge_pending(port, "write", *write, PURGE_TXABORT | PURGE_TXCLEAR, "PURGE_TXABORT | PURGE_TXCLEAR");
    say("  %zu bytes that were on their way back drained\n", drain(port));

    Transfer check = transfer(port, 4096, nullptr);
    const bool works = check.got == check.sent;
    say("  a 4096-byte round trip after the purges: %s\n", works ? "intact" : "NOT intact");
    const bool aborted = read->error == ERROR_OPERATION_ABORTED && write->error == ERROR_OPERATION_ABORTED;
    const bool ok = tx.purged && rx.ended && tx.ended && aborted && works;
    return { name, ok ? Verdict::passed : Verdict::failed,
             std::string(rx.ended && tx.ended ? "the pending read and write ended" : "a request did NOT end") +
                 (aborted ? " with ERROR_OPERATION_ABORTED" : ", not both aborted") + ", the port " +
                 (works ? "works after" : "does NOT work after") };
}

Step Demo::sleep_and_wake(ComPort& port)
{
    say("\n== COM6, the serial port: system sleep and wake in the middle of %s\n", mib(kSleepBytes).c_str());
    NTSTATUS slept = STATUS_SUCCESS, woke = STATUS_SUCCESS;
    Transfer t = transfer(port, kSleepBytes, [&] {
        if (terminal_)
            say("\n");
        say("  the system sleeps (S3) with a third of the bytes back ...\n");
        slept = machine_.host().sleep(host::io::SystemPower::S3);
        woke = machine_.host().wake();
        say("  ... and wakes: sleep 0x%08X, wake 0x%08X\n", unsigned(slept), unsigned(woke));
    });
    Step step = transfer_step("sleep and wake mid-transfer", t);
    if (!NT_SUCCESS(slept) || !NT_SUCCESS(woke)) {
        step.verdict = Verdict::failed;
        step.detail += ", the power transition failed";
    }
    return step;
}

Step Demo::surprise_removal(ComPort& port)
{
    const std::string name = "surprise removal";
    say("\n== COM6, the serial port: surprise removal with I/O pending\n");
    port.set_timeouts(0, 0, 0);
    // In the same instant of host time: the read before the bytes that would
    // end it come back.
    std::vector<std::pair<const char*, std::shared_ptr<Request>>> pending = { { "read", port.read(4096) } };
    if (SetCommMask(port.handle(), EV_DSR | EV_RLSD))
        pending.push_back({ "WaitCommEvent", port.wait_event() });
    pending.push_back({ "write", port.write(pattern(size_t(4) << 20)) });
    std::string names;
    for (auto& [what, request] : pending)
        if (!request->done())
            names += (names.empty() ? "" : ", ") + std::string(what);
    say("  the function disappears with pending: %s\n", names.c_str());
    machine_.function(kSerial).surprise_remove();
    bool all_ended = true;
    for (auto& [what, request] : pending) {
        const bool ended = port.finish(*request, 5000);
        all_ended &= ended;
        if (ended)
            say("  %s: %s after %lu of %zu bytes\n", what, error_name(request->error).c_str(),
                static_cast<unsigned long>(request->bytes), request->buffer.size());
        else
            say("  %s: still pending after 5 s\n", what);
    }
    port.close();
    machine_.host().settle();
    ComPort again("COM6", ledger_);
    const bool gone = !again.open();
    const DWORD open_error = GetLastError();
    say("  CreateFile(\\\\.\\COM6) afterwards: %s\n", gone ? error_name(open_error).c_str() : "opened");
    const bool ok = all_ended && gone;
    return { name, ok ? Verdict::passed : Verdict::failed,
             std::string(all_ended ? "every pending request ended" : "a request did NOT end") + ", the port is " +
                 (gone ? "gone" : "still there") };
}

int Demo::summary()
{
    const size_t irps = host::io::pending_user_irps();
    const size_t reports = host::verifier_violations().size();
    say("\n== Summary\n\n");
    say("  %-30s %-10s %s\n", "step", "result", "");
    say("  %-30s %-10s %s\n", "----", "------", "");
    bool all_passed = true;
    for (const Step& step : steps_) {
        all_passed &= step.verdict == Verdict::passed;
        say("  %-30s %-10s %s\n", step.name.c_str(), mark(step.verdict), step.detail.c_str());
    }
    say("\n");
    say("  bytes sent:        %llu\n", static_cast<unsigned long long>(sent_));
    say("  bytes received:    %llu\n", static_cast<unsigned long long>(received_));
    say("  requests issued:   %zu\n", ledger_.issued());
    say("  requests ended:    %zu\n", ledger_.ended());
    say("  IRPs outstanding:  %zu\n", irps);
    say("  verifier reports:  %zu\n", reports);
    for (const auto& v : host::verifier_violations())
        say("    %s: %s\n", v.check.c_str(), v.detail.c_str());
    say("  host time:         %.3f s\n", double(host::now()) / double(host::kSecond));
    const bool ok = all_passed && sent_ == received_ && ledger_.ended() == ledger_.issued() && irps == 0 &&
                    reports == 0;
    say("\n  %s\n", ok ? "Every step passed." : "Not every step passed.");
    return ok ? 0 : 1;
}

int Demo::run()
{
    say("acmsim demo: the driver on a simulated machine, seed %llu\n",
        static_cast<unsigned long long>(host::sched_seed()));
    say("  COM5: a USB modem (AT commands)\n  COM6: a USB serial port with a loopback plug, high-speed bulk rates\n");
    {
        ComPort modem("COM5", ledger_);
        if (!modem.open()) {
            record({ "modem: open", Verdict::failed, "CreateFile(\\\\.\\COM5): " + error_name(GetLastError()) });
        } else {
            record(modem_settings(modem));
            record(modem_dialogue(modem));
            record(modem_events(modem));
        }
    }
    ComPort serial("COM6", ledger_);
    if (!serial.open()) {
        record({ "serial: open", Verdict::failed, "CreateFile(\\\\.\\COM6): " + error_name(GetLastError()) });
    } else {
        record(loopback_transfer(serial));
        record(purge(serial));
        record(sleep_and_wake(serial));
        record(surprise_removal(serial));
    }
    machine_.host().settle();
    return summary();
}

}  // namespace

Options demo_options(uint64_t seed)
{
    Options options;
    options.command = "demo";
    options.seed = seed;
    options.reg_text =
        "Windows Registry Editor Version 5.00\n"
        "\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\acmserial\\Parameters]\n"
        "\"DebugLevel\"=dword:00000002\n";
    options.functions = {
        parse_function("class=Modem,name=\"Tarvex USB Modem\",port=COM5,behaviour=modem"),
        parse_function("class=Ports,name=\"Tarvex USB Serial Port\",port=COM6,speed=high,behaviour=loopback,timing=1"),
    };
    return options;
}

int run_demo(const Options& command_line)
{
    Options options = demo_options(command_line.seed);
    Machine machine(options, host::Mode::controlled, command_line.trace ? stdout : nullptr);
    host::verifier_reset();
    host::verifier_set_action(host::VerifierAction::record);
    if (!NT_SUCCESS(machine.driver_status())) {
        std::fprintf(stderr, "acmsim: the driver did not load, status 0x%08X\n", unsigned(machine.driver_status()));
        return 1;
    }
    if (!machine.plug_all()) {
        std::fprintf(stderr, "acmsim: a device of the demo did not start\n");
        return 1;
    }
    return Demo(machine, isatty(STDOUT_FILENO) != 0).run();
}

}  // namespace acmsim
