"""The program ends while the module's threads are busy: in the serving thread's read,
inside a handler, while the serving thread waits for the interpreter lock, while a thread
is blocked in `callback`'s send or in `open()`'s accept. Each case runs many times, with a
tiny switch interval and a slow `__del__` at exit (the interpreter gives its lock away
while it ends, and the waiting threads ask for it then). Every run must end as the program
says, with its buffered output written whole: no signal, no fatal error, no terminate.

Then the program ends 50 ms into a handler that runs pure Python, calls `callback` or
sleeps: the serving thread is ended when it next asks for the lock. Its thread is made slow
to leave (a second process keeps its CPU busy) and the interpreter's last step is made to
wait, so that the unwind also comes after the interpreter has let go of its per-thread
bookkeeping. Last, what a server holds is released at exit by the thread that ends the
interpreter."""
import concurrent.futures
import os
import re
import subprocess
import sys
import textwrap

import pytest

from support import free_port, python_env, wire

RUNS = 20  # runs of each case
AT_ONCE = 2  # children at a time
CHILD_WAIT = 60.0  # upper bound of one child's life, seconds

CLICK = wire.frame(1, "ClickButton")

# A slow `__del__` at exit, for every program.
SLOW_EXIT = """
class SlowExit:
    # Destroyed while the interpreter ends: runs `then` (which may wake a blocked thread of
    # the module), then sleeps, which lets the other threads ask for the lock meanwhile.
    def __init__(self, then=None):
        self.then = then
        self.sleep = time.sleep
        self.write = os.write

    def __del__(self):
        if self.then is not None:
            self.then()
        self.sleep(0.2)
        self.write(2, b"slow exit done\\n")


def exit_slowly(then=None):
    # The guard is owned by a module of its own, which the interpreter drops while it ends
    # (the main module's names may outlive that, held by a handler or a thread).
    holder = types.ModuleType("_slow_exit")
    holder.guard = SlowExit(then)
    sys.modules["_slow_exit"] = holder
"""

# Shared by every case. Nothing here flushes standard output: the program's own lines stay
# in its buffer (well under one pipe write) until the interpreter writes it at exit.
PRELUDE = """
import os, socket, sys, threading, time, types
import velto_protocol as vp

sys.setswitchinterval(1e-5)
PORT = {port}
CLICK = {click!r}
EXIT_CODE = {exit_code}
""" + SLOW_EXIT + """


def wake(port, sock=socket.socket):
    # Connects as a client while the interpreter ends (no name resolution then).
    s = sock()
    s.connect((b"127.0.0.1", port))
    return s


def listening(port):
    # True once a socket of this machine listens on the port (without connecting to it).
    with open("/proc/net/tcp") as table:
        rows = [line.split() for line in table.readlines()[1:]]
    return any(row[1].endswith(":%04X" % port) and row[3] == "0A" for row in rows)


def dial(port):
    end = time.monotonic() + 20
    while True:
        try:
            return socket.create_connection(("127.0.0.1", port), timeout=20)
        except OSError:
            if time.monotonic() > end:
                raise
            time.sleep(0.01)


def serving(handler=None):
    # A server serving a client of this very program, with `handler` on ClickButton 1.
    server = vp.ComSocketServer(f"127.0.0.1:{{PORT}}")
    if handler is not None:
        server.on(1, "ClickButton", handler)
    box = {{}}
    dialer = threading.Thread(target=lambda: box.setdefault("client", dial(PORT)), daemon=True)
    dialer.start()
    server.open()
    dialer.join()
    server.serve()
    return server, box["client"]


def the_end():
    print("\\n".join(f"tail {{i}}" for i in range(200)))
    if EXIT_CODE:
        sys.exit(EXIT_CODE)
"""

