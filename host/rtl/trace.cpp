#include "host/rtl/trace.h"

#include <cinttypes>
#include <deque>
#include <mutex>

#include "host/kernel/sched.h"

namespace host {

namespace {

// Oldest lines are dropped beyond this many, so that a long free-mode run
// with verbose tracing stays bounded.
constexpr size_t kMaxLines = 1'000'000;

struct Line {
    Time stamp;
    std::string text;   // without the stamp; host lines carry the "host: " mark
};

struct Trace {
    std::mutex mutex;   // its own lock: never the scheduler's
    std::deque<Line> lines;
    std::string partial;   // driver text since the last '\n'
    Time partial_stamp = 0;
    FILE* live = nullptr;
};

Trace& trace()
{
    static Trace* const t = new Trace;   // never destroyed: usable until the process ends
    return *t;
}

std::string stamped(const Line& line)
{
    char stamp[32];
    snprintf(stamp, sizeof stamp, "[%5" PRId64 ".%06" PRId64 "] ", line.stamp / kSecond,
             (line.stamp % kSecond) / 10);
    return stamp + line.text;
}

void add_line(Trace& t, Time stamp, std::string text)
{
    t.lines.push_back({stamp, std::move(text)});
    if (t.lines.size() > kMaxLines)
        t.lines.pop_front();
    if (t.live) {
        fprintf(t.live, "%s\n", stamped(t.lines.back()).c_str());
        fflush(t.live);
    }
}

}  // namespace

void trace_write(std::string_view text)
{
    Trace& t = trace();
    const Time stamp = now();   // 0 before the scheduler starts
    std::lock_guard guard(t.mutex);
    while (!text.empty()) {
        if (t.partial.empty())
            t.partial_stamp = stamp;   // a line is stamped when it starts
        const size_t end = text.find('\n');
        if (end == std::string_view::npos) {
            t.partial += text;
            return;
        }
        t.partial += text.substr(0, end);
        add_line(t, t.partial_stamp, std::move(t.partial));
        t.partial.clear();
        text.remove_prefix(end + 1);
    }
}

void trace_host(std::string_view text)
{
    Trace& t = trace();
    const Time stamp = now();   // 0 before the scheduler starts
    std::lock_guard guard(t.mutex);
    if (!text.empty() && text.back() == '\n')
        text.remove_suffix(1);
    for (;;) {
        const size_t end = text.find('\n');
        add_line(t, stamp, "host: " + std::string(text.substr(0, end)));
        if (end == std::string_view::npos)
            return;
        text.remove_prefix(end + 1);
    }
}

std::vector<std::string> trace_lines()
{
    Trace& t = trace();
    std::lock_guard guard(t.mutex);
    std::vector<std::string> out;
    out.reserve(t.lines.size());
    for (const Line& line : t.lines)
        out.push_back(stamped(line));
    return out;
}

std::string trace_text()
{
    std::string out;
    for (const std::string& line : trace_lines()) {
        if (!out.empty())
            out += '\n';
        out += line;
    }
    return out;
}

std::vector<std::string> trace_tail(size_t n)
{
    Trace& t = trace();
    std::lock_guard guard(t.mutex);
    std::vector<std::string> out;
    for (size_t i = t.lines.size() > n ? t.lines.size() - n : 0; i < t.lines.size(); ++i)
        out.push_back(stamped(t.lines[i]));
    return out;
}

void trace_clear()
{
    Trace& t = trace();
    std::lock_guard guard(t.mutex);
    t.lines.clear();
    t.partial.clear();
}

void trace_set_live(FILE* out)
{
    Trace& t = trace();
    std::lock_guard guard(t.mutex);
    t.live = out;
}

size_t trace_count(std::string_view needle)
{
    Trace& t = trace();
    std::lock_guard guard(t.mutex);
    size_t n = 0;
    for (const Line& line : t.lines)
        n += line.text.find(needle) != std::string::npos;
    return n;
}

}  // namespace host
