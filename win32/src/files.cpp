// Files on devices: open, read, write, device control, overlapped results,
// cancellation and close, over the I/O manager's system services.
#include "process.h"

#include <ntddk.h>

#include "host/kernel/sched.h"
#include "host/rtl/strings.h"

using namespace win32;

namespace {

// The NT name a Win32 path stands for: \\.\X and \\?\X are \??\X, a bare
// device name (COM3) is \??\COM3, \\?\GLOBALROOT\X is X itself.
std::u16string nt_path(std::u16string_view path)
{
    constexpr std::u16string_view kGlobalRoot = u"\\\\?\\GLOBALROOT";
    if (path.size() > kGlobalRoot.size() && host::iequals(path.substr(0, kGlobalRoot.size()), kGlobalRoot))
        return std::u16string(path.substr(kGlobalRoot.size()));
    if (path.starts_with(u"\\\\.\\") || path.starts_with(u"\\\\?\\"))
        return u"\\??\\" + std::u16string(path.substr(4));
    if (path.find(u'\\') == std::u16string_view::npos && !path.empty())
        return u"\\??\\" + std::u16string(path);
    return {};
}

struct SyncResult {
    bool done = false;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
};

// The call on a referenced file object. A synchronous handle carries one
// call at a time, as the file object's lock does on Windows, and waits for
// its result; an overlapped one reports through the OVERLAPPED.
BOOL issue_on(File& file, host::io::UserIo io, LPDWORD transferred, LPOVERLAPPED overlapped)
{
    if (overlapped)
        io.byte_offset = LONGLONG(overlapped->Offset) | (LONGLONG(overlapped->OffsetHigh) << 32);

    if (!file.overlapped) {
        auto result = std::make_shared<SyncResult>();
        io.done = [result](NTSTATUS status, ULONG_PTR information) {
            *result = SyncResult{true, status, information};
        };
        auto lock = host::sched_lock();
        host::wait_until(lock, [&] { return !file.busy; }, host::kForever, "file object lock");
        file.busy = true;
        lock.unlock();
        host::io::submit(file.object, std::move(io));
        lock.lock();
        host::wait_until(lock, [&] { return result->done; }, host::kForever, "synchronous I/O");
        file.busy = false;
        host::notify_all();
        if (transferred)
            *transferred = DWORD(result->information);
        return NT_SUCCESS(result->status) ? TRUE : fail_with_status(result->status);
    }

    if (!overlapped)
        return fail_with_error(ERROR_INVALID_PARAMETER);
    auto lock = host::sched_lock();
    auto event = overlapped->hEvent ? find<Event>(overlapped->hEvent) : nullptr;
    if (event)
        event->signaled = false;
    overlapped->Internal = STATUS_PENDING;
    overlapped->InternalHigh = 0;
    lock.unlock();
    io.tag = overlapped;
    io.done = [overlapped, event](NTSTATUS status, ULONG_PTR information) {
        overlapped->Internal = ULONG_PTR(status);
        overlapped->InternalHigh = information;
        if (event)
            event->signaled = true;
    };
    NTSTATUS status = host::io::submit(file.object, std::move(io));
    if (status == STATUS_PENDING)
        return fail_with_error(ERROR_IO_PENDING);
    if (transferred)
        *transferred = DWORD(overlapped->InternalHigh);
    return NT_SUCCESS(status) ? TRUE : fail_with_status(status);
}

// Issues one read, write or control on `handle`: a synchronous handle waits
// for the result, an overlapped one reports through the OVERLAPPED. The
// file object stays referenced meanwhile, whatever other threads close.
// The count transferred reads 0 until the request has ended.
BOOL issue(HANDLE handle, host::io::UserIo io, LPDWORD transferred, LPOVERLAPPED overlapped)
{
    if (transferred)
        *transferred = 0;
    auto lock = host::sched_lock();
    auto file = find<File>(handle);
    if (!file)
        return fail_with_error(ERROR_INVALID_HANDLE);
    host::io::reference_file_locked(file->object);
    lock.unlock();
    BOOL result = issue_on(*file, std::move(io), transferred, overlapped);
    host::io::dereference_file(file->object);
    return result;
}

}  // namespace

