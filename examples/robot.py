"""A typed example program: drives two motors from a joystick, serves one controller after
another, and stops the motors when no frame came for a while (a watchdog).

Usage: robot.py [--web] [ADDRESS]   (default 127.0.0.1:9000; Ctrl-C ends it)

With --web it serves a browser instead of the controller app: open the address it prints
("velto_protocol: controller page at http://...") on a phone or laptop on the same network
(bind to an address of that network, or 0.0.0.0 on a network you trust).
"""
import sys
import threading
import time

from velto_protocol import (ComSocketServer, ConfirmResult, ErrorResult, ServerStatus, VeltoPiServer,
                            WebSocketServer, WidgetRegistry, on)
from velto_tools import serve_forever

WATCHDOG_SECONDS = 1.0


class Motors:
    """Stands in for the motor driver: remembers and prints the speeds."""

    def __init__(self) -> None:
        self.left = self.right = 0.0

    def drive(self, left: float, right: float) -> None:
        if (left, right) != (self.left, self.right):
            print(f"[motors] left {left:+.2f} right {right:+.2f}", flush=True)
        self.left, self.right = left, right

    def stop(self) -> None:
        self.drive(0.0, 0.0)


class Watchdog:
    """Stops the motors when `feed()` was not called for `seconds`."""

    def __init__(self, motors: Motors, seconds: float) -> None:
        self.motors, self.seconds = motors, seconds
        self.last = time.monotonic()
        self.lock = threading.Lock()
        threading.Thread(target=self.run, daemon=True).start()

    def feed(self) -> None:
        with self.lock:
            self.last = time.monotonic()

    def run(self) -> None:
        while True:
            time.sleep(self.seconds / 4)
            with self.lock:
                quiet = time.monotonic() - self.last > self.seconds
            if quiet:
                self.motors.stop()


def main(address: str, web: bool = False) -> None:
    server: ComSocketServer | WebSocketServer
    server = VeltoPiServer.use_websocket(address) if web else ComSocketServer(address)
    motors = Motors()
    watchdog = Watchdog(motors, WATCHDOG_SECONDS)

    @on(server)
    def Joystick_0(w: WidgetRegistry.Joystick) -> None:
        watchdog.feed()
        x, y, power = w.delta.x, w.delta.y, w.intensity
        if not (0.0 <= power <= 1.0 and -1.0 <= x <= 1.0 and -1.0 <= y <= 1.0):
            server.callback(0, ServerStatus.Error, ErrorResult("joystick out of range"))
            return
        motors.drive(power * max(-1.0, min(1.0, y + x)), power * max(-1.0, min(1.0, y - x)))
        server.callback(0, ServerStatus.Idle, ConfirmResult(True))

    def halt(w: WidgetRegistry.ClickButton) -> None:
        motors.stop()
        server.callback(1, ServerStatus.Idle, ConfirmResult(True))

    server.on(1, "ClickButton", halt)
    serve_forever(server, address, on_connect=lambda: print("[robot] controller connected", flush=True),
                  on_disconnect=motors.stop)
    motors.stop()


if __name__ == "__main__":
    args = sys.argv[1:]
    web = "--web" in args
    rest = [a for a in args if a != "--web"]
    main(rest[0] if rest else "127.0.0.1:9000", web)
