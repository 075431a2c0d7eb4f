"""Helpers for end-to-end tests: free ports, a controller client, server subprocesses, and one
server in the test's own process with its clients, handlers and the replies they expect."""
import contextlib
import os
import queue
import socket
import struct
import subprocess
import sys
import tempfile
import textwrap
import threading
import time

import pytest

import velto_protocol as vp
from velto_tools import wire

# How many times longer than natively a bounded wait may last: VELTO_WAIT_FACTOR, which the
# i386 root sets where it runs under user-mode emulation.
WAIT_FACTOR = float(os.environ.get("VELTO_WAIT_FACTOR") or 1)
WAIT = 10.0 * WAIT_FACTOR  # upper bound of every wait in these tests, seconds

# Under qemu's user-mode emulation (the i386 root sets VELTO_EMULATOR there), a signal sent to a
# process with several threads is lost or crashes it, with or without the module: a PyPy program
# whose second thread waits in recv() dies of SIGSEGV on SIGUSR1, and CPython's select() fails
# with InterruptedError without running the handler. Tests that signal such a process cannot
# run there.
needs_process_signals = pytest.mark.skipif(
    bool(os.environ.get("VELTO_EMULATOR")),
    reason="user-mode emulation loses or crashes on signals sent to a process with several threads")

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
# The velto-frame tool of the build under test.
VELTO_FRAME = os.path.join(os.environ.get("VELTO_BUILD") or os.path.join(ROOT, "build"), "tools", "velto-frame")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def connect(port, deadline=WAIT, rcvbuf=None):
    """A client connected to 127.0.0.1:port, retrying until the server listens; `rcvbuf`
    sets its receive buffer size before it connects."""
    end = time.monotonic() + deadline
    while True:
        conn = socket.socket()
        try:
            if rcvbuf:
                conn.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
            conn.settimeout(1)
            conn.connect(("127.0.0.1", port))
            conn.settimeout(WAIT)
            return conn
        except OSError:
            conn.close()
            if time.monotonic() > end:
                raise
            time.sleep(0.02)


def open_with_client(server, port, rcvbuf=None):
    """server.open() in this thread while another thread connects to `port`; returns the
    client."""
    box = []
    dialer = threading.Thread(target=lambda: box.append(connect(port, rcvbuf=rcvbuf)))
    dialer.start()
    try:
        server.open()
    finally:
        dialer.join(WAIT + 1)
    assert box, "the client could not connect"
    return box[0]


def recv_exactly(conn, n):
    data = b""
    while len(data) < n:
        chunk = conn.recv(n - len(data))
        if not chunk:
            break
        data += chunk
    return data


def thread_count():
    """The threads of this process, serving threads included (they have no Python object)."""
    return len(os.listdir("/proc/self/task"))


def threads_back(count, timeout=WAIT):
    """Waits until the process has no more than `count` threads; False if it still has more."""
    return wait_until(lambda: thread_count() <= count, timeout=timeout, step=0.02)


def wait_until(predicate, timeout=WAIT, step=0.01):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def _system_call_of(tid):
    """The number of the system call thread `tid` of this process is in, or None."""
    try:
        with open(f"/proc/self/task/{tid}/syscall") as f:
            first = f.read().split()[:1]
    except OSError:
        return None
    return int(first[0]) if first and first[0].lstrip("-").isdigit() else None


_send_call = []


def send_call_number():
    """The system-call number /proc shows for a thread blocked in a socket send on this machine
    (under user-mode emulation, the host's): learnt once from a thread of our own blocked in
    socket.sendall(), which goes through the same C library call as the module's sends."""
    if not _send_call:
        a, b = socket.socketpair()
        a.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4096)
        tid = []

        def fill():
            tid.append(threading.get_native_id())
            try:
                a.sendall(b"x" * (1 << 24))
            except OSError:
                pass  # ended by the shutdown below

        t = threading.Thread(target=fill, daemon=True)
        t.start()
        try:
            seen = []

            def settled():
                if not tid:
                    return False
                seen.append(_system_call_of(tid[0]))
                return len(seen) >= 5 and seen[-1] is not None and len(set(seen[-5:])) == 1

            assert wait_until(settled, step=0.02), seen[-5:]
            _send_call.append(seen[-1])
        finally:
            a.shutdown(socket.SHUT_RDWR)
            t.join(WAIT)
            a.close()
            b.close()
    return _send_call[0]


