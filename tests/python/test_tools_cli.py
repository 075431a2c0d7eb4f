"""velto-controller end to end: send, play and (through tmux) pad against the module."""
import os
import shutil
import subprocess
import sys
import threading
import time

import pytest

import velto_protocol as vp
from support import VELTO_FRAME, WAIT, answer_with, fake_server, free_port, reset_after_first_frame, wait_until
import ws_peer
from velto_tools import wire

KINDS = ["ClickButton", "ToggleButton", "ConfirmButton", "PressButton", "DirectionalButton", "Joystick"]


def describe(w):
    """The widget as a text: its kind and fields."""
    kind = type(w).__name__.split("_", 1)[1]
    if kind == "Joystick":
        return f"{kind} {w.delta.x} {w.delta.y} {w.intensity}"
    return " ".join([kind] + [str(getattr(w, f)) for f in type(w).__match_args__ or ()])


def describe_frame(data):
    """What describe() gives for the widget that the frame `data` carries."""
    (_, body), _ = wire.unpack(data)
    ((kind, fields),) = body.items()
    if kind == "Joystick":
        (x, y), intensity = fields
        return f"{kind} {x} {y} {intensity}"
    return " ".join([kind] + [str(f) for f in fields])


def answer_like_the_module(data):
    """The fake WebSocket server's answer: as the module's handlers below, ids 0 and 7 only."""
    (wid, _), _ = wire.unpack(data)
    if wid not in (0, 7):
        return None
    return wire.reply(wid, "Busy", wire.ErrorResult(describe_frame(data)))


@pytest.fixture(params=["tcp", "ws", "ws-module"])
def server(request):
    """The address of a server that answers every kind at ids 0 and 7 with an ErrorResult
    describing the widget it got; it serves the first client that connects. "tcp" and
    "ws-module": the module over TCP or WebSocket; "ws": a WebSocket peer of the test's own."""
    if request.param == "ws":
        with ws_peer.peer(ws_peer.answering(answer_like_the_module)) as url:
            yield url
        return
    address = f"127.0.0.1:{free_port()}"
    if request.param == "tcp":
        s = vp.ComSocketServer(address)
    else:
        s = vp.VeltoPiServer.use_websocket(address)
    for kind in KINDS:
        for wid in (0, 7):
            s.on(wid, kind, lambda w, wid=wid: s.callback(wid, vp.ServerStatus.Busy, vp.ErrorResult(describe(w))))

    def run():
        s.open()
        s.serve()
    t = threading.Thread(target=run)
    t.start()
    yield address if request.param == "tcp" else f"ws://{address}/#k={s.token}"
    t.join(WAIT)
    s.close()


def cli(*args, timeout=WAIT * 2):
    env = dict(os.environ, PYTHONPATH=os.environ["VELTO_TOOLS_DIR"])
    return subprocess.run([sys.executable, "-m", "velto_tools.controller", *args], env=env,
                          capture_output=True, text=True, timeout=timeout)


def test_send_prints_the_decoded_reply(server):
    r = cli("send", server, "Joystick", "7", "0.5", "-1", "0.25", "--wait", "3")
    assert (r.returncode, r.stderr) == (0, "")
    assert r.stdout == "reply id=7 status=Busy ErrorResult('Joystick 0.5 -1.0 0.25')\n"


def test_play_sends_a_script_in_order(server, tmp_path):
    script = tmp_path / "drive.txt"
    script.write_text("# every kind once, 600 ms apart (one serving pass each)\n"
                      "0 ClickButton 0\n"
                      "600 togglebutton 7 on   # kinds in any case\n"
                      "600 ConfirmButton 0\n"
                      "600 PressButton 0 off\n"
                      "600 DirectionalButton 7 left\n"
                      "\n"
                      "600 Joystick 0 0 1 1\n")
    r = cli("play", server, str(script), "--wait", "3")
    assert (r.returncode, r.stderr) == (0, "")
    assert r.stdout.splitlines() == [
        "reply id=0 status=Busy ErrorResult('ClickButton')",
        "reply id=7 status=Busy ErrorResult('ToggleButton True')",
        "reply id=0 status=Busy ErrorResult('ConfirmButton')",
        "reply id=0 status=Busy ErrorResult('PressButton False')",
        "reply id=7 status=Busy ErrorResult('DirectionalButton 3')",
        "reply id=0 status=Busy ErrorResult('Joystick 0.0 1.0 1.0')",
    ]


