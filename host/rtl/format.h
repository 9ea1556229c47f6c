// The kernel's printf engine (DbgPrint, the safe-string routines). Windows
// rules, not the C library's:
//  - %s is a string of the function's own width and %S of the other one;
//    h forces narrow, l and w force wide (%hs, %ls, %ws); likewise %c/%C.
//  - %Z takes a PANSI_STRING, %wZ a PUNICODE_STRING.
//  - l is 32 bits; ll, I64, I (pointer size) and z/t/j are 64 bits; I32 is 32.
//  - %p prints the pointer in upper-case hex, 16 digits, without prefix.
//  - A null string argument prints "(null)".
// Narrow text is UTF-8; wide arguments in narrow output are converted to it.
#pragma once

#include <cstdarg>
#include <string>

namespace host {

std::u16string format_windows(const char16_t* fmt, va_list args);
std::string format_windows(const char* fmt, va_list args);

}  // namespace host
