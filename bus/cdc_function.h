// The simulated USB CDC ACM function behind the bus driver, and the children
// the bus reports for it: the serial port (class "Ports" or "Modem") and, for
// a function with a serial control device, a second child of class "System".
// Each child hands its driver the DC Enumerator interface; every operation of
// that record is served by this model.
//
// Host state lives under the scheduler lock. The driver's completion and
// notification routines run in the bus's completion context, a DPC at
// DISPATCH_LEVEL, never inside the call that posted the work. The driver's
// start, stop, in-use, suspend and resume callbacks run on the thread that
// asks for them (tests and tools, PASSIVE_LEVEL).
//
// Typical use:
//   bus::CdcFunction fn(config);          // before the Host, so that it
//   host::Host host;                      // outlives the devices it answers for
//   host.load_driver(u"acmserial", DriverEntry);
//   fn.set_behaviour(std::make_shared<bus::AtModem>());
//   host::io::DeviceNode* node = host.plug(fn.port().description());
//   fn.set_removal_handler([&] { host.surprise_remove(node); });
// A behaviour with a thread of its own (StreamBridge) is removed with
// set_behaviour(nullptr) before the Host stops the scheduler.
#pragma once

#include "bus/behaviour.h"
#include "bus/faults.h"
#include "bus/packet_queue.h"
#include "bus/timing.h"
#include "bus/traffic.h"
#include "common/dc_bus_interface.h"
#include "host/kernel/sched.h"

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace host {
struct ChildDevice;
namespace io {
class DeviceHandler;
}
}  // namespace host

namespace bus {

// Interrupt packets as the function sends them: a SERIAL_STATE with its
// 16-bit bitmap, and a notification without data (wLength 0).
Bytes serial_state_packet(uint16_t iface, uint16_t bitmap);
Bytes header_packet(uint16_t iface, uint8_t code, uint16_t value);

using HardwareValue = std::variant<ULONG, std::u16string>;

struct ChildNames {
    std::u16string instance_path;
    std::u16string hardware_id;
    std::u16string class_name;
    std::u16string friendly_name;
    std::u16string pdo_name;
};

struct FunctionConfig {
    ChildNames port{u"USB\\VID_1234&PID_0001&MI_00\\7&1&0", u"USB\\VID_1234&PID_0001&MI_00", u"Ports",
                    u"ACM Serial Port (COM5)", u"\\Device\\USBPDO-5"};
    ChildNames control{u"USB\\VID_1234&PID_0001&MI_02\\7&1&2", u"USB\\VID_1234&PID_0001&MI_02", u"System",
                       u"ACM Serial Control", u"\\Device\\USBPDO-6"};
    std::u16string port_name = u"COM5";   // PortName in the port's hardware key
    // Further hardware-key values of the port (driver options).
    std::vector<std::pair<std::u16string, HardwareValue>> hardware_key;

    // Functional descriptors: bmCapabilities, or absent.
    std::optional<uint8_t> call_management = 0x03;
    std::optional<uint8_t> acm = 0x06;   // line coding and control lines, send break
    // Functional descriptors by subtype exactly as the function reports
    // them, whatever their length and fields; they take the place of the
    // two above for the driver (the device still answers as those say).
    std::map<uint8_t, Bytes> raw_functional_descriptors;

    Speed speed = Speed::full;            // data packets of 64 or 512 bytes
    std::optional<ULONG> max_packet;      // wMaxPacketSize of the bulk endpoints (1 or more) instead
    ULONG ui_number = 5;
    ULONG idle_timeout = 0;               // seconds; 0: no selective suspend
    bool serial_control_device = false;   // a second child of class "System"
    LineCoding initial_line_coding{};
    uint16_t comm_interface = 0;          // wIndex of class requests and notifications
    host::Time resume_latency = 30 * host::kMillisecond;   // resume signalling and recovery
    // The suspend, resume and in-use callbacks are called at DISPATCH_LEVEL,
    // as a bus driver may call them from its own completion path.
    bool callbacks_at_dispatch = false;
    // A full data-in packet that leaves the device with nothing more to send
    // is followed by a zero-length packet, as CDC devices end a burst; off,
    // such a burst waits in a multi-packet transfer until more data comes.
    bool zero_length_packets = true;
};

// Answers SEND_ENCAPSULATED_COMMAND with the reply to queue, or none.
using Responder = std::function<std::optional<Bytes>(std::span<const uint8_t> command)>;

class CdcFunction;

// One child device: its physical device object, the interface it hands out
// and the state its driver sets through that interface.
class DcChild {
public:
    DcChild(CdcFunction& function, ChildKind kind);
    ~DcChild();
    DcChild(const DcChild&) = delete;
    DcChild& operator=(const DcChild&) = delete;

