"""A fake controller over WebSocket (RFC 6455, the client's side) in plain Python: the
handshake, masked frames out, the server's frames read strictly, replies decoded as
`velto_tools.controller.Controller` decodes them.

`WsController` has every method of `Controller` (`Controller("ws://...")` makes one), plus
what protocol tests need: `send()` with fragments, `ping()`, `close()` with a code, and
`raw_ws_frame()` / `send_bytes()` for frames a well-behaved client never sends."""
from __future__ import annotations

import base64
import hashlib
import os
import select
import socket
import struct
import threading
import time
from collections import deque
from typing import Callable, Deque, List, NamedTuple, Optional, Tuple, Union

from velto_tools.address import WsAddress, parse_ws_address
from velto_tools.controller import Controller, _dial
from velto_tools.wire import MAX_REPLY_BYTES, Incomplete, Reply, parse_reply

__all__ = ["WsController", "WsHandshakeError", "WsProtocolError", "raw_ws_frame", "mask_payload",
           "accept_key", "WsReader", "handshake"]

CONTINUATION, TEXT, BINARY, CLOSE, PING, PONG = 0x0, 0x1, 0x2, 0x8, 0x9, 0xA
OPCODES = (CONTINUATION, TEXT, BINARY, CLOSE, PING, PONG)

GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"
# The largest payload of a control frame (ping, pong, close).
MAX_CONTROL = 125
# The largest response head the handshake reads.
MAX_HEAD_BYTES = 16384


class WsHandshakeError(ConnectionError):
    """The server did not complete the WebSocket handshake. `status` is the HTTP status it
    answered with (403 for a wrong key, 426 for another protocol version), or 101 when its
    101 answer was wrong, or None when it answered no HTTP at all."""

    def __init__(self, message: str, status: Optional[int] = None) -> None:
        super().__init__(message)
        self.status = status

    def __str__(self) -> str:
        return str(self.args[0])


class WsProtocolError(ValueError):
    """The server broke the WebSocket protocol. `code` is the close code the client answered
    with: 1002 (a protocol error), 1007 (text that is no UTF-8) or 1009 (a message above the
    limit)."""

    def __init__(self, code: int, why: str) -> None:
        super().__init__(f"WebSocket protocol error: {why} ({code})")
        self.code = code
        self.why = why


def accept_key(key: str) -> str:
    """The Sec-WebSocket-Accept value that answers the Sec-WebSocket-Key `key`."""
    return base64.b64encode(hashlib.sha1(key.encode("ascii") + GUID).digest()).decode("ascii")


# mask_payload() works on pieces of this size (a multiple of 4): one integer operation per
# piece, so that a long payload does not make integers of megabytes.
_MASK_PIECE = 65536


