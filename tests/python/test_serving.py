"""Serving a controller that comes and goes: wait_disconnected, one reader per connection,
close() after the thread ended on its own, replies cut short, bytes that cannot become a
frame, a client that sends faster than a pass, and registrations that can never run."""
import math
import os
import platform
import signal
import socket
import struct
import threading
import time
import warnings

import pytest

import velto_protocol as vp
from support import (WAIT, Lines, ServerProcess, connect, free_port, needs_process_signals,
                     open_with_client, raised, recv_exactly, thread_count, threads_back,
                     wait_until, written_to)
from velto_tools import wire
from velto_tools.controller import Controller
from velto_tools.wire import F32, frame

S = vp.ServerStatus
REPLY_1 = wire.reply(1, "Idle", wire.ConfirmResult(True))
CUT_TEXT = "an earlier reply was cut short; open a new connection"


def reply_1(server):
    server.callback(1, S.Idle, vp.ConfirmResult(True))


def reset(conn):
    """Closes `conn` with a reset instead of an orderly end."""
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    conn.close()


class Server:
    """One server on a free port in this process, with its clients."""

    def __init__(self):
        self.port = free_port()
        self.address = f"127.0.0.1:{self.port}"
        self.server = vp.ComSocketServer(self.address)
        self.clients = []
        self.threads = thread_count()  # before any serving thread of this test

    def accept(self):
        """open() in this thread while a client thread connects; returns the client."""
        client = open_with_client(self.server, self.port)
        self.clients.append(client)
        return client

    def finish(self):
        for c in self.clients:
            c.close()
        assert self.server.close() is None  # whatever state the test left it in
        assert threads_back(self.threads)


@pytest.fixture
def s():
    server = Server()
    yield server
    server.finish()


# Prepended to the programs: writes one line of the program's own with one write(2), so that
# the serving thread's progress lines never land inside it.
SAY = """
import os
def say(text):
    os.write(1, (text + "\\n").encode())
"""


# ---- wait_disconnected: its surface ------------------------------------------------------


@pytest.mark.skipif(platform.python_implementation() != "CPython",
                    reason="PyPy shows no signature text of extension methods")
def test_wait_disconnected_documents_its_signature_only():
    method = vp.ComSocketServer.wait_disconnected
    assert method.__text_signature__ == "($self, timeout=None)"
    assert not method.__doc__
    assert len(vp.__all__) == 8


# (name, call, exception type, exact message): conversions come before the state error.
ARGUMENT_CASES = [
    ("two positional", lambda s: s.wait_disconnected(1, 2), TypeError,
     "ComSocketServer.wait_disconnected() takes from 0 to 1 positional arguments but 2 were given"),
    ("unknown keyword", lambda s: s.wait_disconnected(seconds=1), TypeError,
     "ComSocketServer.wait_disconnected() got an unexpected keyword argument 'seconds'"),
    ("twice", lambda s: s.wait_disconnected(1, timeout=1), TypeError,
     "ComSocketServer.wait_disconnected() got multiple values for argument 'timeout'"),
    ("str", lambda s: s.wait_disconnected("1"), TypeError,
     "argument 'timeout': 'str' object cannot be converted to 'PyFloat'"),
    ("negative int", lambda s: s.wait_disconnected(-1), ValueError, "timeout must be a non-negative number"),
    ("negative float", lambda s: s.wait_disconnected(timeout=-0.001), ValueError,
     "timeout must be a non-negative number"),
    ("nan", lambda s: s.wait_disconnected(math.nan), ValueError, "timeout must be a non-negative number"),
    ("never served", lambda s: s.wait_disconnected(), RuntimeError, "Bad Server state"),
    ("never served, zero", lambda s: s.wait_disconnected(0), RuntimeError, "Bad Server state"),
    ("never served, keyword none", lambda s: s.wait_disconnected(timeout=None), RuntimeError,
     "Bad Server state"),
]


@pytest.mark.parametrize("name, call, kind, message", ARGUMENT_CASES, ids=[c[0] for c in ARGUMENT_CASES])
def test_wait_disconnected_errors(name, call, kind, message):
    server = vp.ComSocketServer("127.0.0.1:1")
    e = raised(lambda: call(server))
    assert type(e) is kind, e
    assert str(e) == message
    assert server.close() is None  # the object was given back