EXTERN_C HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                            LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/, DWORD /*dwCreationDisposition*/,
                            DWORD dwFlagsAndAttributes, HANDLE /*hTemplateFile*/)
{
    std::u16string path = nt_path(host::view(lpFileName));
    if (path.empty()) {
        fail_with_error(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    _FILE_OBJECT* object = nullptr;
    NTSTATUS status = host::io::open_file(path, dwDesiredAccess, dwShareMode, &object);
    if (!NT_SUCCESS(status)) {
        fail_with_status(status);
        return INVALID_HANDLE_VALUE;
    }
    auto file = std::make_shared<File>(File{object, (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0});
    auto lock = host::sched_lock();
    SetLastError(ERROR_SUCCESS);
    return insert_handle(file);
}

EXTERN_C HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                            LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                            DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    std::u16string name = host::to_u16(lpFileName ? lpFileName : "");
    return CreateFileW(host::as_wchar(name.c_str()), dwDesiredAccess, dwShareMode, lpSecurityAttributes,
                       dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
}

EXTERN_C BOOL CloseHandle(HANDLE hObject)
{
    auto lock = host::sched_lock();
    Object removed;
    if (!erase_handle(hObject, &removed))
        return fail_with_error(ERROR_INVALID_HANDLE);
    lock.unlock();
    if (auto* file = std::get_if<std::shared_ptr<File>>(&removed))
        host::io::close_file((*file)->object);
    return TRUE;
}

EXTERN_C BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                       LPOVERLAPPED lpOverlapped)
{
    host::io::UserIo io;
    io.major = IRP_MJ_READ;
    io.output = lpBuffer;
    io.output_length = nNumberOfBytesToRead;
    return issue(hFile, std::move(io), lpNumberOfBytesRead, lpOverlapped);
}

EXTERN_C BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                        LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped)
{
    host::io::UserIo io;
    io.major = IRP_MJ_WRITE;
    io.input = lpBuffer;
    io.input_length = nNumberOfBytesToWrite;
    return issue(hFile, std::move(io), lpNumberOfBytesWritten, lpOverlapped);
}

EXTERN_C BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                              LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                              LPOVERLAPPED lpOverlapped)
{
    host::io::UserIo io;
    io.major = IRP_MJ_DEVICE_CONTROL;
    io.ioctl = dwIoControlCode;
    io.input = lpInBuffer;
    io.input_length = nInBufferSize;
    io.output = lpOutBuffer;
    io.output_length = nOutBufferSize;
    return issue(hDevice, std::move(io), lpBytesReturned, lpOverlapped);
}

EXTERN_C BOOL CancelIo(HANDLE hFile)
{
    auto lock = host::sched_lock();
    auto file = find<File>(hFile);
    lock.unlock();
    if (!file)
        return fail_with_error(ERROR_INVALID_HANDLE);
    host::io::cancel_thread_io(file->object);
    return TRUE;
}

EXTERN_C BOOL CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped)
{
    auto lock = host::sched_lock();
    auto file = find<File>(hFile);
    lock.unlock();
    if (!file)
        return fail_with_error(ERROR_INVALID_HANDLE);
    NTSTATUS status = host::io::cancel_io(file->object, lpOverlapped);
    return NT_SUCCESS(status) ? TRUE : fail_with_status(status);
}

EXTERN_C BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                  BOOL bWait)
{
    return GetOverlappedResultEx(hFile, lpOverlapped, lpNumberOfBytesTransferred, bWait ? INFINITE : 0, FALSE);
}

// A wait that ends before the request does fails with WAIT_TIMEOUT; no wait
// at all with ERROR_IO_INCOMPLETE.
EXTERN_C BOOL GetOverlappedResultEx(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                    DWORD dwMilliseconds, BOOL bAlertable)
{
    (void)bAlertable;
    auto lock = host::sched_lock();
    if (!find<File>(hFile))
        return fail_with_error(ERROR_INVALID_HANDLE);
    auto pending = [lpOverlapped] { return NTSTATUS(lpOverlapped->Internal) == STATUS_PENDING; };
    if (pending()) {
        if (dwMilliseconds == 0)
            return fail_with_error(ERROR_IO_INCOMPLETE);
        const host::Time deadline =
            dwMilliseconds == INFINITE ? host::kForever : host::now() + host::Time(dwMilliseconds) * host::kMillisecond;
        if (!host::wait_until(lock, [&] { return !pending(); }, deadline, "GetOverlappedResult"))
            return fail_with_error(WAIT_TIMEOUT);
    }
    if (lpNumberOfBytesTransferred)
        *lpNumberOfBytesTransferred = DWORD(lpOverlapped->InternalHigh);
    NTSTATUS status = NTSTATUS(lpOverlapped->Internal);
    return NT_SUCCESS(status) ? TRUE : fail_with_status(status);
}
