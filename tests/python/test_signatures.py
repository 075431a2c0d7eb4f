"""Every callable of the module: the signature text it shows, and that it takes the keyword
names that text shows, each bound to its own parameter."""
import sys

import pytest

import velto_protocol as vp

CPYTHON = sys.implementation.name == "cpython"

# Qualified name: the text signature of every function, method and constructor.
SIGNATURES = {
    "on": "(server)",
    "VeltoPiServer.use_socket": "(address)",
    "VeltoPiServer.use_websocket": "(address, *, token=None)",
    "WebSocketServer": "(address, *, token=None)",
    "WebSocketServer.on": "($self, id, widget, action)",
    "WebSocketServer._get_action": "($self, key)",
    "WebSocketServer.open": "($self)",
    "WebSocketServer.serve": "($self)",
    "WebSocketServer.callback": "($self, id, status, data)",
    "WebSocketServer.close": "($self)",
    "WebSocketServer.wait_disconnected": "($self, timeout=None)",
    "WebSocketServer.urls": "($self)",
    "ComSocketServer": "(address)",
    "ComSocketServer.on": "($self, id, widget, action)",
    "ComSocketServer._get_action": "($self, key)",
    "ComSocketServer.open": "($self)",
    "ComSocketServer.serve": "($self)",
    "ComSocketServer.callback": "($self, id, status, data)",
    "ComSocketServer.close": "($self)",
    "ComSocketServer.wait_disconnected": "($self, timeout=None)",
    "ConfirmResult": "(status)",
    "ErrorResult": "(error)",
    "WidgetRegistry_ClickButton": "()",
    "WidgetRegistry_ToggleButton": "(value)",
    "WidgetRegistry_ConfirmButton": "()",
    "WidgetRegistry_PressButton": "(pressed)",
    "WidgetRegistry_DirectionalButton": "(direction)",
    "WidgetRegistry_Joystick": "(delta, intensity)",
}

# What a method is called on: an object that was never opened.
INSTANCES = {"ComSocketServer": lambda: vp.ComSocketServer("127.0.0.1:0"),
             "WebSocketServer": lambda: vp.WebSocketServer("127.0.0.1:0")}


def module_callables():
    """{qualified name: callable} of the module's functions, the classes it offers (kind
    classes included, and WebSocketServer, an attribute outside __all__) that show a
    constructor signature, and their methods."""
    found = {}
    classes = []
    for name in [*vp.__all__, "WebSocketServer"]:
        obj = getattr(vp, name)
        if not isinstance(obj, type):
            found[name] = obj
            continue
        classes.append(obj)
        classes.extend(v for v in vars(obj).values() if isinstance(v, type))
    for cls in classes:
        if cls.__text_signature__ is not None:
            found[cls.__name__] = cls
        for attr in vars(cls):
            value = getattr(cls, attr)
            if not attr.startswith("__") and callable(value) and not isinstance(value, type):
                found[f"{cls.__name__}.{attr}"] = value
    return found


class Unconvertible:
    """What no parameter of the module converts."""


def parameter_names(text):
    inner = text[1:-1]
    names = [p.split("=")[0] for p in inner.split(", ")] if inner else []
    return [n for n in names if n not in ("$self", "*")]


def test_every_callable_has_a_row():
    assert sorted(module_callables()) == sorted(SIGNATURES)


@pytest.mark.parametrize("qualname, text", sorted(SIGNATURES.items()), ids=sorted(SIGNATURES))
def test_callable_takes_the_keywords_its_signature_shows(qualname, text):
    target = module_callables()[qualname]
    shown = getattr(target, "__text_signature__", None)
    if CPYTHON or shown is not None:  # PyPy shows none for the methods of extension classes
        assert shown == text
    owner = qualname.split(".")[0]
    if text.startswith("($self") and owner in INSTANCES:
        target = getattr(INSTANCES[owner](), qualname.split(".")[1])
    names = parameter_names(text)
    if not names:
        return
    # All by keyword: none is refused, and the first is converted first, as the first
    # parameter (every parameter refuses such an object).
    with pytest.raises(TypeError) as every:
        target(**{n: Unconvertible() for n in names})
    assert str(every.value).startswith(f"argument '{names[0]}': ")
    # Each alone: taken as itself, so only the others can be missing.
    for name in names:
        try:
            target(**{name: Unconvertible()})
        except TypeError as e:
            message = str(e)
            assert "unexpected keyword" not in message and "multiple values" not in message, message
            assert f"'{name}'" not in message or message.startswith(f"argument '{name}': "), message
