"""velto_tools.serve_forever against the module: controllers one after another, a stop in
each of its two waits, Ctrl-C."""
import signal
import socket
import struct
import threading
import time

import pytest

import velto_protocol as vp
import ws_peer
from support import (WAIT, ServerProcess, free_port, needs_process_signals, thread_count,
                     threads_back, wait_until)
from velto_tools import serve_forever
from velto_tools.address import parse_address
from velto_tools.controller import Controller
from velto_tools.websocket import WsController
from velto_tools.wire import ConfirmResult, Reply, frame

needs_wait_disconnected = pytest.mark.skipif(
    not hasattr(vp.ComSocketServer, "wait_disconnected"),
    reason="this build's ComSocketServer has no wait_disconnected yet")


def listening(port):
    """True while something listens on 127.0.0.1:port (read from /proc, without connecting)."""
    with open("/proc/net/tcp") as f:
        rows = [line.split() for line in f.readlines()[1:]]
    return any(r[1] == "0100007F:%04X" % port and r[3] == "0A" for r in rows)


class Supervised:
    """serve_forever on its own thread with a server answering ClickButton 0 (or with the
    handler given); `events` records the callbacks, `outcome` how the loop ended."""

    def __init__(self, port=None, handler=None, on_connect=None, make=vp.ComSocketServer):
        self.threads = thread_count()
        self.port = free_port() if port is None else port
        self.address = f"127.0.0.1:{self.port}"
        self.server = make(self.address)
        self.server.on(0, "ClickButton", handler or (
            lambda w: self.server.callback(0, vp.ServerStatus.Idle, vp.ConfirmResult(True))))
        self.events = []
        self.outcome = None  # "returned", or what the loop raised
        self.stop = threading.Event()

        def connected():
            self.events.append("connect")
            if on_connect is not None:
                on_connect()

        def run():
            try:
                serve_forever(self.server, self.address, on_connect=connected,
                              on_disconnect=lambda: self.events.append("disconnect"), stop=self.stop)
                self.outcome = "returned"
            except BaseException as e:
                self.outcome = e

        self.thread = threading.Thread(target=run)
        self.thread.start()

    def listening_port(self):
        """The port open() listens on now (None while it has no listener)."""
        bound = self.server.bound_address
        port = int(bound.rsplit(":", 1)[1]) if bound else None
        return port if port and listening(port) else None

    def session_works(self, controller):
        controller.click(0)
        return next(controller.replies(WAIT), None) == Reply(0, "Idle", ConfirmResult(True))

    def finish(self):
        """Sets the stop; True once the loop has returned normally, with the server closed."""
        self.stop.set()
        self.thread.join(WAIT)
        return not self.thread.is_alive() and self.outcome == "returned"


@pytest.fixture
def supervised():
    s = Supervised()
    yield s
    assert s.finish(), s.outcome
    assert threads_back(s.threads)


@needs_wait_disconnected
def test_serves_again_after_a_polite_a_reset_and_a_scanning_client(supervised):
    s = supervised
    with Controller(s.address, timeout=WAIT) as c:  # polite: closes its side
        assert s.session_works(c)
    assert wait_until(lambda: s.events.count("disconnect") == 1)

    c = Controller(s.address, timeout=WAIT)  # killed mid-session: the peer sees a reset
    assert s.session_works(c)
    c._sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    c.close()
    assert wait_until(lambda: s.events.count("disconnect") == 2)

    assert wait_until(lambda: listening(s.port))  # a port scanner: connects, leaves at once
    socket.create_connection(("127.0.0.1", s.port), timeout=WAIT).close()
    assert wait_until(lambda: s.events.count("disconnect") == 3)

    with Controller(s.address, timeout=WAIT) as c:
        assert s.session_works(c)
        assert s.finish()
        assert list(c.replies(WAIT)) == [] and c.ended
    assert s.events == ["connect", "disconnect"] * 4


@needs_wait_disconnected
def test_stop_during_a_session_closes_it(supervised):
    s = supervised
    with Controller(s.address, timeout=WAIT) as c:
        assert s.session_works(c)
        assert s.finish()
        assert list(c.replies(WAIT)) == [] and c.ended
    assert s.events == ["connect", "disconnect"]
    assert not listening(s.port)


def test_stop_while_open_waits_wakes_it_without_a_session(supervised):
    s = supervised
    assert wait_until(lambda: listening(s.port))
    assert s.finish()
    assert s.events == []
    assert not listening(s.port)


