"""A controller's side of the wire in plain Python: frames out, result frames in.

Covers the MessagePack subset the protocol uses: nil, booleans, integers, float 32/64,
strings, binaries, arrays and maps.
"""
from __future__ import annotations

import math
import struct
import sys
from dataclasses import dataclass
from typing import Any, Dict, List, NamedTuple, Optional, Tuple, Union

KINDS = ("ClickButton", "ToggleButton", "ConfirmButton", "PressButton", "DirectionalButton", "Joystick")
STATUSES = ("NotInit", "Idle", "Busy", "Error")

# How deeply pack() and unpack() nest arrays and maps; a frame or reply needs three levels.
MAX_DEPTH = 64

# The largest reply a server can send: id 128-255 (2 bytes), "NotInit" (8), the one-entry
# map (1) with its key "ErrorResult" (12), the one-field array (1) and an error text of
# 2**32 - 1 bytes behind a str 32 header (5). The array header itself is one byte.
MAX_REPLY_BYTES = 1 + 2 + 8 + 1 + 12 + 1 + 5 + (2**32 - 1)


class F32(float):
    """A float written as MessagePack float 32."""


class PackError(ValueError):
    """The value is outside what MessagePack can carry (an integer beyond 64 bits, a text of
    4 GiB, nesting deeper than MAX_DEPTH)."""


class Incomplete(ValueError):
    """The bytes end before the value does: more bytes could complete it. `needed` is the
    least number of bytes, counted from the start of the value, that it takes."""

    def __init__(self, needed: int = 0) -> None:
        super().__init__("incomplete")
        self.needed = needed


def pack(value: Any) -> bytes:
    """MessagePack bytes of `value` (None, bool, int, F32/float, str, bytes, list, tuple, dict).
    Raises PackError for a value beyond MessagePack's limits, TypeError for another type."""
    out: List[bytes] = []
    _pack(value, out, 0)
    return b"".join(out)


def _length(kind: str, n: int) -> None:
    if n >= 2**32:
        raise PackError(f"{kind} of {n} exceeds MessagePack's limit of {2**32 - 1}")


def _pack(value: Any, out: List[bytes], depth: int) -> None:
    if value is None:
        out.append(b"\xc0")
    elif value is True:
        out.append(b"\xc3")
    elif value is False:
        out.append(b"\xc2")
    elif isinstance(value, int):
        out.append(_pack_int(value))
    elif isinstance(value, F32):
        if math.isfinite(value) and abs(value) > 3.4028234663852886e38:
            raise PackError(f"{float(value)!r} is beyond the range of a float 32")
        out.append(b"\xca" + struct.pack(">f", value))
    elif isinstance(value, float):
        out.append(b"\xcb" + struct.pack(">d", value))
    elif isinstance(value, str):
        data = value.encode()
        n = len(data)
        _length("a text of bytes", n)
        if n < 32:
            out.append(bytes([0xA0 | n]))
        elif n < 256:
            out.append(b"\xd9" + bytes([n]))
        elif n < 65536:
            out.append(b"\xda" + struct.pack(">H", n))
        else:
            out.append(b"\xdb" + struct.pack(">I", n))
        out.append(data)
    elif isinstance(value, (bytes, bytearray)):
        n = len(value)
        _length("a binary of bytes", n)
        if n < 256:
            out.append(b"\xc4" + bytes([n]))
        elif n < 65536:
            out.append(b"\xc5" + struct.pack(">H", n))
        else:
            out.append(b"\xc6" + struct.pack(">I", n))
        out.append(bytes(value))
    elif isinstance(value, (list, tuple, dict)):
        if depth >= MAX_DEPTH:
            raise PackError(f"nesting deeper than {MAX_DEPTH} levels")
        n = len(value)
        is_map = isinstance(value, dict)
        _length("a map of entries" if is_map else "an array of items", n)
        if n < 16:
            out.append(bytes([(0x80 if is_map else 0x90) | n]))
        elif n < 65536:
            out.append((b"\xde" if is_map else b"\xdc") + struct.pack(">H", n))
        else:
            out.append((b"\xdf" if is_map else b"\xdd") + struct.pack(">I", n))
        if isinstance(value, dict):
            for k, v in value.items():
                _pack(k, out, depth + 1)
                _pack(v, out, depth + 1)
        else:
            for v in value:
                _pack(v, out, depth + 1)
    else:
        raise TypeError(f"cannot pack {type(value).__name__}")


