"""open(), serve() and close() from every state a program reaches: what each transition
does to the connection, the serving thread and the next call, and that close() lets go of
everything (threads, descriptors) whatever came before, also once the thread ended on its
own."""
import socket
import threading
import time

import pytest

import velto_protocol as vp
from support import (REPLY_1, WAIT, Gate, Recorder, client_sees_eof, open_descriptors, raised, recv_exactly,
                     reply_1, reset, threads_back, wait_until, written_to)
from velto_tools.wire import frame


def test_created_close_changes_nothing():
    server = vp.ComSocketServer("127.0.0.1:1")
    assert server.close() is None
    assert server.close() is None
    assert str(raised(server.serve)) == "Bad Server state"
    assert str(raised(lambda: reply_1(server))) == "Bad Server state"


@pytest.mark.parametrize("given, host", [("127.0.0.1:0", "127.0.0.1"), ("[::1]:0", "[::1]")], ids=["v4", "v6"])
def test_bound_address_tells_the_port_while_open_waits_and_after(given, host):
    """A program that asked for port 0 learns the port from bound_address, already while
    open() waits (a client can connect with it); `address` keeps what was given. Both are
    read-only."""
    server = vp.ComSocketServer(given)
    assert server.address == given and server.bound_address is None
    clients = []

    def dial():
        assert wait_until(lambda: server.bound_address is not None)
        bound = server.bound_address
        clients.append((bound, socket.create_connection((bound.rsplit(":", 1)[0].strip("[]"),
                                                         int(bound.rsplit(":", 1)[1])), timeout=WAIT)))

    t = threading.Thread(target=dial)
    t.start()
    try:
        server.open()
    finally:
        t.join(WAIT)
    bound, conn = clients[0]
    assert bound == f"{host}:{conn.getpeername()[1]}" and not bound.endswith(":0")
    assert (server.address, server.bound_address) == (given, bound)
    reply_1(server)
    assert recv_exactly(conn, len(REPLY_1)) == REPLY_1
    assert server.close() is None
    assert server.bound_address == bound  # where the latest open() listened
    for name in ("address", "bound_address"):
        with pytest.raises(AttributeError):
            setattr(server, name, "127.0.0.1:1")
    conn.close()


def test_connected_close_shuts_the_connection_and_returns_to_created(h):
    conn = h.accept()
    assert h.server.close() is None
    assert client_sees_eof(conn)
    assert str(raised(lambda: reply_1(h.server))) == "Bad Server state"
    assert str(raised(h.server.serve)) == "Bad Server state"
    assert h.server.close() is None  # Created again: nothing happens
    again = h.accept()
    reply_1(h.server)
    assert recv_exactly(again, len(REPLY_1)) == REPLY_1


def test_connected_open_replaces_the_connection(h):
    first = h.accept()
    second = h.accept()
    assert client_sees_eof(first)
    reply_1(h.server)
    assert recv_exactly(second, len(REPLY_1)) == REPLY_1
    rec = Recorder()
    h.server.on(0, "ClickButton", rec)
    h.serve()
    second.sendall(frame(0, "ClickButton"))
    assert wait_until(lambda: rec.calls)
    assert type(rec.calls[0]).__name__ == "WidgetRegistry_ClickButton"


def test_serving_close_stops_the_thread_and_later_closes_change_nothing(h):
    gate = Gate()
    conn = h.accept_serving({(0, "ClickButton"): gate})
    conn.sendall(frame(0, "ClickButton"))
    assert gate.entered.wait(WAIT)
    # The thread is inside the handler: it has not seen the stop yet.
    assert h.server.close() is None
    assert h.server.close() is None
    assert str(raised(lambda: reply_1(h.server))) == "Bad Server state"
    assert str(raised(h.server.serve)) == "Bad Server state"
    gate.release.set()
    assert client_sees_eof(conn)  # the thread shut the connection down
    assert threads_back(h.threads)
    for _ in range(2):  # nothing is left of the session for a close() to trip over
        assert h.server.close() is None
    assert str(raised(h.server.serve)) == "Bad Server state"


def test_reopen_after_the_thread_ended_and_close_ends_the_new_connection(h):
    rec = Recorder()
    old = h.accept_serving({(1, "ToggleButton"): rec})
    h.server.close()
    assert client_sees_eof(old)
    assert threads_back(h.threads)  # the old thread has ended
    new = h.accept()
    reply_1(h.server)
    assert recv_exactly(new, len(REPLY_1)) == REPLY_1
    assert h.server.close() is None
    assert client_sees_eof(new)
    assert str(raised(lambda: reply_1(h.server))) == "Bad Server state"
    again = h.accept()
    h.serve()  # a thread on the newest connection
    again.sendall(frame(1, "ToggleButton", True))
    assert wait_until(lambda: rec.calls)
    assert rec.calls[0].value is True
    assert h.server.close() is None
    assert client_sees_eof(again)


def test_reopened_close_before_the_old_thread_ended_is_stopped(h):
    gate = Gate()
    old = h.accept_serving({(0, "ClickButton"): gate})
    old.sendall(frame(0, "ClickButton"))
    assert gate.entered.wait(WAIT)
    h.server.close()
    new = h.accept()  # Reopened while the old thread is still in the handler
    assert h.server.close() is None  # -> Stopped
    assert client_sees_eof(new)
    assert str(raised(lambda: reply_1(h.server))) == "Bad Server state"
    gate.release.set()
    assert client_sees_eof(old)


