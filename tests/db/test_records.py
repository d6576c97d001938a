import datetime as dt
import sqlite3
import subprocess
import sys
import threading

import numpy as np
import pandas as pd
import pytest

from implementations import module_name

STAMP = dt.datetime(2024, 3, 5, 9, 7, 3, 250000)


def _position(db, **over):
    row = dict(balance_id=1, security_name="HSI", security_code="HK.HSI", direction="LONG",
               holding_price=1.5, quantity=100, update_time=STAMP)
    row.update(over)
    db.insert_records("position", **row)


def test_round_trip_values(db):
    db.insert_records(
        "balance", broker_name='say "hi"', broker_environment="it's", broker_account_id=np.int64(7),
        broker_account="acc", strategy_account_id=True, strategy_account="s",
        strategy_version="1.0", cash=np.float64(1234.5), available_cash=0.1,
        max_power_short=-3, update_time=STAMP, remark='"; DROP TABLE balance; --')
    df = db.select_records("balance")
    assert isinstance(df, pd.DataFrame)
    assert list(df.columns)[:4] == ["id", "broker_name", "broker_environment",
                                    "broker_account_id"]
    assert len(df.columns) == 20 and len(df) == 1
    row = df.iloc[0]
    assert row["id"] == 1
    assert row["broker_name"] == 'say "hi"'
    assert row["broker_environment"] == "it's"
    assert row["broker_account_id"] == 7
    # SQLite has no boolean type: True is stored as 1.
    assert row["strategy_account_id"] == 1
    assert row["cash"] == 1234.5 and row["available_cash"] == 0.1
    assert row["max_power_short"] == -3.0
    assert row["update_time"] == "2024-03-05 09:07:03"
    assert row["remark"] == '"; DROP TABLE balance; --'
    assert pd.isna(row["realized_pnl"])
    assert db.select_records("position").shape == (0, 9)


def test_select_filters_and_columns(db):
    for i in range(4):
        _position(db, security_name="S%d" % i, quantity=i * 10, direction='q"' * i)
    df = db.select_records("position", ["security_name", "quantity"], direction='q"q"')
    assert df.to_dict("list") == {"security_name": ["S2"], "quantity": [20]}
    df = db.select_records("position", ["id"], condition_str="quantity>=10", balance_id=1)
    assert df["id"].tolist() == [2, 3, 4]
    empty = db.select_records("position", ["id", "quantity"], quantity=999)
    assert list(empty.columns) == ["id", "quantity"] and len(empty) == 0
    with pytest.raises(sqlite3.OperationalError):
        db.select_records("position", [])


def test_update_and_delete(db, dbmod):
    for i in range(3):
        _position(db, security_name="S%d" % i)
    db.update_records("position", {"quantity": 5, "remark": 'x"y'}, security_name="S1")
    df = db.select_records("position", ["quantity", "remark"])
    assert df["quantity"].tolist() == [100, 5, 100]
    assert df["remark"].tolist()[1] == 'x"y'
    db.update_records("position", {"holding_price": 2.25})
    assert set(db.select_records("position")["holding_price"]) == {2.25}
    db.delete_records("position", security_name="S0")
    assert db.select_records("position")["security_name"].tolist() == ["S1", "S2"]
    db.delete_records("position")
    assert len(db.select_records("position")) == 0
    assert not dbmod.lock.locked()


def test_driver_errors_propagate_and_release_lock(db, dbmod):
    with pytest.raises(sqlite3.OperationalError):
        db.insert_records("no_such_table", a=1)
    with pytest.raises(sqlite3.IntegrityError):
        db.insert_records("position", balance_id=1)
    assert not dbmod.lock.locked()
    assert len(db.select_records("position")) == 0


def test_rows_survive_a_second_db(db, dbmod):
    _position(db)
    other = dbmod.DB()
    try:
        assert other.select_records("position")["security_name"].tolist() == ["HSI"]
    finally:
        other.close()


def test_delete_table_then_new_db_recreates_it(db, dbmod):
    _position(db)
    db.delete_table("position")
    with pytest.raises(sqlite3.OperationalError):
        db.select_records("position")
    with pytest.raises(sqlite3.OperationalError):
        db.delete_table("position")
    other = dbmod.DB()
    try:
        assert len(other.select_records("position")) == 0
    finally:
        other.close()


def test_close(db, dbmod):
    db.close()
    assert not dbmod.lock.locked()
    with pytest.raises(sqlite3.ProgrammingError):
        db.select_records("balance")
    with pytest.raises(sqlite3.ProgrammingError):
        db.delete_records("balance", remark="remark")
    assert not dbmod.lock.locked()


