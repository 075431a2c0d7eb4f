"""Soak: a long session against one server, checking that nothing is lost and nothing is left.

A client process sends FRAMES frames of every kind, in bursts of random size (some cut inside
a frame and finished after a pause longer than a serving pass), while every handler replies
with `callback` and the main thread sends FRAMES more replies of its own. Then `close()`.

Checked, each a failure when it does not hold:
- every frame is handled exactly once, in the order sent (so in order per widget), with the
  state it was sent with;
- the client receives every reply byte, and the bytes decode into exactly the replies sent,
  in order for each sender;
- descriptors (/proc/self/fd) and threads (/proc/self/task) are back to their count before
  `open()` once the server object is released, the serving thread being given time for one
  more pass to end;
- resident memory after a forced collection grew by less than RSS_LIMIT_KB since the end of a
  warm-up batch (the interpreter's JIT and caches fill during the warm-up).
The serving thread's progress lines (fd 1) go to /dev/null; the figures go to standard error.

With --websocket the same session runs against a WebSocketServer: the client sends each
frame as one binary message (bursts cut inside a message as well), and reads the replies out
of the server's binary messages.

Usage: soak.py [--websocket] [--frames N] [--warmup N] [--seed S]
       (VELTO_BUILD names the build directory)
"""
import argparse
import gc
import json
import os
import random
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
MODULE_DIR = os.path.join(os.environ.get("VELTO_BUILD", os.path.join(ROOT, "build")), "py",
                          sys.implementation.name)
TOOLS_DIR = os.path.join(ROOT, "python")
sys.path[:0] = [MODULE_DIR, TOOLS_DIR]

from velto_tools import wire  # noqa: E402
from velto_tools.wire import F32, ConfirmResult, ErrorResult  # noqa: E402

RSS_LIMIT_KB = 2048
PASS = 0.5  # the serving thread's pause, seconds
CUTS = 10  # bursts cut inside a frame and finished after a pause
WAIT = 300.0  # upper bound of every wait, seconds
STALL = 15.0  # seconds without a frame handled that fail the soak
CHILDREN = []  # the client process, ended if the soak fails early

# Two widgets of each kind: ids 0..11, the kind by id modulo 6.
WIDGETS = [(wid, wire.KINDS[wid % 6]) for wid in range(12)]
TOKEN = "soak-key-0123456789"


def frame_at(i, rng):
    """(frame bytes, widget id, the state the handler must see) of the i-th frame."""
    wid, kind = rng.choice(WIDGETS)
    if kind == "ToggleButton":
        state, fields = i % 2 == 0, [i % 2 == 0]
    elif kind == "PressButton":
        state, fields = i % 3 == 0, [i % 3 == 0]
    elif kind == "DirectionalButton":
        state, fields = i % 256, [i % 256]
    elif kind == "Joystick":
        # x and y carry the frame's index exactly (a float 32 holds integers up to 2**24).
        state = (float(i), float(-i), 0.25)
        fields = [[F32(i), F32(-i)], F32(0.25)]
    else:
        state, fields = None, []
    return wire.frame(wid, kind, *fields), wid, state


def plan(frames, seed):
    """Every frame's bytes, widget id and expected state, in sending order."""
    rng = random.Random(seed)
    return [frame_at(i, rng) for i in range(frames)]


def state_of(w):
    name = type(w).__name__
    if name.endswith("ToggleButton"):
        return w.value
    if name.endswith("PressButton"):
        return w.pressed
    if name.endswith("DirectionalButton"):
        return w.direction
    if name.endswith("Joystick"):
        return (w.delta.x, w.delta.y, w.intensity)
    return None


def handler_reply(n, wid):
    return wid, "Idle", ConfirmResult(n % 2 == 0)


def main_reply(n):
    return n % 256, "Busy", ErrorResult(f"m{n}")


# ---- the client, in its own process --------------------------------------------------------