def _pack_int(value: int) -> bytes:
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
    if -128 <= value < 0:
        return b"\xd0" + struct.pack(">b", value)
    if -32768 <= value < 0:
        return b"\xd1" + struct.pack(">h", value)
    if -(2**31) <= value < 0:
        return b"\xd2" + struct.pack(">i", value)
    if -(2**63) <= value < 0:
        return b"\xd3" + struct.pack(">q", value)
    raise PackError(f"integer {value} is outside MessagePack's range of -2**63 to 2**64 - 1")


def frame(widget_id: int, kind: str, *fields: Any) -> bytes:
    """The canonical bytes of a frame: [id, {kind: [fields...]}]."""
    return pack([widget_id, {kind: list(fields)}])


_FIXED = {0xC0: None, 0xC2: False, 0xC3: True}
_NUMBERS = {0xCC: ">B", 0xCD: ">H", 0xCE: ">I", 0xCF: ">Q", 0xD0: ">b", 0xD1: ">h",
            0xD2: ">i", 0xD3: ">q", 0xCA: ">f", 0xCB: ">d"}
_STR_SIZES = {0xD9: 1, 0xDA: 2, 0xDB: 4}
_BIN_SIZES = {0xC4: 1, 0xC5: 2, 0xC6: 4}
_CONTAINER_SIZES = {0xDC: 2, 0xDD: 4, 0xDE: 2, 0xDF: 4}
_KEY_TYPES = (str, int, float, bytes, bool, type(None))


def _kind_of(marker: int) -> str:
    """What a MessagePack marker starts, for error texts."""
    if marker < 0x80 or marker >= 0xE0 or 0xCC <= marker <= 0xD3:
        return "an integer"
    if marker <= 0x8F or marker in (0xDE, 0xDF):
        return "a map"
    if marker <= 0x9F or marker in (0xDC, 0xDD):
        return "an array"
    if marker <= 0xBF or marker in _STR_SIZES:
        return "a string"
    if marker in _BIN_SIZES:
        return "a binary"
    if marker == 0xC0:
        return "nil"
    if marker in (0xC2, 0xC3):
        return "a boolean"
    if marker in (0xCA, 0xCB):
        return "a float"
    if marker == 0xC1:
        return "the unused marker 0xc1"
    return "an extension"


class _Cursor:
    """Reads `data` from `pos`; take() alone moves the position and raises Incomplete."""

    def __init__(self, data: Union[bytes, bytearray, memoryview], pos: int, limit: Optional[int] = None) -> None:
        self.data, self.pos, self.start, self.limit = data, pos, pos, limit

    def take(self, n: int) -> bytes:
        end = self.pos + n
        if self.limit is not None and end - self.start > self.limit:
            raise ValueError(f"reply exceeds {self.limit} bytes")
        if end > len(self.data):
            raise Incomplete(end - self.start)
        chunk = bytes(self.data[self.pos:end])
        self.pos = end
        return chunk

    def marker(self) -> int:
        return self.take(1)[0]

    def size(self, marker: int, table: Dict[int, int]) -> int:
        return int.from_bytes(self.take(table[marker]), "big")

    def text(self, marker: int, what: str, longest: Optional[int] = None) -> str:
        """The string that `marker` starts; ValueError naming `what` for another value, or
        for one announced longer than `longest` bytes."""
        if 0xA0 <= marker <= 0xBF:
            n = marker & 0x1F
        elif marker in _STR_SIZES:
            n = self.size(marker, _STR_SIZES)
        else:
            raise ValueError(f"{what} is {_kind_of(marker)}, not a string")
        if longest is not None and n > longest:
            raise ValueError(f"{what} is a string of {n} bytes, longer than any it can be")
        data = self.take(n)
        try:
            return data.decode()
        except UnicodeDecodeError as e:
            raise ValueError(f"{what} is not UTF-8 ({e.reason} at byte {e.start})") from None

    def count(self, marker: int, arrays: bool) -> Optional[int]:
        """The item count of an array (a map when not `arrays`) that `marker` starts, or None."""
        base, table = (0x90, (0xDC, 0xDD)) if arrays else (0x80, (0xDE, 0xDF))
        if base <= marker <= base + 0x0F:
            return marker & 0x0F
        if marker in table:
            return self.size(marker, _CONTAINER_SIZES)
        return None