def test_wait_disconnected_before_any_serve_is_a_state_error_even_when_connected(s):
    s.accept()
    e = raised(lambda: s.server.wait_disconnected(0))
    assert type(e) is RuntimeError and str(e) == "Bad Server state"


# ---- wait_disconnected: what ends the wait ------------------------------------------------

ENDINGS = {
    "client closes": lambda conn, server: conn.close(),
    "client half-closes": lambda conn, server: conn.shutdown(socket.SHUT_WR),
    "client resets": lambda conn, server: reset(conn),
    "close()": lambda conn, server: server.close(),
}


@pytest.mark.parametrize("ending", list(ENDINGS))
def test_wait_disconnected_sees_the_connection_end(s, ending):
    conn = s.accept()
    s.server.serve()
    assert s.server.wait_disconnected(0) is False
    assert s.server.wait_disconnected(0.3) is False
    ENDINGS[ending](conn, s.server)
    assert s.server.wait_disconnected(WAIT) is True
    # It stays ended, for every later look, whatever the timeout's form.
    for timeout in (0, 0.0, 1, 2.5, True, None):
        assert s.server.wait_disconnected(timeout) is True
    assert s.server.wait_disconnected(timeout=0) is True


def test_other_threads_reply_and_close_while_one_waits(s):
    """The wait holds neither the interpreter lock nor the object: other threads run,
    callback() writes, and close() from another thread ends the wait."""
    conn = s.accept()
    calls = []
    s.server.on(0, "ClickButton", lambda w: calls.append(w))
    s.server.serve()
    results = []
    waiters = [threading.Thread(target=lambda: results.append(s.server.wait_disconnected(WAIT * 2)))
               for _ in range(2)]
    for t in waiters:
        t.start()
    try:
        time.sleep(0.2)
        reply_1(s.server)
        assert recv_exactly(conn, len(REPLY_1)) == REPLY_1
        conn.sendall(frame(0, "ClickButton"))
        assert wait_until(lambda: calls)
        assert results == []
        assert s.server.close() is None
    finally:
        for t in waiters:
            t.join(WAIT)
    assert results == [True, True]


def test_wait_disconnected_follows_the_latest_serve(s):
    first = s.accept()
    s.server.serve()
    second = s.accept()  # the first thread keeps reading the first connection
    assert s.server.wait_disconnected(0) is False
    s.server.serve()
    reset(first)  # a failed read ends the orphaned first thread
    assert s.server.wait_disconnected(0.8) is False  # the first connection is not the latest
    second.close()
    assert s.server.wait_disconnected(WAIT) is True


SIGNAL_WAIT_PROGRAM = SAY + """
import signal
def usr1(signum, frame_):
    say("handler ran")
signal.signal(signal.SIGUSR1, usr1)
server = vp.ComSocketServer(f"127.0.0.1:{PORT}")
server.open()
server.serve()
say("waiting")
say(f"timed out: {server.wait_disconnected(1.5)}")
say("waiting")
try:
    server.wait_disconnected()
except KeyboardInterrupt:
    say("interrupted")
say(f"after: {server.wait_disconnected(0)}")
server.close()
say(f"after close: {server.wait_disconnected()}")
"""


@needs_process_signals
def test_signals_during_the_wait():
    """A handler that returns lets the wait go on for the time left; Ctrl-C ends it with
    KeyboardInterrupt."""
    port = free_port()
    with ServerProcess(SIGNAL_WAIT_PROGRAM, port) as program:
        lines = Lines(program.proc.stdout)
        with connect(port):
            lines.wait_for("waiting")
            time.sleep(0.3)
            program.proc.send_signal(signal.SIGUSR1)
            lines.wait_for("handler ran")
            assert lines.wait_for("timed out:", part=True) == "timed out: False"
            lines.wait_for("waiting")
            time.sleep(0.3)
            program.proc.send_signal(signal.SIGINT)
            lines.wait_for("interrupted")
            assert lines.wait_for("after:", part=True) == "after: False"
            assert lines.wait_for("after close:", part=True) == "after close: True"
            rc, _, err = program.finish()
        assert rc == 0, err


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


# ---- one reader per connection -----------------------------------------------------------


