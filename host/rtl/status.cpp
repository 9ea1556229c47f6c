// NTSTATUS to Win32 error mapping, for the statuses the kernel, the framework
// and a serial stack return to user mode.
#include "host/include/ntstatus.h"
#include "host/include/wdk/rtl.h"

namespace {

struct Mapping {
    NTSTATUS status;
    ULONG error;
};

constexpr Mapping kMappings[] = {
    {STATUS_SUCCESS, 0},                           // ERROR_SUCCESS
    {STATUS_TIMEOUT, 258},                         // WAIT_TIMEOUT
    {STATUS_PENDING, 997},                         // ERROR_IO_PENDING
    {STATUS_MORE_ENTRIES, 234},                    // ERROR_MORE_DATA
    {STATUS_BUFFER_OVERFLOW, 234},                 // ERROR_MORE_DATA
    {STATUS_NO_MORE_ENTRIES, 259},                 // ERROR_NO_MORE_ITEMS
    {STATUS_DEVICE_BUSY, 170},                     // ERROR_BUSY
    {STATUS_UNSUCCESSFUL, 31},                     // ERROR_GEN_FAILURE
    {STATUS_NOT_IMPLEMENTED, 1},                   // ERROR_INVALID_FUNCTION
    {STATUS_INVALID_INFO_CLASS, 87},               // ERROR_INVALID_PARAMETER
    {STATUS_INFO_LENGTH_MISMATCH, 24},             // ERROR_BAD_LENGTH
    {STATUS_ACCESS_VIOLATION, 998},                // ERROR_NOACCESS
    {STATUS_INVALID_HANDLE, 6},                    // ERROR_INVALID_HANDLE
    {STATUS_INVALID_PARAMETER, 87},                // ERROR_INVALID_PARAMETER
    {STATUS_INVALID_PARAMETER_1, 87},
    {STATUS_INVALID_PARAMETER_2, 87},
    {STATUS_INVALID_PARAMETER_3, 87},
    {STATUS_NO_SUCH_DEVICE, 2},                    // ERROR_FILE_NOT_FOUND
    {STATUS_NO_SUCH_FILE, 2},                      // ERROR_FILE_NOT_FOUND
    {STATUS_INVALID_DEVICE_REQUEST, 1},            // ERROR_INVALID_FUNCTION
    {STATUS_END_OF_FILE, 38},                      // ERROR_HANDLE_EOF
    {STATUS_NO_MEMORY, 8},                         // ERROR_NOT_ENOUGH_MEMORY
    {STATUS_ACCESS_DENIED, 5},                     // ERROR_ACCESS_DENIED
    {STATUS_BUFFER_TOO_SMALL, 122},                // ERROR_INSUFFICIENT_BUFFER
    {STATUS_OBJECT_TYPE_MISMATCH, 6},              // ERROR_INVALID_HANDLE
    {STATUS_OBJECT_NAME_INVALID, 123},             // ERROR_INVALID_NAME
    {STATUS_OBJECT_NAME_NOT_FOUND, 2},             // ERROR_FILE_NOT_FOUND
    {STATUS_OBJECT_NAME_COLLISION, 183},           // ERROR_ALREADY_EXISTS
    {STATUS_OBJECT_PATH_NOT_FOUND, 3},             // ERROR_PATH_NOT_FOUND
    {STATUS_OBJECT_PATH_SYNTAX_BAD, 161},          // ERROR_BAD_PATHNAME
    {STATUS_SHARING_VIOLATION, 32},                // ERROR_SHARING_VIOLATION
    {STATUS_DELETE_PENDING, 5},                    // ERROR_ACCESS_DENIED
    {STATUS_INTEGER_OVERFLOW, 534},                // ERROR_ARITHMETIC_OVERFLOW
    {STATUS_INSUFFICIENT_RESOURCES, 1450},         // ERROR_NO_SYSTEM_RESOURCES
    {STATUS_DEVICE_DATA_ERROR, 23},                // ERROR_CRC
    {STATUS_DEVICE_NOT_CONNECTED, 1167},           // ERROR_DEVICE_NOT_CONNECTED
    {STATUS_DEVICE_NOT_READY, 21},                 // ERROR_NOT_READY
    {STATUS_IO_TIMEOUT, 121},                      // ERROR_SEM_TIMEOUT
    {STATUS_NOT_SUPPORTED, 50},                    // ERROR_NOT_SUPPORTED
    {STATUS_INTERNAL_ERROR, 1359},                 // ERROR_INTERNAL_ERROR
    {STATUS_INVALID_USER_BUFFER, 1784},            // ERROR_INVALID_USER_BUFFER
    {STATUS_CANCELLED, 995},                       // ERROR_OPERATION_ABORTED
    {STATUS_INVALID_DEVICE_STATE, 22},             // ERROR_BAD_COMMAND
    {STATUS_INVALID_BUFFER_SIZE, 1784},            // ERROR_INVALID_USER_BUFFER
    {STATUS_NOT_FOUND, 1168},                      // ERROR_NOT_FOUND
    {STATUS_DEVICE_REMOVED, 1617},                 // ERROR_DEVICE_REMOVED
};

constexpr ULONG kErrorMrMidNotFound = 317;
constexpr ULONG kFacilityNtWin32 = 7;

}  // namespace

EXTERN_C ULONG RtlNtStatusToDosError(NTSTATUS status)
{
    for (const Mapping& m : kMappings)
        if (m.status == status)
            return m.error;
    // A Win32 error wrapped as a status (0xC007xxxx) carries the code itself.
    const auto raw = static_cast<ULONG>(status);
    if ((raw & 0xF0000000u) == 0xC0000000u && ((raw >> 16) & 0xFFF) == kFacilityNtWin32)
        return raw & 0xFFFF;
    return kErrorMrMidNotFound;
}