def unpack(data: bytes, pos: int = 0) -> Tuple[Any, int]:
    """Decodes one value at `pos`: (value, next position). Raises Incomplete when the bytes
    end inside the value and ValueError for what the subset does not hold: another marker,
    nesting deeper than MAX_DEPTH, a text that is no UTF-8, an array or map as a map key."""
    cursor = _Cursor(data, pos)
    try:
        value = _unpack(cursor, 0)
    except Incomplete as e:
        raise Incomplete(e.needed) from None
    return value, cursor.pos


def _unpack(cursor: _Cursor, depth: int) -> Any:
    b = cursor.marker()
    if b < 0x80:
        return b
    if b >= 0xE0:
        return b - 256
    if b in _FIXED:
        return _FIXED[b]
    if b in _NUMBERS:
        fmt = _NUMBERS[b]
        return struct.unpack(fmt, cursor.take(struct.calcsize(fmt)))[0]
    if 0xA0 <= b <= 0xBF or b in _STR_SIZES:
        return cursor.text(b, "a string")
    if b in _BIN_SIZES:
        return cursor.take(cursor.size(b, _BIN_SIZES))
    items = cursor.count(b, arrays=True)
    entries = cursor.count(b, arrays=False) if items is None else None
    if items is None and entries is None:
        raise ValueError(f"unsupported marker {b:#x}")
    if depth >= MAX_DEPTH:
        raise ValueError(f"nesting deeper than {MAX_DEPTH} levels")
    if items is not None:
        return [_unpack(cursor, depth + 1) for _ in range(items)]
    out = {}
    for _ in range(entries or 0):
        k = _unpack(cursor, depth + 1)
        if not isinstance(k, _KEY_TYPES):
            raise ValueError(f"a map key is {'an array' if isinstance(k, list) else 'a map'}")
        out[k] = _unpack(cursor, depth + 1)
    return out


class Status(str):
    """A reply's status: the status name ("Idle"), equal to that text and to the member of
    the module's ServerStatus of that name (``reply.status == ServerStatus.Idle``)."""

    __slots__ = ()

    def __eq__(self, other: object) -> bool:
        if isinstance(other, str):
            return str.__eq__(self, other)
        module = sys.modules.get("velto_protocol")
        if module is not None and isinstance(other, module.ServerStatus):
            return str(self) in STATUSES and STATUSES.index(self) == int(other)
        return NotImplemented

    def __ne__(self, other: object) -> bool:
        equal = self.__eq__(other)
        return equal if equal is NotImplemented else not equal

    __hash__ = str.__hash__


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
    """One result frame: the widget id, the server's status and the result. `status` is a
    text ("Idle") that also compares equal to the module's ``ServerStatus.Idle``."""

    id: int
    status: Status
    result: Result


def reply(widget_id: int, status: str, result: Result) -> bytes:
    """The bytes of a result frame: [id, status, {kind: [field]}]."""
    if isinstance(result, ConfirmResult):
        return pack([widget_id, status, {"ConfirmResult": [result.status]}])
    return pack([widget_id, status, {"ErrorResult": [result.error]}])


def _status(text: Any) -> Status:
    if text not in STATUSES:
        raise ValueError(f"status {text!r} is none of {', '.join(STATUSES)}")
    return Status(text)


def decode_reply(value: Any) -> Reply:
    """The Reply that a decoded result frame holds; ValueError when it is not one."""
    try:
        widget_id, status, result = value
        ((kind, fields),) = result.items()
        (field,) = fields
    except (TypeError, ValueError, AttributeError):
        raise ValueError(f"not a result frame: {value!r}") from None
    if not isinstance(widget_id, int) or isinstance(widget_id, bool) or not 0 <= widget_id <= 255:
        raise ValueError(f"not a result frame: id {widget_id!r} is not an integer from 0 to 255")
    try:
        checked = _status(status)
    except ValueError as e:
        raise ValueError(f"not a result frame: {e}") from None
    if kind == "ConfirmResult" and isinstance(field, bool):
        return Reply(widget_id, checked, ConfirmResult(field))
    if kind == "ErrorResult" and isinstance(field, str):
        return Reply(widget_id, checked, ErrorResult(field))
    raise ValueError(f"not a result frame: {value!r}")


_LONGEST_STATUS = max(len(s) for s in STATUSES)
_LONGEST_KIND = len("ConfirmResult")