def client(port, frames, warmup, seed, websocket):
    """Sends the planned frames in bursts, reads every reply until the server ends the
    connection, and prints a JSON verdict on standard output."""
    import socket

    from velto_tools.address import parse_ws_address
    from velto_tools.websocket import Message, WsReader, handshake, raw_ws_frame

    planned = plan(frames, seed)
    if websocket:
        planned = [(raw_ws_frame(2, data), wid, state) for data, wid, state in planned]
    rng = random.Random(seed + 1)
    deadline = time.monotonic() + 10
    while True:
        try:
            conn = socket.create_connection(("127.0.0.1", port), timeout=WAIT)
            break
        except OSError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.02)
    received = bytearray()
    if websocket:
        url = f"ws://127.0.0.1:{port}/#k={TOKEN}"
        received.extend(handshake(conn, parse_ws_address(url), time.monotonic() + WAIT))

    def receive():
        while True:
            chunk = conn.recv(1 << 16)
            if not chunk:
                return
            received.extend(chunk)

    reader = threading.Thread(target=receive)
    reader.start()
    i, cuts, cut_every = 0, 0, max(frames // CUTS, 1)
    while i < frames:
        if i == warmup:
            sys.stdin.readline()  # the server has measured its memory after the warm-up
        end = min(i + rng.randint(1, 3000), frames, warmup if i < warmup else frames)
        burst = b"".join(data for data, _, _ in planned[i:end])
        if i // cut_every != end // cut_every:
            # Cut inside the last frame: the serving thread holds a partial frame for a pass.
            cut = len(burst) - len(planned[end - 1][0]) // 2
            conn.sendall(burst[:cut])
            time.sleep(PASS * 1.5)
            burst = burst[cut:]
            cuts += 1
        conn.sendall(burst)
        i = end
    reader.join(WAIT)
    if websocket:
        messages = WsReader(1 << 20).feed(bytes(received))
        received = b"".join(m.payload for m in messages if isinstance(m, Message) and m.binary)
    replies, left = wire.read_replies(bytes(received))
    mine = [r for r in replies if r.status == "Idle"]
    others = [r for r in replies if r.status != "Idle"]
    expect_mine = [handler_reply(n, wid) for n, (_, wid, _) in enumerate(planned)]
    expect_others = [main_reply(n) for n in range(frames)]
    print(json.dumps({
        "bytes": len(received),
        "left_over": len(left),
        "handler_replies": len(mine),
        "handler_replies_ok": [tuple(r) for r in mine] == expect_mine,
        "main_replies": len(others),
        "main_replies_ok": [tuple(r) for r in others] == expect_others,
        "cuts": cuts,
    }))


# ---- the server, in this process ------------------------------------------------------------

def count(folder):
    return len(os.listdir(folder))


def rss_kb():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS")


def collect():
    for _ in range(3):
        gc.collect()


def wait_for(predicate, timeout):
    end = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > end:
            return False
        time.sleep(0.005)
    return True


def soak(frames, warmup, seed, report, websocket=False):
    import velto_protocol as vp

    planned = plan(frames, seed)
    expected = [(wid, state) for _, wid, state in planned]
    del planned
    port = _free_port()
    if websocket:
        server = vp.VeltoPiServer.use_websocket(f"127.0.0.1:{port}", token=TOKEN)
    else:
        server = vp.ComSocketServer(f"127.0.0.1:{port}")
    handled = [0]
    wrong = []
    collisions = [0]

    def reply(wid, status, result):
        while True:
            try:
                server.callback(wid, status, result)
                return
            except RuntimeError as e:
                # A callback of the other thread is waiting for room in the socket buffer.
                if str(e) != "Already borrowed":
                    raise
                collisions[0] += 1
                time.sleep(0.0005)

    def handler(wid):
        def handle(w):
            n = handled[0]
            if n >= len(expected) or (wid, state_of(w)) != expected[n]:
                wrong.append((n, wid, state_of(w)))
            handled[0] = n + 1
            reply(wid, vp.ServerStatus.Idle, vp.ConfirmResult(n % 2 == 0))
        return handle

    for wid, kind in WIDGETS:
        server.on(wid, kind, handler(wid))

    env = dict(os.environ, PYTHONPATH=TOOLS_DIR)
    proc = subprocess.Popen([sys.executable, __file__, "--client", str(port), "--frames", str(frames),
                             "--warmup", str(warmup), "--seed", str(seed)] + (["--websocket"] if websocket else []), stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
    CHILDREN.append(proc)
    fds_before, threads_before = count("/proc/self/fd"), count("/proc/self/task")

    server.open()
    server.serve()
    sent = 0
    progress = {"seen": -1, "since": 0.0}

    def check_progress(what, n):
        """Fails once no frame was handled for STALL seconds."""
        if handled[0] != progress["seen"]:
            progress.update(seen=handled[0], since=time.monotonic())
        elif time.monotonic() - progress["since"] > STALL:
            raise AssertionError(f"{what}: {handled[0]} of {n} frames handled, none for {STALL:.0f} s")

    def send_main_replies(limit):
        """Main-thread replies, kept close behind the handled frames until `limit`."""
        nonlocal sent
        while sent < limit:
            target = min(limit, handled[0] + 200)
            if sent >= target:
                check_progress("replies", limit)
                time.sleep(0.001)
                continue
            while sent < target:
                wid, _, result = main_reply(sent)
                reply(wid, vp.ServerStatus.Busy, vp.ErrorResult(result.error))
                sent += 1

    def until(n, what):
        while handled[0] < n:
            check_progress(what, n)
            time.sleep(0.01)

    send_main_replies(warmup)
    until(warmup, "warm-up")
    collect()
    rss_warm = rss_kb()
    start = time.monotonic()
    proc.stdin.write(b"go\n")
    proc.stdin.flush()
    send_main_replies(frames)
    until(frames, "soak")
    elapsed = time.monotonic() - start
    server.close()

    # The thread ends at its next pass. The object itself keeps one descriptor after close()
    # (the flag wait_disconnected() looks at) until it is released.
    wait_for(lambda: count("/proc/self/task") == threads_before, PASS * 2 + 1)
    fds_closed = count("/proc/self/fd")
    del server  # the handlers reach it only through this variable: no cycle is left
    collect()
    back = wait_for(lambda: (count("/proc/self/fd"), count("/proc/self/task")) == (fds_before, threads_before),
                    PASS * 2 + 1)
    fds_after, threads_after = count("/proc/self/fd"), count("/proc/self/task")
    rss_end = rss_kb()
    out, _ = proc.communicate(timeout=WAIT)
    verdict = json.loads(out)

    main_batch = frames - warmup
    report(f"{sys.implementation.name} {sys.version.split()[0]}, {'WebSocket' if websocket else 'TCP'}: "
           f"{frames} frames (seed {seed}), "
           f"{frames} main-thread replies")
    report(f"  after the warm-up: {main_batch / elapsed:.0f} frames/s, {2 * main_batch / elapsed:.0f} replies/s "
           f"({elapsed:.1f} s; {verdict['cuts']} frames cut across a pause; {collisions[0]} callbacks retried "
           f"after 'Already borrowed')")
    report(f"  descriptors {fds_before} -> {fds_closed} after close() -> {fds_after} without the object, threads {threads_before} -> {threads_after}, "
           f"RSS {rss_warm} kB -> {rss_end} kB ({rss_end - rss_warm:+d} kB)")
    report(f"  client: {verdict}")

    failures = []
    if handled[0] != frames or wrong:
        failures.append(f"{handled[0]} frames handled of {frames}; wrong: {wrong[:5]}")
    if proc.returncode != 0:
        failures.append(f"client exited with {proc.returncode}")
    if verdict["left_over"] or verdict["handler_replies"] != frames or verdict["main_replies"] != frames:
        failures.append("replies lost or undecodable")
    if not (verdict["handler_replies_ok"] and verdict["main_replies_ok"]):
        failures.append("replies differ from those sent")
    if not back:
        failures.append("descriptors or threads left behind")
    if rss_end - rss_warm >= RSS_LIMIT_KB:
        failures.append(f"memory grew by {rss_end - rss_warm} kB")
    return failures


def _free_port():
    import socket

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--frames", type=int, default=100_000)
    parser.add_argument("--warmup", type=int, default=20_000,
                        help="frames (and main-thread replies) before memory is measured")
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--websocket", action="store_true", help="against a WebSocketServer")
    parser.add_argument("--client", type=int, default=None, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.client is not None:
        return client(args.client, args.frames, args.warmup, args.seed, args.websocket)

    seed = args.seed if args.seed is not None else random.randrange(1 << 30)
    err = os.fdopen(os.dup(2), "w", buffering=1)
    # The serving thread's progress lines: to /dev/null, through the descriptor it writes to.
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    os.close(null)
    try:
        failures = soak(args.frames, args.warmup, seed, lambda line: print(line, file=err), args.websocket)
    except AssertionError as e:
        failures = [str(e)]
    finally:
        for child in CHILDREN:
            if child.poll() is None:
                child.kill()
                child.wait()
    for failure in failures:
        print(f"soak FAILED (seed {seed}): {failure}", file=err)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
