// The pseudo-terminal bridge. One host thread per port moves bytes both
// ways and follows the terminal: a program opening it opens the COM port,
// its terminal settings become SetCommState, and the last close (a hangup)
// closes the port. What the function receives is printed as it arrives.
#include "pty.h"

#include "com_port.h"
#include "session.h"

#include "host/kernel/sched.h"
#include "host/kernel/verifier.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace acmsim {
namespace {

constexpr size_t kBacklog = 64 * 1024;   // bytes for the terminal before the port's reads pause

void note(const std::string& port, const std::string& text) { std::printf("%s: %s\n", port.c_str(), text.c_str()); }

// The function's firmware, with a note of each class request that reaches it.
class Reporting : public bus::Behaviour {
public:
    explicit Reporting(std::shared_ptr<bus::Behaviour> inner) : inner_(std::move(inner)) {}

    // The notes so far, oldest first.
    std::vector<std::string> take()
    {
        auto lock = host::sched_lock();
        std::vector<std::string> notes(notes_.begin(), notes_.end());
        notes_.clear();
        return notes;
    }

    void attached(bus::DeviceSide& d) override { forward([&](bus::Behaviour& b) { b.attached(d); }); }
    void start() override { forward([](bus::Behaviour& b) { b.start(); }); }
    void stop() override { forward([](bus::Behaviour& b) { b.stop(); }); }
    void host_data(bus::DeviceSide& d, std::span<const uint8_t> bytes) override
    {
        forward([&](bus::Behaviour& b) { b.host_data(d, bytes); });
    }
    void control_lines(bus::DeviceSide& d, uint16_t lines) override
    {
        notes_.push_back("SET_CONTROL_LINE_STATE " + describe_control_lines(lines));
        forward([&](bus::Behaviour& b) { b.control_lines(d, lines); });
    }
    void line_coding(bus::DeviceSide& d, const bus::LineCoding& coding) override
    {
        notes_.push_back("SET_LINE_CODING " + describe_line_coding(coding));
        forward([&](bus::Behaviour& b) { b.line_coding(d, coding); });
    }
    void break_state(bus::DeviceSide& d, bool on) override
    {
        notes_.push_back(on ? "SEND_BREAK on" : "SEND_BREAK off");
        forward([&](bus::Behaviour& b) { b.break_state(d, on); });
    }
    void transport(bus::DeviceSide& d, bool enabled) override
    {
        forward([&](bus::Behaviour& b) { b.transport(d, enabled); });
    }
    std::optional<bus::Bytes> encapsulated_command(bus::DeviceSide& d, std::span<const uint8_t> command) override
    {
        return inner_ ? inner_->encapsulated_command(d, command) : std::nullopt;
    }

private:
    template <class F>
    void forward(F call)
    {
        if (inner_)
            call(*inner_);
    }

