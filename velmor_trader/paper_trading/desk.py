"""The engine's side of the chat bot: read each request off ``bot``, act,
answer, clear.

The bot's command handlers only record requests; this desk, on the engine's
thread, answers each one with a message that starts with the command
("/balance: ..."), so that the operator can tell the answer from the bot's
acknowledgement, and clears the flag through its setter.
"""
from velmor_trader.core.constants import OrderType

from . import defaults

ACTIVE = ("SUBMITTING", "SUBMITTED", "UNKNOWN")
SIDES = {"l": 1, "s": -1}
TYPES = {"m": OrderType.MARKET, "l": OrderType.LIMIT, "s": OrderType.STOP}
OFFSETS = {"o": "OPEN", "c": "CLOSE"}


def parse_order_string(text, instruments):
    """The eight fields of /send_order: security_code, quantity,
    direction(l/s), offset(o/c), order_type(m/l/s), gateway_name,
    price(None), stop_price(None). Raises ValueError with the reason."""
    fields = [f.strip() for f in text.split(",")]
    if len(fields) != 8:
        raise ValueError("an order string has eight fields")
    code, quantity, side, offset, kind, gateway, price, stop = fields
    security = next((i.security for i in instruments if i.security.code == code), None)
    if security is None:
        raise ValueError(f"{code} is not traded here")
    if gateway.upper() != defaults.GATEWAY_NAME:
        raise ValueError(f"no gateway {gateway}")
    try:
        quantity = int(quantity)
        price = None if price in ("", "None") else float(price)
        stop = None if stop in ("", "None") else float(stop)
    except ValueError:
        raise ValueError("quantity and prices must be numbers") from None
    if quantity <= 0 or side.lower() not in SIDES or kind.lower() not in TYPES \
            or offset.lower() not in OFFSETS:
        raise ValueError("quantity > 0, direction l/s, offset o/c, type m/l/s")
    kind = TYPES[kind.lower()]
    if (kind == OrderType.LIMIT and price is None) or (kind == OrderType.STOP and stop is None):
        raise ValueError(f"a {kind.name} order needs its price")
    return dict(security=security, signed_quantity=SIDES[side.lower()] * quantity,
                order_type=kind, price=price if kind != OrderType.STOP else stop,
                stop=stop, offset=OFFSETS[offset.lower()])


class Desk:
    def __init__(self, bot, engine, console):
        self.bot, self.engine, self.console = bot, engine, console
        self.answered = []             # (command, answer)

    def answer(self, command, text):
        message = f"{command}: {text}"
        self.bot.send_message(message)
        self.answered.append((command, message))

    def serve(self):
        bot, engine = self.bot, self.engine
        if bot.get_balance:
            self.answer("/balance", self.balance())
            bot.get_balance = False
        if bot.get_positions:
            self.answer("/positions", self.positions())
            bot.get_positions = False
        if bot.get_orders:
            self.answer("/orders", self.orders(bot.num_orders_displayed, bot.active_orders))
            bot.get_orders = False
            bot.active_orders = False
        if bot.get_deals:
            self.answer("/deals", self.deals(bot.num_deals_displayed))
            bot.get_deals = False
        if bot.cancel_order:
            self.answer("/cancel_order", self.cancel_one(bot.cancel_order_id))
            bot.cancel_order = False
        if bot.cancel_orders:
            engine.clock.settle()
            working = engine.working()
            for order, _ in working:
                engine.cancel(order)
            self.answer("/cancel_orders", f"cancelling {len(working)} working orders")
            bot.cancel_orders = False
        if bot.send_order:
            self.answer("/send_order", self.send(bot.order_string))
            bot.send_order = False
            bot.order_string = ""
        if bot.close_positions:
            engine.clock.settle()
            closed = engine.market_close_all()
            self.answer("/close_positions", "closing " + (", ".join(
                f"{code} {side} {qty:g}" for code, side, qty in closed) or "nothing: no position"))
            bot.close_positions = False
        if bot.velmor_trader_status == "Terminated" and not engine.stopping:
            self.answer("/stop", "stopping: working orders cancelled, then log off, "
                                 "close the bot and the database")
            engine.stop()

    # -- reports ------------------------------------------------------------------
    def balance(self):
        bridge = self.engine.bridge
        bridge.update_account_balance()
        b = bridge.account_balance
        return (f"cash {b.cash:,.2f}, available {b.available_cash:,.2f}, net liquidation "
                f"{b.net_cash_power:,.2f}, maintenance margin {b.maintenance_margin:,.2f}, "
                f"realised P&L {b.realized_pnl:,.2f}, unrealised P&L {b.unrealized_pnl:,.2f}; "
                f"fees charged {self.engine.fees_charged():,.2f}")

    def positions(self):
        self.engine.bridge.update_positions()
        held = [f"{p.security.code} {p.direction.name} {p.quantity:g} @ {p.holding_price:,.2f}"
                for p in self.engine.bridge.positions]
        return "; ".join(held) or "no position"

    def orders(self, count, active):
        frame = self.engine.store.orders()
        if active:
            frame = frame[frame["status"].isin(ACTIVE)]
        rows = [f"{r.broker_order_id[:8]} {r.security_code} {r.direction} {r.quantity} "
                f"{r.order_type} {r.price:g} {r.status} filled {r.filled_quantity}"
                for r in frame.tail(max(int(count), 0)).itertuples()]
        kind = "active orders" if active else "orders"
        return f"{len(frame)} {kind}" + ("; last: " + "; ".join(rows) if rows else "")

    def deals(self, count):
        frame = self.engine.store.deals()
        rows = [f"{r.broker_deal_id} {r.security_code} {r.direction} {r.filled_quantity} @ "
                f"{r.filled_avg_price:g} at {r.update_time[11:]}"
                for r in frame.tail(max(int(count), 0)).itertuples()]
        return f"{len(frame)} deals" + ("; last: " + "; ".join(rows) if rows else "")

    # -- trading requests -------------------------------------------------------------
    def cancel_one(self, order_id):
        engine = self.engine
        engine.clock.settle()
        matches = [o for o, _ in engine.working() if o.order_id.startswith(str(order_id))]
        if len(matches) != 1:
            return f"no single working order {order_id}"
        engine.cancel(matches[0])
        return f"cancelling {matches[0].order_id}"

    def send(self, order_string):
        try:
            request = parse_order_string(order_string, self.engine.instruments)
        except ValueError as exc:
            return f"refused ({exc})"
        self.engine.clock.settle()
        order = self.engine.place(role="operator", **request)
        if order is None:
            return "refused by the broker"
        return (f"placed {order.order_type.name} {order.direction.name} {order.quantity:g} "
                f"{order.security.code} @ {order.price:g} as {order.order_id[:8]}")
