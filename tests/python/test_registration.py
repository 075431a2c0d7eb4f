"""on() and _get_action(): the identity key an action is filed under and found by, actions
replaced and released, argument errors that register nothing, registrations made while a
thread serves, and the warnings about registrations that can never run."""
import contextlib
import gc
import os
import re
import subprocess
import time
import warnings
import weakref

import pytest

import velto_protocol as vp
from support import VELTO_FRAME, WAIT, Handler, Recorder, wait_until, written_to
from velto_tools import wire
from velto_tools.wire import F32, frame


def test_on_replaces_and_releases_the_earlier_action():
    server = vp.ComSocketServer("127.0.0.1:1")
    first, second = Handler(), Handler()
    gone = weakref.ref(first)
    server.on(3, "Joystick", first)
    assert server._get_action("Joystick_3") is first
    assert server.on(3, "Joystick", second) is None
    del first
    for _ in range(3):
        gc.collect()
    assert gone() is None
    assert server._get_action("Joystick_3") is second


def test_registry_releases_its_actions_with_the_server():
    server = vp.ComSocketServer("127.0.0.1:1")
    action = Handler()
    gone = weakref.ref(action)
    server.on(0, "ClickButton", action)
    del action, server
    for _ in range(3):
        gc.collect()
    assert gone() is None


@pytest.mark.parametrize(
    "wid, widget, key",
    [
        (3, "  Joystick  ", "Joystick_3"),
        (3, "Joystick pad", "Joystick_3"),
        (3, "\u3000Joystick\u00a0pad", "Joystick_3"),
        (3, "\tJoystick\u2028", "Joystick_3"),
        (3, "", "_3"),
        (7, "   ", "_7"),
        (0, "joystick", "joystick_0"),
        (255, "NoSuchKind", "NoSuchKind_255"),
    ],
    ids=["spaces", "two-words", "unicode-space", "tab-line-separator", "empty", "blank",
         "lower-case", "unknown-kind"],
)
def test_on_files_under_the_first_word_of_the_name(wid, widget, key):
    server = vp.ComSocketServer("127.0.0.1:1")
    action = Handler()
    kind = key.rsplit("_", 1)[0]
    with contextlib.nullcontext() if kind in wire.KINDS else \
            pytest.warns(RuntimeWarning, match=f"^no widget kind '{re.escape(kind)}'"):
        server.on(wid, widget, action)
    assert server._get_action(key) is action
    assert server._get_action(widget + f"_{wid}") is (action if widget + f"_{wid}" == key else None)


def test_get_action_uses_the_key_unchanged():
    server = vp.ComSocketServer("127.0.0.1:1")
    assert server._get_action("Joystick_3") is None  # empty registry
    action = Handler()
    server.on(id=3, widget="Joystick", action=action)
    assert server._get_action(key="Joystick_3") is action
    for other in ["joystick_3", " Joystick_3", "Joystick_3 ", "Joystick_03", "Joystick", ""]:
        assert server._get_action(other) is None


@pytest.mark.parametrize(
    "args, kind, message",
    [
        ((256, "Joystick"), OverflowError, "out of range integral type conversion attempted"),
        ((-1, "Joystick"), OverflowError, "out of range integral type conversion attempted"),
        (("3", "Joystick"), TypeError, "argument 'id': 'str' object cannot be interpreted as an integer"),
        ((3, 3), TypeError, "argument 'widget': 'int' object cannot be converted to 'PyString'"),
    ],
    ids=["256", "-1", "str-id", "int-widget"],
)
def test_on_argument_errors_register_nothing(args, kind, message):
    server = vp.ComSocketServer("127.0.0.1:1")
    kept = Handler()
    server.on(3, "Joystick", kept)
    with pytest.raises(kind) as e:
        server.on(*args, Handler())
    assert str(e.value) == message
    assert server._get_action("Joystick_3") is kept


# ---- actions and the serving thread --------------------------------------------------------


def test_non_callable_is_accepted_and_fails_only_when_dispatched(h, capfd):
    conn = h.accept()
    rec = Recorder()
    with pytest.warns(RuntimeWarning, match="not callable"):
        h.server.on(5, "ClickButton", 42)
    h.server.on(0, "ClickButton", rec)
    assert h.server._get_action("ClickButton_5") == 42
    h.serve()
    conn.sendall(frame(5, "ClickButton"))
    time.sleep(0.7)
    conn.sendall(frame(0, "ClickButton"))
    assert wait_until(lambda: rec.calls)  # serving went on
    err = capfd.readouterr().err
    assert "Action failed TypeError: 'int' object is not callable" in err


def test_registrations_after_serve_reach_only_the_next_thread(h):
    conn = h.accept()
    late = Recorder()
    with written_to(1) as out:
        h.serve()
        h.server.on(7, "ClickButton", late)
        assert h.server._get_action("ClickButton_7") is late
        conn.sendall(frame(7, "ClickButton"))
        assert wait_until(lambda: "No key ClickButton_7 found" in out()), out()
    assert late.calls == []
    h.stop()
    conn = h.accept()
    h.serve()
    conn.sendall(frame(7, "ClickButton"))
    assert wait_until(lambda: late.calls)


