"""ComSocketServer in this process: replies, argument errors, every state and transition,
registrations, the interpreter lock during blocking calls, several replying threads and
clients that go away. Each test owns one server on a free port and ends its threads."""
import contextlib
import faulthandler
import gc
import os
import platform
import re
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
import weakref

import pytest

import velto_protocol as vp
from support import (VELTO_FRAME, WAIT, Lines, ServerProcess, connect, free_port, is_panic, open_with_client,
                     raised, recv_exactly, thread_count, threads_back, wait_until, written_to)
from velto_tools import wire
from velto_tools.wire import F32, ErrorResult, Reply, frame, read_replies

CPYTHON = platform.python_implementation() == "CPython"
S = vp.ServerStatus

# Three reference replies: (id, status, result, bytes on the wire).
EXAMPLES = [
    (1, S.Idle, lambda: vp.ConfirmResult(True),
     "93 01 a4 49 64 6c 65 81 ad 43 6f 6e 66 69 72 6d 52 65 73 75 6c 74 91 c3"),
    (2, S.Error, lambda: vp.ErrorResult("bad input"),
     "93 02 a5 45 72 72 6f 72 81 ab 45 72 72 6f 72 52 65 73 75 6c 74 91 a9 62 61 64 20 69 6e 70 75 74"),
    (200, S.NotInit, lambda: vp.ConfirmResult(False),
     "93 cc c8 a7 4e 6f 74 49 6e 69 74 81 ad 43 6f 6e 66 69 72 6d 52 65 73 75 6c 74 91 c2"),
]
REPLY_1 = bytes.fromhex(EXAMPLES[0][3])
REPLY_2 = bytes.fromhex(EXAMPLES[1][3])
OS_ERROR = re.compile(r"^\S.* \(os error \d+\)$")


def reply_1(server):
    server.callback(1, S.Idle, vp.ConfirmResult(True))


def client_sees_eof(conn, timeout=WAIT):
    conn.settimeout(timeout)
    try:
        return conn.recv(1) == b""
    except ConnectionResetError:
        return True


def nothing_more(conn, wait=0.3):
    conn.settimeout(wait)
    try:
        conn.recv(1)
    except socket.timeout:
        return True
    return False


class Harness:
    """One server on a free port, its clients and its serving threads."""

    def __init__(self):
        self.port = free_port()
        self.server = vp.ComSocketServer(f"127.0.0.1:{self.port}")
        self.clients = []
        self.served = False
        self.threads = thread_count()  # before any serving thread of this test

    def accept(self, rcvbuf=None):
        """open() in this thread while a client thread connects; returns the client."""
        client = open_with_client(self.server, self.port, rcvbuf)
        self.clients.append(client)
        return client

    def serve(self):
        self.server.serve()
        self.served = True

    def stop(self):
        """close(), then wait until the serving threads have ended."""
        assert self.server.close() is None
        assert threads_back(self.threads)

    def finish(self):
        for c in self.clients:
            c.close()
        if self.server is not None:
            assert self.server.close() is None
        assert threads_back(self.threads)


@pytest.fixture
def h():
    harness = Harness()
    yield harness
    harness.finish()


@pytest.fixture
def watchdog():
    """Ends the whole run if a test hangs, as it would if a blocking call kept the lock."""
    faulthandler.dump_traceback_later(60, exit=True, file=sys.__stderr__)
    yield
    faulthandler.cancel_dump_traceback_later()


class Recorder:
    """A handler that records the widgets it receives."""

    def __init__(self):
        self.calls = []

    def __call__(self, widget):
        self.calls.append(widget)


class Gate:
    """A handler that blocks the serving thread until released."""

    def __init__(self):
        self.entered = threading.Event()
        self.release = threading.Event()

    def __call__(self, widget):
        self.entered.set()
        self.release.wait(WAIT)


def panic_type():
    e = raised(lambda: vp.on(vp.ComSocketServer("x"))(lambda: None))
    assert is_panic(e)
    return type(e)


