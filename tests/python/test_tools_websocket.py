"""The fake controller over WebSocket against a scripted peer (the server's bytes written out
in ws_peer), and under CPython against Debian's python3-websockets server."""
import asyncio
import base64
import os
import socket
import struct
import sys
import threading

import pytest

import ws_peer
from support import WAIT, free_port, wait_until
from velto_tools import wire
from velto_tools.address import parse_ws_address
from velto_tools.controller import Controller
from velto_tools.websocket import (WsController, WsHandshakeError, WsProtocolError, WsReader, mask_payload,
                                   raw_ws_frame)
from velto_tools.wire import ConfirmResult, ErrorResult, Reply

REPLY = wire.reply(1, "Idle", ConfirmResult(True))


def reply_of_size(n):
    """A reply of exactly n bytes (an ErrorResult's text fills it)."""
    for k in range(n):
        data = wire.reply(2, "Error", ErrorResult("e" * k))
        if len(data) == n:
            return data
    raise AssertionError(f"no reply of {n} bytes")


@pytest.mark.parametrize("address, parsed", [
    ("ws://127.0.0.1:9000/#k=abc_-1", ("127.0.0.1", 9000, "127.0.0.1:9000", "/ws?k=abc_-1")),
    ("ws://127.0.0.1:9000#k=abc", ("127.0.0.1", 9000, "127.0.0.1:9000", "/ws?k=abc")),
    ("HTTP://Robot.lan/#k=abc", ("robot.lan", 80, "Robot.lan", "/ws?k=abc")),
    ("ws://127.0.0.1:9000/ws?k=abc", ("127.0.0.1", 9000, "127.0.0.1:9000", "/ws?k=abc")),
    ("ws://[::1]:9000/#k=a%2Bb", ("::1", 9000, "[::1]:9000", "/ws?k=a%2Bb")),
    ("ws://127.0.0.1:9000/", None), ("wss://127.0.0.1:9000/#k=abc", None), ("ws:///#k=abc", None),
    ("ws://127.0.0.1:9000/ws?t=abc", None), ("ws://127.0.0.1:99999/#k=abc", None),
    ("ws://127.0.0.1:9000/page#k=abc", None),
])
def test_addresses(address, parsed):
    if parsed is None:
        with pytest.raises(ValueError):
            parse_ws_address(address)
    else:
        assert parse_ws_address(address) == parsed


@pytest.mark.parametrize("form", ["fragment", "query", "http"])
def test_handshake_request_and_the_first_frames_in_the_same_write(form):
    seen = {}

    def script(conn):
        seen["line"], seen["headers"] = ws_peer.read_request(conn)
        # The 101 and the server's first two frames in one write.
        ws_peer.answer_101(conn, seen["headers"], after=ws_peer.binary(REPLY) + ws_peer.binary(REPLY))
        seen["close"] = ws_peer.read_frame(conn)
        conn.sendall(ws_peer.close(1000))

    with ws_peer.peer(script) as url:
        url = {"fragment": url, "query": url.replace("/#k=", "/ws?k="), "http": url.replace("ws:", "http:")}[form]
        with Controller(url, timeout=WAIT) as c:
            assert isinstance(c, WsController)
            assert list(c.replies(0.2)) == [Reply(1, "Idle", ConfirmResult(True))] * 2
    headers = seen["headers"]
    assert seen["line"] == f"GET /ws?k={ws_peer.KEY} HTTP/1.1"
    assert headers["host"] == url.split("/")[2].split("#")[0]
    assert (headers["upgrade"].lower(), headers["connection"].lower(), headers["sec-websocket-version"]) == \
        ("websocket", "upgrade", "13")
    assert len(base64.b64decode(headers["sec-websocket-key"], validate=True)) == 16
    assert "origin" not in headers
    assert seen["close"][2:3] == (0x8,) and seen["close"][4] == struct.pack(">H", 1000)
    assert c.close_code == 1000


def test_each_handshake_has_a_fresh_key_and_sends_origin_when_asked():
    keys, origins = [], []

    def script(conn):
        _, headers = ws_peer.read_request(conn)
        keys.append(headers["sec-websocket-key"])
        origins.append(headers.get("origin"))
        ws_peer.answer_101(conn, headers)
        ws_peer.read_frame(conn)
        conn.sendall(ws_peer.close(1000))

    for origin in (None, "http://robot.lan:8080"):
        with ws_peer.peer(script) as url:
            WsController(url, timeout=WAIT, origin=origin).close()
    assert origins == [None, "http://robot.lan:8080"] and keys[0] != keys[1]


