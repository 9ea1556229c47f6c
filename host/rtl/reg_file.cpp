// Registry Editor files ("Windows Registry Editor Version 5.00"): loading
// into the in-memory registry, and dumping a subtree back to that text.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "host/rtl/registry.h"
#include "host/rtl/strings.h"

namespace host::reg {

namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHeader4 = "REGEDIT4";

struct Root {
    std::string_view reg_name, short_name;
    std::u16string_view native;
};

constexpr Root kRoots[] = {
    {"HKEY_LOCAL_MACHINE", "HKLM", u"\\Registry\\Machine"},
    {"HKEY_USERS", "HKU", u"\\Registry\\User"},
    {"HKEY_CURRENT_USER", "HKCU", u"\\Registry\\User\\.Default"},
    {"HKEY_CLASSES_ROOT", "HKCR", u"\\Registry\\Machine\\Software\\Classes"},
    {"HKEY_CURRENT_CONFIG", "HKCC", u"\\Registry\\Machine\\System\\CurrentControlSet\\Hardware Profiles\\Current"},
};

std::string_view trim(std::string_view s) { return trim_blanks(s); }

bool iequals_ascii(std::string_view a, std::string_view b)
{
    return iequals(to_u16(a), to_u16(b));
}

// The file's text as UTF-8: UTF-16LE needs its byte-order mark.
std::string decode(std::string_view raw)
{
    if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFF &&
        static_cast<unsigned char>(raw[1]) == 0xFE) {
        std::u16string text((raw.size() - 2) / 2, u'\0');
        for (size_t i = 0; i < text.size(); ++i)
            text[i] = static_cast<char16_t>(static_cast<unsigned char>(raw[2 + 2 * i]) |
                                            static_cast<unsigned char>(raw[3 + 2 * i]) << 8);
        return to_utf8(text);
    }
    if (raw.substr(0, 3) == "\xEF\xBB\xBF")
        raw.remove_prefix(3);
    return std::string(raw);
}

class Loader {
public:
    explicit Loader(std::string text) : text_(std::move(text)) {}

    void run()
    {
        std::string_view line;
        while (next_logical_line(&line)) {
            if (line.empty() || line.front() == ';')
                continue;
            if (!seen_header_)
                header(line);
            else if (line.front() == '[')
                section(line);
            else
                value(line);
        }
        if (!seen_header_)
            throw std::runtime_error("registry file: missing header \"" + std::string(kHeader) + "\"");
    }

private:
    [[noreturn]] void fail(const std::string& what) const
    {
        throw std::runtime_error("registry file line " + std::to_string(line_no_) + ": " + what);
    }

    // Joins lines that end in a backslash (hex data spread over lines) and
    // trims the result; line_no_ is the first line of it.
    bool next_logical_line(std::string_view* out)
    {
        if (pos_ >= text_.size())
            return false;
        joined_.clear();
        line_no_ = next_line_no_;
        for (;;) {
            const size_t end = std::min(text_.find('\n', pos_), text_.size());
            std::string_view line = trim(std::string_view(text_).substr(pos_, end - pos_));
            pos_ = end + 1;
            ++next_line_no_;
            const bool continued = !line.empty() && line.back() == '\\' && line.front() != ';' &&
                                   line.front() != '[';
            if (continued)
                line.remove_suffix(1);
            joined_ += line;
            if (!continued || pos_ >= text_.size())
                break;
        }
        *out = joined_;
        return true;
    }

    void header(std::string_view line)
    {
        if (line != kHeader && line != kHeader4)
            fail("expected the header \"" + std::string(kHeader) + "\"");
        seen_header_ = true;
    }

    void section(std::string_view line)
    {
        if (line.back() != ']')
            fail("key name without closing ']'");
        std::string_view name = line.substr(1, line.size() - 2);
        const bool remove = !name.empty() && name.front() == '-';
        if (remove)
            name.remove_prefix(1);
        const std::u16string path = native_path(name);
        if (remove) {
            delete_key(path);
            key_.reset();
        } else {
            create_key(path);
            key_ = path;
        }
    }

    std::u16string native_path(std::string_view name) const
    {
        const size_t sep = name.find('\\');
        const std::string_view root = name.substr(0, sep);
        for (const Root& r : kRoots) {
            if (iequals_ascii(root, r.reg_name) || iequals_ascii(root, r.short_name)) {
                std::u16string path(r.native);
                if (sep != std::string_view::npos)
                    path += to_u16(name.substr(sep));
                return path;
            }
        }
        fail("unknown root key \"" + std::string(root) + "\"");
    }

    void value(std::string_view line)
    {
        if (!key_)
            fail("value outside a key");
        size_t i = 0;
        std::u16string name;
        if (line.front() == '@')
            i = 1;
        else if (line.front() == '"')
            name = quoted(line, &i);
        else
            fail("expected a value name in quotes or @");
        std::string_view rest = trim(line.substr(i));
        if (rest.empty() || rest.front() != '=')
            fail("expected '=' after the value name");
        rest = trim(rest.substr(1));
        if (rest.empty())
            fail("missing value data after '='");
        if (rest == "-") {
            delete_value(*key_, name);
            return;
        }
        set_value(*key_, name, data(rest));
    }

    // A string in double quotes starting at line[*i]; \\ and \" are escapes.
    std::u16string quoted(std::string_view line, size_t* i) const
    {
        std::string text;
        for (size_t k = *i + 1; k < line.size(); ++k) {
            const char c = line[k];
            if (c == '"') {
                *i = k + 1;
                return to_u16(text);
            }
            if (c == '\\') {
                if (k + 1 >= line.size() || (line[k + 1] != '\\' && line[k + 1] != '"'))
                    fail("unknown escape in a quoted string (only \\\\ and \\\" are allowed)");
                ++k;
            }
            text += line[k];
        }
        fail("unterminated quoted string");
    }

