// DbgPrint and its relatives: formatted with the kernel's rules and
// appended to the host's debugger trace.
#include <string>

#include "host/include/ntstatus.h"
#include "host/include/wdk/rtl.h"
#include "host/rtl/format.h"
#include "host/rtl/trace.h"

namespace {

constexpr size_t kMaxTransmit = 512;  // bytes one call sends to the debugger

ULONG print(PCSTR format, va_list args)
{
    std::string text = host::format_windows(format, args);
    if (text.size() > kMaxTransmit)
        text.resize(kMaxTransmit);
    host::trace_write(text);
    return STATUS_SUCCESS;
}

}  // namespace

EXTERN_C ULONG DbgPrint(PCSTR format, ...)
{
    va_list args;
    va_start(args, format);
    const ULONG status = print(format, args);
    va_end(args);
    return status;
}

EXTERN_C ULONG DbgPrintEx(ULONG component, ULONG level, PCSTR format, ...)
{
    va_list args;
    va_start(args, format);
    const ULONG status = vDbgPrintEx(component, level, format, args);
    va_end(args);
    return status;
}

EXTERN_C ULONG vDbgPrintEx(ULONG, ULONG, PCCH format, va_list args) { return print(format, args); }

EXTERN_C VOID DbgBreakPoint(void) { host::trace_host("DbgBreakPoint"); }
