"""Native functions behave like Python functions."""
import datetime
import functools
import inspect
import pickle  # noqa: F401  (imported so a failure to import is not blamed on the layer)

import pytest


def py_echo(a: "np.array", b: "int" = 252, *args, flag: "bool" = False, **kwargs) -> "float":
    """Echo the bound arguments."""


def test_signature_matches_python_equivalent(t):
    assert str(inspect.signature(t.echo)) == str(inspect.signature(py_echo))
    assert t.echo.__annotations__ == py_echo.__annotations__
    assert t.echo.__doc__ == py_echo.__doc__
    assert t.echo.__defaults__ == py_echo.__defaults__
    assert t.echo.__kwdefaults__ == py_echo.__kwdefaults__
    assert (t.echo.__name__, t.echo.__qualname__, t.echo.__module__) == ("echo", "echo", "_vt_testmod")


def test_attributes_are_writable_like_a_function(t):
    f = t.make_adder(1)
    f.__name__ = "renamed"
    f.__qualname__ = "Some.renamed"
    f.__doc__ = "doc"
    f.__module__ = "elsewhere"
    f.extra = 5
    f.__annotations__ = {"x": "int"}
    assert (f.__name__, f.__qualname__, f.__doc__, f.__module__, f.__dict__) == (
        "renamed", "Some.renamed", "doc", "elsewhere", {"extra": 5})
    assert str(inspect.signature(f)) == "(x: 'int')"
    assert repr(f).startswith("<function Some.renamed at 0x")
    with pytest.raises(TypeError, match="__name__ must be set to a string object"):
        f.__name__ = 3
    with pytest.raises(TypeError, match="__annotations__ must be set to a dict object"):
        f.__annotations__ = []


def test_functools_wraps_copies_metadata(t):
    @functools.wraps(t.echo)
    def wrapper(*a, **k):
        return t.echo(*a, **k)

    assert wrapper.__name__ == "echo" and wrapper.__doc__ == "Echo the bound arguments."
    assert str(inspect.signature(wrapper)) == str(inspect.signature(py_echo))


@pytest.mark.parametrize("args, kwargs, bound", [
    ((1,), {}, (1, 252, (), False, {})),
    ((1, 2.9, 3, 4), {}, (1, 2, (3, 4), False, {})),
    ((), {"a": 1, "b": True}, (1, 1, (), False, {})),
    ((1,), {"flag": [0], "z": 2}, (1, 252, (), True, {"z": 2})),
    ((1,), {"flag": ""}, (1, 252, (), False, {})),
])
def test_binding_defaults_and_conversion(t, args, kwargs, bound):
    assert t.echo(*args, **kwargs) == bound


@pytest.mark.parametrize("call, message", [
    (lambda t: t.echo(), r"^echo\(\) missing 1 required positional argument: 'a'$"),
    (lambda t: t.echo(1, a=2), r"^echo\(\) got multiple values for argument 'a'$"),
    (lambda t: t.identity(1, 2), r"^identity\(\) takes 1 positional argument but 2 were given$"),
    (lambda t: t.identity(y=1), r"^identity\(\) got an unexpected keyword argument 'y'$"),
    (lambda t: t.typed(), r"^typed\(\) missing 1 required positional argument: 's'$"),
    (lambda t: t.Widget().get(), r"^Widget.get\(\) missing 1 required positional argument: 'x'$"),
    (lambda t: t.Widget().get(1, 2),
     r"^Widget.get\(\) takes 2 positional arguments but 3 were given$"),
])
def test_arity_errors_use_python_texts(t, call, message):
    with pytest.raises(TypeError, match=message):
        call(t)


class StrSub(str):
    pass


@pytest.mark.parametrize("kwargs, message", [
    ({"s": 1}, "Argument 's' has incorrect type (expected str, got int)"),
    ({"s": StrSub("x")}, "Argument 's' has incorrect type (expected str, got StrSub)"),
    ({"s": None}, "Argument 's' has incorrect type (expected str, got NoneType)"),
    ({"s": "x", "l": ("a",)}, "Argument 'l' has incorrect type (expected list, got tuple)"),
    ({"s": "x", "d": []}, "Argument 'd' has incorrect type (expected dict, got list)"),
    ({"s": "x", "i": "3"}, "Argument 'i' has incorrect type (expected int, got str)"),
    ({"s": "x", "i": None}, "Argument 'i' has incorrect type (expected int, got NoneType)"),
    ({"s": "x", "f": "2.5"}, "Argument 'f' has incorrect type (expected float, got str)"),
    ({"s": "x", "f": object()}, "Argument 'f' has incorrect type (expected float, got object)"),
])
def test_type_refusals(t, kwargs, message):
    with pytest.raises(TypeError) as info:
        t.typed(**kwargs)
    assert str(info.value) == message


