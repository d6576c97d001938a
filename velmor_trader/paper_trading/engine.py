"""The engine: the broker client and its gateway, the records, the event loop.

The broker's events reach the gateway on the broker's event thread; the
engine's callbacks there only take a hold on simulated time and queue the
event.  Everything else — strategy, orders, fees, the database, the chat —
runs on the engine's own thread (the database is used only by the thread
that opened it), one queued event at a time, each under its hold.

The engine follows the broker, not its hopes: an order it hears of without
having placed it (a placement whose id never came back, an order placed by
hand) is looked up at the broker and recorded; a fill delivered twice is
recorded once; after a lost connection it reads orders, fills and positions
back from the broker before it trades again; and it places nothing on a
quote older than ``QUOTE_MAX_AGE``.  Whatever one event or request raises is
logged and leaves the loop running.

A cancel is only a request: the order stays working, for the strategy and the
operator, until the broker reports it finished.  A cancel the broker neither
confirms nor refuses within ``CANCEL_WAIT`` is checked by reading the order
back: finished, it is recorded; still working, the cancel is sent again and
the operator told.  A database write that fails is kept and retried, in
order, until it succeeds; writes failing for longer than
``WRITES_FAILING_MAX`` stop new positions until they work again.
"""
import collections
import logging
import queue
import time
from dataclasses import dataclass, field, replace
from datetime import timedelta

from velmor_trader.core.constants import Direction, OrderStatus, OrderType
from velmor_trader.core.deal import Deal
from velmor_trader.core.order import Order

from . import defaults
from .fees import order_fees

log = logging.getLogger("velmor_trader.paper_trading")

DONE = (OrderStatus.FILLED, OrderStatus.CANCELLED, OrderStatus.FAILED)
OFFSET = {"entry": "OPEN", "exit": "CLOSE", "stop": "CLOSE"}
# Real seconds a wind-down waits for the broker to answer its cancels and
# closes; on the simulator they come at once, a live broker takes longer.
WIND_DOWN_WAIT = 10.0
# Real seconds the chat desk waits for the broker's verdict on an order.
VERDICT_WAIT = 5.0
# The oldest quote (in the clock's time) an order may be placed on: the
# market streams a quote a second, so a minute of silence means no market.
QUOTE_MAX_AGE = timedelta(seconds=60)
# Simulated time a cancel (or a placement whose id never came) may go
# unanswered before the engine reads the order back from the broker.
CANCEL_WAIT = timedelta(seconds=30)
# Real seconds the strategy waits for the broker to confirm its cancels
# before it acts on a cross; the simulator answers in milliseconds.
CONFIRM_WAIT = 1.0
# Real seconds between two tries of a failed database write.
RETRY_EVERY = 0.5
# Simulated time database writes may keep failing before the engine stops
# opening positions: without records it must not take on more risk, but it
# goes on placing and keeping the stops and exits that protect what it holds.
WRITES_FAILING_MAX = timedelta(seconds=60)
# Roles whose orders may open a position.
OPENING = ("entry", "operator")


@dataclass
class Tracked:
    """Everything the engine keeps about one order of the broker."""
    order: Order                  # as the broker last reported it
    role: str                     # entry / exit / stop / operator / external
    offset: str
    deals: list = field(default_factory=list)
    fees: dict = None             # fee figures of its deals
    cancel_sent: object = None    # clock time of a cancel the broker has not carried out
    refused: bool = False         # ... and has refused: sent again once it is overdue
    sent: object = None           # clock time it was sent (for a placement whose id never came)
    tell: bool = False            # the operator hears when the broker reports it

    @property
    def cancelling(self):
        return self.cancel_sent is not None

    @property
    def recorded(self):
        """Quantity of its fills recorded as deals."""
        return sum(d.filled_quantity for d in self.deals)


