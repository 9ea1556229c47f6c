// The comm functions of the port's state: GetCommState and SetCommState as
// sequences of serial I/O controls, and BuildCommDCB's mode strings.
#include "comm_control.h"
#include "process.h"

#include <ntddser.h>

#include <cctype>
#include <cstring>
#include <string>
#include <string_view>

using namespace win32;

namespace {

// The four records a DCB is made of, as the driver keeps them.
struct PortSettings {
    SERIAL_BAUD_RATE baud{};
    SERIAL_LINE_CONTROL line{};
    SERIAL_CHARS chars{};
    SERIAL_HANDFLOW handflow{};
};

BOOL read_settings(HANDLE handle, PortSettings* settings)
{
    return serial_control(handle, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &settings->baud, sizeof settings->baud) &&
           serial_control(handle, IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &settings->line,
                          sizeof settings->line) &&
           serial_control(handle, IOCTL_SERIAL_GET_CHARS, nullptr, 0, &settings->chars, sizeof settings->chars) &&
           serial_control(handle, IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &settings->handflow,
                          sizeof settings->handflow);
}

ULONG dtr_handshake(DWORD dtr_control)
{
    switch (dtr_control) {
    case DTR_CONTROL_ENABLE: return SERIAL_DTR_CONTROL;
    case DTR_CONTROL_HANDSHAKE: return SERIAL_DTR_HANDSHAKE;
    default: return 0;
    }
}

ULONG rts_flow(DWORD rts_control)
{
    switch (rts_control) {
    case RTS_CONTROL_ENABLE: return SERIAL_RTS_CONTROL;
    case RTS_CONTROL_HANDSHAKE: return SERIAL_RTS_HANDSHAKE;
    case RTS_CONTROL_TOGGLE: return SERIAL_TRANSMIT_TOGGLE;
    default: return 0;
    }
}

SERIAL_HANDFLOW handflow_of(const DCB& dcb)
{
    SERIAL_HANDFLOW handflow{};
    handflow.ControlHandShake = dtr_handshake(dcb.fDtrControl) | (dcb.fOutxCtsFlow ? SERIAL_CTS_HANDSHAKE : 0) |
                                (dcb.fOutxDsrFlow ? SERIAL_DSR_HANDSHAKE : 0) |
                                (dcb.fDsrSensitivity ? SERIAL_DSR_SENSITIVITY : 0) |
                                (dcb.fAbortOnError ? SERIAL_ERROR_ABORT : 0);
    handflow.FlowReplace = rts_flow(dcb.fRtsControl) | (dcb.fOutX ? SERIAL_AUTO_TRANSMIT : 0) |
                           (dcb.fInX ? SERIAL_AUTO_RECEIVE : 0) | (dcb.fErrorChar ? SERIAL_ERROR_CHAR : 0) |
                           (dcb.fNull ? SERIAL_NULL_STRIPPING : 0) |
                           (dcb.fTXContinueOnXoff ? SERIAL_XOFF_CONTINUE : 0);
    handflow.XonLimit = dcb.XonLim;
    handflow.XoffLimit = dcb.XoffLim;
    return handflow;
}

DWORD dtr_control_of(ULONG control_handshake)
{
    switch (control_handshake & SERIAL_DTR_MASK) {
    case SERIAL_DTR_CONTROL: return DTR_CONTROL_ENABLE;
    case SERIAL_DTR_HANDSHAKE: return DTR_CONTROL_HANDSHAKE;
    default: return DTR_CONTROL_DISABLE;
    }
}

DWORD rts_control_of(ULONG flow_replace)
{
    switch (flow_replace & SERIAL_RTS_MASK) {
    case SERIAL_RTS_CONTROL: return RTS_CONTROL_ENABLE;
    case SERIAL_RTS_HANDSHAKE: return RTS_CONTROL_HANDSHAKE;
    case SERIAL_TRANSMIT_TOGGLE: return RTS_CONTROL_TOGGLE;
    default: return RTS_CONTROL_DISABLE;
    }
}

DCB dcb_of(const PortSettings& s)
{
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = s.baud.BaudRate;
    dcb.fBinary = TRUE;
    dcb.fParity = s.line.Parity != NOPARITY;
    const ULONG control = s.handflow.ControlHandShake;
    const ULONG flow = s.handflow.FlowReplace;
    dcb.fOutxCtsFlow = (control & SERIAL_CTS_HANDSHAKE) != 0;
    dcb.fOutxDsrFlow = (control & SERIAL_DSR_HANDSHAKE) != 0;
    dcb.fDtrControl = dtr_control_of(control);
    dcb.fDsrSensitivity = (control & SERIAL_DSR_SENSITIVITY) != 0;
    dcb.fAbortOnError = (control & SERIAL_ERROR_ABORT) != 0;
    dcb.fTXContinueOnXoff = (flow & SERIAL_XOFF_CONTINUE) != 0;
    dcb.fOutX = (flow & SERIAL_AUTO_TRANSMIT) != 0;
    dcb.fInX = (flow & SERIAL_AUTO_RECEIVE) != 0;
    dcb.fErrorChar = (flow & SERIAL_ERROR_CHAR) != 0;
    dcb.fNull = (flow & SERIAL_NULL_STRIPPING) != 0;
    dcb.fRtsControl = rts_control_of(flow);
    dcb.XonLim = WORD(s.handflow.XonLimit);
    dcb.XoffLim = WORD(s.handflow.XoffLimit);
    dcb.ByteSize = s.line.WordLength;
    dcb.Parity = s.line.Parity;
    dcb.StopBits = s.line.StopBits;
    dcb.XonChar = char(s.chars.XonChar);
    dcb.XoffChar = char(s.chars.XoffChar);
    dcb.ErrorChar = char(s.chars.ErrorChar);
    dcb.EofChar = char(s.chars.EofChar);
    dcb.EvtChar = char(s.chars.EventChar);
    return dcb;
}

// The break character is not part of a DCB: it keeps the port's own.
PortSettings settings_of(const DCB& dcb, const SERIAL_CHARS& current)
{
    PortSettings s;
    s.baud.BaudRate = dcb.BaudRate;
    s.line = SERIAL_LINE_CONTROL{dcb.StopBits, dcb.Parity, dcb.ByteSize};
    s.chars = SERIAL_CHARS{UCHAR(dcb.EofChar), UCHAR(dcb.ErrorChar), current.BreakChar,
                           UCHAR(dcb.EvtChar),  UCHAR(dcb.XonChar),   UCHAR(dcb.XoffChar)};
    s.handflow = handflow_of(dcb);
    return s;
}

// DTR and RTS under manual control follow the DCB; handshake and toggle
// leave the lines to the driver.
BOOL apply_lines(HANDLE handle, const DCB& dcb)
{
    BOOL ok = TRUE;
    if (dcb.fDtrControl == DTR_CONTROL_ENABLE)
        ok = serial_control(handle, IOCTL_SERIAL_SET_DTR, nullptr, 0, nullptr, 0);
    else if (dcb.fDtrControl == DTR_CONTROL_DISABLE)
        ok = serial_control(handle, IOCTL_SERIAL_CLR_DTR, nullptr, 0, nullptr, 0);
    if (!ok)
        return FALSE;
    if (dcb.fRtsControl == RTS_CONTROL_ENABLE)
        ok = serial_control(handle, IOCTL_SERIAL_SET_RTS, nullptr, 0, nullptr, 0);
    else if (dcb.fRtsControl == RTS_CONTROL_DISABLE)
        ok = serial_control(handle, IOCTL_SERIAL_CLR_RTS, nullptr, 0, nullptr, 0);
    return ok;
}

BOOL write_settings(HANDLE handle, const PortSettings& s, const DCB& dcb)
{
    return serial_control(handle, IOCTL_SERIAL_SET_BAUD_RATE, &s.baud, sizeof s.baud, nullptr, 0) &&
           serial_control(handle, IOCTL_SERIAL_SET_LINE_CONTROL, &s.line, sizeof s.line, nullptr, 0) &&
           serial_control(handle, IOCTL_SERIAL_SET_CHARS, &s.chars, sizeof s.chars, nullptr, 0) &&
           serial_control(handle, IOCTL_SERIAL_SET_HANDFLOW, &s.handflow, sizeof s.handflow, nullptr, 0) &&
           apply_lines(handle, dcb);
}

// ---- BuildCommDCB ----

struct ParsedDef {
    DCB dcb;
    COMMTIMEOUTS timeouts;
    bool timeouts_given = false;
};

// "11" "15" "30" "60" "12" "24" "48" "96" "19" are the mode command's
// two-digit baud abbreviations.
DWORD baud_of(DWORD value)
{
    switch (value) {
    case 11: return CBR_110;
    case 15: return 150;
    case 30: return CBR_300;
    case 60: return CBR_600;
    case 12: return CBR_1200;
    case 24: return CBR_2400;
    case 48: return CBR_4800;
    case 96: return CBR_9600;
    case 19: return CBR_19200;
    default: return value;
    }
}

bool parse_number(std::string_view text, DWORD* value)
{
    if (text.empty() || text.size() > 9)
        return false;
    DWORD n = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
        n = n * 10 + DWORD(c - '0');
    }
    *value = n;
    return true;
}

