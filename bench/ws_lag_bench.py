"""Handler lag over WebSocket under a joystick at full rate, beside TCP's in the same run,
under the interpreter that runs this script: the twin of lag_bench.py.

A sender process (velto_tools' WsController) sends joystick frames, one binary message each,
at a fixed rate for a fixed time (each carries its sequence number in delta.x) and reports
when it sent each one, on the monotonic clock the server's handler reads too. For each rate:
the handler lag (handler call minus send) as median, 99th percentile and maximum, and how many
frames are still not handled 50 ms after the sender's last frame (the WebSocket server
dispatches on arrival); then lag_bench.py's TCP figures for the same rate (its 500 ms pass).

Usage: ws_lag_bench.py [seconds] [rate ...]   (default 5 s at 100/s and 1000/s;
                                               VELTO_BUILD names the build directory)
"""
import json
import os
import statistics
import subprocess
import sys
import time

import lag_bench
from lag_bench import ENV, free_port, percentile, vp

SETTLE_SECONDS = 0.05
TOKEN = "bench-key-0123456789"

SENDER = """
import json, socket, sys, time
from velto_tools.websocket import WsController
from velto_tools.wire import F32, frame
url, rate, seconds = sys.argv[1], float(sys.argv[2]), float(sys.argv[3])
c = WsController(url, timeout=10)
c._sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
sys.stdin.readline()  # the server serves
count = int(rate * seconds)
frames = [frame(3, "Joystick", [F32(seq), F32(0.0)], F32(0.5)) for seq in range(count)]
sent = []
start = time.monotonic()
for seq in range(count):
    due = start + seq / rate
    while True:
        now = time.monotonic()
        if now >= due:
            break
        time.sleep(min(due - now, 0.002))
    c.raw(frames[seq])
    sent.append(time.monotonic())
print(json.dumps(sent), flush=True)
sys.stdin.readline()
c.close()
"""


def run_ws(rate, seconds):
    port = free_port()
    server = vp.VeltoPiServer.use_websocket(f"127.0.0.1:{port}", token=TOKEN)
    handled = {}

    def joystick(widget):
        handled[int(widget.delta.x)] = time.monotonic()

    server.on(3, "Joystick", joystick)
    sender = subprocess.Popen([sys.executable, "-c", SENDER, server.url, str(rate), str(seconds)],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=ENV)
    saved_out = os.dup(1)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    try:
        server.open()
        server.serve()
        sender.stdin.write(b"\n")
        sender.stdin.flush()
        sent = json.loads(sender.stdout.readline())
        time.sleep(SETTLE_SECONDS)
        unhandled = len(sent) - len(handled)
        time.sleep(1.0)
        sender.stdin.write(b"\n")
        sender.stdin.flush()
        sender.wait(10)
        server.close()
        time.sleep(0.2)  # the serving thread's "Terminating." still goes to /dev/null
    finally:
        os.dup2(saved_out, 1)
        os.close(saved_out)
        os.close(null)
        if sender.poll() is None:
            sender.kill()
    lags = [(handled[seq] - sent[seq]) * 1000 for seq in handled if seq < len(sent)]
    return len(sent), lags, unhandled


def row(transport, rate, count, lags, unhandled, after):
    if lags:
        figures = f"{statistics.median(lags):10.2f} {percentile(lags, 99):8.2f} {max(lags):8.2f}"
    else:
        figures = f"{'-':>10} {'-':>8} {'-':>8}"
    print(f"{transport:>9} {rate:7g} {count:6d} {len(lags):8d} {figures} {unhandled:10d} after {after}",
          flush=True)


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 5.0
    rates = [float(r) for r in sys.argv[2:]] or [100.0, 1000.0]
    print(f"lag benchmark, WebSocket and TCP, {sys.implementation.name}, {seconds:g} s per rate, loopback")
    print(f"{'transport':>9} {'rate/s':>7} {'sent':>6} {'handled':>8} {'median ms':>10} {'p99 ms':>8} "
          f"{'max ms':>8} {'unhandled':>10}")
    for rate in rates:
        row("WebSocket", rate, *run_ws(rate, seconds), "50 ms")
        row("TCP", rate, *lag_bench.run(rate, seconds), "500 ms")


if __name__ == "__main__":
    main()
