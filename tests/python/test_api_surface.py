"""What a program meets before any connection: the module table, the facade, the
constructor, and the errors of every method's arguments on a new server, each of which leaves
the object as it was."""
import math
import platform
import sys

import pytest

import velto_protocol as vp
from support import REPLY_1, Handler, is_panic, raised, recv_exactly, reply_1

CPYTHON = platform.python_implementation() == "CPython"
S = vp.ServerStatus


# ---- argument and state errors -------------------------------------------------------------


# (name, call on a never-opened server, exception type, exact message). Conversions come
# before the state error.
ERROR_CASES = [
    ("serve before open", lambda s: s.serve(), RuntimeError, "Bad Server state"),
    ("callback before open", lambda s: reply_1(s), RuntimeError, "Bad Server state"),
    ("status as int", lambda s: s.callback(1, 1, vp.ConfirmResult(True)), TypeError,
     "argument 'status': 'int' object cannot be converted to 'ServerStatus'"),
    ("id 256", lambda s: s.callback(256, S.Idle, vp.ConfirmResult(True)), OverflowError,
     "out of range integral type conversion attempted"),
    ("id -1", lambda s: s.callback(-1, S.Idle, vp.ConfirmResult(True)), OverflowError,
     "out of range integral type conversion attempted"),
    ("id as str", lambda s: s.callback("1", S.Idle, vp.ConfirmResult(True)), TypeError,
     "argument 'id': 'str' object cannot be interpreted as an integer"),
    ("callback no data", lambda s: s.callback(1, S.Idle), TypeError,
     "ComSocketServer.callback() missing 1 required positional argument: 'data'"),
    ("callback nothing", lambda s: s.callback(), TypeError,
     "ComSocketServer.callback() missing 3 required positional arguments: 'id', 'status', and 'data'"),
    ("callback four", lambda s: s.callback(1, S.Idle, None, None), TypeError,
     "ComSocketServer.callback() takes 3 positional arguments but 4 were given"),
    ("callback keyword", lambda s: s.callback(1, S.Idle, None, x=1), TypeError,
     "ComSocketServer.callback() got an unexpected keyword argument 'x'"),
    ("on nothing", lambda s: s.on(), TypeError,
     "ComSocketServer.on() missing 3 required positional arguments: 'id', 'widget', and 'action'"),
    ("on no action", lambda s: s.on(1, "Joystick"), TypeError,
     "ComSocketServer.on() missing 1 required positional argument: 'action'"),
    ("get_action nothing", lambda s: s._get_action(), TypeError,
     "ComSocketServer._get_action() missing 1 required positional argument: 'key'"),
    ("get_action int key", lambda s: s._get_action(1), TypeError,
     "argument 'key': 'int' object cannot be converted to 'PyString'"),
    ("wait_disconnected two positional", lambda s: s.wait_disconnected(1, 2), TypeError,
     "ComSocketServer.wait_disconnected() takes from 0 to 1 positional arguments but 2 were given"),
    ("wait_disconnected unknown keyword", lambda s: s.wait_disconnected(seconds=1), TypeError,
     "ComSocketServer.wait_disconnected() got an unexpected keyword argument 'seconds'"),
    ("wait_disconnected twice", lambda s: s.wait_disconnected(1, timeout=1), TypeError,
     "ComSocketServer.wait_disconnected() got multiple values for argument 'timeout'"),
    ("wait_disconnected str", lambda s: s.wait_disconnected("1"), TypeError,
     "argument 'timeout': 'str' object cannot be converted to 'PyFloat'"),
    ("wait_disconnected negative int", lambda s: s.wait_disconnected(-1), ValueError,
     "timeout must be a non-negative number"),
    ("wait_disconnected negative float", lambda s: s.wait_disconnected(timeout=-0.001), ValueError,
     "timeout must be a non-negative number"),
    ("wait_disconnected nan", lambda s: s.wait_disconnected(math.nan), ValueError,
     "timeout must be a non-negative number"),
    ("wait_disconnected never served", lambda s: s.wait_disconnected(), RuntimeError, "Bad Server state"),
    ("wait_disconnected never served, zero", lambda s: s.wait_disconnected(0), RuntimeError,
     "Bad Server state"),
    ("wait_disconnected never served, keyword none", lambda s: s.wait_disconnected(timeout=None),
     RuntimeError, "Bad Server state"),
]


