"""WebSocketServer against the real module: the way in (the page, its requests and the
handshake checks), serving (each kind of message a controller can send), replies, the end of
a connection from either side, and the bounds (idle and slow connections, a peer that does
not read)."""
import os
import signal
import socket
import struct
import time

import pytest

import support
import velto_protocol as vp
from support import WAIT, Output, Recorder, WsHarness, wait_until
from velto_tools import wire
from velto_tools.address import parse_ws_address
from velto_tools.websocket import WsController, WsHandshakeError, close_payload, handshake, raw_ws_frame

ROOT = support.ROOT
PAGE = open(os.path.join(ROOT, "src", "web", "controller.html"), "rb").read()
CLICK_1 = wire.frame(1, "ClickButton")
TOKEN = "k" * 22


@pytest.fixture
def ws():
    harness = WsHarness()
    yield harness
    harness.finish()


def answer_of(port, request, timeout=WAIT):
    """Sends `request` (bytes) on a new connection and reads until the server closes it:
    (status, headers {lower name: value}, body)."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(request)
        data = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    headers = dict((k.strip().lower(), v.strip()) for k, _, v in (x.partition(":") for x in lines[1:]))
    return int(lines[0].split()[1]), headers, body


def get(path, *extra):
    return ("\r\n".join([f"GET {path} HTTP/1.1", "Host: 127.0.0.1", *extra]) + "\r\n\r\n").encode()


def upgrade(path, *extra, version="13", key="dGhlIHNhbXBsZSBub25jZQ=="):
    return get(path, "Upgrade: websocket", "Connection: keep-alive, Upgrade",
               f"Sec-WebSocket-Version: {version}", f"Sec-WebSocket-Key: {key}", *extra)


# ---- the way in --------------------------------------------------------------------------

# (what is asked, status, refusal reported or None): every request answered while open()
# waits; the controller that comes after them is let in all the same.
DOOR = [
    ("page", get("/"), 200, None),
    ("favicon", get("/favicon.ico"), 204, None),
    ("check right key", get(f"/check?k={TOKEN}"), 204, None),
    ("check wrong key", get("/check?k=" + "x" * 22), 403, "wrong key"),
    ("widgets wrong key", get("/widgets?k=" + "x" * 22), 403, "wrong key"),
    ("not GET", b"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n\r\n", 405, None),
    ("unknown path", get("/nowhere"), 404, None),
    ("bad request line", b"GET\r\n\r\n", 400, None),
    ("head over 8 KiB", get("/", "X-Pad: " + "a" * 9000), 431, None),
    ("ws wrong key", upgrade("/ws?k=" + "x" * 22), 403, "wrong key"),
    ("ws foreign origin", upgrade(f"/ws?k={TOKEN}", "Origin: http://evil.example"), 403, "foreign origin"),
    ("ws version 8", upgrade(f"/ws?k={TOKEN}", version="8"), 426, "unsupported WebSocket version"),
    ("ws key not 16 bytes", upgrade(f"/ws?k={TOKEN}", key="c2hvcnQ="), 400, "bad WebSocket key"),
    ("ws without upgrade", get(f"/ws?k={TOKEN}"), 426, "not a WebSocket upgrade"),
]


@pytest.mark.parametrize("name, request_bytes, status, refusal", DOOR, ids=[r[0] for r in DOOR])
def test_door_answers_each_request_and_still_lets_the_controller_in(capfd, name, request_bytes, status,
                                                                    refusal):
    h = WsHarness(token=TOKEN)
    out = Output(capfd)
    recorder = Recorder()
    h.server.on(1, "ClickButton", recorder)
    try:
        opening = h.opening()
        got, headers, body = answer_of(h.port, request_bytes)
        assert got == status
        assert headers.get("connection", "").lower() == "close"
        if status != 204:  # which has no body and no Content-Length
            assert int(headers["content-length"]) == len(body)
        if name == "page":
            assert body == PAGE
            assert headers["content-type"] == "text/html; charset=utf-8"
            assert headers["cache-control"] == "no-store"
            assert TOKEN.encode() not in body
        if refusal:
            out.wait_err(f"velto_protocol: refused a controller: {refusal}\n")
        assert opening.is_alive(), "a refused request ended open()"
        client = WsController(h.server.url, timeout=WAIT)
        h.clients.append(client)
        opening.join(WAIT)
        assert not opening.is_alive() and not opening.failed
        h.server.serve()
        client.click(1)
        assert wait_until(lambda: len(recorder.calls) == 1)
        if not refusal:
            assert "velto_protocol: refused" not in out.read().err
    finally:
        h.finish()


def test_widgets_lists_the_registrations_of_a_known_kind_in_id_order(ws):
    ws.server.on(3, "Joystick", Recorder())
    ws.server.on(1, "ClickButton", Recorder())
    ws.server.on(1, "PressButton", Recorder())
    with pytest.warns(RuntimeWarning):
        ws.server.on(2, "Nonsense", Recorder())
    opening = ws.opening()
    status, headers, body = answer_of(ws.port, get(f"/widgets?k={ws.server.token}"))
    assert status == 200
    assert headers["content-type"].startswith("application/json")
    assert body == b'[["ClickButton",1],["PressButton",1],["Joystick",3]]'
    ws.clients.append(WsController(ws.server.url, timeout=WAIT))
    opening.join(WAIT)


def test_refusals_are_reported_at_most_once_a_second(ws, capfd):
    out = Output(capfd)
    opening = ws.opening()
    for _ in range(3):
        with pytest.raises(WsHandshakeError):
            WsController(ws.server.url.replace(ws.server.token, "x" * 22), timeout=WAIT)
    out.wait_err("refused a controller: wrong key")
    assert out.read().err.count("refused a controller") == 1
    ws.clients.append(WsController(ws.server.url, timeout=WAIT))
    opening.join(WAIT)


def test_open_prints_the_page_address_and_the_url_follows_the_bound_port(ws, capfd):
    out = Output(capfd)
    assert ws.server.url == f"http://127.0.0.1:0/#k={ws.server.token}"
    ws.controller()
    assert ws.server.url == f"http://127.0.0.1:{ws.port}/#k={ws.server.token}"
    assert ws.server.urls() == [ws.server.url]
    out.wait_out(f"velto_protocol: controller page at {ws.server.url}\n")


def test_an_unspecified_host_gives_a_reachable_address_and_loopback_among_the_urls():
    server = vp.VeltoPiServer.use_websocket("0.0.0.0:8080")
    urls = server.urls()
    assert server.url == urls[0] and "0.0.0.0" not in server.url
    assert f"http://127.0.0.1:8080/#k={server.token}" in urls


@pytest.mark.parametrize("token, error", [
    ("a" * 16, None), ("Az09_-" * 21 + "xy", None),
    ("a" * 15, ValueError), ("a" * 129, ValueError), ("a" * 15 + "=", ValueError), ("ä" * 16, ValueError),
    (b"a" * 16, TypeError), (16, TypeError),
])
def test_token_is_checked(token, error):
    if error is None:
        assert vp.VeltoPiServer.use_websocket("127.0.0.1:0", token=token).token == token
        assert vp.WebSocketServer("127.0.0.1:0", token=token).token == token
    else:
        with pytest.raises(error):
            vp.VeltoPiServer.use_websocket("127.0.0.1:0", token=token)


def test_default_tokens_are_fresh_url_safe_keys_and_token_is_keyword_only():
    a, b = (vp.VeltoPiServer.use_websocket("127.0.0.1:0").token for _ in range(2))
    assert a != b and len(a) == 22
    assert set(a) <= set("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_")
    with pytest.raises(TypeError):
        vp.VeltoPiServer.use_websocket("127.0.0.1:0", "a" * 16)


def test_idle_connections_do_not_keep_the_controller_out_and_the_oldest_is_dropped(ws):
    opening = ws.opening()
    idle = [socket.create_connection(("127.0.0.1", ws.port), timeout=WAIT) for _ in range(9)]
    try:
        assert idle[0].recv(1) == b""  # the ninth pushed the first out
        ws.clients.append(WsController(ws.server.url, timeout=WAIT))
        opening.join(WAIT)
        assert not opening.is_alive()
        for s in idle[1:]:  # the rest were closed with the listener
            assert s.recv(1) == b""
    finally:
        for s in idle:
            s.close()


def test_a_head_that_never_ends_is_dropped_after_its_deadline(ws):
    opening = ws.opening()
    with socket.create_connection(("127.0.0.1", ws.port), timeout=WAIT) as slow:
        slow.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n")
        assert slow.recv(1) == b""  # closed unanswered (the deadline is 5 s, the wait 10 s)
    ws.clients.append(WsController(ws.server.url, timeout=WAIT))
    opening.join(WAIT)


@support.needs_process_signals
def test_ctrl_c_ends_a_waiting_open():
    with support.ServerProcess("""
        s = vp.VeltoPiServer.use_websocket("127.0.0.1:0")
        try:
            s.open()
        except KeyboardInterrupt:
            print("interrupted", flush=True)
    """, 0) as p:
        lines = support.Lines(p.proc.stdout)
        lines.wait_for("velto_protocol: controller page at", part=True)
        p.proc.send_signal(signal.SIGINT)
        lines.wait_for("interrupted")
        assert p.proc.wait(WAIT) == 0


# ---- serving -----------------------------------------------------------------------------

def reply_bytes(ws, recorder_id=1):
    """A raw connection let in by open(), served, whose click 1 is answered by the handler
    with a ConfirmResult: the bytes of the reply's WebSocket message as they arrive."""
    def answer(w):
        ws.server.callback(recorder_id, vp.ServerStatus.Idle, vp.ConfirmResult(True))
    opening = ws.opening()
    sock = socket.create_connection(("127.0.0.1", ws.port), timeout=WAIT)
    address = parse_ws_address(ws.server.url)
    early = handshake(sock, address, time.monotonic() + WAIT)
    opening.join(WAIT)
    ws.server.on(1, "ClickButton", answer)
    ws.server.serve()
    sock.sendall(raw_ws_frame(2, CLICK_1))
    data = early
    while len(data) < 2 or len(data) < 2 + (data[1] & 0x7F):
        chunk = sock.recv(4096)
        assert chunk, data
        data += chunk
    sock.close()
    return data


