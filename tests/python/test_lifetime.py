"""Lifetime of what a server holds: registered callables and cycles through them."""
import gc
import platform
import weakref

import pytest

import velto_protocol as vp


@pytest.mark.skipif(platform.python_implementation() != "CPython",
                    reason="PyPy's C-API layer does not collect cycles through extension objects")
def test_cycle_through_a_registered_closure_is_collected():
    def make():
        server = vp.ComSocketServer("127.0.0.1:0")
        handler = lambda w: server  # noqa: E731  (the closure holds the server)
        server.on(1, "ClickButton", handler)
        return weakref.ref(handler)

    ref = make()
    for _ in range(3):
        gc.collect()
    assert ref() is None


def test_dropping_a_server_releases_its_callables():
    class Handler:
        def __call__(self, w):
            pass

    server = vp.ComSocketServer("127.0.0.1:0")
    handler = Handler()
    ref = weakref.ref(handler)
    server.on(1, "ClickButton", handler)
    del handler
    assert ref() is not None  # the registry keeps it
    del server
    for _ in range(3):
        gc.collect()
    assert ref() is None


@pytest.mark.parametrize("cls", [vp.ComSocketServer, vp.ErrorResult, vp.WidgetRegistry.Joystick])
def test_instance_made_without_constructor_is_refused(cls):
    import os

    try:
        obj = object.__new__(cls)
    except TypeError:
        return  # CPython refuses object.__new__ for these classes by itself
    name = cls.__name__
    with pytest.raises(TypeError) as e:
        if cls is vp.ComSocketServer:
            obj.close()
        elif cls is vp.ErrorResult:
            obj.error
        else:
            obj.intensity
    assert str(e.value) == f"{name} object holds no value"
    del obj
    for _ in range(3):
        gc.collect()
    os.fstat(0)  # a zeroed descriptor field was not taken for descriptor 0 and closed
