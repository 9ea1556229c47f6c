#include "host/rtl/inf.h"

#include "host/rtl/strings.h"

#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

namespace host::reg {

namespace {

constexpr ULONG kFlagNoClobber = 0x00000002;
constexpr ULONG kFlagDword = 0x00010001;

std::string lower(std::string_view s)
{
    std::string out(s);
    for (char& c : out)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::vector<std::string_view> split(std::string_view s, char sep)
{
    std::vector<std::string_view> parts;
    for (size_t at = 0;;) {
        const size_t end = s.find(sep, at);
        parts.push_back(trim_blanks(s.substr(at, end - at)));
        if (end == std::string_view::npos)
            return parts;
        at = end + 1;
    }
}

std::string_view unquote(std::string_view s)
{
    return s.size() >= 2 && s.front() == '"' && s.back() == '"' ? s.substr(1, s.size() - 2) : s;
}

struct Line {
    size_t number;
    std::string_view text;
};

// Sections by lower-case name; comments and blank lines dropped.
std::map<std::string, std::vector<Line>> sections(std::string_view text)
{
    std::map<std::string, std::vector<Line>> out;
    std::vector<Line>* current = nullptr;
    size_t number = 0;
    for (std::string_view line : split(text, '\n')) {
        ++number;
        line = trim_blanks(line.substr(0, line.find(';')));
        if (line.empty())
            continue;
        if (line.front() == '[' && line.back() == ']')
            current = &out[lower(trim_blanks(line.substr(1, line.size() - 2)))];
        else if (current)
            current->push_back({number, line});
    }
    return out;
}

[[noreturn]] void fail(size_t line, const std::string& what)
{
    throw std::runtime_error("INF line " + std::to_string(line) + ": " + what);
}

ULONG number(const Line& line, std::string_view text)
{
    const std::string s(text);
    size_t used = 0;
    unsigned long v = 0;
    try {
        v = std::stoul(s, &used, 0);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != s.size() || s.empty())
        fail(line.number, "not a number: " + s);
    return ULONG(v);
}

InfValue hkr_value(const Line& line)
{
    const std::vector<std::string_view> fields = split(line.text, ',');
    if (fields.size() != 5 || lower(fields[0]) != "hkr" || !fields[1].empty())
        fail(line.number, "expected HKR,,Name,Flags,Value");
    const ULONG flags = number(line, fields[3]);
    InfValue v;
    v.name = to_u16(unquote(fields[2]));
    v.no_clobber = (flags & kFlagNoClobber) != 0;
    switch (flags & ~kFlagNoClobber) {
    case kFlagDword:
        v.value = dword_value(number(line, fields[4]));
        break;
    case 0:
        v.value = string_value(to_u16(unquote(fields[4])));
        break;
    default:
        fail(line.number, "unsupported flags " + std::string(fields[3]));
    }
    return v;
}

bool is_hw_section(const std::string& name)
{
    return name.size() > 3 && name.compare(name.size() - 3, 3, ".hw") == 0;
}

}  // namespace

std::vector<InfValue> inf_hardware_values(std::string_view text)
{
    const auto all = sections(text);
    std::vector<InfValue> out;
    for (const auto& [name, lines] : all) {
        if (!is_hw_section(name))
            continue;
        for (const Line& line : lines) {
            const size_t eq = line.text.find('=');
            if (eq == std::string_view::npos || lower(trim_blanks(line.text.substr(0, eq))) != "addreg")
                continue;
            for (std::string_view target : split(line.text.substr(eq + 1), ',')) {
                auto section = all.find(lower(target));
                if (section == all.end())
                    fail(line.number, "no section [" + std::string(target) + "]");
                for (const Line& reg_line : section->second)
                    out.push_back(hkr_value(reg_line));
            }
        }
    }
    return out;
}

std::vector<InfValue> load_inf_hardware_values(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read INF file " + path);
    std::ostringstream text;
    text << in.rdbuf();
    return inf_hardware_values(text.str());
}

void apply_inf_values(const std::vector<InfValue>& values, std::u16string_view key_path)
{
    for (const InfValue& v : values)
        if (!v.no_clobber || !get_value(key_path, v.name))
            set_value(key_path, v.name, v.value);
}

}  // namespace host::reg