# Seconds between a controller leaving and the stop: the loop is then in wait_disconnected(),
# close(), on_disconnect() or the next open(), and the first session's thread has not yet
# seen its stop, is seeing it, or has ended.
DELAYS = [0, 0.1, 0.25, 0.5, 0.75, 1.0, 1.25, 1.5]


@needs_wait_disconnected
@pytest.mark.parametrize("delay", DELAYS)
def test_stop_at_any_moment_after_a_controller_left(supervised, delay):
    s = supervised
    with Controller(s.address, timeout=WAIT) as c:
        assert s.session_works(c)
    time.sleep(delay)
    assert s.finish(), s.outcome
    assert s.events == ["connect", "disconnect"]
    assert not listening(s.port)


def test_port_zero_serves_on_the_bound_port_and_stops_while_open_waits():
    s = Supervised(port=0)
    try:
        assert wait_until(lambda: s.listening_port() is not None)
        first = s.listening_port()
        with Controller(f"127.0.0.1:{first}", timeout=WAIT) as c:
            assert s.session_works(c)
        assert wait_until(lambda: s.events == ["connect", "disconnect"])
        # Each open() binds port 0 afresh: the next one listens where the system says.
        assert wait_until(lambda: s.listening_port() is not None)
        second = s.listening_port()
    finally:
        assert s.finish(), s.outcome
    assert not listening(first) and not listening(second)
    assert threads_back(s.threads)


class Blocker:
    """A handler that answers every click with replies of 60 kB until one fails."""

    def __init__(self):
        self.server = None
        self.started = self.done = 0
        self.errors = []

    def __call__(self, widget):
        try:
            while True:
                self.started += 1
                self.server.callback(0, vp.ServerStatus.Busy, vp.ErrorResult("x" * 60_000))
                self.done += 1
        except RuntimeError as e:
            self.errors.append(str(e))

    def blocked(self):
        """No reply went out for 0.3 s while one is in progress."""
        before = self.done
        time.sleep(0.3)
        return self.started > self.done == before


def slow_reader(conn, stop):
    """Reads 1 kB every 20 ms until `stop` is set or the stream ends."""
    conn.settimeout(0.5)
    while not stop.is_set():
        try:
            if not conn.recv(1024):
                return
        except socket.timeout:
            continue
        except OSError:
            return
        time.sleep(0.02)


@needs_wait_disconnected
@pytest.mark.parametrize("reader", ["never reads", "reads slowly"])
def test_stop_while_a_handler_reply_is_blocked_ends_the_session(reader):
    """The loop's wait and close() go on while a handler's callback() waits on the network:
    the loop returns normally with the server closed, after on_disconnect()."""
    blocker = Blocker()
    s = Supervised(handler=blocker)
    blocker.server = s.server
    reading = threading.Event()
    try:
        conn = socket.socket()
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        assert wait_until(lambda: listening(s.port))
        conn.connect(("127.0.0.1", s.port))
        t = threading.Thread(target=slow_reader, args=(conn, reading))
        if reader == "reads slowly":
            t.start()
        conn.sendall(frame(0, "ClickButton"))
        assert wait_until(lambda: blocker.started)
        time.sleep(1.0)  # several of the loop's waits while replies go out, or do not
        if reader == "never reads":
            assert wait_until(blocker.blocked)
    finally:
        assert s.finish(), s.outcome
        reading.set()
    assert s.events == ["connect", "disconnect"]
    assert not listening(s.port)
    assert wait_until(lambda: blocker.errors)  # the reply in progress was ended
    if t.is_alive():
        t.join(WAIT)
    conn.close()
    assert threads_back(s.threads)


def test_on_disconnect_runs_when_on_connect_raises():
    def fail():
        raise ValueError("motors not ready")

    s = Supervised(on_connect=fail)
    with Controller(s.address, timeout=WAIT) as c:
        s.thread.join(WAIT)
        assert not s.thread.is_alive()
        assert list(c.replies(WAIT)) == [] and c.ended  # the server closed the session
    assert type(s.outcome) is ValueError and str(s.outcome) == "motors not ready"
    assert s.events == ["connect", "disconnect"]
    assert not listening(s.port)
    assert threads_back(s.threads)


CTRL_C_SERVER = """
from velto_tools import serve_forever
server = vp.ComSocketServer(f"127.0.0.1:{PORT}")
server.on(0, "ClickButton", lambda w: server.callback(0, vp.ServerStatus.Idle, vp.ConfirmResult(True)))
serve_forever(server, f"127.0.0.1:{PORT}", on_disconnect=lambda: print("disconnected", flush=True))
print("returned", flush=True)
"""