class Gate:
    """A handler that blocks the serving thread until released and records what serve()
    did when called from inside it."""

    def __init__(self, server):
        self.server = server
        self.entered = threading.Event()
        self.release = threading.Event()
        self.serve_inside = None

    def __call__(self, widget):
        self.serve_inside = raised(self.server.serve)
        self.entered.set()
        self.release.wait(WAIT)


@pytest.mark.parametrize("when", ["at once", "after end of file", "inside a handler"])
def test_serve_while_the_connection_is_served_is_refused_and_changes_nothing(s, when, capfd):
    conn = s.accept()
    gate = Gate(s.server)
    s.server.on(0, "ClickButton", gate)
    s.server.serve()
    if when == "at once":
        e = raised(s.server.serve)
    elif when == "after end of file":
        conn.shutdown(socket.SHUT_WR)
        assert s.server.wait_disconnected(WAIT) is True
        e = raised(s.server.serve)
    else:
        conn.sendall(frame(0, "ClickButton"))
        assert gate.entered.wait(WAIT)
        e = gate.serve_inside
        gate.release.set()
    assert type(e) is RuntimeError and str(e) == "Bad Server state"
    # The first thread still serves and still takes the stop: it ends the connection.
    gate.release.set()
    assert s.server.close() is None
    conn.settimeout(WAIT)
    assert conn.recv(100) == b""
    assert "Link broken" not in capfd.readouterr().out


def test_serve_after_a_new_connection_or_a_reopen_works(s):
    first = s.accept()
    calls = []
    s.server.on(0, "ClickButton", lambda w: calls.append(1))
    s.server.serve()
    second = s.accept()
    assert s.server.serve() is None  # a new connection: its own reader
    second.sendall(frame(0, "ClickButton"))
    assert wait_until(lambda: len(calls) == 1)
    assert s.server.close() is None
    reset(first)  # a failed read ends the first thread, which no close() reaches any more
    s.clients.remove(first)
    third = s.accept()
    assert s.server.serve() is None  # after close() and open()
    third.sendall(frame(0, "ClickButton"))
    assert wait_until(lambda: len(calls) == 2)


def test_large_frames_all_arrive_when_a_program_calls_serve_twice(s):
    """Two readers on one connection would each take part of a large frame."""
    conn = s.accept()
    got = []
    s.server.on(2, "ToggleButton", lambda w: got.append(w.value))
    s.server.serve()
    second = raised(s.server.serve)
    # Frames of about 1.5 KB: a map whose first key is an unknown, long string.
    frames = [wire.pack({"k" * 1500: None, "id": 2, "data": {"ToggleButton": [i % 2 == 0]}})
              for i in range(10)]
    for f in frames:
        conn.sendall(f)
        time.sleep(0.05)
    assert wait_until(lambda: len(got) == 10), got
    assert got == [i % 2 == 0 for i in range(10)]
    assert type(second) is RuntimeError and str(second) == "Bad Server state"


# ---- close() once the thread ended on its own ---------------------------------------------


def open_descriptors():
    """What each open descriptor refers to ("socket:[1234]"), by number."""
    found = set()
    for fd in os.listdir("/proc/self/fd"):
        try:
            found.add((fd, os.readlink(f"/proc/self/fd/{fd}")))
        except OSError:
            pass  # the directory's own descriptor, already closed
    return found


@pytest.mark.parametrize("reopen", [False, True], ids=["close", "open-then-close"])
def test_close_after_the_thread_ended_on_its_own_lets_go_of_everything(s, reopen):
    before = open_descriptors()
    conn = s.accept()
    with written_to(2) as err:
        s.server.serve()
        reset(conn)
        s.clients.remove(conn)
        assert s.server.wait_disconnected(WAIT) is True
        assert wait_until(lambda: "Failed to read frame" in err()), err()
    time.sleep(0.2)  # the thread has reported; let it release what it holds
    if reopen:
        new = s.accept()  # the stop sender is still there, its thread gone
        s.clients.remove(new)
    assert s.server.close() is None
    assert s.server.close() is None  # Created again
    if reopen:
        new.settimeout(WAIT)
        assert new.recv(10) == b""  # whichever connection it held is closed
        new.close()
    # Nothing opened for the connection stays open: the object's descriptor, the thread's
    # wake-up duplicate and the wait descriptor are closed.
    assert wait_until(lambda: not open_descriptors() - before), open_descriptors() - before
    assert str(raised(s.server.serve)) == "Bad Server state"
    assert str(raised(lambda: reply_1(s.server))) == "Bad Server state"
    assert s.server.wait_disconnected(0) is True
    # And it serves again.
    again = s.accept()
    s.server.serve()
    reply_1(s.server)
    assert recv_exactly(again, len(REPLY_1)) == REPLY_1


