"""The engine: the broker client and its gateway, the records, the event loop.

The broker's events reach the gateway on the broker's event thread; the
engine's callbacks there only take a hold on simulated time and queue the
event.  Everything else — strategy, orders, fees, the database, the chat —
runs on the engine's own thread (the database is used only by the thread
that opened it), one queued event at a time, each under its hold.
"""
import queue
import time
from collections import defaultdict
from dataclasses import replace

from velmor_trader.core.constants import Direction, OrderStatus, OrderType
from velmor_trader.core.deal import Deal
from velmor_trader.core.order import Order

from . import defaults
from .fees import order_fees

DONE = (OrderStatus.FILLED, OrderStatus.CANCELLED, OrderStatus.FAILED)
OFFSET = {"entry": "OPEN", "exit": "CLOSE", "stop": "CLOSE"}
# Real seconds a wind-down waits for the broker to answer its cancels and
# closes; on the simulator they come at once, a live broker takes longer.
WIND_DOWN_WAIT = 10.0


class Engine:
    def __init__(self, bridge, gateway, clock, store, strategy, console,
                 instruments=defaults.INSTRUMENTS):
        self.bridge, self.gateway, self.clock = bridge, gateway, clock
        self.store, self.strategy, self.console = store, strategy, console
        self.instruments = instruments
        self.inbox = queue.Queue()
        self.orders = {}                # broker order id -> Order
        self.roles = {}                 # broker order id -> entry / exit / stop / operator
        self.offsets = {}
        self.deals_of = defaultdict(list)
        self.fees_of = {}               # broker order id -> fee figures
        self.deals = []
        self.received = []              # what the gateway handed over, in order
        self.marks = []                 # (time, {code: price})
        self.minute = 0
        self.last_bar = None
        self.cancelling = set()
        self.stopping = False
        self.desk = None                # the chat side, set by the session
        self.operator = None
        self.on_minute = []             # callables(engine) after each bar's decisions
        gateway.on_quote(self._quote_arrived)
        gateway.on_order(lambda content: self._queue("order", content))
        gateway.on_deal(lambda content: self._queue("deal", content))

    # -- the broker's event thread ------------------------------------------------
    def _queue(self, kind, content):
        self.clock.hold()
        self.inbox.put((kind, content))

    def _quote_arrived(self, quote):
        # A new one-minute bar shows in the client's history once the bar is
        # complete; the first quote that sees it starts the engine's minute.
        if self.last_bar is None:             # not started
            return
        bars = self.bridge.subscribe_bars_data.get(quote.security)
        if bars and bars[-1].datetime > self.last_bar:
            self.last_bar = bars[-1].datetime
            self._queue("minute", self.last_bar)

    # -- the engine's thread --------------------------------------------------------
    def start(self):
        """Take the first marks from the histories and watch for new bars."""
        closes = self.closes()
        self.marks.append((self.clock.now(), {code: c[-1] for code, c in closes.items()}))
        self.last_bar = max(self.bridge.subscribe_bars_data[i.security][-1].datetime
                            for i in self.instruments)

    def run(self):
        """Handle events and chat requests until stopped (by /stop, or
        ``stop``); every event is handled under its own hold."""
        while not self.stopping:
            try:
                kind, content = self.inbox.get(timeout=0.02)
            except queue.Empty:
                kind = None
            if kind is not None:
                try:
                    self._handle(kind, content)
                finally:
                    self.clock.release()
            if self.desk is not None:
                self.desk.serve()

    def stop(self):
        """Ask the loop to stop (from a signal handler, too)."""
        self.stopping = True

    def wind_down(self, close_positions=True, wait=WIND_DOWN_WAIT):
        """Cancel every working order and, with ``close_positions``, close
        every position at market; then take in the broker's answers until
        nothing is pending or ``wait`` real seconds have passed.

        Call it on the engine's thread once ``run`` has returned.  Returns
        ``{"cancelled": [order ids], "closed": [(code, side, quantity)],
        "working": [order ids still working], "positions": [(code, side,
        quantity) still held]}``; "positions" lists what is held only when
        ``close_positions``; without it the positions and their protective
        stops stay, and "working" lists those stops.
        """
        self.stopping = True
        self.clock.hold()
        try:
            self.drain()
            # Kept positions keep their protective stops.
            cancelling = [order for order, role in self.working()
                          if close_positions or role != "stop"]
            for order in cancelling:
                self.cancel(order)
            cancelled = [order.order_id for order in cancelling]
            self._await(lambda: not self._pending(), wait)
            closed = []
            if close_positions:
                self.bridge.update_positions()
                for p in list(self.bridge.positions):
                    net, _ = self.position(p.security)
                    if net and self.place(p.security, -net, OrderType.MARKET, role="exit",
                                          offset="CLOSE") is not None:
                        closed.append((p.security.code, p.direction.name, p.quantity))
                self._await(lambda: not self._pending(), wait)
            self.bridge.update_positions()
            held = [(p.security.code, p.direction.name, p.quantity)
                    for p in self.bridge.positions] if close_positions else []
            return dict(cancelled=cancelled, closed=closed, positions=held,
                        working=[guid for guid in self._pending()])
        finally:
            self.clock.release()

    def _pending(self):
        return [guid for guid, o in self.orders.items() if o.status not in DONE]

    def _await(self, done, wait):
        deadline = time.monotonic() + wait
        while True:
            self.drain()
            if done() or time.monotonic() >= deadline:
                return done()
            try:
                kind, content = self.inbox.get(timeout=0.02)
            except queue.Empty:
                continue
            try:
                self._handle(kind, content)
            finally:
                self.clock.release()

    def drain(self):
        """Handle what is still queued: no event the broker sent is lost."""
        self.clock.settle()
        while True:
            try:
                kind, content = self.inbox.get_nowait()
            except queue.Empty:
                return
            try:
                self._handle(kind, content)
            finally:
                self.clock.release()

    def _handle(self, kind, content):
        self.clock.settle()
        if kind == "minute":
            self._new_minute()
        elif kind == "order":
            self.received.append(("order", content))
            self._order_changed(content)
        elif kind == "deal":
            self.received.append(("deal", content))
            self._deal(content)

    def _new_minute(self):
        self.minute += 1
        now = self.clock.now()
        closes = self.closes()
        prices = dict(self.marks[-1][1])       # an instrument without a price keeps its last
        prices.update((code, c[-1]) for code, c in closes.items())
        self.marks.append((now, prices))
        self.bridge.update_positions()
        if not self.stopping:
            for instrument in self.instruments:
                series = closes.get(instrument.security.code)
                if series is not None:
                    self.strategy.on_bar(instrument, series, now, self)
        for callback in self.on_minute:
            callback(self)

    def closes(self):
        """The repaired closes of every instrument, oldest first."""
        closes = {}
        for instrument in self.instruments:
            try:
                bars = self.bridge.get_subscribe_bars_data(instrument.security)
            except ValueError as exc:         # the newest bar has no price yet
                self.console.note(f"{instrument.security.code}: {exc}")
                continue
            if bars:
                closes[instrument.security.code] = [bar.close for bar in bars]
        return closes

    # -- what strategy and chat desk trade through ------------------------------------
    def position(self, security):
        """(signed quantity, average price) as the broker holds it."""
        for p in self.bridge.positions:
            if p.security == security:
                sign = 1 if p.direction == Direction.LONG else -1
                return sign * p.quantity, p.holding_price
        return 0, 0.0

    def working(self, security=None):
        return [(o, self.roles[guid]) for guid, o in self.orders.items()
                if o.status not in DONE and guid not in self.cancelling
                and (security is None or o.security == security)]

    def quote(self, security):
        quote = self.gateway.cqg_quotes.get(security)
        if quote is None or not (quote.bid_price and quote.ask_price):
            return None
        return quote

    def cancel(self, order):
        self.cancelling.add(order.order_id)
        self.bridge.cancel_order(order.order_id)

    def place(self, security, signed_quantity, order_type, price=None, stop=None,
              role="entry", offset=None):
        now = self.clock.now()
        order = Order(security=security, price=price if price is not None else 0.0,
                      quantity=abs(signed_quantity),
                      direction=Direction.LONG if signed_quantity > 0 else Direction.SHORT,
                      order_type=order_type, stop_price=stop, gateway_name=defaults.GATEWAY_NAME,
                      status=OrderStatus.SUBMITTING, create_time=now, updated_time=now)
        try:
            guid = self.bridge.place_order(order)
        except ValueError as exc:
            self.console.note(f"order not placed: {exc}")
            return None
        order = replace(order, order_id=guid)
        self.orders[guid] = order
        self.roles[guid] = role
        self.offsets[guid] = offset or OFFSET.get(role, "")
        self.store.add_order(order, self.offsets[guid])
        return order

    # -- what the broker reported -------------------------------------------------------
    def _order_changed(self, content):
        guid = content["order_id"]
        order = self.orders.get(guid)
        if order is None:                     # not placed by this engine
            self.console.note(f"update of an unknown order {guid}")
            return
        order.status = content["status"]
        order.filled_avg_price = content["filled_avg_price"]
        order.filled_quantity = content["filled_quantity"]
        order.updated_time = content["updated_time"]
        self.store.update_order(order, self._total_fees(guid))
        if order.status in DONE:
            self.cancelling.discard(guid)

    def _deal(self, content):
        guid = content["order_id"]
        order = self.orders.get(guid)
        if order is None:
            self.console.note(f"deal {content['deal_id']} of an unknown order {guid}")
            return
        deal = Deal(security=order.security, direction=order.direction,
                    filled_avg_price=content["filled_avg_price"],
                    filled_quantity=content["filled_quantity"], order_id=guid,
                    deal_id=content["deal_id"], gateway_name=defaults.GATEWAY_NAME,
                    updated_time=content["updated_time"])
        self.deals.append(deal)
        self.deals_of[guid].append(deal)
        self.fees_of[guid] = order_fees(self.deals_of[guid])
        self.store.add_deal(deal, order, self.offsets[guid])
        self.store.update_order(order, self._total_fees(guid))
        now = self.clock.now()
        self.bridge.update_account_balance()
        self.store.update_balance(self.bridge.account_balance, now)
        self.bridge.update_positions()
        self.store.sync_positions(self.bridge.positions, now)
        self.console.deal(deal, order, self.fees_of[guid]["total_fees"])

    def _total_fees(self, guid):
        fees = self.fees_of.get(guid)
        return None if fees is None else fees["total_fees"]

    def fees_charged(self):
        return sum(f["total_fees"] for f in self.fees_of.values())

    def equity(self, start_cash):
        """Equity at the last marks, from the deals so far (for progress)."""
        if not self.marks:
            return start_cash
        prices = self.marks[-1][1]
        multiplier = {i.security.code: i.multiplier for i in self.instruments}
        value = start_cash - self.fees_charged()
        for deal in self.deals:
            code = deal.security.code
            signed = deal.filled_quantity if deal.direction == Direction.LONG else -deal.filled_quantity
            value += signed * (prices.get(code, deal.filled_avg_price) - deal.filled_avg_price) \
                * multiplier[code]
        return value

    def market_close_all(self, gateway_name=None):
        """Cancel the working orders of every position and close it at market;
        returns what was closed."""
        closed = []
        self.bridge.update_positions()
        for p in list(self.bridge.positions):
            for order, _ in self.working(p.security):
                self.cancel(order)
            net, _ = self.position(p.security)
            if net:
                self.place(p.security, -net, OrderType.MARKET, role="exit", offset="CLOSE")
                closed.append((p.security.code, p.direction.name, p.quantity))
        return closed