# Every kind, with fields that decode, at ids of one, two and three digits: (kind, id, fields,
# the identity key).
KEY_KINDS = [("ClickButton", ()), ("ToggleButton", (True,)), ("ConfirmButton", ()),
             ("PressButton", (False,)), ("DirectionalButton", (3,)),
             ("Joystick", ([F32(0.5), F32(-1.0)], F32(0.25)))]


KEY_CASES = [(kind, wid, fields, f"{kind}_{wid}")
             for kind, fields in KEY_KINDS for wid in (0, 9, 10, 99, 100, 255)]


@pytest.mark.skipif(not os.path.exists(VELTO_FRAME), reason="velto-frame is not built")
def test_velto_frame_on_and_the_dispatch_use_one_identity_key(h):
    keys = [key for *_, key in KEY_CASES]
    frames = b"".join(frame(wid, kind, *fields) for kind, wid, fields, _ in KEY_CASES)

    # velto-frame prints each frame's key.
    for kind, wid, fields, key in KEY_CASES:
        out = subprocess.run([VELTO_FRAME, "decode", frame(wid, kind, *fields).hex()],
                             capture_output=True, text=True, timeout=WAIT)
        assert re.findall(r"^key +(.*)$", out.stdout, re.M) == [key], out.stdout

    # With nothing registered, the dispatch names each key it looked up.
    conn = h.accept()
    with written_to(1) as out:
        h.serve()
        conn.sendall(frames)
        assert wait_until(lambda: f"No key {keys[-1]} found" in out()), out()
        assert re.findall(r"^No key (.*) found$", out(), re.M) == keys
    h.stop()

    # on() files each action under its key, and the dispatch finds it there.
    actions = {key: Recorder() for key in keys}
    for kind, wid, _, key in KEY_CASES:
        h.server.on(wid, kind, actions[key])
        assert h.server._get_action(key) is actions[key]
    conn = h.accept()
    h.serve()
    conn.sendall(frames)
    assert wait_until(lambda: all(a.calls for a in actions.values()))
    assert {key: [type(w).__name__ for w in a.calls] for key, a in actions.items()} == \
        {key: ["WidgetRegistry_" + key.split("_")[0]] for key in keys}


# ---- registrations that can never run ------------------------------------------------------


@pytest.mark.parametrize(
    "widget, action, messages",
    [
        ("Togglebutton", print, ["no widget kind 'Togglebutton' (did you mean 'ToggleButton'?); frames never carry it"]),
        ("joystick", print, ["no widget kind 'joystick' (did you mean 'Joystick'?); frames never carry it"]),
        ("ClikButton x", print, ["no widget kind 'ClikButton' (did you mean 'ClickButton'?); frames never carry it"]),
        ("", print, ["no widget kind '' (did you mean 'Joystick'?); frames never carry it"]),
        (" Joystick ", print, []),
        ("Joystick pad", print, []),
        ("PressButton", 42, ["the action for PressButton_3 is not callable ('int' object)"]),
        ("Pressbutton", None, ["no widget kind 'Pressbutton' (did you mean 'PressButton'?); frames never carry it",
                               "the action for Pressbutton_3 is not callable ('NoneType' object)"]),
    ],
    ids=["case", "lower", "first-word", "empty", "padded", "two-words", "not-callable", "both"],
)
def test_registration_warns_about_what_can_never_run(widget, action, messages):
    server = vp.ComSocketServer("127.0.0.1:1")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert server.on(3, widget, action) is None
    assert [(w.category, str(w.message)) for w in caught] == [(RuntimeWarning, m) for m in messages]
    assert all(w.filename == __file__ for w in caught)  # the warning names the caller's line
    key = (widget.split() or [""])[0] + "_3"
    assert server._get_action(key) is action  # registered all the same


def test_registration_warning_as_error_stores_nothing():
    server = vp.ComSocketServer("127.0.0.1:1")
    kept = print
    with pytest.warns(RuntimeWarning, match="did you mean 'ToggleButton'"):
        server.on(3, "Togglebutton", kept)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning, match="did you mean 'ToggleButton'"):
            server.on(3, "Togglebutton", len)
        with pytest.raises(RuntimeWarning, match="not callable"):
            server.on(4, "ToggleButton", 1)
    assert server._get_action("Togglebutton_3") is kept
    assert server._get_action("ToggleButton_4") is None


def test_decorated_name_with_a_typo_warns():
    server = vp.ComSocketServer("127.0.0.1:1")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")

        @vp.on(server)
        def Joystik_3(w):
            pass

    assert [str(w.message) for w in caught] == [
        "no widget kind 'Joystik' (did you mean 'Joystick'?); frames never carry it"]
    assert server._get_action("Joystik_3") is not None
