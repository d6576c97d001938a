import datetime as dt
import decimal
import sqlite3

import numpy as np
import pytest


class Txt(str):
    pass


@pytest.mark.parametrize("value, text", [
    ("abc", '"abc"'),
    ("", '""'),
    ("x'y", '"x\'y"'),
    ('a"b', '"a""b"'),
    ('"', '""""'),
    (Txt("sub"), '"sub"'),
    (3, "3"),
    (-12345678901234567890, "-12345678901234567890"),
    (True, "True"),
    (False, "False"),
    (1.0, "1.0"),
    (0.1, "0.1"),
    (1e-05, "1e-05"),
    # Non-finite floats as SQLite stores them bound: format() gives names.
    (float("inf"), "9e999"),
    (float("-inf"), "-9e999"),
    (float("nan"), "NULL"),
    (np.float64(1.5), "1.5"),
    (np.int64(7), "7"),
    (dt.datetime(2024, 3, 5, 9, 7, 3, 250000), '"2024-03-05 09:07:03"'),
    (dt.datetime(2024, 3, 5, 9, 7, 3, tzinfo=dt.timezone(dt.timedelta(hours=8))),
     '"2024-03-05 09:07:03"'),
])
def test_value_rendering(db, value, text):
    assert db._parse_sql_value(value) == text


class Stamp(dt.datetime):
    def strftime(self, fmt):
        return "own " + super().strftime(fmt)


@pytest.mark.parametrize("value", [
    dt.datetime(1, 1, 1), dt.datetime(999, 12, 31, 23, 59, 59), dt.datetime(1000, 1, 2),
    dt.datetime(9999, 12, 31, 23, 59, 59, 999999), Stamp(2024, 1, 2, 3, 4, 5),
])
def test_datetime_rendering_matches_strftime(db, value):
    assert db._parse_sql_value(value) == '"' + value.strftime("%Y-%m-%d %H:%M:%S") + '"'


@pytest.mark.parametrize("value, message", [
    (None, "Data format is not support! type(None)=<class 'NoneType'>"),
    (dt.date(2024, 3, 5), "Data format is not support! type(2024-03-05)=<class 'datetime.date'>"),
    (np.int32(4), "Data format is not support! type(4)=<class 'numpy.int32'>"),
    (decimal.Decimal("1.5"), "Data format is not support! type(1.5)=<class 'decimal.Decimal'>"),
    (b"x", "Data format is not support! type(b'x')=<class 'bytes'>"),
])
def test_value_refusals(db, value, message):
    with pytest.raises(ValueError) as ei:
        db._parse_sql_value(value)
    assert str(ei.value) == message


@pytest.mark.parametrize("kwargs, text", [
    ({}, ""),
    ({"id": 3}, "WHERE id=3 "),
    ({"broker_name": "X", "cash": 1.5}, 'WHERE broker_name="X" AND cash=1.5 '),
    ({"id": 3, "condition_str": 'update_time>"2024-01-01"'},
     'WHERE id=3 AND update_time>"2024-01-01" '),
    ({"flag": True, "n": np.int64(7), "x": 2.0}, "WHERE flag=True AND n=7 AND x=2.0 "),
    ({"condition_str": 5}, "WHERE 5 "),
])
def test_where_clause(db, kwargs, text):
    assert db._parse_sql_where_condition(**kwargs) == text


def test_where_clause_refuses_bad_value(db):
    with pytest.raises(ValueError, match=r"type\(None\)"):
        db._parse_sql_where_condition(id=1, remark=None)


@pytest.mark.parametrize("call, stmt", [
    (lambda d: d.delete_table("balance"), "DROP TABLE balance"),
    (lambda d: d.select_records("balance"), "SELECT * FROM balance "),
    (lambda d: d.select_records("balance", ["id", "cash"], broker_name="X"),
     'SELECT id,cash FROM balance WHERE broker_name="X" '),
    (lambda d: d.update_records("balance", {"cash": 100.0}, id=1),
     "UPDATE balance SET cash=100.0 WHERE id=1 "),
    (lambda d: d.update_records("balance", {"cash": 100.0, "remark": "x"}, id=1),
     'UPDATE balance SET cash=100.0 ,remark="x" WHERE id=1 '),
    (lambda d: d.update_records("balance", {"cash": 1}), "UPDATE balance SET cash=1 "),
    (lambda d: d.insert_records("position", balance_id=1, security_name="A", quantity=100),
     'INSERT INTO position (balance_id,security_name,quantity) VALUES (1,"A",100)'),
    (lambda d: d.insert_records("position", balance_id=1, security_name="A",
                                security_code="A.1", direction="LONG", holding_price=1.5,
                                quantity=100, update_time=dt.datetime(2024, 1, 2, 3, 4, 5)),
     'INSERT INTO position (balance_id,security_name,security_code,direction,'
     'holding_price,quantity,update_time) VALUES (1,"A","A.1","LONG",1.5,100,'
     '"2024-01-02 03:04:05")'),
    (lambda d: d.delete_records("position", id=5), "DELETE FROM position WHERE id=5 "),
    (lambda d: d.delete_records("position"), "DELETE FROM position "),
])
def test_statement_texts(db, dbmod, traced, call, stmt):
    try:
        call(db)
    except sqlite3.IntegrityError:
        # The short insert leaves NOT NULL columns out; the driver refuses it
        # after the statement text was handed over.
        assert stmt.startswith("INSERT") and "security_code" not in stmt
    assert traced == [stmt]
    assert not dbmod.lock.locked()


