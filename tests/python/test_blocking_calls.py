"""The interpreter lock and signals during the blocking calls: while open() waits for a
controller, a reply is blocked in its send, or wait_disconnected() waits, other threads run,
calls that need the object report it borrowed, signal handlers run and Ctrl-C ends the
wait."""
import signal
import socket
import threading
import time

import pytest

import velto_protocol as vp
from support import (REPLY_1, SAY, WAIT, Handler, Lines, ServerProcess, connect, free_port,
                     needs_process_signals, raised, recv_exactly, reply_1, wait_until)
from velto_tools.wire import ErrorResult, Reply, frame, read_replies

S = vp.ServerStatus


# ---- open() waits --------------------------------------------------------------------------


def test_other_threads_run_while_open_waits(h, watchdog):
    count = [0]
    stop = threading.Event()

    def counter():
        while not stop.is_set():
            count[0] += 1
            time.sleep(0.001)

    def late_client():
        wait_until(lambda: count[0] >= 200)
        h.clients.append(connect(h.port))

    threads = [threading.Thread(target=counter), threading.Thread(target=late_client)]
    for t in threads:
        t.start()
    try:
        started = time.monotonic()
        h.server.open()
        during = count[0]
        waited = time.monotonic() - started
    finally:
        stop.set()
        for t in threads:
            t.join(WAIT)
    assert during >= 200 and waited > 0.1
    assert h.clients


def test_methods_called_while_open_waits_report_already_borrowed(h, watchdog):
    """open() holds the object while it waits but lets other threads run."""
    outcomes = {}

    def busy():
        e = raised(lambda: h.server._get_action(1))
        return isinstance(e, RuntimeError) and str(e) == "Already borrowed"

    def other_thread():
        if not wait_until(busy):
            return
        calls = {
            "on": lambda: h.server.on(1, "ClickButton", Handler()),
            "on bad id": lambda: h.server.on("x", "ClickButton", Handler()),
            "on bad widget": lambda: h.server.on(1, 2, Handler()),
            "_get_action": lambda: h.server._get_action("ClickButton_1"),
            "callback": lambda: reply_1(h.server),
            "callback bad id": lambda: h.server.callback(999, 1, 2),
            "serve": h.server.serve,
            "close": h.server.close,
            "open": h.server.open,
        }
        for name, call in calls.items():
            e = raised(call)
            outcomes[name] = (type(e).__name__, str(e))
        h.clients.append(connect(h.port))

    t = threading.Thread(target=other_thread)
    t.start()
    try:
        h.server.open()
    finally:
        t.join(WAIT + 1)
    assert outcomes and all(v == ("RuntimeError", "Already borrowed") for v in outcomes.values()), outcomes
    assert h.server._get_action("ClickButton_1") is None  # nothing was registered
    reply_1(h.server)
    assert recv_exactly(h.clients[0], len(REPLY_1)) == REPLY_1


SIGNAL_PROGRAM = """
import signal
def usr1(signum, frame_):
    print("handler ran", flush=True)
signal.signal(signal.SIGUSR1, usr1)
server = vp.ComSocketServer(f"127.0.0.1:{PORT}")
print("opening", flush=True)
try:
    server.open()
    print("opened", flush=True)
except KeyboardInterrupt:
    print("interrupted", flush=True)
try:
    server.serve()
except RuntimeError as e:
    print("serve:", e, flush=True)
print("close:", server.close(), flush=True)
sys.stdin.readline()
print("opening again", flush=True)
server.open()
server.callback(1, vp.ServerStatus.Idle, vp.ConfirmResult(True))
print("replied", flush=True)
sys.stdin.readline()
server.close()
"""


def test_interrupt_during_open_ends_it_with_keyboard_interrupt():
    port = free_port()
    with ServerProcess(SIGNAL_PROGRAM, port) as program:
        lines = Lines(program.proc.stdout)
        assert lines.next() == "opening"
        time.sleep(0.3)
        program.proc.send_signal(signal.SIGUSR1)  # a handler that does not raise: open goes on
        assert lines.next() == "handler ran"
        program.proc.send_signal(signal.SIGINT)
        assert lines.next() == "interrupted"
        assert lines.next() == "serve: Bad Server state"
        assert lines.next() == "close: None"
        with pytest.raises(ConnectionRefusedError):  # the listener was closed
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
        program.proc.stdin.write(b"\n")
        program.proc.stdin.flush()
        assert lines.next() == "opening again"
        with connect(port) as conn:
            assert recv_exactly(conn, len(REPLY_1)) == REPLY_1
            assert lines.next() == "replied"
            program.proc.stdin.write(b"\n")
            program.proc.stdin.flush()
            rc, _, err = program.finish()
        assert rc == 0, err
        lines.thread.join(WAIT)


# ---- a reply blocked in its send -----------------------------------------------------------


def test_blocked_reply_releases_the_lock_and_every_reply_arrives_whole(h, watchdog):
    conn = h.accept(rcvbuf=4096)  # a client that does not read yet
    text = "x" * 200_000
    started, done, stop = [0], [0], threading.Event()

    def replier():
        while not stop.is_set():
            started[0] += 1
            h.server.callback(9, S.Busy, vp.ErrorResult(text))
            done[0] += 1

    t = threading.Thread(target=replier)
    t.start()
    try:
        # Blocked: a call in progress that makes no headway.
        def blocked():
            before = done[0]
            time.sleep(0.3)
            return started[0] > done[0] == before

        assert wait_until(blocked)
        # This thread runs although the other one is stuck in a send. A second reply on the
        # connection would land inside the first and is refused; what does not touch the
        # connection goes on.
        e = raised(lambda: reply_1(h.server))
        assert type(e) is RuntimeError and str(e) == "Already borrowed"
        handler = Handler()
        h.server.on(0, "ClickButton", handler)
        stop.set()
        data = bytearray()
        conn.settimeout(WAIT)
        while t.is_alive() or len(data) < done[0] * (len(text) + 30):
            chunk = conn.recv(1 << 20)
            assert chunk
            data += chunk
            if not t.is_alive() and len(read_replies(bytes(data))[0]) == done[0]:
                break
    finally:
        stop.set()
        t.join(WAIT)
    replies, rest = read_replies(bytes(data))
    assert rest == b"" and done[0] >= 2
    assert replies == [Reply(9, "Busy", ErrorResult(text))] * done[0]
    assert h.server._get_action("ClickButton_0") is handler


# ---- wait_disconnected() waits -------------------------------------------------------------


def test_other_threads_reply_and_close_while_one_waits(h):
    """The wait holds neither the interpreter lock nor the object: other threads run,
    callback() writes, and close() from another thread ends the wait."""
    conn = h.accept()
    calls = []
    h.server.on(0, "ClickButton", lambda w: calls.append(w))
    h.server.serve()
    results = []
    waiters = [threading.Thread(target=lambda: results.append(h.server.wait_disconnected(WAIT * 2)))
               for _ in range(2)]
    for t in waiters:
        t.start()
    try:
        time.sleep(0.2)
        reply_1(h.server)
        assert recv_exactly(conn, len(REPLY_1)) == REPLY_1
        conn.sendall(frame(0, "ClickButton"))
        assert wait_until(lambda: calls)
        assert results == []
        assert h.server.close() is None
    finally:
        for t in waiters:
            t.join(WAIT)
    assert results == [True, True]


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
