"""WidgetRegistry, its six kind classes and Coord: constructors and their errors, getters,
immutability, identity semantics, match statements and the hand-over to handlers.

A first Coord can only come from a joystick object made by the module itself (as the
dispatch makes them); the test-only extension makes one from given 32-bit values."""
import math
import operator
import platform
import sys
import weakref

import pytest

import _velto_testext as probe
import velto_protocol as vp

W = vp.WidgetRegistry
CPYTHON = platform.python_implementation() == "CPython"
cpython_only = pytest.mark.skipif(
    not CPYTHON,
    reason="PyPy's cpyext gives every instance a __dict__ and weak references, whatever the "
    "type's flags say (setting an attribute still fails)",
)

KINDS = ["ClickButton", "ToggleButton", "ConfirmButton", "PressButton", "DirectionalButton",
         "Joystick"]
F32_01 = 0.10000000149011612  # the 32-bit float nearest to 0.1, widened


@pytest.fixture
def joystick():
    return probe.make_joystick(0.1, -2.5, 0.75)


@pytest.fixture
def coord(joystick):
    return joystick.delta


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Float:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Raising:
    """Raises `exc` from whichever conversion the module asks for."""

    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc

    def __float__(self):
        raise self.exc


def interpreter_message(convert, value):
    try:
        convert(value)
    except TypeError as e:
        return str(e)
    raise AssertionError(f"{value!r} converted")


# --- Classes ------------------------------------------------------------------------------


def test_registry_holds_the_kind_classes_in_order():
    assert [k for k in W.__dict__ if k in KINDS] == KINDS
    for kind in KINDS:
        cls = getattr(W, kind)
        assert cls.__name__ == cls.__qualname__ == f"WidgetRegistry_{kind}"
        assert cls.__module__ == "velto_protocol"
        assert cls.__bases__ == (W,)
        assert issubclass(cls, W)
    assert W.__bases__ == (object,)


@pytest.mark.parametrize("name", ["Coord", "WidgetRegistry_Joystick", "WidgetRegistry_ClickButton"])
def test_coord_and_kind_classes_are_not_module_attributes(name):
    with pytest.raises(AttributeError):
        getattr(vp, name)


def test_coord_class(coord):
    cls = type(coord)
    assert (cls.__name__, cls.__module__, cls.__bases__) == ("Coord", "velto_protocol", (object,))
    assert type(probe.make_joystick(0, 0, 0).delta) is cls
    assert not hasattr(cls, "__match_args__")


@pytest.mark.parametrize(
    "kind, signature",
    [
        ("ClickButton", "()"),
        ("ToggleButton", "(value)"),
        ("ConfirmButton", "()"),
        ("PressButton", "(pressed)"),
        ("DirectionalButton", "(direction)"),
        ("Joystick", "(delta, intensity)"),
    ],
)
def test_kind_class_documents_only_its_signature(kind, signature):
    cls = getattr(W, kind)
    assert cls.__text_signature__ == signature
    assert not cls.__doc__


def test_classes_without_constructor_have_no_documentation(coord):
    assert W.__doc__ is None
    assert type(coord).__doc__ is None


@pytest.mark.parametrize(
    "make", [lambda c: W(), lambda c: type(c)()], ids=["WidgetRegistry", "Coord"]
)
def test_no_constructor(make, coord):
    with pytest.raises(TypeError) as e:
        make(coord)
    assert e.value.args == ("No constructor defined",)


def test_registry_can_be_subclassed_but_not_instantiated():
    class Mine(W):
        pass

    with pytest.raises(TypeError) as e:
        Mine()
    assert e.value.args == ("No constructor defined",)


@pytest.mark.skipif(not CPYTHON, reason="PyPy's object.__new__ does not check the base's tp_new")
def test_object_new_cannot_bypass_the_missing_constructor():
    class Mine(W):
        pass

    for cls in (W, Mine, W.ToggleButton):
        with pytest.raises(TypeError):
            object.__new__(cls)


@pytest.mark.parametrize("name", KINDS + ["Coord"])
def test_kind_classes_and_coord_cannot_be_subclassed(name, coord):
    base = type(coord) if name == "Coord" else getattr(W, name)
    with pytest.raises(TypeError):
        type("Sub", (base,), {})


