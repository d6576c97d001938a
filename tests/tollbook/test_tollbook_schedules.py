import math
from datetime import datetime
from types import SimpleNamespace

import pytest

from velmor_trader.core.constants import Direction
from velmor_trader.core.deal import Deal


def real_deal(price, quantity, lot_size=None):
    from velmor_trader.core.security import Futures, Stock

    security = (Stock("00700", "Tencent") if lot_size is None
                else Futures("HSI2601", "HSI Jan 2026", lot_size=lot_size))
    return Deal(security=security, direction=Direction.LONG, filled_avg_price=price,
                filled_quantity=quantity, order_id="o1", deal_id="d1",
                updated_time=datetime(2026, 1, 5, 10, 0))


@pytest.mark.parametrize("deals, expected", [
    # no deal: the per-order charges alone, on the untouched accumulators
    ([], dict(commissions=3, platform_fees=15, total_fees=18, system_fees=0,
              total_number_of_trades=0)),
    # amount 10,000: settlement raised to 2.0; 0.0003 * 10000 is just below 3
    ([(100, 100)], dict(total_number_of_trades=1, total_trade_amount=10000, system_fees=0.5,
                        settlement_fees=2.0, stamp_fees=13, trade_fees=0.5,
                        transaction_fees=0.27, commissions=3, platform_fees=15,
                        total_fees=34.27)),
    # amount 10,000,000: settlement capped at 100.0
    ([(1000.0, 10000)], dict(total_trade_amount=10000000.0, settlement_fees=100.0,
                             stamp_fees=13000, trade_fees=500.0, transaction_fees=270.0,
                             commissions=3000.0, total_fees=16885.5)),
    # amount 1,000: stamp 1.3 up to 2, levy 0.027 to 0.03
    ([(10, 100)], dict(stamp_fees=2, trade_fees=0.05, transaction_fees=0.03,
                       settlement_fees=2.0, commissions=3,
                       total_fees=3 + 15 + 0.5 + 2.0 + 2 + 0.05 + 0.03)),
    # per-order commission from the aggregate of the deals, per-deal charges summed
    ([(100, 100), (50.0, 200)], dict(total_number_of_trades=2, total_trade_amount=20000.0,
                                     commissions=6.0, system_fees=1.0, settlement_fees=4.0,
                                     stamp_fees=26, trade_fees=1.0, transaction_fees=0.54,
                                     platform_fees=15)),
])
def test_sehk_figures(tb, deal, deals, expected):
    fee = tb.TollbookSEHK(*(deal(p, q) for p, q in deals))
    for name, value in expected.items():
        got = getattr(fee, name)
        assert (type(got), got) == (type(value), value), name


@pytest.mark.parametrize("deals, expected", [
    # 5 filled with lot 2 is 2 contracts (2.5 truncated)
    ([(5, 2)], dict(trade_fees=6.0, transaction_fees=0.2, commissions=4.0,
                    platform_fees=10.0, total_fees=4.0 + 10.0 + 0 + 0 + 0 + 6.0 + 0.2)),
    # per-order charges count the contracts of every deal of the order
    ([(5, 2), (9.0, 3), (1, 2)], dict(trade_fees=6.0 + 9.0 + 0.0,
                                      transaction_fees=0.2 + 0.30000000000000004 + 0.0,
                                      commissions=10.0, platform_fees=25.0)),
    # a short (negative) fill truncates toward zero
    ([(-5, 2)], dict(trade_fees=-6.0, commissions=-4.0, platform_fees=-10.0)),
    # an empty order counts no contract
    ([], dict(commissions=0.0, platform_fees=0.0, total_fees=0.0, trade_fees=0)),
])
def test_hkfe_figures(tb, deal, deals, expected):
    fee = tb.TollbookHKFE(*(deal(quantity=q, lot_size=lot) for q, lot in deals))
    for name, value in expected.items():
        got = getattr(fee, name)
        assert (type(got), got) == (type(value), value), name


@pytest.mark.parametrize("deals, expected", [
    ([(10, 100)], dict(platform_fees=1.99, commissions=0.0, total_fees=1.99,
                       total_trade_amount=1000, total_number_of_trades=1)),
    ([(10, 1000)], dict(platform_fees=8.0, commissions=0.0, total_fees=8.0)),
    # the minimum applies per deal
    ([(10, 100), (10, 1000)], dict(platform_fees=9.99, total_trade_amount=11000,
                                   total_number_of_trades=2)),
    ([], dict(platform_fees=0, commissions=0, total_fees=0)),
])
def test_crypto_figures(tb, deal, deals, expected):
    fee = tb.TollbookCrypto(*(deal(p, q) for p, q in deals))
    for name, value in expected.items():
        got = getattr(fee, name)
        assert (type(got), got) == (type(value), value), name


def test_framework_deals(tb):
    sehk = tb.TollbookSEHK(real_deal(100, 100), real_deal(320.4, 500), real_deal(99.95, 2000))
    amount = 10000 + 320.4 * 500 + 99.95 * 2000
    assert sehk.total_number_of_trades == 3
    assert sehk.total_trade_amount == amount
    assert sehk.stamp_fees == 13 + math.ceil(0.0013 * 320.4 * 500) + math.ceil(0.0013 * 99.95 * 2000)
    assert sehk.commissions == round(max(0.0003 * amount, 3), 2)
    assert sehk.total_fees == pytest.approx(
        sehk.commissions + 15 + 1.5 + sehk.settlement_fees + sehk.stamp_fees
        + sehk.trade_fees + sehk.transaction_fees)

    hkfe = tb.TollbookHKFE(real_deal(0, 150, lot_size=50), real_deal(0, 10, lot_size=10))
    assert (hkfe.trade_fees, hkfe.commissions, hkfe.platform_fees) == (12.0, 8.0, 20.0)

    crypto = tb.TollbookCrypto(real_deal(43000.5, 0.01), real_deal(43100.0, 2.5))
    assert crypto.platform_fees == round(1.99 + 0.0008 * 43100.0 * 2.5, 8)
    assert crypto.total_fees == crypto.platform_fees


