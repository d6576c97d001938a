from types import SimpleNamespace

import pytest

from implementations import implementation

FIELDS = ("total_number_of_trades", "total_trade_amount", "commissions", "platform_fees",
          "system_fees", "settlement_fees", "stamp_fees", "trade_fees", "transaction_fees",
          "total_fees")


@pytest.fixture
def tb(impl):
    """The schedules under test: the native module or its twin."""
    return implementation("tollbook", impl)


@pytest.fixture(scope="session")
def native_tb():
    """The native schedules, for the tests that compare them with the twin's."""
    return implementation("tollbook", "native")


@pytest.fixture(scope="session")
def ref():
    """The plain-Python twin of the schedules: the reference results."""
    from velmor_trader.twins import tollbook
    return tollbook


def _deal(price=None, quantity=None, lot_size=None):
    d = SimpleNamespace(filled_avg_price=price, filled_quantity=quantity)
    d.security = SimpleNamespace(lot_size=lot_size)
    return d


def _figures(fee):
    out = {}
    for name in FIELDS:
        value = getattr(fee, name)
        out[name] = (type(value), value if value == value else "nan")
    return out


@pytest.fixture(scope="session")
def deal():
    """Builds a duck-typed deal carrying only what the schedules read."""
    return _deal


@pytest.fixture(scope="session")
def figures():
    """Every accumulator of a fee object as {name: (type, value)}."""
    return _figures