def test_close_of_a_connection_the_peer_already_reset_is_quiet(s):
    conn = s.accept()
    reset(conn)
    s.clients.remove(conn)
    # A reply fails once the reset has arrived: the peer is gone.
    assert wait_until(lambda: raised(lambda: reply_1(s.server)) is not None)
    assert s.server.close() is None
    assert str(raised(lambda: reply_1(s.server))) == "Bad Server state"


def test_close_after_a_close_that_stopped_the_thread_changes_nothing(s):
    s.accept()
    s.server.serve()
    assert s.server.close() is None
    assert s.server.close() is None  # the thread has not seen the stop yet
    assert threads_back(s.threads)
    assert s.server.close() is None  # it has ended


# ---- close() in every state a program reaches ---------------------------------------------

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

    def __init__(self, s):
        self.s = s
        self.connected = False
        self.thread_on_it = False
        self.served = False
        self.session = []  # the clients whose connection the next close() must end

    def step(self, name):
        server = self.s.server
        if name == "open":
            self.session.append(self.s.accept())
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
        server = self.s.server
        assert server.close() is None
        for conn in self.session:
            if conn.fileno() != -1:  # a controller that left sees nothing more
                assert client_sees_eof(conn)
                conn.close()
            self.s.clients.remove(conn)
        self.session = []
        self.connected = self.thread_on_it = False
        assert str(raised(lambda: reply_1(server))) == "Bad Server state"
        assert str(raised(server.serve)) == "Bad Server state"
        if self.served:
            assert server.wait_disconnected(0) is True
        assert server.close() is None


def client_sees_eof(conn):
    conn.settimeout(WAIT)
    try:
        while conn.recv(4096):
            pass
    except ConnectionResetError:
        pass
    return True


@pytest.mark.parametrize("settle", [False, True], ids=["at-once", "thread-ended"])
@pytest.mark.parametrize("second", SECOND)
@pytest.mark.parametrize("first", FIRST, ids=[f or "nothing" for f in FIRST])
def test_close_in_every_state(s, first, second, settle):
    """close() returns None and ends every connection of the session, whatever came before:
    also once the thread of an earlier session has ended (`settle`), the state where a
    close() after a new open() used to find the earlier session's stop channel closed."""
    before = open_descriptors()
    model = Model(s)
    for step in first.split():
        model.step(step)
    model.close()
    if settle:
        assert threads_back(s.threads)
    for step in second.split():
        model.step(step)
    model.close()
    # Nothing of either session is left: threads, descriptors; the object serves again.
    assert threads_back(s.threads)
    assert wait_until(lambda: not open_descriptors() - before), open_descriptors() - before
    again = s.accept()
    reply_1(s.server)
    assert recv_exactly(again, len(REPLY_1)) == REPLY_1


# ---- replies cut short ---------------------------------------------------------------------

CUT_PROGRAM = SAY + """
import signal
server = vp.ComSocketServer(f"127.0.0.1:{PORT}")
server.open()
say("connected")
try:
    server.callback(9, vp.ServerStatus.Busy, vp.ErrorResult("x" * 4_000_000))
    say("sent whole")
except KeyboardInterrupt:
    say("interrupted")
def attempt(call):
    try:
        call()
        say("ok")
    except BaseException as e:
        say(f"{type(e).__name__}: {e}")
attempt(lambda: server.callback(1, vp.ServerStatus.Idle, vp.ConfirmResult(True)))
attempt(lambda: server.callback(256, vp.ServerStatus.Idle, vp.ConfirmResult(True)))
attempt(lambda: server.callback(1, 1, vp.ConfirmResult(True)))
attempt(lambda: server.callback(1, vp.ServerStatus.Idle, vp.ConfirmResult(True)))
say("reopening")
server.open()
attempt(lambda: server.callback(1, vp.ServerStatus.Idle, vp.ConfirmResult(True)))
server.close()
"""