ANSWERS = [
    (b"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n", 403,
     "the server refused the WebSocket handshake: 403 Forbidden"),
    (b"HTTP/1.1 426 Upgrade Required\r\nSec-WebSocket-Version: 13\r\nContent-Length: 0\r\n\r\n", 426,
     "the server refused the WebSocket handshake: 426 Upgrade Required"),
    ("101 wrong accept", 101, "the server's 101 answer has the wrong Sec-WebSocket-Accept 'AAAA'"),
    ("101 extension", 101, "the server's 101 answer names an extension or subprotocol the client did not offer "
     "(sec-websocket-extensions)"),
    (b"HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade\r\n\r\n", 101,
     "the server's 101 answer has no Upgrade: websocket"),
    (b"SSH-2.0-OpenSSH\r\n\r\n", None, "the server answered the WebSocket handshake with no HTTP status: "
     "'SSH-2.0-OpenSSH'"),
    (b"", None, "the server closed the connection during the WebSocket handshake"),
]


@pytest.mark.parametrize("answer, status, message", ANSWERS,
                         ids=["403", "426", "accept", "extension", "no-upgrade", "not-http", "closed"])
def test_a_refused_or_wrong_handshake_is_a_connection_error_naming_the_status(answer, status, message):
    def script(conn):
        _, headers = ws_peer.read_request(conn)
        if answer == "101 wrong accept":
            ws_peer.answer_101(conn, headers, accept="AAAA")
        elif answer == "101 extension":
            ws_peer.answer_101(conn, headers, extra="Sec-WebSocket-Extensions: permessage-deflate\r\n")
        else:
            conn.sendall(answer)

    with ws_peer.peer(script) as url:
        with pytest.raises(WsHandshakeError) as e:
            Controller(url, timeout=WAIT)
    assert isinstance(e.value, ConnectionError)
    assert (e.value.status, str(e.value)) == (status, message)


def test_frames_are_masked_with_a_fresh_mask_each():
    # The masked example of RFC 6455 section 5.7, and its unmasking by the peer's own code.
    rfc = raw_ws_frame(0x1, b"Hello", mask=bytes.fromhex("37fa213d"))
    assert rfc.hex() == "818537fa213d7f9f4d5158"
    got = []

    def script(conn):
        ws_peer.accept_handshake(conn)
        for _ in range(8):
            got.append(ws_peer.read_frame(conn))
        conn.sendall(ws_peer.close(1000))
        got.append(ws_peer.read_frame(conn))

    with ws_peer.peer(script) as url:
        with WsController(url, timeout=WAIT) as c:
            c.click(1)
            c.toggle(2, True)
            c.confirm(3)
            c.press(4, False)
            c.direction(5, 3)
            c.joystick(6, 0.5, -1.0, 0.25)
            c.raw(b"")
            c.send_bytes(rfc)
            assert list(c.replies(WAIT)) == [] and c.ended and c.close_code == 1000
    expected = [wire.frame(1, "ClickButton"), wire.frame(2, "ToggleButton", True), wire.frame(3, "ConfirmButton"),
                wire.frame(4, "PressButton", False), wire.frame(5, "DirectionalButton", 3),
                wire.frame(6, "Joystick", [wire.F32(0.5), wire.F32(-1.0)], wire.F32(0.25)), b""]
    assert [(fin, rsv, op, data) for fin, rsv, op, _, data in got[:7]] == [(True, 0, 0x2, e) for e in expected]
    assert got[7][2:] == (0x1, bytes.fromhex("37fa213d"), b"Hello")
    masks = [frame[3] for frame in got[:7]] + [got[8][3]]
    assert all(m is not None for m in masks) and len(set(masks)) == len(masks)
    # Masking the whole payload at once equals masking byte by byte, whatever the length.
    data = os.urandom(100_003)
    assert mask_payload(data, b"\x00\xff\x10\x01") == bytes(b ^ b"\x00\xff\x10\x01"[i % 4] for i, b in enumerate(data))


@pytest.mark.parametrize("size, head", [(125, "827d"), (126, "827e007e"), (65535, "827effff"),
                                        (65536, "827f0000000000010000")])
def test_length_forms_both_ways(size, head):
    payload = os.urandom(size)
    answer = reply_of_size(size)
    got = []

    def script(conn):
        ws_peer.accept_handshake(conn)
        got.append(ws_peer.read_frame(conn))
        conn.sendall(ws_peer.binary(answer))
        ws_peer.read_frame(conn)
        conn.sendall(ws_peer.close(1000))

    with ws_peer.peer(script) as url:
        with WsController(url, timeout=WAIT) as c:
            frame = c.raw_ws_frame(0x2, payload, mask=b"\x00\x00\x00\x00")
            assert next(c.replies(WAIT)) == wire.parse_reply(answer)[0]
    server_head = bytes.fromhex(head)
    assert frame.startswith(server_head[:1] + bytes([server_head[1] | 0x80]) + server_head[2:] + bytes(4))
    assert len(frame) == len(server_head) + 4 + size and got[0][4] == payload
    assert ws_peer.binary(answer).startswith(server_head)  # the reply came in the same form


