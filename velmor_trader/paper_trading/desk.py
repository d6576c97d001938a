"""The engine's side of the chat bot: take each request off the bot's queue,
act, answer once.

The bot's command handlers only record requests: each accepted command sets
its flag on ``bot`` and queues ``(command, arguments)`` on ``bot.requests``.
This desk, on the engine's thread, takes the requests off that queue in the
order they came, so none is lost or done twice however fast they come, and
answers each one with one message that starts with the command
("/balance: ...", or "/cancel_orders takes no parameters: ..."), so that the
operator can tell the answer from the bot's acknowledgement.  What the engine
tells the operator unasked (a refused cancel, failing database writes, what
became of an unconfirmed order) starts with "Notice: ".  It clears a request's flag through its setter once no
request of that command is left queued.  Whatever a request raises is logged
and answered "failed (...)"; the engine goes on.

The chat service refuses a message longer than ``MAX_MESSAGE`` UTF-16 code
units, and the operator would then hear nothing: a longer answer goes out as
several messages split on line boundaries (a listing's "; " counts as one),
and a single piece still too long is cut with ``CUT``.
"""
import logging
import math
import re

from velmor_trader.core.constants import OrderStatus, OrderType

log = logging.getLogger("velmor_trader.paper_trading")

ACTIVE = ("SUBMITTING", "SUBMITTED", "UNKNOWN")
SIDES = {"l": 1, "s": -1}
TYPES = {"m": OrderType.MARKET, "l": OrderType.LIMIT, "s": OrderType.STOP}
OFFSETS = {"o": "OPEN", "c": "CLOSE"}
# The largest quantity one chat order may carry: far above any position the
# engine trades, far below what a broker's integer fields hold.
MAX_QUANTITY = 1_000_000
DIGITS = re.compile(r"[0-9]+")                      # ASCII digits only
DECIMAL = re.compile(r"[+-]?([0-9]+(\.[0-9]*)?|\.[0-9]+)")
# The flags each queued command set, and their idle values.
FLAGS = {"balance": {"get_balance": False}, "positions": {"get_positions": False},
         "orders": {"get_orders": False, "active_orders": False},
         "deals": {"get_deals": False}, "cancel_order": {"cancel_order": False},
         "cancel_orders": {"cancel_orders": False},
         "send_order": {"send_order": False, "order_string": ""},
         "close_positions": {"close_positions": False}, "stop": {}}
TRADING = ("cancel_order", "cancel_orders", "send_order", "close_positions")
MAX_MESSAGE = 4096                 # UTF-16 code units the chat service takes
CUT = " [... cut: too long for one message]"
# Echoed words of the operator are shown up to this many characters.
MAX_ECHO = 64


def _units(text):
    return len(text.encode("utf-16-le")) // 2


def _cut(text, limit):
    """``text`` cut to ``limit`` UTF-16 code units, marker included."""
    if _units(text) <= limit:
        return text
    room = limit - _units(CUT)
    kept = text.encode("utf-16-le")[:2 * room].decode("utf-16-le", errors="ignore")
    return kept + CUT


def fit(text, limit=MAX_MESSAGE):
    """``text`` as messages of at most ``limit`` UTF-16 code units, split on
    line boundaries (and inside an over-long line, after its "; ")."""
    pieces = []
    for line in text.split("\n"):
        if _units(line) <= limit:
            pieces.append(line)
            continue
        parts = line.split("; ")
        pieces += [p + ";" for p in parts[:-1]] + parts[-1:]
    messages, current = [], None
    for piece in pieces:
        piece = _cut(piece, limit)
        if current is not None and _units(current) + 1 + _units(piece) <= limit:
            current += "\n" + piece
        else:
            if current is not None:
                messages.append(current)
            current = piece
    messages.append(current)
    return [m for m in messages if m.strip()] or [text[:1] or " "]


def echo(text):
    """A word of the operator's, as an answer shows it."""
    text = str(text)
    return text if len(text) <= MAX_ECHO else text[:MAX_ECHO] + f"... ({len(text):,} characters)"


def _price(text, name):
    if text in ("", "None"):
        return None
    if not DECIMAL.fullmatch(text):
        raise ValueError(f"the {name} {echo(repr(text))} is not a plain decimal number")
    value = float(text)
    if not (math.isfinite(value) and value > 0):
        raise ValueError(f"the {name} must be finite and above 0, not {echo(text)}")
    return value