def mask_payload(payload: bytes, mask: bytes) -> bytes:
    """`payload` XORed with the 4-byte `mask` repeated (masking and unmasking are the same):
    an integer XOR over the whole payload, or over each 64 KiB of a longer one."""
    n = len(payload)
    if n <= _MASK_PIECE:
        key = mask * (n // 4) + mask[:n % 4]
        return (int.from_bytes(payload, "big") ^ int.from_bytes(key, "big")).to_bytes(n, "big")
    view = memoryview(payload)
    whole = int.from_bytes(mask * (_MASK_PIECE // 4), "big")
    pieces = [(int.from_bytes(view[i:i + _MASK_PIECE], "big") ^ whole).to_bytes(_MASK_PIECE, "big")
              for i in range(0, n - n % _MASK_PIECE, _MASK_PIECE)]
    if n % _MASK_PIECE:
        pieces.append(mask_payload(bytes(view[n - n % _MASK_PIECE:]), mask))
    return b"".join(pieces)


def raw_ws_frame(opcode: int, payload: bytes = b"", *, fin: bool = True, rsv: int = 0,
                 mask: Union[bool, bytes] = True, length_form: Optional[int] = None,
                 length: Optional[int] = None) -> bytes:
    """The bytes of one frame, whatever the protocol allows: any `opcode` (0-15), the RSV bits
    `rsv` (0-7), FIN or not. `mask`: True for a fresh random mask, False for none, or the 4
    mask bytes. `length_form`: 7, 16 or 64, the length field's form (the shortest that holds
    the length by default; a longer one makes a non-minimal length). `length`: the length
    announced, when it is to differ from the payload's."""
    if not 0 <= opcode <= 15:
        raise ValueError(f"opcode {opcode} is outside 0-15")
    if not 0 <= rsv <= 7:
        raise ValueError(f"rsv {rsv} is outside 0-7")
    announced = len(payload) if length is None else length
    if length_form is None:
        length_form = 7 if announced <= 125 else 16 if announced < 65536 else 64
    mask_bit = 0 if mask is False else 0x80
    head = bytes([(0x80 if fin else 0) | rsv << 4 | opcode])
    if length_form == 7 and 0 <= announced <= 125:
        head += bytes([mask_bit | announced])
    elif length_form == 16 and 0 <= announced < 65536:
        head += bytes([mask_bit | 126]) + struct.pack(">H", announced)
    elif length_form == 64 and 0 <= announced < 2**64:
        head += bytes([mask_bit | 127]) + struct.pack(">Q", announced)
    else:
        raise ValueError(f"a length of {announced} has no {length_form}-bit form")
    if mask is False:
        return head + payload
    key = os.urandom(4) if mask is True else bytes(mask)
    if len(key) != 4:
        raise ValueError(f"a mask is 4 bytes, not {len(key)}")
    return head + key + mask_payload(payload, key)


def close_payload(code: Optional[int], reason: str = "") -> bytes:
    """The payload of a close frame: the code and the reason, or nothing without a code."""
    if code is None:
        return b""
    data = struct.pack(">H", code) + reason.encode()
    if len(data) > MAX_CONTROL:
        raise ValueError(f"a close reason of {len(data) - 2} bytes does not fit a control frame")
    return data


def valid_close_code(code: int) -> bool:
    """Whether a peer may send `code` in a close frame: 1000-1003, 1007-1014, 3000-4999."""
    return 1000 <= code <= 1003 or 1007 <= code <= 1014 or 3000 <= code <= 4999


class Message(NamedTuple):
    """A whole data message (its fragments joined)."""

    binary: bool
    payload: bytes


class Ping(NamedTuple):
    payload: bytes


class Pong(NamedTuple):
    payload: bytes


class Close(NamedTuple):
    """A close frame: its code (None when it had no payload) and reason."""

    code: Optional[int]
    reason: str


Event = Union[Message, Ping, Pong, Close]


class WsReader:
    """Reads a server's frames from the bytes given to feed(), strictly: a server's frame is
    never masked, has no RSV bit, a known opcode and the shortest length form; a control
    frame is whole (FIN) and at most 125 bytes; a continuation only continues a message, and
    no message starts inside another; a close frame has no payload or a valid code and a
    UTF-8 reason; a text message is UTF-8. Anything else raises WsProtocolError, on this
    call and every later one. A message announced longer than `max_message` raises
    WsProtocolError 1009 before its bytes arrive: at most one frame is held."""

    def __init__(self, max_message: int = MAX_REPLY_BYTES) -> None:
        self.max_message = max_message
        self._held = bytearray()
        self._parts: List[bytes] = []  # the fragments of a message in progress
        self._parts_size = 0
        self._text: Optional[bool] = None  # the kind of the message in progress
        self._error: Optional[WsProtocolError] = None

    @property
    def held(self) -> int:
        return len(self._held) + self._parts_size

    @property
    def error(self) -> Optional[WsProtocolError]:
        """The fault that stopped the reader, or None."""
        return self._error

    def feed(self, data: bytes) -> List[Event]:
        """The events that `data` completes, in order. At a fault, the events before it are
        given back and the fault is raised by the next call (and every later one)."""
        if self._error is not None:
            raise self._error
        self._held += data
        events: List[Event] = []
        pos = 0
        try:
            while True:
                got = self._frame(pos)
                if got is None:
                    break
                pos, event = got
                if event is not None:
                    events.append(event)
        except WsProtocolError as e:
            self._error = e
            self._held = bytearray()
            self._parts, self._parts_size = [], 0
            if events:
                return events
            raise
        del self._held[:pos]
        return events

    def _fail(self, why: str, code: int = 1002) -> WsProtocolError:
        return WsProtocolError(code, why)

    def _frame(self, pos: int) -> Optional[Tuple[int, Optional[Event]]]:
        """The frame at `pos`: (position after it, its event or None), or None while it is
        incomplete."""
        held = self._held
        if len(held) - pos < 2:
            return None
        b0, b1 = held[pos], held[pos + 1]
        fin, rsv, opcode = b0 & 0x80, (b0 >> 4) & 7, b0 & 0x0F
        if rsv:
            raise self._fail(f"a frame with RSV bits {rsv:03b} set")
        if opcode not in OPCODES:
            raise self._fail(f"a frame with the unknown opcode {opcode:#x}")
        if b1 & 0x80:
            raise self._fail("a masked frame from the server")
        size, start = b1 & 0x7F, pos + 2
        if opcode >= CLOSE:
            if not fin:
                raise self._fail("a fragmented control frame")
            if size > MAX_CONTROL:
                raise self._fail("a control frame longer than 125 bytes")
        elif size == 126:
            if len(held) - pos < 4:
                return None
            size, start = struct.unpack_from(">H", held, pos + 2)[0], pos + 4
            if size < 126:
                raise self._fail(f"a length of {size} in the 16-bit form")
        elif size == 127:
            if len(held) - pos < 10:
                return None
            size, start = struct.unpack_from(">Q", held, pos + 2)[0], pos + 10
            if size >> 63:
                raise self._fail("a 64-bit length with its most significant bit set")
            if size < 65536:
                raise self._fail(f"a length of {size} in the 64-bit form")
        if opcode == CONTINUATION and self._text is None:
            raise self._fail("a continuation frame without a message to continue")
        if opcode in (TEXT, BINARY) and self._text is not None:
            raise self._fail("a new message inside a fragmented one")
        if opcode < CLOSE and self._parts_size + size > self.max_message:
            raise self._fail(f"reply exceeds {self.max_message} bytes", 1009)
        end = start + size
        if len(held) < end:
            return None
        payload = bytes(held[start:end])
        if opcode >= CLOSE:
            return end, self._control(opcode, payload)
        if opcode != CONTINUATION:
            self._text = opcode == TEXT
        self._parts.append(payload)
        self._parts_size += size
        if not fin:
            return end, None
        data, text = b"".join(self._parts), self._text
        self._parts, self._parts_size, self._text = [], 0, None
        if text:
            try:
                data.decode()
            except UnicodeDecodeError as e:
                raise self._fail(f"a text message that is not UTF-8 ({e.reason} at byte {e.start})",
                                 1007) from None
        return end, Message(not text, data)

    def _control(self, opcode: int, payload: bytes) -> Event:
        if opcode == PING:
            return Ping(payload)
        if opcode == PONG:
            return Pong(payload)
        if not payload:
            return Close(None, "")
        if len(payload) == 1:
            raise self._fail("a close frame with a payload of 1 byte")
        code = struct.unpack_from(">H", payload)[0]
        if not valid_close_code(code):
            raise self._fail(f"a close frame with the invalid code {code}")
        try:
            reason = payload[2:].decode()
        except UnicodeDecodeError as e:
            raise self._fail(f"a close reason that is not UTF-8 ({e.reason} at byte {e.start})",
                             1007) from None
        return Close(code, reason)


def handshake(sock: socket.socket, address: WsAddress, deadline: float,
              origin: Optional[str] = None) -> bytes:
    """Sends the opening handshake on the connected `sock` and reads the answer until the
    time.monotonic() value `deadline`; returns the bytes that came after the answer's head
    (the first frames). Raises WsHandshakeError for any answer but a correct 101, and
    socket.timeout when the deadline passes."""
    key = base64.b64encode(os.urandom(16)).decode("ascii")
    lines = [f"GET {address.target} HTTP/1.1", f"Host: {address.netloc}", "Upgrade: websocket",
             "Connection: Upgrade", f"Sec-WebSocket-Key: {key}", "Sec-WebSocket-Version: 13"]
    if origin is not None:
        lines.append(f"Origin: {origin}")
    sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1"))
    data = b""
    while b"\r\n\r\n" not in data:
        if len(data) > MAX_HEAD_BYTES:
            raise WsHandshakeError(f"the server's answer to the WebSocket handshake has no end "
                                   f"within {MAX_HEAD_BYTES} bytes")
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([sock], [], [], left)[0]:
            raise socket.timeout("no answer to the WebSocket handshake in time")
        chunk = sock.recv(4096)
        if not chunk:
            raise WsHandshakeError("the server closed the connection during the WebSocket handshake")
        data += chunk
    head, rest = data.split(b"\r\n\r\n", 1)
    status_line, *header_lines = head.decode("latin-1").split("\r\n")
    words = status_line.split(" ", 2)
    if len(words) < 2 or not words[0].startswith("HTTP/") or not words[1].isdigit():
        raise WsHandshakeError(f"the server answered the WebSocket handshake with no HTTP status: "
                               f"{status_line[:80]!r}")
    status, reason = int(words[1]), (words[2] if len(words) > 2 else "")
    if status != 101:
        raise WsHandshakeError(f"the server refused the WebSocket handshake: {status} {reason}".rstrip(),
                               status)
    headers = {}
    for line in header_lines:
        name, sep, value = line.partition(":")
        if not sep:
            raise WsHandshakeError(f"a malformed header line in the 101 answer: {line[:80]!r}", 101)
        headers[name.strip().lower()] = value.strip()

    def wrong(what: str) -> WsHandshakeError:
        return WsHandshakeError(f"the server's 101 answer {what}", 101)

    if headers.get("upgrade", "").lower() != "websocket":
        raise wrong("has no Upgrade: websocket")
    if "upgrade" not in [t.strip().lower() for t in headers.get("connection", "").split(",")]:
        raise wrong("has no Connection: Upgrade")
    if headers.get("sec-websocket-accept") != accept_key(key):
        raise wrong(f"has the wrong Sec-WebSocket-Accept {headers.get('sec-websocket-accept')!r}")
    for name in ("sec-websocket-extensions", "sec-websocket-protocol"):
        if name in headers:
            raise wrong(f"names an extension or subprotocol the client did not offer ({name})")
    return rest


class WsController(Controller):
    """A controller connected over WebSocket to `address`: "ws://HOST:PORT/#k=KEY" (the URL
    the server prints; "http://" works too) or "ws://HOST:PORT/ws?k=KEY".

    As `Controller`: the constructor connects, retrying while nothing listens, for up to
    `timeout` seconds (the handshake included); each frame method sends one binary message;
    replies() yields the replies, one per binary message. A refused handshake raises
    WsHandshakeError (a ConnectionError) naming the HTTP status: 403 for a wrong key.
    `origin`, when given, is sent as the Origin header (a browser always sends one).

    The server's frames are read strictly (WsReader); a fault there makes replies() raise
    WsProtocolError (a ValueError), after the client has sent a close frame with the fault's
    code and shut the connection. A ping from the server is answered while replies() reads;
    its pongs are in `pongs`. `close_code` is the code of the server's close frame (1005: it
    had none, 1006: the connection ended without one), None while none came."""

    def __init__(self, address: str, timeout: float = 5.0, max_reply: int = MAX_REPLY_BYTES, *,
                 origin: Optional[str] = None) -> None:
        self.address = address
        self.timeout = timeout
        self.max_reply = max_reply
        self.ws_address = parse_ws_address(address)
        deadline = time.monotonic() + timeout
        sock = _dial(self.ws_address.host, self.ws_address.port, timeout, deadline)
        try:
            early = handshake(sock, self.ws_address, deadline, origin)
        except BaseException:
            sock.close()
            raise
        self._sock = sock
        self._write = threading.Lock()
        self._frames = WsReader(max_reply)
        self._ready: Deque[Reply] = deque()
        self._error: Optional[ValueError] = None
        self._eof = False
        self._reset = False
        self._close_sent = False
        self.close_code: Optional[int] = None
        self.close_reason = ""
        self.pongs: List[bytes] = []
        if early:
            self._take(early)

    # ---- frames ----------------------------------------------------------------------
    def raw(self, data: bytes) -> None:
        """Sends `data` as one binary message, in one write."""
        self.send(data)

    def send(self, data: bytes, *, fragments: int = 1, text: bool = False) -> None:
        """Sends `data` as one message (binary, or text when `text`) in `fragments` frames of
        about equal size (some empty when there are more fragments than bytes), each frame
        in a write of its own."""
        if fragments < 1:
            raise ValueError("a message has at least one fragment")
        n = len(data)
        cuts = [n * i // fragments for i in range(fragments + 1)]
        frames = [raw_ws_frame((TEXT if text else BINARY) if i == 0 else CONTINUATION, data[cuts[i]:cuts[i + 1]],
                               fin=i == fragments - 1) for i in range(fragments)]
        with self._write:
            for frame in frames:
                self._sock.sendall(frame)

    def ping(self, payload: bytes = b"") -> None:
        """Sends a ping; the server's pong shows in `pongs` once replies() or wait_pong() has
        read it."""
        self._send_frame(PING, payload)

    def wait_pong(self, timeout: float = 1.0) -> Optional[bytes]:
        """Reads until a pong arrives (replies that come meanwhile wait for replies()); the
        pong's payload, or None after `timeout` seconds or at the end of the connection."""
        seen = len(self.pongs)
        if not self._read_until(lambda: len(self.pongs) > seen, timeout):
            return None
        return self.pongs[seen]

    def raw_ws_frame(self, opcode: int, payload: bytes = b"", *, fin: bool = True, rsv: int = 0,
                     mask: Union[bool, bytes] = True, length_form: Optional[int] = None,
                     length: Optional[int] = None) -> bytes:
        """Sends the frame that the module's raw_ws_frame() builds from the same arguments,
        in one write; returns its bytes."""
        frame = raw_ws_frame(opcode, payload, fin=fin, rsv=rsv, mask=mask, length_form=length_form,
                             length=length)
        self.send_bytes(frame)
        return frame

    def send_bytes(self, data: bytes) -> None:
        """Sends `data` as it is, no framing added."""
        with self._write:
            self._sock.sendall(data)

    def _send_frame(self, opcode: int, payload: bytes) -> None:
        with self._write:
            self._sock.sendall(raw_ws_frame(opcode, payload))

    # ---- replies ---------------------------------------------------------------------
    def _receive(self, timeout: float) -> bool:
        return self._read_until(lambda: bool(self._ready), timeout)

    def _read_until(self, done: Callable[[], bool], timeout: float) -> bool:
        """Reads until `done()`; False after `timeout` seconds or at the end of the
        connection. A fault of the server's frames seen meanwhile is raised."""
        deadline = time.monotonic() + timeout
        while not done():
            if self._error is not None:
                raise self._error
            if self._eof or not self._read(deadline):
                return False
        return True

    def _read(self, deadline: float) -> bool:
        """Reads one chunk and acts on it; False when none came before `deadline` or the
        connection ended."""
        chunk = self._recv_chunk(deadline)
        if chunk is None:
            return False
        if not chunk:
            self._ended(1006)
            return False
        self._take(chunk)
        return True

    def _take(self, chunk: bytes) -> None:
        """Acts on the events that `chunk` completes; a fault of the server's frames ends
        the connection and is raised by the next read of replies."""
        try:
            events = self._frames.feed(chunk)
        except WsProtocolError:
            events = []
        for event in events:
            if isinstance(event, Message):
                if self._error is None:
                    self._message(event)
            elif isinstance(event, Ping):
                self._pong(event.payload)
            elif isinstance(event, Pong):
                self.pongs.append(event.payload)
            else:
                self.close_code = 1005 if event.code is None else event.code
                self.close_reason = event.reason
                self._answer_close(event.code)
                self._ended(self.close_code)
                return
        fault = self._frames.error
        if fault is not None:
            self._fail(fault.code, fault if fault.code != 1009 else ValueError(f"not a result frame: {fault.why}"))

    def _message(self, message: Message) -> None:
        if not message.binary:
            self._error = ValueError("not a result frame: a text message (replies are binary messages)")
            return
        data = message.payload
        try:
            reply, end = parse_reply(data, 0, self.max_reply)
            if end != len(data):
                raise ValueError(f"not a result frame: {len(data) - end} bytes after the reply in its message")
        except Incomplete:
            self._error = ValueError(f"not a result frame: a message of {len(data)} bytes ends inside the reply")
        except ValueError as e:
            self._error = e
        else:
            self._ready.append(reply)

    def _pong(self, payload: bytes) -> None:
        try:
            self._send_frame(PONG, payload)
        except OSError:
            pass  # the server has gone: the read that follows sees it

    def _send_close(self, payload: bytes) -> None:
        """Sends a close frame with `payload`, unless one was sent already; a server already
        gone is no error."""
        if self._close_sent:
            return
        self._close_sent = True
        try:
            self._send_frame(CLOSE, payload)
        except OSError:
            pass

    def _answer_close(self, code: Optional[int]) -> None:
        """Echoes the server's close (its code, no reason) unless a close was sent already."""
        self._send_close(close_payload(code))

    def _fail(self, code: int, error: ValueError) -> None:
        """Ends the connection after a protocol fault: close with `code`, then shut down."""
        if self._error is None:
            self._error = error
        self._send_close(close_payload(code))
        try:
            self._sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self._eof = True

    def _ended(self, code: int) -> None:
        self._eof = True
        if self.close_code is None:
            self.close_code = code

    # ---- lifetime --------------------------------------------------------------------
    def close(self, code: Optional[int] = 1000, reason: str = "", wait: float = 1.0) -> None:
        """Closes the connection: sends a close frame with `code` and `reason` (no payload
        for None) unless one was sent already, waits up to `wait` seconds (at most the
        timeout) for the server's close frame or the end of the connection, then closes the
        socket. Replies that arrive meanwhile are kept for replies()."""
        if self._sock.fileno() < 0:
            return
        try:
            if not self._close_sent and not self._eof:
                self._close_sent = True
                self._send_frame(CLOSE, close_payload(code, reason))
            deadline = time.monotonic() + min(wait, self.timeout)
            while not self._eof and self._read(deadline):
                pass
        except (OSError, ValueError):
            pass  # the connection is being closed anyway
        finally:
            self._sock.close()

    def __enter__(self) -> "WsController":
        return self
