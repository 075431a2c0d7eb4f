"""The module function on(server): the decorator it returns, the wrappers that decorator
makes, what they register and what they keep alive."""
import contextlib
import faulthandler
import re
import gc
import socket
import sys
import threading
import weakref

import pytest

import velto_protocol as vp
from support import (WAIT, Handler, connect, free_port, is_panic, raised, thread_count, threads_back,
                     wait_until)
from velto_tools.wire import KINDS, frame


def new_server():
    return vp.ComSocketServer("127.0.0.1:1")


def collect():
    for _ in range(4):  # PyPy frees a capsule's reference only on a later collection
        gc.collect()


def named(name):
    """A plain function called `name`."""

    def function(widget):
        return None

    function.__name__ = name
    return function


def test_decorated_function_is_registered_and_its_name_is_a_forwarding_wrapper():
    server = new_server()
    calls = []

    def Joystick_3(*args, **kwargs):
        calls.append((args, kwargs))
        return ("result", args)

    original = Joystick_3
    Joystick_3 = vp.on(server)(Joystick_3)
    assert server._get_action("Joystick_3") is original  # the function, not the wrapper
    assert Joystick_3 is not original and callable(Joystick_3)
    assert Joystick_3(1, "two", k=3) == ("result", (1, "two"))
    assert Joystick_3() == ("result", ())
    assert calls == [((1, "two"), {"k": 3}), ((), {})]


def test_decorator_syntax_and_a_function_returning_none():
    server = new_server()

    @vp.on(server)
    def ToggleButton_1(widget):
        pass

    assert ToggleButton_1("w") is None
    assert callable(server._get_action("ToggleButton_1"))
    assert server._get_action("ToggleButton_1") is not ToggleButton_1


def test_decorator_and_wrapper_carry_a_generic_name_and_no_documentation():
    deco = vp.on(server=new_server())

    def PressButton_2(widget):
        """Handles the press button."""

    wrapper = deco(PressButton_2)
    assert deco.__name__ == wrapper.__name__
    assert "_" not in wrapper.__name__
    assert wrapper.__doc__ in ("", None) and deco.__doc__ in ("", None)


@pytest.mark.parametrize(
    "name, key",
    [
        ("ClickButton_007", "ClickButton_7"),
        ("Joystick_3_left", "Joystick_3"),
        ("Joystick_+3", "Joystick_3"),
        ("Joystick_0", "Joystick_0"),
        ("Joystick_255", "Joystick_255"),
        ("_7", "_7"),
        ("NoSuchKind_1", "NoSuchKind_1"),
    ],
)
def test_name_gives_the_key(name, key):
    server = new_server()
    function = named(name)
    kind = key.rsplit("_", 1)[0]
    # A kind no frame carries is registered all the same, with a warning.
    with contextlib.nullcontext() if kind in KINDS else \
            pytest.warns(RuntimeWarning, match=f"^no widget kind '{re.escape(kind)}'"):
        vp.on(server)(function)
    assert server._get_action(key) is function


@pytest.mark.parametrize(
    "name, keys",
    [
        ("handler", ["handler_0"]),
        ("Joystick_300", ["Joystick_300", "Joystick_44"]),
        ("Joystick_256", ["Joystick_256", "Joystick_0"]),
        ("Joystick_", ["Joystick_0", "Joystick_"]),
        ("Joystick_x", ["Joystick_0"]),
        ("Joystick_-3", ["Joystick_3"]),
        ("Joystick_ 3", ["Joystick_3"]),
        ("Joy_stick_3", ["Joy_3", "Joystick_3"]),
        ("<lambda>", ["<lambda>_0"]),
        ("", ["_0"]),
    ],
)
def test_bad_name_is_an_internal_failure_and_registers_nothing(name, keys, capfd):
    server = new_server()
    deco = vp.on(server)
    e = raised(lambda: deco(named(name)))
    assert is_panic(e), e
    assert all(server._get_action(key) is None for key in keys)
    # The decorator goes on working.
    good = named("Joystick_3")
    deco(good)
    assert server._get_action("Joystick_3") is good
    capfd.readouterr()


def test_lambda_is_an_internal_failure(capfd):
    server = new_server()
    assert is_panic(raised(lambda: vp.on(server)(lambda w: None)))
    capfd.readouterr()


def test_stacked_decorator_registers_the_function_then_fails_on_the_wrapper(capfd):
    server = new_server()
    deco = vp.on(server)
    inner = []

    def define():
        @deco
        @deco
        def Joystick_3(widget):
            pass

        inner.append(Joystick_3)

    e = raised(define)
    assert is_panic(e)
    assert inner == []  # the definition never completed
    registered = server._get_action("Joystick_3")
    assert callable(registered) and registered.__name__ == "Joystick_3"
    capfd.readouterr()