def _expect(cursor: _Cursor, arrays: bool, n: int, what: str) -> None:
    """Reads the header of an array (a map when not `arrays`) of `n` items."""
    marker = cursor.marker()
    got = cursor.count(marker, arrays)
    if got != n:
        shape = "an array" if arrays else "a map"
        found = _kind_of(marker) if got is None else f"{shape} of {got}"
        raise ValueError(f"{what} is {found}, not {shape} of {n}")


def parse_reply(data: Union[bytes, bytearray], pos: int = 0,
                max_bytes: int = MAX_REPLY_BYTES) -> Tuple[Reply, int]:
    """Reads the result frame at `pos` by its fixed layout: (Reply, next position).

    Raises Incomplete (with the least size the reply needs) when the bytes end inside it, and
    ValueError "not a result frame: <why>" at the first byte that no reply can hold, or once
    its headers announce more than `max_bytes`. Nothing nests deeper than a reply does, and
    nothing is held beyond what the headers announce."""
    cursor = _Cursor(data, pos, max_bytes)
    try:
        _expect(cursor, True, 3, "the reply")
        marker = cursor.marker()
        if marker < 0x80:
            widget_id = marker
        elif marker in (0xCC, 0xCD, 0xCE, 0xCF, 0xD0, 0xD1, 0xD2, 0xD3):
            fmt = _NUMBERS[marker]
            widget_id = struct.unpack(fmt, cursor.take(struct.calcsize(fmt)))[0]
        else:
            raise ValueError(f"the id is {_kind_of(marker)}, not an integer")
        if not 0 <= widget_id <= 255:
            raise ValueError(f"the id {widget_id} is outside 0 to 255")
        status = _status(cursor.text(cursor.marker(), "the status", _LONGEST_STATUS))
        _expect(cursor, False, 1, "the result")
        kind = cursor.text(cursor.marker(), "the result's kind", _LONGEST_KIND)
        if kind not in ("ConfirmResult", "ErrorResult"):
            raise ValueError(f"the result's kind {kind!r} is neither ConfirmResult nor ErrorResult")
        _expect(cursor, True, 1, f"the {kind}'s fields")
        marker = cursor.marker()
        result: Result
        if kind == "ConfirmResult":
            if marker not in (0xC2, 0xC3):
                raise ValueError(f"the ConfirmResult's field is {_kind_of(marker)}, not a boolean")
            result = ConfirmResult(marker == 0xC3)
        else:
            result = ErrorResult(cursor.text(marker, "the ErrorResult's field"))
    except Incomplete:
        raise
    except ValueError as e:
        raise ValueError(f"not a result frame: {e}") from None
    return Reply(widget_id, status, result), cursor.pos


def read_replies(data: Union[bytes, bytearray]) -> Tuple[List[Reply], bytes]:
    """Splits received bytes into complete result frames: ([Reply, ...], bytes left over).
    Raises ValueError for bytes that are not result frames."""
    replies, pos = [], 0
    while pos < len(data):
        try:
            got, pos = parse_reply(data, pos)
        except Incomplete:
            break
        replies.append(got)
    return replies, bytes(data[pos:])


class ReplyReader:
    """Collects received bytes and gives back the replies they complete. It holds at most one
    unfinished reply, never more than `max_bytes`, and reads a long one once it is whole."""

    def __init__(self, max_bytes: int = MAX_REPLY_BYTES) -> None:
        self.max_bytes = max_bytes
        self._held = bytearray()
        self._needed = 0  # what the unfinished reply takes at least, from its first byte
        self._error: Optional[ValueError] = None

    def feed(self, chunk: bytes) -> List[Reply]:
        """The replies that `chunk` completes, in order. Raises ValueError as parse_reply()
        does, after the replies before the malformed one were given back, and again on every
        later call: the bytes held are dropped."""
        if self._error is not None:
            raise self._error
        self._held += chunk
        if len(self._held) < self._needed:
            return []
        replies: List[Reply] = []
        pos = 0
        try:
            while pos < len(self._held):
                got, pos = parse_reply(self._held, pos, self.max_bytes)
                replies.append(got)
            self._needed = 0
        except Incomplete as e:
            self._needed = e.needed
        except ValueError as e:
            # The stream has lost its frame boundaries: nothing after this is read.
            self._error = e
            self._held = bytearray()
            if not replies:
                raise
            return replies
        del self._held[:pos]
        return replies

    @property
    def held(self) -> int:
        """How many bytes of an unfinished reply are held."""
        return len(self._held)
