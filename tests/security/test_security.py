import dataclasses
import inspect
import subprocess
import sys

import pytest

from velmor_trader.core import security as sec
from velmor_trader.core.constants import Exchange
from velmor_trader.core.security import Commodity, Currency, Futures, Security, Stock

FIELDS = ("code", "security_name", "lot_size", "exchange", "expiry_date", "quote_currency")


def test_module_surface():
    public = {k for k in vars(sec) if not k.startswith("_")}
    assert public == {"dataclass", "Exchange", "Security", "Stock", "Currency", "Commodity", "Futures"}
    assert sec.dataclass is dataclasses.dataclass and sec.Exchange is Exchange


@pytest.mark.parametrize("cls, doc, lot_size, exchange, class_expiry", [
    (Security, "Base class for different asset types", None, None, None),
    (Stock, "Cash equity", 1, Exchange.SEHK, None),
    (Currency, "Foreign exchange", 1000, Exchange.IDEALPRO, None),
    (Commodity, "Commodity", 1000, Exchange.IDEALPRO, None),
    (Futures, "Futures", 1000, Exchange.SMART, ""),
])
def test_classes_and_defaults(cls, doc, lot_size, exchange, class_expiry):
    assert cls.__doc__ == doc and cls.__module__ == "velmor_trader.core.security"
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


def test_annotations_are_texts():
    assert Security.__annotations__ == {
        "code": "str", "security_name": "str", "lot_size": "int", "exchange": "Exchange",
        "expiry_date": "str", "quote_currency": "str"}
    for cls in (Stock, Currency, Commodity, Futures):
        assert cls.__annotations__ == {"code": "str", "security_name": "str", "lot_size": "int",
                                       "exchange": "Exchange"}
        assert "expiry_date" in vars(cls) and "__post_init__" in vars(cls)


def test_native_methods_look_like_python_ones():
    eq, h = vars(Security)["__eq__"], vars(Security)["__hash__"]
    assert str(inspect.signature(eq)) == "(self, other)" and str(inspect.signature(h)) == "(self)"
    assert (eq.__name__, eq.__qualname__, h.__qualname__) == ("__eq__", "Security.__eq__", "Security.__hash__")
    assert eq.__annotations__ == {} and eq.__doc__ is None
    post = vars(Futures)["__post_init__"]
    assert post.__qualname__ == "Futures.__post_init__" and str(inspect.signature(post)) == "(self)"
    assert Futures("ES", "E-mini").__post_init__() is None
    with pytest.raises(TypeError):
        Stock("1", "a").__post_init__(1)
    with pytest.raises(TypeError):
        Security("1", "a").__eq__()
    # dataclass kept the hand-written methods on Security and generated the subclasses' own
    assert Security.__eq__ is eq and Security.__hash__ is h
    assert Stock.__eq__ is not eq and Stock.__hash__ is not h


def test_security_equality_ignores_other_fields():
    a = Security("1", "x", 1, Exchange.SEHK, "2025", "HKD")
    b = Security("1", "x", 9, Exchange.SEHK, None, "")
    assert a == b and hash(a) == hash(b)
    assert a != Security("2", "x", exchange=Exchange.SEHK)
    assert a != Security("1", "y", exchange=Exchange.SEHK)
    assert a != Security("1", "x", exchange=Exchange.SMART)


def test_subclass_equality_uses_all_fields_and_exact_class():
    assert Stock("1", "x") != Stock("1", "x", lot_size=2)
    assert Stock("1", "x") == Stock("1", "x")
    assert Stock("1", "x", 1, Exchange.SMART) != Futures("1", "x", 1, Exchange.SMART)
    plain = Security("1", "x", exchange=Exchange.SEHK)
    stock = Stock("1", "x", lot_size=7, quote_currency="HKD")
    assert plain == stock and stock == plain


def test_eq_returns_the_deciding_result_object():
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

    s = Security(Odd(0), "n", exchange=Ex())
    assert vars(Security)["__eq__"](s, Other()) == 0 and type(vars(Security)["__eq__"](s, Other())) is int
    s = Security(Odd(1), Odd([]), exchange=Ex())
    assert vars(Security)["__eq__"](s, Other()) == []
    s = Security(Odd(1), Odd(1), exchange=Ex())
    assert vars(Security)["__eq__"](s, Other()) == "third"


def test_hash_is_hash_of_name_code_exchange_text():
    s = Security("C|1", "N|2", exchange=Exchange.SEHK)
    assert hash(s) == hash("N|2|C|1|SEHK")
    assert Security.__hash__(s) == hash("N|2|C|1|SEHK")

    class Val:
        def __format__(self, spec):
            assert spec == ""
            return "fmt"

    class Ex:
        value = Val()

    assert hash(Security(12, 3.5, exchange=Ex())) == hash("3.5|12|fmt")
    assert hash(Security("é", "名", exchange=Exchange.SEHK)) == hash("名|é|SEHK")


