// Capture of the kernel debugger output (DbgPrint). Every line is stamped
// with host time, so that a controlled run's trace is the same for the same
// seed. Tests read the trace; tools print it live or save it.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// Appends already formatted debugger output; splits it into lines.
void trace_write(std::string_view text);
// Host-originated lines (PnP events, verifier reports) in the same stream,
// marked so that they are told apart from driver output.
void trace_host(std::string_view text);

std::vector<std::string> trace_lines();   // every complete line so far, stamped
std::string trace_text();                 // the same, joined with '\n'
std::vector<std::string> trace_tail(size_t n);
void trace_clear();
// Prints each new line to `out` as it arrives (nullptr: stop).
void trace_set_live(FILE* out);
// Lines whose text contains `needle` (stamp excluded).
size_t trace_count(std::string_view needle);

}  // namespace host
