import inspect
import subprocess
import sys
import threading

import pytest

from implementations import module_name
from twin_differences import TWIN_ONLY_NAMES

ATTRS = ["threading", "sqlite3", "datetime", "Iterable", "List", "Dict", "Union",
         "Any", "pd", "np", "lock", "_db_path", "DB"]


def test_module_namespace(dbmod):
    import datetime
    import sqlite3
    import typing

    import numpy
    import pandas
    public = {k for k in vars(dbmod) if not k.startswith("__")}
    assert public - set(TWIN_ONLY_NAMES["db"]) == set(ATTRS)
    assert dbmod.threading is threading and dbmod.sqlite3 is sqlite3
    assert dbmod.datetime is datetime.datetime
    assert dbmod.pd is pandas and dbmod.np is numpy
    for name in ("Iterable", "List", "Dict", "Union", "Any"):
        assert getattr(dbmod, name) is getattr(typing, name)
    assert type(dbmod.lock) is type(threading.Lock())
    assert not dbmod.lock.locked()


def test_class_shape(dbmod):
    DB = dbmod.DB
    assert DB.__bases__ == (object,) and DB.__doc__ is None
    assert DB.__module__ == dbmod.__name__
    for name in ("close", "commit", "execute", "_parse_sql_value",
                 "_parse_sql_where_condition", "create_balance_table",
                 "create_position_table", "create_order_table", "create_deal_table",
                 "delete_table", "select_records", "update_records",
                 "insert_records", "delete_records"):
        fn = DB.__dict__[name]
        assert fn.__name__ == name and fn.__qualname__ == "DB." + name


@pytest.mark.parametrize("name, sig, ann", [
    ("execute", "(self, sql: 'str', parameters: 'Iterable' = None)",
     {"sql": "str", "parameters": "Iterable"}),
    ("_parse_sql_value", "(self, value: 'Union[str, float, int, datetime]')",
     {"value": "Union[str, float, int, datetime]"}),
    ("_parse_sql_where_condition", "(self, **kwargs)", {}),
    ("delete_table", "(self, table_name: 'str')", {"table_name": "str"}),
    ("select_records", "(self, table_name: 'str', columns: 'List[str]' = None, **kwargs)",
     {"table_name": "str", "columns": "List[str]"}),
    ("update_records", "(self, table_name: 'str', columns: 'Dict[str, Any]', **kwargs)",
     {"table_name": "str", "columns": "Dict[str, Any]"}),
    ("insert_records", "(self, table_name: 'str', **kwargs)", {"table_name": "str"}),
    ("delete_records", "(self, table_name: 'str', **kwargs)", {"table_name": "str"}),
    ("close", "(self)", {}),
    ("__init__", "(self)", {}),
])
def test_signatures(dbmod, name, sig, ann):
    fn = getattr(dbmod.DB, name)
    assert str(inspect.signature(fn)) == sig
    assert fn.__annotations__ == ann


def test_db_path_signature(dbmod):
    assert dbmod._db_path.__annotations__ == {"return": "str"}
    assert str(inspect.signature(dbmod._db_path)) == "() -> 'str'"


def test_import_does_not_read_configuration(impl):
    code = ("import sys; sys.modules['velmor_trader_config'] = None\n"
            f"import {module_name('db', impl)} as m\n"
            "print(m.DB.__name__)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "DB"


class S(str):
    pass


@pytest.mark.parametrize("call, arg, expected, got", [
    (lambda d, v: d.execute(v), "sql", "str", "bytes"),
    (lambda d, v: d.delete_table(v), "table_name", "str", "int"),
    (lambda d, v: d.delete_table(v), "table_name", "str", "S"),
    (lambda d, v: d.insert_records(v, id=1), "table_name", "str", "NoneType"),
    (lambda d, v: d.delete_records(v), "table_name", "str", "int"),
    (lambda d, v: d.select_records(v), "table_name", "str", "int"),
    (lambda d, v: d.select_records("balance", v), "columns", "list", "tuple"),
    (lambda d, v: d.update_records(v, {"cash": 1}), "table_name", "str", "int"),
    (lambda d, v: d.update_records("balance", v), "columns", "dict", "NoneType"),
    (lambda d, v: d.update_records("balance", v), "columns", "dict", "list"),
])
def test_exact_type_checks(db, traced, call, arg, expected, got):
    value = {"bytes": b"SELECT 1", "int": 1, "S": S("balance"), "NoneType": None,
             "tuple": ("id",), "list": [("cash", 1)]}[got]
    with pytest.raises(TypeError) as ei:
        call(db, value)
    assert str(ei.value) == ("Argument '%s' has incorrect type (expected %s, got %s)"
                             % (arg, expected, got))
    assert traced == []


def test_methods_look_up_module_globals_at_call_time(dbmod, config, tmp_path, monkeypatch):
    other = tmp_path / "elsewhere"
    other.mkdir()
    monkeypatch.setattr(dbmod, "_db_path", lambda: str(other))
    d = dbmod.DB()
    d.close()
    assert (other / "velmor_trader.db").exists()
    assert not (tmp_path / "velmor_trader.db").exists()