def in_send(tid):
    """Thread `tid` of this process is inside a socket send."""
    return _system_call_of(tid) == send_call_number()


@contextlib.contextmanager
def written_to(fd):
    """Sends what is written on `fd` to a file of its own while the block runs; yields a
    function that returns all of it so far, as text. Waiting for a line another thread
    writes must read this way: capfd.readouterr() empties its file after reading it, and a
    write that lands in between is lost."""
    with tempfile.TemporaryFile() as log:
        saved = os.dup(fd)
        os.dup2(log.fileno(), fd)
        try:
            yield lambda: os.pread(log.fileno(), os.fstat(log.fileno()).st_size, 0).decode(errors="replace")
        finally:
            os.dup2(saved, fd)
            os.close(saved)


def python_env(**extra):
    """The environment for a child interpreter like this one, with the build's extension on
    its path. Under `make test-asan` a CPython child gets the sanitizer runtime preloaded,
    which the module built there needs, and no leak check at its exit."""
    env = dict(os.environ,
               PYTHONPATH=os.pathsep.join([os.environ["VELTO_MODULE_DIR"], os.environ["VELTO_TOOLS_DIR"]]))
    runtime = os.environ.get("VELTO_SANITIZER_RUNTIME")
    if runtime and sys.implementation.name == "cpython":
        env["LD_PRELOAD"] = runtime
        # A child that ends while threads run loses what only their stacks held: CPython
        # ends such threads without unwinding them. Memory errors still end the child.
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    env.update(extra)
    return env


class ServerProcess:
    """A Python program using the module, run in its own interpreter (the same one as the
    tests), so that its progress lines (fd 1) and reports (fd 2) can be read whole."""

    def __init__(self, body, port):
        code = "import sys, time, threading\nimport velto_protocol as vp\nPORT = %d\n" % port
        code += textwrap.dedent(body)
        env = python_env(PYTHONUNBUFFERED="1")
        self.proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, stdin=subprocess.PIPE, env=env)

    def finish(self, timeout=WAIT):
        """Waits for the program to end: (exit code, stdout text, stderr text)."""
        try:
            out, err = self.proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            out, err = self.proc.communicate()
            raise AssertionError(f"server did not end\nstdout:\n{out.decode()}\nstderr:\n{err.decode()}")
        return self.proc.returncode, out.decode(), err.decode()

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.communicate()

    # As a context manager, a program the test did not see to its end is killed on the way out.
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.kill()


class Lines:
    """The lines of a subprocess's output stream, read by a thread so that every wait is
    bounded and the stream never fills up."""

    def __init__(self, stream):
        self.queue = queue.Queue()
        self.seen = []
        self.thread = threading.Thread(target=self._read, args=(stream,), daemon=True)
        self.thread.start()

    def _read(self, stream):
        for line in iter(stream.readline, b""):
            self.queue.put(line.decode(errors="replace").rstrip("\n"))

    def next(self, timeout=WAIT):
        line = self.queue.get(timeout=timeout)
        self.seen.append(line)
        return line

    def wait_for(self, wanted, timeout=WAIT, part=False):
        """Reads up to the line `wanted` (with part=True: the first line containing it) and
        returns it; AssertionError if it does not come in time."""
        end = time.monotonic() + timeout
        while True:
            try:
                line = self.next(max(end - time.monotonic(), 0.001))
            except queue.Empty:
                raise AssertionError(f"no line {wanted!r} within {timeout} s; got {self.seen}") from None
            if (wanted in line) if part else (line == wanted):
                return line

    def rest(self, timeout=WAIT):
        """Every line until the stream ends."""
        self.thread.join(timeout)
        while not self.queue.empty():
            self.seen.append(self.queue.get())
        return self.seen


