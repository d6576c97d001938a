"""Fee schedules: native module against the plain-Python classes, side by side.

    PYTHONPATH=. .venv/bin/python bench/bench_tollbook.py [--deals N] [--repeat R]

Each schedule is timed on N deals (framework Deal records) twice: as one order
of N deals, and as N orders of one deal each. Prints seconds and the speed-up
(plain time / native time). Target: SEHK at least 2x.
"""
import argparse
import random
import time
from types import SimpleNamespace

from velmor_trader.twins import tollbook as plain
from velmor_trader.core.constants import Direction
from velmor_trader.core.deal import Deal
from velmor_trader.gateways.futu import tollbook as native

SCHEDULES = ["TollbookSEHK", "TollbookHKFE", "TollbookCrypto"]


def make_deals(n, seed=1):
    rng = random.Random(seed)
    lots = [SimpleNamespace(code=f"HSI{i}", lot_size=lot) for i, lot in enumerate((1, 50, 100))]
    deals = []
    for i in range(n):
        price = round(rng.uniform(0.5, 800.0), 2) if i % 4 else rng.randrange(1, 500)
        qty = rng.choice(lots[1:]).lot_size * rng.randrange(1, 40)
        deals.append(Deal(security=rng.choice(lots), direction=Direction.LONG,
                          filled_avg_price=price, filled_quantity=qty))
    return deals


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def one_order(cls, deals):
    return lambda: cls(*deals)


def many_orders(cls, deals):
    def run():
        for d in deals:
            cls(d)
    return run


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--deals", type=int, default=10 ** 5)
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()
    deals = make_deals(args.deals)
    print(f"{args.deals} deals, best of {args.repeat}")
    print(f"{'schedule':16}{'layout':14}{'python s':>11}{'native s':>11}{'ratio':>8}")
    for name in SCHEDULES:
        p_cls, n_cls = getattr(plain, name), getattr(native, name)
        # same figures before timing anything
        for attr in ("total_fees", "commissions", "trade_fees", "platform_fees"):
            assert getattr(p_cls(*deals[:1000]), attr) == getattr(n_cls(*deals[:1000]), attr)
        for layout, make in (("one order", one_order), ("1-deal orders", many_orders)):
            tp = best(make(p_cls, deals), args.repeat)
            tn = best(make(n_cls, deals), args.repeat)
            print(f"{name:16}{layout:14}{tp:11.4f}{tn:11.4f}{tp / tn:7.1f}x")


if __name__ == "__main__":
    main()