# ---- replies ---------------------------------------------------------------------------


def test_replies_are_the_reference_encodings_byte_for_byte(h):
    conn = h.accept()
    for wid, status, result, hexa in EXAMPLES:
        expected = bytes.fromhex(hexa)
        assert h.server.callback(wid, status, result()) is None
        assert recv_exactly(conn, len(expected)) == expected
    assert [len(bytes.fromhex(x[3])) for x in EXAMPLES] == [24, 32, 28]
    assert nothing_more(conn)


def test_two_replies_arrive_back_to_back_and_keywords_work(h):
    conn = h.accept()
    reply_1(h.server)
    h.server.callback(data=vp.ErrorResult("bad input"), status=S.Error, id=2)
    assert recv_exactly(conn, len(REPLY_1) + len(REPLY_2)) == REPLY_1 + REPLY_2
    assert nothing_more(conn)


def test_non_ascii_error_text_is_written_as_utf8_with_byte_length(h):
    conn = h.accept()
    text = "é" * 20 + "✓"  # 21 characters, 43 bytes: needs str 8, not fixstr
    h.server.callback(3, S.Busy, vp.ErrorResult(text))
    expected = (bytes.fromhex("93 03 a4") + b"Busy" + bytes.fromhex("81 ab") + b"ErrorResult"
                + bytes.fromhex("91 d9 2b") + text.encode())
    assert recv_exactly(conn, len(expected)) == expected
    assert nothing_more(conn)


def test_failed_conversions_send_nothing(h, capfd):
    conn = h.accept()
    assert is_panic(raised(lambda: h.server.callback(1, S.Idle, 3)))
    assert isinstance(raised(lambda: h.server.callback(256, S.Idle, vp.ConfirmResult(True))),
                      OverflowError)
    assert isinstance(raised(lambda: h.server.callback(1, 1, vp.ConfirmResult(True))), TypeError)
    reply_1(h.server)  # the first bytes the client sees are this reply's
    assert recv_exactly(conn, len(REPLY_1)) == REPLY_1
    assert nothing_more(conn)
    capfd.readouterr()


# ---- argument and state errors ---------------------------------------------------------

BINDING_FAILURE = (
    "Python data failed to be bound: TypeError: failed to extract enum ResultBinding ('Confirm | Error')\n"
    "- variant Confirm (Confirm): TypeError: failed to extract field ResultBinding::Confirm.0, caused by "
    "TypeError: 'int' object cannot be converted to 'ConfirmResult'\n"
    "- variant Error (Error): TypeError: failed to extract field ResultBinding::Error.0, caused by "
    "TypeError: 'int' object cannot be converted to 'ErrorResult'"
)


def test_non_result_data_is_an_internal_failure_even_before_open(capfd):
    server = vp.ComSocketServer("127.0.0.1:1")
    e = raised(lambda: server.callback(1, S.Idle, 3))
    assert is_panic(e)
    assert str(e) == BINDING_FAILURE
    err = capfd.readouterr().err
    assert BINDING_FAILURE in err and "result_frame.cpp:14" in err
    # The object was given back: the next call gets the state error.
    assert str(raised(lambda: reply_1(server))) == "Bad Server state"