class CountingLock:
    """Stands in for the module lock and counts how often it is taken."""

    def __init__(self):
        self.inner = threading.Lock()
        self.taken = 0

    def acquire(self, *args, **kwargs):
        got = self.inner.acquire(*args, **kwargs)
        self.taken += bool(got)
        return got

    def release(self):
        self.inner.release()

    def __enter__(self):
        self.acquire()
        return self

    def __exit__(self, *exc):
        self.release()


@pytest.mark.parametrize("call, times", [
    (lambda d: d.commit(), 0),
    (lambda d: d.execute("SELECT 1"), 1),
    (lambda d: d.insert_records("position", balance_id=1), 1),   # fails in the driver
    (lambda d: d.select_records("balance"), 1),
    (lambda d: d.close(), 1),
])
def test_module_lock_use(db, dbmod, monkeypatch, call, times):
    fake = CountingLock()
    monkeypatch.setattr(dbmod, "lock", fake)
    try:
        call(db)
    except sqlite3.IntegrityError:
        pass
    assert fake.taken == times and not fake.inner.locked()


def test_two_threads_insert_concurrently(dbmod, shm_config):
    errors = []
    start = threading.Barrier(2)

    def work(tag):
        try:
            d = dbmod.DB()
            start.wait()
            for i in range(1000):
                d.insert_records("trading_deal", broker_deal_id="%s-%d" % (tag, i),
                                 broker_order_id=tag, order_id=i, balance_id=1,
                                 security_name="N", security_code="C", direction="LONG",
                                 offset="OPEN", order_type="LIMIT", update_time=STAMP,
                                 filled_avg_price=1.0, filled_quantity=1)
            d.close()
        except BaseException as exc:  # reported below
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(t,)) for t in "AB"]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    assert errors == []
    check = dbmod.DB()
    try:
        df = check.select_records("trading_deal", ["broker_order_id", "order_id"])
    finally:
        check.close()
    assert len(df) == 2000
    for tag in "AB":
        assert sorted(df[df.broker_order_id == tag].order_id) == list(range(1000))


ROW = dict(balance_id=1, security_name="A", security_code="C", direction="LONG",
           holding_price=1.0, quantity=1, update_time=STAMP)


def test_failed_commit_is_rolled_back(db, config, tmp_path):
    db.execute("PRAGMA busy_timeout = 20")
    db.insert_records("position", **ROW)
    db.insert_records("position", **ROW)
    reader = sqlite3.connect(str(tmp_path / "velmor_trader.db"))
    pending = reader.execute("SELECT * FROM position")   # holds the file's read lock
    with pytest.raises(sqlite3.OperationalError, match="locked"):
        db.insert_records("position", **dict(ROW, security_name="LOST"))
    pending.fetchall()
    reader.close()
    db.insert_records("position", **dict(ROW, security_name="KEPT"))
    names = db.select_records("position")["security_name"].tolist()
    assert names == ["A", "A", "KEPT"]


def test_select_and_insert_from_two_threads(dbmod, shm_config):
    # A write of one DB must never land between another DB's select and its
    # fetch, where it would wait on the file lock while holding the module lock.
    errors = []

    def work(role):
        try:
            d = dbmod.DB()
            d.execute("PRAGMA busy_timeout = 200")
            for _ in range(300):
                if role == "w":
                    d.insert_records("position", **ROW)
                else:
                    d.select_records("position", ["id"], balance_id=1)
            d.close()
        except BaseException as exc:  # reported below
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(r,)) for r in "wrr"]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    assert errors == []