@pytest.mark.parametrize("in_session", [
    False, pytest.param(True, marks=needs_wait_disconnected)], ids=["open-waits", "in-session"])
@needs_process_signals
def test_ctrl_c_ends_the_loop(in_session):
    port = free_port()
    with ServerProcess(CTRL_C_SERVER, port) as proc:
        assert wait_until(lambda: listening(port))
        if in_session:
            with Controller(f"127.0.0.1:{port}", timeout=WAIT) as c:
                c.click(0)
                assert next(c.replies(WAIT), None) == Reply(0, "Idle", ConfirmResult(True))
                proc.proc.send_signal(signal.SIGINT)
                assert list(c.replies(WAIT)) == [] and c.ended
        else:
            proc.proc.send_signal(signal.SIGINT)
        rc, out, err = proc.finish()
    assert rc == 0, err
    ours = [line for line in out.splitlines() if line in ("disconnected", "returned")]
    assert ours == (["disconnected", "returned"] if in_session else ["returned"]), out


class FakeWebSocketServer:
    """Stands in for a WebSocketServer: open() listens on 127.0.0.1 and returns only once a
    client completed a WebSocket handshake with `token`; a connection that sends nothing, or
    a wrong key, is dropped and open() goes on waiting. close() reads what the client sent
    after its handshake."""

    def __init__(self, token):
        self.token = token
        self.bound_address = None
        self.dropped = []  # why each connection before the handshake was dropped
        self.requests = []  # the request line of the accepted handshake
        self.after = []  # the frames the client sent after it
        self.conn = None

    def open(self):
        listener = socket.create_server(("127.0.0.1", 0))
        listener.settimeout(WAIT)
        self.bound_address = f"127.0.0.1:{listener.getsockname()[1]}"
        try:
            while True:
                conn, _ = listener.accept()
                conn.settimeout(WAIT)
                try:
                    line, headers = ws_peer.read_request(conn)
                except EOFError:
                    self.dropped.append("no request")
                    conn.close()
                    continue
                if line != f"GET /ws?k={self.token} HTTP/1.1":
                    self.dropped.append(line)
                    conn.sendall(b"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n")
                    conn.close()
                    continue
                ws_peer.answer_101(conn, headers)
                self.requests.append(line)
                self.conn = conn
                return
        finally:
            self.bound_address = None
            listener.close()

    def serve(self):
        raise AssertionError("a stopped loop serves nobody")

    def close(self):
        if self.conn is not None:
            try:
                while True:
                    self.after.append(ws_peer.read_frame(self.conn))
            except EOFError:
                pass
            self.conn.close()


def test_stop_while_a_websocket_open_waits_wakes_it_with_a_handshake():
    token = "Q2hvb3NlIGEgbG9uZ-_0aA"
    server = FakeWebSocketServer(token)
    stop = threading.Event()
    events = []
    t = threading.Thread(target=lambda: events.append(serve_forever(
        server, "127.0.0.1:0", on_connect=lambda: events.append("connect"), stop=stop)))
    t.start()
    try:
        assert wait_until(lambda: server.bound_address is not None)
        # A bare connection ends no WebSocket open(): that is why the wake-up shakes hands.
        socket.create_connection(parse_address(server.bound_address), timeout=WAIT).close()
        assert wait_until(lambda: server.dropped == ["no request"])
    finally:
        stop.set()
        t.join(WAIT)
    assert not t.is_alive() and events == [None]
    assert server.requests == [f"GET /ws?k={token} HTTP/1.1"]
    # After the handshake, one masked close frame with 1000, then the end of the connection.
    assert [(op, mask is not None, data) for _, _, op, mask, data in server.after] == \
        [(0x8, True, struct.pack(">H", 1000))]


@needs_wait_disconnected
def test_websocket_sessions_one_after_another_and_a_stop_while_open_waits():
    s = Supervised(make=vp.VeltoPiServer.use_websocket)
    try:
        url = f"ws://127.0.0.1:{s.port}/#k={s.server.token}"
        for n in (1, 2):
            with Controller(url, timeout=WAIT) as c:
                assert isinstance(c, WsController) and s.session_works(c)
            assert c.close_code == 1000  # the server echoed the close
            assert wait_until(lambda: s.events.count("disconnect") == n)
        assert wait_until(lambda: listening(s.port))
    finally:
        assert s.finish(), s.outcome
    assert s.events == ["connect", "disconnect"] * 2
    assert not listening(s.port)
    assert threads_back(s.threads)