# (name, call on a never-opened server, exception type, exact message)
ERROR_CASES = [
    ("serve before open", lambda s: s.serve(), RuntimeError, "Bad Server state"),
    ("callback before open", lambda s: reply_1(s), RuntimeError, "Bad Server state"),
    ("status as int", lambda s: s.callback(1, 1, vp.ConfirmResult(True)), TypeError,
     "argument 'status': 'int' object cannot be converted to 'ServerStatus'"),
    ("id 256", lambda s: s.callback(256, S.Idle, vp.ConfirmResult(True)), OverflowError,
     "out of range integral type conversion attempted"),
    ("id -1", lambda s: s.callback(-1, S.Idle, vp.ConfirmResult(True)), OverflowError,
     "out of range integral type conversion attempted"),
    ("id as str", lambda s: s.callback("1", S.Idle, vp.ConfirmResult(True)), TypeError,
     "argument 'id': 'str' object cannot be interpreted as an integer"),
    ("callback no data", lambda s: s.callback(1, S.Idle), TypeError,
     "ComSocketServer.callback() missing 1 required positional argument: 'data'"),
    ("callback nothing", lambda s: s.callback(), TypeError,
     "ComSocketServer.callback() missing 3 required positional arguments: 'id', 'status', and 'data'"),
    ("callback four", lambda s: s.callback(1, S.Idle, None, None), TypeError,
     "ComSocketServer.callback() takes 3 positional arguments but 4 were given"),
    ("callback keyword", lambda s: s.callback(1, S.Idle, None, x=1), TypeError,
     "ComSocketServer.callback() got an unexpected keyword argument 'x'"),
    ("on nothing", lambda s: s.on(), TypeError,
     "ComSocketServer.on() missing 3 required positional arguments: 'id', 'widget', and 'action'"),
    ("on no action", lambda s: s.on(1, "Joystick"), TypeError,
     "ComSocketServer.on() missing 1 required positional argument: 'action'"),
    ("get_action nothing", lambda s: s._get_action(), TypeError,
     "ComSocketServer._get_action() missing 1 required positional argument: 'key'"),
    ("get_action int key", lambda s: s._get_action(1), TypeError,
     "argument 'key': 'int' object cannot be converted to 'PyString'"),
]


@pytest.mark.parametrize("name, call, kind, message", ERROR_CASES, ids=[c[0] for c in ERROR_CASES])
def test_errors_on_a_new_server(name, call, kind, message):
    server = vp.ComSocketServer("127.0.0.1:1")
    e = raised(lambda: call(server))
    assert type(e) is kind, e
    assert str(e) == message
    # Every failure gave the object back and left it in the state Created.
    assert server._get_action("Joystick_1") is None
    assert str(raised(server.serve)) == "Bad Server state"
    assert server.close() is None


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "ComSocketServer.__new__() missing 1 required positional argument: 'address'"),
        ((1,), {}, "argument 'address': 'int' object cannot be converted to 'PyString'"),
        ((), {"address": b"x"}, "argument 'address': 'bytes' object cannot be converted to 'PyString'"),
        (("a", "b"), {}, "ComSocketServer.__new__() takes 1 positional arguments but 2 were given"),
        ((), {"addr": "a"}, "ComSocketServer.__new__() got an unexpected keyword argument 'addr'"),
    ],
    ids=["missing", "int", "bytes-keyword", "two", "unknown-keyword"],
)
def test_constructor_errors(args, kwargs, message):
    with pytest.raises(TypeError) as e:
        vp.ComSocketServer(*args, **kwargs)
    assert str(e.value) == message


def test_constructor_takes_address_by_keyword_and_does_not_check_it():
    assert type(vp.ComSocketServer(address="not an address")) is vp.ComSocketServer


@pytest.mark.parametrize("method", ["open", "serve", "close"])
def test_open_serve_close_take_no_arguments(method):
    server = vp.ComSocketServer("127.0.0.1:1")
    with pytest.raises(TypeError, match="takes no arguments"):
        getattr(server, method)(1)
    with pytest.raises(TypeError, match="takes no keyword arguments"):
        getattr(server, method)(x=1)
    assert server.close() is None


def test_created_close_changes_nothing():
    server = vp.ComSocketServer("127.0.0.1:1")
    assert server.close() is None
    assert server.close() is None
    assert str(raised(server.serve)) == "Bad Server state"
    assert str(raised(lambda: reply_1(server))) == "Bad Server state"


