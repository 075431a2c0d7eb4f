"""velto_tools.serve_forever against the module: controllers one after another, a stop in
each of its two waits, Ctrl-C."""
import signal
import socket
import struct
import threading

import pytest

import velto_protocol as vp
from support import WAIT, ServerProcess, free_port, needs_process_signals, wait_until
from velto_tools import serve_forever
from velto_tools.controller import Controller
from velto_tools.wire import ConfirmResult, Reply

needs_wait_disconnected = pytest.mark.skipif(
    not hasattr(vp.ComSocketServer, "wait_disconnected"),
    reason="this build's ComSocketServer has no wait_disconnected yet")


def listening(port):
    """True while something listens on 127.0.0.1:port (read from /proc, without connecting)."""
    with open("/proc/net/tcp") as f:
        rows = [line.split() for line in f.readlines()[1:]]
    return any(r[1] == "0100007F:%04X" % port and r[3] == "0A" for r in rows)


class Supervised:
    """serve_forever on its own thread with a server answering ClickButton 0; `events`
    records the callbacks."""

    def __init__(self):
        self.port = free_port()
        self.address = f"127.0.0.1:{self.port}"
        self.server = vp.ComSocketServer(self.address)
        self.server.on(0, "ClickButton",
                       lambda w: self.server.callback(0, vp.ServerStatus.Idle, vp.ConfirmResult(True)))
        self.events = []
        self.stop = threading.Event()
        self.thread = threading.Thread(target=serve_forever, args=(self.server, self.address), kwargs=dict(
            on_connect=lambda: self.events.append("connect"),
            on_disconnect=lambda: self.events.append("disconnect"), stop=self.stop))
        self.thread.start()

    def session_works(self, controller):
        controller.click(0)
        return next(controller.replies(WAIT), None) == Reply(0, "Idle", ConfirmResult(True))

    def finish(self):
        self.stop.set()
        self.thread.join(WAIT)
        return not self.thread.is_alive()


@pytest.fixture
def supervised():
    s = Supervised()
    yield s
    assert s.finish()


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
