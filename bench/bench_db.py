"""Insert N rows and select them back, native module against its pure-Python twin.

    PYTHONPATH=/work/main .venv/bin/python bench/bench_db.py [rows] [rounds]

Every insert is its own committed statement, as the framework writes its
records; the pure-Python class runs the same statements with the same
locking, so the ratios show what statement building and the call layer cost.
The native module must be no slower (ratio pure/native >= 1.0).
"""
import datetime as dt
import importlib.util
import os
import sys
import tempfile
import time
import types

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
# A memory-backed directory keeps the per-statement commits from drowning the
# difference in disk syncs; set BENCH_DB_DIR to measure on a real disk.
BASE = os.environ.get("BENCH_DB_DIR") or ("/dev/shm" if os.path.isdir("/dev/shm") else None)


def load_pure():
    return importlib.import_module("velmor_trader.twins.db")


def use_directory(path):
    cfg = types.ModuleType("velmor_trader_config")
    cfg.DB = {"sqlite3": path}
    sys.modules["velmor_trader_config"] = cfg


STAMP = dt.datetime(2024, 3, 5, 9, 7, 3)


def insert_rows(db, n):
    for i in range(n):
        db.insert_records("trading_order", broker_order_id="ord-%d" % i, balance_id=1,
                          security_name="HSI", security_code='HK."HSI"', price=1.5 + i,
                          quantity=np.int64(i), direction="LONG", offset="OPEN",
                          order_type="LIMIT", create_time=STAMP, update_time=STAMP,
                          filled_avg_price=0.0, filled_quantity=0, status="SUBMITTED")


def select_rows(db, n):
    df = db.select_records("trading_order", status="SUBMITTED")
    assert len(df) == n, len(df)
    return df


def build_statements(db, n):
    for i in range(n):
        db._parse_sql_where_condition(id=i, broker_order_id="ord", price=1.5,
                                      update_time=STAMP, condition_str="quantity>0")


def build_inserts(db, n):
    # The statements alone: an instance-level execute() that runs nothing.
    db.execute = lambda sql, parameters=None: None
    try:
        insert_rows(db, n)
    finally:
        del db.execute


def run(mod, n, rounds):
    times = {"insert": [], "select": [], "where": [], "build": []}
    for _ in range(rounds):
        with tempfile.TemporaryDirectory(dir=BASE) as tmp:
            use_directory(tmp)
            db = mod.DB()
            t = time.perf_counter(); insert_rows(db, n); times["insert"].append(time.perf_counter() - t)
            t = time.perf_counter(); select_rows(db, n); times["select"].append(time.perf_counter() - t)
            t = time.perf_counter(); build_statements(db, n); times["where"].append(time.perf_counter() - t)
            t = time.perf_counter(); build_inserts(db, n); times["build"].append(time.perf_counter() - t)
            db.close()
    return {k: min(v) for k, v in times.items()}


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 10_000
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    pure = load_pure()
    from velmor_trader.plugins.sqlite3 import db as native
    res_p = run(pure, n, rounds)
    res_n = run(native, n, rounds)
    print("%d rows, best of %d" % (n, rounds))
    print("%-28s %10s %10s %8s" % ("", "pure s", "native s", "ratio"))
    labels = {"insert": "insert_records x%d" % n, "select": "select_records (%d rows)" % n,
              "where": "where clause x%d" % n, "build": "insert text only x%d" % n}
    for k in ("insert", "select", "where", "build"):
        print("%-28s %10.4f %10.4f %7.2fx" % (labels[k], res_p[k], res_n[k], res_p[k] / res_n[k]))


if __name__ == "__main__":
    main()