# ---- states and transitions -----------------------------------------------------------


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
    conn = h.accept()
    gate = Gate()
    h.server.on(0, "ClickButton", gate)
    h.serve()
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
    old = h.accept()
    rec = Recorder()
    h.server.on(1, "ToggleButton", rec)
    h.serve()
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
    old = h.accept()
    gate = Gate()
    h.server.on(0, "ClickButton", gate)
    h.serve()
    old.sendall(frame(0, "ClickButton"))
    assert gate.entered.wait(WAIT)
    h.server.close()
    new = h.accept()  # Reopened while the old thread is still in the handler
    assert h.server.close() is None  # -> Stopped
    assert client_sees_eof(new)
    assert str(raised(lambda: reply_1(h.server))) == "Bad Server state"
    gate.release.set()
    assert client_sees_eof(old)


def test_serving_open_leaves_the_thread_on_the_old_connection(h):
    old = h.accept()
    rec = Recorder()
    h.server.on(0, "ClickButton", rec)
    h.serve()
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
    conn = h.accept()
    rec = Recorder()
    PanicException = panic_type()

    def give_up(widget):
        raise PanicException("handler gave up")

    h.server.on(0, "ClickButton", rec)
    h.server.on(1, "ClickButton", give_up)
    h.serve()
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
    conn = h.accept()
    rec = Recorder()
    PanicException = panic_type()

    def give_up(widget):
        raise PanicException("orphan gave up")

    h.server.on(0, "ClickButton", rec)
    h.server.on(1, "ClickButton", give_up)
    h.serve()
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


# ---- registrations --------------------------------------------------------------------


class Handler:
    def __call__(self, widget):
        pass


def test_on_replaces_and_releases_the_earlier_action():
    server = vp.ComSocketServer("127.0.0.1:1")
    first, second = Handler(), Handler()
    gone = weakref.ref(first)
    server.on(3, "Joystick", first)
    assert server._get_action("Joystick_3") is first
    assert server.on(3, "Joystick", second) is None
    del first
    for _ in range(3):
        gc.collect()
    assert gone() is None
    assert server._get_action("Joystick_3") is second


def test_registry_releases_its_actions_with_the_server():
    server = vp.ComSocketServer("127.0.0.1:1")
    action = Handler()
    gone = weakref.ref(action)
    server.on(0, "ClickButton", action)
    del action, server
    for _ in range(3):
        gc.collect()
    assert gone() is None


@pytest.mark.parametrize(
    "wid, widget, key",
    [
        (3, "  Joystick  ", "Joystick_3"),
        (3, "Joystick pad", "Joystick_3"),
        (3, "\u3000Joystick\u00a0pad", "Joystick_3"),
        (3, "\tJoystick\u2028", "Joystick_3"),
        (3, "", "_3"),
        (7, "   ", "_7"),
        (0, "joystick", "joystick_0"),
        (255, "NoSuchKind", "NoSuchKind_255"),
    ],
    ids=["spaces", "two-words", "unicode-space", "tab-line-separator", "empty", "blank",
         "lower-case", "unknown-kind"],
)
def test_on_files_under_the_first_word_of_the_name(wid, widget, key):
    server = vp.ComSocketServer("127.0.0.1:1")
    action = Handler()
    kind = key.rsplit("_", 1)[0]
    with contextlib.nullcontext() if kind in wire.KINDS else \
            pytest.warns(RuntimeWarning, match=f"^no widget kind '{re.escape(kind)}'"):
        server.on(wid, widget, action)
    assert server._get_action(key) is action
    assert server._get_action(widget + f"_{wid}") is (action if widget + f"_{wid}" == key else None)


def test_get_action_uses_the_key_unchanged():
    server = vp.ComSocketServer("127.0.0.1:1")
    assert server._get_action("Joystick_3") is None  # empty registry
    action = Handler()
    server.on(id=3, widget="Joystick", action=action)
    assert server._get_action(key="Joystick_3") is action
    for other in ["joystick_3", " Joystick_3", "Joystick_3 ", "Joystick_03", "Joystick", ""]:
        assert server._get_action(other) is None