bool parse_parity(std::string_view text, BYTE* parity)
{
    if (text.size() != 1)
        return false;
    const char* kCodes = "noems";
    const char* found = std::strchr(kCodes, std::tolower(static_cast<unsigned char>(text[0])));
    if (!found || !*found)
        return false;
    *parity = BYTE(found - kCodes);
    return true;
}

bool parse_data_bits(std::string_view text, BYTE* bits)
{
    DWORD n = 0;
    if (!parse_number(text, &n) || n < 5 || n > 8)
        return false;
    *bits = BYTE(n);
    return true;
}

bool parse_stop_bits(std::string_view text, BYTE* stop)
{
    if (text == "1")
        *stop = ONESTOPBIT;
    else if (text == "1.5")
        *stop = ONE5STOPBITS;
    else if (text == "2")
        *stop = TWOSTOPBITS;
    else
        return false;
    return true;
}

bool parse_on_off(std::string_view text, bool* on)
{
    if (text == "on")
        *on = true;
    else if (text == "off")
        *on = false;
    else
        return false;
    return true;
}

void no_flow_control(DCB& dcb)
{
    dcb.fOutX = dcb.fInX = FALSE;
    dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = FALSE;
}

// "9600,n,8,1[,x|,p]": the old form.
bool parse_old_form(std::string_view text, DCB& dcb)
{
    std::string_view fields[5];
    size_t count = 0;
    while (count < 5) {
        size_t comma = text.find(',');
        fields[count++] = text.substr(0, comma);
        if (comma == std::string_view::npos)
            break;
        text.remove_prefix(comma + 1);
        if (count == 5)
            return false;
    }
    DWORD baud = 0;
    if (!parse_number(fields[0], &baud))
        return false;
    dcb.BaudRate = baud_of(baud);
    dcb.StopBits = dcb.BaudRate == CBR_110 ? TWOSTOPBITS : ONESTOPBIT;
    if (count > 1 && !parse_parity(fields[1], &dcb.Parity))
        return false;
    if (count > 2 && !parse_data_bits(fields[2], &dcb.ByteSize))
        return false;
    if (count > 3 && !parse_stop_bits(fields[3], &dcb.StopBits))
        return false;
    no_flow_control(dcb);
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    if (count == 5) {
        if (fields[4] == "x") {
            dcb.fOutX = dcb.fInX = TRUE;
        } else if (fields[4] == "p") {
            dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = TRUE;
            dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
            dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
        } else {
            return false;
        }
    }
    return true;
}