    std::shared_ptr<bus::Behaviour> inner_;
    std::deque<std::string> notes_;   // under the scheduler lock, which firmware callbacks hold
};

// What of a terminal's settings the port carries.
struct LineSettings {
    DWORD baud = 9600;   // 0: hang up (B0)
    BYTE data_bits = 8;
    BYTE parity = NOPARITY;
    BYTE stop_bits = ONESTOPBIT;
    bool rtscts = false;
    bool hupcl = true;
    bool operator==(const LineSettings&) const = default;
};

DWORD baud_of(speed_t speed)
{
    static const std::map<speed_t, DWORD> kSpeeds = {
        { B0, 0 },           { B50, 50 },         { B75, 75 },           { B110, 110 },         { B134, 134 },
        { B150, 150 },       { B200, 200 },       { B300, 300 },         { B600, 600 },         { B1200, 1200 },
        { B1800, 1800 },     { B2400, 2400 },     { B4800, 4800 },       { B9600, 9600 },       { B19200, 19200 },
        { B38400, 38400 },   { B57600, 57600 },   { B115200, 115200 },   { B230400, 230400 },   { B460800, 460800 },
        { B500000, 500000 }, { B576000, 576000 }, { B921600, 921600 },   { B1000000, 1000000 }, { B1152000, 1152000 },
        { B1500000, 1500000 }, { B2000000, 2000000 }, { B2500000, 2500000 }, { B3000000, 3000000 },
        { B3500000, 3500000 }, { B4000000, 4000000 },
    };
    auto it = kSpeeds.find(speed);
    return it != kSpeeds.end() ? it->second : 9600;
}

LineSettings settings_of(const termios& t)
{
    LineSettings s;
    s.baud = baud_of(cfgetospeed(&t));
    switch (t.c_cflag & CSIZE) {
    case CS5: s.data_bits = 5; break;
    case CS6: s.data_bits = 6; break;
    case CS7: s.data_bits = 7; break;
    default: s.data_bits = 8; break;
    }
    const bool odd = t.c_cflag & PARODD;
    if (!(t.c_cflag & PARENB))
        s.parity = NOPARITY;
    else if (t.c_cflag & CMSPAR)
        s.parity = odd ? MARKPARITY : SPACEPARITY;
    else
        s.parity = odd ? ODDPARITY : EVENPARITY;
    s.stop_bits = (t.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
    s.rtscts = t.c_cflag & CRTSCTS;
    s.hupcl = t.c_cflag & HUPCL;
    return s;
}

// One COM port behind one pseudo-terminal.
class Bridge {
public:
    Bridge(std::string port, std::shared_ptr<Reporting> reporting)
        : name_(std::move(port)), reporting_(std::move(reporting)), port_(name_, ledger_)
    {
    }
    ~Bridge()
    {
        if (master_ >= 0)
            ::close(master_);
        if (!link_.empty())
            ::unlink(link_.c_str());
    }

    // The terminal, raw at 9600 8N1 as a serial line starts; "" or why not.
    std::string create();
    std::string link(const std::string& path);
    const std::string& name() const { return name_; }
    const std::string& terminal() const { return terminal_; }
    void run(const std::atomic<bool>& stop);

private:
    void open_port(const LineSettings& settings);
    void apply(const LineSettings& settings);
    void hang_up();
    void wait_for_work();
    void to_port();     // what the program wrote
    void from_port();   // what the port received
    void report();

    std::string name_;
    std::shared_ptr<Reporting> reporting_;
    Ledger ledger_;          // this bridge's requests, before the port that files them
    ComPort port_;
    int master_ = -1;
    std::string terminal_, link_;
    LineSettings applied_;
    bool refused_ = false;   // SetCommState failed once; said so
    std::shared_ptr<Request> read_;
    std::shared_ptr<Request> write_;   // the terminal's bytes on their way out
    std::string backlog_;    // received, not yet taken by the terminal
};

std::string Bridge::create()
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
        return std::string("cannot make a pseudo-terminal: ") + std::strerror(errno);
    terminal_ = ptsname(master_);
    termios t{};
    tcgetattr(master_, &t);   // on a master, the terminal's own settings
    cfmakeraw(&t);
    cfsetspeed(&t, B9600);
    t.c_cflag |= CLOCAL | CREAD | HUPCL;
    tcsetattr(master_, TCSANOW, &t);
    applied_ = settings_of(t);
    // Until its first close a terminal never reads as hung up.
    const int slave = ::open(terminal_.c_str(), O_RDWR | O_NOCTTY);
    if (slave >= 0)
        ::close(slave);
    return "";
}

std::string Bridge::link(const std::string& path)
{
    if (::symlink(terminal_.c_str(), path.c_str()) != 0)
        return "--link " + path + ": " + std::strerror(errno);
    link_ = path;
    return "";
}

void Bridge::report()
{
    for (const std::string& text : reporting_->take())
        note(name_, text);
}

void Bridge::apply(const LineSettings& s)
{
    applied_ = s;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    BOOL ok = GetCommState(port_.handle(), &dcb);
    if (ok) {
        if (s.baud != 0)
            dcb.BaudRate = s.baud;
        dcb.ByteSize = s.data_bits;
        dcb.Parity = s.parity;
        dcb.StopBits = s.stop_bits;
        dcb.fBinary = TRUE;
        dcb.fParity = s.parity != NOPARITY;
        dcb.fOutxCtsFlow = s.rtscts;
        dcb.fRtsControl = s.rtscts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
        dcb.fDtrControl = s.baud == 0 ? DTR_CONTROL_DISABLE : DTR_CONTROL_ENABLE;
        ok = SetCommState(port_.handle(), &dcb);
    }
    if (!ok && !refused_) {
        refused_ = true;
        note(name_, "the terminal's settings were not applied: " + error_name(GetLastError()));
    }
}

void Bridge::open_port(const LineSettings& settings)
{
    if (!port_.open()) {
        note(name_, "CreateFile failed: " + error_name(GetLastError()));
        return;
    }
    note(name_, "open");
    port_.set_timeouts(MAXULONG, MAXULONG, 1000);   // a read ends with the first bytes, or after a second
    apply(settings);
}

void Bridge::hang_up()
{
    for (auto* request : { &read_, &write_ }) {
        if (*request)
            port_.cancel(**request);
        request->reset();
    }
    if (applied_.hupcl) {
        EscapeCommFunction(port_.handle(), CLRDTR);
        EscapeCommFunction(port_.handle(), CLRRTS);
    }
    port_.close();
    backlog_.clear();
    report();   // what the close sent comes before the close itself
    note(name_, "close");
}

// One write in flight at a time, and the terminal is read only when none
// is: a device that stops taking data holds the terminal's writer back
// without stopping what the port receives.
void Bridge::to_port()
{
    if (write_ && write_->done()) {
        port_.finish(*write_);
        if (write_->error != ERROR_SUCCESS || write_->bytes != write_->buffer.size())
            note(name_, "a write of " + std::to_string(write_->buffer.size()) + " bytes ended with " +
                            std::to_string(write_->bytes) + " sent, " + error_name(write_->error));
        write_.reset();
    }
    if (write_ || !port_.is_open())
        return;
    char buffer[4096];
    const ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n > 0)
        write_ = port_.write(std::string(buffer, size_t(n)));
}

