// A COM port as a Windows serial application uses it: a handle opened for
// overlapped I/O, requests that each carry their OVERLAPPED and event, and a
// ledger of every request issued, so that a session can show that each one
// ended.
#pragma once

#include <win32.h>
#include <comm.h>

#include <memory>
#include <string>
#include <vector>

namespace acmsim {

// "ERROR_OPERATION_ABORTED", or "error N" for a code without a name here.
std::string error_name(DWORD error);

// One overlapped read, write or WaitCommEvent.
struct Request {
    Request();
    ~Request();
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    bool done() const { return HasOverlappedIoCompleted(&overlapped); }

    OVERLAPPED overlapped{};
    std::string buffer;
    DWORD event_mask = 0;       // WaitCommEvent's events
    DWORD bytes = 0;            // once finished
    DWORD error = ERROR_SUCCESS;   // once finished; ERROR_SUCCESS when it succeeded
    bool finished = false;      // its result has been collected
    std::string data() const { return buffer.substr(0, bytes); }
};

// Every request a session issued, kept until its result was collected.
class Ledger {
public:
    void add(const std::shared_ptr<Request>& request);
    size_t issued() const { return issued_; }
    size_t ended() const;
    // Lets go of the requests whose results were collected; a long session
    // keeps only what is in flight.
    void prune();

private:
    std::vector<std::shared_ptr<Request>> requests_;
    size_t issued_ = 0;
    size_t pruned_ = 0;
};

class ComPort {
public:
    ComPort(std::string name, Ledger& ledger) : name_(std::move(name)), ledger_(ledger) {}
    ~ComPort() { close(); }
    ComPort(const ComPort&) = delete;
    ComPort& operator=(const ComPort&) = delete;

    const std::string& name() const { return name_; }
    // \\.\NAME for overlapped I/O; false with GetLastError() set.
    bool open();
    void close();
    bool is_open() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE handle() const { return handle_; }

    // Start a request; a request that failed at once is finished already.
    std::shared_ptr<Request> read(DWORD length);
    std::shared_ptr<Request> write(std::string bytes);
    std::shared_ptr<Request> wait_event();

    // Waits up to `timeout_ms` (host time) for the request to end and
    // collects its result; false if it is still pending.
    bool finish(Request& request, DWORD timeout_ms = INFINITE);
    // Cancels a request still pending and collects its result.
    void cancel(Request& request);

    // A write waited for; true when every byte went.
    bool write_all(const std::string& bytes, DWORD timeout_ms = INFINITE);
    // Reads until `want` bytes or a read gives none (the port's time-outs decide).
    std::string read_up_to(size_t want);
    bool set_timeouts(DWORD interval, DWORD multiplier, DWORD constant);

private:
    std::shared_ptr<Request> issue(std::shared_ptr<Request> request, BOOL started);

    std::string name_;
    Ledger& ledger_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

}  // namespace acmsim
