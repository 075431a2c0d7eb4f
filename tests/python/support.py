"""Helpers for end-to-end tests: free ports, a controller client, server subprocesses."""
import os
import socket
import subprocess
import sys
import textwrap
import time

from velto_tools import wire

WAIT = 10.0  # upper bound of every wait in these tests, seconds


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def connect(port, deadline=WAIT):
    """A client connected to 127.0.0.1:port, retrying until the server listens."""
    end = time.monotonic() + deadline
    while True:
        try:
            conn = socket.create_connection(("127.0.0.1", port), timeout=1)
            conn.settimeout(WAIT)
            return conn
        except OSError:
            if time.monotonic() > end:
                raise
            time.sleep(0.02)


def recv_exactly(conn, n):
    data = b""
    while len(data) < n:
        chunk = conn.recv(n - len(data))
        if not chunk:
            break
        data += chunk
    return data


def wait_until(predicate, timeout=WAIT, step=0.01):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


class ServerProcess:
    """A Python program using the module, run in its own interpreter (the same one as the
    tests), so that its progress lines (fd 1) and reports (fd 2) can be read whole."""

    def __init__(self, body, port):
        code = "import sys, time, threading\nimport velto_protocol as vp\nPORT = %d\n" % port
        code += textwrap.dedent(body)
        env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.environ["VELTO_MODULE_DIR"], os.environ["VELTO_TOOLS_DIR"]]),
                   PYTHONUNBUFFERED="1")
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


def raised(call):
    """The exception `call` raises (any BaseException), or None."""
    try:
        call()
    except BaseException as e:  # PanicException derives from BaseException only
        return e
    return None


def is_panic(e):
    return e is not None and type(e).__name__ == "PanicException"