def test_a_reply_is_one_unmasked_binary_message_holding_the_result_frame(ws):
    data = reply_bytes(ws)
    expected = wire.reply(1, "Idle", wire.ConfirmResult(True))
    assert data == bytes([0x82, len(expected)]) + expected  # FIN, binary, no mask, short length


def test_frames_reach_handlers_and_replies_come_back_until_close_sends_1001(ws, capfd):
    out = Output(capfd)
    got = []

    def joystick(w):
        got.append((w.delta.x, w.delta.y, w.intensity))
        ws.server.callback(3, vp.ServerStatus.Busy, vp.ErrorResult("slow"))
    client = ws.serving({(3, "Joystick"): joystick})
    for i in range(5):
        client.joystick(3, 0.5, -0.25, float(i))
    replies = []
    assert wait_until(lambda: replies.extend(client.replies(timeout=0.2)) or len(replies) == 5)
    assert got == [(0.5, -0.25, float(i)) for i in range(5)]
    assert {(r.id, r.status, r.result) for r in replies} == {(3, "Busy", wire.ErrorResult("slow"))}
    assert ws.server.close() is None
    assert wait_until(lambda: list(client.replies(timeout=0.2)) == [] and client.close_code is not None)
    assert client.close_code == 1001
    assert out.wait_out("Terminating.\n").count("done\n") == 5
    with pytest.raises(RuntimeError, match="Bad Server state"):
        ws.server.callback(3, vp.ServerStatus.Idle, vp.ConfirmResult(True))