def test_hash_follows_hash_randomisation():
    code = ("from velmor_trader.core.security import Security;"
            "from velmor_trader.core.constants import Exchange;"
            "s = Security('700', 'Tencent', exchange=Exchange.SEHK);"
            "print(hash(s) == hash('Tencent|700|SEHK'), hash(s))")
    runs = [subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True,
                           env={"PYTHONHASHSEED": seed}, check=True).stdout.split()
            for seed in ("1", "2")]
    assert runs[0][0] == runs[1][0] == "True" and runs[0][1] != runs[1][1]


@pytest.mark.parametrize("make", [
    lambda: Security("1", "x"),              # exchange None has no value
    lambda: Security("1", "x", exchange=3),
])
def test_missing_exchange_value_raises_attribute_error(make):
    with pytest.raises(AttributeError):
        hash(make())
    with pytest.raises(AttributeError):
        make() == make()


def test_comparison_reads_other_by_attribute_name():
    with pytest.raises(AttributeError):
        Security("1", "x", exchange=Exchange.SEHK) == object()

    class Lookalike:
        code, security_name, exchange = "1", "x", Exchange.SEHK

    assert Security("1", "x", exchange=Exchange.SEHK) == Lookalike()


def test_usable_as_dict_key():
    cache = {Stock("700", "Tencent"): 1, Futures("ES", "E-mini"): 2}
    assert cache[Stock("700", "Tencent")] == 1 and cache[Futures("ES", "E-mini")] == 2
    plain = {Security("700", "Tencent", exchange=Exchange.SEHK): "p"}
    assert plain[Security("700", "Tencent", 5, Exchange.SEHK)] == "p"


def test_hash_and_eq_read_value_of_enums_that_redefine_it():
    import enum

    class Venue(enum.Enum):
        A = "a"

        @property
        def value(self):
            return "custom-" + self._value_

    s = Security("1", "x", exchange=Venue.A)
    assert hash(s) == hash("x|1|custom-a")
    assert s != Security("1", "x", exchange=Exchange.SEHK)
    assert (s == Security("1", "x", exchange=Venue.A)) is True


def test_reassigned_hash_takes_effect():
    code = ("from velmor_trader.core.security import Security;"
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
def test_variant_eq_and_hash_match_generated(left, right):
    a, b = Stock(*left), Stock(*right)
    ta, tb = _TwinStock(*left), _TwinStock(*right)
    assert _outcome(lambda: a == b) == _outcome(lambda: ta == tb)
    assert _outcome(lambda: a != b) == _outcome(lambda: ta != tb)
    assert _outcome(Stock.__eq__, a, b) == _outcome(_TwinStock.__eq__, ta, tb)
    assert _outcome(hash, a) == _outcome(hash, ta)
    assert _outcome(Stock.__hash__, a) == _outcome(_TwinStock.__hash__, ta)


def test_variant_eq_other_classes():
    s = Stock("1", "x")

    class SubStock(Stock):
        pass

    class Lookalike:
        code, security_name, lot_size = "1", "x", 1
        exchange, expiry_date, quote_currency = Exchange.SEHK, None, ""

    class Liar(Lookalike):
        __class__ = property(lambda self: Stock)

    assert Stock.__eq__(s, Lookalike()) is NotImplemented
    assert Stock.__eq__(s, SubStock("1", "x")) is NotImplemented
    assert Stock.__eq__(s, Liar()) is True          # __class__ read as the generated code reads it
    assert (s == Lookalike(), s == SubStock("1", "x")) == (False, False)
    assert Stock.__eq__(s, Futures("1", "x", 1, Exchange.SEHK)) is NotImplemented
    assert (Security("1", "x", exchange=Exchange.SEHK) == s) is True  # reflected: Security's own
    names = (Stock.__eq__.__qualname__, Stock.__hash__.__qualname__)
    assert names == ("Stock.__eq__", "Stock.__hash__")
    assert str(inspect.signature(Stock.__eq__)) == "(self, other)"


def test_variant_hash_uses_the_module_hash():
    code = ("import velmor_trader.core.security as m;"
            "m.hash = lambda value: len(value);"
            "s = m.Stock('1', 'x');"
            "print(hash(s), m.Stock.__hash__(s), m.Stock.__eq__(s, 3))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["6", "6", "NotImplemented"]


def test_reassigned_eq_takes_effect():
    s, original = Stock("1", "x"), vars(Stock)["__eq__"]
    try:
        Stock.__eq__ = lambda self, other: "replaced"
        assert (s == Stock("2", "y")) == "replaced"
    finally:
        Stock.__eq__ = original
    assert (s == Stock("1", "x")) is True and (s == Stock("2", "x")) is False


@pytest.mark.parametrize("impl", ["native", "twin"])
@pytest.mark.parametrize("differ, reads", [
    (None, ["code", "code", "security_name", "security_name", "exchange", "exchange"]),
    ("security_name", ["code", "code", "security_name", "security_name"]),
])
def test_eq_reads_self_before_other(impl, differ, reads):
    """`self.code == other.code` and so on: each of self's fields is read
    before other's, also when reading other's fails or has effects."""
    from velmor_trader.twins import security as twin
    base = sec.Security if impl == "native" else twin.Security
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