def test_a_reply_cut_short_poisons_nothing():
    """Ctrl-C in the middle of a large reply: the client sees the stream end after the part
    that went out, never a later reply glued to it; later replies on that connection are
    refused after their own argument errors; a new open() starts clean."""
    port = free_port()
    with ServerProcess(CUT_PROGRAM, port) as program:
        lines = Lines(program.proc.stdout)
        conn = socket.socket()
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        deadline = time.monotonic() + WAIT
        while True:
            try:
                conn.connect(("127.0.0.1", port))
                break
            except ConnectionRefusedError:
                assert time.monotonic() < deadline
                time.sleep(0.02)
        lines.wait_for("connected")
        time.sleep(0.5)  # the reply fills the buffers and blocks
        program.proc.send_signal(signal.SIGINT)
        lines.wait_for("interrupted")
        assert lines.wait_for("RuntimeError", part=True) == "RuntimeError: " + CUT_TEXT
        assert lines.next() == "OverflowError: out of range integral type conversion attempted"
        assert lines.next().startswith("TypeError: argument 'status'")
        assert lines.next() == "RuntimeError: " + CUT_TEXT
        lines.wait_for("reopening")
        # The client reads what went out, then the end of the stream: a part of the reply.
        conn.settimeout(WAIT)
        data = bytearray()
        while True:
            chunk = conn.recv(1 << 20)
            if not chunk:
                break
            data += chunk
        conn.close()
        full = wire.reply(9, "Busy", wire.ErrorResult("x" * 4_000_000))
        assert 0 < len(data) < len(full)
        assert bytes(data) == full[: len(data)]  # nothing glued after the part that went out
        with connect(port) as fresh:
            assert recv_exactly(fresh, len(REPLY_1)) == REPLY_1
            lines.wait_for("ok")
            rc, _, err = program.finish()
        assert rc == 0, err


# ---- bytes that cannot become a frame ------------------------------------------------------

DROP_PROGRAM = SAY + """
server = vp.ComSocketServer(f"127.0.0.1:{PORT}")
server.on(1, "ToggleButton", lambda w: say("toggle"))
server.open()
server.serve()
say("serving")
sys.stdin.readline()
server.close()
time.sleep(0.8)
"""


@pytest.mark.parametrize(
    "bad, extras, message",
    [
        (bytes.fromhex("92 01 db ff ff ff ff"), [], "frame exceeds 65536 bytes"),
        (bytes.fromhex("df 00 01 00 00"), [], "frame exceeds 65536 bytes"),
        (bytes.fromhex("92 01 81 c6 00 01 00 00"), [], "frame exceeds 65536 bytes"),
        # Two further passes bring a byte each of the first float, which stays incomplete.
        (bytes.fromhex("92 01 81 a8") + b"Joystick" + bytes.fromhex("92 92 ca 3f"), [b"\x00", b"\x00"],
         "frame still incomplete after 2 further passes that brought more bytes"),
    ],
    ids=["string-of-4GiB", "map-of-65536-pairs", "binary-of-64KiB", "stalled"],
)
def test_bytes_that_cannot_become_a_frame_are_dropped_at_once(bad, extras, message):
    """The frames after them are served; the report says how many bytes went."""
    port = free_port()
    with ServerProcess(DROP_PROGRAM, port) as program:
        lines = Lines(program.proc.stdout)
        with connect(port) as conn:
            lines.wait_for("serving")
            conn.sendall(bad)
            lines.wait_for(f"Received size : {len(bad)}")
            count = 16
            for extra in extras:  # the pauses keep each to a pass of its own
                time.sleep(0.6)
                conn.sendall(extra)
                lines.wait_for(f"Received size : {len(extra)}")
            time.sleep(0.6)
            for _ in range(count):
                conn.sendall(frame(1, "ToggleButton", True))
                time.sleep(0.05)
            for _ in range(count):
                lines.wait_for("toggle")
            program.proc.stdin.write(b"\n")
            program.proc.stdin.flush()
            rc, _, err = program.finish()
        assert rc == 0, err
    dropped = len(bad) + sum(map(len, extras))
    assert err == f"velto_protocol: dropped {dropped} bytes that do not decode: {message}\n"


