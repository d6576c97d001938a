"""Instrument records: native module against the same classes in plain Python.

    PYTHONPATH=. .venv/bin/python bench/bench_security.py [--n N] [--repeat R]

Times hash(), == and a dict lookup keyed by Security and Stock objects, and
prints the speed-up of the native classes (plain time / native time).
Target: hash() of a Security at least 1.5x faster.
"""
import argparse
import timeit

from velmor_trader.twins import security as plain
from velmor_trader.core import security as native
from velmor_trader.core.constants import Exchange


def cases(mod, n):
    sec = [mod.Security(f"{700 + i}", f"Name {i}", exchange=Exchange.SEHK) for i in range(n)]
    twin = [mod.Security(f"{700 + i}", f"Name {i}", 10, Exchange.SEHK) for i in range(n)]
    stock = [mod.Stock(f"{700 + i}", f"Name {i}") for i in range(n)]
    stock_twin = [mod.Stock(f"{700 + i}", f"Name {i}") for i in range(n)]
    other_code = [mod.Security(f"{900 + i}", f"Name {i}", exchange=Exchange.SEHK) for i in range(n)]
    other_name = [mod.Security(f"{700 + i}", f"Other {i}", exchange=Exchange.SEHK) for i in range(n)]
    futures = [mod.Futures(f"HSI{i}", f"Index {i}") for i in range(n)]
    futures_twin = [mod.Futures(f"HSI{i}", f"Index {i}") for i in range(n)]
    stock_other = [mod.Stock(f"{900 + i}", f"Name {i}") for i in range(n)]
    cache = {s: i for i, s in enumerate(sec)}
    stock_cache = {s: i for i, s in enumerate(stock)}
    return {
        "hash(Security)": lambda: [hash(s) for s in sec],
        "hash(Stock)": lambda: [hash(s) for s in stock],
        "Security == Security": lambda: [a == b for a, b in zip(sec, twin)],
        "Security == (code diff)": lambda: [a == b for a, b in zip(sec, other_code)],
        "Security == (name diff)": lambda: [a == b for a, b in zip(sec, other_name)],
        "Stock == Stock": lambda: [a == b for a, b in zip(stock, stock_twin)],
        "Stock == (code diff)": lambda: [a == b for a, b in zip(stock, stock_other)],
        "Stock != Stock": lambda: [a != b for a, b in zip(stock, stock_twin)],
        "Security == Stock": lambda: [a == b for a, b in zip(sec, stock_twin)],
        "hash(Futures)": lambda: [hash(s) for s in futures],
        "Futures == Futures": lambda: [a == b for a, b in zip(futures, futures_twin)],
        "dict[Security]": lambda: [cache[s] for s in twin],
        "dict[Stock]": lambda: [stock_cache[s] for s in stock_twin],
    }


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=10_000)
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    ours, theirs = cases(native, args.n), cases(plain, args.n)
    print(f"{'operation':24} {'plain us/op':>12} {'native us/op':>13} {'speed-up':>9}")
    for name in ours:
        t_plain = min(timeit.repeat(theirs[name], number=1, repeat=args.repeat)) / args.n * 1e6
        t_native = min(timeit.repeat(ours[name], number=1, repeat=args.repeat)) / args.n * 1e6
        print(f"{name:24} {t_plain:12.3f} {t_native:13.3f} {t_plain / t_native:8.2f}x")


if __name__ == "__main__":
    main()
