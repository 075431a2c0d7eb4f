"""ConfirmResult and ErrorResult, and the result frames built from them.

Until a reply can be sent from Python, result frames are built through the test-only
extension, which runs the module's own conversion and encoding on real result objects."""
import platform
import re
import sys

import pytest

import _velto_testext as probe
import velto_protocol as vp

CR, ER = vp.ConfirmResult, vp.ErrorResult
CPYTHON = platform.python_implementation() == "CPython"
cpython_only = pytest.mark.skipif(
    not CPYTHON,
    reason="PyPy's cpyext gives every instance a __dict__ and weak references, whatever the "
    "type's flags say (setting an attribute still fails)",
)
NOT_INIT, IDLE, BUSY, ERROR = range(4)


def _fake_bool(name, module, truth):
    return type(name, (), {"__module__": module, "__bool__": lambda self: truth})()


# --- Classes ------------------------------------------------------------------------------


@pytest.mark.parametrize("cls, signature", [(CR, "(status)"), (ER, "(error)")],
                         ids=["ConfirmResult", "ErrorResult"])
def test_class_shape(cls, signature):
    assert cls.__module__ == "velto_protocol"
    assert cls.__bases__ == (object,)
    assert cls.__text_signature__ == signature
    assert not cls.__doc__
    assert not hasattr(cls, "__match_args__")


