"""The rules every class of the module keeps on both interpreters: a constructor builds only
its own class, classes that may not be subclassed refuse a class statement, instances take no
new attributes, and a PanicException met while looking up a name is not swallowed.

CPython checks the first three itself; on PyPy the module must, or `X.__new__(Y)` builds a Y
with X's memory layout."""
import gc

import pytest

import _velto_testext as probe
import velto_protocol as vp
from support import is_panic, raised

W = vp.WidgetRegistry
COORD = type(probe.make_joystick(0.5, 0.5, 0.5).delta)

# Every class of the module, by the name its type carries.
CLASSES = {
    "VeltoPiServer": vp.VeltoPiServer,
    "ComSocketServer": vp.ComSocketServer,
    "Protocol": vp.Protocol,
    "ServerStatus": vp.ServerStatus,
    "ConfirmResult": vp.ConfirmResult,
    "ErrorResult": vp.ErrorResult,
    "WidgetRegistry": W,
    **{f"WidgetRegistry_{k}": getattr(W, k) for k in
       ["ClickButton", "ToggleButton", "ConfirmButton", "PressButton", "DirectionalButton",
        "Joystick"]},
    "Coord": COORD,
}

# The classes with a constructor, each with arguments it accepts.
CONSTRUCTORS = {
    "ComSocketServer": ("127.0.0.1:1",),
    "ConfirmResult": (True,),
    "ErrorResult": ("x",),
    "WidgetRegistry_ClickButton": (),
    "WidgetRegistry_ToggleButton": (True,),
    "WidgetRegistry_ConfirmButton": (),
    "WidgetRegistry_PressButton": (False,),
    "WidgetRegistry_DirectionalButton": (2,),
    "WidgetRegistry_Joystick": (probe.make_joystick(0.5, -0.5, 1.0).delta, 0.25),
}

CROSSED = [(own, other) for own in CONSTRUCTORS for other in [*CLASSES, "object", "int"]
           if other != own]


def cls_of(name):
    return CLASSES.get(name) or {"object": object, "int": int}[name]


@pytest.mark.parametrize("own, other", CROSSED, ids=[f"{a}-{b}" for a, b in CROSSED])
def test_constructor_builds_only_its_own_class(own, other):
    with pytest.raises(TypeError) as e:
        cls_of(own).__new__(cls_of(other), *CONSTRUCTORS[own])
    assert str(e.value) == f"{own}.__new__({other}): {other} is not a subtype of {own}"


def test_constructor_refuses_what_is_not_a_class():
    with pytest.raises(TypeError) as e:
        vp.ConfirmResult.__new__(5, True)
    assert str(e.value) == "ConfirmResult.__new__(X): X is not a type object (int)"


def test_many_allocations_after_refused_constructors_run_clean():
    """The refused calls above corrupted the heap on PyPy within a few thousand allocations."""
    for own, other in CROSSED:
        raised(lambda: cls_of(own).__new__(cls_of(other), *CONSTRUCTORS[own]))
    for name, args in CONSTRUCTORS.items():
        cls = cls_of(name)
        kept = [cls(*args) for _ in range(100_000)]
        assert all(type(obj) is cls for obj in kept)
        del kept
    gc.collect()
    assert vp.ErrorResult("still").error == "still"


NOT_SUBCLASSABLE = [name for name in CLASSES if name != "WidgetRegistry"]


@pytest.mark.parametrize("name", NOT_SUBCLASSABLE)
def test_class_statement_cannot_derive_from_it(name):
    with pytest.raises(TypeError) as e:
        class Sub(CLASSES[name]):
            pass
    assert str(e.value) == f"type '{name}' is not an acceptable base type"


def test_widget_registry_can_be_derived_from_but_not_with_a_kind():
    class Mine(W):
        pass

    assert issubclass(Mine, W)
    with pytest.raises(TypeError) as e:
        type("Both", (Mine, W.Joystick), {})
    assert str(e.value) == "type 'WidgetRegistry_Joystick' is not an acceptable base type"


INSTANCES = {
    "ComSocketServer": lambda: vp.ComSocketServer("127.0.0.1:1"),
    "Protocol": lambda: vp.Protocol.Http,
    "ServerStatus": lambda: vp.ServerStatus.Idle,
    "ConfirmResult": lambda: vp.ConfirmResult(True),
    "ErrorResult": lambda: vp.ErrorResult("e"),
    "WidgetRegistry_ToggleButton": lambda: W.ToggleButton(True),
    "WidgetRegistry_Joystick": lambda: probe.make_joystick(0.5, 0.5, 0.5),
    "Coord": lambda: probe.make_joystick(0.5, 0.5, 0.5).delta,
}


@pytest.mark.parametrize("name", INSTANCES)
def test_instances_take_no_new_attribute(name):
    obj = INSTANCES[name]()
    with pytest.raises(AttributeError) as e:
        obj.other = 1
    assert str(e.value) == f"'{name}' object has no attribute 'other'"
    with pytest.raises(AttributeError) as e:
        del obj.other
    assert str(e.value) == f"'{name}' object has no attribute 'other'"
    assert not hasattr(obj, "other")


@pytest.mark.parametrize(
    "make, name, attribute",
    [(lambda: vp.ComSocketServer("a"), "ComSocketServer", "open"),
     (lambda: vp.ServerStatus.Busy, "ServerStatus", "Idle"),
     (lambda: W.ClickButton(), "WidgetRegistry_ClickButton", "__match_args__")],
    ids=["method", "class-attribute", "match-args"],
)
def test_class_attributes_cannot_be_shadowed_on_an_instance(make, name, attribute):
    obj = make()
    with pytest.raises(AttributeError) as e:
        setattr(obj, attribute, 1)
    assert str(e.value) == f"'{name}' object attribute '{attribute}' is read-only"
    assert attribute not in getattr(obj, "__dict__", {})


def panic_class():
    """The module's own PanicException (the test extension has a class of its own)."""
    return type(raised(lambda: vp.on(vp.ComSocketServer("127.0.0.1:1"))(42)))


def test_panic_while_reading_the_decorated_name_is_continued(capfd):
    Panic = panic_class()
    capfd.readouterr()

    class Named:
        @property
        def __name__(self):
            raise Panic("name lookup")

        def __call__(self, widget):
            pass

    server = vp.ComSocketServer("127.0.0.1:1")
    e = raised(lambda: vp.on(server)(Named()))
    assert is_panic(e) and e.args == ("name lookup",)
    err = capfd.readouterr().err
    assert "raised PanicException" in err and "Traceback" in err and "__name__" in err
    assert "no string __name__" not in err
    assert server._get_action("Joystick_3") is None


def test_panic_while_reading_a_type_name_for_an_error_is_continued(capfd):
    Panic = panic_class()
    capfd.readouterr()

    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                raise Panic("qualname lookup")
            return super().__getattribute__(name)

    class Odd(metaclass=Meta):
        pass

    e = raised(lambda: vp.ErrorResult(Odd()))
    assert is_panic(e) and e.args == ("qualname lookup",)
    err = capfd.readouterr().err
    assert "raised PanicException" in err and "Traceback" in err
    assert "failed to extract type name" not in err
