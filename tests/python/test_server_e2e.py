"""The socket server end to end: a real TCP client on 127.0.0.1 against a server program in
its own process, whose progress lines (fd 1) and reports (fd 2) are checked."""
import socket
import time

import pytest

from support import WAIT, ServerProcess, connect, free_port, needs_process_signals
from velto_tools.wire import F32, frame, pack

# A program that registers a recording handler for the widgets the tests use, serves one
# client and closes when told so on stdin.
RECORDING_SERVER = """
server = vp.ComSocketServer(f"127.0.0.1:{PORT}")
def show(w):
    fields = {name: getattr(w, name) for name in (type(w).__match_args__ or ())}
    if "delta" in fields:
        fields["delta"] = (fields["delta"].x, fields["delta"].y)
    print("handler", type(w).__name__, sorted(fields.items()), flush=True)
for kind, wid in [("ClickButton", 0), ("ToggleButton", 1), ("ConfirmButton", 2),
                  ("PressButton", 3), ("DirectionalButton", 4), ("Joystick", 5)]:
    server.on(wid, kind, show)
def failing(w):
    raise ValueError("boom")
server.on(9, "ClickButton", failing)
def quitting(w):
    sys.exit(3)
server.on(10, "ClickButton", quitting)
def interrupted(w):
    raise KeyboardInterrupt("stop")
server.on(11, "ClickButton", interrupted)
server.open()
server.serve()
print("serving", flush=True)
sys.stdin.readline()
server.close()
print("closed", flush=True)
time.sleep(1.2)
"""


def run(body, steps):
    """Starts `body`, connects, runs `steps(conn, server)`, tells it to close; returns
    (stdout lines, stderr text)."""
    port = free_port()
    with ServerProcess(body, port) as server:
        conn = connect(port)
        with conn:
            steps(conn, server)
            try:
                server.proc.stdin.write(b"\n")
                server.proc.stdin.flush()
            except BrokenPipeError:
                pass
            rc, out, err = server.finish()
    assert rc == 0, err
    return out.splitlines(), err


def settle(seconds=1.6):
    """Long enough for the serving thread to run two passes (three on a busy machine)."""
    time.sleep(seconds)


KINDS = [
    (frame(0, "ClickButton"), "handler WidgetRegistry_ClickButton []"),
    (frame(1, "ToggleButton", True), "handler WidgetRegistry_ToggleButton [('value', True)]"),
    (frame(2, "ConfirmButton"), "handler WidgetRegistry_ConfirmButton []"),
    (frame(3, "PressButton", False), "handler WidgetRegistry_PressButton [('pressed', False)]"),
    (frame(4, "DirectionalButton", 255), "handler WidgetRegistry_DirectionalButton [('direction', 255)]"),
    (
        frame(5, "Joystick", [F32(0.5), F32(-1.0)], F32(0.75)),
        "handler WidgetRegistry_Joystick [('delta', (0.5, -1.0)), ('intensity', 0.75)]",
    ),
]


def test_every_kind_reaches_its_handler_with_the_right_object():
    def steps(conn, server):
        for data, _ in KINDS:
            conn.sendall(data)
            settle(0.6)
        settle()

    lines, err = run(RECORDING_SERVER, steps)
    handled = [line for line in lines if line.startswith("handler")]
    assert handled == [expected for _, expected in KINDS]
    i = 0
    for (data, _), wid in zip(KINDS, range(6)):
        i = lines.index(f"Received size : {len(data)}", i)
        assert lines[i + 1 : i + 3] == [f"Found frame ! {wid}", "running action"]
        assert lines[i + 4 : i + 6] == ["after function", "done"]
        i += 1
    assert err == ""


def test_unknown_key_is_reported_and_serving_goes_on():
    def steps(conn, server):
        conn.sendall(frame(4, "Joystick", [F32(0), F32(0)], F32(0)))
        settle(0.6)
        conn.sendall(frame(0, "ClickButton"))
        settle()

    lines, _ = run(RECORDING_SERVER, steps)
    assert "No key Joystick_4 found" in lines
    i = lines.index("No key Joystick_4 found")
    assert lines[i + 1] == "done"
    assert "handler WidgetRegistry_ClickButton []" in lines


