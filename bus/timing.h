// The bus timing model. Off by default: transfers then move as soon as both
// ends are ready. On, bulk packets move at frame boundaries of host time, at
// most `packets_per_frame` per (micro)frame shared by both directions, and
// every completion reaches the driver `turnaround` after its last packet.
#pragma once

#include "host/kernel/sched.h"

namespace bus {

enum class Speed { full, high };

struct Timing {
    bool enabled = false;
    host::Time frame = host::kMillisecond;   // (micro)frame period
    unsigned packets_per_frame = 19;         // bulk packets per (micro)frame
    host::Time turnaround = 0;               // last packet to completion callback
    unsigned control_frames = 3;             // setup, data and status stages

    // 19 x 64-byte packets per 1 ms frame.
    static Timing full_speed(host::Time turnaround = 0)
    {
        return {true, host::kMillisecond, 19, turnaround, 3};
    }
    // 13 x 512-byte packets per 125 us microframe.
    static Timing high_speed(host::Time turnaround = 0)
    {
        return {true, host::kMillisecond / 8, 13, turnaround, 3};
    }
    static Timing for_speed(Speed speed, host::Time turnaround = 0)
    {
        return speed == Speed::full ? full_speed(turnaround) : high_speed(turnaround);
    }
};

}  // namespace bus