@pytest.mark.parametrize(
    "args, kind, message",
    [
        ((256, "Joystick"), OverflowError, "out of range integral type conversion attempted"),
        ((-1, "Joystick"), OverflowError, "out of range integral type conversion attempted"),
        (("3", "Joystick"), TypeError, "argument 'id': 'str' object cannot be interpreted as an integer"),
        ((3, 3), TypeError, "argument 'widget': 'int' object cannot be converted to 'PyString'"),
    ],
    ids=["256", "-1", "str-id", "int-widget"],
)
def test_on_argument_errors_register_nothing(args, kind, message):
    server = vp.ComSocketServer("127.0.0.1:1")
    kept = Handler()
    server.on(3, "Joystick", kept)
    with pytest.raises(kind) as e:
        server.on(*args, Handler())
    assert str(e.value) == message
    assert server._get_action("Joystick_3") is kept


def test_non_callable_is_accepted_and_fails_only_when_dispatched(h, capfd):
    conn = h.accept()
    rec = Recorder()
    with pytest.warns(RuntimeWarning, match="not callable"):
        h.server.on(5, "ClickButton", 42)
    h.server.on(0, "ClickButton", rec)
    assert h.server._get_action("ClickButton_5") == 42
    h.serve()
    conn.sendall(frame(5, "ClickButton"))
    time.sleep(0.7)
    conn.sendall(frame(0, "ClickButton"))
    assert wait_until(lambda: rec.calls)  # serving went on
    err = capfd.readouterr().err
    assert "Action failed TypeError: 'int' object is not callable" in err


def test_registrations_after_serve_reach_only_the_next_thread(h):
    conn = h.accept()
    late = Recorder()
    with written_to(1) as out:
        h.serve()
        h.server.on(7, "ClickButton", late)
        assert h.server._get_action("ClickButton_7") is late
        conn.sendall(frame(7, "ClickButton"))
        assert wait_until(lambda: "No key ClickButton_7 found" in out()), out()
    assert late.calls == []
    h.stop()
    conn = h.accept()
    h.serve()
    conn.sendall(frame(7, "ClickButton"))
    assert wait_until(lambda: late.calls)


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


# Every kind, with fields that decode, at ids of one, two and three digits: (kind, id, fields,
# the identity key).
KEY_KINDS = [("ClickButton", ()), ("ToggleButton", (True,)), ("ConfirmButton", ()),
             ("PressButton", (False,)), ("DirectionalButton", (3,)),
             ("Joystick", ([F32(0.5), F32(-1.0)], F32(0.25)))]
KEY_CASES = [(kind, wid, fields, f"{kind}_{wid}")
             for kind, fields in KEY_KINDS for wid in (0, 9, 10, 99, 100, 255)]


@pytest.mark.skipif(not os.path.exists(VELTO_FRAME), reason="velto-frame is not built")
def test_velto_frame_on_and_the_dispatch_use_one_identity_key(h):
    keys = [key for *_, key in KEY_CASES]
    frames = b"".join(frame(wid, kind, *fields) for kind, wid, fields, _ in KEY_CASES)

    # velto-frame prints each frame's key.
    for kind, wid, fields, key in KEY_CASES:
        out = subprocess.run([VELTO_FRAME, "decode", frame(wid, kind, *fields).hex()],
                             capture_output=True, text=True, timeout=WAIT)
        assert re.findall(r"^key +(.*)$", out.stdout, re.M) == [key], out.stdout

    # With nothing registered, the dispatch names each key it looked up.
    conn = h.accept()
    with written_to(1) as out:
        h.serve()
        conn.sendall(frames)
        assert wait_until(lambda: f"No key {keys[-1]} found" in out()), out()
        assert re.findall(r"^No key (.*) found$", out(), re.M) == keys
    h.stop()

    # on() files each action under its key, and the dispatch finds it there.
    actions = {key: Recorder() for key in keys}
    for kind, wid, _, key in KEY_CASES:
        h.server.on(wid, kind, actions[key])
        assert h.server._get_action(key) is actions[key]
    conn = h.accept()
    h.serve()
    conn.sendall(frames)
    assert wait_until(lambda: all(a.calls for a in actions.values()))
    assert {key: [type(w).__name__ for w in a.calls] for key, a in actions.items()} == \
        {key: ["WidgetRegistry_" + key.split("_")[0]] for key in keys}


