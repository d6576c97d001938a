"""The fuzz targets of the modules that need no server: security, tollbook,
db and metrics (the bot's and the broker client's are in their own files)."""
import datetime
import decimal
import fractions
import math
import os
import sqlite3
import sys
import tempfile
import types
import warnings

import numpy as np
import pandas as pd

from twinfuzz import Log, Odd, Rec, Target, Tok, attempt, failure, show

# ---------------------------------------------------------------------------
# security: construction, ==, != and hash of the five classes and of duck
# records, with fields that record how they are compared, hashed and written.

EXCHANGES = ("SEHK", "SMART", "IDEALPRO", None, "duck", "tok", "odd")
CLASSES = ("Security", "Stock", "Currency", "Commodity", "Futures")


class SecurityTarget(Target):
    name = "security"

    def __init__(self, native=None, twin=None):
        super().__init__(native, twin)
        self._recording = {}

    def field(self, rng, same=None):
        if same is not None and rng.random() < 0.6:
            return same
        return rng.choice([("v", "700"), ("v", "00700"), ("v", "a|b"), ("v", ""), ("v", 700),
                           ("v", 700.0), ("v", float("nan")), ("v", None), ("tok", "700"),
                           ("tok", "x"), ("odd",), ("v", True)])

    def spec(self, rng, like=None):
        kind = rng.choice(("cls", "cls", "rec", "duck"))
        code = self.field(rng, like and like[2])
        name = self.field(rng, like and like[3])
        exchange = rng.choice(EXCHANGES) if not like or rng.random() < 0.4 else like[4]
        cls = rng.choice(CLASSES) if not like or rng.random() < 0.5 else like[1]
        lot = rng.choice((None, 1, 1000, 5))
        return (kind, cls, code, name, exchange, lot)

    def generate(self, rng):
        ops = []
        for _ in range(rng.randint(1, 3)):
            a = self.spec(rng)
            b = self.spec(rng, like=a)
            ops.append((rng.choice(("eq", "eq", "ne", "hash", "hash_eq")), a, b))
        return ops

    def recording(self, impl, cls_name):
        key = (id(impl), cls_name)
        if key not in self._recording:
            base = getattr(impl, cls_name)

            def __getattribute__(self, name, base=base):
                fields = object.__getattribute__(self, "__dict__")
                if "_log" in fields and not name.startswith("_"):
                    fields["_log"].note("get", fields["_side"], name)
                return base.__getattribute__(self, name)

            self._recording[key] = type(cls_name, (base,), {"__getattribute__": __getattribute__})
        return self._recording[key]

    def make(self, impl, spec, log, side):
        kind, cls_name, code, name, exchange_kind, lot = spec
        values = [self.value(log, side + ".code", code), self.value(log, side + ".name", name)]
        exchange = self.exchange(impl, log, side, exchange_kind)
        if kind == "duck":
            return Rec(log, side, code=values[0], security_name=values[1], exchange=exchange)
        cls = self.recording(impl, cls_name) if kind == "rec" else getattr(impl, cls_name)
        obj = cls(values[0], values[1], lot, exchange)
        if kind == "rec":
            object.__setattr__(obj, "_log", log)
            object.__setattr__(obj, "_side", side)
        return obj

    @staticmethod
    def value(log, label, field):
        if field[0] == "tok":
            return Tok(log, label, field[1])
        if field[0] == "odd":
            return Odd(log, label)
        return field[1]

    @staticmethod
    def exchange(impl, log, side, kind):
        if kind is None:
            return None
        if kind == "duck":
            return Rec(log, side + ".exchange", value="SEHK")
        if kind == "tok":
            return Rec(log, side + ".exchange", value=Tok(log, side + ".exchange.value", "SEHK"))
        if kind == "odd":
            return Rec(log, side + ".exchange", value=Odd(log, side + ".exchange.value"))
        return getattr(impl.Exchange, kind)

    def run(self, impl, case):
        out = []
        for op, a_spec, b_spec in case:
            log = Log()
            try:
                a = self.make(impl, a_spec, log, "a")
                b = self.make(impl, b_spec, log, "b")
            except Exception as exc:
                out.append(("build", failure(exc)))
                continue
            if op == "eq":
                result = attempt(lambda: a == b)
            elif op == "ne":
                result = attempt(lambda: a != b)
            elif op == "hash":
                result = attempt(hash, a)
            else:
                # Equal objects hash alike: compared through the hashes.
                result = attempt(lambda: (hash(a) == hash(b), a == b))
            out.append((op, result, tuple(log)))
        return out


# ---------------------------------------------------------------------------
# tollbook: each schedule over random deals, on plain fee objects and on
# ones that record every read and write of their figures.

