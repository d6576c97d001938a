"""The engine's records in the four tables, written as they happen.

Every statement of ``DB`` is committed on its own, so the file is readable
at any moment; the engine writes an order's row before any of its deals, and
a deal's row before the order's filled quantity counts it.
"""
from velmor_trader.plugins.sqlite3.db import DB


def _row(**values):
    # DB writes no NULL: a value not known is left out of the statement.
    return {k: v for k, v in values.items() if v is not None}


class Store:
    def __init__(self, broker, account):
        self.db = DB()
        # Every statement commits on its own; a disk sync per commit would cost
        # more than the trading. With a write-ahead log every committed row
        # still survives the process being killed.
        self.db.execute("PRAGMA journal_mode=WAL")
        self.db.execute("PRAGMA synchronous=NORMAL")
        self.broker = broker            # broker_name, broker_environment
        self.account = account          # broker_account_id, broker_account
        self.balance_id = None
        self._order_ids = {}            # broker order id -> row id
        self._position_ids = {}         # security code -> row id

    def close(self):
        self.db.close()

    def _new_id(self, table, **key):
        rows = self.db.select_records(table, ["id"], **key)
        return int(rows["id"].iloc[-1])

    # -- balance ---------------------------------------------------------------
    def open_balance(self, balance, strategy, when):
        self.db.insert_records("balance", **self.broker, **self.account, **strategy,
                               strategy_status="RUNNING", **_balance(balance), update_time=when)
        self.balance_id = self._new_id("balance", broker_account_id=self.account["broker_account_id"],
                                       strategy_account_id=strategy["strategy_account_id"])

    def update_balance(self, balance, when, status=None):
        columns = _row(**_balance(balance), update_time=when, strategy_status=status)
        self.db.update_records("balance", columns, id=self.balance_id)

    # -- positions -------------------------------------------------------------
    def sync_positions(self, positions, when):
        """Make the table hold ``positions`` (PositionData records)."""
        seen = set()
        for p in positions:
            code = p.security.code
            seen.add(code)
            values = dict(direction=p.direction.name, holding_price=float(p.holding_price),
                          quantity=int(p.quantity), update_time=when)
            if code in self._position_ids:
                self.db.update_records("position", values, id=self._position_ids[code])
            else:
                self.db.insert_records("position", balance_id=self.balance_id,
                                       security_name=p.security.security_name,
                                       security_code=code, **values)
                self._position_ids[code] = self._new_id("position", balance_id=self.balance_id,
                                                        security_code=code)
        for code in [c for c in self._position_ids if c not in seen]:
            self.db.delete_records("position", id=self._position_ids.pop(code))

    # -- orders and deals ----------------------------------------------------------
    def add_order(self, order, offset):
        self.db.insert_records(
            "trading_order", broker_order_id=order.order_id, balance_id=self.balance_id,
            security_name=order.security.security_name, security_code=order.security.code,
            price=float(order.price or 0.0), quantity=int(order.quantity),
            direction=order.direction.name, offset=offset, order_type=order.order_type.name,
            create_time=order.create_time, update_time=order.create_time,
            filled_avg_price=0.0, filled_quantity=0, status=order.status.name)
        self._order_ids[order.order_id] = self._new_id("trading_order",
                                                       broker_order_id=order.order_id)

    def update_order(self, order, fees=None):
        columns = _row(status=order.status.name, update_time=order.updated_time,
                       filled_avg_price=float(order.filled_avg_price),
                       filled_quantity=int(order.filled_quantity),
                       remark=None if fees is None else "fees %.2f" % fees)
        self.db.update_records("trading_order", columns, id=self._order_ids[order.order_id])

    def add_deal(self, deal, order, offset):
        self.db.insert_records(
            "trading_deal", broker_deal_id=deal.deal_id, broker_order_id=deal.order_id,
            order_id=self._order_ids[deal.order_id], balance_id=self.balance_id,
            security_name=deal.security.security_name, security_code=deal.security.code,
            direction=deal.direction.name, offset=offset, order_type=order.order_type.name,
            update_time=deal.updated_time, filled_avg_price=float(deal.filled_avg_price),
            filled_quantity=int(deal.filled_quantity))

    # -- reading back ------------------------------------------------------------
    def orders(self):
        return self.db.select_records("trading_order")

    def deals(self):
        return self.db.select_records("trading_deal")


def _balance(b):
    return _row(cash=float(b.cash), available_cash=float(b.available_cash),
                net_cash_power=_float(b.net_cash_power),
                maintenance_margin=_float(b.maintenance_margin),
                realized_pnl=_float(b.realized_pnl), unrealized_pnl=_float(b.unrealized_pnl))


def _float(value):
    return None if value is None else float(value)
