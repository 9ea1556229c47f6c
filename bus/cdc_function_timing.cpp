// The function model's time: its timers, and the timing model that paces
// the bulk pipes frame by frame at a bus's rate.
#include "bus/cdc_function.h"

namespace bus {

// --- timers ------------------------------------------------------------------

host::TimerHandle CdcFunction::arm(host::Time due, std::function<void()> fire)
{
    auto handle = std::make_shared<host::TimerHandle>(0);
    *handle = host::timer_arm(held(), due, [this, handle, fire = std::move(fire)] {
        timers_.erase(*handle);
        fire();
    });
    timers_.insert(*handle);
    return *handle;
}

void CdcFunction::disarm(host::TimerHandle timer)
{
    if (timers_.erase(timer))
        host::timer_disarm(held(), timer);
}

// --- timing model ------------------------------------------------------------

void CdcFunction::set_timing(const Timing& timing)
{
    auto lk = lock();
    timing_ = timing;
    pump();
}

void CdcFunction::schedule_frame()
{
    if (frame_timer_ || !(in_ready() || out_ready()))
        return;
    const host::Time next = (host::now() / timing_.frame + 1) * timing_.frame;
    frame_timer_ = arm(next, [this] { on_frame(); });
}

// One (micro)frame: its bulk packets go to the directions in turn.
void CdcFunction::on_frame()
{
    frame_timer_ = 0;
    if (!present_ || suspended_)
        return;
    for (unsigned budget = timing_.packets_per_frame; budget > 0 && (in_ready() || out_ready()); --budget) {
        const bool take_in = in_ready() && (in_first_ || !out_ready());
        if (take_in)
            fill_in();
        else
            move_out_packet();
        in_first_ = !take_in;
    }
    schedule_frame();
}

}  // namespace bus