class Engine:
    def __init__(self, bridge, gateway, clock, store, strategy, console,
                 instruments=defaults.INSTRUMENTS):
        self.bridge, self.gateway, self.clock = bridge, gateway, clock
        self.store, self.strategy, self.console = store, strategy, console
        self.instruments = instruments
        self.gateway_name = gateway.gateway_name or defaults.GATEWAY_NAME
        self.inbox = queue.Queue()
        self.tracked = {}               # broker order id -> Tracked
        self.lost = []                  # Tracked placements whose id never came
        self.deals = []
        self.deal_ids = set()
        self.received = []              # what the gateway handed over, in order
        self.marks = []                 # (time, {code: price})
        self.quoted_at = {}             # security -> clock time of its last quote
        self.minute = 0
        self.last_bar = None
        self.connected = True
        self.stopping = False
        self.close_on_stop = True       # False: a stop keeps the positions and their stops
        self.last_refusal = None        # why the last place() placed nothing
        self.last_sent = False          # ... though it was sent: the broker may have it
        self.desk = None                # the chat side, set by the session
        self.operator = None
        self.on_minute = []             # callables(engine) after each bar's decisions
        self.backlog = collections.deque()   # (what, write()) not yet in the database
        self.writes_failing_since = None     # clock time of the first failed write
        self._next_retry = 0.0
        self._deferred = collections.deque()  # minutes held back while waiting for cancels
        gateway.on_quote(self._quote_arrived)
        gateway.on_order(lambda content: self._queue("order", content))
        gateway.on_deal(lambda content: self._queue("deal", content))
        gateway.on_connection(lambda state: self._queue("connection", state))
        gateway.on_refusal(lambda content: self._queue("refusal", content))
        gateway.watch_connection(bridge)
        gateway.watch_orders(bridge)

    @property
    def orders(self):
        """broker order id -> Order, every order the engine tracks."""
        return {guid: t.order for guid, t in self.tracked.items()}

    # -- the broker's event thread ------------------------------------------------
    def _queue(self, kind, content):
        self.clock.hold()
        self.inbox.put((kind, content))

    def _quote_arrived(self, quote):
        self.quoted_at[quote.security] = self.clock.now()
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
            self._take(timeout=0.02)
            self.flush()
            if self.desk is not None:
                self.desk.serve()

    def stop(self):
        """Ask the loop to stop (from a signal handler, too)."""
        self.stopping = True

    def _take(self, timeout=None, minutes=True):
        """Handle one queued event, waiting up to ``timeout`` for one;
        returns whether there was one.  Without ``minutes`` a new minute is
        held back (with its hold) until a later call takes minutes again."""
        try:
            if minutes and self._deferred:
                kind, content = self._deferred.popleft()
            elif timeout is None:
                kind, content = self.inbox.get_nowait()
            else:
                kind, content = self.inbox.get(timeout=timeout)
        except queue.Empty:
            return False
        if kind == "minute" and not minutes:
            self._deferred.append((kind, content))
            return True
        try:
            self._handle(kind, content)
        except Exception:
            log.exception("handling the broker's %s event %r failed; the engine goes on",
                          kind, content)
        finally:
            self.clock.release()
        return True

    def drain(self):
        """Handle what is still queued: no event the broker sent is lost."""
        self.clock.settle()
        while self._take():
            pass

    def pump(self, done, wait):
        """Take in events until ``done()`` or ``wait`` real seconds passed;
        returns ``done()``."""
        deadline = time.monotonic() + wait
        while True:
            self.drain()
            if done() or time.monotonic() >= deadline:
                return done()
            self._take(timeout=0.02)

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
        elif kind == "connection":
            self._connection(content)
        elif kind == "refusal":
            self._refusal(content)

    def _new_minute(self):
        self.minute += 1
        self.flush()
        if self.connected:
            self.check_unanswered()
        now = self.clock.now()
        closes = self.closes()
        prices = dict(self.marks[-1][1])       # an instrument without a price keeps its last
        prices.update((code, c[-1]) for code, c in closes.items())
        self.marks.append((now, prices))
        self.bridge.update_positions()
        if not self.stopping and self.connected:
            for instrument in self.instruments:
                series = closes.get(instrument.security.code)
                if series is not None:
                    try:
                        self.strategy.on_bar(instrument, series, now, self)
                    except Exception:
                        log.exception("the strategy failed on %s", instrument.security.code)
        for callback in self.on_minute:
            try:
                callback(self)
            except Exception:
                log.exception("a minute's callback %r failed", callback)

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
        """(order, role) of the orders working at the broker, those with a
        cancel the broker has not confirmed included: they may still fill."""
        return [(t.order, t.role) for t in self.tracked.values()
                if t.order.status not in DONE
                and (security is None or t.order.security == security)]

    def unconfirmed(self, security=None):
        """Orders (of ``security``) whose cancel the broker has not confirmed."""
        return [t.order for t in self.tracked.values()
                if t.cancelling and not t.refused and t.order.status not in DONE
                and (security is None or t.order.security == security)]

    def settle(self, security, wait=CONFIRM_WAIT):
        """Take in the broker's answers to the cancels of ``security`` (no
        new minute meanwhile) for up to ``wait`` real seconds; returns
        whether no order of ``security`` is working any more."""
        deadline = time.monotonic() + wait
        while self.unconfirmed(security) and time.monotonic() < deadline:
            self.clock.settle()
            while self._take(minutes=False) and self.unconfirmed(security):
                pass
            if self.unconfirmed(security):
                self._take(timeout=0.01, minutes=False)
        return not self.working(security)

    def quote(self, security):
        quote = self.gateway.cqg_quotes.get(security)
        if quote is None or not (quote.bid_price and quote.ask_price):
            return None
        return quote

    def cannot_trade(self, security=None):
        """Why nothing may be sent to the broker now (on ``security``), or None."""
        if not self.connected:
            return "the connection to the broker is down"
        if security is not None:
            seen = self.quoted_at.get(security)
            if seen is None:
                return f"no quote of {security.code} yet"
            age = self.clock.now() - seen
            if age > QUOTE_MAX_AGE:
                return (f"the last quote of {security.code} is {age.total_seconds():g} s old "
                        f"(at most {QUOTE_MAX_AGE.total_seconds():g} s)")
        return None

    def cancel(self, order, again=False):
        """Ask the broker to cancel ``order``; returns whether it was asked.
        A cancel the broker has not answered yet is not sent twice, unless
        ``again``."""
        tracked = self.tracked.get(order.order_id)
        if tracked is not None and tracked.cancelling and not again:
            return True
        reason = self.cannot_trade()
        if reason is not None:
            log.warning("not cancelling %s: %s", order.order_id, reason)
            return False
        try:
            self.bridge.cancel_order(order.order_id)
        except Exception:
            log.exception("cancelling %s failed", order.order_id)
            return False
        if tracked is not None:
            tracked.cancel_sent, tracked.refused = self.clock.now(), False
        return True

    def check_unanswered(self):
        """Read back from the broker the orders whose cancel went unanswered
        for ``CANCEL_WAIT``, and look there for the operator's placements
        whose id never came; act on what the broker has."""
        now = self.clock.now()
        overdue = [t for t in self.tracked.values() if t.cancelling
                   and t.order.status not in DONE and now - t.cancel_sent >= CANCEL_WAIT]
        for tracked in overdue:
            report = self.gateway.broker_order(tracked.order.order_id)
            if report is not None:
                self._follow(report)
            if tracked.order.status in DONE:
                log.warning("the cancel of %s went unanswered; the broker has it %s: recorded",
                            tracked.order.order_id, tracked.order.status.name)
                continue
            what = _describe(tracked.order)
            if self.cancel(tracked.order, again=True):
                log.warning("the broker has not cancelled %s after %g s: still working, "
                            "cancel sent again", tracked.order.order_id,
                            CANCEL_WAIT.total_seconds())
                self.tell(f"the broker has not cancelled {what} after "
                          f"{CANCEL_WAIT.total_seconds():g} s: it is still working; "
                          "the cancel was sent again")
            else:
                tracked.cancel_sent = None
                self.tell(f"the broker has not cancelled {what}: it is still working "
                          f"and could not be asked again ({self.cannot_trade() or 'see the log'})")
        waiting = [t for t in self.lost if t.tell and now - t.sent >= CANCEL_WAIT]
        if waiting:
            for report in self.gateway.broker_orders():
                if report["order_id"] not in self.tracked:
                    self._follow(report)
            for tracked in [t for t in waiting if t in self.lost]:
                self.lost.remove(tracked)
                self.tell(f"the unconfirmed /send_order {_describe(tracked.order)} is not "
                          "at the broker: it was not placed")

    def tell(self, text):
        """A notice to the operator, outside the answers to requests."""
        if self.desk is not None:
            self.desk.notify(text)

    # -- the database: every write in order, none lost ---------------------------------
    def write(self, what, write):
        """Write through ``write()`` once every earlier write is in; a write
        that fails is kept and retried (``flush``)."""
        self.backlog.append((what, write))
        self.flush()

    def flush(self, force=False):
        """Try the writes kept back, in order; returns whether none is left.
        After a failure the next try waits ``RETRY_EVERY``, unless ``force``."""
        if not self.backlog:
            return True
        if not force and self.writes_failing_since is not None \
                and time.monotonic() < self._next_retry:
            return False
        while self.backlog:
            what, write = self.backlog[0]
            try:
                write()
            except Exception as exc:
                self._next_retry = time.monotonic() + RETRY_EVERY
                if self.writes_failing_since is None:
                    self.writes_failing_since = self.clock.now()
                    log.warning("writing %s to the database failed (%s): kept with every "
                                "later write, retried in order", what, exc)
                    self.tell(f"database writes fail ({exc}): {len(self.backlog)} kept and "
                              "retried in order; the positions stay protected, and after "
                              f"{WRITES_FAILING_MAX.total_seconds():g} s of failures no new "
                              "position is opened")
                return False
            self.backlog.popleft()
        if self.writes_failing_since is not None:
            self.writes_failing_since = None
            log.warning("database writes work again: every kept write is in")
            self.tell("database writes work again: every kept write is in")
        return True

    def writes_blocked(self):
        """Why no position may be opened for want of records, or None."""
        since = self.writes_failing_since
        if since is None or self.clock.now() - since < WRITES_FAILING_MAX:
            return None
        return (f"database writes have failed for {(self.clock.now() - since).total_seconds():g}"
                f" s ({len(self.backlog)} kept): no new position until they work again")

    def place(self, security, signed_quantity, order_type, price=None, stop=None,
              role="entry", offset=None):
        """Send an order; returns it as placed, or None (the reason in
        ``last_refusal`` and the log)."""
        now = self.clock.now()
        order = Order(security=security, price=price if price is not None else 0.0,
                      quantity=abs(signed_quantity),
                      direction=Direction.LONG if signed_quantity > 0 else Direction.SHORT,
                      order_type=order_type, stop_price=stop, gateway_name=self.gateway_name,
                      status=OrderStatus.SUBMITTING, create_time=now, updated_time=now)
        what = (f"{order_type.name} {order.direction.name} {order.quantity:g} {security.code}")
        self.last_sent = False
        self.last_refusal = self.cannot_trade(security)
        offset = offset or OFFSET.get(role, "")
        if self.last_refusal is None and role in OPENING and offset != "CLOSE":
            self.last_refusal = self.writes_blocked()
        if self.last_refusal is not None:
            log.warning("not placing %s: %s", what, self.last_refusal)
            return None
        tracked = Tracked(order, role, offset, sent=now, tell=role == "operator")
        try:
            guid = self.bridge.place_order(order)
        except Exception as exc:
            # The broker may have the order all the same: its events, when
            # they come, are matched to this placement.
            self.lost.append(tracked)
            self.last_sent = True
            self.last_refusal = f"no order id from the broker ({str(exc).splitlines()[0]})"
            log.warning("placing %s: %s", what, self.last_refusal)
            return None
        report = self.gateway.broker_order(guid) if guid not in self.tracked else None
        if report is None or not _same(order, _order_of(report)):
            # An id that belongs to another order: that order is recorded
            # from the broker's side when its events come.
            self.lost.append(tracked)
            self.last_sent = True
            self.last_refusal = f"the broker answered with the id of another order ({guid})"
            log.warning("placing %s: %s", what, self.last_refusal)
            return None
        tracked.order = replace(order, order_id=guid)
        tracked.tell = False
        self.tracked[guid] = tracked
        self._add_order(tracked)
        return tracked.order

    def _add_order(self, tracked):
        order = replace(tracked.order)
        self.write(f"order {order.order_id}",
                   lambda: self.store.add_order(order, tracked.offset))

    def verdict(self, order, wait=VERDICT_WAIT):
        """The order as the broker has it once it answered (or ``wait``
        real seconds passed)."""
        tracked = self.tracked[order.order_id]
        self.pump(lambda: tracked.order.status != OrderStatus.SUBMITTING, wait)
        # Not answered yet: the operator hears of it when the broker answers.
        tracked.tell = tracked.order.status == OrderStatus.SUBMITTING
        return tracked.order

    # -- what the broker reported -------------------------------------------------------
    def _track(self, guid, report=None):
        """The Tracked of ``guid``; an order the engine did not place is looked
        up at the broker and recorded."""
        tracked = self.tracked.get(guid)
        if tracked is not None:
            return tracked
        report = report or self.gateway.broker_order(guid)
        if report is None or report["security"] is None:
            log.warning("order %s is not one the engine can trade: not recorded", guid)
            return None
        order = replace(_order_of(report), gateway_name=self.gateway_name,
                        create_time=self.clock.now(), updated_time=self.clock.now())
        lost = next((t for t in self.lost if _same(t.order, order)), None)
        if lost is not None:
            self.lost.remove(lost)
            tracked = Tracked(replace(order, create_time=lost.order.create_time), lost.role,
                              lost.offset, tell=lost.tell)
            log.warning("order %s is the %s placement whose id never came: recorded", guid,
                        lost.role)
        else:
            tracked = Tracked(order, "external", "")
            log.warning("order %s was not placed by the engine: recorded", guid)
        self.tracked[guid] = tracked
        self._add_order(tracked)
        return tracked

    def _order_changed(self, content):
        tracked = self._track(content["order_id"])
        if tracked is None:
            return
        order = tracked.order
        order.status = content["status"]
        order.filled_avg_price = content["filled_avg_price"]
        order.filled_quantity = content["filled_quantity"]
        order.updated_time = content["updated_time"]
        if order.status in DONE:
            tracked.cancel_sent = None
        if tracked.tell and order.status != OrderStatus.SUBMITTING:
            tracked.tell = False
            self.tell(f"the /send_order sent without the broker's answer: {_describe(order)} "
                      f"as {order.order_id} is {_verdict(order)}")
        state = self._state(tracked)
        self.write(f"order {order.order_id}",
                   lambda: self.store.update_order(order.order_id, state))

    def _state(self, tracked):
        """The order's row as its recorded deals allow: a fill counts once
        its deal row is stored."""
        order = tracked.order
        covered = tracked.recorded >= order.filled_quantity
        if covered:
            status, average = order.status, order.filled_avg_price
        else:
            status = OrderStatus.SUBMITTED
            average = (sum(d.filled_avg_price * d.filled_quantity for d in tracked.deals)
                       / tracked.recorded) if tracked.deals else 0.0
        return dict(status=status.name, update_time=order.updated_time,
                    filled_avg_price=float(average), filled_quantity=int(tracked.recorded),
                    remark=None if tracked.fees is None else "fees %.2f"
                    % tracked.fees["total_fees"])

    def _deal(self, content):
        deal_id = content["deal_id"]
        if deal_id in self.deal_ids:
            log.info("deal %s delivered again: recorded once", deal_id)
            return
        tracked = self._track(content["order_id"])
        if tracked is None:
            return
        order = tracked.order
        deal = Deal(security=order.security, direction=order.direction,
                    filled_avg_price=content["filled_avg_price"],
                    filled_quantity=content["filled_quantity"], order_id=order.order_id,
                    deal_id=deal_id, gateway_name=self.gateway_name,
                    updated_time=content["updated_time"])
        tracked.deals.append(deal)
        tracked.fees = order_fees(tracked.deals)
        self.bridge.update_account_balance()
        self.bridge.update_positions()
        # Kept until it is written, however long that takes: a fill is never
        # dropped for a failed write.
        self.deal_ids.add(deal_id)
        self.deals.append(deal)
        args = (deal, replace(order), tracked.offset, self._state(tracked),
                replace(self.bridge.account_balance), list(self.bridge.positions),
                self.clock.now())
        self.write(f"deal {deal_id}", lambda: self.store.record_fill(*args))
        self.console.deal(deal, order, tracked.fees["total_fees"])

    def _refusal(self, content):
        """The broker refused a request on an order (an event the client
        drops): a refused cancel leaves the order working."""
        tracked = self.tracked.get(content["order_id"])
        log.warning("the broker refused a request on order %s (%s): %s", content["order_id"],
                    content["status"].name, content["error"])
        if tracked is None or not tracked.cancelling or tracked.refused \
                or content["status"] in DONE:
            return
        # Still counted as being cancelled: the cancel goes again once overdue.
        tracked.refused = True
        self.tell(f"the broker refused to cancel {_describe(tracked.order)} as "
                  f"{tracked.order.order_id} ({content['error']}): it is still working; "
                  f"the cancel is sent again in {CANCEL_WAIT.total_seconds():g} s")

    def _connection(self, state):
        if state == "down":
            if self.connected:
                log.warning("the connection to the broker is down: no trading until it "
                            "is back and the engine has read back orders and positions")
            self.connected = False
        elif state == "up" and not self.connected:
            self.refresh()
            self.connected = True
            log.warning("the connection to the broker is back: %d orders read back, "
                        "trading again", len(self.tracked))

    def _follow(self, report):
        """Record the broker's report of one order and its fills."""
        known = report["order_id"] in self.tracked
        tracked = self._track(report["order_id"], report)
        if tracked is None:
            return None
        order = tracked.order
        if not known or (order.status, order.filled_quantity, order.filled_avg_price) != \
                (report["status"], report["filled_quantity"], report["filled_avg_price"]):
            self._order_changed(report)
        for fill in report["fills"]:
            if fill["deal_id"] not in self.deal_ids:
                self._deal(fill)
        return tracked

    def read_back(self):
        """Read every order and its fills back from the broker, recording
        what the engine missed: requests act on what the broker has now."""
        for report in self.gateway.broker_orders():
            self._follow(report)

    def refresh(self):
        """Read every order, its fills, the positions and the balance back
        from the broker, recording what the engine missed.  A cancel sent
        before the connection dropped keeps its mark: if it was lost with the
        connection, the wait for it runs out and it is sent again."""
        self.read_back()
        self.bridge.update_account_balance()
        self.bridge.update_positions()
        positions, balance = list(self.bridge.positions), replace(self.bridge.account_balance)
        when = self.clock.now()
        self.write("the positions", lambda: self.store.sync_positions(positions, when,
                                                                     balance=balance))

    def fees_charged(self):
        return sum(t.fees["total_fees"] for t in self.tracked.values() if t.fees)

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

    def market_close_all(self):
        """Cancel the working orders of every position and close it at market;
        returns what was closed and what could not be: ([(code, side,
        quantity)], [(code, reason)])."""
        closed, refused = [], []
        self.bridge.update_positions()
        for p in list(self.bridge.positions):
            for order, _ in self.working(p.security):
                self.cancel(order)
            net, _ = self.position(p.security)
            if not net:
                continue
            if self.place(p.security, -net, OrderType.MARKET, role="exit",
                          offset="CLOSE") is None:
                refused.append((p.security.code, self.last_refusal))
            else:
                closed.append((p.security.code, p.direction.name, p.quantity))
        return closed, refused

    # -- the end -----------------------------------------------------------------------
    def pending(self):
        """Ids of the orders not finished at the broker."""
        return [guid for guid, t in self.tracked.items() if t.order.status not in DONE]

    def wind_down(self, close_positions=True, wait=WIND_DOWN_WAIT):
        """Cancel every working order and, with ``close_positions``, close
        every position at market; then take in the broker's answers until
        nothing is pending or ``wait`` real seconds have passed.

        Call it on the engine's thread once ``run`` has returned.  It takes
        no hold on the clock: the broker's late answers and fresh quotes (no
        order is placed on a stale one) need time to run on.  Returns
        ``{"cancelled": [order ids], "closed": [(code, side, quantity)],
        "working": [order ids still working], "positions": [(code, side,
        quantity) still held]}``; "positions" lists what is held only with
        ``close_positions``; without it the positions and their protective
        stops stay, and "working" lists those stops.
        """
        self.stopping = True
        self.drain()
        if not self.connected:
            self.pump(lambda: self.connected, wait)
        deadline = time.monotonic() + wait
        keep = set() if close_positions else {o.order_id for o, r in self.working()
                                              if r == "stop"}
        cancelled, closed = [], []

        def settled():
            return set(self.pending()) <= keep

        while True:
            # A market order fills or fails by itself; every other order
            # not kept is cancelled, again when a refresh finds its cancel lost.
            for guid, tracked in self.tracked.items():
                order = tracked.order
                if order.status not in DONE and guid not in keep and not tracked.cancelling \
                        and order.order_type != OrderType.MARKET and self.cancel(order) \
                        and guid not in cancelled:
                    cancelled.append(guid)
            step = min(1.0, max(deadline - time.monotonic(), 0.0))
            if self.pump(settled, step) and close_positions:
                self.bridge.update_positions()
                if not self.bridge.positions:
                    break
                shut, refused = self.market_close_all()
                closed += shut
                # A refused close (a stale quote, the line down) waits for the market.
                self.pump(settled if shut else lambda: False,
                          min(1.0 if shut else 0.2, max(deadline - time.monotonic(), 0.0)))
            elif settled():
                break
            if time.monotonic() >= deadline:
                break
            self.refresh()
        if not close_positions:
            self._protect_kept()
        self.bridge.update_positions()
        self.bridge.update_account_balance()
        held = [(p.security.code, p.direction.name, p.quantity)
                for p in self.bridge.positions] if close_positions else []
        if held or (close_positions and self.pending()):
            log.warning("wind-down left %s working and %s held", self.pending(), held)
        left = self.left_open(close_positions)
        if left:
            self.tell("left open against the stop's policy: " + "; ".join(left))
        if self.desk is not None:
            self.desk.finish()
        return dict(cancelled=cancelled, closed=closed, positions=held,
                    working=self.pending(), left_open=left)

    def left_open(self, close_positions):
        """What the broker still has open that a stop with this policy
        should have finished: with ``close_positions`` every order and
        position; without, every order but the protective stops, and any
        position with no stop working."""
        left = [f"order {_describe(t.order)} as {guid}" for guid, t in self.tracked.items()
                if t.order.status not in DONE and (close_positions or t.role != "stop")]
        protected = {order.security for order, role in self.working() if role == "stop"}
        for p in self.bridge.positions:
            if close_positions or p.security not in protected:
                left.append(f"position {p.security.code} {p.direction.name} {p.quantity:g}")
        return left

    def reconcile(self, wait=WIND_DOWN_WAIT):
        """Make the database hold what the broker has: every fill it
        reported, every order's status and filled quantity, the positions;
        retry the writes kept back for up to ``wait`` real seconds.  Returns
        what the database still lacks (empty once it matches)."""
        try:
            self.refresh()
        except Exception:
            log.exception("reading the orders back from the broker failed")
        deadline = time.monotonic() + wait
        while not self.flush(force=True) and time.monotonic() < deadline:
            time.sleep(RETRY_EVERY)
        return self.lag()

    def lag(self):
        """What the database lacks of the broker's records, as lines."""
        try:
            deals = set(self.store.deals()["broker_deal_id"])
            orders = {r.broker_order_id: r for r in self.store.orders().itertuples()}
        except Exception as exc:
            return [f"the database cannot be read ({exc})"]
        missing, behind = [], []
        for report in self.gateway.broker_orders():
            guid = report["order_id"]
            if guid not in self.tracked:
                continue                  # not an order the engine can trade
            missing += [f["deal_id"] for f in report["fills"] if f["deal_id"] not in deals]
            row = orders.get(guid)
            if row is None or row.status != report["status"].name \
                    or row.filled_quantity != report["filled_quantity"]:
                behind.append(guid)
        lines = []
        if missing:
            lines.append(f"{len(missing)} fills not stored: {', '.join(map(str, missing))}")
        if behind:
            lines.append(f"{len(behind)} orders not as the broker has them: {', '.join(behind)}")
        if self.backlog:
            lines.append(f"{len(self.backlog)} writes still failing")
        return lines


    def _protect_kept(self):
        """The strategy protects a position at the bar after it opened, so one
        opened since has no stop yet: a position kept gets one all the same."""
        protected = {order.security for order, role in self.working() if role == "stop"}
        self.bridge.update_positions()
        for instrument in self.instruments:
            net, average = self.position(instrument.security)
            if net and instrument.security not in protected:
                self.strategy.protect(instrument, net, average, self)
        self.drain()


def _order_of(report):
    """An Order record of the broker's report of an order."""
    return Order(security=report["security"], price=report["price"] or 0.0,
                 quantity=report["quantity"], direction=report["direction"],
                 order_type=report["order_type"], stop_price=report["stop_price"],
                 order_id=report["order_id"], status=OrderStatus.SUBMITTING)


def _describe(order):
    price = f" @ {order.price:g}" if order.order_type != OrderType.MARKET else ""
    return f"{order.order_type.name} {order.direction.name} {order.quantity:g} " \
        f"{order.security.code}{price}"


def _verdict(order):
    if order.status == OrderStatus.FAILED:
        return "rejected by the broker: not placed"
    if order.status == OrderStatus.FILLED:
        return f"placed and filled, {order.filled_quantity:g} @ {order.filled_avg_price:g}"
    return f"placed ({order.status.name}, filled {order.filled_quantity:g})"


def _same(a, b):
    return (a.security, a.direction, a.quantity, a.order_type) == \
        (b.security, b.direction, b.quantity, b.order_type)
