"""A controller's side of the wire in plain Python: frames out, result frames in.

Covers the MessagePack subset the protocol uses: nil, booleans, integers, float 32/64,
strings, binaries, arrays and maps.
"""
from __future__ import annotations

import struct
from dataclasses import dataclass
from typing import Any, List, NamedTuple, Tuple, Union

KINDS = ("ClickButton", "ToggleButton", "ConfirmButton", "PressButton", "DirectionalButton", "Joystick")
STATUSES = ("NotInit", "Idle", "Busy", "Error")


class F32(float):
    """A float written as MessagePack float 32."""


class Incomplete(ValueError):
    """The bytes end before the value does: more bytes could complete it."""


def pack(value: Any) -> bytes:
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


def frame(widget_id: int, kind: str, *fields: Any) -> bytes:
    """The canonical bytes of a frame: [id, {kind: [fields...]}]."""
    return pack([widget_id, {kind: list(fields)}])


_FIXED = {0xC0: None, 0xC2: False, 0xC3: True}
_NUMBERS = {0xCC: ">B", 0xCD: ">H", 0xCE: ">I", 0xCF: ">Q", 0xD0: ">b", 0xD1: ">h",
            0xD2: ">i", 0xD3: ">q", 0xCA: ">f", 0xCB: ">d"}
_STR_SIZES = {0xD9: 1, 0xDA: 2, 0xDB: 4}
_BIN_SIZES = {0xC4: 1, 0xC5: 2, 0xC6: 4}
_CONTAINER_SIZES = {0xDC: 2, 0xDD: 4, 0xDE: 2, 0xDF: 4}


def unpack(data: bytes, pos: int = 0) -> Tuple[Any, int]:
    """Decodes one value at `pos`: (value, next position). Raises Incomplete when the bytes
    end inside the value and ValueError for a marker outside the subset."""

    def take(n: int) -> bytes:
        nonlocal pos
        if pos + n > len(data):
            raise Incomplete("incomplete")
        chunk = data[pos:pos + n]
        pos += n
        return chunk

    b = take(1)[0]
    if b < 0x80:
        return b, pos
    if b >= 0xE0:
        return b - 256, pos
    if b in _FIXED:
        return _FIXED[b], pos
    if b in _NUMBERS:
        fmt = _NUMBERS[b]
        return struct.unpack(fmt, take(struct.calcsize(fmt)))[0], pos
    if 0xA0 <= b <= 0xBF or b in _STR_SIZES:
        n = b & 0x1F if b <= 0xBF else int.from_bytes(take(_STR_SIZES[b]), "big")
        return take(n).decode(), pos
    if b in _BIN_SIZES:
        return take(int.from_bytes(take(_BIN_SIZES[b]), "big")), pos
    if 0x80 <= b <= 0x9F or b in _CONTAINER_SIZES:
        n = b & 0x0F if b <= 0x9F else int.from_bytes(take(_CONTAINER_SIZES[b]), "big")
        if 0x90 <= b <= 0x9F or b in (0xDC, 0xDD):
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
    raise ValueError(f"unsupported marker {b:#x}")


@dataclass(frozen=True)
class ConfirmResult:
    """A reply's confirmation: `status` is what the program confirmed."""

    status: bool

    def __repr__(self) -> str:
        return f"ConfirmResult({self.status!r})"


@dataclass(frozen=True)
class ErrorResult:
    """A reply's error: `error` is the program's text."""

    error: str

    def __repr__(self) -> str:
        return f"ErrorResult({self.error!r})"


Result = Union[ConfirmResult, ErrorResult]


class Reply(NamedTuple):
    """One result frame: the widget id, the server's status name and the result."""

    id: int
    status: str
    result: Result


def reply(widget_id: int, status: str, result: Result) -> bytes:
    """The bytes of a result frame: [id, status, {kind: [field]}]."""
    if isinstance(result, ConfirmResult):
        return pack([widget_id, status, {"ConfirmResult": [result.status]}])
    return pack([widget_id, status, {"ErrorResult": [result.error]}])


def decode_reply(value: Any) -> Reply:
    """The Reply that a decoded result frame holds; ValueError when it is not one."""
    try:
        widget_id, status, result = value
        ((kind, fields),) = result.items()
        (field,) = fields
    except (TypeError, ValueError, AttributeError):
        raise ValueError(f"not a result frame: {value!r}") from None
    if kind == "ConfirmResult" and isinstance(field, bool):
        return Reply(widget_id, status, ConfirmResult(field))
    if kind == "ErrorResult" and isinstance(field, str):
        return Reply(widget_id, status, ErrorResult(field))
    raise ValueError(f"not a result frame: {value!r}")


def read_replies(data: bytes) -> Tuple[List[Reply], bytes]:
    """Splits received bytes into complete result frames: ([Reply, ...], bytes left over).
    Raises ValueError for bytes that are not result frames."""
    replies, pos = [], 0
    while pos < len(data):
        try:
            value, end = unpack(data, pos)
        except Incomplete:
            break
        replies.append(decode_reply(value))
        pos = end
    return replies, bytes(data[pos:])
