#include "com_port.h"

#include <algorithm>
#include <map>

namespace acmsim {

std::string error_name(DWORD error)
{
    static const std::map<DWORD, const char*> kNames = {
        { ERROR_SUCCESS, "ERROR_SUCCESS" },
        { ERROR_INVALID_FUNCTION, "ERROR_INVALID_FUNCTION" },
        { ERROR_FILE_NOT_FOUND, "ERROR_FILE_NOT_FOUND" },
        { ERROR_ACCESS_DENIED, "ERROR_ACCESS_DENIED" },
        { ERROR_INVALID_HANDLE, "ERROR_INVALID_HANDLE" },
        { ERROR_NOT_READY, "ERROR_NOT_READY" },
        { ERROR_GEN_FAILURE, "ERROR_GEN_FAILURE" },
        { ERROR_NOT_SUPPORTED, "ERROR_NOT_SUPPORTED" },
        { ERROR_DEV_NOT_EXIST, "ERROR_DEV_NOT_EXIST" },
        { ERROR_INVALID_PARAMETER, "ERROR_INVALID_PARAMETER" },
        { ERROR_SEM_TIMEOUT, "ERROR_SEM_TIMEOUT" },
        { ERROR_BUSY, "ERROR_BUSY" },
        { ERROR_OPERATION_ABORTED, "ERROR_OPERATION_ABORTED" },
        { ERROR_IO_PENDING, "ERROR_IO_PENDING" },
        { ERROR_DEVICE_NOT_CONNECTED, "ERROR_DEVICE_NOT_CONNECTED" },
        { ERROR_NO_SYSTEM_RESOURCES, "ERROR_NO_SYSTEM_RESOURCES" },
        { ERROR_TIMEOUT, "ERROR_TIMEOUT" },
        { ERROR_DEVICE_REMOVED, "ERROR_DEVICE_REMOVED" },
    };
    auto it = kNames.find(error);
    return it != kNames.end() ? it->second : "error " + std::to_string(error);
}

Request::Request() { overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }

Request::~Request()
{
    if (overlapped.hEvent)
        CloseHandle(overlapped.hEvent);
}

void Ledger::add(const std::shared_ptr<Request>& request)
{
    requests_.push_back(request);
    issued_++;
}

size_t Ledger::ended() const
{
    return pruned_ + size_t(std::count_if(requests_.begin(), requests_.end(),
                                          [](const auto& r) { return r->finished || r->done(); }));
}

void Ledger::prune()
{
    pruned_ += size_t(std::erase_if(requests_, [](const auto& r) { return r->finished; }));
}

bool ComPort::open()
{
    const std::string path = "\\\\.\\" + name_;
    handle_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OVERLAPPED, nullptr);
    return handle_ != INVALID_HANDLE_VALUE;
}

void ComPort::close()
{
    if (handle_ != INVALID_HANDLE_VALUE)
        CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
}

std::shared_ptr<Request> ComPort::issue(std::shared_ptr<Request> request, BOOL started)
{
    ledger_.add(request);
    if (!started && GetLastError() != ERROR_IO_PENDING) {
        request->error = GetLastError();
        request->finished = true;
    } else if (started) {
        finish(*request, 0);
    }
    return request;
}

std::shared_ptr<Request> ComPort::read(DWORD length)
{
    auto request = std::make_shared<Request>();
    request->buffer.assign(length, '\0');
    BOOL started = ReadFile(handle_, request->buffer.data(), length, nullptr, &request->overlapped);
    return issue(std::move(request), started);
}

std::shared_ptr<Request> ComPort::write(std::string bytes)
{
    auto request = std::make_shared<Request>();
    request->buffer = std::move(bytes);
    BOOL started = WriteFile(handle_, request->buffer.data(), DWORD(request->buffer.size()), nullptr,
                             &request->overlapped);
    return issue(std::move(request), started);
}

std::shared_ptr<Request> ComPort::wait_event()
{
    auto request = std::make_shared<Request>();
    BOOL started = WaitCommEvent(handle_, &request->event_mask, &request->overlapped);
    return issue(std::move(request), started);
}

bool ComPort::finish(Request& request, DWORD timeout_ms)
{
    if (request.finished)
        return true;
    if (!request.done() && WaitForSingleObject(request.overlapped.hEvent, timeout_ms) != WAIT_OBJECT_0)
        return false;
    request.error = GetOverlappedResult(handle_, &request.overlapped, &request.bytes, TRUE) ? ERROR_SUCCESS
                                                                                            : GetLastError();
    request.finished = true;
    return true;
}

void ComPort::cancel(Request& request)
{
    if (!request.finished && !request.done())
        CancelIoEx(handle_, &request.overlapped);
    finish(request);
}

bool ComPort::write_all(const std::string& bytes, DWORD timeout_ms)
{
    auto request = write(bytes);
    if (!finish(*request, timeout_ms))
        cancel(*request);
    return request->error == ERROR_SUCCESS && request->bytes == bytes.size();
}

std::string ComPort::read_up_to(size_t want)
{
    std::string got;
    while (got.size() < want) {
        auto request = read(DWORD(std::min<size_t>(want - got.size(), 4096)));
        finish(*request);
        if (request->error != ERROR_SUCCESS || request->bytes == 0)
            break;
        got += request->data();
    }
    return got;
}

bool ComPort::set_timeouts(DWORD interval, DWORD multiplier, DWORD constant)
{
    COMMTIMEOUTS timeouts{ interval, multiplier, constant, 0, 0 };
    return SetCommTimeouts(handle_, &timeouts);
}

}  // namespace acmsim
