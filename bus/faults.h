// Fault injection: every operation of the DC Enumerator interface can be made
// to misbehave, once, several times or always, after a number of good calls.
//
// What each kind means for the operations that accept it:
//   refuse           data_in_post, data_out_post, cdc_set_notify_cb answer FALSE
//   fail(status)     status-returning operations and the interface query return
//                    `status` without doing anything
//   complete(s, n)   a posted transfer ends at once with status s and n bytes;
//                    a control request returns s with n bytes transferred
//   stall            the endpoint stops answering: a posted transfer stays
//                    outstanding, a control request blocks the caller, until
//                    release_stalls(), an abort (transfers), removal or the
//                    time-out of generic_control
//   ignore           data_abort does not take effect
//   surprise_remove  the function is surprise-removed in the middle of the
//                    operation (a posted transfer is accepted first)
#pragma once

#include <ntddk.h>

#include <deque>
#include <map>
#include <optional>

namespace bus {

enum class Op {
    query_interface,
    control_request,
    generic_control,
    transport_enable,
    transport_disable,
    data_in_post,
    data_out_post,
    set_notify_cb,
    data_abort,
    get_functional_descriptor,
    get_max_packet_size,
    data_io_init,
    data_io_uninit,
    get_idle_timeout,
    clear_data,
};

struct Fault {
    enum class Kind { refuse, fail, complete, stall, ignore, surprise_remove };

    Kind kind = Kind::fail;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    ULONG bytes = 0;
    int skip = 0;    // good calls before the fault applies
    int times = 1;   // calls it applies to; -1: every call from then on

    static Fault refuse() { return {Kind::refuse}; }
    static Fault fail(NTSTATUS status) { return {Kind::fail, status}; }
    static Fault complete(NTSTATUS status, ULONG bytes) { return {Kind::complete, status, bytes}; }
    static Fault zero_bytes() { return complete(STATUS_SUCCESS, 0); }
    static Fault stall() { return {Kind::stall}; }
    static Fault ignore() { return {Kind::ignore}; }
    static Fault surprise_remove() { return {Kind::surprise_remove}; }

    Fault after(int good_calls) const { Fault f = *this; f.skip = good_calls; return f; }
    Fault repeat(int calls) const { Fault f = *this; f.times = calls; return f; }
    Fault always() const { return repeat(-1); }
};

// The faults armed for each operation, consumed call by call. Guarded by the
// scheduler lock like the rest of the function's state.
class FaultPlan {
public:
    void arm(Op op, const Fault& fault) { armed_[op].push_back(fault); }
    void clear() { armed_.clear(); }
    // The fault that applies to this call of `op`, if any.
    std::optional<Fault> take(Op op);

private:
    std::map<Op, std::deque<Fault>> armed_;
};

}  // namespace bus
