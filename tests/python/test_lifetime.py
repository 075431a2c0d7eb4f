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