def test_several_frames_in_one_read_are_all_dispatched_in_order():
    data = frame(1, "ToggleButton", True) + frame(3, "PressButton", True) + frame(0, "ClickButton")

    def steps(conn, server):
        conn.sendall(data)
        settle()

    lines, _ = run(RECORDING_SERVER, steps)
    assert lines.count(f"Received size : {len(data)}") == 1
    assert [line for line in lines if line.startswith("handler")] == [
        "handler WidgetRegistry_ToggleButton [('value', True)]",
        "handler WidgetRegistry_PressButton [('pressed', True)]",
        "handler WidgetRegistry_ClickButton []",
    ]
    assert lines.count("done") == 3


def big_frame():
    """A 1500-byte frame: the map form with a long key that the decoder skips."""
    body = pack({"padding": "x" * 1463, "id": 1, "data": {"ToggleButton": [True]}})
    assert len(body) == 1500
    return body


def test_frame_split_over_reads_is_completed():
    data = big_frame()
    assert len(data) > 1024

    def steps(conn, server):
        conn.sendall(data[:700])  # one pass sees only the first part
        settle(0.7)
        conn.sendall(data[700:])
        settle()

    lines, err = run(RECORDING_SERVER, steps)
    assert "handler WidgetRegistry_ToggleButton [('value', True)]" in lines
    assert err == ""


def test_frame_larger_than_a_read_is_received_whole():
    data = big_frame()

    def steps(conn, server):
        conn.sendall(data)
        settle(2.2)  # two reads

    lines, err = run(RECORDING_SERVER, steps)
    assert "Received size : 1024" in lines
    assert f"Received size : {len(data) - 1024}" in lines
    assert "handler WidgetRegistry_ToggleButton [('value', True)]" in lines
    assert err == ""


def test_bad_input_is_reported_and_serving_goes_on():
    def steps(conn, server):
        conn.sendall(bytes.fromhex("92 01 a6 53 6c 69 64 65 72"))  # kind Slider
        settle(0.7)
        conn.sendall(frame(0, "ClickButton"))
        settle()

    lines, err = run(RECORDING_SERVER, steps)
    assert (
        "unknown variant `Slider`, expected one of `ClickButton`, `ToggleButton`, `ConfirmButton`, "
        "`PressButton`, `DirectionalButton`, `Joystick`" in err
    )
    assert "handler WidgetRegistry_ClickButton []" in lines
    assert "Terminating." in lines


@pytest.mark.parametrize(
    "wid, report, function",
    [
        (9, "ValueError: boom", "failing"),
        (10, "SystemExit: 3", "quitting"),
        (11, "KeyboardInterrupt: stop", "interrupted"),
    ],
    ids=["exception", "SystemExit", "KeyboardInterrupt"],
)
def test_failing_handler_is_reported_with_traceback_and_serving_goes_on(wid, report, function):
    # SystemExit and KeyboardInterrupt end neither the serving thread nor the program (the
    # program exits with its own code 0 after close()).
    def steps(conn, server):
        conn.sendall(frame(wid, "ClickButton"))
        settle(0.7)
        conn.sendall(frame(0, "ClickButton"))
        settle()

    lines, err = run(RECORDING_SERVER, steps)
    head, _, rest = err.partition(f"velto_protocol: Action failed {report}\n")
    assert rest, err
    traceback = rest.splitlines()
    assert traceback[0] == "Traceback (most recent call last):"
    assert traceback[-2].endswith(f", in {function}")
    assert traceback[-1] == report.rstrip()
    assert "internal failure" not in err
    i = lines.index("running action")
    assert "after function" not in lines[i : i + 2]
    assert "handler WidgetRegistry_ClickButton []" in lines
    assert "Terminating." in lines