# ---- the interpreter lock during blocking calls ---------------------------------------


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


def test_close_ends_a_handler_reply_blocked_on_a_peer_that_never_reads(watchdog, h):
    """A handler that replies to a controller that never reads blocks the serving thread in
    its send. The program keeps wait_disconnected() and close(): close() cuts the connection's
    writing side, the handler's send returns with its error, the thread sees the stop and
    ends, and the controller sees the end of the stream."""
    conn = h.accept(rcvbuf=4096)
    started, done, errors = [0], [0], []

    def reply_big(widget):
        try:
            while True:
                started[0] += 1
                h.server.callback(9, S.Busy, vp.ErrorResult("x" * 60_000))
                done[0] += 1
        except RuntimeError as e:
            errors.append(str(e))

    h.server.on(0, "ClickButton", reply_big)
    h.serve()
    conn.sendall(frame(0, "ClickButton"))

    def blocked():
        before = done[0]
        time.sleep(0.3)
        return started[0] > done[0] == before

    assert wait_until(blocked)
    assert h.server.wait_disconnected(0.3) is False  # it needs nothing the send holds
    assert h.server.close() is None
    assert wait_until(lambda: errors)
    assert errors == ["Broken pipe (os error 32)"]
    assert h.server.wait_disconnected(0) is True
    conn.settimeout(WAIT)
    while conn.recv(1 << 16):  # what went out, then the end of the stream
        pass
    assert threads_back(h.threads)


def test_replies_from_several_threads_arrive_whole(h):
    conn = h.accept(rcvbuf=8192)
    received = bytearray()
    reading = threading.Event()
    reading.set()

    def reader():
        conn.settimeout(0.2)
        while reading.is_set():
            try:
                chunk = conn.recv(65536)
            except socket.timeout:
                continue
            if not chunk:
                return
            received.extend(chunk)

    retries = [0] * 4

    def replier(k):
        for i in range(50):
            while True:
                try:
                    h.server.callback(k, S.Idle, vp.ErrorResult(f"{k}:{i}:" + "y" * 3000))
                    break
                except RuntimeError as e:
                    assert str(e) == "Already borrowed"
                    retries[k] += 1
                    time.sleep(0)

    threads = [threading.Thread(target=replier, args=(k,)) for k in range(4)]
    rt = threading.Thread(target=reader)
    rt.start()
    for t in threads:
        t.start()
    for t in threads:
        t.join(WAIT * 3)
    assert wait_until(lambda: len(read_replies(bytes(received))[0]) == 200)
    reading.clear()
    rt.join(WAIT)
    replies, rest = read_replies(bytes(received))
    assert rest == b""
    for k in range(4):
        mine = [r for r in replies if r.id == k]
        assert [r.result.error.split(":")[1] for r in mine] == [str(i) for i in range(50)]
        assert all(r.status == "Idle" and r.result.error.startswith(f"{k}:") for r in mine)


# ---- clients that go away -------------------------------------------------------------


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


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