bool parse_line_control(DCB& dcb, std::string_view key, std::string_view value)
{
    if (key == "baud") {
        DWORD baud = 0;
        if (!parse_number(value, &baud))
            return false;
        dcb.BaudRate = baud_of(baud);
        return true;
    }
    if (key == "parity")
        return parse_parity(value, &dcb.Parity);
    if (key == "data")
        return parse_data_bits(value, &dcb.ByteSize);
    if (key == "stop")
        return parse_stop_bits(value, &dcb.StopBits);
    return false;
}

bool parse_line_modes(DCB& dcb, std::string_view key, std::string_view value)
{
    bool on = false;
    if (key == "dtr" || key == "rts") {
        bool handshake = value == "hs";
        bool toggle = key == "rts" && value == "tg";
        if (!handshake && !toggle && !parse_on_off(value, &on))
            return false;
        DWORD mode = toggle ? RTS_CONTROL_TOGGLE : handshake ? DTR_CONTROL_HANDSHAKE : on ? 1u : 0u;
        if (key == "dtr")
            dcb.fDtrControl = mode;
        else
            dcb.fRtsControl = mode;
        return true;
    }
    if (!parse_on_off(value, &on))
        return false;
    if (key == "xon")
        dcb.fOutX = dcb.fInX = on;
    else if (key == "odsr")
        dcb.fOutxDsrFlow = on;
    else if (key == "octs")
        dcb.fOutxCtsFlow = on;
    else if (key == "idsr")
        dcb.fDsrSensitivity = on;
    else
        return false;
    return true;
}