# A "quit" button as the README shows it: the handler sends the process SIGINT, which ends
# the main thread's wait in open() (here for a second controller that never comes).
QUIT_BUTTON_SERVER = """
import os, signal
server = vp.ComSocketServer(f"127.0.0.1:{PORT}")
server.on(9, "ClickButton", lambda widget: os.kill(os.getpid(), signal.SIGINT))
server.open()
server.serve()
print("serving", flush=True)
spare = vp.ComSocketServer("127.0.0.1:0")
try:
    spare.open()
except KeyboardInterrupt:
    print("quit requested", flush=True)
server.close()
sys.exit(5)
"""


@needs_process_signals
def test_a_handler_ends_the_program_through_sigint():
    port = free_port()
    with ServerProcess(QUIT_BUTTON_SERVER, port) as server:
        with connect(port) as conn:
            assert server.proc.stdout.readline() == b"serving\n"
            conn.sendall(frame(9, "ClickButton"))
            rc, out, err = server.finish()
    assert rc == 5, err
    assert "quit requested" in out
    assert "Action failed" not in err


# Replaces standard output or error with a pipe of its own that it never drains, filled so
# that the serving thread's first line under the lock in the old order cannot be written
# ("running action" on fd 1, the handler's report on fd 2), then checks that its own
# thread still runs.
STALLED_OUTPUT_SERVER = """
import fcntl, os, socket, termios
server = vp.ComSocketServer(f"127.0.0.1:{PORT}")
def failing(w):
    raise ValueError("boom")
server.on(1, "ClickButton", failing)
client = None
def dial():
    global client
    end = time.monotonic() + 10
    while client is None:
        try:
            client = socket.create_connection(("127.0.0.1", PORT), timeout=10)
        except ConnectionRefusedError:
            if time.monotonic() > end:
                raise
            time.sleep(0.01)
dialer = threading.Thread(target=dial)
dialer.start()
server.open()
dialer.join()
FRAME, FD, FITS = ARGS
# Every page of the pipe full, then one page read and all but FITS bytes of it written
# again: what the serving thread writes before the line under test fits, that line does not.
r, w = os.pipe()
os.dup2(w, FD)
os.set_blocking(w, False)
page = b"x" * 4096
filled = 0
try:
    while True:
        filled += os.write(w, page)
except BlockingIOError:
    pass
os.set_blocking(w, True)
filled -= len(os.read(r, 4096))
filled += os.write(w, b"x" * (4096 - len(FITS)))
def written():
    # What the serving thread has written to the pipe so far, without reading it.
    held = fcntl.ioctl(r, termios.FIONREAD, b"\\0" * 4)
    return int.from_bytes(held, sys.byteorder) - filled
server.serve()
client.sendall(FRAME)
end = time.monotonic() + 10
while written() < len(FITS) and time.monotonic() < end:
    time.sleep(0.05)  # the lock is needed to return from this
time.sleep(1.5)  # two passes: the serving thread is blocked in its next write by then
os.write(3 - FD, b"main thread went on; the serving thread wrote %d bytes\\n" % written())
os._exit(0)
"""


@pytest.mark.parametrize("fd", [1, 2], ids=["stdout", "stderr"])
def test_an_output_that_does_not_drain_stalls_only_the_serving_thread(fd):
    port = free_port()
    click = frame(1, "ClickButton")
    # "running action" goes out in one write with the lines before it.
    fits = b""
    body = STALLED_OUTPUT_SERVER.replace("ARGS", repr((click, fd, fits)))
    with ServerProcess(body, port) as server:
        rc, out, err = server.finish()
    assert rc == 0, err
    assert f"main thread went on; the serving thread wrote {len(fits)} bytes" in (err if fd == 1 else out)


# Points fd 1 at a SOCK_SEQPACKET socket, which keeps each write a record of its own, and
# writes the records of the progress lines to fd 2 once DONES frames are done.
WRITES_SERVER = """
import os, socket
records, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
os.dup2(theirs.fileno(), 1)
server = vp.ComSocketServer(f"127.0.0.1:{PORT}")
server.on(1, "ToggleButton", lambda w: None)
server.open()
server.serve()
records.settimeout(10)
writes = []
while b"".join(writes).count(b"done\\n") < DONES:
    writes.append(records.recv(4096))
os.write(2, b"writes %r\\n" % writes)
os._exit(0)
"""