@pytest.mark.parametrize(
    "kind, match_args",
    [
        ("ClickButton", None),
        ("ToggleButton", ("value",)),
        ("ConfirmButton", None),
        ("PressButton", ("pressed",)),
        ("DirectionalButton", ("direction",)),
        ("Joystick", ("delta", "intensity")),
    ],
)
def test_match_args(kind, match_args):
    cls = getattr(W, kind)
    assert "__match_args__" in cls.__dict__
    assert cls.__match_args__ == match_args
    if match_args is None:
        assert cls.__match_args__ is None  # not an empty tuple


# --- Construction and getters -------------------------------------------------------------


@pytest.mark.parametrize(
    "make, attribute, expected",
    [
        (lambda: W.ToggleButton(True), "value", True),
        (lambda: W.ToggleButton(value=False), "value", False),
        (lambda: W.PressButton(False), "pressed", False),
        (lambda: W.PressButton(pressed=True), "pressed", True),
        (lambda: W.DirectionalButton(0), "direction", 0),
        (lambda: W.DirectionalButton(255), "direction", 255),
        (lambda: W.DirectionalButton(direction=17), "direction", 17),
        (lambda: W.DirectionalButton(True), "direction", 1),  # a bool is an integer
        (lambda: W.DirectionalButton(Index(200)), "direction", 200),
    ],
    ids=["toggle-true", "toggle-kw-false", "press-false", "press-kw-true", "dir-0", "dir-255",
         "dir-kw", "dir-bool", "dir-index"],
)
def test_constructor_stores_field(make, attribute, expected):
    obj = make()
    value = getattr(obj, attribute)
    assert type(value) is type(expected)
    assert value == expected
    if isinstance(expected, bool):
        assert value is expected


@pytest.mark.parametrize("kind", ["ClickButton", "ConfirmButton"])
def test_kinds_without_fields(kind):
    cls = getattr(W, kind)
    obj = cls()
    assert type(obj) is cls and isinstance(obj, W)
    assert type(obj).__name__ == f"WidgetRegistry_{kind}"


def test_joystick_fields_are_the_32_bit_values_widened(joystick):
    d = joystick.delta
    assert (d.x, d.y) == (F32_01, -2.5)
    assert joystick.intensity == 0.75
    assert all(type(v) is float for v in (d.x, d.y, joystick.intensity))


@pytest.mark.parametrize(
    "intensity, expected",
    [
        (0.1, F32_01),
        (2, 2.0),  # an integer converts to a float
        (True, 1.0),
        (Index(3), 3.0),
        (Float(0.1), F32_01),
        (-1e-50, -0.0),  # below the smallest 32-bit subnormal
        (1e39, math.inf),  # beyond the largest 32-bit float
        (-math.inf, -math.inf),
        (3.4028234663852886e38, 3.4028234663852886e38),  # the largest 32-bit float
    ],
    ids=["0.1", "int", "bool", "index", "float-method", "underflow", "overflow", "-inf", "max"],
)
def test_joystick_intensity_is_narrowed_to_32_bits(coord, intensity, expected):
    got = W.Joystick(coord, intensity).intensity
    assert got == expected
    assert math.copysign(1, got) == math.copysign(1, expected)


def test_integer_too_large_for_a_float_is_the_interpreters_overflow(coord):
    with pytest.raises(OverflowError) as e:
        W.Joystick(coord, Index(2**2000))
    assert not str(e.value).startswith("argument")


def test_joystick_carries_nan(coord):
    assert math.isnan(W.Joystick(coord, math.nan).intensity)
    nan_joystick = probe.make_joystick(math.nan, math.inf, 0)
    assert math.isnan(nan_joystick.delta.x) and nan_joystick.delta.y == math.inf


def test_joystick_copies_delta(joystick):
    built = W.Joystick(intensity=0.5, delta=joystick.delta)
    assert (built.delta.x, built.delta.y, built.intensity) == (F32_01, -2.5, 0.5)
    assert type(built.delta) is type(joystick.delta)