def raised(call):
    """The exception `call` raises (any BaseException), or None."""
    try:
        call()
    except BaseException as e:  # PanicException derives from BaseException only
        return e
    return None


def is_panic(e):
    return e is not None and type(e).__name__ == "PanicException"


@contextlib.contextmanager
def fake_server(script):
    """A server of our own on 127.0.0.1 that runs `script(conn)` on the one connection it
    accepts, in a thread; yields its address. The connection is closed after the script."""
    listener = socket.create_server(("127.0.0.1", 0))
    listener.settimeout(WAIT)
    failures = []

    def run():
        try:
            conn, _ = listener.accept()
        except OSError as e:
            failures.append(e)
            return
        with conn:
            conn.settimeout(WAIT)
            try:
                script(conn)
            except OSError:
                pass  # the client went first

    t = threading.Thread(target=run, daemon=True)
    t.start()
    try:
        yield f"127.0.0.1:{listener.getsockname()[1]}"
    finally:
        t.join(WAIT)
        listener.close()
    assert not t.is_alive(), "the fake server's script did not end"


def answer_with(data):
    """A fake_server script: after the first bytes from the client, sends `data` and waits
    until the client closes."""
    def script(conn):
        conn.recv(65536)
        conn.sendall(data)
        while conn.recv(65536):
            pass
    return script


def reset_after_first_frame(conn):
    """A fake_server script: reads the client's first bytes, then resets the connection."""
    conn.recv(65536)
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))


# ---- one server in this process --------------------------------------------------------

# The reference encoding of reply_1's reply: id 1, Idle, ConfirmResult(True).
REPLY_1 = bytes.fromhex("93 01 a4 49 64 6c 65 81 ad 43 6f 6e 66 69 72 6d 52 65 73 75 6c 74 91 c3")

# Prepended to programs run by ServerProcess: writes one line of the program's own with one
# write(2), so that the serving thread's progress lines never land inside it.
SAY = """
import os
def say(text):
    os.write(1, (text + "\\n").encode())
"""


def reply_1(server):
    server.callback(1, vp.ServerStatus.Idle, vp.ConfirmResult(True))


def client_sees_eof(conn, timeout=WAIT):
    """Whether the next thing the client reads is the end of the stream (or a reset), not
    bytes; a stream that neither ends nor brings bytes in time fails with socket.timeout."""
    conn.settimeout(timeout)
    try:
        return conn.recv(1) == b""
    except ConnectionResetError:
        return True


def nothing_more(conn, wait=0.3):
    """Whether the client receives nothing, not even the end of the stream, for `wait` s."""
    conn.settimeout(wait)
    try:
        conn.recv(1)
    except socket.timeout:
        return True
    return False


def reset(conn):
    """Closes `conn` with a reset instead of an orderly end."""
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    conn.close()


def open_descriptors():
    """What each open descriptor of this process refers to ("socket:[1234]"), by number."""
    found = set()
    for fd in os.listdir("/proc/self/fd"):
        try:
            found.add((fd, os.readlink(f"/proc/self/fd/{fd}")))
        except OSError:
            pass  # the directory's own descriptor, already closed
    return found