CASES = {
    # The serving thread is blocked in its read; the client leaves while the program ends.
    "in recv": """
        server, client = serving()
        time.sleep(0.6)
        exit_slowly(client.close)
        the_end()
    """,
    # A handler runs Python code when the program ends.
    "inside a handler": """
        started = threading.Event()
        def busy(widget):
            started.set()
            while True:
                sum(range(100))
        server, client = serving(busy)
        client.sendall(CLICK)
        if not started.wait(20):
            sys.exit(3)
        exit_slowly()
        the_end()
    """,
    # Frames arrive while the program ends and keeps the lock in one long call: the serving
    # thread is waiting for the lock when the interpreter gives it away.
    "waiting for the lock": """
        def quick(widget):
            pass
        server, client = serving(quick)
        time.sleep(0.6)
        exit_slowly(lambda: (client.sendall(CLICK * 40), sum(range(5_000_000))))
        the_end()
    """,
    # A daemon thread is blocked in callback's send (the client reads nothing); the client
    # leaves while the program ends, which ends the send.
    "blocked in callback": """
        server, client = serving()
        reply = (1, vp.ServerStatus.Error, vp.ErrorResult("x" * (32 << 20)))
        threading.Thread(target=server.callback, args=reply, daemon=True).start()
        time.sleep(0.5)
        exit_slowly(client.close)
        the_end()
    """,
    # A daemon thread is blocked in open()'s accept; a client comes while the program ends.
    "blocked in open": """
        server = vp.ComSocketServer(f"127.0.0.1:{PORT}")
        threading.Thread(target=server.open, daemon=True).start()
        end = time.monotonic() + 20
        while not listening(PORT) and time.monotonic() < end:
            time.sleep(0.01)
        time.sleep(0.1)  # from listen() into accept()
        exit_slowly(lambda wake=wake, port=PORT: wake(port))
        the_end()
    """,
}

TAIL = "\n".join(f"tail {i}" for i in range(200)) + "\n"
FATAL = re.compile(r"Fatal Python error|terminate called|exception not rethrown|Exception ignored")


def program(case, exit_code):
    code = PRELUDE.format(port=free_port(), click=CLICK, exit_code=exit_code)
    return code + textwrap.dedent(CASES[case])


def run_child(code, exit_code, slow_exit=True, tail=TAIL):
    """Runs one program; returns None when it ended as it should, else what went wrong.
    `slow_exit`: the program leaves a slow `__del__` for the exit; `tail`: the end of what
    it prints."""
    env = python_env()
    env.pop("PYTHONUNBUFFERED", None)
    try:
        proc = subprocess.run([sys.executable, "-c", code], capture_output=True,
                              timeout=CHILD_WAIT, env=env, stdin=subprocess.DEVNULL)
    except subprocess.TimeoutExpired as e:
        return f"did not end: stdout {e.stdout!r} stderr {e.stderr!r}"
    out, err = proc.stdout.decode(errors="replace"), proc.stderr.decode(errors="replace")
    problems = []
    if proc.returncode != exit_code:
        problems.append(f"exit code {proc.returncode}, expected {exit_code}")
    if tail not in out:
        problems.append("the program's output is not whole")
    if slow_exit and sys.implementation.name == "cpython" and "slow exit done" not in err:
        problems.append("the slow __del__ did not run at exit")  # PyPy may skip it
    if FATAL.search(err):
        problems.append("a fatal report, or the slow __del__ failed")
    if not problems:
        return None
    return "; ".join(problems) + f"\nstderr:\n{err[-3000:]}"


@pytest.mark.parametrize("case", list(CASES))
def test_the_program_ends_normally_whatever_the_threads_do(case):
    # The first run ends with sys.exit(7), the others by leaving the script (exit code 0).
    codes = [7] + [0] * (RUNS - 1)
    with concurrent.futures.ThreadPoolExecutor(AT_ONCE) as pool:
        outcomes = list(pool.map(lambda code: run_child(program(case, code), code), codes))
    failures = [o for o in outcomes if o is not None]
    assert not failures, f"{len(failures)} of {RUNS} runs failed; the first:\n{failures[0]}"


# Runs of each handler case; `make soak` runs more.
HANDLER_RUNS = int(os.environ.get("VELTO_EXIT_RUNS", "10"))

# What the handler does until the program has ended (3 s at most).
HANDLERS = {
    "pure Python": "pass",
    "callback": "server.callback(1, vp.ServerStatus.Busy, vp.ConfirmResult(True))",
    "time.sleep": "time.sleep(0.0005)",
}

# How the main thread ends, 50 ms after the handler started.
ENDINGS = {
    # Leaves the script, and the interpreter's last step (after its own end) waits until
    # standard input ends, which a `sleep` process keeps open for 0.3 s: a serving thread
    # that the interpreter ended is unwound meanwhile if it was slow to leave.
    "at once": "end_late()",
    # Runs Python code at exit (and gives the lock away in it) while the thread is unwound.
    "after a slow __del__": "exit_slowly()",
}