@pytest.mark.parametrize("args, message", [
    (["send", "127.0.0.1:1", "Slider", "1"], "unknown kind 'Slider' (one of ClickButton, ToggleButton, "
     "ConfirmButton, PressButton, DirectionalButton, Joystick, raw)"),
    (["send", "127.0.0.1:1", "ClickButton", "256"], "ClickButton: the widget id is a number from 0 to 255"),
    (["send", "127.0.0.1:1", "ToggleButton", "1", "maybe"], "ToggleButton: expected on or off, got 'maybe'"),
    (["send", "127.0.0.1:1", "Joystick", "1", "0.5"], "Joystick: expected 3 field(s) after the id, got 1"),
    (["send", "127.0.0.1:1", "raw", "9x"], "raw: not hex bytes: '9x'"),
    (["send", "nowhere", "ClickButton", "1"], "not an address of the form HOST:PORT: 'nowhere'"),
    (["send", "ws://127.0.0.1:1/", "ClickButton", "1"],
     "the address names no key, expected ws://HOST:PORT/#k=KEY or ws://HOST:PORT/ws?k=KEY: 'ws://127.0.0.1:1/'"),
    (["play", "127.0.0.1:1", "SCRIPT"], "SCRIPT:2: DirectionalButton: expected up, right, down, left or 0-255, got 'north'"),
], ids=["kind", "id", "switch", "fields", "hex", "address", "ws-address", "script"])
def test_bad_arguments_are_refused_before_connecting(args, message, tmp_path):
    script = tmp_path / "bad.txt"
    script.write_text("0 ClickButton 1\n10 DirectionalButton 1 north\n")
    args = [str(script) if a == "SCRIPT" else a for a in args]
    r = cli(*args)
    assert (r.returncode, r.stdout) == (2, "")
    assert r.stderr == "velto-controller: " + message.replace("SCRIPT", str(script)) + "\n"


def test_no_server_is_an_error():
    r = cli("send", f"127.0.0.1:{free_port()}", "ClickButton", "1")
    assert r.returncode == 1 and "cannot connect to" in r.stderr


def test_over_websocket_a_wrong_key_and_a_close_are_one_line_each(tmp_path):
    def refuse(conn):
        ws_peer.read_request(conn)
        conn.sendall(b"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")

    with ws_peer.peer(refuse, key="wrong") as url:
        r = cli("send", url, "ClickButton", "1")
    assert (r.returncode, r.stdout) == (1, "")
    assert r.stderr == f"velto-controller: cannot connect to {url}: the server refused the WebSocket " \
                       "handshake: 403 Forbidden\n"

    def close_after_first_frame(conn):
        ws_peer.accept_handshake(conn)
        ws_peer.read_frame(conn)
        conn.sendall(ws_peer.close(1001, b"going away"))
        while True:  # until the client has echoed the close and gone
            try:
                ws_peer.read_frame(conn)
            except EOFError:
                return

    script = tmp_path / "three.txt"
    script.write_text("0 ClickButton 1\n300 ClickButton 1\n300 ClickButton 1\n")
    with ws_peer.peer(close_after_first_frame) as url:
        r = cli("play", url, str(script))
    assert (r.returncode, r.stdout) == (1, "")
    assert r.stderr == "velto-controller: the server closed the connection (close code 1001) after 1 of 3 frames\n"