@pytest.mark.parametrize("name, call, kind, message", ERROR_CASES, ids=[c[0] for c in ERROR_CASES])
def test_errors_on_a_new_server(name, call, kind, message):
    server = vp.ComSocketServer("127.0.0.1:1")
    e = raised(lambda: call(server))
    assert type(e) is kind, e
    assert str(e) == message
    # Every failure gave the object back and left it in the state Created.
    assert server._get_action("Joystick_1") is None
    assert str(raised(server.serve)) == "Bad Server state"
    assert server.close() is None


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "ComSocketServer.__new__() missing 1 required positional argument: 'address'"),
        ((1,), {}, "argument 'address': 'int' object cannot be converted to 'PyString'"),
        ((), {"address": b"x"}, "argument 'address': 'bytes' object cannot be converted to 'PyString'"),
        (("a", "b"), {}, "ComSocketServer.__new__() takes 1 positional arguments but 2 were given"),
        ((), {"addr": "a"}, "ComSocketServer.__new__() got an unexpected keyword argument 'addr'"),
    ],
    ids=["missing", "int", "bytes-keyword", "two", "unknown-keyword"],
)
def test_constructor_errors(args, kwargs, message):
    with pytest.raises(TypeError) as e:
        vp.ComSocketServer(*args, **kwargs)
    assert str(e.value) == message


def test_constructor_takes_address_by_keyword_and_does_not_check_it():
    assert type(vp.ComSocketServer(address="not an address")) is vp.ComSocketServer


@pytest.mark.parametrize("method", ["open", "serve", "close"])
def test_open_serve_close_take_no_arguments(method):
    server = vp.ComSocketServer("127.0.0.1:1")
    with pytest.raises(TypeError, match="takes no arguments"):
        getattr(server, method)(1)
    with pytest.raises(TypeError, match="takes no keyword arguments"):
        getattr(server, method)(x=1)
    assert server.close() is None


@pytest.mark.skipif(platform.python_implementation() != "CPython",
                    reason="PyPy shows no signature text of extension methods")
def test_wait_disconnected_documents_its_signature_only():
    method = vp.ComSocketServer.wait_disconnected
    assert method.__text_signature__ == "($self, timeout=None)"
    assert not method.__doc__
    assert len(vp.__all__) == 8


# ---- the facade and the module table -------------------------------------------------------


def test_use_socket_returns_independent_plain_servers(h):
    a = vp.VeltoPiServer.use_socket(f"127.0.0.1:{h.port}")
    b = vp.VeltoPiServer.use_socket(address="x")
    assert type(a) is vp.ComSocketServer and type(b) is vp.ComSocketServer and a is not b
    a.on(1, "Joystick", Handler())
    assert b._get_action("Joystick_1") is None
    assert str(raised(a.serve)) == "Bad Server state"
    e = raised(b.open)  # "x" is only examined here
    assert is_panic(e) and str(e).startswith("Unable to intanstiate TCP Listener. ")
    assert "invalid socket address" in str(e)
    h.server = a  # the harness opens the facade's server
    conn = h.accept()
    reply_1(a)
    assert recv_exactly(conn, len(REPLY_1)) == REPLY_1


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: vp.VeltoPiServer(), "No constructor defined"),
        (lambda: vp.VeltoPiServer.use_socket(),
         "VeltoPiServer.use_socket() missing 1 required positional argument: 'address'"),
        (lambda: vp.VeltoPiServer.use_socket("a", "b"),
         "VeltoPiServer.use_socket() takes 1 positional arguments but 2 were given"),
        (lambda: vp.VeltoPiServer.use_socket(port=1),
         "VeltoPiServer.use_socket() got an unexpected keyword argument 'port'"),
        (lambda: vp.VeltoPiServer.use_socket(80),
         "argument 'address': 'int' object cannot be converted to 'PyString'"),
        (lambda: vp.VeltoPiServer.use_socket(address=None),
         "argument 'address': 'NoneType' object cannot be converted to 'PyString'"),
    ],
    ids=["construct", "missing", "two", "keyword", "int", "none"],
)
def test_use_socket_errors(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message


def test_facade_cannot_be_subclassed():
    with pytest.raises(TypeError):
        type("Sub", (vp.VeltoPiServer,), {})


def test_module_table():
    assert vp.__all__ == ["VeltoPiServer", "ComSocketServer", "Protocol", "ServerStatus",
                          "ConfirmResult", "ErrorResult", "WidgetRegistry", "on"]
    assert all(hasattr(vp, name) for name in vp.__all__)
    assert vp.on.__name__ == "on" and vp.on.__module__ == "velto_protocol"


def import_again():
    saved = sys.modules.pop("velto_protocol")
    try:
        import velto_protocol as again
    finally:
        sys.modules["velto_protocol"] = saved
    return again


def test_importing_again_gives_the_same_table():
    again = import_again()
    assert again.__all__ == vp.__all__
    assert all(getattr(again, name) is getattr(vp, name) for name in vp.__all__)


@pytest.mark.skipif(not CPYTHON, reason="PyPy makes a new module object from its cached copy "
                    "of an extension module without calling the module's init again")
def test_importing_again_returns_the_same_module():
    assert import_again() is vp