def send_fragmented_click(c):
    c.send(CLICK_1, fragments=3)


def send_ping_between_fragments(c):
    c.raw_ws_frame(2, CLICK_1[:2], fin=False)
    c.ping(b"mid")
    c.raw_ws_frame(0, CLICK_1[2:])


# (what the controller sends, the report, whether a pong with the payload comes back): each
# is followed by a click, which must still be dispatched.
GOES_ON = [
    ("one frame", lambda c: c.raw(CLICK_1), None, None),
    ("fragmented frame", send_fragmented_click, None, None),
    ("not a frame", lambda c: c.raw(b"\xc1"), "dropped 1 bytes that do not decode: ", None),
    ("empty message", lambda c: c.raw(b""), "dropped 0 bytes that do not decode: ", None),
    ("bytes after the frame", lambda c: c.raw(CLICK_1 + b"\x00\x01"),
     f"dropped {len(CLICK_1) + 2} bytes that do not decode: message holds 2 bytes after its frame", None),
    ("over 64 KiB", lambda c: c.raw(b"\x00" * 70000),
     "dropped 70000 bytes that do not decode: frame exceeds 65536 bytes", None),
    ("text message", lambda c: c.send(b"hello", text=True),
     "velto_protocol: dropped 5 bytes: text message (frames are binary messages)", None),
    ("ping", lambda c: c.ping(b"are you there"), None, b"are you there"),
    ("ping between fragments", send_ping_between_fragments, None, b"mid"),
    ("pong", lambda c: c.raw_ws_frame(0xA, b"unasked"), None, None),
]


@pytest.mark.parametrize("name, send, report, pong", GOES_ON, ids=[r[0] for r in GOES_ON])
def test_serving_goes_on_after(ws, capfd, name, send, report, pong):
    out = Output(capfd)
    recorder = Recorder()
    client = ws.serving({(1, "ClickButton"): recorder})
    send(client)
    if pong is not None:
        assert client.wait_pong(WAIT) == pong
    client.raw(CLICK_1)
    expected = 2 if name in ("one frame", "fragmented frame", "ping between fragments") else 1
    assert wait_until(lambda: len(recorder.calls) == expected), recorder.calls
    err = out.read().err
    if report:
        assert report in err
    else:
        assert "velto_protocol" not in err
    assert not ws.server.wait_disconnected(0)