def test_every_read_of_delta_is_a_new_coord(joystick):
    assert joystick.delta is not joystick.delta
    assert joystick.delta != joystick.delta  # two objects, compared by identity
    assert joystick.delta.x == joystick.delta.x
    assert joystick.delta.y == joystick.delta.y


# --- Constructor errors -------------------------------------------------------------------


def _arity(cls, text):
    return f"WidgetRegistry_{cls}.__new__() {text}"


@pytest.mark.parametrize(
    "call, exc_type, message",
    [
        (lambda c: W.ClickButton(1), TypeError,
         _arity("ClickButton", "takes 0 positional arguments but 1 was given")),
        (lambda c: W.ConfirmButton(1, 2), TypeError,
         _arity("ConfirmButton", "takes 0 positional arguments but 2 were given")),
        (lambda c: W.ClickButton(x=1), TypeError,
         _arity("ClickButton", "got an unexpected keyword argument 'x'")),
        (lambda c: W.ToggleButton(), TypeError,
         _arity("ToggleButton", "missing 1 required positional argument: 'value'")),
        (lambda c: W.PressButton(), TypeError,
         _arity("PressButton", "missing 1 required positional argument: 'pressed'")),
        (lambda c: W.DirectionalButton(1, 2), TypeError,
         _arity("DirectionalButton", "takes 1 positional arguments but 2 were given")),
        (lambda c: W.Joystick(), TypeError,
         _arity("Joystick", "missing 2 required positional arguments: 'delta' and 'intensity'")),
        (lambda c: W.Joystick(c), TypeError,
         _arity("Joystick", "missing 1 required positional argument: 'intensity'")),
        (lambda c: W.Joystick(c, 1.0, 2.0), TypeError,
         _arity("Joystick", "takes 2 positional arguments but 3 were given")),
        (lambda c: W.ToggleButton(True, value=False), TypeError,
         _arity("ToggleButton", "got multiple values for argument 'value'")),
        (lambda c: W.ToggleButton(valu=True), TypeError,
         _arity("ToggleButton", "got an unexpected keyword argument 'valu'")),
        # Conversions: the parameter's name and the argument's type.
        (lambda c: W.ToggleButton(1), TypeError,
         "argument 'value': 'int' object cannot be converted to 'PyBool'"),
        (lambda c: W.ToggleButton(1.0), TypeError,
         "argument 'value': 'float' object cannot be converted to 'PyBool'"),
        (lambda c: W.PressButton(None), TypeError,
         "argument 'pressed': 'NoneType' object cannot be converted to 'PyBool'"),
        (lambda c: W.PressButton(Index), TypeError,
         "argument 'pressed': 'type' object cannot be converted to 'PyBool'"),
        (lambda c: W.PressButton(Index(1)), TypeError,
         "argument 'pressed': 'Index' object cannot be converted to 'PyBool'"),
        (lambda c: W.DirectionalButton(256), OverflowError,
         "out of range integral type conversion attempted"),
        (lambda c: W.DirectionalButton(-1), OverflowError,
         "out of range integral type conversion attempted"),
        (lambda c: W.DirectionalButton(2**64), OverflowError,
         "out of range integral type conversion attempted"),
        (lambda c: W.DirectionalButton(-(2**70)), OverflowError,
         "out of range integral type conversion attempted"),
        (lambda c: W.DirectionalButton(Index(300)), OverflowError,
         "out of range integral type conversion attempted"),
        (lambda c: W.Joystick((1.0, 2.0), 0.5), TypeError,
         "argument 'delta': 'tuple' object cannot be converted to 'Coord'"),
        (lambda c: W.Joystick(W.Joystick(c, 0), 0.5), TypeError,
         "argument 'delta': 'WidgetRegistry_Joystick' object cannot be converted to 'Coord'"),
        (lambda c: W.Joystick(None, "bad"), TypeError,  # the first bad argument is reported
         "argument 'delta': 'NoneType' object cannot be converted to 'Coord'"),
        (lambda c: W.Joystick(c, None, x=1), TypeError,  # arity before any conversion
         _arity("Joystick", "got an unexpected keyword argument 'x'")),
    ],
)
def test_constructor_errors(coord, call, exc_type, message):
    with pytest.raises(exc_type) as e:
        call(coord)
    assert type(e.value) is exc_type
    assert e.value.args == (message,)