FIGURES = ("total_number_of_trades", "total_trade_amount", "commissions", "platform_fees",
           "system_fees", "settlement_fees", "stamp_fees", "trade_fees", "transaction_fees",
           "total_fees")

NUMBERS = (0, 1, 3, 100, 1000, -5, 10 ** 20, 2 ** 63, 100.0, 0.5, 123.456, 1e300, -0.0,
           float("inf"), float("-inf"), float("nan"), True, "F1/3", "D2.5", None, "x",
           "np64", "npf")


def number(token):
    if token == "F1/3":
        return fractions.Fraction(1, 3)
    if token == "D2.5":
        return decimal.Decimal("2.5")
    if token == "np64":
        return np.int64(7)
    if token == "npf":
        return np.float64(2.5)
    return token


class TollbookTarget(Target):
    name = "tollbook"

    def __init__(self, native=None, twin=None):
        super().__init__(native, twin)
        self._recording = {}

    def generate(self, rng):
        cls = rng.choice(("TollbookSEHK", "TollbookHKFE", "TollbookCrypto"))
        ordinary = (1, 100, 1000, 100.0, 12.5, 0.5, 2, 400)

        def pick():
            return rng.choice(ordinary) if rng.random() < 0.7 else rng.choice(NUMBERS)

        deals = [(pick(), pick(), pick(), rng.random() < 0.3) for _ in range(rng.randint(0, 3))]
        return (cls, rng.random() < 0.4, deals)

    def recording(self, impl, cls_name):
        key = (id(impl), cls_name)
        if key not in self._recording:
            base = getattr(impl, cls_name)

            def __getattribute__(self, name):
                value = object.__getattribute__(self, name)
                if not name.startswith("_"):
                    object.__getattribute__(self, "_log").note("get", "fees", name, show(value))
                return value

            def __setattr__(self, name, value):
                object.__getattribute__(self, "_log").note("set", "fees", name, show(value))
                object.__setattr__(self, name, value)

            def __new__(cls, *deals):
                obj = object.__new__(cls)
                object.__setattr__(obj, "_log", cls._next_log)
                return obj

            self._recording[key] = type(cls_name, (base,), {
                "__getattribute__": __getattribute__, "__setattr__": __setattr__,
                "__new__": __new__})
        return self._recording[key]

    def run(self, impl, case):
        cls_name, recorded, deals_spec = case
        log = Log()
        deals = []
        for i, (price, quantity, lot, rec) in enumerate(deals_spec):
            security = Rec(log, f"deal{i}.security", lot_size=number(lot))
            attrs = dict(filled_avg_price=number(price), filled_quantity=number(quantity),
                         security=security)
            deals.append(Rec(log, f"deal{i}", **attrs) if rec else types.SimpleNamespace(**attrs))
        if recorded:
            cls = self.recording(impl, cls_name)
            cls._next_log = log
        else:
            cls = getattr(impl, cls_name)
        fee = cls.__new__(cls, *deals)
        try:
            with warnings.catch_warnings(), np.errstate(all="ignore"):
                warnings.simplefilter("ignore")
                cls.__init__(fee, *deals)
            result = ("ok",)
        except Exception as exc:
            result = failure(exc)
        figures = tuple(show(fee.__dict__.get(name, getattr(type(fee), name, None)))
                        for name in FIGURES)
        return (result, figures, tuple(log))


# ---------------------------------------------------------------------------
# db: random statements on a fresh file per implementation, comparing each
# step's result, the SQL that ran (SQLite's trace), the calls the record
# operations make to the renderers, and the tables left.

COLUMNS = {
    "balance": ("broker_name", "broker_environment", "broker_account_id", "broker_account",
                "strategy_account_id", "strategy_account", "strategy_version", "cash",
                "available_cash", "update_time", "remark", "strategy_status"),
    "position": ("balance_id", "security_name", "security_code", "direction", "holding_price",
                 "quantity", "update_time", "remark"),
}
VALUES = (1, 0, -3, 2.5, 1e-05, float("nan"), float("inf"), True, "X", "", 'a"b', "a'b",
          "cash", "remark", "a\x00b", "x`y", "2024-01-01", "dt", "date", None, "np64", "np32",
          "npf", "dec", "id")


def db_value(token):
    if token == "dt":
        return datetime.datetime(2024, 3, 5, 9, 7, 3, 250000)
    if token == "date":
        return datetime.date(2024, 3, 5)
    if token == "np64":
        return np.int64(7)
    if token == "np32":
        return np.int32(7)
    if token == "npf":
        return np.float64(2.5)
    if token == "dec":
        return decimal.Decimal("1.5")
    return token