    ChildKind kind() const { return kind_; }
    CdcFunction& function() { return fn_; }

    // IRP_MN_QUERY_INTERFACE as the physical device object answers it; on
    // success the record is filled and referenced once for the caller.
    NTSTATUS query_interface(const GUID& type, USHORT size, USHORT version, PINTERFACE out,
                             PVOID specific_data);
    std::string interface_specific_data() const;   // as given with the last query
    int references() const;
    int handouts() const;

    host::io::DeviceHandler* pdo_handler();
    // What the bus reports to the PnP manager for this child.
    host::ChildDevice description() const;

    // State set by the driver through the interface.
    bool transport_enabled() const;
    bool data_io_initialized() const;
    bool notify_registered() const;
    bool callbacks_registered() const;
    ULONG hold_child_if_in_use() const;
    bool removed() const;

    // Interface operations in call order, as "name" or "name(args)"; the
    // data posts and is_suspended are left out (see CdcFunction::transfers()).
    std::vector<std::string> op_log() const;
    int calls(std::string_view operation) const;   // data posts included
    void clear_op_log();

    // The driver's registered callbacks, called on the calling thread (the
    // suspend, resume and in-use ones raised to DISPATCH_LEVEL when the
    // function's config asks for it). STATUS_INVALID_DEVICE_STATE (FALSE)
    // when none are registered.
    NTSTATUS io_start();
    NTSTATUS io_stop();
    BOOLEAN is_in_use();
    NTSTATUS io_suspend();
    NTSTATUS io_resume();

private:
    friend class CdcFunction;
    friend struct InterfaceThunks;
    class Pdo;

    struct Callbacks {
        ULONG hold = 0;
        PDC_IO_START_CALLBACK start = nullptr;
        PDC_IO_STOP_CALLBACK stop = nullptr;
        PDC_IS_IN_USE_CALLBACK in_use = nullptr;
        PDC_IO_SUSPEND_CALLBACK suspend = nullptr;
        PDC_IO_RESUME_CALLBACK resume = nullptr;
        PVOID context = nullptr;
    };

    void log_op(std::string_view operation, std::string args = "", bool listed = true);   // lock held
    void set_removed(bool removed, bool function_gone = false);
    Callbacks registered_callbacks() const;
    template <typename Call>
    auto at_callback_irql(Call call);
    template <typename Read>
    auto read_locked(Read read) const;
    void verify_released();

    static constexpr uint32_t kMagic = 0x44434348;   // "DCCH"
    uint32_t magic_ = kMagic;
    CdcFunction& fn_;
    ChildKind kind_;
    std::shared_ptr<Pdo> pdo_;

    // Under the scheduler lock.
    int references_ = 0;
    int handouts_ = 0;
    std::string specific_data_;
    bool transport_ = false;
    bool data_in_open_ = false;
    bool data_out_open_ = false;
    WDFDEVICE notify_device_ = nullptr;
    PDC_NOTIFY_CALLBACK notify_ = nullptr;
    std::optional<Callbacks> callbacks_;
    bool removed_ = false;
    std::vector<std::string> ops_;
    std::map<std::string, int, std::less<>> calls_;
};

class CdcFunction {
public:
    // May be made before the Host (and so outlive it): its devices are then
    // removed while the function still answers for them.
    explicit CdcFunction(FunctionConfig config = {});
    ~CdcFunction();
    CdcFunction(const CdcFunction&) = delete;
    CdcFunction& operator=(const CdcFunction&) = delete;

    const FunctionConfig& config() const { return config_; }
    DcChild& port() { return *port_; }
    DcChild* control() { return control_.get(); }
    std::vector<host::ChildDevice> children() const;
    ULONG max_packet_size() const { return config_.max_packet.value_or(config_.speed == Speed::full ? 64 : 512); }
    static constexpr size_t kInterruptPacketSize = 16;   // notification endpoint

    // --- firmware -------------------------------------------------------
    void set_behaviour(std::shared_ptr<Behaviour> behaviour);
    // Takes precedence over the behaviour's answer to encapsulated commands.
    void set_responder(Responder responder);