@pytest.mark.parametrize("kwargs, hex_head", [
    (dict(mask=False), "8205"),
    (dict(mask=False, fin=False, rsv=4), "4205"),
    (dict(mask=False, length_form=16), "827e0005"),
    (dict(mask=False, length_form=64), "827f0000000000000005"),
    (dict(mask=False, length_form=64, length=2**63), "827f8000000000000000"),
    (dict(mask=b"\x01\x02\x03\x04"), "828501020304"),
])
def test_raw_frames_carry_what_the_protocol_forbids(kwargs, hex_head):
    frame = raw_ws_frame(0x2, b"hello", **kwargs)
    assert frame.hex().startswith(hex_head)
    assert frame.endswith(b"hello" if kwargs.get("mask") is False else mask_payload(b"hello", kwargs["mask"]))
    for bad in [dict(length_form=7, length=126), dict(rsv=8), dict(mask=b"abc"), dict(length_form=32)]:
        with pytest.raises(ValueError):
            raw_ws_frame(0x2, b"x", **bad)


@pytest.mark.parametrize("fragments", [1, 2, 3, 40])
def test_a_message_in_fragments(fragments):
    data = wire.frame(9, "Joystick", [wire.F32(0.25), wire.F32(-0.5)], wire.F32(1.0))
    got = []

    def script(conn):
        ws_peer.accept_handshake(conn)
        for _ in range(fragments):
            got.append(ws_peer.read_frame(conn))
        # The server's reply in three fragments, a ping between them.
        conn.sendall(bytes([0x02, 5]) + REPLY[:5] + bytes([0x89, 1]) + b"p" + bytes([0x00, 5]) + REPLY[5:10]
                     + bytes([0x80, len(REPLY) - 10]) + REPLY[10:])
        got.append(ws_peer.read_frame(conn))  # the pong
        ws_peer.read_frame(conn)
        conn.sendall(ws_peer.close(1000))

    with ws_peer.peer(script) as url:
        with WsController(url, timeout=WAIT) as c:
            c.send(data, fragments=fragments)
            assert next(c.replies(WAIT)) == Reply(1, "Idle", ConfirmResult(True))
    frames, pong = got[:-1], got[-1]
    assert [op for _, _, op, _, _ in frames] == [0x2] + [0x0] * (fragments - 1)
    assert [fin for fin, _, _, _, _ in frames] == [False] * (fragments - 1) + [True]
    assert b"".join(f[4] for f in frames) == data
    assert pong[2] == 0xA and pong[4] == b"p"


def test_ping_pong_both_ways():
    got = []

    def script(conn):
        ws_peer.accept_handshake(conn)
        conn.sendall(ws_peer.server_frame(0x9, b"are you there") + ws_peer.binary(REPLY))
        got.append(ws_peer.read_frame(conn))
        got.append(ws_peer.read_frame(conn))  # the client's ping
        conn.sendall(ws_peer.server_frame(0xA, got[-1][4]))
        ws_peer.read_frame(conn)
        conn.sendall(ws_peer.close(1000))

    with ws_peer.peer(script) as url:
        with WsController(url, timeout=WAIT) as c:
            assert next(c.replies(WAIT)) == Reply(1, "Idle", ConfirmResult(True))
            c.ping(b"x" * 125)
            assert c.wait_pong(WAIT) == b"x" * 125 and c.pongs == [b"x" * 125]
    assert [(op, data) for _, _, op, _, data in got] == [(0xA, b"are you there"), (0x9, b"x" * 125)]


@pytest.mark.parametrize("server_close, echo, code, reason", [
    (ws_peer.close(1001, b"going away"), struct.pack(">H", 1001), 1001, "going away"),
    (ws_peer.close(), b"", 1005, ""),
    (b"", None, 1006, ""),
], ids=["1001", "no-code", "no-close-frame"])
def test_the_server_closing_first_is_echoed(server_close, echo, code, reason):
    got = []

    def script(conn):
        ws_peer.accept_handshake(conn)
        conn.sendall(ws_peer.binary(REPLY) + server_close)
        if echo is not None:
            got.append(ws_peer.read_frame(conn))
        conn.shutdown(socket.SHUT_WR)
        got.append(conn.recv(1))  # the client closes without another close frame

    with ws_peer.peer(script) as url:
        with WsController(url, timeout=WAIT) as c:
            assert list(c.replies(WAIT)) == [Reply(1, "Idle", ConfirmResult(True))]
            assert (c.ended, c.close_code, c.close_reason) == (True, code, reason)
    if echo is not None:
        assert got[0][2] == 0x8 and got[0][4] == echo
    assert got[-1] == b""


