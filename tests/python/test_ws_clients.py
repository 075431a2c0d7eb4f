"""Two independent strict WebSocket clients against the module's server: Node's `ws` (pinned
in tests/node, installed by `npm ci`) and Debian's python3-websockets (CPython only). Each
sends every frame vector of tests/vectors/wire.txt as a binary message, whole and in
fragments, gets the reply vector the handler answers with, byte for byte, and ends with a
clean close 1000. Both clients fail on any frame of the server's that breaks the protocol."""
import asyncio
import json
import os
import shutil
import subprocess
import sys

import pytest

import velto_protocol as vp
from support import ROOT, WAIT, WsHarness

NODE_DIR = os.path.join(ROOT, "tests", "node")


def vectors():
    frames, replies = [], []
    with open(os.path.join(ROOT, "tests", "vectors", "wire.txt")) as f:
        for line in f:
            if line.startswith("#") or not line.strip():
                continue
            kind, rest = line.split(" ", 1)
            _, meaning, hexed = (x.strip() for x in rest.split("="))
            data = bytes.fromhex(hexed)
            if kind == "frame":
                identity = meaning.split("(")[0]
                widget, wid = identity.rsplit("_", 1)
                frames.append((widget, int(wid), data))
            else:
                wid, status, form, *text = meaning.split(" ")
                result = vp.ConfirmResult(text == ["true"]) if form == "confirm" else vp.ErrorResult(" ".join(text))
                replies.append((int(wid), getattr(vp.ServerStatus, status), result, data))
    return frames, replies


FRAMES, REPLIES = vectors()


@pytest.fixture
def answering():
    """A served WebSocketServer whose handlers answer the n-th frame with the reply vector
    n % len(REPLIES); yields (harness, the expected replies in order)."""
    h = WsHarness()
    count = [0]

    def answer(w):
        wid, status, result, _ = REPLIES[count[0] % len(REPLIES)]
        count[0] += 1
        h.server.callback(wid, status, result)
    for widget, wid, _ in FRAMES:
        h.server.on(wid, widget, answer)
    opening = h.opening()
    yield h, opening, [REPLIES[i % len(REPLIES)][3] for i in range(len(FRAMES))]
    h.finish()


def serve_when_opened(h, opening):
    opening.join(WAIT)
    assert not opening.is_alive() and not opening.failed
    h.server.serve()


def npm_ci():
    """node_modules as the lock file says, installed once per change of the lock file."""
    stamp = os.path.join(NODE_DIR, "node_modules", ".lock-stamp")
    lock = open(os.path.join(NODE_DIR, "package-lock.json"), "rb").read()
    if os.path.exists(stamp) and open(stamp, "rb").read() == lock:
        return
    subprocess.run(["npm", "ci", "--no-audit", "--no-fund", "--loglevel=error"], cwd=NODE_DIR, check=True,
                   timeout=300, env=dict(os.environ, LD_PRELOAD=""))
    with open(stamp, "wb") as f:
        f.write(lock)


@pytest.mark.skipif(shutil.which("node") is None or shutil.which("npm") is None,
                    reason="node and npm come from scripts/install-deps.sh; not on this machine")
def test_node_ws(answering):
    h, opening, expected = answering
    npm_ci()
    node = subprocess.Popen(["node", "crosscheck.mjs", h.server.url, *(f[2].hex() for f in FRAMES)], cwd=NODE_DIR,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=dict(os.environ, LD_PRELOAD=""))
    try:
        serve_when_opened(h, opening)
        out, err = node.communicate(timeout=WAIT)
    finally:
        if node.poll() is None:
            node.kill()
            node.communicate()
    assert node.returncode == 0, err.decode()
    result = json.loads(out)
    assert result["replies"] == [r.hex() for r in expected]
    assert result["pong"] == b"node".hex()
    assert result["closeCode"] == 1000
    assert h.server.wait_disconnected(WAIT)


@pytest.mark.skipif(sys.implementation.name != "cpython",
                    reason="Debian's python3-websockets is for /usr/bin/python3; PyPy cannot import it")
def test_python_websockets(answering):
    websockets = pytest.importorskip("websockets")
    from websockets.exceptions import InvalidStatusCode
    h, opening, expected = answering
    wrong = h.server.url.replace(h.server.token, "x" * 22)

    async def client():
        with pytest.raises(InvalidStatusCode) as refused:
            await websockets.connect(wrong.replace("http:", "ws:").replace("/#k=", "/ws?k="), open_timeout=WAIT)
        assert refused.value.status_code == 403
        url = h.server.url.replace("http:", "ws:").replace("/#k=", "/ws?k=")
        async with websockets.connect(url, open_timeout=WAIT, compression=None) as ws:
            await asyncio.get_running_loop().run_in_executor(None, serve_when_opened, h, opening)
            got = []
            for n, (_, _, data) in enumerate(FRAMES):
                if n % 2:
                    cut = len(data) // 2
                    await ws.send([data[:cut], data[cut:]])  # one message in two fragments
                else:
                    await ws.send(data)
                got.append(await asyncio.wait_for(ws.recv(), WAIT))
            await asyncio.wait_for(await ws.ping(b"py"), WAIT)
        return got, ws.close_code

    got, close_code = asyncio.run(client())
    assert got == expected
    assert close_code == 1000
    assert h.server.wait_disconnected(WAIT)
