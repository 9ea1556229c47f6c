// The formatter called as DbgPrint and the string functions call it: with
// the arguments of a variable argument list.
#pragma once

#include "host/rtl/format.h"

#include <cstdarg>
#include <string>

template <typename Ch>
std::basic_string<Ch> fmt(const Ch* format, ...)
{
    va_list ap;
    va_start(ap, format);
    std::basic_string<Ch> s = host::format_windows(format, ap);
    va_end(ap);
    return s;
}
