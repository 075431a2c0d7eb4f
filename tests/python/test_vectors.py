"""The shared wire-format vectors (tests/vectors/wire.txt) through the module, the plain-Python
codec and velto-frame; and every hex example of docs/protocol.md is one of them."""
import os
import re
import socket
import subprocess
import threading

import pytest

import velto_protocol as vp
from support import ROOT, WAIT, connect, free_port, recv_exactly, wait_until
from support import VELTO_FRAME as TOOL
from velto_tools import wire

def load():
    """[(kind, name, meaning, bytes)] of the vector file."""
    out = []
    with open(os.path.join(ROOT, "tests", "vectors", "wire.txt")) as f:
        for line in f:
            if line.strip() and not line.startswith("#"):
                head, meaning, hexa = line.rstrip("\n").split(" = ")
                kind, name = head.split()
                out.append((kind, name, meaning, bytes.fromhex(hexa)))
    return out


VECTORS = load()
FRAMES = [v for v in VECTORS if v[0] == "frame"]
REPLIES = [v for v in VECTORS if v[0] == "reply"]


def describe(w):
    """A widget in the vectors' form: "Joystick_5(0.5,-1,0.75)" (id filled in by the caller)."""
    def text(v):
        return str(v).lower() if isinstance(v, bool) else "%g" % v if isinstance(v, float) else str(v)
    if isinstance(w, vp.WidgetRegistry.Joystick):
        values = [w.delta.x, w.delta.y, w.intensity]
    else:
        values = [getattr(w, f) for f in type(w).__match_args__ or ()]
    return "(" + ",".join(text(v) for v in values) + ")"


def reply_of(meaning):
    widget_id, status, kind, value = meaning.split(" ", 3)
    result = wire.ConfirmResult(value == "true") if kind == "confirm" else wire.ErrorResult(value)
    return wire.Reply(int(widget_id), status, result)


def test_the_module_decodes_every_frame_vector():
    """One session: each frame on its own serving pass, each handler call recorded."""
    address = f"127.0.0.1:{free_port()}"
    server = vp.ComSocketServer(address)
    seen = []
    for _, _, meaning, _ in FRAMES:
        key = meaning.split("(")[0]
        kind, wid = key.rsplit("_", 1)
        server.on(int(wid), kind, lambda w, key=key: seen.append(key + describe(w)))
    opener = threading.Thread(target=server.open)
    opener.start()
    conn = connect(int(address.rsplit(":", 1)[1]))
    opener.join(WAIT)
    server.serve()
    try:
        for n, (_, name, meaning, data) in enumerate(FRAMES, 1):
            conn.sendall(data)
            assert wait_until(lambda: len(seen) == n), name
        assert seen == [meaning for _, _, meaning, _ in FRAMES]
    finally:
        server.close()
        conn.close()


def test_the_module_sends_every_reply_vector():
    address = f"127.0.0.1:{free_port()}"
    server = vp.ComSocketServer(address)
    opener = threading.Thread(target=server.open)
    opener.start()
    conn = connect(int(address.rsplit(":", 1)[1]))
    opener.join(WAIT)
    try:
        for _, name, meaning, data in REPLIES:
            r = reply_of(meaning)
            result = vp.ConfirmResult(r.result.status) if isinstance(r.result, wire.ConfirmResult) \
                else vp.ErrorResult(r.result.error)
            server.callback(r.id, getattr(vp.ServerStatus, r.status), result)
            assert recv_exactly(conn, len(data)) == data, name
    finally:
        server.close()
        conn.close()


def canonical(meaning):
    """The plain-Python codec's bytes for a frame vector's meaning ("Joystick_5(0.5,-1,0.75)")."""
    key, args = meaning[:-1].split("(")
    kind, wid = key.rsplit("_", 1)
    values = [v == "true" if v in ("true", "false") else float(v) if "." in v or kind == "Joystick" else int(v)
              for v in args.split(",") if v]
    if kind == "Joystick":
        return wire.frame(int(wid), kind, [wire.F32(values[0]), wire.F32(values[1])], wire.F32(values[2]))
    return wire.frame(int(wid), kind, *values)


def test_the_plain_python_codec_writes_a_vector_of_each_kind():
    """Vectors in other accepted forms (maps, 64-bit floats) differ from the codec's bytes;
    the canonical ones must match, and there is one for every kind."""
    matched = {meaning.split("_")[0] for _, _, meaning, data in FRAMES if canonical(meaning) == data}
    assert matched == set(wire.KINDS)


@pytest.mark.parametrize("kind, name, meaning, data", REPLIES, ids=[v[1] for v in REPLIES])
def test_the_plain_python_codec_reads_and_writes_each_reply(kind, name, meaning, data):
    assert wire.reply(*reply_of(meaning)) == data
    assert wire.read_replies(data) == ([reply_of(meaning)], b"")


@pytest.mark.skipif(not os.path.exists(TOOL), reason="velto-frame is not built")
@pytest.mark.parametrize("kind, name, meaning, data", VECTORS, ids=[v[1] for v in VECTORS])
def test_velto_frame(kind, name, meaning, data):
    if kind == "reply":
        widget_id, status, result, value = meaning.split(" ", 3)
        out = subprocess.run([TOOL, "encode", widget_id, status, result, value], capture_output=True,
                             text=True, timeout=WAIT)
        assert (out.returncode, out.stdout) == (0, data.hex(" ") + "\n")
    else:
        out = subprocess.run([TOOL, "decode", data.hex(" ")], capture_output=True, text=True, timeout=WAIT)
        assert out.returncode == 0
        assert re.search(r"^key +%s$" % re.escape(meaning.split("(")[0]), out.stdout, re.M)
        assert re.search(r"^used +%d of %d bytes$" % (len(data), len(data)), out.stdout, re.M)


def test_every_hex_example_of_the_protocol_guide_is_a_vector():
    """protocol.md shows vectors in ```hex blocks as "NAME: HEX" lines; each must be the
    file's, and every vector must be shown."""
    text = open(os.path.join(ROOT, "docs", "protocol.md")).read()
    blocks = re.findall(r"^```hex\n(.*?)^```", text, re.M | re.S)
    shown = {}
    for block in blocks:
        for line in block.splitlines():
            name, hexa = line.split(":", 1)
            shown[name.strip()] = bytes.fromhex(hexa)
    assert shown == {name: data for _, name, _, data in VECTORS}
