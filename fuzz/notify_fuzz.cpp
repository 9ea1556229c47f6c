// CDC notification packets of any length and content delivered on the
// interrupt pipe of the function while the port is open, with a wait on
// every event, an encapsulated-response wait and a read outstanding; between
// packets the application reads the modem and comm status, as programs
// that watch the lines do.
#include "fuzz/machine.h"

#include <dc_ioctl.h>
#include <ntddser.h>
#include <win32.h>

#include <cstring>

namespace {

using fuzz::Input;
using fuzz::Machine;

// WAIT_FOR_ENCAPSULATED_RESPONSE with its record in user memory.
std::unique_ptr<porttest::Io> wait_for_response(Machine& m)
{
    auto* record = reinterpret_cast<dc_ioctl_data*>(fuzz::user_area(sizeof(dc_ioctl_data)));
    *record = dc_ioctl_data{ 0xFFFFFFFF, 0, 0, 0, 0 };
    auto io = std::make_unique<porttest::Io>();
    DeviceIoControl(m.handle(), IOCTL_CDC_WAIT_FOR_ENCAPSULATED_RESPONSE, record, sizeof *record, record,
                    sizeof *record, nullptr, &io->overlapped);
    return io;
}

std::unique_ptr<porttest::Io> wait_on_mask(Machine& m, ULONG mask)
{
    m.ioctl(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask, nullptr, 0);
    auto io = std::make_unique<porttest::Io>();
    io->buffer.assign(sizeof(ULONG), '\0');
    DeviceIoControl(m.handle(), IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, io->buffer.data(), sizeof(ULONG), nullptr,
                    &io->overlapped);
    return io;
}

// What the application reads between packets.
void read_status(Machine& m)
{
    ULONG modem = 0;
    SERIAL_STATUS status{};
    m.ioctl(IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &modem, sizeof modem);
    m.ioctl(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof status);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Input in(data, size);
    Machine m;
    m.plug_and_open();
    // Error characters replace bytes that arrive with a line error, and an
    // error may abort reads and writes: the handflow says so.
    if (in.u8() & 1) {
        SERIAL_HANDFLOW handflow{ 0, SERIAL_ERROR_CHAR | SERIAL_ERROR_ABORT, 0, 0 };
        m.ioctl(IOCTL_SERIAL_SET_HANDFLOW, &handflow, sizeof handflow, nullptr, 0);
    }
    auto wait = wait_on_mask(m, in.u16() | in.u16() << 16);
    auto response = wait_for_response(m);
    auto read = m.read(64);
    for (int packets = 0; packets < 32 && !in.empty(); packets++) {
        const std::string packet = in.bytes(in.u8() % 72);
        m.function().notify(bus::Bytes(packet.begin(), packet.end()));
        m.function().settle();
        if (in.u8() & 1)
            read_status(m);
    }
    m.function().send("after");
    for (auto* io : { wait.get(), response.get(), read.get() })
        m.finish(*io);
    m.expect_clean("after the notifications");
    return 0;
}
