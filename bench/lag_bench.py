"""Handler lag under a joystick at full rate, run under the interpreter that runs this script.

A sender process sends joystick frames on loopback at a fixed rate for a fixed time (each
frame carries its sequence number in delta.x) and reports when it sent each one, on the
monotonic clock the server's handler reads too. For each rate: the handler lag (handler call
minus send) as median, 99th percentile and maximum, and how many frames are still not
handled one serving pass (500 ms) after the sender's last frame.

Usage: lag_bench.py [seconds] [rate ...]   (default 5 s at 100/s and 1000/s;
                                            VELTO_BUILD names the build directory)
"""
import json
import os
import socket
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
MODULE_DIR = os.path.join(os.environ.get("VELTO_BUILD", os.path.join(ROOT, "build")), "py",
                          sys.implementation.name)
TOOLS_DIR = os.path.join(ROOT, "python")
sys.path[:0] = [MODULE_DIR, TOOLS_DIR]

import velto_protocol as vp  # noqa: E402

PASS_SECONDS = 0.5
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join([MODULE_DIR, TOOLS_DIR]))

# Connects, sends `rate` frames a second for `seconds` (each at its own due time, so the rate
# holds even when one send is late), then prints the send times as JSON and waits for stdin.
SENDER = """
import json, socket, sys, time
from velto_tools.wire import F32, frame
port, rate, seconds = int(sys.argv[1]), float(sys.argv[2]), float(sys.argv[3])
for _ in range(500):
    try:
        c = socket.create_connection(("127.0.0.1", port)); break
    except OSError:
        time.sleep(0.01)
c.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
sys.stdin.readline()  # the server serves
count = int(rate * seconds)
sent = []
start = time.monotonic()
for seq in range(count):
    due = start + seq / rate
    while True:
        now = time.monotonic()
        if now >= due:
            break
        time.sleep(min(due - now, 0.002))
    c.sendall(frame(3, "Joystick", [F32(seq), F32(0.0)], F32(0.5)))
    sent.append(time.monotonic())
print(json.dumps(sent), flush=True)
sys.stdin.readline()
c.close()
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100 * (len(ordered) - 1))))]


def run(rate, seconds):
    port = free_port()
    server = vp.ComSocketServer(f"127.0.0.1:{port}")
    handled = {}

    def joystick(widget):
        handled[int(widget.delta.x)] = time.monotonic()

    server.on(3, "Joystick", joystick)
    sender = subprocess.Popen([sys.executable, "-c", SENDER, str(port), str(rate), str(seconds)],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=ENV)
    # The serving thread's progress lines would dominate the terminal: they go to /dev/null.
    saved_out = os.dup(1)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    try:
        server.open()
        server.serve()
        sender.stdin.write(b"\n")
        sender.stdin.flush()
        sent = json.loads(sender.stdout.readline())
        time.sleep(PASS_SECONDS)  # one pass after the sender's last frame
        unhandled = len(sent) - len(handled)
        time.sleep(3 * PASS_SECONDS)  # what is still queued arrives for the lag figures
        sender.stdin.write(b"\n")
        sender.stdin.flush()
        sender.wait(10)
        server.close()
        time.sleep(2 * PASS_SECONDS)
    finally:
        os.dup2(saved_out, 1)
        os.close(saved_out)
        os.close(null)
        if sender.poll() is None:
            sender.kill()
    lags = [(handled[seq] - sent[seq]) * 1000 for seq in handled if seq < len(sent)]
    return len(sent), lags, unhandled


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 5.0
    rates = [float(r) for r in sys.argv[2:]] or [100.0, 1000.0]
    print(f"lag benchmark, {sys.implementation.name}, {seconds:g} s per rate, loopback")
    print(f"{'rate/s':>7} {'sent':>6} {'handled':>8} {'median ms':>10} {'p99 ms':>8} {'max ms':>8} "
          f"{'unhandled after one pass':>25}")
    for rate in rates:
        count, lags, unhandled = run(rate, seconds)
        if lags:
            figures = (f"{statistics.median(lags):10.1f} {percentile(lags, 99):8.1f} "
                       f"{max(lags):8.1f}")
        else:
            figures = f"{'-':>10} {'-':>8} {'-':>8}"
        print(f"{rate:7g} {count:6d} {len(lags):8d} {figures} {unhandled:25d}", flush=True)


if __name__ == "__main__":
    main()
