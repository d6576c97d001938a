"""The engine's records in the four tables, written as they happen.

Each event's rows are written in one transaction, so the file holds either
all of an event or none of it, whenever the process is killed: a fill's deal
row, its order's filled quantity, the balance and the positions it changed
commit together, the deal row first.  An order's row counts only the fills
whose deal rows are stored; an order's row is written before any of its
deals.  The statements bind their values.

A write that meets the database locked by another program (a backup, a
report tool) fails after ``BUSY_MS`` instead of holding the engine for the
driver's default seconds: the engine keeps it and tries again later, and
goes on trading meanwhile.
"""
import contextlib

from velmor_trader.plugins.sqlite3 import db as db_module
from velmor_trader.plugins.sqlite3.db import DB

TIME = "%Y-%m-%d %H:%M:%S"       # as DB writes a datetime
BUSY_MS = 100
BALANCE = ("cash", "available_cash", "net_cash_power", "maintenance_margin", "realized_pnl",
           "unrealized_pnl")


class Store:
    def __init__(self, broker, account):
        self.db = DB()
        # A disk sync per commit would cost more than the trading. With a
        # write-ahead log every committed transaction still survives the
        # process being killed.
        self.db.execute("PRAGMA journal_mode=WAL")
        self.db.execute("PRAGMA synchronous=NORMAL")
        self.db.execute(f"PRAGMA busy_timeout={BUSY_MS}")
        self.broker = broker            # broker_name, broker_environment
        self.account = account          # broker_account_id, broker_account
        self.balance_id = None
        self._order_ids = {}            # broker order id -> row id
        self._position_ids = {}         # security code -> row id

    def close(self):
        self.db.close()

    @contextlib.contextmanager
    def _transaction(self):
        with db_module.lock:
            conn = self.db.conn
            conn.execute("BEGIN IMMEDIATE")
            try:
                yield conn
                conn.commit()
            except BaseException:
                # Nothing of a failed transaction stays, so that it can be
                # tried again whole.
                conn.rollback()
                raise

    # -- balance ---------------------------------------------------------------
    def open_balance(self, balance, strategy, when):
        values = dict(**self.broker, **self.account, **strategy, strategy_status="RUNNING",
                      **_balance(balance), update_time=when)
        with self._transaction() as conn:
            self.balance_id = _insert(conn, "balance", values)

    def update_balance(self, balance, when, status=None):
        with self._transaction() as conn:
            self._balance(conn, balance, when, status)

    def _balance(self, conn, balance, when, status=None):
        values = dict(_balance(balance), update_time=when)
        if status is not None:
            values["strategy_status"] = status
        _update(conn, "balance", values, self.balance_id)

    # -- positions -------------------------------------------------------------
    def sync_positions(self, positions, when, balance=None):
        """Make the table hold ``positions`` (PositionData records), and the
        balance row ``balance`` when given, in one transaction."""
        with self._transaction() as conn:
            self._positions(conn, positions, when)
            if balance is not None:
                self._balance(conn, balance, when)

    def _positions(self, conn, positions, when):
        seen = set()
        for p in positions:
            code = p.security.code
            seen.add(code)
            values = dict(direction=p.direction.name, holding_price=float(p.holding_price),
                          quantity=int(p.quantity), update_time=when)
            if code in self._position_ids:
                _update(conn, "position", values, self._position_ids[code])
            else:
                self._position_ids[code] = _insert(
                    conn, "position", dict(balance_id=self.balance_id,
                                           security_name=p.security.security_name,
                                           security_code=code, **values))
        for code in [c for c in self._position_ids if c not in seen]:
            conn.execute("DELETE FROM position WHERE id=?", (self._position_ids.pop(code),))

    # -- orders and deals ----------------------------------------------------------
    def add_order(self, order, offset):
        values = dict(
            broker_order_id=order.order_id, balance_id=self.balance_id,
            security_name=order.security.security_name, security_code=order.security.code,
            price=float(order.price or 0.0), quantity=int(order.quantity),
            direction=order.direction.name, offset=offset, order_type=order.order_type.name,
            create_time=order.create_time, update_time=order.create_time,
            filled_avg_price=0.0, filled_quantity=0, status=order.status.name)
        with self._transaction() as conn:
            self._order_ids[order.order_id] = _insert(conn, "trading_order", values)

    def has_order(self, order_id):
        return order_id in self._order_ids

    def update_order(self, order_id, state):
        """Write ``state`` (status, update_time, filled_avg_price,
        filled_quantity, remark) to the order's row."""
        with self._transaction() as conn:
            _update(conn, "trading_order", state, self._order_ids[order_id])

    def record_fill(self, deal, order, offset, state, balance, positions, when):
        """One fill: its deal row, then its order's ``state`` (see
        ``update_order``), the balance and the positions, in one transaction."""
        values = dict(
            broker_deal_id=deal.deal_id, broker_order_id=deal.order_id,
            order_id=self._order_ids[deal.order_id], balance_id=self.balance_id,
            security_name=deal.security.security_name, security_code=deal.security.code,
            direction=deal.direction.name, offset=offset, order_type=order.order_type.name,
            update_time=deal.updated_time, filled_avg_price=float(deal.filled_avg_price),
            filled_quantity=int(deal.filled_quantity))
        with self._transaction() as conn:
            _insert(conn, "trading_deal", values)
            _update(conn, "trading_order", state, self._order_ids[deal.order_id])
            self._balance(conn, balance, when)
            self._positions(conn, positions, when)

    # -- reading back ------------------------------------------------------------
    def orders(self):
        return self.db.select_records("trading_order")

    def deals(self):
        return self.db.select_records("trading_deal")


def _value(value):
    return value.strftime(TIME) if hasattr(value, "strftime") else value


def _insert(conn, table, values):
    values = {k: v for k, v in values.items() if v is not None}
    sql = "INSERT INTO %s (%s) VALUES (%s)" % (table, ", ".join(values),
                                               ", ".join("?" * len(values)))
    return conn.execute(sql, [_value(v) for v in values.values()]).lastrowid


def _update(conn, table, values, row_id):
    values = {k: v for k, v in values.items() if v is not None}
    sql = "UPDATE %s SET %s WHERE id=?" % (table, ", ".join(f"{k}=?" for k in values))
    conn.execute(sql, [_value(v) for v in values.values()] + [row_id])


def _balance(b):
    return {name: None if getattr(b, name) is None else float(getattr(b, name))
            for name in BALANCE}