def test_undecodable_bytes_are_reported_as_dropped_not_as_a_failure():
    port = free_port()
    with ServerProcess(DROP_PROGRAM, port) as program:
        lines = Lines(program.proc.stdout)
        with connect(port) as conn:
            lines.wait_for("serving")
            conn.sendall(b"\xc1\xc1\xc1")
            lines.wait_for("Received size : 3")
            time.sleep(0.6)
            conn.sendall(frame(1, "ToggleButton", True))
            lines.wait_for("toggle")
            program.proc.stdin.write(b"\n")
            program.proc.stdin.flush()
            rc, _, err = program.finish()
        assert rc == 0, err
    assert err == "velto_protocol: dropped 3 bytes that do not decode: wrong msgpack marker Reserved\n"


# ---- a client faster than a pass ------------------------------------------------------------


def test_a_burst_is_served_in_a_few_passes(s, capfd):
    """1500 joystick frames (about 43 KB) sent at once are all handled within a few passes,
    in order, each pass reading 1024 bytes at a time."""
    conn = s.accept()
    seen = []
    s.server.on(3, "Joystick", lambda w: seen.append(w.intensity))
    s.server.serve()
    frames = [frame(3, "Joystick", [F32(0.0), F32(0.0)], F32(i / 2048)) for i in range(1500)]
    conn.sendall(b"".join(frames))
    assert wait_until(lambda: len(seen) == 1500, timeout=WAIT)
    assert seen == [i / 2048 for i in range(1500)]
    out = capfd.readouterr().out
    sizes = [int(l.rsplit(" ", 1)[1]) for l in out.splitlines() if l.startswith("Received size : ")]
    assert sum(sizes) == sum(len(f) for f in frames) and max(sizes) == 1024


# ---- registrations that can never run -------------------------------------------------------


@pytest.mark.parametrize(
    "widget, action, messages",
    [
        ("Togglebutton", print, ["no widget kind 'Togglebutton' (did you mean 'ToggleButton'?); frames never carry it"]),
        ("joystick", print, ["no widget kind 'joystick' (did you mean 'Joystick'?); frames never carry it"]),
        ("ClikButton x", print, ["no widget kind 'ClikButton' (did you mean 'ClickButton'?); frames never carry it"]),
        ("", print, ["no widget kind '' (did you mean 'Joystick'?); frames never carry it"]),
        (" Joystick ", print, []),
        ("Joystick pad", print, []),
        ("PressButton", 42, ["the action for PressButton_3 is not callable ('int' object)"]),
        ("Pressbutton", None, ["no widget kind 'Pressbutton' (did you mean 'PressButton'?); frames never carry it",
                               "the action for Pressbutton_3 is not callable ('NoneType' object)"]),
    ],
    ids=["case", "lower", "first-word", "empty", "padded", "two-words", "not-callable", "both"],
)
def test_registration_warns_about_what_can_never_run(widget, action, messages):
    server = vp.ComSocketServer("127.0.0.1:1")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert server.on(3, widget, action) is None
    assert [(w.category, str(w.message)) for w in caught] == [(RuntimeWarning, m) for m in messages]
    assert all(w.filename == __file__ for w in caught)  # the warning names the caller's line
    key = (widget.split() or [""])[0] + "_3"
    assert server._get_action(key) is action  # registered all the same


def test_registration_warning_as_error_stores_nothing():
    server = vp.ComSocketServer("127.0.0.1:1")
    kept = print
    with pytest.warns(RuntimeWarning, match="did you mean 'ToggleButton'"):
        server.on(3, "Togglebutton", kept)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning, match="did you mean 'ToggleButton'"):
            server.on(3, "Togglebutton", len)
        with pytest.raises(RuntimeWarning, match="not callable"):
            server.on(4, "ToggleButton", 1)
    assert server._get_action("Togglebutton_3") is kept
    assert server._get_action("ToggleButton_4") is None


def test_decorated_name_with_a_typo_warns():
    server = vp.ComSocketServer("127.0.0.1:1")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")

        @vp.on(server)
        def Joystik_3(w):
            pass

    assert [str(w.message) for w in caught] == [
        "no widget kind 'Joystik' (did you mean 'Joystick'?); frames never carry it"]
    assert server._get_action("Joystik_3") is not None