# The program of the report, with the handler's step and the ending filled in. The handler
# runs at the lowest priority on the CPU that the test keeps busy (`cpu`): when the program
# ends, its thread is slow to leave, as on a loaded machine.
HANDLER_PROGRAM = """
import os, socket, subprocess, sys, threading, time, types
import velto_protocol as vp

sys.setswitchinterval(1e-5)
PORT = {port}
""" + SLOW_EXIT + """

def end_late():
    if sys.implementation.name != "cpython":
        return  # PyPy ends no thread at exit, and cannot register this step
    import ctypes
    r, w = os.pipe()
    subprocess.Popen(["sleep", "0.3"], stdout=w)
    os.close(w)
    os.dup2(r, 0)
    os.close(r)
    getchar = ctypes.cast(ctypes.CDLL(None).getchar, ctypes.c_void_p)
    ctypes.pythonapi.Py_AtExit(getchar)


started = threading.Event()
server = vp.ComSocketServer(f"127.0.0.1:{{PORT}}")


def handler(widget):
    me = threading.get_native_id()
    if hasattr(os, "sched_setaffinity"):  # not on PyPy, which ends no thread at exit
        os.sched_setaffinity(me, {{{cpu}}})
    os.setpriority(os.PRIO_PROCESS, me, 19)
    started.set()
    end = time.monotonic() + 3
    while time.monotonic() < end:
        {step}


server.on(1, "ClickButton", handler)


def client():
    end = time.monotonic() + 20
    while True:
        try:
            conn = socket.create_connection(("127.0.0.1", PORT), timeout=20)
            break
        except OSError:
            if time.monotonic() > end:
                raise
            time.sleep(0.01)
    conn.sendall({click!r})
    time.sleep(6)


threading.Thread(target=client, daemon=True).start()
server.open()
server.serve()
if not started.wait(20):
    sys.exit(3)
time.sleep(0.05)
{ending}
sys.exit({exit_code})
"""


@pytest.fixture
def busy_cpu():
    """A CPU of this process's that a second process keeps busy while the test runs."""
    cpu = min(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else 0
    load = subprocess.Popen(["taskset", "-c", str(cpu), sys.executable, "-c", "while True: pass"],
                            stdin=subprocess.DEVNULL)
    yield cpu
    load.kill()
    load.wait(CHILD_WAIT)


@pytest.mark.parametrize("ending", list(ENDINGS))
@pytest.mark.parametrize("handler", list(HANDLERS))
def test_the_program_ends_while_a_handler_runs(handler, ending, busy_cpu):
    def run(exit_code):
        code = HANDLER_PROGRAM.format(port=free_port(), click=CLICK, exit_code=exit_code,
                                      cpu=busy_cpu, step=HANDLERS[handler], ending=ENDINGS[ending])
        return run_child(code, exit_code, slow_exit=ending != "at once", tail="")

    codes = [7] + [0] * (HANDLER_RUNS - 1)
    with concurrent.futures.ThreadPoolExecutor(AT_ONCE) as pool:
        outcomes = list(pool.map(run, codes))
    failures = [o for o in outcomes if o is not None]
    assert not failures, f"{len(failures)} of {HANDLER_RUNS} runs failed; the first:\n{failures[0]}"


@pytest.mark.skipif(sys.implementation.name != "cpython",
                    reason="PyPy does not release what is left when the program ends")
def test_the_thread_that_ends_the_interpreter_releases_at_once():
    # A server dropped by a `__del__` at exit lets go of its handler there and then, not
    # through the queue of releases (which nothing would carry out any more).
    code = textwrap.dedent("""
        import os, sys, types
        import velto_protocol as vp

        class Handler:
            def __call__(self, widget):
                pass

            def __del__(self):
                os.write(1, b"handler released\\n")

        class DropAtExit:
            def __init__(self, server):
                self.server = server
                self.write = os.write

            def __del__(self):
                self.server = None
                self.write(1, b"server dropped\\n")

        server = vp.ComSocketServer("127.0.0.1:1")
        server.on(1, "ClickButton", Handler())
        holder = types.ModuleType("_drop_at_exit")
        holder.guard = DropAtExit(server)
        sys.modules["_drop_at_exit"] = holder
    """)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, timeout=CHILD_WAIT,
                          env=python_env(), stdin=subprocess.DEVNULL)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, b"handler released\nserver dropped\n", b"")