class DbTarget(Target):
    name = "db"

    def __init__(self, native=None, twin=None):
        super().__init__(native, twin)
        # A memory-backed directory where there is one: each case makes a new file.
        base = "/dev/shm" if os.path.isdir("/dev/shm") else None
        self.dirs = {id(self.native): tempfile.mkdtemp(prefix="twinfuzz-db-n", dir=base),
                     id(self.twin): tempfile.mkdtemp(prefix="twinfuzz-db-t", dir=base)}
        self._recording = {}
        self.dbs = {}

    def generate(self, rng):
        ops = []

        def pairs(table, n, values=VALUES):
            cols = COLUMNS[table]
            return [(rng.choice(cols + (("condition_str",) if rng.random() < 0.1 else ())),
                     rng.choice(values)) for _ in range(n)]

        full = {"balance": [("broker_name", "X"), ("broker_environment", "SIM"),
                            ("broker_account_id", 1), ("broker_account", "A"),
                            ("strategy_account_id", 2), ("strategy_account", "S"),
                            ("strategy_version", "1"), ("cash", 100.0),
                            ("available_cash", 50.0), ("update_time", "dt")],
                "position": [("balance_id", 1), ("security_name", "A"), ("security_code", "700"),
                             ("direction", "LONG"), ("holding_price", 1.5), ("quantity", 100),
                             ("update_time", "dt")]}
        for _ in range(rng.randint(1, 5)):
            table = rng.choice(tuple(COLUMNS))
            op = rng.choice(("insert", "insert", "update", "select", "delete", "parse", "where"))
            if op == "insert":
                row = list(full[table])
                for _ in range(rng.randint(0, 2)):
                    col, value = pairs(table, 1)[0]
                    row = [(c, v) for c, v in row if c != col] + [(col, value)]
                ops.append(("insert", table, row))
            elif op == "update":
                ops.append(("update", table, pairs(table, rng.randint(0, 2)),
                            pairs(table, rng.randint(0, 1))))
            elif op == "select":
                cols = None if rng.random() < 0.5 else list(rng.sample(COLUMNS[table], 2))
                ops.append(("select", table, cols, pairs(table, rng.randint(0, 2))))
            elif op == "delete":
                ops.append(("delete", table, pairs(table, rng.randint(0, 1))))
            elif op == "parse":
                ops.append(("parse", table, rng.choice(VALUES)))
            else:
                ops.append(("where", table, pairs(table, rng.randint(0, 3))))
        return ops

    def recording(self, impl):
        if id(impl) not in self._recording:
            base = impl.DB

            class RecordingDB(base):
                def _parse_sql_value(self, value):
                    self.log.note("call", "_parse_sql_value", show(value))
                    return base._parse_sql_value(self, value)

                def _parse_sql_where_condition(self, **kwargs):
                    self.log.note("call", "_parse_sql_where_condition",
                                  tuple((k, show(v)) for k, v in kwargs.items()))
                    return base._parse_sql_where_condition(self, **kwargs)

                def execute(self, sql, parameters=None):
                    self.log.note("call", "execute", sql)
                    return base.execute(self, sql, parameters)

            self._recording[id(impl)] = RecordingDB
        return self._recording[id(impl)]

    def open(self, impl, log):
        """The implementation's DB, emptied: made once, its tables cleared
        and their ids restarted for each case."""
        db = self.dbs.get(id(impl))
        if db is None:
            db = self.dbs[id(impl)] = self.make(impl)
        for table in ("balance", "position", "trading_order", "trading_deal", "sqlite_sequence"):
            db.conn.execute("DELETE FROM " + table)
        db.conn.commit()
        db.log = log
        db.conn.set_trace_callback(lambda sql: log.note("sql", sql))
        return db

    def make(self, impl):
        directory = self.dirs[id(impl)]
        config = types.ModuleType("velmor_trader_config")
        config.DB = {"sqlite3": directory}
        saved = sys.modules.get("velmor_trader_config")
        sys.modules["velmor_trader_config"] = config
        try:
            cls = self.recording(impl)
            db = cls.__new__(cls)
            db.log = Log()
            db.__init__()
        finally:
            if saved is None:
                del sys.modules["velmor_trader_config"]
            else:
                sys.modules["velmor_trader_config"] = saved
        return db

    @staticmethod
    def frame(df):
        return (tuple(df.columns), tuple(tuple(show(v) for v in row) for row in df.itertuples(index=False)))

    def step(self, db, op):
        kind, table = op[0], op[1]
        if kind == "insert":
            return attempt(db.insert_records, table, **{c: db_value(v) for c, v in op[2]})
        if kind == "update":
            return attempt(db.update_records, table, {c: db_value(v) for c, v in op[2]},
                           **{c: db_value(v) for c, v in op[3]})
        if kind == "select":
            try:
                return ("ok", self.frame(db.select_records(table, op[2],
                                                           **{c: db_value(v) for c, v in op[3]})))
            except Exception as exc:
                return failure(exc)
        if kind == "delete":
            return attempt(db.delete_records, table, **{c: db_value(v) for c, v in op[2]})
        if kind == "parse":
            return attempt(db._parse_sql_value, db_value(op[2]))
        return attempt(db._parse_sql_where_condition, **{c: db_value(v) for c, v in op[2]})

    def run(self, impl, case):
        log = Log()
        db = self.open(impl, log)
        try:
            out = []
            for op in case:
                out.append((op[0], self.step(db, op), tuple(log)))
                del log[:]
            for table in COLUMNS:
                rows = db.conn.execute("SELECT * FROM " + table).fetchall()
                out.append((table, tuple(tuple(show(v) for v in row) for row in rows)))
            return out
        finally:
            db.conn.set_trace_callback(None)


