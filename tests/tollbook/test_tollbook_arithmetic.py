"""The native schedules against the plain-Python ones: same figures, same types."""
import random

import numpy as np
import pytest

SCHEDULES = ["TollbookSEHK", "TollbookHKFE", "TollbookCrypto"]

# prices/quantities of every numeric kind a deal may carry
KINDS = [
    (100, 100), (100.0, 100), (100, 100.0), (99.95, 2000), (0, 5), (-12.5, 40),
    (10 ** 30, 3), (3, 2 ** 70), (2 ** 53 + 1, 1), (1e150, 1e140), (True, 7),
    (np.float64(320.4), np.int64(500)), (np.float32(12.3), 1000), (np.int32(7), np.int64(9)),
    (np.int64(5), 2.5), (np.float64(1e5), 10),
]
LOTS = [2, 3.0, np.int64(4), -2, 0.5]


def assert_same(native, plain, figures):
    got, want = figures(native), figures(plain)
    assert got == want
    assert vars(native).keys() == vars(plain).keys()


def build(cls, deals):
    """The fee object and the type of the error its constructor raised, if any."""
    fee = cls.__new__(cls)
    try:
        fee.__init__(*deals)
    except Exception as exc:
        return fee, type(exc)
    return fee, None


@pytest.mark.parametrize("cls", SCHEDULES)
@pytest.mark.parametrize("price, qty", KINDS)
def test_kinds_single_deal(native_tb, ref, deal, figures, cls, price, qty):
    lot = 2 if cls != "TollbookHKFE" or qty != 2 ** 70 else 3
    d = deal(price, qty, lot)
    assert_same(getattr(native_tb, cls)(d), getattr(ref, cls)(d), figures)


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("cls", SCHEDULES)
def test_kinds_mixed_order(native_tb, ref, deal, figures, cls):
    rng = random.Random(7)
    for _ in range(200):
        deals = [deal(*rng.choice(KINDS), rng.choice(LOTS)) for _ in range(rng.randrange(5))]
        native, native_error = build(getattr(native_tb, cls), deals)
        plain, plain_error = build(getattr(ref, cls), deals)
        assert native_error is plain_error
        assert_same(native, plain, figures)


def _near_ties():
    """Trade amounts whose fees land on or next to a half cent."""
    amounts = []
    for k in range(0, 20000, 7):
        amounts += [200 * k + 100, 200.0 * k + 100]            # trading fee x.xx5
        amounts.append((k + 0.5) / 0.0027)                     # levy near x.xx5
        amounts.append(500.0 * (k % 9800) + 100250.0)          # settlement near x.xx5
    for a in list(amounts[:400]):
        amounts += [np.nextafter(float(a), 0.0), np.nextafter(float(a), 1e300)]
    return [float(a) if isinstance(a, np.floating) else a for a in amounts]


def test_sehk_rounding_near_ties(native_tb, ref, deal, figures):
    rng = random.Random(11)
    amounts = _near_ties() + [rng.uniform(0, 1e7) for _ in range(5000)]
    amounts += [round(rng.uniform(0, 500), 3) * rng.randrange(1, 5000) for _ in range(5000)]
    for a in amounts:
        d = deal(a, 1)
        assert figures(native_tb.TollbookSEHK(d)) == figures(ref.TollbookSEHK(d)), a


def test_crypto_rounding_to_eight_places(native_tb, ref, deal, figures):
    class Raw(native_tb.TollbookCrypto):
        PLATFORM_FEE_RATE = 1
        PLATFORM_FEE_MIN_USD = 0
        COMMISSION_RATE = 1.0

    class RawRef(ref.TollbookCrypto):
        PLATFORM_FEE_RATE = 1
        PLATFORM_FEE_MIN_USD = 0
        COMMISSION_RATE = 1.0

    rng = random.Random(5)
    amounts = [(k + 0.5) * 1e-8 for k in range(0, 10 ** 6, 997)]
    amounts += [(k + 0.5) * 1e-8 + 1000 * (k % 50) for k in range(0, 10 ** 6, 4999)]
    amounts += [rng.uniform(-5e7, 5e7) for _ in range(3000)] + [1e-300, -1e-300, -0.0, 1e20]
    for a in amounts:
        d = deal(a, 1)
        assert figures(Raw(d)) == figures(RawRef(d)), a
    for _ in range(300):
        deals = [deal(rng.uniform(0, 9e4), rng.choice([0.001, 0.25, 3])) for _ in range(6)]
        assert figures(native_tb.TollbookCrypto(*deals)) == figures(ref.TollbookCrypto(*deals))


def test_non_numeric_accumulator_start(native_tb, ref, deal, figures):
    """Accumulators of any type take part through their own arithmetic."""
    from fractions import Fraction

    def exact(base):
        return type("Exact", (base,), {"total_trade_amount": Fraction(1, 3),
                                       "stamp_fees": Fraction(0)})

    deals = [deal(100, 100), deal(2.5, 4)]
    native, plain = exact(native_tb.TollbookSEHK)(*deals), exact(ref.TollbookSEHK)(*deals)
    assert type(native.stamp_fees) is Fraction
    assert_same(native, plain, figures)