@pytest.mark.parametrize(
    "sent, writes",
    [
        (frame(1, "ToggleButton", True),
         [b"Received size : 18\nFound frame ! 1\nrunning action\n", b"after function\ndone\n"]),
        # a frame nobody handles adds its lines to those of the frame before it
        (frame(1, "ToggleButton", True) + frame(7, "ClickButton"),
         [b"Received size : 34\nFound frame ! 1\nrunning action\n",
          b"after function\ndone\nNo key ClickButton_7 found\ndone\n"]),
        (frame(1, "ToggleButton", True) * 2,
         [b"Received size : 36\nFound frame ! 1\nrunning action\n",
          b"after function\ndone\nFound frame ! 1\nrunning action\n", b"after function\ndone\n"]),
    ],
    ids=["one-frame", "unknown-key-after-a-frame", "two-frames"],
)
def test_progress_lines_of_a_frame_go_out_in_one_write_before_and_one_after_the_call(sent, writes):
    port = free_port()
    body = WRITES_SERVER.replace("DONES", str(b"".join(writes).count(b"done\n")))
    with ServerProcess(body, port) as server:
        with connect(port) as conn:
            conn.sendall(sent)
            rc, _, err = server.finish()
    assert rc == 0, err
    assert f"writes {writes!r}" in err.splitlines()


PANIC_SERVER = """
server = vp.ComSocketServer(f"127.0.0.1:{PORT}")
try:
    vp.on(server)(lambda: None)
except BaseException as e:
    PANIC = e  # a PanicException instance, to raise from a handler
def panicking(w):
    raise type(PANIC)("handler gave up")
server.on(0, "ClickButton", panicking)
server.open()
server.serve()
sys.stdin.readline()
print("ended:", server.wait_disconnected(10), flush=True)
for _ in range(2):
    try:
        server.close()
        print("close: ok", flush=True)
    except RuntimeError as e:
        print("close:", e, flush=True)
"""


def test_panic_from_handler_ends_the_serving_thread_and_close_lets_go():
    def steps(conn, server):
        conn.sendall(frame(0, "ClickButton"))
        settle()

    lines, err = run(PANIC_SERVER, steps)
    assert "handler gave up" in err
    # The thread ended on its own: close() is quiet, and so is the next one.
    assert lines[-3:] == ["ended: True", "close: ok", "close: ok"]


def test_close_takes_effect_without_the_client():
    received = []

    def steps(conn, server):
        settle(0.7)
        server.proc.stdin.write(b"\n")
        server.proc.stdin.flush()
        time.sleep(0.3)
        try:
            conn.sendall(frame(0, "ClickButton"))  # after close(): not dispatched
        except OSError:
            pass
        conn.settimeout(WAIT)
        received.append(conn.recv(10))  # the thread's shutdown ends the connection

    lines, _ = run(RECORDING_SERVER, steps)
    assert received == [b""]
    assert "Terminating." in lines
    assert not any(line.startswith("handler") for line in lines)
    assert lines.index("closed") < lines.index("Terminating.")


def test_client_that_closes_its_side_gets_zero_reads_until_close():
    def steps(conn, server):
        conn.sendall(frame(0, "ClickButton"))
        conn.shutdown(socket.SHUT_WR)
        settle(1.3)

    lines, _ = run(RECORDING_SERVER, steps)
    assert "handler WidgetRegistry_ClickButton []" in lines
    assert lines.count("Received size : 0") >= 1
    assert lines[-1] == "Terminating."


BUSY_SERVER = """
server = vp.ComSocketServer(f"127.0.0.1:{PORT}")
calls = []
server.on(0, "ClickButton", calls.append)
server.open()
server.serve()
end = time.monotonic() + 2.5
n = 0
while time.monotonic() < end:  # the main thread stays busy in Python code
    n += 1
print("handled", len(calls), flush=True)
server.close()
time.sleep(0.8)
"""


def test_serving_thread_takes_the_lock_from_a_busy_main_thread():
    def steps(conn, server):
        for _ in range(3):
            conn.sendall(frame(0, "ClickButton"))
            time.sleep(0.6)

    lines, err = run(BUSY_SERVER, steps)
    assert "handled 3" in lines, err