# ---------------------------------------------------------------------------
# metrics: the ratios, the drawdown, percentile and the time helpers on
# random series, arrays and awkward arguments.

class MetricsTarget(Target):
    name = "metrics"

    def series(self, rng, n=None):
        n = rng.choice((0, 1, 2, 3, 5, 20)) if n is None else n
        special = (0.0, float("nan"), float("inf"), -1.0, 1e-300)
        values = [rng.choice(special) if rng.random() < 0.1 else round(rng.uniform(-0.05, 0.05), 6)
                  for _ in range(n)]
        return (rng.choice(("array", "series", "list", "int-array")), values)

    def generate(self, rng):
        fn = rng.choice(("sharpe_ratio", "information_ratio", "modigliani_ratio",
                         "rolling_maximum_drawdown", "percentile", "convert_time",
                         "holding_period"))
        days = rng.choice((252, 1, 0, -1, 2.5, True, "252", None, 10 ** 30))
        if fn == "sharpe_ratio":
            return (fn, self.series(rng), days)
        if fn in ("information_ratio", "modigliani_ratio"):
            a = self.series(rng)
            b = self.series(rng, len(a[1]) if rng.random() < 0.8 else None)
            return (fn, a, b, days)
        if fn == "rolling_maximum_drawdown":
            kind, values = self.series(rng)
            values = [100 + v * 1000 for v in values]
            return (fn, (kind, values), rng.choice((252, 1, 2, 3, 0, 2.0, "3", None)))
        if fn == "percentile":
            return (fn, rng.choice((25, 50.0, 0, 100, 12.5, "25", None, True, -5)), self.series(rng))
        if fn == "convert_time":
            return (fn, rng.choice(("09:29:59", "09:30:00", "23:59", "9:5", "10", "aa:bb",
                                    "12:30:00:00", "", 930, None, "１２:４５")))
        return (fn, rng.choice(("2024-01-01 09:00:00", "2024-01-01 10:30:59", "bad")),
                rng.choice(("2024-01-01 09:00:00", "2024-01-02 09:00:01", "2023-12-31 23:59:59")))

    @staticmethod
    def build(spec):
        kind, values = spec
        if kind == "array":
            return np.array(values, dtype=float)
        if kind == "int-array":
            return np.array([int(v * 1e6) if math.isfinite(v) else 0 for v in values])
        if kind == "series":
            return pd.Series(values, dtype=float)
        return pd.Series(values, dtype=float).to_numpy()

    @staticmethod
    def shown(value):
        if isinstance(value, pd.Series):
            return ("Series", value.name, tuple(show(float(v)) for v in value))
        if isinstance(value, (float, np.floating)):
            return (type(value).__name__, "nan" if math.isnan(value) else float(value))
        return show(value)

    def call(self, impl, case):
        fn = case[0]
        f = getattr(impl, fn)
        if fn == "sharpe_ratio":
            return f(self.build(case[1]), case[2])
        if fn in ("information_ratio", "modigliani_ratio"):
            return f(self.build(case[1]), self.build(case[2]), case[3])
        if fn == "rolling_maximum_drawdown":
            return f(self.build(case[1]), case[2])
        if fn == "percentile":
            made = f(case[1])
            return (made.__name__, self.shown(made(pd.Series(case[2][1], dtype=float))))
        if fn == "convert_time":
            return f(case[1])
        return f(pd.Series({"open_datetime": case[1], "close_datetime": case[2]}))

    def run(self, impl, case):
        with warnings.catch_warnings(), np.errstate(all="ignore"):
            warnings.simplefilter("ignore")
            try:
                return ("ok", self.shown(self.call(impl, case)))
            except Exception as exc:
                return failure(exc)


TARGETS = {"security": SecurityTarget, "tollbook": TollbookTarget, "db": DbTarget,
           "metrics": MetricsTarget}