GOOD = ws_peer.binary(REPLY)
# What a server must not send, and the close code the client answers with.
FAULTS = [
    (b"\x82\x85\x01\x02\x03\x04hello", 1002, "a masked frame from the server"),
    (b"\xc2\x01x", 1002, "a frame with RSV bits 100 set"),
    (b"\x92\x01x", 1002, "a frame with RSV bits 001 set"),
    (b"\x83\x00", 1002, "a frame with the unknown opcode 0x3"),
    (b"\x8b\x00", 1002, "a frame with the unknown opcode 0xb"),
    (b"\x09\x00", 1002, "a fragmented control frame"),
    (b"\x89\x7e\x00\x7e" + bytes(126), 1002, "a control frame longer than 125 bytes"),
    (b"\x82\x7e\x00\x05hello", 1002, "a length of 5 in the 16-bit form"),
    (b"\x82\x7f" + (65535).to_bytes(8, "big"), 1002, "a length of 65535 in the 64-bit form"),
    (b"\x82\x7f\x80" + bytes(7), 1002, "a 64-bit length with its most significant bit set"),
    (b"\x80\x01x", 1002, "a continuation frame without a message to continue"),
    (b"\x02\x01x\x82\x01y", 1002, "a new message inside a fragmented one"),
    (b"\x88\x01\x03", 1002, "a close frame with a payload of 1 byte"),
    (b"\x88\x02\x03\xed", 1002, "a close frame with the invalid code 1005"),
    (b"\x88\x02\x03\xe7", 1002, "a close frame with the invalid code 999"),
    (b"\x88\x02\x0b\xb7", 1002, "a close frame with the invalid code 2999"),
    (b"\x88\x02\x13\x88", 1002, "a close frame with the invalid code 5000"),
    (b"\x88\x04\x03\xe8\xc3\x28", 1007, "a close reason that is not UTF-8 (invalid continuation byte at byte 0)"),
    (b"\x01\x02\xce\xbb\x80\x01\xff", 1007, "a text message that is not UTF-8 (invalid start byte at byte 2)"),
]


@pytest.mark.parametrize("data, code, why", FAULTS, ids=[
    "masked", "rsv1", "rsv3", "opcode-3", "opcode-b", "control-fin0", "control-126", "len16-short", "len64-short",
    "len64-msb", "continuation-first", "message-in-message", "close-1-byte", "close-1005", "close-999",
    "close-2999", "close-5000", "close-reason-utf8", "text-utf8"])
def test_a_faulty_server_frame_fails_the_connection_with_its_code(data, code, why):
    got = []

    def script(conn):
        ws_peer.accept_handshake(conn)
        conn.sendall(GOOD)
        conn.sendall(data)
        got.append(ws_peer.read_frame(conn))
        got.append(conn.recv(1))  # then the client shuts the connection

    with ws_peer.peer(script) as url:
        with WsController(url, timeout=WAIT) as c:
            seen = []
            with pytest.raises(WsProtocolError) as e:
                for r in c.replies(WAIT):
                    seen.append(r)
            assert seen == [Reply(1, "Idle", ConfirmResult(True))]
            assert (e.value.code, str(e.value)) == (code, f"WebSocket protocol error: {why} ({code})")
            with pytest.raises(WsProtocolError):
                next(c.replies(0))
            assert c.ended
    assert got[0][2] == 0x8 and got[0][4] == struct.pack(">H", code)
    assert got[1] == b""


