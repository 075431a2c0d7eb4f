"""Conventions of the binding layer that the module's classes do not reach, probed through
the test-only extension built from the same layer."""
import gc
import platform
import subprocess
import sys
import textwrap
import os
import re

import pytest

import _velto_testext as probe

CPYTHON = platform.python_implementation() == "CPython"


@pytest.mark.parametrize(
    "causes, text",
    [
        ([], "outer"),
        (["inner"], "outer\n\nCaused by:\n    inner"),
        (["two\nlines"], "outer\n\nCaused by:\n    two\n    lines"),
        (["a", "b\nc"], "outer\n\nCaused by:\n    0: a\n    1: b\n       c"),
        (
            [str(i) for i in range(11)],
            "outer\n\nCaused by:" + "".join(f"\n{i:>5}: {i}" for i in range(11)),
        ),
    ],
    ids=["none", "one", "one-multiline", "two-multiline", "eleven"],
)
def test_error_value_becomes_runtime_error_with_causes(causes, text):
    with pytest.raises(RuntimeError) as e:
        probe.fail("outer", causes)
    assert type(e.value) is RuntimeError
    assert e.value.args == (text,)


def test_wrapped_python_exception_is_raised_unchanged():
    original = KeyError("k")

    def raise_it():
        raise original

    with pytest.raises(KeyError) as e:
        probe.reraise(raise_it)
    assert e.value is original


def test_panic_is_base_exception_not_exception(capfd):
    with pytest.raises(BaseException) as e:
        try:
            probe.panic("boom")
        except Exception:  # must not catch it
            pytest.fail("PanicException caught as Exception")
    panic_type = type(e.value)
    assert panic_type.__name__ == "PanicException"
    assert panic_type.__bases__ == (BaseException,)
    assert e.value.args == ("boom",)
    err = capfd.readouterr().err
    assert "boom" in err and "thread 'main'" in err and "binding_probe.cpp" in err
    # Created once: a second failure raises the same class.
    with pytest.raises(BaseException) as again:
        probe.panic("")
    assert type(again.value) is panic_type
    assert again.value.args == ("internal failure",)


def test_panic_from_python_code_continues_as_internal_failure(capfd):
    def inner():
        probe.panic("deep")

    def swallow_exceptions():
        try:
            inner()
        except Exception:  # a PanicException is no Exception
            return "swallowed"

    with pytest.raises(BaseException) as e:
        probe.call(swallow_exceptions)
    assert type(e.value).__name__ == "PanicException"
    assert e.value.args == ("deep",)
    err = capfd.readouterr().err
    assert "raised PanicException" in err
    assert "Traceback" in err and "in inner" in err  # printed with its traceback
    assert err.count("deep") >= 3  # first report, the printed exception, the continued report


@pytest.mark.parametrize(
    "outer, inner, message",
    [
        ("write", None, None),
        ("read", "read", None),
        ("read", "write", "Already borrowed"),
        ("write", "read", "Already mutably borrowed"),
        ("write", "write", "Already borrowed"),
        ("write", "value", "Already mutably borrowed"),
    ],
)
def test_access_conflicts_fail_at_once(outer, inner, message):
    cell = probe.Cell(7)

    def body(c):
        if inner is None:
            return "ok"
        if inner == "value":
            return c.value
        return getattr(c, inner)(lambda c2: "ok")

    if message is None:
        assert getattr(cell, outer)(body) == "ok"
    else:
        with pytest.raises(RuntimeError) as e:
            getattr(cell, outer)(body)
        assert str(e.value) == message
    # The use is given back on every path.
    assert cell.write(lambda c: "free") == "free"
    assert cell.value == 7


def test_arguments_are_matched_before_the_object_is_taken():
    """An arity error on an object in use names the arity, not the conflict."""
    cell = probe.Cell(7)
    seen = []

    def body(c):
        for call in (lambda: c.read(), lambda: c.write(1, 2), lambda: c.read(g=1)):
            try:
                call()
            except Exception as e:  # noqa: BLE001
                seen.append((type(e).__name__, str(e)))
        return "ok"

    assert cell.write(body) == "ok"
    assert seen == [
        ("TypeError", "Cell.read() missing 1 required positional argument: 'f'"),
        ("TypeError", "Cell.write() takes 1 positional arguments but 2 were given"),
        ("TypeError", "Cell.read() got an unexpected keyword argument 'g'"),
    ]


@pytest.mark.skipif(not CPYTHON, reason="reference counts are CPython's")
def test_release_queued_by_a_thread_is_drained_at_the_next_entry():
    obj = object()
    base = sys.getrefcount(obj)
    probe.release_from_thread(obj)  # the thread queued its release; drained by an entry point
    probe.Cell(0)  # any entry point drains the queue
    assert sys.getrefcount(obj) == base


def test_release_from_thread_keeps_object_alive_until_drained():
    class Tracked:
        pass

    obj = Tracked()
    import weakref

    ref = weakref.ref(obj)
    probe.release_from_thread(obj)
    del obj
    probe.Cell(0)  # any entry point drains the queue
    for _ in range(3):
        gc.collect()
    assert ref() is None