// "baud=9600 parity=N data=8 stop=1 [to= xon= odsr= octs= dtr= rts= idsr=]"
bool parse_keyword_form(std::string_view text, ParsedDef& def)
{
    no_flow_control(def.dcb);
    bool stop_given = false;
    while (!text.empty()) {
        size_t end = text.find(' ');
        std::string_view item = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (item.empty())
            continue;
        size_t equals = item.find('=');
        if (equals == std::string_view::npos)
            return false;
        std::string_view key = item.substr(0, equals), value = item.substr(equals + 1);
        bool on = false;
        if (key == "to") {
            if (!parse_on_off(value, &on))
                return false;
            def.timeouts = COMMTIMEOUTS{0, 0, 0, 0, on ? 60000u : 0u};
            def.timeouts_given = true;
        } else if (!parse_line_control(def.dcb, key, value) && !parse_line_modes(def.dcb, key, value)) {
            return false;
        }
        stop_given |= key == "stop";
    }
    if (!stop_given)
        def.dcb.StopBits = def.dcb.BaudRate == CBR_110 ? TWOSTOPBITS : ONESTOPBIT;
    return true;
}

std::string lowered(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// An optional "COMn:" (or "COMn") before either form.
std::string_view skip_device(std::string_view text)
{
    if (text.substr(0, 3) == "com") {
        size_t i = 3;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])))
            ++i;
        if (i > 3) {
            if (i < text.size() && text[i] == ':')
                ++i;
            text.remove_prefix(i);
        }
    }
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    return text;
}

// Parses into copies, so that a bad string leaves the caller's records as
// they were.
BOOL build_dcb(const std::string& definition, LPDCB dcb, LPCOMMTIMEOUTS timeouts)
{
    std::string text = lowered(definition);
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    std::string_view body = skip_device(text);
    ParsedDef def{*dcb, timeouts ? *timeouts : COMMTIMEOUTS{}};
    bool keyword_form = body.find('=') != std::string_view::npos;
    bool ok = keyword_form ? parse_keyword_form(body, def) : parse_old_form(body, def.dcb);
    if (!ok || body.empty())
        return fail_with_error(ERROR_INVALID_PARAMETER);
    def.dcb.DCBlength = sizeof(DCB);
    def.dcb.fBinary = TRUE;
    def.dcb.fParity = def.dcb.Parity != NOPARITY;
    *dcb = def.dcb;
    if (timeouts && def.timeouts_given)
        *timeouts = def.timeouts;
    return TRUE;
}

bool narrow(LPCWSTR wide, std::string* out)
{
    for (; *wide; ++wide) {
        if (static_cast<uint32_t>(*wide) > 0x7F)
            return false;
        out->push_back(char(*wide));
    }
    return true;
}

}  // namespace

EXTERN_C BOOL GetCommState(HANDLE hFile, LPDCB lpDCB)
{
    PortSettings settings;
    if (!read_settings(hFile, &settings))
        return FALSE;
    *lpDCB = dcb_of(settings);
    return TRUE;
}

// Sets the whole DCB; when one control fails, the settings read before are
// put back and the first failure is the one reported.
EXTERN_C BOOL SetCommState(HANDLE hFile, LPDCB lpDCB)
{
    PortSettings previous;
    if (!read_settings(hFile, &previous))
        return FALSE;
    if (write_settings(hFile, settings_of(*lpDCB, previous.chars), *lpDCB))
        return TRUE;
    DWORD error = GetLastError();
    write_settings(hFile, previous, dcb_of(previous));
    return fail_with_error(error);
}

EXTERN_C BOOL BuildCommDCBA(LPCSTR lpDef, LPDCB lpDCB) { return BuildCommDCBAndTimeoutsA(lpDef, lpDCB, nullptr); }

EXTERN_C BOOL BuildCommDCBW(LPCWSTR lpDef, LPDCB lpDCB) { return BuildCommDCBAndTimeoutsW(lpDef, lpDCB, nullptr); }

EXTERN_C BOOL BuildCommDCBAndTimeoutsA(LPCSTR lpDef, LPDCB lpDCB, LPCOMMTIMEOUTS lpCommTimeouts)
{
    if (!lpDef || !lpDCB)
        return fail_with_error(ERROR_INVALID_PARAMETER);
    return build_dcb(lpDef, lpDCB, lpCommTimeouts);
}

EXTERN_C BOOL BuildCommDCBAndTimeoutsW(LPCWSTR lpDef, LPDCB lpDCB, LPCOMMTIMEOUTS lpCommTimeouts)
{
    std::string definition;
    if (!lpDef || !lpDCB || !narrow(lpDef, &definition))
        return fail_with_error(ERROR_INVALID_PARAMETER);
    return build_dcb(definition, lpDCB, lpCommTimeouts);
}