    Value data(std::string_view rest) const
    {
        if (rest.front() == '"') {
            size_t i = 0;
            const std::u16string text = quoted(rest, &i);
            if (!trim(rest.substr(i)).empty())
                fail("text after the closing quote");
            return string_value(text);
        }
        if (starts_with_ci(rest, "dword:"))
            return dword_value(static_cast<ULONG>(hex_number(rest.substr(6), 8, "dword")));
        if (starts_with_ci(rest, "hex:"))
            return {REG_BINARY, hex_bytes(rest.substr(4))};
        if (starts_with_ci(rest, "hex(")) {
            const size_t close = rest.find("):");
            if (close == std::string_view::npos)
                fail("expected hex(type): before the data");
            const auto type = static_cast<ULONG>(hex_number(rest.substr(4, close - 4), 8, "type"));
            return {type, hex_bytes(rest.substr(close + 2))};
        }
        fail("unrecognised value data \"" + std::string(rest) + "\"");
    }

    static bool starts_with_ci(std::string_view s, std::string_view prefix)
    {
        return s.size() >= prefix.size() && iequals_ascii(s.substr(0, prefix.size()), prefix);
    }

    uint64_t hex_number(std::string_view digits, size_t max_digits, const char* what) const
    {
        digits = trim(digits);
        if (digits.empty() || digits.size() > max_digits)
            fail(std::string("bad ") + what + " \"" + std::string(digits) + "\"");
        uint64_t v = 0;
        for (char c : digits) {
            const int d = c >= '0' && c <= '9' ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
            if (d < 0)
                fail(std::string("bad ") + what + " \"" + std::string(digits) + "\"");
            v = v * 16 + static_cast<uint64_t>(d);
        }
        return v;
    }

    std::vector<uint8_t> hex_bytes(std::string_view list) const
    {
        std::vector<uint8_t> bytes;
        if (trim(list).empty())
            return bytes;
        for (;;) {
            const size_t comma = list.find(',');
            bytes.push_back(static_cast<uint8_t>(hex_number(list.substr(0, comma), 2, "hex byte")));
            if (comma == std::string_view::npos)
                return bytes;
            list.remove_prefix(comma + 1);
        }
    }

    std::string text_;
    size_t pos_ = 0;
    size_t line_no_ = 0, next_line_no_ = 1;
    std::string joined_;
    bool seen_header_ = false;
    std::optional<std::u16string> key_;   // the section being filled
};

// --- dumping ---

std::string reg_name(std::u16string_view native)
{
    for (const Root& r : {kRoots[0], kRoots[1]}) {   // the two real roots
        if (native.size() >= r.native.size() && iequals(native.substr(0, r.native.size()), r.native) &&
            (native.size() == r.native.size() || native[r.native.size()] == u'\\'))
            return std::string(r.reg_name) + to_utf8(native.substr(r.native.size()));
    }
    return to_utf8(native);
}

std::string escaped(std::u16string_view text)
{
    std::string out = "\"";
    for (char c : to_utf8(text)) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out + '"';
}

// Hex data as Registry Editor writes it: lines of at most 80 columns,
// continued with a backslash.
std::string hex_lines(std::string head, const std::vector<uint8_t>& bytes)
{
    std::string out;
    size_t column = head.size();
    out += head;
    for (size_t i = 0; i < bytes.size(); ++i) {
        char byte[4];
        snprintf(byte, sizeof byte, "%02x", bytes[i]);
        out += byte;
        column += 2;
        if (i + 1 < bytes.size()) {
            out += ',';
            ++column;
            if (column > 76) {
                out += "\\\n  ";
                column = 2;
            }
        }
    }
    return out;
}

std::string value_line(const std::u16string& name, const Value& v)
{
    const std::string head = (name.empty() ? std::string("@") : escaped(name)) + "=";
    if (v.type == REG_SZ && v.data.size() % 2 == 0 && !v.data.empty()) {
        const std::u16string text = *as_string(v);
        if ((text.size() + 1) * 2 == v.data.size())
            return head + escaped(text);
    }
    if (const auto dword = as_dword(v)) {
        char text[16];
        snprintf(text, sizeof text, "dword:%08x", *dword);
        return head + text;
    }
    if (v.type == REG_BINARY)
        return hex_lines(head + "hex:", v.data);
    char type[16];
    snprintf(type, sizeof type, "hex(%x):", static_cast<unsigned>(v.type));
    return hex_lines(head + type, v.data);
}

void dump_key(std::u16string_view path, std::string& out)
{
    out += "[" + reg_name(path) + "]\n";
    for (const auto& [name, v] : values(path))
        out += value_line(name, v) + "\n";
    out += "\n";
    for (const auto& child : subkeys(path))
        dump_key(std::u16string(path) + u"\\" + child, out);
}

}  // namespace

void load_reg_text(std::string_view text)
{
    Loader(decode(text)).run();
}

void load_reg_file(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        throw std::runtime_error("cannot read registry file " + path);
    std::stringstream content;
    content << file.rdbuf();
    try {
        load_reg_text(content.str());
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(path + ": " + e.what());
    }
}

std::string dump(std::u16string_view key_path)
{
    std::string out = std::string(kHeader) + "\n\n";
    HANDLE key;
    if (NT_SUCCESS(open_key(key_path, KEY_READ, &key))) {   // for the path as the keys spell it
        dump_key(key_path_of(key), out);
        close_key(key);
    }
    return out;
}

}  // namespace host::reg