def test_assertions_disabled_reach_the_driver(impl, tmp_path):
    code = (
        "import sys, types, sqlite3\n"
        "cfg = types.ModuleType('velmor_trader_config'); cfg.DB = {'sqlite3': sys.argv[1]}\n"
        "sys.modules['velmor_trader_config'] = cfg\n"
        f"from {module_name('db', impl)} import DB\n"
        "d = DB()\n"
        "for call in (lambda: d.update_records('balance', {}), lambda: d.insert_records('balance')):\n"
        "    try:\n"
        "        call()\n"
        "    except sqlite3.OperationalError:\n"
        "        print('driver')\n")
    out = subprocess.run([sys.executable, "-O", "-c", code, str(tmp_path)],
                         capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["driver", "driver"]


# Texts that SQLite would read as a column of `position` if written in
# double quotes: its columns in any letter case, and the rowid aliases.
COLUMN_WORDS = ["security_name", "REMARK", "Quantity", "id", "rowid", "OID", "_RowId_"]


@pytest.mark.parametrize("word", COLUMN_WORDS)
def test_texts_spelling_column_names_stay_texts(db, word):
    for name in ("A", word, "B"):
        _position(db, security_name=name, security_code=name, remark=name)
    before = db.select_records("position")
    assert before["security_name"].tolist() == ["A", word, "B"]   # inserted as texts
    assert db.select_records("position", ["id"], security_name=word)["id"].tolist() == [2]
    db.update_records("position", {"direction": word, "remark": "kept"}, security_code=word)
    db.update_records("position", {"security_code": word}, id=3)
    after = db.select_records("position")
    assert after.loc[1, "direction"] == word and after.loc[1, "remark"] == "kept"
    assert after.loc[2, "security_code"] == word
    assert after.loc[0].equals(before.loc[0])
    db.delete_records("position", security_name=word, remark="kept")
    db.delete_records("position", remark=word)
    assert db.select_records("position")["security_name"].tolist() == ["A", "B"]


@pytest.mark.parametrize("call, stmt", [
    (lambda d: d.select_records("balance", ["id"], broker_name="Cash", broker_account="X"),
     "SELECT id FROM balance WHERE broker_name='Cash' AND broker_account=\"X\" "),
    (lambda d: d.select_records("position", ["id", "quantity AS n"], remark="N"),
     "SELECT id,quantity AS n FROM position WHERE remark='N' "),
    (lambda d: d.update_records("position", {"remark": "id", "direction": "it's"}, remark="x"),
     "UPDATE position SET remark='id' ,direction=\"it's\" WHERE remark=\"x\" "),
    (lambda d: d.delete_records("odd", a="o'k", condition_str="1"),
     "DELETE FROM odd WHERE a='o''k' AND 1 "),
    (lambda d: d.delete_records("keyed", k="ROWID", v="x y"),
     "DELETE FROM keyed WHERE k=\"ROWID\" AND v=\"x y\" "),
    (lambda d: d.delete_records("odd", a="X Y"), "DELETE FROM odd WHERE a='X Y' "),
])
def test_only_colliding_texts_are_single_quoted(db, traced, call, stmt):
    db.execute("CREATE TABLE odd (a TEXT, \"o'k\" TEXT, \"x y\" TEXT)")
    db.execute("CREATE TABLE keyed (k TEXT PRIMARY KEY, v TEXT) WITHOUT ROWID")
    del traced[:]
    call(db)
    assert traced == [stmt]
    # Called on their own, the renderers know no table.
    assert db._parse_sql_value("id") == '"id"'
    assert db._parse_sql_where_condition(id="id") == 'WHERE id="id" '


@pytest.mark.parametrize("value, stored", [
    (float("nan"), None), (float("inf"), float("inf")), (float("-inf"), float("-inf")),
    (np.float64("nan"), None), (np.float64("-inf"), float("-inf")),
])
def test_non_finite_floats_are_stored_and_matched_as_when_bound(db, value, stored):
    # Written as nan/inf, SQLite would read a column name; it stores a bound
    # NaN as NULL and an infinity as its infinite REAL, and so does the store.
    def balance(account, pnl):
        db.insert_records("balance", broker_name="B", broker_environment="E",
                          broker_account_id=1, broker_account=account, strategy_account_id=1,
                          strategy_account="s", strategy_version="1", cash=1.0,
                          available_cash=1.0, realized_pnl=pnl, update_time=STAMP)
    balance("A", value)
    balance("B", 2.5)
    bound = db.conn.execute("SELECT ?", (value,)).fetchone()
    assert bound == (stored,)
    assert db.conn.execute("SELECT realized_pnl FROM balance WHERE broker_account='A'") \
        .fetchone() == bound
    db.update_records("balance", {"realized_pnl": value}, broker_account="B")
    matched = db.select_records("balance", ["broker_account"], realized_pnl=value)
    assert matched["broker_account"].tolist() == ([] if stored is None else ["A", "B"])
    db.delete_records("balance", realized_pnl=value)
    left = db.conn.execute("SELECT count(*) FROM balance WHERE realized_pnl IS NULL").fetchone()[0]
    assert left == (2 if stored is None else 0)
    # Into a column that must hold a number, NaN is refused as when bound.
    with pytest.raises(sqlite3.IntegrityError):
        _position(db, holding_price=float("nan"))
    assert db._parse_sql_value(1.5) == "1.5" and db._parse_sql_value(1e-05) == "1e-05"


def test_update_refuses_a_value_before_any_sql(db, traced):
    """Every value of the statement is rendered before SQLite is asked
    anything about its texts, so an unsupported one fails first (not the
    driver, on a text it cannot take)."""
    with pytest.raises(ValueError, match=r"^Data format is not support! type\(None\)=<class 'NoneType'>$"):
        db.update_records("balance", {"remark": "a\x00b", "cash": None})
    assert traced == []