@pytest.mark.skipif(shutil.which("tmux") is None, reason="tmux is not installed (scripts/install-deps.sh)")
def test_pad_in_a_terminal(server, tmp_path):
    tmux = ["tmux", "-S", str(tmp_path / "tmux"), "-f", "/dev/null"]  # a server of our own
    command = f"PYTHONPATH={os.environ['VELTO_TOOLS_DIR']} {sys.executable} -m velto_tools.controller " \
              f"pad {server} --pad 7; echo pad-exit=$?; sleep 30"
    subprocess.run(tmux + ["new-session", "-d", "-x", "120", "-y", "40", command], check=True)

    def screen():
        return subprocess.run(tmux + ["capture-pane", "-p"], capture_output=True, text=True).stdout

    try:
        assert wait_until(lambda: "q: quit" in screen()), screen()
        expected = []
        for keys, sent, reply in [
            (["Up"], "DirectionalButton 7 up", "reply id=7 status=Busy ErrorResult('DirectionalButton 0')"),
            (["Left"], "DirectionalButton 7 left", "reply id=7 status=Busy ErrorResult('DirectionalButton 3')"),
            (["Space"], "ClickButton 0", "reply id=0 status=Busy ErrorResult('ClickButton')"),
            (["t"], "ToggleButton 0 on", "reply id=0 status=Busy ErrorResult('ToggleButton True')"),
            (["t"], "ToggleButton 0 off", "reply id=0 status=Busy ErrorResult('ToggleButton False')"),
            (["a"], "Joystick 0 -1.0 +0.0 1.0", "reply id=0 status=Busy ErrorResult('Joystick -1.0 0.0 1.0')"),
            (["x"], "Joystick 0 +0.0 +0.0 0.0", "reply id=0 status=Busy ErrorResult('Joystick 0.0 0.0 0.0')"),
            (["c"], "ConfirmButton 0", "reply id=0 status=Busy ErrorResult('ConfirmButton')"),
            (["p"], "PressButton 0 on", "reply id=0 status=Busy ErrorResult('PressButton True')"),
            (["p"], "PressButton 0 off", "reply id=0 status=Busy ErrorResult('PressButton False')"),
        ]:
            subprocess.run(tmux + ["send-keys", *keys], check=True)
            expected += ["sent " + sent, reply]
            # Each reply before the next key, so the screen shows them in order.
            assert wait_until(lambda: screen().count("reply id=") == len(expected) // 2), screen()
        subprocess.run(tmux + ["send-keys", "q"], check=True)
        assert wait_until(lambda: "pad-exit=0" in screen()), screen()
        lines = [line for line in screen().splitlines() if line.startswith(("sent ", "reply "))]
        assert lines == expected
    finally:
        subprocess.run(tmux + ["kill-server"], capture_output=True)


def test_each_help_shows_its_own_usage_and_the_pad_defaults():
    usages = {
        "send": "usage: velto-controller send ADDRESS KIND ID [FIELD...] [--wait S]",
        "play": "usage: velto-controller play ADDRESS FILE [--wait S]",
        "pad": "usage: velto-controller pad ADDRESS [--pad ID] [--click ID] [--toggle ID] [--confirm ID] "
               "[--press ID] [--joystick ID]",
    }
    for command, usage in usages.items():
        r = cli(command, "--help")
        assert (r.returncode, r.stderr) == (0, "")
        assert r.stdout.splitlines()[0] == usage
    pad = cli("pad", "--help").stdout
    for name in ("pad", "click", "toggle", "confirm", "press", "joystick"):
        assert f"--{name} ID" in pad and f"id of the {name} widget (default 0)" in pad
    top = cli("--help").stdout.splitlines()
    assert top[:3] == [usages["send"], usages["play"][len("usage: "):], usages["pad"][len("usage: "):]]


def test_send_without_a_reply_says_so_and_fails(server):
    # Widget 5 has no handler: the server reads the frame and answers nothing.
    r = cli("send", server, "ClickButton", "5", "--wait", "1.5")
    assert (r.returncode, r.stdout, r.stderr) == (1, "", "velto-controller: no reply within 1.5 s\n")


GOOD = wire.reply(7, "Idle", wire.ConfirmResult(True))


@pytest.mark.parametrize("data, why", [
    (b"\x91" * 100_000, "the reply is an array of 1, not an array of 3"),
    (b"\x93\x01\xa4Idle\x81\x91\x01\x91\xc3", "the result's kind is an array, not a string"),
    (b"\x93\x01\xa4\xff\xfeId\x81\xadConfirmResult\x91\xc3", "the status is not UTF-8 (invalid start byte at byte 0)"),
], ids=["deep", "array-key", "utf8"])
def test_a_malformed_reply_is_one_line_and_a_failure(data, why):
    with fake_server(answer_with(GOOD + data)) as address:
        r = cli("send", address, "ClickButton", "7", "--wait", "3")
    assert (r.returncode, r.stdout) == (1, "reply id=7 status=Idle ConfirmResult(True)\n")
    assert r.stderr == f"velto-controller: not a result frame: {why}\n"


def test_a_reset_during_play_is_one_line(tmp_path):
    script = tmp_path / "three.txt"
    script.write_text("0 ClickButton 1\n300 ClickButton 1\n300 ClickButton 1\n")
    with fake_server(reset_after_first_frame) as address:
        r = cli("play", address, str(script))
    assert (r.returncode, r.stdout) == (1, "")
    # Seen while waiting (a reset) or by the next send (a broken pipe): one line either way.
    assert r.stderr in ("velto-controller: the server reset the connection after 1 of 3 frames\n",
                        f"velto-controller: connection to {address} lost: Connection reset by peer\n",
                        f"velto-controller: connection to {address} lost: Broken pipe\n"), r.stderr


def test_velto_frame_command_runs_the_program_it_was_installed_with():
    from velto_tools import frame_tool

    env = dict(os.environ, PYTHONPATH=os.environ["VELTO_TOOLS_DIR"])
    # The source tree's package carries no program: the command says where one comes from.
    r = subprocess.run([sys.executable, "-m", "velto_tools.frame_tool", "decode", "90"], env=env,
                       capture_output=True, text=True, timeout=WAIT)
    assert (r.returncode, r.stdout, r.stderr) == (127, "", frame_tool.MISSING)
    # With a program in place, the arguments and standard input reach it, and its exit status
    # is the command's (2: the input ended inside a frame).
    run = f"import sys, velto_tools.frame_tool as t; t.PROGRAM = {VELTO_FRAME!r}; sys.exit(t.main())"
    for args, stdin, status, out in [
        (["encode", "1", "Idle", "confirm", "true"], b"", 0, wire.reply(1, "Idle", wire.ConfirmResult(True)).hex(" ")),
        (["decode", "-"], b"\x92\x00", 2, None),
    ]:
        r = subprocess.run([sys.executable, "-c", run, *args], env=env, input=stdin, capture_output=True,
                           timeout=WAIT)
        assert r.returncode == status, r.stderr
        if out is not None:
            assert r.stdout.decode() == out + "\n"
