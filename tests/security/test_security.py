import dataclasses
import inspect
import subprocess
import sys

import pytest

from velmor_trader.core.constants import Exchange

from implementations import implementation, module_name


@pytest.fixture
def sec(impl):
    return implementation("security", impl)


FIELDS = ("code", "security_name", "lot_size", "exchange", "expiry_date", "quote_currency")


def test_module_surface(sec):
    public = {k for k in vars(sec) if not k.startswith("_")}
    assert public == {"dataclass", "Exchange", "Security", "Stock", "Currency", "Commodity", "Futures"}
    assert sec.dataclass is dataclasses.dataclass and sec.Exchange is Exchange


@pytest.mark.parametrize("name, doc, lot_size, exchange, class_expiry", [
    ("Security", "Base class for different asset types", None, None, None),
    ("Stock", "Cash equity", 1, Exchange.SEHK, None),
    ("Currency", "Foreign exchange", 1000, Exchange.IDEALPRO, None),
    ("Commodity", "Commodity", 1000, Exchange.IDEALPRO, None),
    ("Futures", "Futures", 1000, Exchange.SMART, ""),
])
def test_classes_and_defaults(sec, name, doc, lot_size, exchange, class_expiry):
    cls = getattr(sec, name)
    assert cls.__doc__ == doc and cls.__module__ == sec.__name__
    assert cls.__qualname__ == cls.__name__ and type(cls) is type
    assert tuple(f.name for f in dataclasses.fields(cls)) == FIELDS
    assert cls.__match_args__ == FIELDS
    assert cls.expiry_date == class_expiry
    s = cls("700", "Tencent")
    assert (s.lot_size, s.exchange, s.expiry_date, s.quote_currency) == (lot_size, exchange, None, "")
    assert repr(s) == (f"{cls.__name__}(code='700', security_name='Tencent', lot_size={lot_size!r}, "
                       f"exchange={exchange!r}, expiry_date=None, quote_currency='')")
    with pytest.raises(dataclasses.FrozenInstanceError):
        s.lot_size = 5
    with pytest.raises(dataclasses.FrozenInstanceError):
        del s.code
    with pytest.raises(TypeError):
        cls("700")


def test_annotations_are_texts(sec):
    assert sec.Security.__annotations__ == {
        "code": "str", "security_name": "str", "lot_size": "int", "exchange": "Exchange",
        "expiry_date": "str", "quote_currency": "str"}
    for cls in (sec.Stock, sec.Currency, sec.Commodity, sec.Futures):
        assert cls.__annotations__ == {"code": "str", "security_name": "str", "lot_size": "int",
                                       "exchange": "Exchange"}
        assert "expiry_date" in vars(cls) and "__post_init__" in vars(cls)


def test_native_methods_look_like_python_ones(sec):
    eq, h = vars(sec.Security)["__eq__"], vars(sec.Security)["__hash__"]
    assert str(inspect.signature(eq)) == "(self, other)" and str(inspect.signature(h)) == "(self)"
    assert (eq.__name__, eq.__qualname__, h.__qualname__) == ("__eq__", "Security.__eq__", "Security.__hash__")
    assert eq.__annotations__ == {} and eq.__doc__ is None
    post = vars(sec.Futures)["__post_init__"]
    assert post.__qualname__ == "Futures.__post_init__" and str(inspect.signature(post)) == "(self)"
    assert sec.Futures("ES", "E-mini").__post_init__() is None
    with pytest.raises(TypeError):
        sec.Stock("1", "a").__post_init__(1)
    with pytest.raises(TypeError):
        sec.Security("1", "a").__eq__()
    # dataclass kept the hand-written methods on Security and generated the subclasses' own
    assert sec.Security.__eq__ is eq and sec.Security.__hash__ is h
    assert sec.Stock.__eq__ is not eq and sec.Stock.__hash__ is not h


def test_security_equality_ignores_other_fields(sec):
    a = sec.Security("1", "x", 1, Exchange.SEHK, "2025", "HKD")
    b = sec.Security("1", "x", 9, Exchange.SEHK, None, "")
    assert a == b and hash(a) == hash(b)
    assert a != sec.Security("2", "x", exchange=Exchange.SEHK)
    assert a != sec.Security("1", "y", exchange=Exchange.SEHK)
    assert a != sec.Security("1", "x", exchange=Exchange.SMART)


def test_subclass_equality_uses_all_fields_and_exact_class(sec):
    assert sec.Stock("1", "x") != sec.Stock("1", "x", lot_size=2)
    assert sec.Stock("1", "x") == sec.Stock("1", "x")
    assert sec.Stock("1", "x", 1, Exchange.SMART) != sec.Futures("1", "x", 1, Exchange.SMART)
    plain = sec.Security("1", "x", exchange=Exchange.SEHK)
    stock = sec.Stock("1", "x", lot_size=7, quote_currency="HKD")
    assert plain == stock and stock == plain


