"""Corners where the native schedules once parted from the plain-Python ones."""
import builtins
import decimal

import numpy as np
import pytest

SCHEDULES = ["TollbookSEHK", "TollbookHKFE", "TollbookCrypto"]


def build(cls, deals):
    """The fee object and the error its constructor raised, if any, as (type, text)."""
    fee = cls.__new__(cls)
    try:
        fee.__init__(*deals)
    except Exception as exc:
        return fee, (type(exc), str(exc))
    return fee, None


def assert_same(native, plain, figures):
    (n_fee, n_error), (p_fee, p_error) = native, plain
    assert n_error == p_error
    assert figures(n_fee) == figures(p_fee)
    assert vars(n_fee).keys() == vars(p_fee).keys()


@pytest.mark.parametrize("cls", SCHEDULES)
def test_attribute_reads_in_python_order(native_tb, ref, deal, cls):
    """Each `self.x += ...` reads x before what it adds (the Crypto rates included)."""
    def logging(base, log):
        class Logged(base):
            def __getattribute__(self, name):
                if not name.startswith("__"):
                    log.append(name)
                return object.__getattribute__(self, name)
        return Logged

    native_log, plain_log = [], []
    deals = [deal(100, 100, 2), deal(12.5, 3000, 3)]
    logging(getattr(native_tb, cls), native_log)(*deals)
    logging(getattr(ref, cls), plain_log)(*deals)
    assert native_log == plain_log


@pytest.mark.parametrize("cls", SCHEDULES)
def test_class_attribute_whose_class_becomes_a_data_descriptor(native_tb, ref, deal, figures, cls):
    """A starting value's class may gain __get__ and __set__ after the schedule has run."""
    def run(base):
        class Start:
            def __add__(self, other):
                return other

        class Sub(base):
            commissions = Start()

        Sub(deal(100, 100, 2))
        written = []
        Start.__get__ = lambda self, obj, owner=None: 0.5
        Start.__set__ = lambda self, obj, value: written.append(value)
        return build(Sub, [deal(100, 100, 2), deal(10, 100, 2)]), written

    (native, native_written), (plain, plain_written) = run(getattr(native_tb, cls)), run(getattr(ref, cls))
    assert native_written == plain_written and native_written
    assert_same(native, plain, figures)


@pytest.mark.parametrize("cls, name", [
    ("TollbookSEHK", "math"), ("TollbookSEHK", "round"), ("TollbookSEHK", "max"),
    ("TollbookHKFE", "int"), ("TollbookCrypto", "round"), ("TollbookCrypto", "max"),
])
@pytest.mark.parametrize("count", [0, 1, 2])
def test_missing_name_is_a_name_error_where_used(native_tb, ref, deal, figures, monkeypatch, cls, name,
                                                 count):
    """As in Python code, a name is looked up where it is used (none for an empty order's
    per-deal charges), after the figures written before it."""
    deals = [deal(100, 100, 2), deal(10, 100, 2)][:count]
    if name == "math":
        monkeypatch.delattr(native_tb, "math")
        monkeypatch.delattr(ref, "math")
        native, plain = build(getattr(native_tb, cls), deals), build(getattr(ref, cls), deals)
    else:
        # only while the two run: the test machinery itself needs the builtins
        saved = getattr(builtins, name)
        delattr(builtins, name)
        try:
            native, plain = build(getattr(native_tb, cls), deals), build(getattr(ref, cls), deals)
        finally:
            setattr(builtins, name, saved)
    assert plain[1] is None or plain[1][0] is NameError
    assert_same(native, plain, figures)


EDGES = [0, -0.0, np.uint64(0), np.uint64(2 ** 64 - 1), np.uint8(0), np.int64(0), 2 ** 63 - 1,
         -2 ** 63, 2 ** 63, 2 ** 64, 3037000500, -(2 ** 53) - 1, True, False]


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("cls", SCHEDULES)
@pytest.mark.parametrize("value", EDGES, ids=repr)
def test_unsigned_and_zero_integers(native_tb, ref, deal, figures, cls, value):
    for price, quantity, lot in [(value, 3, 2), (2, value, 2), (value, value, 1), (1, 4, value)]:
        deals = [deal(price, quantity, lot)] * 2
        assert_same(build(getattr(native_tb, cls), deals), build(getattr(ref, cls), deals), figures)


@pytest.mark.parametrize("cls, failing", [("TollbookSEHK", (float("inf"), 1, 1)),
                                          ("TollbookHKFE", (1, decimal.Decimal("1e400"), 1))])
def test_accumulator_read_before_a_failing_term(native_tb, ref, deal, cls, failing):
    """`self.x += term` reads x before the term is evaluated: a term that
    fails (math.ceil(inf), 3.0 * an int too large for a float) finds x read."""
    logs = {}
    for name, mod in (("native", native_tb), ("plain", ref)):
        log = logs[name] = []

        class Recording(getattr(mod, cls)):
            def __getattribute__(self, attr):
                if not attr.startswith("_"):
                    log.append(("get", attr))
                return object.__getattribute__(self, attr)

            def __setattr__(self, attr, value):
                log.append(("set", attr))
                object.__setattr__(self, attr, value)

        with pytest.raises(OverflowError):
            Recording(deal(*failing))
    assert logs["native"] == logs["plain"]
    assert logs["native"][-1] == ("get", "stamp_fees" if cls == "TollbookSEHK" else "trade_fees")