SCHEMA = {
    "create_balance_table": (
        "CREATE TABLE IF NOT EXISTS balance (id INTEGER NOT NULL PRIMARY KEY AUTOINCREMENT, "
        "broker_name VARCHAR(20) NOT NULL, broker_environment VARCHAR(20) NOT NULL, "
        "broker_account_id INTEGER NOT NULL, broker_account VARCHAR(20) NOT NULL, "
        "strategy_account_id INTEGER NOT NULL, strategy_account VARCHAR(20) NOT NULL, "
        "strategy_version VARCHAR(20) NOT NULL, strategy_version_desc VARCHAR(300), "
        "strategy_status VARCHAR(15), cash DOUBLE NOT NULL, cash_by_currency VARCHAR(50), "
        "available_cash DOUBLE NOT NULL, max_power_short DOUBLE, net_cash_power DOUBLE, "
        "maintenance_margin DOUBLE, unrealized_pnl DOUBLE, realized_pnl DOUBLE, "
        "update_time DATETIME NOT NULL, remark VARCHAR(300))"),
    "create_position_table": (
        "CREATE TABLE IF NOT EXISTS position (id INTEGER NOT NULL PRIMARY KEY AUTOINCREMENT, "
        "balance_id INTEGER NOT NULL, security_name VARCHAR(20) NOT NULL, "
        "security_code VARCHAR(20) NOT NULL, direction VARCHAR(20) NOT NULL, "
        "holding_price DOUBLE NOT NULL, quantity INTEGER NOT NULL, "
        "update_time DATETIME NOT NULL, remark VARCHAR(300))"),
    "create_order_table": (
        "CREATE TABLE IF NOT EXISTS trading_order (id INTEGER NOT NULL PRIMARY KEY "
        "AUTOINCREMENT, broker_order_id VARCHAR(50) NOT NULL, balance_id INTEGER NOT NULL, "
        "security_name VARCHAR(20) NOT NULL, security_code VARCHAR(20) NOT NULL, "
        "price DOUBLE NOT NULL, quantity INTEGER NOT NULL, direction VARCHAR(20) NOT NULL, "
        "offset VARCHAR(20) NOT NULL, order_type VARCHAR(20) NOT NULL, "
        "create_time DATETIME NOT NULL, update_time DATETIME NOT NULL, "
        "filled_avg_price DOUBLE NOT NULL, filled_quantity INTEGER NOT NULL, "
        "status VARCHAR(20) NOT NULL, remark VARCHAR(300))"),
    "create_deal_table": (
        "CREATE TABLE IF NOT EXISTS trading_deal (id INTEGER NOT NULL PRIMARY KEY "
        "AUTOINCREMENT, broker_deal_id VARCHAR(50) NOT NULL, "
        "broker_order_id VARCHAR(50) NOT NULL, order_id INTEGER NOT NULL, "
        "balance_id INTEGER NOT NULL, security_name VARCHAR(20) NOT NULL, "
        "security_code VARCHAR(20) NOT NULL, direction VARCHAR(20) NOT NULL, "
        "offset VARCHAR(20) NOT NULL, order_type VARCHAR(20) NOT NULL, "
        "update_time DATETIME NOT NULL, filled_avg_price DOUBLE NOT NULL, "
        "filled_quantity INTEGER NOT NULL, remark VARCHAR(300))"),
}


def test_schema_statements(db, traced):
    for method in SCHEMA:
        getattr(db, method)()
    assert traced == list(SCHEMA.values())


def test_constructor_creates_tables_in_order(dbmod, config, monkeypatch):
    order = []
    for method in SCHEMA:
        orig = getattr(dbmod.DB, method)
        monkeypatch.setattr(dbmod.DB, method,
                            lambda self, _m=method, _o=orig: (order.append(_m), _o(self)))
    d = dbmod.DB()
    d.close()
    assert order == list(SCHEMA)


def test_execute_binds_parameters_or_runs_verbatim(db, traced):
    db.execute("INSERT INTO position (balance_id,security_name,security_code,direction,"
               "holding_price,quantity,update_time) VALUES (?,?,?,?,?,?,?)",
               (1, 'q"uote', "C", "LONG", 2.5, 10, "2024-01-01 00:00:00"))
    assert traced[-1].startswith("INSERT INTO position") and "'q\"uote'" in traced[-1]
    assert db.execute("SELECT 1") is None
    assert traced[-1] == "SELECT 1"
    assert db.select_records("position", ["security_name"])["security_name"][0] == 'q"uote'


@pytest.mark.parametrize("call, message", [
    (lambda d: d.update_records("balance", {}), "At least one column needs to be updated!"),
    (lambda d: d.insert_records("balance"), "Must provide columns and values when inserting!"),
])
def test_assertions(db, traced, call, message):
    with pytest.raises(AssertionError) as ei:
        call(db)
    assert str(ei.value) == message
    assert traced == []


def test_unsupported_value_runs_nothing(db, traced):
    with pytest.raises(ValueError):
        db.insert_records("position", balance_id=1, remark=None)
    with pytest.raises(ValueError):
        db.update_records("position", {"quantity": 1, "remark": dt.date.today()})
    assert traced == []