def test_client_that_resets_the_connection(h):
    before = open_descriptors()
    conn = h.accept()
    with written_to(2) as err:
        h.serve()
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        conn.close()  # RST
        h.clients.remove(conn)
        assert wait_until(lambda: "Failed to read frame" in err()), err()
        assert re.search(r"Failed to read frame : .+ \(os error \d+\)", err()), err()
    assert h.server.wait_disconnected(WAIT) is True
    # The thread ended on its own: close() lets go of the connection and of what served it,
    # and the object is Created again.
    assert h.server.close() is None
    assert h.server.close() is None
    assert open_descriptors() == before
    assert str(raised(lambda: reply_1(h.server))) == "Bad Server state"
    assert h.server.wait_disconnected(0) is True
    new = h.accept()
    reply_1(h.server)
    assert recv_exactly(new, len(REPLY_1)) == REPLY_1
    h.serve()


def test_client_that_half_closes_still_gets_replies(h):
    conn = h.accept()
    rec = Recorder()
    h.server.on(0, "ClickButton", rec)
    h.serve()
    conn.sendall(frame(0, "ClickButton"))
    conn.shutdown(socket.SHUT_WR)
    assert wait_until(lambda: rec.calls)
    reply_1(h.server)
    assert recv_exactly(conn, len(REPLY_1)) == REPLY_1
    assert h.server.close() is None
    assert client_sees_eof(conn)


# ---- the facade and the module table -------------------------------------------------


def test_use_socket_returns_independent_plain_servers(h):
    a = vp.VeltoPiServer.use_socket(f"127.0.0.1:{h.port}")
    b = vp.VeltoPiServer.use_socket(address="x")
    assert type(a) is vp.ComSocketServer and type(b) is vp.ComSocketServer and a is not b
    a.on(1, "Joystick", Handler())
    assert b._get_action("Joystick_1") is None
    assert str(raised(a.serve)) == "Bad Server state"
    e = raised(b.open)  # "x" is only examined here
    assert is_panic(e) and str(e).startswith("Unable to intanstiate TCP Listener. ")
    assert "invalid socket address" in str(e)
    h.server = a  # the harness opens the facade's server
    conn = h.accept()
    reply_1(a)
    assert recv_exactly(conn, len(REPLY_1)) == REPLY_1


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: vp.VeltoPiServer(), "No constructor defined"),
        (lambda: vp.VeltoPiServer.use_socket(),
         "VeltoPiServer.use_socket() missing 1 required positional argument: 'address'"),
        (lambda: vp.VeltoPiServer.use_socket("a", "b"),
         "VeltoPiServer.use_socket() takes 1 positional arguments but 2 were given"),
        (lambda: vp.VeltoPiServer.use_socket(port=1),
         "VeltoPiServer.use_socket() got an unexpected keyword argument 'port'"),
        (lambda: vp.VeltoPiServer.use_socket(80),
         "argument 'address': 'int' object cannot be converted to 'PyString'"),
        (lambda: vp.VeltoPiServer.use_socket(address=None),
         "argument 'address': 'NoneType' object cannot be converted to 'PyString'"),
    ],
    ids=["construct", "missing", "two", "keyword", "int", "none"],
)
def test_use_socket_errors(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message


def test_facade_cannot_be_subclassed():
    with pytest.raises(TypeError):
        type("Sub", (vp.VeltoPiServer,), {})


def test_module_table():
    assert vp.__all__ == ["VeltoPiServer", "ComSocketServer", "Protocol", "ServerStatus",
                          "ConfirmResult", "ErrorResult", "WidgetRegistry", "on"]
    assert all(hasattr(vp, name) for name in vp.__all__)
    assert vp.on.__name__ == "on" and vp.on.__module__ == "velto_protocol"


def import_again():
    saved = sys.modules.pop("velto_protocol")
    try:
        import velto_protocol as again
    finally:
        sys.modules["velto_protocol"] = saved
    return again


def test_importing_again_gives_the_same_table():
    again = import_again()
    assert again.__all__ == vp.__all__
    assert all(getattr(again, name) is getattr(vp, name) for name in vp.__all__)


@pytest.mark.skipif(not CPYTHON, reason="PyPy makes a new module object from its cached copy "
                    "of an extension module without calling the module's init again")
def test_importing_again_returns_the_same_module():
    assert import_again() is vp
