// I/O controls of every code and any buffer sizes sent through the I/O
// manager to the open port: the serial controls (METHOD_BUFFERED) and the
// common class controls (METHOD_NEITHER) with their 20-byte records, whose
// addresses point at user buffers the input fills, at read-only or
// no-access memory, or nowhere. A control may stay pending while the next
// ones are issued and the device answers; every one must end.
#include "fuzz/machine.h"

#include <dc_ioctl.h>
#include <ntddser.h>
#include <win32.h>

#include <cstring>
#include <vector>

namespace {

using fuzz::Input;
using fuzz::Machine;

constexpr ULONG kCommonCodes[] = { IOCTL_DC_GENERIC_CONTROL, IOCTL_CDC_SEND_ENCAPSULATED_COMMAND,
                                   IOCTL_CDC_GET_ENCAPSULATED_RESPONSE,
                                   IOCTL_CDC_WAIT_FOR_ENCAPSULATED_RESPONSE };
constexpr unsigned kLastSerialFunction = 41;   // IOCTL_SERIAL_SET_INTERVAL_TIMER_RESOLUTION

// Per-call flags.
constexpr uint8_t kInNull = 0x01, kOutNull = 0x02, kOutIsIn = 0x04, kReadOnly = 0x08, kHugeLengths = 0x10,
                  kDeviceEvent = 0x20, kLeavePending = 0x40, kSpoilAddress = 0x80;

// An address that is no good for the driver to touch.
ULONG bad_address(uint8_t which)
{
    static const ULONG kBad[] = { 0, 0x1000, 0x40000000, 0x7FFFFFF0, 0x80001000, 0xFFFFFFF0 };
    if (which % 7 < 6)
        return kBad[which % 7];
    auto* freed = static_cast<char*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE));
    VirtualFree(freed, 0, MEM_RELEASE);
    return ULONG(uintptr_t(freed));
}

// `n` bytes of user memory holding the input's next bytes (zeros past its end).
char* filled(Input& in, size_t n, bool read_only)
{
    char* p = fuzz::user_area(n);
    const std::string data = in.bytes(n);
    std::memcpy(p, data.data(), data.size());
    std::memset(p + data.size(), 0, n - data.size());
    if (read_only && n) {
        DWORD old;
        VirtualProtect(p, n, PAGE_READONLY, &old);
    }
    return p;
}

ULONG address_of(const void* p) { return ULONG(uintptr_t(p)); }

// The record of a common class control: lengths from the input, addresses
// of buffers it fills, or a bad address where the flags say so.
dc_ioctl_data* common_record(Input& in, uint8_t flags)
{
    const uint16_t in_length = in.u16() % 512, out_length = in.u16() % 512;
    char* data_in = filled(in, in_length, false);
    // A generic control's data stage may name a buffer of its own.
    if (in_length >= sizeof(dc_control_record) && in.u8() & 1) {
        const ULONG stage = address_of(filled(in, in.u8(), false));
        std::memcpy(data_in + offsetof(dc_control_record, data_address), &stage, sizeof stage);
    }
    char* data_out = fuzz::user_area(out_length);
    auto* record = reinterpret_cast<dc_ioctl_data*>(fuzz::user_area(sizeof(dc_ioctl_data)));
    *record = dc_ioctl_data{ 0xFFFFFFFF, in_length, address_of(data_in), out_length, address_of(data_out) };
    if (flags & kSpoilAddress) {
        ULONG* fields[] = { &record->data_in_len, &record->data_in, &record->data_out_len, &record->data_out };
        const uint8_t which = in.u8();
        *fields[which % 4] = which & 0x80 ? in.u32() : bad_address(which >> 2);
    }
    return record;
}

// Something the device does while controls are outstanding.
void device_event(Machine& m, Input& in)
{
    bus::CdcFunction& fn = m.function();
    switch (in.u8() % 5) {
    case 0: fn.response_available(); break;
    case 1: {
        const std::string reply = in.bytes(in.u8() % 64);
        fn.queue_response(bus::Bytes(reply.begin(), reply.end()));
        break;
    }
    case 2: fn.send(in.bytes(in.u8())); break;
    case 3: fn.serial_state(in.u16()); break;
    default: fn.network_connection(in.u8() & 1); break;
    }
}

void one_control(Machine& m, Input& in, std::vector<std::unique_ptr<porttest::Io>>& pending)
{
    const uint8_t kind = in.u8(), flags = in.u8();
    ULONG code;
    void* input = nullptr;
    void* output = nullptr;
    ULONG in_length, out_length;
    if (kind % 8 == 6) {   // a common class control with a record that makes sense, or nearly
        code = kCommonCodes[(kind >> 3) % 4];
        auto* record = common_record(in, flags);
        input = record;
        output = flags & kOutIsIn ? record : common_record(in, flags & ~kSpoilAddress);
        in_length = out_length = sizeof(dc_ioctl_data);
        if (flags & kHugeLengths)
            (kind & 0x80 ? in_length : out_length) = in.u8();
    } else {
        if (kind % 8 == 7)
            code = in.u32();
        else if (kind % 8 == 5)   // a serial function with another method or access
            code = CTL_CODE(FILE_DEVICE_SERIAL_PORT, in.u8(), kind >> 6, (kind >> 4) & 3);
        else
            code = CTL_CODE(FILE_DEVICE_SERIAL_PORT, in.u8() % (kLastSerialFunction + 1), METHOD_BUFFERED,
                            FILE_ANY_ACCESS);
        in_length = flags & kHugeLengths ? in.u32() : in.u8();
        out_length = flags & kHugeLengths ? in.u32() : in.u8();
        const size_t room_in = std::min<ULONG>(in_length, 4096), room_out = std::min<ULONG>(out_length, 4096);
        if (!(flags & kInNull))
            input = filled(in, room_in, flags & kReadOnly);
        if (flags & kOutIsIn)
            output = input;
        else if (!(flags & kOutNull))
            output = filled(in, room_out, false);
    }

    auto io = std::make_unique<porttest::Io>();
    DeviceIoControl(m.handle(), code, input, in_length, output, out_length, nullptr, &io->overlapped);
    if (flags & kDeviceEvent)
        device_event(m, in);
    if (flags & kLeavePending)
        pending.push_back(std::move(io));
    else
        m.finish(*io);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Input in(data, size);
    Machine m;
    m.plug_and_open();
    std::vector<std::unique_ptr<porttest::Io>> pending;
    for (int calls = 0; calls < 16 && !in.empty(); calls++)
        one_control(m, in, pending);
    for (auto& io : pending)
        m.finish(*io);
    m.expect_clean("after the controls");
    return 0;
}
