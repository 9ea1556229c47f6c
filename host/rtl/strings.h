// UTF-16 helpers for host code. Host code keeps Windows text as
// std::u16string; WCHAR (16-bit wchar_t here) and char16_t share a layout.
#pragma once

#include <string>
#include <string_view>

#include "host/include/ntdef.h"

namespace host {

std::u16string to_u16(std::string_view utf8);         // invalid bytes become U+FFFD
std::string to_utf8(std::u16string_view text);        // unpaired surrogates become U+FFFD
std::u16string to_u16(const UNICODE_STRING* s);       // nullptr or no buffer: empty
std::u16string_view view(PCWSTR s);                   // up to the NUL; nullptr: empty
std::u16string_view view(const UNICODE_STRING& s);    // Length bytes of Buffer

inline const char16_t* as_u16(PCWSTR s) { return reinterpret_cast<const char16_t*>(s); }
inline PWSTR as_wchar(char16_t* s) { return reinterpret_cast<PWSTR>(s); }
inline PCWSTR as_wchar(const char16_t* s) { return reinterpret_cast<PCWSTR>(s); }

// Case mapping as the kernel's upcase table does it for the Latin, Greek and
// Cyrillic blocks; other characters map to themselves.
char16_t upcase(char16_t c);
std::u16string upcase(std::u16string_view text);
bool iequals(std::u16string_view a, std::u16string_view b);

// Without leading and trailing blanks, tabs and carriage returns (text files
// the host reads: registry files, INF files).
std::string_view trim_blanks(std::string_view s);

}  // namespace host