@pytest.mark.parametrize("bad", ["7", 1.5, None, 1j])
def test_direction_not_an_integer_gets_the_interpreters_message(bad):
    with pytest.raises(TypeError) as e:
        W.DirectionalButton(bad)
    assert e.value.args == ("argument 'direction': " + interpreter_message(operator.index, bad),)


@pytest.mark.parametrize("bad", ["1.5", None, 1j, b"1", Index])
def test_intensity_not_a_float_gets_the_interpreters_message(coord, bad):
    with pytest.raises(TypeError) as e:
        W.Joystick(coord, bad)
    assert e.value.args == ("argument 'intensity': " + interpreter_message(math.fabs, bad),)


@pytest.mark.parametrize(
    "call, param",
    [
        (lambda c, bad: W.DirectionalButton(bad), "direction"),
        (lambda c, bad: W.Joystick(c, bad), "intensity"),
    ],
    ids=["index", "float"],
)
def test_wrapped_type_error_keeps_the_cause(coord, call, param):
    root = KeyError("root")
    inner = TypeError("inner")
    inner.__cause__ = root
    with pytest.raises(TypeError) as e:
        call(coord, Raising(inner))
    assert e.value is not inner
    assert e.value.args == (f"argument '{param}': inner",)
    assert e.value.__cause__ is root


@pytest.mark.parametrize(
    "call",
    [lambda c, bad: W.DirectionalButton(bad), lambda c, bad: W.Joystick(c, bad)],
    ids=["index", "float"],
)
@pytest.mark.parametrize("exc", [ValueError("v"), OverflowError("o"), ZeroDivisionError("z")],
                         ids=lambda e: type(e).__name__)
def test_other_conversion_errors_are_raised_unchanged(coord, call, exc):
    with pytest.raises(type(exc)) as e:
        call(coord, Raising(exc))
    assert e.value is exc


def _fake_bool(name, module, truth):
    return type(name, (), {"__module__": module, "__bool__": lambda self: truth})()


@pytest.mark.parametrize("name", ["bool_", "bool"])
@pytest.mark.parametrize("truth", [True, False])
@pytest.mark.parametrize("kind, attribute", [("ToggleButton", "value"), ("PressButton", "pressed")])
def test_numpy_bool_is_accepted_through_its_truth(name, truth, kind, attribute):
    obj = getattr(W, kind)(_fake_bool(name, "numpy", truth))
    assert getattr(obj, attribute) is truth


@pytest.mark.parametrize(
    "name, module",
    [("bool_", "numpyx"), ("bool_", "numpy.core"), ("bool8", "numpy"), ("Bool_", "numpy")],
)
def test_lookalike_bools_are_refused(name, module):
    with pytest.raises(TypeError) as e:
        W.ToggleButton(_fake_bool(name, module, True))
    assert e.value.args == (f"argument 'value': '{name}' object cannot be converted to 'PyBool'",)


def test_numpy_bool_whose_truth_fails_names_the_parameter():
    def fail(self):
        raise TypeError("no truth")

    fake = type("bool_", (), {"__module__": "numpy", "__bool__": fail})()
    with pytest.raises(TypeError) as e:
        W.PressButton(fake)
    assert e.value.args == ("argument 'pressed': no truth",)


# --- Immutability and identity ------------------------------------------------------------


@pytest.mark.parametrize(
    "make, attribute",
    [
        (lambda j: W.ToggleButton(True), "value"),
        (lambda j: W.PressButton(True), "pressed"),
        (lambda j: W.DirectionalButton(3), "direction"),
        (lambda j: j, "delta"),
        (lambda j: j, "intensity"),
        (lambda j: j.delta, "x"),
        (lambda j: j.delta, "y"),
    ],
    ids=["value", "pressed", "direction", "delta", "intensity", "x", "y"],
)
def test_fields_are_read_only(joystick, make, attribute):
    def state():
        value = getattr(obj, attribute)
        return (value.x, value.y) if attribute == "delta" else value

    obj = make(joystick)
    before = state()
    with pytest.raises(AttributeError):
        setattr(obj, attribute, getattr(obj, attribute))
    with pytest.raises(AttributeError):
        delattr(obj, attribute)
    assert state() == before