    // The device side, for tests and tools (takes the scheduler lock).
    void send(std::span<const uint8_t> bytes);
    void send(std::string_view text);
    void send_packet(std::span<const uint8_t> packet);
    void serial_state(uint16_t bitmap);
    // Line errors (framing, parity, overrun), a break or a ring seen on the
    // line: one SERIAL_STATE with these one-shot bits and the carrier lines
    // as last reported.
    void line_event(uint16_t one_shot_bits);
    void response_available();
    void network_connection(bool connected);
    void notify(Bytes packet);
    void queue_response(Bytes response);   // for GET_ENCAPSULATED_RESPONSE, with RESPONSE_AVAILABLE
    // The device answers control transfers with this bmRequestType and
    // bRequest with a STALL handshake from now on (STATUS_UNSUCCESSFUL).
    void stall_control(uint8_t request_type, uint8_t request);
    // Vendor requests to the device: kVendorStore (out) keeps its data stage,
    // kVendorFetch (in) returns what was kept, up to wLength.
    static constexpr uint8_t kVendorStore = 0x01, kVendorFetch = 0x02;
    Bytes vendor_data() const;

    // --- what the device keeps -----------------------------------------
    LineCoding line_coding() const;
    uint16_t control_lines() const;
    bool break_on() const;
    std::vector<Bytes> encapsulated_commands() const;
    size_t pending_in_bytes() const;   // sent by the device, not yet in a transfer
    // What the device holds for the host before it refuses (NAKs) data-out
    // packets: a writer that outruns its reader waits instead of growing
    // the device's queue. A whole data-out transfer is taken once started.
    static constexpr size_t kDeviceBuffer = 64 * 1024;

    // --- traffic ----------------------------------------------------------
    // Recorded for the life of the function; the data-out bytes and the data
    // transfers keep at least their last kLogLimit entries.
    static constexpr size_t kLogLimit = size_t(1) << 20;
    std::vector<ControlTransfer> control_log() const;
    Bytes received() const;                       // the bytes of the data-out transfers, in order
    std::vector<DataTransfer> transfers() const;  // completed data transfers in order
    std::vector<Notification> notifications() const;
    void clear_logs();
    bool data_in_outstanding() const;
    bool data_out_outstanding() const;
    // Blocks until no completion is queued, running or waiting for its
    // turnaround (host time).
    void settle();

    // --- timing -------------------------------------------------------------
    void set_timing(const Timing& timing);

    // --- faults ---------------------------------------------------------------
    void inject(Op op, const Fault& fault);
    void clear_faults();
    void release_stalls();
    // The function disappears: outstanding work ends with STATUS_NO_SUCH_DEVICE,
    // later calls fail, and the removal handler runs on a host thread.
    void surprise_remove();
    void set_removal_handler(std::function<void()> handler);
    bool present() const;

    // --- selective suspend --------------------------------------------------
    // Suspend: the drivers' suspend callbacks, then in-flight transfers end
    // with STATUS_POWER_STATE_INVALID. Resume: back, then the resume callbacks.
    void suspend();
    void resume();
    bool suspended() const;

private:
    friend class DcChild;
    friend class DeviceSide;
    friend struct InterfaceThunks;

    struct Transfer {
        uint8_t* buffer = nullptr;
        ULONG length = 0;
        ULONG done = 0;
        PDC_TRANSFER_COMPLETE routine = nullptr;
        PVOID context = nullptr;
        bool stalled = false;
        ULONG packets_left = 0;   // data-out under the timing model
    };
    enum class PipeState { idle, posted, completing };
    struct Pipe {
        explicit Pipe(bool direction_in) : in(direction_in) {}
        bool in;
        PipeState state = PipeState::idle;
        Transfer transfer;
        Bytes snapshot;   // data-out bytes as posted; its storage is reused
    };
    struct Completion {
        Pipe* pipe = nullptr;   // null: a notification
        PDC_TRANSFER_COMPLETE routine = nullptr;
        PVOID context = nullptr;
        NTSTATUS status = STATUS_SUCCESS;
        ULONG bytes = 0;
        DcChild* child = nullptr;
        Bytes packet;
    };
    // A view of the scheduler lock that the caller already holds.
    class Held {
    public:
        explicit Held(std::mutex* m) : lock_(*m, std::adopt_lock) {}
        ~Held() { lock_.release(); }
        operator std::unique_lock<std::mutex>&() { return lock_; }

    private:
        std::unique_lock<std::mutex> lock_;
    };

    // The scheduler lock; remembers its mutex for held().
    std::unique_lock<std::mutex> lock() const;
    // Everything below runs with the scheduler lock held unless it says otherwise.
    Held held() { return Held(sched_mutex_.load(std::memory_order_relaxed)); }
    host::TimerHandle arm(host::Time due, std::function<void()> fire);
    void disarm(host::TimerHandle timer);

