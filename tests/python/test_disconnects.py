"""The end of a connection: wait_disconnected() and what ends its wait, controllers that
leave, reset or half-close, and controllers served one after another on the same object."""
import os
import re
import socket
import time

import pytest

from support import (REPLY_1, SAY, WAIT, Lines, Recorder, ServerProcess, client_sees_eof, connect, free_port,
                     open_descriptors, raised, recv_exactly, reply_1, reset, threads_back, wait_until,
                     written_to)
from velto_tools.controller import Controller
from velto_tools.wire import frame


OS_ERROR = re.compile(r"^\S.* \(os error \d+\)$")


# ---- wait_disconnected ---------------------------------------------------------------------


def test_wait_disconnected_before_any_serve_is_a_state_error_even_when_connected(h):
    h.accept()
    e = raised(lambda: h.server.wait_disconnected(0))
    assert type(e) is RuntimeError and str(e) == "Bad Server state"


ENDINGS = {
    "client closes": lambda conn, server: conn.close(),
    "client half-closes": lambda conn, server: conn.shutdown(socket.SHUT_WR),
    "client resets": lambda conn, server: reset(conn),
    "close()": lambda conn, server: server.close(),
}


@pytest.mark.parametrize("ending", list(ENDINGS))
def test_wait_disconnected_sees_the_connection_end(h, ending):
    conn = h.accept()
    h.server.serve()
    assert h.server.wait_disconnected(0) is False
    assert h.server.wait_disconnected(0.3) is False
    ENDINGS[ending](conn, h.server)
    assert h.server.wait_disconnected(WAIT) is True
    # It stays ended, for every later look, whatever the timeout's form.
    for timeout in (0, 0.0, 1, 2.5, True, None):
        assert h.server.wait_disconnected(timeout) is True
    assert h.server.wait_disconnected(timeout=0) is True


def test_wait_disconnected_follows_the_latest_serve(h):
    first = h.accept()
    h.server.serve()
    second = h.accept()  # the first thread keeps reading the first connection
    assert h.server.wait_disconnected(0) is False
    h.server.serve()
    reset(first)  # a failed read ends the orphaned first thread
    assert h.server.wait_disconnected(0.8) is False  # the first connection is not the latest
    second.close()
    assert h.server.wait_disconnected(WAIT) is True


# ---- clients that go away ------------------------------------------------------------------


def reply_until_it_fails(server, tries=50):
    """A reply to a gone peer can be accepted once before the system reports the peer gone."""
    for _ in range(tries):
        e = raised(lambda: reply_1(server))
        if e is not None:
            return e
        time.sleep(0.02)
    return None


def test_client_that_disconnects(h):
    conn = h.accept()
    h.serve()
    conn.close()
    h.clients.remove(conn)
    e = reply_until_it_fails(h.server)
    assert type(e) is RuntimeError and OS_ERROR.match(str(e)), e
    e = raised(lambda: reply_1(h.server))  # the stream is kept: the same kind of failure
    assert type(e) is RuntimeError and OS_ERROR.match(str(e)), e
    assert h.server.close() is None  # the thread reading zeros still takes the stop
    assert threads_back(h.threads)
    new = h.accept()
    reply_1(h.server)
    assert recv_exactly(new, len(REPLY_1)) == REPLY_1


def test_client_that_resets_the_connection(h):
    before = open_descriptors()
    conn = h.accept()
    with written_to(2) as err:
        h.serve()
        reset(conn)
        h.clients.remove(conn)
        assert wait_until(lambda: "Failed to read frame" in err()), err()
        assert re.search(r"Failed to read frame : .+ \(os error \d+\)", err()), err()
    assert h.server.wait_disconnected(WAIT) is True
    # The thread ended on its own: close() lets go of the connection and of what served it,
    # and the object is Created again.
    assert h.server.close() is None
    assert h.server.close() is None
    # Nothing new is left open. A descriptor of an earlier test may have been closed meanwhile
    # by the collector (PyPy collects late), so the set may also have shrunk.
    assert open_descriptors() <= before
    assert str(raised(lambda: reply_1(h.server))) == "Bad Server state"
    assert h.server.wait_disconnected(0) is True
    new = h.accept()
    reply_1(h.server)
    assert recv_exactly(new, len(REPLY_1)) == REPLY_1
    h.serve()


def test_client_that_half_closes_still_gets_replies(h):
    rec = Recorder()
    conn = h.accept_serving({(0, "ClickButton"): rec})
    conn.sendall(frame(0, "ClickButton"))
    conn.shutdown(socket.SHUT_WR)
    assert wait_until(lambda: rec.calls)
    reply_1(h.server)
    assert recv_exactly(conn, len(REPLY_1)) == REPLY_1
    assert h.server.close() is None
    assert client_sees_eof(conn)


# ---- three controllers in a row ------------------------------------------------------------


RECONNECT_PROGRAM = SAY + """
server = vp.ComSocketServer(f"127.0.0.1:{PORT}")
def click(w):
    server.callback(0, vp.ServerStatus.Idle, vp.ConfirmResult(True))
server.on(0, "ClickButton", click)
for session in range(4):
    server.open()
    server.serve()
    say(f"session {session}")
    say(f"ended {server.wait_disconnected()}")
    say(f"close {server.close()}")
"""


def test_three_controller_sessions_in_a_row_then_a_fourth():
    """Graceful leave, reset, connect-and-leave: each is seen by wait_disconnected, closed,
    and the next controller is served on the same object."""
    port = free_port()
    address = f"127.0.0.1:{port}"

    def click_and_reply(controller):
        controller.click(0)
        replies = list(controller.replies(timeout=WAIT))[:1]
        assert [(r.id, r.status) for r in replies] == [(0, "Idle")]

    with ServerProcess(RECONNECT_PROGRAM, port) as program:
        lines = Lines(program.proc.stdout)
        with Controller(address, timeout=WAIT) as polite:  # leaves politely
            lines.wait_for("session 0")
            click_and_reply(polite)
        lines.wait_for("ended True")
        lines.wait_for("close None")
        rude = Controller(address, timeout=WAIT)  # killed mid-session: a reset
        lines.wait_for("session 1")
        click_and_reply(rude)
        sock = socket.socket(fileno=os.dup(rude.fileno()))
        rude.close()
        reset(sock)
        lines.wait_for("ended True")
        lines.wait_for("close None")
        connect(port).close()  # a port scanner: connects and leaves at once
        lines.wait_for("session 2")
        lines.wait_for("ended True")
        lines.wait_for("close None")
        with Controller(address, timeout=WAIT) as last:
            lines.wait_for("session 3")
            click_and_reply(last)
        lines.wait_for("ended True")
        lines.wait_for("close None")
        rc, _, err = program.finish()
        assert rc == 0, err
    # The reset is reported once, as a failed read; nothing else is.
    assert err.count("velto_protocol:") == 1, err
    assert "Failed to read frame : Connection reset by peer (os error 104)" in err
    assert "shutdown" not in err