def parse_order_string(text, instruments, gateway_name="CQG"):
    """The eight fields of /send_order: security_code, quantity,
    direction(l/s), offset(o/c), order_type(m/l/s), gateway_name,
    price(None), stop_price(None). Raises ValueError with the reason.

    The quantity is a whole number in ASCII digits, 1 to MAX_QUANTITY; a
    LIMIT order takes a price and no stop price, a STOP order a stop price
    and no price, a MARKET order neither (a price given to one is refused,
    never ignored: the operator may have meant a limit)."""
    fields = [f.strip() for f in text.split(",")]
    if len(fields) != 8:
        raise ValueError("an order string has eight fields")
    code, quantity, side, offset, kind, gateway, price, stop = fields
    if gateway.upper() != gateway_name.upper():
        raise ValueError(f"nothing sent: gateway {echo(gateway)} is not this engine's "
                         f"({gateway_name})")
    security = next((i.security for i in instruments if i.security.code == code), None)
    if security is None:
        raise ValueError(f"{echo(code)} is not traded here")
    if not DIGITS.fullmatch(quantity):
        raise ValueError(f"the quantity {echo(repr(quantity))} is not a whole number of "
                         "ASCII digits")
    quantity = int(quantity)
    if not 0 < quantity <= MAX_QUANTITY:
        raise ValueError(f"the quantity must be from 1 to {MAX_QUANTITY:,}")
    if side.lower() not in SIDES or kind.lower() not in TYPES or offset.lower() not in OFFSETS:
        raise ValueError("direction l/s, offset o/c, type m/l/s")
    kind = TYPES[kind.lower()]
    price, stop = _price(price, "price"), _price(stop, "stop price")
    if kind == OrderType.LIMIT and (price is None or stop is not None):
        raise ValueError("a LIMIT order needs its price and takes no stop price")
    if kind == OrderType.STOP and (stop is None or price is not None):
        raise ValueError("a STOP order needs its stop price and takes no price")
    if kind == OrderType.MARKET and (price is not None or stop is not None):
        raise ValueError("a MARKET order takes no price and no stop price")
    return dict(security=security, signed_quantity=SIDES[side.lower()] * quantity,
                order_type=kind, price=price if kind != OrderType.STOP else stop,
                stop=stop, offset=OFFSETS[offset.lower()])


