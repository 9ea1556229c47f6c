// What passed over the simulated bus, recorded so that tests can assert the
// exact traffic: control transfers with their setup and data, data transfers
// with their results, and notifications with the driver's answer.
#pragma once

#include <ntddk.h>

#include <cstdint>
#include <vector>

namespace bus {

enum class ChildKind { port, control };

struct ControlTransfer {
    uint8_t request_type = 0;   // bmRequestType
    uint8_t request = 0;        // bRequest
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;        // wLength
    std::vector<uint8_t> data;  // out: bytes sent; in: bytes returned
    NTSTATUS status = STATUS_SUCCESS;
    bool generic = false;       // came through generic_control

    bool to_host() const { return (request_type & 0x80) != 0; }
};

struct DataTransfer {
    bool in = false;            // data-in (device to host)
    ULONG length = 0;           // as posted
    NTSTATUS status = STATUS_SUCCESS;
    ULONG bytes = 0;            // as completed
};

struct Notification {
    ChildKind child = ChildKind::port;
    std::vector<uint8_t> packet;
    bool accepted = false;      // the driver's callback answered TRUE
};

}  // namespace bus