@pytest.mark.parametrize("message, why, code", [
    (ws_peer.server_frame(0x1, b"hi"), "a text message (replies are binary messages)", 1000),
    (ws_peer.binary(REPLY + REPLY), "24 bytes after the reply in its message", 1000),
    (ws_peer.binary(REPLY[:-1]), "a message of 23 bytes ends inside the reply", 1000),
    (ws_peer.binary(wire.frame(1, "ClickButton")), "the reply is an array of 2, not an array of 3", 1000),
    # Announces 5000 bytes and sends none of them: refused from the header, closed with 1009.
    (b"\x82\x7e\x13\x88", "reply exceeds 1000 bytes", 1009),
], ids=["text", "two-replies", "cut", "not-a-reply", "over-limit"])
def test_a_message_that_is_no_reply_is_a_value_error(message, why, code):
    got = []

    def script(conn):
        ws_peer.accept_handshake(conn)
        conn.sendall(GOOD + message)
        got.append(ws_peer.read_frame(conn))
        try:
            conn.sendall(ws_peer.close(1000))
        except OSError:
            pass  # the client has shut the connection after a fault

    with ws_peer.peer(script) as url:
        with WsController(url, timeout=WAIT, max_reply=1000) as c:
            seen = []
            with pytest.raises(ValueError) as e:
                for r in c.replies(WAIT):
                    seen.append(r)
            assert seen == [Reply(1, "Idle", ConfirmResult(True))]
            assert (type(e.value), str(e.value)) == (ValueError, "not a result frame: " + why)
    assert got[0][2] == 0x8 and got[0][4] == struct.pack(">H", code)


def test_the_reader_gives_the_same_events_fed_one_byte_at_a_time():
    stream = (ws_peer.server_frame(0x9, b"1") + bytes([0x02, 2]) + b"ab" + ws_peer.server_frame(0xA, b"2")
              + bytes([0x80, 3]) + b"cde" + ws_peer.binary(bytes(300)) + ws_peer.server_frame(0x1, "ü".encode())
              + ws_peer.close(3000, "bye".encode()))
    whole = WsReader().feed(stream)
    reader = WsReader()
    split = [e for i in range(len(stream)) for e in reader.feed(stream[i:i + 1])]
    assert whole == split
    assert [type(e).__name__ for e in whole] == ["Ping", "Pong", "Message", "Message", "Message", "Close"]
    assert whole[2].payload == b"abcde" and whole[3].payload == bytes(300)
    assert whole[4] == (False, "ü".encode()) and whole[5] == (3000, "bye")
    assert reader.held == 0
    for code in (1000, 1003, 1007, 1014, 3000, 4999):
        assert WsReader().feed(ws_peer.close(code)) == [(code, "")]


@pytest.mark.skipif(sys.implementation.name != "cpython",
                    reason="PyPy cannot import Debian's python3-websockets (it is built for CPython)")
def test_against_an_independent_server():
    """Debian's python3-websockets as the server: it checks the client's handshake, masks
    and close codes itself."""
    import http

    import websockets

    token = "right-key-0123456789"
    log = []
    ready = threading.Event()
    port = free_port()

    async def refuse_wrong_key(path, headers):
        if path != f"/ws?k={token}":
            return http.HTTPStatus.FORBIDDEN, [], b""
        return None

    async def handler(ws, path):
        async for message in ws:
            log.append(message)
            if message == b"ping me":
                log.append(await asyncio.wait_for(await ws.ping(b"from server"), WAIT))
            await ws.send(wire.reply(len(log), "Idle", ConfirmResult(True)))
        log.append(("closed", ws.close_code))

    async def serve(stop):
        async with websockets.serve(handler, "127.0.0.1", port, process_request=refuse_wrong_key):
            ready.set()
            while not stop.is_set():
                await asyncio.sleep(0.02)

    stop = threading.Event()
    t = threading.Thread(target=lambda: asyncio.run(serve(stop)))
    t.start()
    try:
        assert ready.wait(WAIT)
        with pytest.raises(WsHandshakeError) as e:
            Controller(f"ws://127.0.0.1:{port}/#k=wrong", timeout=WAIT)
        assert e.value.status == 403 and "403 Forbidden" in str(e.value)
        big = wire.frame(1, "ToggleButton", True) + bytes(70_000)
        with Controller(f"ws://127.0.0.1:{port}/#k={token}", timeout=WAIT, origin=f"http://127.0.0.1:{port}") as c:
            c.click(1)
            c.send(wire.frame(2, "Joystick", [wire.F32(1.0), wire.F32(0.0)], wire.F32(1.0)), fragments=4)
            c.raw(big)
            c.raw(b"ping me")
            c.ping(b"from client")
            assert c.wait_pong(WAIT) == b"from client"
            replies = [r for _, r in zip(range(4), c.replies(WAIT))]
        assert [r.id for r in replies] == [1, 2, 3, 5]
        assert log[:3] == [wire.frame(1, "ClickButton"),
                           wire.frame(2, "Joystick", [wire.F32(1.0), wire.F32(0.0)], wire.F32(1.0)), big]
        assert wait_until(lambda: log[-1] == ("closed", 1000)), log[-1]
        assert c.close_code == 1000
    finally:
        stop.set()
        t.join(WAIT)