def test_type_conversions(t):
    np = pytest.importorskip("numpy")
    assert t.typed("x", None, None) == ("x", None, None, 0, 0.0)  # None only where the default is None
    got = t.typed("x", ["a"], {"k": 1}, 2.9, 3)
    assert got == ("x", ["a"], {"k": 1}, 2, 3.0) and type(got[4]) is float
    got = t.typed("x", i=True, f=np.float32(1.5))
    assert got[3:] == (1, 1.5) and type(got[3]) is int and type(got[4]) is float
    assert type(t.typed("x", i=np.int64(7))[3]) is int


def test_binds_as_a_method(t):
    w = t.Widget()
    assert w.get(5) == (w, 5)
    assert t.Widget.get(w, 6) == (w, 6)
    assert t.Widget.__dict__["get"].__get__(None, t.Widget) is t.Widget.__dict__["get"]
    bound = w.get
    assert bound.__self__ is w and bound.__func__ is t.Widget.__dict__["get"]
    assert str(inspect.signature(bound)) == "(x)"


def test_nested_functions_hold_their_own_state(t):
    add3, add10 = t.make_adder(3), t.make_adder(10)
    assert (add3(1), add10(1)) == (4, 11)
    assert add3 is not add10 and add3.__qualname__ == "make_adder.<locals>.adder"
    add3.__name__ = "three"
    assert add10.__name__ == "adder"
    assert t.closure_value() == "held"


def test_nested_functions_have_their_own_annotations(t):
    # Each run of a nested def gives a new __annotations__ dict, as in Python.
    add3, add10 = t.make_adder(3), t.make_adder(10)
    assert add3.__annotations__ is not add10.__annotations__
    add3.__annotations__["x"] = "int"
    assert "x" not in add10.__annotations__ and "x" not in t.make_adder(1).__annotations__


def test_globals_are_read_at_call_time(t, monkeypatch):
    assert t.read_global() == 1
    monkeypatch.setattr(t, "SETTING", "patched")
    assert t.read_global() == "patched"
    monkeypatch.delattr(t, "SETTING")
    with pytest.raises(NameError, match="name 'SETTING' is not defined"):
        t.read_global()
    assert t.echo.__globals__ is vars(t)


def test_python_errors_pass_through_unchanged(t):
    class Custom(Exception):
        pass

    err = Custom("boom")

    def raiser():
        raise err

    with pytest.raises(Custom) as info:
        t.call_it(raiser)
    assert info.value is err
    with pytest.raises(RuntimeError, match="native failure"):
        t.throw_cpp()


def test_class_is_an_ordinary_heap_type(t):
    W = t.Widget
    assert type(W) is type and W.__module__ == "_vt_testmod" and W.__qualname__ == "Widget"
    assert W.__doc__ == "A class built natively." and W.__annotations__ == {"size": "int"}
    assert W.size == 3
    w = W()
    w.anything = 1  # instances have a __dict__

    class Sub(W):
        def get(self, x):
            return ("sub", super().get(x))

    assert Sub().get(1)[0] == "sub"


class _Stamp(datetime.datetime):
    def __str__(self):
        return "own text"


@pytest.mark.parametrize("value", [
    datetime.datetime(2024, 11, 4, 9, 30),
    datetime.datetime(2024, 11, 4, 9, 30, 5, 120),
    datetime.datetime(1, 1, 1),
    datetime.datetime(2024, 1, 2, 3, 4, 5, tzinfo=datetime.timezone(datetime.timedelta(hours=8))),
    _Stamp(2024, 1, 2),
    "text", 1.5, None,
])
def test_str_of_is_str(t, value):
    assert t.str_of(value) == str(value)