def test_eq_returns_the_deciding_result_object(sec):
    class Odd:
        def __init__(self, result):
            self.result = result

        def __eq__(self, other):
            return self.result

    class Ex:
        value = Odd("third")

    class Other:
        code = Odd("unused")
        security_name = Odd("unused")
        exchange = Ex()

    s = sec.Security(Odd(0), "n", exchange=Ex())
    assert vars(sec.Security)["__eq__"](s, Other()) == 0 and type(vars(sec.Security)["__eq__"](s, Other())) is int
    s = sec.Security(Odd(1), Odd([]), exchange=Ex())
    assert vars(sec.Security)["__eq__"](s, Other()) == []
    s = sec.Security(Odd(1), Odd(1), exchange=Ex())
    assert vars(sec.Security)["__eq__"](s, Other()) == "third"


def test_hash_is_hash_of_name_code_exchange_text(sec):
    s = sec.Security("C|1", "N|2", exchange=Exchange.SEHK)
    assert hash(s) == hash("N|2|C|1|SEHK")
    assert sec.Security.__hash__(s) == hash("N|2|C|1|SEHK")

    class Val:
        def __format__(self, spec):
            assert spec == ""
            return "fmt"

    class Ex:
        value = Val()

    assert hash(sec.Security(12, 3.5, exchange=Ex())) == hash("3.5|12|fmt")
    assert hash(sec.Security("é", "名", exchange=Exchange.SEHK)) == hash("名|é|SEHK")


def test_hash_follows_hash_randomisation(impl):
    code = (f"from {module_name('security', impl)} import Security;"
            "from velmor_trader.core.constants import Exchange;"
            "s = Security('700', 'Tencent', exchange=Exchange.SEHK);"
            "print(hash(s) == hash('Tencent|700|SEHK'), hash(s))")
    runs = [subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True,
                           env={"PYTHONHASHSEED": seed}, check=True).stdout.split()
            for seed in ("1", "2")]
    assert runs[0][0] == runs[1][0] == "True" and runs[0][1] != runs[1][1]


@pytest.mark.parametrize("exchange", [
    None,              # None has no value
    3,
])
def test_missing_exchange_value_raises_attribute_error(sec, exchange):
    with pytest.raises(AttributeError):
        hash(sec.Security("1", "x", exchange=exchange))
    with pytest.raises(AttributeError):
        sec.Security("1", "x", exchange=exchange) == sec.Security("1", "x", exchange=exchange)


def test_comparison_reads_other_by_attribute_name(sec):
    with pytest.raises(AttributeError):
        sec.Security("1", "x", exchange=Exchange.SEHK) == object()

    class Lookalike:
        code, security_name, exchange = "1", "x", Exchange.SEHK

    assert sec.Security("1", "x", exchange=Exchange.SEHK) == Lookalike()


def test_usable_as_dict_key(sec):
    cache = {sec.Stock("700", "Tencent"): 1, sec.Futures("ES", "E-mini"): 2}
    assert cache[sec.Stock("700", "Tencent")] == 1 and cache[sec.Futures("ES", "E-mini")] == 2
    plain = {sec.Security("700", "Tencent", exchange=Exchange.SEHK): "p"}
    assert plain[sec.Security("700", "Tencent", 5, Exchange.SEHK)] == "p"


def test_hash_and_eq_read_value_of_enums_that_redefine_it(sec):
    import enum

    class Venue(enum.Enum):
        A = "a"

        @property
        def value(self):
            return "custom-" + self._value_

    s = sec.Security("1", "x", exchange=Venue.A)
    assert hash(s) == hash("x|1|custom-a")
    assert s != sec.Security("1", "x", exchange=Exchange.SEHK)
    assert (s == sec.Security("1", "x", exchange=Venue.A)) is True


def test_an_enum_class_given_its_own_value_later_is_read_anew(sec):
    import enum

    class Venue(enum.Enum):
        A = "a"

    s = sec.Security("1", "x", exchange=Venue.A)
    assert hash(s) == hash("x|1|a")
    Venue.value = property(lambda self: "later-" + self._value_)
    assert hash(s) == hash("x|1|later-a")


def test_reassigned_hash_takes_effect(impl):
    code = (f"from {module_name('security', impl)} import Security;"
            "from velmor_trader.core.constants import Exchange;"
            "s = Security('1', 'x', exchange=Exchange.SEHK);"
            "Security.__hash__ = lambda self: 42;"
            "print(hash(s))")
    out = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "42"


# The variants' __eq__ and __hash__ run natively; a plain dataclass twin
# gives the generated methods' results and errors to compare with.
@dataclasses.dataclass(frozen=True)
class _TwinBase:
    code: "str"
    security_name: "str"
    lot_size: "int" = None
    exchange: "Exchange" = None
    expiry_date: "str" = None
    quote_currency: "str" = ""


@dataclasses.dataclass(frozen=True)
class _TwinStock(_TwinBase):
    lot_size: "int" = 1
    exchange: "Exchange" = Exchange.SEHK


class _Raises:
    def __eq__(self, other):
        raise ValueError("no comparison")

    __hash__ = None


