#include "sweep_machine.h"

#include "acm_serial.h"

#include "host/kernel/verifier.h"
#include "host/rtl/trace.h"

#include <gtest/gtest.h>

#include <cstring>

namespace faulttest {

using porttest::Io;
using porttest::outcome;

namespace {

constexpr const char16_t* kService = u"acmserial";
constexpr ULONG kReadPatienceMs = 200;

}  // namespace

Machine::Machine(uint64_t seed)
{
    host::verifier_reset();
    host::verifier_set_action(host::VerifierAction::record);
    fn_ = std::make_unique<bus::CdcFunction>();
    fn_->set_behaviour(std::make_shared<bus::Loopback>());
    fn_->set_removal_handler([this] {
        if (node_)
            host_->surprise_remove(node_);
    });
    host_ = std::make_unique<host::Host>(host::HostOptions{ .seed = seed });
    host::trace_clear();
}

Machine::~Machine()
{
    close();
    host_.reset();   // the function outlives the devices bound to it
    fn_.reset();
}

bool Machine::ends(Io& io, const char* step)
{
    if (wait(io).hung)
        ADD_FAILURE() << step << ": a request never ended";
    return !io.hung;
}

void Machine::expect_prefix_of(const Io& io, const std::string& sent, const char* step)
{
    if (io.status() == STATUS_SUCCESS) {
        EXPECT_EQ(io.data(), sent.substr(0, io.data().size())) << step << ": the bytes read are not the bytes sent";
    }
}

// --- steps ----------------------------------------------------------------------

void Machine::load() { loaded_ = NT_SUCCESS(host_->load_driver(kService, DriverEntry)); }

void Machine::plug()
{
    if (loaded_)
        node_ = host_->plug(fn_->port().description());
}

bool Machine::open_port()
{
    if (!node_)
        return false;
    return open();
}

void Machine::configure()
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle(), &dcb))
        return;
    dcb.BaudRate = 115200;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.EvtChar = '\n';
    if (SetCommState(handle(), &dcb)) {
        DCB now{};
        now.DCBlength = sizeof now;
        if (GetCommState(handle(), &now)) {
            EXPECT_EQ(now.BaudRate, 115200u) << "configure: SetCommState succeeded but did not take";
        }
    }
    COMMTIMEOUTS timeouts{MAXULONG, MAXULONG, kReadPatienceMs, 0, 0};
    SetCommTimeouts(handle(), &timeouts);
}

void Machine::read()
{
    fn_->send(std::string_view("hello"));
    fn_->settle();
    auto got = PortClient::read(5);
    if (ends(*got, "read"))
        expect_prefix_of(*got, "hello", "read");
    auto none = PortClient::read(5);   // nothing comes: the time-out ends it
    ends(*none, "read (time-out)");
}

void Machine::write()
{
    auto io = PortClient::write("hello");
    if (ends(*io, "write") && io->status() == STATUS_SUCCESS) {
        fn_->settle();
        const bus::Bytes received = fn_->received();
        EXPECT_EQ(std::string(received.begin(), received.end()), "hello") << "write: the device did not get it";
    }
}

void Machine::wait_on_mask()
{
    if (!SetCommMask(handle(), EV_RXCHAR))
        return;
    Io event;
    DWORD mask = 0;
    WaitCommEvent(handle(), &mask, &event.overlapped);
    fn_->send(std::string_view("x"));
    if (ends(event, "wait-on-mask") && event.status() == STATUS_SUCCESS) {
        EXPECT_EQ(mask, DWORD(EV_RXCHAR)) << "wait-on-mask: the wait ended with the wrong event";
    }
    Io changed;
    WaitCommEvent(handle(), &mask, &changed.overlapped);
    if (!SetCommMask(handle(), 0))   // which ends the pending wait; failing that, the application cancels it
        cancel(changed);
    ends(changed, "wait-on-mask (mask change)");
}

void Machine::purge()
{
    fn_->inject(bus::Op::data_out_post, bus::Fault::stall());
    COMMTIMEOUTS wait_for_bytes{};
    SetCommTimeouts(handle(), &wait_for_bytes);
    auto in = PortClient::read(16);
    auto out = PortClient::write("held");
    if (!PurgeComm(handle(), PURGE_RXABORT | PURGE_TXABORT | PURGE_RXCLEAR | PURGE_TXCLEAR)) {
        cancel(*in);
        cancel(*out);
    }
    ends(*in, "purge (read)");
    ends(*out, "purge (write)");
    fn_->release_stalls();
}

void Machine::sleep_and_wake()
{
    auto in = PortClient::read(4);
    host_->sleep(host::io::SystemPower::S3);
    host_->wake();
    fn_->send(std::string_view("woke"));
    if (ends(*in, "sleep and wake"))
        expect_prefix_of(*in, "woke", "sleep and wake");

    auto suspended = PortClient::read(4);
    fn_->suspend();
    fn_->resume();
    fn_->send(std::string_view("back"));
    const std::string unread = std::string("woke").substr(in->status() == STATUS_SUCCESS ? in->data().size() : 0);
    if (ends(*suspended, "bus suspend and resume"))
        expect_prefix_of(*suspended, unread + "back", "bus suspend and resume");
}