def test_decorator_takes_the_first_positional_argument_and_ignores_the_rest():
    server = new_server()
    first, second = named("Joystick_1"), named("Joystick_2")
    wrapper = vp.on(server)(first, second, 3, flag=True)
    assert server._get_action("Joystick_1") is first
    assert server._get_action("Joystick_2") is None
    assert wrapper("w") is None


def test_decorator_without_argument_raises_index_error():
    server = new_server()
    deco = vp.on(server)
    with pytest.raises(IndexError):
        deco()
    with pytest.raises(IndexError):
        deco(function=named("Joystick_1"))
    assert server._get_action("Joystick_1") is None


class NameIs:
    def __init__(self, name):
        self.__name__ = name

    def __call__(self, widget):
        pass


class NoName:
    def __call__(self, widget):
        pass


@pytest.mark.parametrize("obj", [NoName(), NameIs(5), NameIs(b"Joystick_3"), 42],
                         ids=["missing", "int", "bytes", "int-object"])
def test_object_without_string_name_is_an_internal_failure(obj, capfd):
    server = new_server()
    assert is_panic(raised(lambda: vp.on(server)(obj)))
    assert server._get_action("Joystick_3") is None
    capfd.readouterr()


def test_any_object_with_a_string_name_is_registered_itself():
    server = new_server()
    handler = NameIs("DirectionalButton_4")
    vp.on(server)(handler)
    assert server._get_action("DirectionalButton_4") is handler


def test_failing_server_on_is_an_internal_failure(capfd):
    """While open() waits, the server is in use: its `on` raises, the decorator fails."""
    port = free_port()
    server = vp.ComSocketServer(f"127.0.0.1:{port}")
    deco = vp.on(server)
    outcome = []
    clients = []

    def busy():
        e = raised(lambda: server._get_action(1))
        return isinstance(e, RuntimeError) and str(e) == "Already borrowed"

    def other_thread():
        if wait_until(busy):
            outcome.append(raised(lambda: deco(named("Joystick_3"))))
        clients.append(socket.create_connection(("127.0.0.1", port), timeout=WAIT))

    faulthandler.dump_traceback_later(60, exit=True, file=sys.__stderr__)
    t = threading.Thread(target=other_thread)
    t.start()
    try:
        server.open()
    finally:
        t.join(WAIT + 1)
        faulthandler.cancel_dump_traceback_later()
    try:
        assert len(outcome) == 1 and is_panic(outcome[0]), outcome
        assert "Already borrowed" in str(outcome[0])
        assert server._get_action("Joystick_3") is None
        good = named("Joystick_3")
        deco(good)  # usable again once the server is free
        assert server._get_action("Joystick_3") is good
    finally:
        server.close()
        for c in clients:
            c.close()
    capfd.readouterr()


def test_wrapper_propagates_the_exception_unchanged():
    original = KeyError("k")

    def Joystick_3(widget):
        raise original

    wrapper = vp.on(new_server())(Joystick_3)
    with pytest.raises(KeyError) as e:
        wrapper("w")
    assert e.value is original


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, "argument 'server': 'int' object cannot be converted to 'ComSocketServer'"),
        ((vp.VeltoPiServer,), {}, "argument 'server': 'type' object cannot be converted to 'ComSocketServer'"),
        ((), {}, "on() missing 1 required positional argument: 'server'"),
        ((), {"srv": 1}, "on() got an unexpected keyword argument 'srv'"),
    ],
    ids=["int", "class", "missing", "keyword"],
)
def test_on_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as e:
        vp.on(*args, **kwargs)
    assert str(e.value) == message


def test_decorator_keeps_the_server_alive():
    server = new_server()
    marker = Handler()
    gone = weakref.ref(marker)  # held only by the server's registry
    server.on(0, "ClickButton", marker)
    del marker
    deco = vp.on(server)
    del server
    collect()
    assert gone() is not None
    del deco
    collect()
    assert gone() is None


def test_wrapper_keeps_the_function_alive():
    server = new_server()
    calls = []

    def Joystick_5(widget):
        calls.append(widget)

    gone = weakref.ref(Joystick_5)
    wrapper = vp.on(server)(Joystick_5)
    server.on(5, "Joystick", Handler())  # the registry lets go of the function
    del Joystick_5
    collect()
    assert gone() is not None
    wrapper("w")
    assert calls == ["w"]
    del wrapper
    collect()
    assert gone() is None


def test_serving_thread_calls_the_decorated_function():
    """A frame for a decorated name reaches the function with the widget."""
    threads = thread_count()
    port = free_port()
    server = vp.ComSocketServer(f"127.0.0.1:{port}")
    calls = []

    @vp.on(server)
    def ToggleButton_2(widget):
        calls.append(widget.value)

    clients = []
    t = threading.Thread(target=lambda: clients.append(connect(port)))
    t.start()
    server.open()
    t.join(WAIT)
    conn = clients[0]
    try:
        server.serve()
        conn.sendall(frame(2, "ToggleButton", True))
        assert wait_until(lambda: calls)
        assert calls == [True]
    finally:
        server.close()
        conn.close()
        assert threads_back(threads)