@pytest.mark.parametrize("cls", [CR, ER], ids=["ConfirmResult", "ErrorResult"])
def test_cannot_be_subclassed(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


# --- Construction and getters -------------------------------------------------------------


@pytest.mark.parametrize(
    "make, expected",
    [
        (lambda: CR(True), True),
        (lambda: CR(False), False),
        (lambda: CR(status=False), False),
        (lambda: CR(_fake_bool("bool_", "numpy", True)), True),
        (lambda: CR(_fake_bool("bool", "numpy", False)), False),
    ],
    ids=["true", "false", "keyword", "numpy-bool_", "numpy-bool"],
)
def test_confirm_status(make, expected):
    assert make().status is expected


class Text(str):
    def __str__(self):
        return "not this"


@pytest.mark.parametrize(
    "make, expected",
    [
        (lambda: ER(""), ""),
        (lambda: ER("bad input"), "bad input"),
        (lambda: ER(error="kw"), "kw"),
        (lambda: ER("héllo ✓ 𝄞\x00end"), "héllo ✓ 𝄞\x00end"),
        (lambda: ER(Text("sub")), "sub"),  # a str subclass: its string value
        (lambda: ER("x" * 70000), "x" * 70000),
    ],
    ids=["empty", "ascii", "keyword", "non-ascii-and-nul", "str-subclass", "long"],
)
def test_error_text(make, expected):
    result = make()
    assert type(result.error) is str
    assert result.error == expected


@pytest.mark.skipif(not CPYTHON, reason="identity of equal strings is not observable on PyPy")
def test_every_read_of_error_is_a_new_string():
    result = ER("a longer error text")
    first, second = result.error, result.error
    assert first == second and first is not second


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: CR(), "ConfirmResult.__new__() missing 1 required positional argument: 'status'"),
        (lambda: ER(), "ErrorResult.__new__() missing 1 required positional argument: 'error'"),
        (lambda: CR(True, False),
         "ConfirmResult.__new__() takes 1 positional arguments but 2 were given"),
        (lambda: ER("a", "b"),
         "ErrorResult.__new__() takes 1 positional arguments but 2 were given"),
        (lambda: ER(error="x", code=1),
         "ErrorResult.__new__() got an unexpected keyword argument 'code'"),
        (lambda: CR(True, status=False),
         "ConfirmResult.__new__() got multiple values for argument 'status'"),
        (lambda: CR(1), "argument 'status': 'int' object cannot be converted to 'PyBool'"),
        (lambda: CR(None), "argument 'status': 'NoneType' object cannot be converted to 'PyBool'"),
        (lambda: CR("True"), "argument 'status': 'str' object cannot be converted to 'PyBool'"),
        (lambda: CR(_fake_bool("bool_", "numpyx", True)),
         "argument 'status': 'bool_' object cannot be converted to 'PyBool'"),
        (lambda: ER(42), "argument 'error': 'int' object cannot be converted to 'PyString'"),
        (lambda: ER(b"x"), "argument 'error': 'bytes' object cannot be converted to 'PyString'"),
        (lambda: ER(None), "argument 'error': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda: ER(CR(True)),
         "argument 'error': 'ConfirmResult' object cannot be converted to 'PyString'"),
    ],
)
def test_constructor_errors(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert type(e.value) is TypeError
    assert e.value.args == (message,)


def test_lone_surrogate_gives_the_interpreters_encoding_error():
    with pytest.raises(UnicodeEncodeError) as e:
        ER("a\ud800b")
    assert not str(e.value).startswith("argument")


# --- Immutability and identity ------------------------------------------------------------


@pytest.mark.parametrize(
    "make, attribute", [(lambda: CR(True), "status"), (lambda: ER("e"), "error")],
    ids=["status", "error"],
)
def test_fields_are_read_only(make, attribute):
    obj = make()
    before = getattr(obj, attribute)
    with pytest.raises(AttributeError):
        setattr(obj, attribute, before)
    with pytest.raises(AttributeError):
        delattr(obj, attribute)
    assert getattr(obj, attribute) == before


@pytest.mark.parametrize("make", [lambda: CR(True), lambda: ER("e")], ids=["confirm", "error"])
def test_no_new_attributes(make):
    obj = make()
    with pytest.raises(AttributeError):
        obj.extra = 1


@cpython_only
@pytest.mark.parametrize("make", [lambda: CR(True), lambda: ER("e")], ids=["confirm", "error"])
def test_no_instance_dict(make):
    assert not hasattr(make(), "__dict__")


@pytest.mark.parametrize("make", [lambda: CR(True), lambda: ER("same")], ids=["confirm", "error"])
def test_equality_and_hash_by_identity(make):
    a, b = make(), make()
    assert a == a and a != b and not (a == b)
    assert hash(a) == hash(a) and hash(a) != hash(b)
    assert len({a, b}) == 2


# --- Result frames from result objects ----------------------------------------------------


@pytest.mark.parametrize(
    "id_, status, make, hex_bytes",
    [
        (1, IDLE, lambda: CR(True),
         "93 01 a4 49 64 6c 65 81 ad 43 6f 6e 66 69 72 6d 52 65 73 75 6c 74 91 c3"),
        (2, ERROR, lambda: ER("bad input"),
         "93 02 a5 45 72 72 6f 72 81 ab 45 72 72 6f 72 52 65 73 75 6c 74 91 a9 62 61 64 20 69 6e "
         "70 75 74"),
        (200, NOT_INIT, lambda: CR(False),
         "93 cc c8 a7 4e 6f 74 49 6e 69 74 81 ad 43 6f 6e 66 69 72 6d 52 65 73 75 6c 74 91 c2"),
        (0, BUSY, lambda: ER("é"),
         "93 00 a4 42 75 73 79 81 ab 45 72 72 6f 72 52 65 73 75 6c 74 91 a2 c3 a9"),
    ],
    ids=["confirm-idle", "error-error", "confirm-notinit", "error-utf8"],
)
def test_result_frame_from_result_object(id_, status, make, hex_bytes):
    assert probe.result_frame_new(id_, status, make()) == bytes.fromhex(hex_bytes)


def test_result_object_can_be_reused_after_a_frame():
    result = ER("again")
    first = probe.result_frame_new(5, IDLE, result)
    assert probe.result_frame_new(5, IDLE, result) == first
    assert result.error == "again"


def binding_failure(type_name):
    return (
        "Python data failed to be bound: "
        "TypeError: failed to extract enum ResultBinding ('Confirm | Error')\n"
        "- variant Confirm (Confirm): TypeError: failed to extract field ResultBinding::Confirm.0, "
        f"caused by TypeError: '{type_name}' object cannot be converted to 'ConfirmResult'\n"
        "- variant Error (Error): TypeError: failed to extract field ResultBinding::Error.0, "
        f"caused by TypeError: '{type_name}' object cannot be converted to 'ErrorResult'"
    )


class Local:
    class Nested:
        pass


@pytest.mark.parametrize(
    "data, type_name",
    [
        (1, "int"),
        (None, "NoneType"),
        (True, "bool"),
        ("ok", "str"),
        (CR, "type"),  # the class, not an instance
        (vp.WidgetRegistry.ClickButton(), "WidgetRegistry_ClickButton"),
        (vp.ServerStatus.Idle, "ServerStatus"),
        (Local.Nested(), "Local.Nested"),  # the qualified name
    ],
)
def test_anything_else_is_an_internal_failure(data, type_name, capfd):
    with pytest.raises(BaseException) as e:
        probe.result_frame_new(1, IDLE, data)
    assert not isinstance(e.value, Exception)
    assert type(e.value).__name__ == "PanicException"
    assert e.value.args == (binding_failure(type_name),)
    # One report, at the line that found the data unbound, followed by the message.
    report = capfd.readouterr().err
    assert re.search(r" at src/server/models/result_frame\.cpp:\d+:\n"
                     + re.escape(binding_failure(type_name)) + "\n", report)


def test_internal_failure_is_not_caught_as_exception():
    caught = None
    try:
        try:
            probe.result_frame_new(1, IDLE, 3.5)
        except Exception:  # must not catch it
            caught = "Exception"
    except BaseException:
        caught = "BaseException"
    assert caught == "BaseException"
    # And everything keeps working afterwards.
    assert probe.result_frame_new(1, IDLE, CR(True))[-1:] == b"\xc3"


@pytest.mark.skipif(not CPYTHON, reason="reference counts are CPython's")
@pytest.mark.parametrize("data", [CR(True), ER("x"), object(), 12345.5],
                         ids=["confirm", "error", "object", "float"])
def test_data_reference_is_released_on_every_path(data):
    before = sys.getrefcount(data)
    for _ in range(100):
        try:
            probe.result_frame_new(1, IDLE, data)
        except BaseException:
            pass
    assert sys.getrefcount(data) == before