void Machine::bus_stop_and_start()
{
    fn_->port().io_stop();
    auto out = PortClient::write("held");   // ends with an error while I/O is stopped
    if (ends(*out, "bus stop")) {
        EXPECT_NE(out->status(), STATUS_SUCCESS) << "a write while I/O is stopped";
    }
    fn_->port().io_start();
}

void Machine::surprise_remove()
{
    auto in = PortClient::read(4);
    fn_->surprise_remove();
    host_->settle();
    ends(*in, "surprise removal");
    auto late = PortClient::read(4);   // the device is gone: the request ends with an error
    if (ends(*late, "surprise removal (late read)")) {
        EXPECT_NE(late->status(), STATUS_SUCCESS);
    }
    close();
    host_->settle();   // the removal completes with the last handle
    node_ = nullptr;
}

std::unique_ptr<Io> Machine::channel_control(DWORD code, dc_ioctl_data* record)
{
    auto io = std::make_unique<Io>();
    DeviceIoControl(handle(), code, record, sizeof *record, record, sizeof *record, nullptr, &io->overlapped);
    return io;
}

void Machine::control_channel()
{
    // Records and buffers in user memory, whose addresses the records carry in 32 bits.
    auto* page = static_cast<char*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(page, nullptr);
    auto at = [page](size_t offset) { return ULONG(uintptr_t(page + offset)); };
    auto* records = reinterpret_cast<dc_ioctl_data*>(page);
    char* command = page + 256;
    char* response = page + 512;
    auto* setup = reinterpret_cast<dc_control_record*>(page + 1024);
    std::memcpy(command, "AT\r", 3);

    records[0] = dc_ioctl_data{0xFFFFFFFF, 3, at(256), 0, 0};
    ends(*channel_control(IOCTL_CDC_SEND_ENCAPSULATED_COMMAND, &records[0]), "encapsulated command");

    records[1] = dc_ioctl_data{0xFFFFFFFF, 0, 0, 0, 0};
    auto wait = channel_control(IOCTL_CDC_WAIT_FOR_ENCAPSULATED_RESPONSE, &records[1]);
    fn_->queue_response(bus::Bytes{'O', 'K'});
    ends(*wait, "wait for the encapsulated response");

    records[2] = dc_ioctl_data{0xFFFFFFFF, 0, 0, 64, at(512)};
    auto get = channel_control(IOCTL_CDC_GET_ENCAPSULATED_RESPONSE, &records[2]);
    if (ends(*get, "encapsulated response") && get->status() == STATUS_SUCCESS &&
        records[2].dc_status == DC_STATUS_SUCCESS) {
        EXPECT_EQ(std::string(response, records[2].data_out_len), "OK") << "the response came back changed";
    }

    *setup = dc_control_record{0x40, bus::CdcFunction::kVendorStore, 0, 0, 3, at(256), 3};
    records[3] = dc_ioctl_data{0xFFFFFFFF, sizeof *setup, at(1024), 0, 0};
    ends(*channel_control(IOCTL_DC_GENERIC_CONTROL, &records[3]), "generic control");
}

void Machine::close_port()
{
    close();
    host_->settle();
    fn_->settle();
}

void Machine::unplug()
{
    close_port();
    if (node_ && NT_SUCCESS(host_->remove(node_)))
        node_ = nullptr;
    if (loaded_ && !node_)
        loaded_ = !NT_SUCCESS(host_->unload_driver());
}

// --- after the swept part ----------------------------------------------------------

void Machine::expect_port_works()
{
    close_port();
    fn_->clear_faults();
    fn_->release_stalls();
    if (!loaded_) {
        load();
        ASSERT_TRUE(loaded_) << "the driver does not load again";
    }
    if (!node_) {
        plug();
        ASSERT_NE(node_, nullptr) << "the device does not start again";
    }
    ASSERT_TRUE(open_port()) << "the port does not open again: " << GetLastError();
    ASSERT_TRUE(set_timeouts(MAXULONG, MAXULONG, kReadPatienceMs));
    ASSERT_TRUE(PurgeComm(handle(), PURGE_RXCLEAR)) << "bytes of the scenario may still wait";
    fn_->clear_logs();
    auto out = PortClient::write("ping");
    EXPECT_EQ(wait(*out).result(), outcome(STATUS_SUCCESS, 4)) << "the write after recovery";
    EXPECT_EQ(read_back(4), "ping") << "the echo after recovery";
}

void Machine::expect_clean_end()
{
    close_port();
    if (node_) {
        EXPECT_EQ(host_->remove(node_), STATUS_SUCCESS);
    }
    node_ = nullptr;
    host_->settle();
    if (loaded_) {
        EXPECT_EQ(host_->unload_driver(), STATUS_SUCCESS);
    }
    loaded_ = false;
    EXPECT_EQ(fn_->port().references(), 0) << "the bus interface is still referenced";
    EXPECT_EQ(hung_requests(), 0);
    for (const auto& v : host::verifier_violations())
        ADD_FAILURE() << v.check << ": " << v.detail;
}

}  // namespace faulttest