void Bridge::from_port()
{
    for (;;) {
        if (read_ && read_->done()) {
            port_.finish(*read_);
            backlog_ += read_->data();
            read_.reset();
        }
        if (read_ || backlog_.size() >= kBacklog)
            break;
        read_ = port_.read(4096);
    }
    while (!backlog_.empty()) {
        const ssize_t n = ::write(master_, backlog_.data(), backlog_.size());
        if (n <= 0)
            return;
        backlog_.erase(0, size_t(n));
    }
}

// Until the terminal or the port has something: a pending read's event
// while the port is open, the terminal otherwise.
void Bridge::wait_for_work()
{
    pollfd p{ master_, POLLIN, 0 };
    if (::poll(&p, 1, 0) > 0)
        return;
    if (read_)
        WaitForSingleObject(read_->overlapped.hEvent, 2);
    else
        ::poll(&p, 1, port_.is_open() ? 2 : 20);
}

// The terminal decides: open while a program has it open, wrote to it or
// changed its settings; closed once it is hung up and nothing is left.
void Bridge::run(const std::atomic<bool>& stop)
{
    while (!stop) {
        wait_for_work();
        pollfd p{ master_, POLLIN, 0 };
        ::poll(&p, 1, 0);
        const bool hung_up = p.revents & POLLHUP;
        const bool readable = p.revents & POLLIN;
        termios t{};
        tcgetattr(master_, &t);
        const LineSettings settings = settings_of(t);
        const bool changed = !(settings == applied_);
        if (!port_.is_open() && (!hung_up || readable || changed))
            open_port(settings);
        else if (port_.is_open() && changed)
            apply(settings);
        if (readable || write_)
            to_port();
        if (port_.is_open())
            from_port();
        if (port_.is_open() && hung_up && !readable && !write_)
            hang_up();
        report();
        ledger_.prune();
        if (hung_up && !port_.is_open())
            Sleep(20);   // a hung-up terminal polls ready at once
    }
    if (port_.is_open())
        hang_up();
    report();
}

