#!/usr/bin/env python3
"""Writes the hand-made seed inputs of each fuzz target into fuzz/corpus/<target>/.
Each seed is a well-formed session the target's input format describes (see
the target's source); the fuzzer grows the corpus from these. Reproducers of
faults found are checked in beside them under names of their own."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def u8(v): return struct.pack('<B', v)
def u16(v): return struct.pack('<H', v)
def u32(v): return struct.pack('<I', v)


def write(target, name, data):
    os.makedirs(os.path.join(HERE, target), exist_ok=True)
    with open(os.path.join(HERE, target, 'seed-' + name), 'wb') as f:
        f.write(data)


# --- ioctl: kind, flags, then the call's fields ---------------------------
LEAVE_PENDING, DEVICE_EVENT, OUT_IS_IN = 0x40, 0x20, 0x04


def serial(function, data_in=b'', out_length=0, flags=0, tail=b''):
    return u8(0) + u8(flags) + u8(function) + u8(len(data_in)) + u8(out_length) + data_in + bytes(out_length) + tail


def common(index, data_in=b'', out_length=0, flags=OUT_IS_IN, stage=None, tail=b''):
    body = u16(len(data_in)) + u16(out_length) + data_in
    if len(data_in) >= 16:
        body += u8(1) + u8(len(stage)) + stage if stage is not None else u8(0)
    return u8(6 | index << 3) + u8(flags) + body + tail


write('ioctl', 'baud-rate', serial(1, u32(115200)) + serial(20, out_length=4))
write('ioctl', 'line-control', serial(3, bytes([0, 2, 7])) + serial(21, out_length=3))
write('ioctl', 'handflow', serial(25, u32(1) + u32(0x40) + u32(10) + u32(10)) + serial(24, out_length=16))
write('ioctl', 'chars-and-timeouts', serial(23, bytes([0, 0, 0, 0, 0x11, 0x13])) +
      serial(7, u32(0xFFFFFFFF) + u32(0) + u32(0) + u32(0) + u32(0)) + serial(8, out_length=20))
write('ioctl', 'wait-on-mask', serial(17, u32(0x1FFF)) +
      serial(18, out_length=4, flags=LEAVE_PENDING | DEVICE_EVENT, tail=u8(3) + u16(0x0003)) +
      serial(19, u32(0xF)))
write('ioctl', 'lines-and-status', serial(9) + serial(12) + serial(30, out_length=4) + serial(26, out_length=4) +
      serial(27, out_length=20) + serial(29, out_length=255) + serial(35, out_length=16) + serial(4) + serial(5))
write('ioctl', 'unknown-codes', u8(7) + u8(0) + u32(0x001B0004) + u8(4) + u8(4) + bytes(8) +
      u8(5 | 3 << 6) + u8(0) + u8(1) + u8(4) + u8(0) + u32(9600))
write('ioctl', 'encapsulated', common(1, b'AT\r\n') + common(3, flags=OUT_IS_IN | LEAVE_PENDING) +
      common(2, out_length=64))
write('ioctl', 'response-wait', common(3, flags=OUT_IS_IN | LEAVE_PENDING | DEVICE_EVENT, tail=u8(1) + u8(2) + b'OK'))
get_descriptor = bytes([0x80, 6]) + u16(0x0100) + u16(0) + u16(18) + u32(0) + u32(0)
write('ioctl', 'generic-control', common(0, get_descriptor, out_length=18))
vendor_store = bytes([0x40, 1]) + u16(0) + u16(0) + u16(4) + u32(0) + u32(4)
write('ioctl', 'generic-control-stage', common(0, vendor_store, out_length=0, stage=b'abcd'))

# --- notify: handflow flag, wait mask, then packets -----------------------


def packet(data, read_status=1):
    return u8(len(data)) + data + u8(read_status)


def notification(code, value=0, data=b''):
    return bytes([0xA1, code]) + u16(value) + u16(0) + u16(len(data)) + data


write('notify', 'serial-state', u8(0) + u16(0x1FFF) + u16(0) +
      packet(notification(0x20, data=u16(0x0003))) + packet(notification(0x20, data=u16(0x0000))))
write('notify', 'line-errors', u8(1) + u16(0x1FFF) + u16(0) + packet(notification(0x20, data=u16(0x0074))) +
      packet(notification(0x20, data=u16(0x0008))))
write('notify', 'response-and-network', u8(0) + u16(0x01FF) + u16(0) + packet(notification(0x01)) +
      packet(notification(0x00, 1)) + packet(notification(0x00, 0)))

# --- descriptor: flags, descriptors, capabilities, endpoint, names --------


def function(flags, raw=(), call_mgmt=3, acm=6, max_packet=64, ui=5, idle=0, iface=0,
             coding=(9600, 0, 0, 8), klass=0):
    out = u8(flags) + b''.join(u8(len(d)) + d for d in raw)
    if not flags & 0x04:
        out += u8(call_mgmt)
    if not flags & 0x08:
        out += u8(acm)
    return (out + u16(max_packet - 1) + u32(ui) + u8(idle) + u16(iface) + u32(coding[0]) +
            bytes(coding[1:]) + u8(klass))


write('descriptor', 'ports', function(0x03, raw=(bytes([5, 0x24, 1, 3, 1]), bytes([4, 0x24, 2, 6]))))
write('descriptor', 'modem-high-speed', function(0x03, raw=(bytes([5, 0x24, 1, 3, 1]), bytes([4, 0x24, 2, 0x0E])),
                                                 max_packet=512, coding=(115200, 2, 2, 7), klass=1))
write('descriptor', 'no-descriptors', function(0x0C, max_packet=8, klass=0))
write('descriptor', 'short-descriptors', function(0x03, raw=(bytes([5, 0x24]), b'')))
write('descriptor', 'control-device', function(0x13, raw=(bytes([5, 0x24, 1, 0, 1]), bytes([4, 0x24, 2, 2])),
                                               iface=2, idle=5))

# --- regstrings: PortName, the Ports settings, DeviceGUID -----------------


def text(s, flags=0, value_type=None):
    out = u8(flags)
    if flags & 1:
        out += u8(value_type)
    return out + u8(len(s)) + s


write('regstrings', 'com5', text(b'COM5') + text(b'9600,n,8,1') + u8(1) +
      text(b'{12345678-1234-1234-1234-123456789ABC}'))
write('regstrings', 'com12-one-and-a-half', text(b'COM12') + text(b'115200,e,7,1.5') + u8(0) + text(b''))
write('regstrings', 'no-nul', text(b'COM7', flags=4) + text(b'300,m,5,2', flags=4) + u8(1) +
      text(b'{00000000-0000-0000-0000-000000000000}', flags=4))
write('regstrings', 'dword-name', text(b'\x05\x00\x00\x00', flags=3, value_type=4) + text(b'9600,s,8,1') + u8(0) +
      text(b''))

# --- regfile: Registry Editor files ---------------------------------------
DEVICE = r'HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\USB\VID_1234&PID_0001&MI_00\7&1&0\Device Parameters'
CONTROL = r'HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\USB\VID_1234&PID_0001&MI_02\7&1&2\Device Parameters'
PARAMETERS = r'HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\acmserial\Parameters'
PORTS = r'HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Ports'
write('regfile', 'options.reg', f'''Windows Registry Editor Version 5.00

[{PARAMETERS}]
"DebugLevel"=dword:00000004

[{DEVICE}]
"DataInBuffers"=dword:00000004
"DataInPacketsPerXfer"=dword:00000002
"CallClearData"=dword:00000001
"DontClearDtr"=dword:00000001
"DeviceGUID"="{{12345678-1234-1234-1234-123456789ABC}}"

[{CONTROL}]
"CtrlDevHoldChildIfInUse"=dword:00000001

[{PORTS}]
"COM5:"="115200,e,7,2"
'''.replace('\n', '\r\n').encode())
write('regfile', 'value-types.reg', f'''Windows Registry Editor Version 5.00

[{DEVICE}]
"DataInBuffers"=hex:10,00,00,00
"DataInPacketsPerXfer"=hex(4):01,00,00,00
"DeviceGUID"=hex(2):7b,00,31,00,7d,00,00,00
"CallClearData"="1"

[{PORTS}]
"COM5:"=hex(7):39,00,36,00,30,00,30,00,2c,00,6e,00,2c,00,38,00,2c,00,31,00,00,00,00,00
'''.encode())
write('regfile', 'utf16.reg', b'\xff\xfe' + f'''Windows Registry Editor Version 5.00\r
\r
[{PORTS}]\r
"COM5:"="1200,o,8,1.5"\r
\r
[-{DEVICE}]\r
'''.encode('utf-16-le'))
