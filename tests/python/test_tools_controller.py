"""The companion package's wire codec and fake controller, against the module in this process."""
import threading

import pytest

import velto_protocol as vp
from support import WAIT, free_port
from velto_tools import wire
from velto_tools.controller import Controller, parse_address
from velto_tools.wire import F32, ConfirmResult, ErrorResult, Reply


@pytest.mark.parametrize("value, data", [
    (None, "c0"), (True, "c3"), (False, "c2"),
    (127, "7f"), (-32, "e0"), (255, "ccff"), (-33, "d0df"), (70000, "ce00011170"),
    (-(2**40), "d3ffffff0000000000"), (2**64 - 1, "cfffffffffffffffff"),
    (F32(0.5), "ca3f000000"), (-1.5, "cbbff8000000000000"),
    ("Idle", "a449646c65"), ("é" * 20, "d928" + "c3a9" * 20), (b"\x00\x01", "c4020001"),
    ([1, [2]], "920191" "02"), ({"a": []}, "81a16190"), (list(range(16)), "dc0010" + bytes(range(16)).hex()),
], ids=lambda v: repr(v)[:20] if not isinstance(v, str) else None)
def test_pack_gives_the_smallest_form_and_unpack_reads_it_back(value, data):
    assert wire.pack(value).hex() == data
    assert wire.unpack(bytes.fromhex(data)) == (value, len(data) // 2)


@pytest.mark.parametrize("data, error", [
    ("93", wire.Incomplete), ("cd01", wire.Incomplete), ("a5616263", wire.Incomplete),
    ("c1", ValueError), ("d4", ValueError),
], ids=["array", "uint16", "str", "never-used", "fixext"])
def test_unpack_tells_incomplete_from_malformed(data, error):
    with pytest.raises(error) as e:
        wire.unpack(bytes.fromhex(data))
    assert (e.type is wire.Incomplete) == (error is wire.Incomplete)


def test_read_replies_splits_a_stream_and_keeps_the_unfinished_tail():
    a = wire.reply(1, "Idle", ConfirmResult(True))
    b = wire.reply(200, "Error", ErrorResult("bad input"))
    replies, rest = wire.read_replies(a + b + b[:5])
    assert replies == [Reply(1, "Idle", ConfirmResult(True)), Reply(200, "Error", ErrorResult("bad input"))]
    assert rest == b[:5]
    assert repr(replies[1]) == "Reply(id=200, status='Error', result=ErrorResult('bad input'))"
    with pytest.raises(ValueError, match="not a result frame"):
        wire.read_replies(wire.frame(1, "ClickButton"))


@pytest.mark.parametrize("text, parsed", [
    ("127.0.0.1:9000", ("127.0.0.1", 9000)), ("[::1]:80", ("::1", 80)), ("localhost:0", ("localhost", 0)),
    ("127.0.0.1", None), (":9000", None), ("host:port", None), ("host:70000", None),
])
def test_parse_address(text, parsed):
    if parsed is None:
        with pytest.raises(ValueError):
            parse_address(text)
    else:
        assert parse_address(text) == parsed


@pytest.fixture
def served():
    """A server in this process answering each widget with what it received, and a
    connected Controller; yields (controller, received widgets)."""
    address = f"127.0.0.1:{free_port()}"
    server = vp.ComSocketServer(address)
    seen = []

    def handler(w):
        seen.append(w)
        if isinstance(w, vp.WidgetRegistry.Joystick) and w.intensity > 1:
            server.callback(5, vp.ServerStatus.Error, vp.ErrorResult("intensity above 1.0"))
        else:
            server.callback(len(seen), vp.ServerStatus.Idle, vp.ConfirmResult(True))

    for kind, wid in [("ClickButton", 0), ("ToggleButton", 1), ("ConfirmButton", 2),
                      ("PressButton", 3), ("DirectionalButton", 4), ("Joystick", 5)]:
        server.on(wid, kind, handler)
    opener = threading.Thread(target=server.open)
    opener.start()
    controller = Controller(address, timeout=WAIT)
    opener.join(WAIT)
    server.serve()
    closed = []
    try:
        yield controller, seen, lambda: closed.append(server.close())
    finally:
        controller.close()
        if not closed:
            server.close()


def test_controller_sends_every_kind_and_reads_the_replies(served):
    c, seen, _ = served
    c.click(0)
    c.toggle(1, True)
    c.confirm(2)
    c.press(3, False)
    c.direction(4, 3)
    c.joystick(5, 0.5, -1.0, 0.25)
    c.joystick(5, 0.0, 0.0, 1.5)
    got = []
    for r in c.replies(WAIT):
        got.append(r)
        if len(got) == 7:
            break
    assert got == [Reply(n, "Idle", ConfirmResult(True)) for n in range(1, 7)] + \
        [Reply(5, "Error", ErrorResult("intensity above 1.0"))]
    kinds = [type(w).__name__.split("_", 1)[1] for w in seen]
    assert kinds == ["ClickButton", "ToggleButton", "ConfirmButton", "PressButton", "DirectionalButton",
                     "Joystick", "Joystick"]
    assert (seen[1].value, seen[3].pressed, seen[4].direction) == (True, False, 3)
    assert (seen[5].delta.x, seen[5].delta.y, seen[5].intensity) == (0.5, -1.0, 0.25)


def test_replies_end_when_the_server_closes(served):
    c, _, close_server = served
    close_server()
    assert list(c.replies(WAIT)) == []  # returns at the end of the connection, not after WAIT


def test_controller_without_a_server_fails_after_its_timeout():
    with pytest.raises(ConnectionRefusedError):
        Controller(f"127.0.0.1:{free_port()}", timeout=0.2)
