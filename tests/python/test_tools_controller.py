"""The companion package's wire codec and fake controller, against the module in this process."""
import os
import re
import threading
import time

import pytest

import velto_protocol as vp
from support import ROOT, WAIT, answer_with, fake_server, free_port
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
    start = time.monotonic()
    assert list(c.replies(WAIT)) == []
    # It returns at the end of the connection, not when WAIT runs out: the end is already on
    # its way when close() returns, so replies() takes a few milliseconds. Half of WAIT
    # leaves a loaded machine seconds of slack and still tells the two apart.
    assert time.monotonic() - start < WAIT / 2


def test_controller_without_a_server_fails_after_its_timeout():
    with pytest.raises(ConnectionRefusedError):
        Controller(f"127.0.0.1:{free_port()}", timeout=0.2)


def test_pack_raises_its_own_error_beyond_messagepack_limits():
    for value, message in [
        (2**64, "integer 18446744073709551616 is outside MessagePack's range of -2**63 to 2**64 - 1"),
        (-(2**63) - 1, "integer -9223372036854775809 is outside MessagePack's range of -2**63 to 2**64 - 1"),
        (F32(1e39), "1e+39 is beyond the range of a float 32"),
        (_nested(wire.MAX_DEPTH + 1), "nesting deeper than 64 levels"),
    ]:
        with pytest.raises(wire.PackError) as e:
            wire.pack(value)
        assert isinstance(e.value, ValueError) and str(e.value) == message
    # At the limits themselves, and past the 16-bit counts of arrays and maps.
    assert wire.pack(-(2**63)).hex() == "d38000000000000000"
    assert wire.pack(F32(float("inf"))).hex() == "ca7f800000"
    assert wire.unpack(wire.pack(_nested(wire.MAX_DEPTH)))[0] == _nested(wire.MAX_DEPTH)
    for value, head in [(list(range(70000)), "dd00011170"), ({i: None for i in range(70000)}, "df00011170")]:
        data = wire.pack(value)
        assert data[:5].hex() == head and wire.unpack(data) == (value, len(data))


def _nested(levels):
    """An empty array inside levels - 1 arrays of one."""
    value = []
    for _ in range(levels - 1):
        value = [value]
    return value


def _reply_head(status=b"\xa4Idle"):
    return b"\x93\x01" + status


CONFIRM = b"\x81\xadConfirmResult\x91\xc3"
# Bytes a bad server sends, and why they are no reply. Each of these broke the fake
# controller with another exception, was taken as a reply, or was held without limit.
MALFORMED = [
    (b"\x91" * 100_000, "the reply is an array of 1, not an array of 3"),
    (_reply_head() + b"\x81\x91\x01\x91\xc3", "the result's kind is an array, not a string"),
    (_reply_head(b"\xa4\xff\xfeId") + CONFIRM, "the status is not UTF-8 (invalid start byte at byte 0)"),
    (_reply_head() + b"\x81\xabErrorResult\x91\xa2\xc3\x28",
     "the ErrorResult's field is not UTF-8 (invalid continuation byte at byte 0)"),
    (_reply_head(b"\xa5Sleep") + CONFIRM, "status 'Sleep' is none of NotInit, Idle, Busy, Error"),
    (b"\x93\xcd\x01\x2c\xa4Idle" + CONFIRM, "the id 300 is outside 0 to 255"),
    (b"\x93\xcb" + bytes(8) + b"\xa4Idle" + CONFIRM, "the id is a float, not an integer"),
    (_reply_head(b"\xdb\xff\xff\xff\xff"), "the status is a string of 4294967295 bytes, longer than any it can be"),
    (b"\xdd\xff\xff\xff\xff" + bytes(100), "the reply is an array of 4294967295, not an array of 3"),
    (wire.frame(1, "ClickButton"), "the reply is an array of 2, not an array of 3"),
    (_reply_head() + b"\x82\xadConfirmResult\x91\xc3\xa1x\x90", "the result is a map of 2, not a map of 1"),
    (_reply_head() + b"\x81\xa6Result\x91\xc3", "the result's kind 'Result' is neither ConfirmResult nor ErrorResult"),
    (_reply_head() + b"\x81\xadConfirmResult\x91\x01", "the ConfirmResult's field is an integer, not a boolean"),
    (_reply_head() + b"\x81\xabErrorResult\x92\xa0\xa0", "the ErrorResult's fields is an array of 2, not an array of 1"),
    (b"\xc1", "the reply is the unused marker 0xc1, not an array of 3"),
]
MALFORMED_IDS = ["deep", "array-key", "utf8-status", "utf8-text", "status", "id-range", "id-float",
                 "status-4GiB", "array-4G", "frame", "map-of-2", "kind", "confirm-field", "fields", "c1"]


