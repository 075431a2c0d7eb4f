"""Server benchmarks, run under the interpreter that runs this script.

1. callback: cost per reply on loopback with a draining client, against a pure-Python peer
   doing the same reply (msgpack.packb + sendall on CPython, a small hand-written encoder
   on PyPy) and against the floor (sendall of the already-encoded bytes).
2. dispatch: time between consecutive handler calls when 50 frames arrive in one read,
   progress lines sent to /dev/null, and the cost of those lines themselves (one write per
   frame, against one write per line).
3. latency: client send to handler call, median over 20 frames; frames per pass for a
   burst of 50.

Usage: server_bench.py  (VELTO_BUILD names the build directory, default build/)
"""
import os
import socket
import statistics
import struct
import subprocess
import sys
import textwrap
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
MODULE_DIR = os.path.join(os.environ.get("VELTO_BUILD", os.path.join(ROOT, "build")), "py",
                          sys.implementation.name)
TOOLS_DIR = os.path.join(ROOT, "python")
sys.path[:0] = [MODULE_DIR, TOOLS_DIR]

import velto_protocol as vp  # noqa: E402
from velto_tools.wire import frame  # noqa: E402

IMPL = sys.implementation.name
# The user-mode emulator the program runs under, where scripts/i386-root.sh runs its root so.
EMULATOR = os.environ.get("VELTO_EMULATOR")
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join([MODULE_DIR, TOOLS_DIR]))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


DRAIN = """
import socket, sys, time
for port in map(int, sys.argv[1:]):
    for _ in range(500):
        try:
            c = socket.create_connection(("127.0.0.1", port)); break
        except OSError:
            time.sleep(0.01)
    import threading
    def drain(c=c):
        while c.recv(1 << 16):
            pass
    threading.Thread(target=drain).start()
"""


if IMPL == "cpython":
    import msgpack

    def peer_encode(wid, status, ok):
        return msgpack.packb([wid, status, {"ConfirmResult": [ok]}])

    PEER = "msgpack.packb"
else:  # PyPy: msgpack's fallback is pure Python; a hand-written encoder is the fair peer
    _STATUS = {name: bytes([0xA0 | len(name)]) + name.encode() for name in ("NotInit", "Idle", "Busy", "Error")}
    _CONFIRM = b"\x81\xadConfirmResult\x91"

    def peer_encode(wid, status, ok):
        head = b"\x93" + (bytes([wid]) if wid < 128 else b"\xcc" + bytes([wid]))
        return head + _STATUS[status] + _CONFIRM + (b"\xc3" if ok else b"\xc2")

    PEER = "hand-written encoder"


def bench_callback(n=20000, rounds=5):
    port_module, port_peer = free_port(), free_port()
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", port_peer))
    listener.listen(1)
    drain = subprocess.Popen([sys.executable, "-c", DRAIN, str(port_module), str(port_peer)], env=ENV)
    server = vp.ComSocketServer(f"127.0.0.1:{port_module}")
    server.open()
    peer, _ = listener.accept()
    listener.close()
    status, ok = vp.ServerStatus.Idle, vp.ConfirmResult(True)
    encoded = peer_encode(1, "Idle", True)
    assert len(encoded) == 24

    def module():
        cb = server.callback
        for _ in range(n):
            cb(1, status, ok)

    def pure_python():
        send = peer.sendall
        for _ in range(n):
            send(peer_encode(1, "Idle", True))

    def floor():
        send = peer.sendall
        for _ in range(n):
            send(encoded)

    best = {}
    for _ in range(rounds):  # interleaved, best of rounds
        for name, fn in (("module", module), ("peer", pure_python), ("floor", floor)):
            t = time.perf_counter()
            fn()
            per_call = (time.perf_counter() - t) / n * 1e6
            best[name] = min(best.get(name, 1e9), per_call)
    server.close()
    peer.close()
    drain.wait(timeout=10)
    return best


SERVER = """
import os, sys, time
import velto_protocol as vp
times = []
def handler(w):
    times.append(time.monotonic())
    if REPLY:
        server.callback(1, vp.ServerStatus.Idle, vp.ConfirmResult(True))
REPLY = sys.argv[3] == "reply"
server = vp.ComSocketServer(sys.argv[1])
server.on(1, "ToggleButton", handler)
server.open()
server.serve()
n = int(sys.argv[2])
deadline = time.monotonic() + 60
while len(times) < n and time.monotonic() < deadline:
    time.sleep(0.01)
server.close()
os.write(2, (" ".join(repr(t) for t in times) + "\\n").encode())
"""