class Desk:
    def __init__(self, bot, engine, console):
        self.bot, self.engine, self.console = bot, engine, console
        self.answered = []             # (command, answer)
        self.notices = []              # what the engine told the operator unasked

    def answer(self, command, text):
        # An answer in its own words starts with the command all the same.
        message = text if text.startswith(command + " ") else f"{command}: {text}"
        self.answered.append((command, message))
        self._send(message)

    def notify(self, text):
        message = f"Notice: {text}"
        self.notices.append(message)
        self._send(message)

    def _send(self, message):
        for part in fit(message):
            try:
                self.bot.send_message(part)
            except Exception:
                log.exception("sending the message %r failed", _cut(part, 200))

    def serve(self):
        """Carry out and answer every request queued so far."""
        while self._one():
            pass

    def finish(self):
        """Answer what is still queued once the engine stops: reports as
        usual, trading requests refused."""
        self.engine.stopping = True
        self.serve()

    def _one(self):
        requests = self.bot.requests
        try:
            command, arguments = requests.popleft()
        except IndexError:
            return False
        # Cleared after the request is taken, and only when no request of
        # its kind is left: a request that comes meanwhile is on the queue.
        if not any(c == command for c, _ in list(requests)):
            for flag, idle in FLAGS.get(command, {}).items():
                setattr(self.bot, flag, idle)
        name = "/" + command
        words = arguments.pop("words", None) if isinstance(arguments, dict) else None
        try:
            if command == "stop":
                text = self.stop()
                if words:
                    # A stop is never refused: the words cannot make it safer.
                    text = f"{name} takes no parameters ({echo(' '.join(map(str, words)))} " \
                        f"ignored): {text}"
            elif words and command in TRADING:
                # Words the command does not take may mean something else
                # (another gateway, one order): act on nothing.
                text = f"{name} takes no parameters: nothing done"
            elif command in TRADING and self.engine.stopping:
                text = "refused (the engine is stopping)"
            else:
                text = getattr(self, "do_" + command)(**arguments)
        except Exception as exc:
            log.exception("%s %r failed; the engine goes on", name, arguments)
            text = f"failed ({type(exc).__name__}: {exc})"
        self.answer(name, text)
        return True

    def stop(self):
        if self.engine.stopping:
            return "already stopping"
        self.engine.stop()
        if self.engine.close_on_stop:
            done = "working orders cancelled, positions closed at market"
        else:
            done = "orders cancelled but the protective stops, positions kept"
        return f"stopping: {done}, then log off, close the bot and the database"

    # -- reports ------------------------------------------------------------------
    def do_balance(self):
        bridge = self.engine.bridge
        bridge.update_account_balance()
        b = bridge.account_balance
        return (f"cash {b.cash:,.2f}, available {b.available_cash:,.2f}, net liquidation "
                f"{b.net_cash_power:,.2f}, maintenance margin {b.maintenance_margin:,.2f}, "
                f"realised P&L {b.realized_pnl:,.2f}, unrealised P&L {b.unrealized_pnl:,.2f}; "
                f"fees charged {self.engine.fees_charged():,.2f}")

    def do_positions(self):
        self.engine.bridge.update_positions()
        held = [f"{p.security.code} {p.direction.name} {p.quantity:g} @ {p.holding_price:,.2f}"
                for p in self.engine.bridge.positions]
        return "; ".join(held) or "no position"

    def do_orders(self, num_orders_displayed=1, active_orders=False):
        frame = self.engine.store.orders()
        if active_orders:
            frame = frame[frame["status"].isin(ACTIVE)]
        count = max(min(int(num_orders_displayed), len(frame)), 0)
        rows = [f"{r.broker_order_id[:8]} {r.security_code} {r.direction} {r.quantity} "
                f"{r.order_type} {r.price:g} {r.status} filled {r.filled_quantity}"
                for r in frame.tail(count).itertuples()] if count else []
        kind = "active orders" if active_orders else "orders"
        return f"{len(frame)} {kind}" + ("; last: " + "; ".join(rows) if rows else "")

    def do_deals(self, num_deals_displayed=1):
        frame = self.engine.store.deals()
        count = max(min(int(num_deals_displayed), len(frame)), 0)
        rows = [f"{r.broker_deal_id} {r.security_code} {r.direction} {r.filled_quantity} @ "
                f"{r.filled_avg_price:g} at {r.update_time[11:]}"
                for r in frame.tail(count).itertuples()] if count else []
        return f"{len(frame)} deals" + ("; last: " + "; ".join(rows) if rows else "")

    # -- trading requests -------------------------------------------------------------
    def _elsewhere(self, gateway):
        """The answer to a request for another gateway, or None for this one."""
        if gateway is None or str(gateway).upper() == self.engine.gateway_name.upper():
            return None
        return (f"nothing done: gateway {echo(gateway)} is not this engine's "
                f"({self.engine.gateway_name})")

    def do_cancel_order(self, cancel_order_id, gateway_name=None):
        elsewhere = self._elsewhere(gateway_name)
        if elsewhere is not None:
            return elsewhere
        engine = self.engine
        engine.drain()
        engine.read_back()                # what the broker has live now
        order_id = str(cancel_order_id)
        matches = [o for o, _ in engine.working() if order_id and o.order_id.startswith(order_id)]
        if len(matches) != 1:
            return f"no single working order {echo(order_id)}"
        if not engine.cancel(matches[0], again=True):
            return f"not cancelled ({engine.cannot_trade() or 'the broker refused the request'})"
        return f"cancelling {matches[0].order_id}"

    def do_cancel_orders(self):
        engine = self.engine
        engine.drain()
        engine.read_back()                # what the broker has live now
        working = engine.working()
        asked = sum(engine.cancel(order, again=True) for order, _ in working)
        text = f"cancelling {asked} working orders"
        if asked < len(working):
            text += f"; {len(working) - asked} not ({engine.cannot_trade() or 'see the log'})"
        return text

    def do_close_positions(self, close_positions_gateway_name=None):
        elsewhere = self._elsewhere(close_positions_gateway_name)
        if elsewhere is not None:
            return elsewhere
        self.engine.drain()
        closed, refused = self.engine.market_close_all()
        parts = [f"not closing {code} ({reason})" for code, reason in refused]
        if closed or not refused:
            parts.insert(0, "closing " + (", ".join(f"{code} {side} {qty:g}"
                                                    for code, side, qty in closed)
                                          or "nothing: no position"))
        return "; ".join(parts)

    def do_send_order(self, order_string):
        engine = self.engine
        try:
            request = parse_order_string(order_string, engine.instruments, engine.gateway_name)
        except ValueError as exc:
            return f"refused ({exc})"
        engine.drain()
        order = engine.place(role="operator", **request)
        if order is None and engine.last_sent:
            # The broker may well have it: resending on a "not placed"
            # could double the position.  A notice follows when it is known.
            return (f"sent but unconfirmed ({engine.last_refusal}): may still be placed: "
                    "see /orders")
        if order is None:
            return f"not placed ({engine.last_refusal})"
        order = engine.verdict(order)
        what = (f"{order.order_type.name} {order.direction.name} {order.quantity:g} "
                f"{order.security.code} @ {order.price:g} as {order.order_id[:8]}")
        if order.status == OrderStatus.FAILED:
            return f"rejected by the broker: {what}"
        if order.status == OrderStatus.SUBMITTING:
            return f"sent but unconfirmed, no answer from the broker yet: {what}: may still be " \
                "placed: see /orders"
        if order.status == OrderStatus.FILLED:
            return f"placed and filled {what}, {order.filled_quantity:g} @ {order.filled_avg_price:g}"
        return f"placed {what}"