sigset_t stop_signals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

// The functions of a pty run: those given, or one loopback port on COM5.
Options pty_options(const Options& options)
{
    Options with = options;
    if (with.functions.empty())
        with.functions.push_back(parse_function("port=COM5,behaviour=loopback"));
    return with;
}

}  // namespace

int run_pty(const Options& command_line)
{
    const Options options = pty_options(command_line);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    signal(SIGPIPE, SIG_IGN);
    // Every thread the host starts inherits the blocked signals; only the
    // main thread takes them, with sigtimedwait.
    const sigset_t signals = stop_signals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    Machine machine(options, host::Mode::free, nullptr);
    host::verifier_reset();
    host::verifier_set_action(host::VerifierAction::record);
    if (!NT_SUCCESS(machine.driver_status())) {
        std::fprintf(stderr, "acmsim: the driver did not load, status 0x%08X\n", unsigned(machine.driver_status()));
        return 1;
    }
    std::vector<std::shared_ptr<Reporting>> reporting;
    const bool started = machine.plug_all([&](size_t, std::shared_ptr<bus::Behaviour> firmware) {
        reporting.push_back(std::make_shared<Reporting>(std::move(firmware)));
        return reporting.back();
    });
    if (!started) {
        std::fprintf(stderr, "acmsim: a device did not start\n");
        return 1;
    }

    std::vector<std::unique_ptr<Bridge>> bridges;
    for (size_t i = 0; i < machine.function_count(); i++) {
        bridges.push_back(std::make_unique<Bridge>(options.functions[i].port, reporting[i]));
        const std::string error = bridges.back()->create();
        if (!error.empty()) {
            std::fprintf(stderr, "acmsim: %s\n", error.c_str());
            return 1;
        }
        if (i < options.links.size()) {
            const std::string refused = bridges.back()->link(options.links[i]);
            if (!refused.empty())
                throw UsageError(refused);
        }
        const std::string link = i < options.links.size() ? " (link " + options.links[i] + ")" : "";
        std::printf("%s -> %s%s\n", bridges.back()->name().c_str(), bridges.back()->terminal().c_str(), link.c_str());
    }
    std::printf("acmsim: running; Ctrl-C or SIGTERM ends it\n");

    std::atomic<bool> stop{ false };
    std::vector<host::Thread*> threads;
    for (auto& bridge : bridges)
        threads.push_back(host::spawn("pty " + bridge->name(), [&stop, b = bridge.get()] { b->run(stop); }));
    int signal_number = 0;
    while (signal_number <= 0) {
        timespec tick{ 0, 200'000'000 };
        signal_number = sigtimedwait(&signals, nullptr, &tick);
    }
    stop = true;
    for (host::Thread* thread : threads)
        host::join(thread);

    for (size_t i = 0; i < machine.function_count(); i++)
        if (host::io::DeviceNode* node = machine.port_node(i))
            machine.host().remove(node);
    const auto reports = host::verifier_violations();
    for (const auto& v : reports)
        std::printf("acmsim: verifier: %s: %s\n", v.check.c_str(), v.detail.c_str());
    std::printf("acmsim: %s: ports closed, devices removed, %zu verifier reports\n", strsignal(signal_number),
                reports.size());
    return reports.empty() ? 0 : 1;
}

}  // namespace acmsim