def run_server(n, client, reply=False):
    """Runs a server process with progress lines to /dev/null, `client(conn)` against it;
    returns the handler call times (monotonic, comparable across processes)."""
    port = free_port()
    with open(os.devnull, "w") as null:
        proc = subprocess.Popen([sys.executable, "-c", SERVER, f"127.0.0.1:{port}", str(n),
                                 "reply" if reply else "quiet"],
                                stdout=null, stderr=subprocess.PIPE, env=ENV)
    for _ in range(500):
        try:
            conn = socket.create_connection(("127.0.0.1", port))
            break
        except OSError:
            time.sleep(0.01)
    with conn:
        client(conn)
        _, err = proc.communicate(timeout=120)
    return [float(t) for t in err.decode().split()]


def bench_dispatch():
    burst = frame(1, "ToggleButton", True) * 50
    assert len(burst) <= 1024
    times = run_server(50, lambda conn: conn.sendall(burst))
    gaps = [(b - a) * 1e6 for a, b in zip(times, times[1:])]
    return statistics.median(gaps), len(times)


def bench_lines(n=20000):
    """The cost of one frame's progress lines written to /dev/null (Python os.write): one
    write per line, as the serving thread once wrote them, and the one write per frame of a
    burst that it makes now (the lines after a call go out with those before the next)."""
    fd = os.open(os.devnull, os.O_WRONLY)
    per_line = [b"Found frame ! 1\n", b"running action\n", b"after function\n", b"done\n"]
    grouped = [b"after function\ndone\nFound frame ! 1\nrunning action\n"]
    write = os.write
    costs = []
    for lines in (per_line, grouped):
        t = time.perf_counter()
        for _ in range(n):
            for line in lines:
                write(fd, line)
        costs.append((time.perf_counter() - t) / n * 1e6)
    os.close(fd)
    return costs


def bench_latency(frames=20):
    """Median time from a client's send to the handler's call, for frames that arrive while
    the serving thread waits in its read, and for frames sent just after the previous one was
    handled (they wait for the thread's pause)."""
    results = {}
    for mode in ("waiting", "paused"):
        sends = []

        def client(conn):
            for _ in range(frames):
                if mode == "waiting":
                    time.sleep(0.6)  # longer than the pause: the thread is in its read
                sends.append(time.monotonic())
                conn.sendall(frame(1, "ToggleButton", True))
                got = b""
                while len(got) < 24:  # the handler's reply: the frame was handled
                    got += conn.recv(64)

        times = run_server(frames, client, reply=True)
        results[mode] = statistics.median((h - s) * 1e3 for s, h in zip(sends, times))
    return results


def bench_burst():
    """Handler calls per serving pass for 50 frames sent at once."""
    burst = frame(1, "ToggleButton", True) * 50
    times = run_server(50, lambda conn: conn.sendall(burst))
    return sum(1 for t in times if t - times[0] < 0.25)


def main():
    print(f"{IMPL} {sys.version.split()[0]}")
    if EMULATOR:
        print(f"EMULATED ({EMULATOR}): these figures are indicative only; neither they nor the ratios "
              f"between the module and the peer carry over to real hardware")
    cb = bench_callback()
    print(f"callback per reply: module {cb['module']:.2f} us, pure-Python peer ({PEER}) "
          f"{cb['peer']:.2f} us, floor (sendall of encoded bytes) {cb['floor']:.2f} us")
    print(f"  ratios: module/peer {cb['module'] / cb['peer']:.2f}, module/floor {cb['module'] / cb['floor']:.2f}")
    gap, calls = bench_dispatch()
    per_line, grouped = bench_lines()
    print(f"dispatch: {gap:.2f} us between handler calls ({calls} frames in one read, lines to /dev/null); "
          f"a frame's progress lines cost {grouped:.2f} us in the one write the thread makes "
          f"({per_line:.2f} us as four writes; Python os.write); without them about {max(gap - grouped, 0):.2f} us")
    latency = bench_latency()
    print(f"latency send -> handler (median of 20): {latency['paused']:.1f} ms when the frame waits for "
          f"the pause, {latency['waiting']:.2f} ms when the thread waits in its read")
    print(f"burst of 50 frames: {bench_burst()} handled in the first pass")


if __name__ == "__main__":
    main()
