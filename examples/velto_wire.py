"""A controller's side of the wire, in plain Python: frames out, result frames in.

Covers the MessagePack subset the protocol uses: nil, booleans, integers, float 32/64,
strings, binaries, arrays and maps.
"""
import struct

KINDS = ["ClickButton", "ToggleButton", "ConfirmButton", "PressButton", "DirectionalButton", "Joystick"]


class F32(float):
    """A float written as MessagePack float 32."""


def pack(value):
    """MessagePack bytes of `value` (None, bool, int, F32/float, str, bytes, list, tuple, dict)."""
    if value is None:
        return b"\xc0"
    if value is True:
        return b"\xc3"
    if value is False:
        return b"\xc2"
    if isinstance(value, int):
        if 0 <= value < 128:
            return bytes([value])
        if -32 <= value < 0:
            return struct.pack("b", value)
        if 0 <= value < 256:
            return b"\xcc" + bytes([value])
        if 0 <= value < 65536:
            return b"\xcd" + struct.pack(">H", value)
        if 0 <= value < 2**32:
            return b"\xce" + struct.pack(">I", value)
        if 0 <= value < 2**64:
            return b"\xcf" + struct.pack(">Q", value)
        if -128 <= value:
            return b"\xd0" + struct.pack(">b", value)
        if -32768 <= value:
            return b"\xd1" + struct.pack(">h", value)
        if -(2**31) <= value:
            return b"\xd2" + struct.pack(">i", value)
        return b"\xd3" + struct.pack(">q", value)
    if isinstance(value, F32):
        return b"\xca" + struct.pack(">f", value)
    if isinstance(value, float):
        return b"\xcb" + struct.pack(">d", value)
    if isinstance(value, str):
        data = value.encode()
        n = len(data)
        if n < 32:
            return bytes([0xA0 | n]) + data
        if n < 256:
            return b"\xd9" + bytes([n]) + data
        if n < 65536:
            return b"\xda" + struct.pack(">H", n) + data
        return b"\xdb" + struct.pack(">I", n) + data
    if isinstance(value, (bytes, bytearray)):
        n = len(value)
        if n < 256:
            return b"\xc4" + bytes([n]) + bytes(value)
        if n < 65536:
            return b"\xc5" + struct.pack(">H", n) + bytes(value)
        return b"\xc6" + struct.pack(">I", n) + bytes(value)
    if isinstance(value, (list, tuple)):
        n = len(value)
        head = bytes([0x90 | n]) if n < 16 else b"\xdc" + struct.pack(">H", n)
        return head + b"".join(pack(v) for v in value)
    if isinstance(value, dict):
        n = len(value)
        head = bytes([0x80 | n]) if n < 16 else b"\xde" + struct.pack(">H", n)
        return head + b"".join(pack(k) + pack(v) for k, v in value.items())
    raise TypeError(f"cannot pack {type(value).__name__}")


def frame(widget_id, kind, *fields):
    """The canonical bytes of a frame: [id, {kind: [fields...]}]."""
    return pack([widget_id, {kind: list(fields)}])


def unpack(data, pos=0):
    """Decodes one value at `pos`: (value, next position). Raises ValueError when incomplete."""

    def need(n):
        if pos + n > len(data):
            raise ValueError("incomplete")

    need(1)
    b = data[pos]
    pos += 1
    if b < 0x80:
        return b, pos
    if b >= 0xE0:
        return b - 256, pos
    if 0xA0 <= b <= 0xBF or b in (0xD9, 0xDA, 0xDB):
        if b <= 0xBF:
            n = b & 0x1F
        else:
            size = {0xD9: 1, 0xDA: 2, 0xDB: 4}[b]
            need(size)
            n = int.from_bytes(data[pos:pos + size], "big")
            pos += size
        need(n)
        return data[pos:pos + n].decode(), pos + n
    if 0x90 <= b <= 0x9F or 0x80 <= b <= 0x8F:
        n = b & 0x0F
        if b >= 0x90:
            items = []
            for _ in range(n):
                v, pos = unpack(data, pos)
                items.append(v)
            return items, pos
        out = {}
        for _ in range(n):
            k, pos = unpack(data, pos)
            v, pos = unpack(data, pos)
            out[k] = v
        return out, pos
    fixed = {0xC0: None, 0xC2: False, 0xC3: True}
    if b in fixed:
        return fixed[b], pos
    formats = {0xCC: ">B", 0xCD: ">H", 0xCE: ">I", 0xCF: ">Q", 0xD0: ">b", 0xD1: ">h",
               0xD2: ">i", 0xD3: ">q", 0xCA: ">f", 0xCB: ">d"}
    if b in formats:
        size = struct.calcsize(formats[b])
        need(size)
        return struct.unpack(formats[b], data[pos:pos + size])[0], pos + size
    raise ValueError(f"unsupported marker {b:#x}")


def read_replies(data):
    """Splits received bytes into complete result frames: ([(id, status, kind, value)], rest)."""
    replies, pos = [], 0
    while pos < len(data):
        try:
            value, end = unpack(data, pos)
        except ValueError:
            break
        widget_id, status, result = value
        (kind, fields), = result.items()
        replies.append((widget_id, status, kind, fields[0]))
        pos = end
    return replies, data[pos:]