WIDGET_OBJECTS = pytest.mark.parametrize(
    "make",
    [lambda j: W.ClickButton(), lambda j: W.ToggleButton(False), lambda j: j, lambda j: j.delta],
    ids=["click", "toggle", "joystick", "coord"],
)


@WIDGET_OBJECTS
def test_no_new_attributes(joystick, make):
    obj = make(joystick)
    with pytest.raises(AttributeError):
        obj.extra = 1


@cpython_only
@WIDGET_OBJECTS
def test_no_instance_dict_or_weak_reference(joystick, make):
    obj = make(joystick)
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(obj)


@pytest.mark.parametrize(
    "make",
    [lambda: W.ClickButton(), lambda: W.ToggleButton(True), lambda: W.DirectionalButton(4)],
    ids=["click", "toggle", "direction"],
)
def test_equality_and_hash_by_identity(make):
    a, b = make(), make()
    assert a == a and not (a != a)
    assert a != b and not (a == b)
    assert hash(a) == hash(a)
    assert hash(a) != hash(b)
    assert len({a, b, a}) == 2


def test_default_repr_names_the_class():
    text = repr(W.ToggleButton(True))
    assert text.startswith("<velto_protocol.WidgetRegistry_ToggleButton object at 0x")


# --- match statements ---------------------------------------------------------------------

MATCH_SOURCE = """
def describe(widget):
    match widget:
        case W.Joystick(d, i):
            return ("joystick", d, i)
        case W.ToggleButton(v) | W.PressButton(v):
            return ("bool", type(widget).__name__, v)
        case W.DirectionalButton(direction=code):
            return ("direction", code)
        case W.ClickButton():
            return ("click",)
        case W():
            return ("other",)

def positional_on_click(widget):
    match widget:
        case W.ClickButton(x):
            return x
"""


@pytest.fixture
def matchers():
    if sys.version_info < (3, 10):
        pytest.skip("no match statement before Python 3.10 (PyPy 3.9)")
    namespace = {"W": W}
    exec(compile(MATCH_SOURCE, "<match>", "exec"), namespace)
    return namespace


def test_match_binds_fields_positionally(matchers, joystick):
    describe = matchers["describe"]
    kind, d, i = describe(joystick)
    assert kind == "joystick" and type(d) is type(joystick.delta)
    assert (d.x, d.y, i) == (F32_01, -2.5, 0.75)
    assert describe(W.ToggleButton(True)) == ("bool", "WidgetRegistry_ToggleButton", True)
    assert describe(W.PressButton(False)) == ("bool", "WidgetRegistry_PressButton", False)
    assert describe(W.DirectionalButton(9)) == ("direction", 9)
    assert describe(W.ClickButton()) == ("click",)
    assert describe(W.ConfirmButton()) == ("other",)


def test_match_on_a_kind_without_fields_takes_no_positional_pattern(matchers):
    with pytest.raises(TypeError):
        matchers["positional_on_click"](W.ClickButton())


# --- Hand-over to handlers ----------------------------------------------------------------


@pytest.mark.parametrize(
    "make, fields",
    [
        (lambda j: W.ClickButton(), []),
        (lambda j: W.ToggleButton(True), ["value"]),
        (lambda j: W.ConfirmButton(), []),
        (lambda j: W.PressButton(False), ["pressed"]),
        (lambda j: W.DirectionalButton(255), ["direction"]),
        (lambda j: W.Joystick(j.delta, -0.1), ["intensity"]),
    ],
    ids=KINDS,
)
def test_hand_over_is_a_new_object_of_the_kind_class_as_the_only_argument(joystick, make, fields):
    original = make(joystick)
    args = probe.call_handler(lambda *args: args, original)
    assert type(args) is tuple and len(args) == 1
    (handed,) = args
    assert type(handed) is type(original)
    assert handed is not original
    for field in fields:
        assert getattr(handed, field) == getattr(original, field)


def test_hand_over_copies_the_coordinates(joystick):
    (handed,) = probe.call_handler(lambda *args: args, joystick)
    assert (handed.delta.x, handed.delta.y, handed.intensity) == (F32_01, -2.5, 0.75)