def test_starting_values_are_added_to(tb, deal):
    class Carried(tb.TollbookSEHK):
        commissions = 1.25
        stamp_fees = 7

    fee = Carried(deal(100, 100))
    assert fee.commissions == 4.25 and fee.stamp_fees == 20
    assert fee.platform_fees == 15   # assigned, not added


@pytest.mark.parametrize("override", ["subclass", "instance"])
def test_crypto_rates_read_through_instance(tb, deal, override):
    if override == "subclass":
        class Pricier(tb.TollbookCrypto):
            COMMISSION_RATE = 0.001
            PLATFORM_FEE_RATE = 0.002
            PLATFORM_FEE_MIN_USD = 5
        fee = Pricier(deal(10, 100), deal(100, 100))
    else:
        fee = tb.TollbookCrypto.__new__(tb.TollbookCrypto)
        fee.COMMISSION_RATE, fee.PLATFORM_FEE_RATE, fee.PLATFORM_FEE_MIN_USD = 0.001, 0.002, 5
        fee.__init__(deal(10, 100), deal(100, 100))
    assert fee.commissions == round(0.001 * 1000 + 0.001 * 10000, 8)
    assert fee.platform_fees == 25.0   # 5 (minimum) + 20.0
    assert tb.TollbookCrypto.COMMISSION_RATE == 0.0


@pytest.mark.parametrize("cls, bad, error", [
    ("TollbookSEHK", SimpleNamespace(filled_quantity=3), AttributeError),
    ("TollbookSEHK", SimpleNamespace(filled_avg_price=None, filled_quantity=3), TypeError),
    ("TollbookSEHK", SimpleNamespace(filled_avg_price=float("inf"), filled_quantity=3),
     OverflowError),
    ("TollbookSEHK", SimpleNamespace(filled_avg_price=float("nan"), filled_quantity=3),
     ValueError),
    ("TollbookHKFE", SimpleNamespace(filled_quantity=3, security=SimpleNamespace(lot_size=None)),
     TypeError),
    ("TollbookHKFE", SimpleNamespace(filled_quantity=3, security=SimpleNamespace(lot_size=0)),
     ZeroDivisionError),
    ("TollbookHKFE", SimpleNamespace(filled_quantity=3), AttributeError),
    ("TollbookCrypto", SimpleNamespace(filled_avg_price="x", filled_quantity=2.5), TypeError),
])
def test_failing_deal_keeps_earlier_sums(native_tb, ref, deal, figures, cls, bad, error):
    good = deal(100, 100, lot_size=2)
    with pytest.raises(error):
        getattr(native_tb, cls)(good, bad, good)
    # the same partial state as the plain-Python schedule leaves behind
    native = getattr(native_tb, cls).__new__(getattr(native_tb, cls))
    plain = getattr(ref, cls).__new__(getattr(ref, cls))
    for obj in (native, plain):
        with pytest.raises(error):
            obj.__init__(good, bad, good)
    assert figures(native) == figures(plain)
    assert vars(native).keys() == vars(plain).keys()


@pytest.mark.parametrize("cls", ["TollbookSEHK", "TollbookHKFE", "TollbookCrypto"])
def test_keyword_arguments_refused(tb, deal, cls):
    with pytest.raises(TypeError):
        getattr(tb, cls)(deal(1, 1, 1), deals=[deal(1, 1, 1)])


def test_stamp_duty_uses_module_math_at_call_time(tb, deal, monkeypatch):
    calls = []

    def ceil(x):
        calls.append(x)
        return -1

    monkeypatch.setattr(tb, "math", SimpleNamespace(ceil=ceil))
    fee = tb.TollbookSEHK(deal(100, 100), deal(10, 100))
    assert fee.stamp_fees == -2 and len(calls) == 2
    monkeypatch.undo()
    assert tb.TollbookSEHK(deal(100, 100)).stamp_fees == 13


def _logging(base, log):
    class Logged(base):
        def __setattr__(self, name, value):
            log.append((name, type(value), value))
            object.__setattr__(self, name, value)
    return Logged


@pytest.mark.parametrize("cls", ["TollbookSEHK", "TollbookHKFE", "TollbookCrypto"])
def test_attribute_writes_in_python_order(native_tb, ref, deal, cls):
    """An instance that watches its attributes sees each `+=` as it happens."""
    native_log, plain_log = [], []
    deals = [deal(100, 100, 2), deal(12.5, 3000, 3), deal(7, 9, 2)]
    _logging(getattr(native_tb, cls), native_log)(*deals)
    _logging(getattr(ref, cls), plain_log)(*deals)
    assert native_log == plain_log and len(native_log) >= 9


def test_class_changed_after_use(tb, deal):
    class Sub(tb.TollbookSEHK):
        pass

    assert Sub(deal(100, 100)).stamp_fees == 13
    seen = []
    Sub.stamp_fees = property(lambda self: 1000, lambda self, value: seen.append(value))
    fee = Sub(deal(100, 100), deal(10, 100))
    assert seen == [1013, 1002] and fee.stamp_fees == 1000
    del Sub.stamp_fees
    assert Sub(deal(100, 100)).stamp_fees == 13