    // Operations served for a child.
    NTSTATUS control_transfer(DcChild& child, const DC_CONTROL_RECORD& setup, uint8_t* buffer,
                              ULONG buffer_length, PULONG bytes_done, bool generic, host::Time timeout,
                              std::unique_lock<std::mutex>& lock);
    NTSTATUS device_request(const DC_CONTROL_RECORD& setup, Bytes& data);
    NTSTATUS standard_request(const DC_CONTROL_RECORD& setup, Bytes& data);
    NTSTATUS class_request(const DC_CONTROL_RECORD& setup, Bytes& data);
    NTSTATUS vendor_request(const DC_CONTROL_RECORD& setup, Bytes& data);
    void set_break(uint16_t duration);
    BOOLEAN post(DcChild& child, Pipe& pipe, PVOID buffer, ULONG length, PDC_TRANSFER_COMPLETE routine,
                 PVOID context);
    void complete_forced(Pipe& pipe, NTSTATUS status, ULONG bytes);
    void abort(Pipe& pipe);
    void close_pipes(DcChild& child);   // data I/O uninit, transport disable
    void wakeup();                      // device_wakeup; lock not held

    // Data movement.
    void pump();
    void fill_in();
    void move_out_packet();
    void deliver_out(Pipe& pipe);
    void watch_out_buffer(const uint8_t* buffer, ULONG length);
    void unwatch_out_buffer();
    void finish(Pipe& pipe, NTSTATUS status, ULONG bytes);
    void schedule_frame();
    void on_frame();
    bool in_ready() const;
    bool out_ready() const;

    // Completion context.
    void queue_completion(Completion c);
    void run_completions();   // the DPC routine; lock not held
    void deliver_notifications();

    // Firmware side.
    void send_locked(std::span<const uint8_t> bytes);
    void send_packet_locked(std::span<const uint8_t> packet);
    void notify_locked(Bytes packet);
    void serial_state_locked(uint16_t bitmap);
    void line_event_locked(uint16_t one_shot_bits);
    void response_available_locked();
    void network_connection_locked(bool connected);
    void queue_response_locked(Bytes response);
    void remove_locked();
    void report_removal();   // lock not held
    std::vector<DcChild*> child_list();
    template <typename Fn>
    void for_behaviour(Fn fn)
    {
        if (behaviour_)
            fn(*behaviour_);
    }

    FunctionConfig config_;
    mutable std::atomic<std::mutex*> sched_mutex_ = nullptr;   // of the running scheduler
    std::unique_ptr<DcChild> port_;
    std::unique_ptr<DcChild> control_;
    DeviceSide device_{*this};
    std::shared_ptr<Behaviour> behaviour_;
    Responder responder_;

    // Device state.
    LineCoding line_coding_;
    uint16_t control_lines_ = 0;
    uint16_t carrier_lines_ = 0;   // bRxCarrier and bTxCarrier as last reported
    bool break_on_ = false;
    host::TimerHandle break_timer_ = 0;
    std::vector<Bytes> commands_;
    std::deque<Bytes> responses_;
    Bytes vendor_data_;
    std::set<std::pair<uint8_t, uint8_t>> stalled_controls_;
    PacketQueue in_packets_;
    bool zlp_due_ = false;   // a zero-length packet goes out before the next data
    std::deque<Bytes> notifications_pending_;
    bool present_ = true;
    bool suspended_ = false;
    bool resuming_ = false;
    bool wakeup_started_ = false;
    bool removal_due_ = false;

    // Pipes and completion context.
    Pipe in_{true};
    Pipe out_{false};
    const uint8_t* out_watched_ = nullptr;   // the data-out buffer the pool watches
    std::deque<Completion> completions_;
    host::Dpc completion_dpc_;
    bool draining_ = false;
    int turnarounds_ = 0;   // completions waiting for their turnaround

    Timing timing_;
    host::TimerHandle frame_timer_ = 0;
    bool in_first_ = true;
    std::set<host::TimerHandle> timers_;
    std::set<host::TimerHandle> firmware_timers_;   // armed by the behaviour

    FaultPlan faults_;
    uint64_t stall_generation_ = 0;
    std::function<void()> removal_handler_;
    std::vector<host::Thread*> threads_;

    std::vector<ControlTransfer> control_log_;
    Bytes received_;
    std::vector<DataTransfer> transfers_;
    std::vector<Notification> notifications_;
};

}  // namespace bus