# (what the controller sends, the close code it gets back, the report or None): the
# connection ends; wait_disconnected() returns.
ENDS = [
    ("close without code", lambda c: c.raw_ws_frame(8, b""), 1000, None),
    ("close 1000", lambda c: c.raw_ws_frame(8, close_payload(1000, "bye")), 1000, None),
    ("close 4000", lambda c: c.raw_ws_frame(8, close_payload(4000)), 4000, None),
    ("rsv bit", lambda c: c.raw_ws_frame(2, CLICK_1, rsv=4), 1002, "(1002)"),
    ("unknown opcode", lambda c: c.raw_ws_frame(3, b""), 1002, "(1002)"),
    ("unmasked frame", lambda c: c.raw_ws_frame(2, CLICK_1, mask=False), 1002, "(1002)"),
    ("control over 125", lambda c: c.raw_ws_frame(9, b"p" * 126), 1002, "(1002)"),
    ("fragmented control", lambda c: c.raw_ws_frame(9, b"p", fin=False), 1002, "(1002)"),
    ("continuation first", lambda c: c.raw_ws_frame(0, CLICK_1), 1002, "(1002)"),
    ("data frame inside a message",
     lambda c: (c.raw_ws_frame(2, b"\x92", fin=False), c.raw_ws_frame(2, b"\x01")), 1002, "(1002)"),
    ("non-minimal length", lambda c: c.raw_ws_frame(2, CLICK_1, length_form=16), 1002, "(1002)"),
    ("close payload of 1 byte", lambda c: c.raw_ws_frame(8, b"\x03"), 1002, "(1002)"),
    ("close code 1005", lambda c: c.raw_ws_frame(8, struct.pack(">H", 1005)), 1002, "(1002)"),
    ("close code 2000", lambda c: c.raw_ws_frame(8, struct.pack(">H", 2000)), 1002, "(1002)"),
    ("bad UTF-8 text", lambda c: c.raw_ws_frame(1, b"ok\xff"), 1007, "(1007)"),
    ("bad UTF-8 across fragments",
     lambda c: (c.raw_ws_frame(1, b"\xe2\x82", fin=False), c.raw_ws_frame(0, b"\x41")), 1007, "(1007)"),
    ("bad UTF-8 close reason", lambda c: c.raw_ws_frame(8, struct.pack(">H", 1000) + b"\xc3"), 1007, "(1007)"),
]


@pytest.mark.parametrize("name, send, code, report", ENDS, ids=[r[0] for r in ENDS])
def test_the_connection_ends_with_a_close_code(ws, capfd, name, send, code, report):
    out = Output(capfd)
    recorder = Recorder()
    client = ws.serving({(1, "ClickButton"): recorder})
    send(client)
    assert ws.server.wait_disconnected(WAIT)
    assert list(client.replies(timeout=WAIT)) == []  # reads up to the server's close
    assert client.close_code == code
    err = out.read().err
    if report:
        line = next(x for x in err.splitlines() if "closed the WebSocket connection" in x)
        assert line.startswith("velto_protocol: closed the WebSocket connection: ") and line.endswith(report)
    else:
        assert "velto_protocol" not in err
    assert recorder.calls == []
    with pytest.raises(RuntimeError, match="Bad Server state"):
        ws.server.serve()  # the connection is over; only a new open() serves again
    ws.controller()  # and the next controller is let in


def test_descriptors_and_threads_come_back_after_a_session(capfd):
    before = support.open_descriptors()
    h = WsHarness()
    client = h.serving({(1, "ClickButton"): Recorder()})
    client.click(1)
    client.close()
    assert h.server.wait_disconnected(WAIT)
    h.finish()
    del h
    assert wait_until(lambda: support.open_descriptors() <= before), support.open_descriptors() - before


def test_a_peer_that_never_reads_its_pongs_ends_within_the_send_timeout(ws):
    opening = ws.opening()
    sock = socket.socket()
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    sock.settimeout(WAIT)
    sock.connect(("127.0.0.1", ws.port))
    handshake(sock, parse_ws_address(ws.server.url), time.monotonic() + WAIT)
    opening.join(WAIT)
    ws.server.serve()
    ping = raw_ws_frame(9, b"p" * 125) * 64
    sock.settimeout(0.2)
    end = time.monotonic() + 3 * WAIT
    try:
        while not ws.server.wait_disconnected(0) and time.monotonic() < end:
            try:
                sock.sendall(ping)
            except socket.timeout:
                pass
            except OSError:
                break
        assert ws.server.wait_disconnected(WAIT), "the serving thread is still blocked in a pong"
    finally:
        sock.close()