def test_failure_in_destruction_goes_to_unraisable_hook(capfd):
    seen = []
    old = sys.unraisablehook
    sys.unraisablehook = lambda u: seen.append((type(u.exc_value).__name__, str(u.exc_value), u.object))
    try:
        probe.Doomed()
        for _ in range(3):
            gc.collect()
    finally:
        sys.unraisablehook = old
    assert [(n, m) for n, m, _ in seen] == [("PanicException", "doomed object destroyed")]
    if CPYTHON:  # PyPy cannot hand a dying object to Python code
        kept = seen[0][2]
        assert type(kept).__name__ == "Doomed"
        del seen[:], kept  # the hook's reference goes: freed without a second destruction
        gc.collect()
    assert "doomed object destroyed" in capfd.readouterr().err


def test_class_creation_failure_names_class_and_cause():
    # Not cached: the failed batch leaves its cell empty, so a second creation tries again
    # (instead of refusing a class "created twice") and fails the same way.
    for _ in range(2):
        with pytest.raises(RuntimeError) as e:
            probe.broken_class()
        assert str(e.value) == "An error occurred while initializing class Broken"
        inner = e.value.__cause__
        assert type(inner) is RuntimeError
        assert str(inner) == "An error occurred while initializing `Broken.__dict__`"
        assert type(inner.__cause__) is ValueError
    # Nothing creates a class on demand: an operation that needs it meets an internal failure.
    with pytest.raises(BaseException) as op:
        probe.broken_class_in_operation()
    assert type(op.value).__name__ == "PanicException"
    assert op.value.args == ("type object for Broken is not created",)


# ---- objects that hold no value ---------------------------------------------------------

import velto_protocol as vp  # noqa: E402

S = vp.ServerStatus
COORD = type(probe.make_joystick(0.5, 0.5, 0.5).delta)


def server():
    return vp.ComSocketServer("127.0.0.1:0")


@pytest.mark.parametrize(
    "cls, use, message",
    [
        (S, lambda o: int(o), "ServerStatus object holds no value"),
        (S, lambda o: repr(o), "ServerStatus object holds no value"),
        (S, lambda o: server().callback(1, o, vp.ConfirmResult(True)),
         "argument 'status': ServerStatus object holds no value"),
        (S, lambda o: server().callback(id=1, data=vp.ConfirmResult(True), status=o),
         "argument 'status': ServerStatus object holds no value"),
        (vp.ErrorResult, lambda o: server().callback(1, S.Idle, o),
         "argument 'data': ErrorResult object holds no value"),
        (vp.ConfirmResult, lambda o: server().callback(1, S.Idle, o),
         "argument 'data': ConfirmResult object holds no value"),
        (vp.ErrorResult, lambda o: probe.result_frame_new(1, 1, o),
         "argument 'data': ErrorResult object holds no value"),
        (vp.ErrorResult, lambda o: o.error, "ErrorResult object holds no value"),
        (vp.ConfirmResult, lambda o: o.status, "ConfirmResult object holds no value"),
        (COORD, lambda o: vp.WidgetRegistry.Joystick(o, 0.5),
         "argument 'delta': Coord object holds no value"),
        (COORD, lambda o: o.x, "Coord object holds no value"),
        (vp.WidgetRegistry.Joystick, lambda o: o.intensity,
         "WidgetRegistry_Joystick object holds no value"),
        (vp.ComSocketServer, lambda o: o.close(), "ComSocketServer object holds no value"),
        # self is checked before any argument is converted
        (vp.ComSocketServer, lambda o: o.callback("x", None, None),
         "ComSocketServer object holds no value"),
        (vp.ComSocketServer, lambda o: o.wait_disconnected(), "ComSocketServer object holds no value"),
    ],
    ids=["int", "repr", "callback-status", "callback-status-keyword", "callback-error-data",
         "callback-confirm-data", "result-frame-data", "error-getter", "status-getter",
         "joystick-delta", "coord-getter", "joystick-getter", "server-close", "server-callback",
         "server-wait"],
)
def test_an_object_that_holds_no_value_is_a_type_error_on_every_path(cls, use, message):
    obj = probe.unbuilt(cls)
    with pytest.raises(TypeError) as e:
        use(obj)
    assert str(e.value) == message


def test_an_enum_member_that_holds_no_value_compares_unequal():
    obj = probe.unbuilt(S)
    assert (obj == 1) is False and (obj != S.Idle) is True
    assert (S.NotInit == obj) is False


# ---- where an internal failure is reported ---------------------------------------------

def module_panic_type():
    try:
        vp.on(vp.ComSocketServer("x"))(lambda: None)  # a lambda's name is no widget key
    except BaseException as e:  # noqa: BLE001
        assert type(e).__name__ == "PanicException"
        return type(e)
    raise AssertionError("no internal failure")


def report_places(err):
    return re.findall(r"internal failure in thread '[^']*' \(id \d+\) at (\S+):\d+:", err)


def test_reports_name_the_calling_line_not_a_helper(capfd):
    panic = module_panic_type()

    class GivesUp:
        def __index__(self):
            raise panic("index gave up")

    for server in (vp.ComSocketServer("x"), vp.VeltoPiServer.use_websocket("x")):
        capfd.readouterr()
        with pytest.raises(BaseException) as e:
            server.on(GivesUp(), "ClickButton", print)
        assert type(e.value) is panic and e.value.args == ("index gave up",)
        # The conversion met the failure; the method body that asked for it (shared by the
        # server classes) is named.
        assert report_places(capfd.readouterr().err) == ["src/server/server_binding.cpp"]

    with pytest.raises(BaseException):
        probe.broken_class_in_operation()
    assert report_places(capfd.readouterr().err) == ["tests/python/ext/binding_probe.cpp"]