class _Truthy:
    def __eq__(self, other):
        return "truthy, not a bool"

    def __hash__(self):
        return 7


_NAN = float("nan")


def _outcome(fn, *args):
    try:
        result = fn(*args)
        return ("ok", result, type(result))
    except Exception as e:
        return (type(e).__name__, str(e))


@pytest.mark.parametrize("left, right", [
    (("1", "x"), ("1", "x")),
    (("1", "x"), ("2", "x")),
    (("1", "x", 2), ("1", "x", 3)),
    (("1", "x", 1, Exchange.SEHK, "2025"), ("1", "x", 1, Exchange.SEHK, None)),
    (("1", "x", 1, Exchange.SEHK, None, "HKD"), ("1", "x", 1, Exchange.SEHK, None, "USD")),
    (("1", "x", _NAN), ("1", "x", _NAN)),                  # identity before ==
    (("1", "x", float("nan")), ("1", "x", float("nan"))),
    (("1", "x", _Truthy()), ("1", "x", _Truthy())),        # item results taken as truth
    (("1", _Raises()), ("1", "x")),                         # errors pass through
    (("2", _Raises()), ("1", "x")),                         # the first differing item decides
    ((["unhashable"], "x"), (["unhashable"], "x")),
])
def test_variant_eq_and_hash_match_generated(sec, left, right):
    a, b = sec.Stock(*left), sec.Stock(*right)
    ta, tb = _TwinStock(*left), _TwinStock(*right)
    assert _outcome(lambda: a == b) == _outcome(lambda: ta == tb)
    assert _outcome(lambda: a != b) == _outcome(lambda: ta != tb)
    assert _outcome(sec.Stock.__eq__, a, b) == _outcome(_TwinStock.__eq__, ta, tb)
    assert _outcome(hash, a) == _outcome(hash, ta)
    assert _outcome(sec.Stock.__hash__, a) == _outcome(_TwinStock.__hash__, ta)


def test_variant_eq_other_classes(sec):
    s = sec.Stock("1", "x")

    class SubStock(sec.Stock):
        pass

    class Lookalike:
        code, security_name, lot_size = "1", "x", 1
        exchange, expiry_date, quote_currency = Exchange.SEHK, None, ""

    class Liar(Lookalike):
        __class__ = property(lambda self: sec.Stock)

    assert sec.Stock.__eq__(s, Lookalike()) is NotImplemented
    assert sec.Stock.__eq__(s, SubStock("1", "x")) is NotImplemented
    assert sec.Stock.__eq__(s, Liar()) is True          # __class__ read as the generated code reads it
    assert (s == Lookalike(), s == SubStock("1", "x")) == (False, False)
    assert sec.Stock.__eq__(s, sec.Futures("1", "x", 1, Exchange.SEHK)) is NotImplemented
    assert (sec.Security("1", "x", exchange=Exchange.SEHK) == s) is True  # reflected: Security's own
    names = (sec.Stock.__eq__.__qualname__, sec.Stock.__hash__.__qualname__)
    assert names == ("Stock.__eq__", "Stock.__hash__")
    assert str(inspect.signature(sec.Stock.__eq__)) == "(self, other)"


def test_variant_hash_uses_the_module_hash(impl):
    code = (f"import {module_name('security', impl)} as m;"
            "m.hash = lambda value: len(value);"
            "s = m.Stock('1', 'x');"
            "print(hash(s), m.Stock.__hash__(s), m.Stock.__eq__(s, 3))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["6", "6", "NotImplemented"]


def test_reassigned_eq_takes_effect(sec):
    s, original = sec.Stock("1", "x"), vars(sec.Stock)["__eq__"]
    try:
        sec.Stock.__eq__ = lambda self, other: "replaced"
        assert (s == sec.Stock("2", "y")) == "replaced"
    finally:
        sec.Stock.__eq__ = original
    assert (s == sec.Stock("1", "x")) is True and (s == sec.Stock("2", "x")) is False


@pytest.mark.parametrize("differ, reads", [
    (None, ["code", "code", "security_name", "security_name", "exchange", "exchange"]),
    ("security_name", ["code", "code", "security_name", "security_name"]),
])
def test_eq_reads_self_before_other(sec, differ, reads):
    """`self.code == other.code` and so on: each of self's fields is read
    before other's, also when reading other's fails or has effects."""
    base = sec.Security
    log = []

    class Mine(base):
        def __getattribute__(self, name):
            if not name.startswith("_"):
                log.append(("self", name))
            return super().__getattribute__(name)

    class Theirs:
        def __getattr__(self, name):
            log.append(("other", name))
            return {"code": "700", "security_name": "X" if differ == name else "Tencent",
                    "exchange": Exchange.SEHK}[name]

    mine = Mine("700", "Tencent", 1, Exchange.SEHK)
    del log[:]
    assert (mine == Theirs()) is (differ is None)
    assert log == [(side, name) for name, side in zip(reads, ["self", "other"] * 3)]
