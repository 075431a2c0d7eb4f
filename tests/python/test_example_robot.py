"""examples/robot.py end to end: joystick to motors, a refused value, the watchdog, Ctrl-C."""
import os
import signal
import subprocess
import sys
import threading

import pytest

import velto_protocol as vp
from support import WAIT, free_port, needs_process_signals, python_env, wait_until
from velto_tools.controller import Controller
from velto_tools.wire import ConfirmResult, ErrorResult, Reply

ROBOT = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "robot.py")


@pytest.mark.skipif(not hasattr(vp.ComSocketServer, "wait_disconnected"),
                    reason="this build's ComSocketServer has no wait_disconnected yet (serve_forever needs it)")
@needs_process_signals
def test_robot_drives_refuses_and_stops_when_the_controller_goes_quiet():
    address = f"127.0.0.1:{free_port()}"
    env = python_env(PYTHONUNBUFFERED="1")
    proc = subprocess.Popen([sys.executable, ROBOT, address], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    lines = []
    reader = threading.Thread(target=lambda: lines.extend(iter(proc.stdout.readline, "")))
    reader.start()
    try:
        with Controller(address, timeout=WAIT) as c:
            c.joystick(0, 0.0, 1.0, 0.5)
            assert next(c.replies(WAIT), None) == Reply(0, "Idle", ConfirmResult(True))
            assert wait_until(lambda: "[motors] left +0.50 right +0.50\n" in lines)
            c.joystick(0, 0.0, 1.0, 1.5)
            assert next(c.replies(WAIT), None) == Reply(0, "Error", ErrorResult("joystick out of range"))
            # Still connected, nothing sent: the watchdog stops the motors.
            assert wait_until(lambda: "[motors] left +0.00 right +0.00\n" in lines), lines
        proc.send_signal(signal.SIGINT)
        assert proc.wait(WAIT) == 0, proc.stderr.read()
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        reader.join(WAIT)
    assert "[robot] controller connected\n" in lines


@needs_process_signals
def test_robot_over_websocket_prints_its_page_and_drives_from_a_ws_controller():
    from velto_tools.websocket import WsController
    address = f"127.0.0.1:{free_port()}"
    proc = subprocess.Popen([sys.executable, ROBOT, "--web", address], env=python_env(PYTHONUNBUFFERED="1"),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    lines = []
    reader = threading.Thread(target=lambda: lines.extend(iter(proc.stdout.readline, "")))
    reader.start()
    try:
        prefix = "velto_protocol: controller page at "
        assert wait_until(lambda: any(x.startswith(prefix) for x in lines)), lines
        url = next(x for x in lines if x.startswith(prefix))[len(prefix):].strip()
        assert url.startswith(f"http://{address}/#k=")
        with WsController(url, timeout=WAIT) as c:
            c.joystick(0, 0.0, 1.0, 0.5)
            assert next(c.replies(WAIT), None) == Reply(0, "Idle", ConfirmResult(True))
            assert wait_until(lambda: "[motors] left +0.50 right +0.50\n" in lines)
        proc.send_signal(signal.SIGINT)
        assert proc.wait(WAIT) == 0, proc.stderr.read()
    finally:
        if proc.poll() is None:
            proc.kill()
        proc.wait()
        reader.join(WAIT)
        proc.stdout.close()
        proc.stderr.close()