# ---- close() once the thread ended on its own ----------------------------------------------


@pytest.mark.parametrize("reopen", [False, True], ids=["close", "open-then-close"])
def test_close_after_the_thread_ended_on_its_own_lets_go_of_everything(h, reopen):
    before = open_descriptors()
    conn = h.accept()
    with written_to(2) as err:
        h.server.serve()
        reset(conn)
        h.clients.remove(conn)
        assert h.server.wait_disconnected(WAIT) is True
        assert wait_until(lambda: "Failed to read frame" in err()), err()
    time.sleep(0.2)  # the thread has reported; let it release what it holds
    if reopen:
        new = h.accept()  # the stop sender is still there, its thread gone
        h.clients.remove(new)
    assert h.server.close() is None
    assert h.server.close() is None  # Created again
    if reopen:
        new.settimeout(WAIT)
        assert new.recv(10) == b""  # whichever connection it held is closed
        new.close()
    # Nothing opened for the connection stays open: the object's descriptor, the thread's
    # wake-up duplicate and the wait descriptor are closed.
    assert wait_until(lambda: not open_descriptors() - before), open_descriptors() - before
    assert str(raised(h.server.serve)) == "Bad Server state"
    assert str(raised(lambda: reply_1(h.server))) == "Bad Server state"
    assert h.server.wait_disconnected(0) is True
    # And it serves again.
    again = h.accept()
    h.server.serve()
    reply_1(h.server)
    assert recv_exactly(again, len(REPLY_1)) == REPLY_1


def test_close_of_a_connection_the_peer_already_reset_is_quiet(h):
    conn = h.accept()
    reset(conn)
    h.clients.remove(conn)
    # A reply fails once the reset has arrived: the peer is gone.
    assert wait_until(lambda: raised(lambda: reply_1(h.server)) is not None)
    assert h.server.close() is None
    assert str(raised(lambda: reply_1(h.server))) == "Bad Server state"


def test_close_after_a_close_that_stopped_the_thread_changes_nothing(h):
    h.accept()
    h.server.serve()
    assert h.server.close() is None
    assert h.server.close() is None  # the thread has not seen the stop yet
    assert threads_back(h.threads)
    assert h.server.close() is None  # it has ended


# ---- close() in every state a program reaches ----------------------------------------------


# What a program does before a close(): "open" (a controller connects and open() takes it),
# "serve", "leave" (the latest controller closes its side), "wait" (wait_disconnected sees
# that). The first part runs on a new object; the second after the first part's close().
FIRST = ["", "open", "open open", "open leave", "open serve", "open serve serve", "open serve leave",
         "open serve leave wait", "open serve open"]


SECOND = ["open", "open serve", "open serve leave wait"]


class Model:
    """Runs the steps on a server and says what each must do: serve() is refused without a
    connection and while a thread of ours reads the one the object holds (also after its
    controller left: the thread reads end of file until it is stopped)."""

    def __init__(self, h):
        self.h = h
        self.connected = False
        self.thread_on_it = False
        self.served = False
        self.session = []  # the clients whose connection the next close() must end

    def step(self, name):
        server = self.h.server
        if name == "open":
            self.session.append(self.h.accept())
            self.connected, self.thread_on_it = True, False
        elif name == "serve":
            if self.connected and not self.thread_on_it:
                assert server.serve() is None
                self.thread_on_it = self.served = True
            else:
                assert str(raised(server.serve)) == "Bad Server state"
        elif name == "leave":
            self.session[-1].close()
        elif name == "wait":
            assert server.wait_disconnected(WAIT) is True

    def close(self):
        server = self.h.server
        assert server.close() is None
        for conn in self.session:
            if conn.fileno() != -1:  # a controller that left sees nothing more
                assert client_sees_eof(conn)
                conn.close()
            self.h.clients.remove(conn)
        self.session = []
        self.connected = self.thread_on_it = False
        assert str(raised(lambda: reply_1(server))) == "Bad Server state"
        assert str(raised(server.serve)) == "Bad Server state"
        if self.served:
            assert server.wait_disconnected(0) is True
        assert server.close() is None


@pytest.mark.parametrize("settle", [False, True], ids=["at-once", "thread-ended"])
@pytest.mark.parametrize("second", SECOND)
@pytest.mark.parametrize("first", FIRST, ids=[f or "nothing" for f in FIRST])
def test_close_in_every_state(h, first, second, settle):
    """close() returns None and ends every connection of the session, whatever came before:
    also once the thread of an earlier session has ended (`settle`), the state where a
    close() after a new open() used to find the earlier session's stop channel closed."""
    before = open_descriptors()
    model = Model(h)
    for step in first.split():
        model.step(step)
    model.close()
    if settle:
        assert threads_back(h.threads)
    for step in second.split():
        model.step(step)
    model.close()
    # Nothing of either session is left: threads, descriptors; the object serves again.
    assert threads_back(h.threads)
    assert wait_until(lambda: not open_descriptors() - before), open_descriptors() - before
    again = h.accept()
    reply_1(h.server)
    assert recv_exactly(again, len(REPLY_1)) == REPLY_1
