"""ServerStatus and Protocol: fixed members, repr, int, comparisons, no hash, no constructor."""
import platform

import pytest

import velto_protocol as vp

S, P = vp.ServerStatus, vp.Protocol
CPYTHON = platform.python_implementation() == "CPython"


@pytest.mark.parametrize(
    "member, text, code",
    [
        (S.NotInit, "ServerStatus.NotInit", 0),
        (S.Idle, "ServerStatus.Idle", 1),
        (S.Busy, "ServerStatus.Busy", 2),
        (S.Error, "ServerStatus.Error", 3),
        (P.WebSocket, "Protocol.WebSocket", 0),
        (P.Bluetooth, "Protocol.Bluetooth", 1),
        (P.Http, "Protocol.Http", 2),
        (P.Usb, "Protocol.Usb", 3),
    ],
    ids=lambda v: v if isinstance(v, str) else None,
)
def test_member_text_code_and_truth(member, text, code):
    assert repr(member) == text
    assert str(member) == text
    assert int(member) == code
    assert bool(member) is True  # also for code 0
    assert type(member).__dict__[text.split(".")[1]] is member


@pytest.mark.parametrize(
    "left, right, equal",
    [
        (S.Busy, 2, True),
        (S.Busy, 3, False),
        (S.Busy, True, False),
        (S.Idle, True, True),
        (S.Idle, S.Idle, True),
        (S.Idle, S.Busy, False),
        (S.Idle, P.Bluetooth, False),  # same code, other class: identity fallback
        (S.Error, 3.0, False),
        (S.Error, "Error", False),
        (S.NotInit, 2**40, False),
        (S.NotInit, 2**32, False),  # not a match of the low bits
        (S.NotInit, -(2**31) - 1, False),
        (S.NotInit, None, False),
    ],
)
def test_equality_both_sides(left, right, equal):
    assert (left == right) is equal
    assert (left != right) is (not equal)
    assert (right == left) is equal
    assert (right != left) is (not equal)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class BadIndex:
    def __index__(self):
        raise ValueError("boom")


def test_equality_through_index_and_failures_are_not_implemented():
    assert S.Busy == Index(2)
    assert not (S.Busy == Index(2**33))
    assert not (S.Busy == BadIndex())  # the error is discarded, identity fallback


@pytest.mark.parametrize("op", ["<", "<=", ">", ">="])
@pytest.mark.parametrize("other", [S.Busy, 1, 1.5])
def test_orderings_raise_type_error(op, other):
    with pytest.raises(TypeError):
        eval(f"S.Idle {op} other")


def test_unhashable_and_members_are_singletons():
    with pytest.raises(TypeError):
        hash(S.Idle)
    assert S.Idle is S.Idle
    assert P.Usb is P.Usb


@pytest.mark.parametrize("cls", [S, P])
def test_no_constructor(cls):
    with pytest.raises(TypeError) as e:
        cls()
    assert str(e.value) == "No constructor defined"
    with pytest.raises(TypeError):
        cls(1)


def test_not_index():
    with pytest.raises(TypeError):
        [1, 2, 3][S.Idle]


@pytest.mark.parametrize("cls", [S, P])
def test_class_shape(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    member = list(vars(cls).values())
    with pytest.raises(AttributeError):
        next(m for m in member if isinstance(m, cls)).x = 1


@pytest.mark.skipif(not CPYTHON, reason="PyPy 3.9's C API has no immutable heap types "
                    "(Py_TPFLAGS_IMMUTABLETYPE): Python code may set attributes of the class")
@pytest.mark.parametrize("cls", [S, P])
def test_class_is_immutable(cls):
    with pytest.raises(TypeError):
        cls.Idle_alias = 1


@pytest.mark.parametrize("cls", [S, P])
def test_class_is_bare_and_undocumented(cls):
    assert cls.__name__ == cls.__qualname__ == cls.__name__.split(".")[-1]
    assert cls.__doc__ is None