@pytest.mark.parametrize("data, why", MALFORMED, ids=MALFORMED_IDS)
def test_malformed_replies_are_value_errors_with_a_reason(data, why):
    good = wire.reply(7, "Busy", ConfirmResult(False))
    with pytest.raises(ValueError) as e:
        wire.read_replies(good + data)
    assert (type(e.value), str(e.value)) == (ValueError, "not a result frame: " + why)
    # The reader gives back the reply before the bad bytes, then refuses every later call.
    reader = wire.ReplyReader()
    assert reader.feed(good + data) == [Reply(7, "Busy", ConfirmResult(False))]
    for _ in range(2):
        with pytest.raises(ValueError, match=re.escape(why)):
            reader.feed(good)


@pytest.mark.parametrize("data, message", [
    ("91" * 100_000, "nesting deeper than 64 levels"),
    ("81910100", "a map key is an array"),
    ("8181a10001a100", "a map key is a map"),
    ("a2c328", "a string is not UTF-8 (invalid continuation byte at byte 0)"),
], ids=["deep", "array-key", "map-key", "utf8"])
def test_unpack_refuses_with_value_errors(data, message):
    with pytest.raises(ValueError) as e:
        wire.unpack(bytes.fromhex(data))
    assert (type(e.value), str(e.value)) == (ValueError, message)


def test_reply_reader_holds_at_most_one_reply_and_reads_it_once_whole(monkeypatch):
    text = "x" * 4_000_000
    data = wire.reply(3, "Error", ErrorResult(text)) + wire.reply(4, "Idle", ConfirmResult(True))
    calls = []
    parse = wire.parse_reply
    monkeypatch.setattr(wire, "parse_reply", lambda *a: calls.append(1) or parse(*a))
    reader = wire.ReplyReader()
    got = []
    for i in range(0, len(data), 4096):
        got += reader.feed(data[i:i + 4096])
        assert reader.held < 4_000_100
    assert got == [Reply(3, "Error", ErrorResult(text)), Reply(4, "Idle", ConfirmResult(True))]
    # Once when the header came, once when the long reply was whole, once more for the next.
    assert len(calls) <= 4 and reader.held == 0

    # The limit: a reply of exactly max_bytes is read, one byte more is refused at its header.
    exact = wire.reply(1, "Idle", ErrorResult("y" * 300))
    assert wire.ReplyReader(len(exact)).feed(exact) == [Reply(1, "Idle", ErrorResult("y" * 300))]
    with pytest.raises(ValueError) as e:
        wire.ReplyReader(len(exact) - 1).feed(exact[:24])  # up to the text's header
    assert str(e.value) == f"not a result frame: reply exceeds {len(exact) - 1} bytes"
    assert wire.MAX_REPLY_BYTES == len(wire.reply(200, "NotInit", ErrorResult(""))) + 2**32 - 1 + 4


@pytest.mark.parametrize("data, why", [MALFORMED[i] for i in (0, 1, 2)] + [
    (wire.reply(2, "Error", ErrorResult("z" * 5000))[:40], "reply exceeds 1000 bytes"),
], ids=["deep", "array-key", "utf8-status", "over-limit"])
def test_controller_replies_raise_value_error_after_the_good_ones(data, why):
    good = wire.reply(5, "Idle", ConfirmResult(True))
    # The server sends the start of a long reply and then nothing more: the limit is
    # enforced from its header, without waiting for bytes that never come.
    with fake_server(answer_with(good + data)) as address:
        with Controller(address, timeout=WAIT, max_reply=1000) as c:
            c.click(5)
            seen = []
            with pytest.raises(ValueError) as e:
                for r in c.replies(WAIT):
                    seen.append(r)
            assert (type(e.value), str(e.value)) == (ValueError, "not a result frame: " + why)
            assert seen == [Reply(5, "Idle", ConfirmResult(True))]
            with pytest.raises(ValueError):
                next(c.replies(0))


def test_reply_status_compares_with_the_module_enum(served):
    statuses = [vp.ServerStatus.NotInit, vp.ServerStatus.Idle, vp.ServerStatus.Busy, vp.ServerStatus.Error]
    for name, member in zip(wire.STATUSES, statuses):
        status = wire.Status(name)
        assert status == member and member == status and status == name
        assert not (status != member) and not (member != status)
        others = [m for m in statuses if m is not member]
        assert all(status != m and m != status and not status == m for m in others)
        assert {status: 1}[name] == 1 and status != int(member) and repr(status) == repr(name)
    c, _, _ = served
    c.click(0)
    reply = next(c.replies(WAIT))
    assert reply.status == vp.ServerStatus.Idle and reply.status != vp.ServerStatus.Busy


def test_the_guide_shows_every_method_of_both_controllers():
    with open(os.path.join(ROOT, "docs", "guide.md")) as f:
        section = f.read().split("## Testing a program without the phone", 1)[1]
    from velto_tools.websocket import WsController

    public = [name for name in dir(WsController) if not name.startswith("_")]
    assert {"replies", "send", "raw_ws_frame"} <= set(public) and set(dir(Controller)) <= set(dir(WsController))
    assert [name for name in public if f"c.{name}" not in section] == []
    assert "with Controller(" in section  # the constructor, and the context manager
