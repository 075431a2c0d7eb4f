"""The serving thread: one reader per connection (serve() again is refused while a thread
reads the connection the object holds), threads left on an older connection, and what it
makes of the bytes it reads: bursts, frames that can never complete, bytes that do not
decode."""
import gc
import platform
import socket
import time
import weakref

import pytest

import velto_protocol as vp
from support import (REPLY_1, SAY, WAIT, Gate, Lines, Recorder, ServerProcess, client_sees_eof, connect,
                     free_port, is_panic, nothing_more, raised, recv_exactly, reply_1, reset, wait_until,
                     written_to)
from velto_tools import wire
from velto_tools.wire import F32, frame

CPYTHON = platform.python_implementation() == "CPython"


def panics(message):
    """An action that raises the module's PanicException(message): the one way to end a serving
    thread that no close() reaches any more."""
    e = raised(lambda: vp.on(vp.ComSocketServer("x"))(lambda: None))
    assert is_panic(e)
    PanicException = type(e)

    def give_up(widget):
        raise PanicException(message)

    return give_up


# ---- one reader per connection -------------------------------------------------------------


def test_serving_open_leaves_the_thread_on_the_old_connection(h):
    rec = Recorder()
    old = h.accept_serving({(0, "ClickButton"): rec})
    new = h.accept()  # Serving -> Serving with the new connection in the stream
    new.sendall(frame(0, "ClickButton"))  # nobody reads the new connection
    old.sendall(frame(0, "ClickButton"))
    assert wait_until(lambda: rec.calls)
    time.sleep(0.7)
    assert len(rec.calls) == 1
    reply_1(h.server)
    assert recv_exactly(new, len(REPLY_1)) == REPLY_1
    assert nothing_more(old)
    assert h.server.close() is None
    # close() takes effect without help from the old connection's client.
    assert client_sees_eof(old, timeout=3)


def test_serving_serve_again_is_refused_and_a_new_connection_orphans_the_earlier_thread(h):
    rec = Recorder()
    conn = h.accept_serving({(0, "ClickButton"): rec, (1, "ClickButton"): panics("handler gave up")})
    # One reader per connection: the running thread keeps it, and its channel.
    e = raised(h.server.serve)
    assert type(e) is RuntimeError and str(e) == "Bad Server state"
    conn.sendall(frame(0, "ClickButton"))
    assert wait_until(lambda: rec.calls)
    # A new connection may be served while the earlier thread still reads the old one:
    # that thread is orphaned and says so on every pass after a read.
    new = h.accept()
    with written_to(1) as out, written_to(2) as err:
        h.serve()
        for _ in range(30):
            conn.sendall(frame(0, "ClickButton"))
            if wait_until(lambda: "Link broken" in out(), timeout=0.6):
                break
        assert "Link broken" in out()
        conn.sendall(frame(1, "ClickButton"))  # nothing else ends the orphan
        assert wait_until(lambda: "PanicException: handler gave up" in err()), err()
    n = len(rec.calls)  # before the send: the thread may handle the frame at once
    new.sendall(frame(0, "ClickButton"))  # the new connection's thread serves on
    assert wait_until(lambda: len(rec.calls) > n)
    reply_1(h.server)  # the object holds the new connection
    assert recv_exactly(new, len(REPLY_1)) == REPLY_1


def test_destroying_a_serving_server_leaves_an_orphan_that_keeps_dispatching(h, capfd):
    rec = Recorder()
    conn = h.accept_serving({(0, "ClickButton"): rec, (1, "ClickButton"): panics("orphan gave up")})
    server = weakref.ref(h.server) if not CPYTHON else None
    h.server = None
    for _ in range(3):
        gc.collect()
    if server is not None:
        assert server() is None
    conn.sendall(frame(0, "ClickButton"))
    assert wait_until(lambda: rec.calls)
    conn.sendall(frame(1, "ClickButton"))  # ends the orphan
    # Both descriptors of the connection are closed now: the object's and the thread's.
    assert client_sees_eof(conn)
    captured = capfd.readouterr()
    assert "Link broken" in captured.out and "orphan gave up" in captured.err


@pytest.mark.parametrize("when", ["at once", "after end of file", "inside a handler"])
def test_serve_while_the_connection_is_served_is_refused_and_changes_nothing(h, when, capfd):
    gate = Gate(h.server)
    conn = h.accept_serving({(0, "ClickButton"): gate})
    if when == "at once":
        e = raised(h.server.serve)
    elif when == "after end of file":
        conn.shutdown(socket.SHUT_WR)
        assert h.server.wait_disconnected(WAIT) is True
        e = raised(h.server.serve)
    else:
        conn.sendall(frame(0, "ClickButton"))
        assert gate.entered.wait(WAIT)
        e = gate.serve_inside
        gate.release.set()
    assert type(e) is RuntimeError and str(e) == "Bad Server state"
    # The first thread still serves and still takes the stop: it ends the connection.
    gate.release.set()
    assert h.server.close() is None
    conn.settimeout(WAIT)
    assert conn.recv(100) == b""
    assert "Link broken" not in capfd.readouterr().out


def test_serve_after_a_new_connection_or_a_reopen_works(h):
    first = h.accept()
    calls = []
    h.server.on(0, "ClickButton", lambda w: calls.append(1))
    h.server.serve()
    second = h.accept()
    assert h.server.serve() is None  # a new connection: its own reader
    second.sendall(frame(0, "ClickButton"))
    assert wait_until(lambda: len(calls) == 1)
    assert h.server.close() is None
    reset(first)  # a failed read ends the first thread, which no close() reaches any more
    h.clients.remove(first)
    third = h.accept()
    assert h.server.serve() is None  # after close() and open()
    third.sendall(frame(0, "ClickButton"))
    assert wait_until(lambda: len(calls) == 2)


def test_large_frames_all_arrive_when_a_program_calls_serve_twice(h):
    """Two readers on one connection would each take part of a large frame."""
    conn = h.accept()
    got = []
    h.server.on(2, "ToggleButton", lambda w: got.append(w.value))
    h.server.serve()
    second = raised(h.server.serve)
    # Frames of about 1.5 KB: a map whose first key is an unknown, long string.
    frames = [wire.pack({"k" * 1500: None, "id": 2, "data": {"ToggleButton": [i % 2 == 0]}})
              for i in range(10)]
    for f in frames:
        conn.sendall(f)
        time.sleep(0.05)
    assert wait_until(lambda: len(got) == 10), got
    assert got == [i % 2 == 0 for i in range(10)]
    assert type(second) is RuntimeError and str(second) == "Bad Server state"


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


# ---- a client faster than a pass -----------------------------------------------------------


def test_a_burst_is_served_in_a_few_passes(h, capfd):
    """1500 joystick frames (about 43 KB) sent at once are all handled within a few passes,
    in order, each pass reading 1024 bytes at a time."""
    conn = h.accept()
    seen = []
    h.server.on(3, "Joystick", lambda w: seen.append(w.intensity))
    h.server.serve()
    frames = [frame(3, "Joystick", [F32(0.0), F32(0.0)], F32(i / 2048)) for i in range(1500)]
    conn.sendall(b"".join(frames))
    assert wait_until(lambda: len(seen) == 1500, timeout=WAIT)
    assert seen == [i / 2048 for i in range(1500)]
    out = capfd.readouterr().out
    sizes = [int(l.rsplit(" ", 1)[1]) for l in out.splitlines() if l.startswith("Received size : ")]
    assert sum(sizes) == sum(len(f) for f in frames) and max(sizes) == 1024