class Harness:
    """One ComSocketServer on a free port of 127.0.0.1, its clients and its serving threads
    (the `h` fixture): finish() closes the clients and the server and waits until the
    serving threads of the test have ended."""

    def __init__(self):
        self.port = free_port()
        self.address = f"127.0.0.1:{self.port}"
        self.server = vp.ComSocketServer(self.address)
        self.clients = []
        self.threads = thread_count()  # before any serving thread of this test

    def accept(self, rcvbuf=None):
        """open() in this thread while a client thread connects; returns the client."""
        client = open_with_client(self.server, self.port, rcvbuf)
        self.clients.append(client)
        return client

    def serve(self):
        assert self.server.serve() is None

    def accept_serving(self, actions, rcvbuf=None):
        """A client accepted by open(), whose connection a serving thread reads with each
        action of {(id, widget): action} registered; returns the client."""
        client = self.accept(rcvbuf)
        for (wid, widget), action in actions.items():
            self.server.on(wid, widget, action)
        self.serve()
        return client

    def stop(self):
        """close(), then wait until the serving threads have ended."""
        assert self.server.close() is None
        assert threads_back(self.threads)

    def finish(self):
        for c in self.clients:
            c.close()
        if self.server is not None:
            assert self.server.close() is None  # whatever state the test left it in
        assert threads_back(self.threads)


class Handler:
    """An action that does nothing; an object of its own, for identity and weak references."""

    def __call__(self, widget):
        pass


class Recorder:
    """A handler that records the widgets it receives."""

    def __init__(self):
        self.calls = []

    def __call__(self, widget):
        self.calls.append(widget)


class Gate:
    """A handler that blocks the serving thread until released. Given the server, it first
    calls serve() from inside the handler and keeps what that raised in `serve_inside`."""

    def __init__(self, server=None):
        self.server = server
        self.entered = threading.Event()
        self.release = threading.Event()
        self.serve_inside = None

    def __call__(self, widget):
        if self.server is not None:
            self.serve_inside = raised(self.server.serve)
        self.entered.set()
        self.release.wait(WAIT)


class WsHarness:
    """One WebSocketServer on a free port of 127.0.0.1 and its controllers (the `ws`
    fixture of test_websocket): finish() closes the controllers and the server and waits
    until the serving threads of the test have ended."""

    def __init__(self, token=None):
        self.server = vp.VeltoPiServer.use_websocket("127.0.0.1:0", token=token)
        self.clients = []
        self.openings = []
        self.threads = thread_count()

    def opening(self):
        """open() on a thread of its own; returns the thread once the server listens."""
        failed = []

        def run():
            e = raised(self.server.open)
            if e is not None:
                failed.append(e)
        t = threading.Thread(target=run, daemon=True)
        t.failed = failed
        t.start()
        self.openings.append(t)
        assert wait_until(lambda: self.server.bound_address is not None or not t.is_alive())
        return t

    @property
    def port(self):
        return int(self.server.bound_address.rsplit(":", 1)[1])

    def controller(self, **kwargs):
        """A WsController let in by an open() of this server's; returns it."""
        from velto_tools.websocket import WsController
        t = self.opening()
        client = WsController(self.server.url, timeout=WAIT, **kwargs)
        self.clients.append(client)
        t.join(WAIT)
        assert not t.is_alive() and not t.failed, t.failed
        return client

    def serving(self, actions):
        """A controller whose connection a serving thread reads, with each action of
        {(id, widget): action} registered."""
        client = self.controller()
        for (wid, widget), action in actions.items():
            self.server.on(wid, widget, action)
        assert self.server.serve() is None
        return client

    def finish(self):
        from velto_tools.websocket import WsController
        for t in self.openings:
            if t.is_alive():  # a test that failed before its controller came
                self.clients.append(WsController(self.server.url, timeout=WAIT))
                t.join(WAIT)
        for c in self.clients:
            with contextlib.suppress(OSError):
                c._sock.close()
        assert self.server.close() is None
        assert threads_back(self.threads)


class Output:
    """What this process writes on descriptors 1 and 2, as pytest's capfd captures it,
    collected across reads."""

    def __init__(self, capfd):
        self.capfd = capfd
        self.out = ""
        self.err = ""

    def read(self):
        out, err = self.capfd.readouterr()
        self.out += out
        self.err += err
        return self

    def wait_err(self, text, timeout=WAIT):
        assert wait_until(lambda: text in self.read().err, timeout), self.err
        return self.err

    def wait_out(self, text, timeout=WAIT):
        assert wait_until(lambda: text in self.read().out, timeout), self.out
        return self.out
