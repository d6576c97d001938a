# The plain-Python twin of velmor_trader.plugins.sqlite3.db: the same
# statements, locking and checks as the native module.  Kept free of anything
# the native module does not do, so that the benchmark's comparison is fair.
import threading
import sqlite3
from datetime import datetime
from typing import Iterable, List, Dict, Union, Any
import pandas as pd
import numpy as np

lock = threading.Lock()


def _db_path() -> "str":
    try:
        from velmor_trader_config import DB
        path = DB["sqlite3"]
        # A directory of None would open "None/velmor_trader.db": refuse it.
        if type(path) is not str:
            from velmor_trader.twins._host import type_name
            raise TypeError("Expected str, got %.200s" % type_name(path))
        return path
    except Exception as exc:
        raise ValueError("`sqlite3` is activated, and its path must be specified in "
                         "`DB` variable in velmor_trader_config.py") from exc


def _define():
    # The class, and the helpers its methods share: the native module's
    # helpers are C++ functions, which leave no name in its namespace, so
    # here they are this scope's, reached as closure cells.
    from velmor_trader.twins._host import at_module_level, exact

    def single_quoted(text):
        return "'" + text.replace("'", "''") + "'"

    def commit_or_roll_back(self):
        # A failed commit (file locked past the busy timeout) must not leave
        # the statement pending for this connection's next commit.
        try:
            self.commit()
        except BaseException:
            try:
                self.conn.rollback()
            except Exception:
                pass
            raise

    def where_text(self, kwargs, as_text):
        # DB._parse_sql_where_condition's clause, with the texts that as_text
        # marks single-quoted.
        condition_str = "WHERE "
        for idx, (key, value) in enumerate(kwargs.items()):
            if idx != 0:
                condition_str += "AND "
            if key == "condition_str":
                condition_str += format(value, "") + " "
            elif as_text[idx]:
                condition_str += key + "=" + single_quoted(format(value, "")) + " "
            else:
                condition_str += key + "=" + self._parse_sql_value(value) + " "
        return condition_str

    # SQLite reads a double-quoted word as a column whenever one of that name
    # is in scope; such texts are written single-quoted.  SQLite is asked by
    # compiling a query that never compiles: it fails on the backquoted name
    # when no such column is in scope, on "ORDER BY 0" otherwise.
    def reads_as_column(self, text, table_name, col_sql):
        try:
            self.conn.execute("SELECT " + col_sql + " FROM " + table_name + " WHERE `"
                              + text.replace("`", "``") + "` ORDER BY 0")
        except sqlite3.OperationalError as exc:
            return not str(exc).startswith("no such column")
        return True

    def scoped_value(self, value, written, table_name, col_sql):
        if isinstance(value, str):
            text = format(value, "")
            if reads_as_column(self, text, table_name, col_sql):
                return single_quoted(text)
        return written

    def scoped_where(self, kwargs, table_name, col_sql):
        clause = self._parse_sql_where_condition(**kwargs)
        as_text = [key != "condition_str" and isinstance(value, str)
                   and reads_as_column(self, format(value, ""), table_name, col_sql)
                   for key, value in kwargs.items()]
        return where_text(self, kwargs, as_text) if any(as_text) else clause

    class DB:
        def __init__(self):
            path = format(_db_path(), "") + "/velmor_trader.db"
            self.conn = sqlite3.connect(path)
            self.cursor = self.conn.cursor()
            self.create_balance_table()
            self.create_position_table()
            self.create_order_table()
            self.create_deal_table()

        def close(self):
            with lock:
                self.cursor.close()
                self.conn.close()

        def commit(self):
            self.conn.commit()

        def execute(self, sql: "str", parameters: "Iterable" = None):
            exact(sql, "sql", str)
            with lock:
                if parameters is None:
                    self.cursor.execute(sql)
                else:
                    self.cursor.execute(sql, parameters)
                commit_or_roll_back(self)

        def _parse_sql_value(self, value: "Union[str, float, int, datetime]"):
            if isinstance(value, str):
                text = format(value, "")
                if '"' in text:
                    text = text.replace('"', '""')
                return '"' + text + '"'
            # nan and inf would read as column names: written as SQLite
            # stores them bound, NULL and its infinite REAL.  (1e999 is inf:
            # only a finite float lies strictly between; compared, not looked
            # up in math, so that this hot method keeps no closure cell.)
            if isinstance(value, float) and not -1e999 < value < 1e999:
                return "NULL" if value != value else "9e999" if value > 0 else "-9e999"
            if isinstance(value, (float, int)) or isinstance(value, np.int64):
                return format(value, "")
            if isinstance(value, datetime):
                return '"' + value.strftime("%Y-%m-%d %H:%M:%S") + '"'
            raise ValueError("Data format is not support! type(" + format(value, "")
                             + ")=" + format(type(value), ""))

        def _parse_sql_where_condition(self, **kwargs):
            condition_str = ""
            if kwargs:
                condition_str += "WHERE "
            for idx, (key, value) in enumerate(kwargs.items()):
                if idx != 0:
                    condition_str += "AND "
                if key == "condition_str":
                    condition_str += format(value, "") + " "
                else:
                    condition_str += key + "=" + self._parse_sql_value(value) + " "
            return condition_str

        def create_balance_table(self):
            self.execute(
                "CREATE TABLE IF NOT EXISTS balance ("
                "id INTEGER NOT NULL PRIMARY KEY AUTOINCREMENT, "
                "broker_name VARCHAR(20) NOT NULL, "
                "broker_environment VARCHAR(20) NOT NULL, "
                "broker_account_id INTEGER NOT NULL, "
                "broker_account VARCHAR(20) NOT NULL, "
                "strategy_account_id INTEGER NOT NULL, "
                "strategy_account VARCHAR(20) NOT NULL, "
                "strategy_version VARCHAR(20) NOT NULL, "
                "strategy_version_desc VARCHAR(300), "
                "strategy_status VARCHAR(15), "
                "cash DOUBLE NOT NULL, "
                "cash_by_currency VARCHAR(50), "
                "available_cash DOUBLE NOT NULL, "
                "max_power_short DOUBLE, "
                "net_cash_power DOUBLE, "
                "maintenance_margin DOUBLE, "
                "unrealized_pnl DOUBLE, "
                "realized_pnl DOUBLE, "
                "update_time DATETIME NOT NULL, "
                "remark VARCHAR(300))")

        def create_position_table(self):
            self.execute(
                "CREATE TABLE IF NOT EXISTS position ("
                "id INTEGER NOT NULL PRIMARY KEY AUTOINCREMENT, "
                "balance_id INTEGER NOT NULL, "
                "security_name VARCHAR(20) NOT NULL, "
                "security_code VARCHAR(20) NOT NULL, "
                "direction VARCHAR(20) NOT NULL, "
                "holding_price DOUBLE NOT NULL, "
                "quantity INTEGER NOT NULL, "
                "update_time DATETIME NOT NULL, "
                "remark VARCHAR(300))")

        def create_order_table(self):
            self.execute(
                "CREATE TABLE IF NOT EXISTS trading_order ("
                "id INTEGER NOT NULL PRIMARY KEY AUTOINCREMENT, "
                "broker_order_id VARCHAR(50) NOT NULL, "
                "balance_id INTEGER NOT NULL, "
                "security_name VARCHAR(20) NOT NULL, "
                "security_code VARCHAR(20) NOT NULL, "
                "price DOUBLE NOT NULL, "
                "quantity INTEGER NOT NULL, "
                "direction VARCHAR(20) NOT NULL, "
                "offset VARCHAR(20) NOT NULL, "
                "order_type VARCHAR(20) NOT NULL, "
                "create_time DATETIME NOT NULL, "
                "update_time DATETIME NOT NULL, "
                "filled_avg_price DOUBLE NOT NULL, "
                "filled_quantity INTEGER NOT NULL, "
                "status VARCHAR(20) NOT NULL, "
                "remark VARCHAR(300))")

        def create_deal_table(self):
            self.execute(
                "CREATE TABLE IF NOT EXISTS trading_deal ("
                "id INTEGER NOT NULL PRIMARY KEY AUTOINCREMENT, "
                "broker_deal_id VARCHAR(50) NOT NULL, "
                "broker_order_id VARCHAR(50) NOT NULL, "
                "order_id INTEGER NOT NULL, "
                "balance_id INTEGER NOT NULL, "
                "security_name VARCHAR(20) NOT NULL, "
                "security_code VARCHAR(20) NOT NULL, "
                "direction VARCHAR(20) NOT NULL, "
                "offset VARCHAR(20) NOT NULL, "
                "order_type VARCHAR(20) NOT NULL, "
                "update_time DATETIME NOT NULL, "
                "filled_avg_price DOUBLE NOT NULL, "
                "filled_quantity INTEGER NOT NULL, "
                "remark VARCHAR(300))")

        def delete_table(self, table_name: "str"):
            exact(table_name, "table_name", str)
            self.execute("DROP TABLE " + table_name)

        def select_records(self, table_name: "str", columns: "List[str]" = None, **kwargs):
            exact(table_name, "table_name", str)
            exact(columns, "columns", list, none_ok=True)
            col_sql = "*" if columns is None else ",".join(columns)
            sql = "SELECT " + col_sql + " FROM " + table_name + " " \
                + scoped_where(self, kwargs, table_name, "1" if columns is None else col_sql)
            # Statement, commit and fetch in one hold of the lock: a stepped
            # SELECT keeps the file's read lock until its rows are fetched.
            with lock:
                self.cursor.execute(sql)
                commit_or_roll_back(self)
                records = self.cursor.fetchall()
                names = [d[0] for d in self.cursor.description]
                return pd.DataFrame(records, columns=names)

        def update_records(self, table_name: "str", columns: "Dict[str, Any]", **kwargs):
            exact(table_name, "table_name", str)
            exact(columns, "columns", dict)
            assert len(columns) > 0, "At least one column needs to be updated!"
            sql = "UPDATE " + table_name + " "
            last = len(columns) - 1
            items = list(columns.items())
            # Every value, then the filter, rendered (and its type checked)
            # before SQLite is asked anything about the texts.
            written = [self._parse_sql_value(value) for _, value in items]
            where = scoped_where(self, kwargs, table_name, "1")
            for idx, (key, value) in enumerate(items):
                if idx == 0:
                    sql += "SET "
                sql += key + "=" + scoped_value(self, value, written[idx], table_name, "1") + " "
                if idx != last:
                    sql += ","
            sql += where
            self.execute(sql)

        def insert_records(self, table_name: "str", **kwargs):
            exact(table_name, "table_name", str)
            assert len(kwargs) > 0, "Must provide columns and values when inserting!"
            sql = ("INSERT INTO " + table_name + " (" + ",".join(kwargs.keys())
                   + ") VALUES (" + ",".join(self._parse_sql_value(v) for v in kwargs.values())
                   + ")")
            self.execute(sql)

        def delete_records(self, table_name: "str", **kwargs):
            exact(table_name, "table_name", str)
            self.execute("DELETE FROM " + table_name + " "
                         + scoped_where(self, kwargs, table_name, "1"))

    return at_module_level(DB)


DB = _define()
del _define
