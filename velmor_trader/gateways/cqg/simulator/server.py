"""The simulated server: state, the jobs that answer requests and the market
steps, all run on the event thread."""
import random
import threading
import uuid

from .accounts import Account
from .api import CQGCEL
from .clock import DEFAULT_START, SimClock
from .constants import constants as C
from .events import EventLoop
from .faults import Faults
from .market import DEFAULT_CONTRACTS, Market, period_start
from .objects import (MAX_TICKS, CQGError, Collection, Instrument, Quote,
                      Snapshot, Tick, TimedBar)
from .orders import MatchingEngine

DEFAULT_ACCOUNTS = ((16001, "SIM-GW-16001", 1_000_000.0),)
MAX_BARS = 20000
POSITION_FIELDS = ("Quantity", "Side", "AveragePrice", "OTE", "ProfitLoss")

ERR_UNKNOWN_SYMBOL = 2
ERR_BAD_REQUEST = 3


class Simulator:
    """Owns the simulated clock, market, accounts and the event thread.

    ``cel`` is the API root object handed to the client. Tests drive the
    simulation with :meth:`advance` (manual clock) and switch faults through
    :attr:`faults`.

    The tape: ``settlement_every`` (simulated seconds) adds a settlement tick
    of volume 0 at that interval; ``empty_side_chance`` makes a bid or ask
    tick show volume 0 now and then; each ticks collection keeps its newest
    ``tick_history`` ticks. Bar fields missing on purpose come from
    :meth:`mark_missing`; ticks of the test's choosing from
    :meth:`inject_ticks`.

    The API objects (:class:`CQGCEL`, instruments, orders) call the public
    methods ``logon``, ``logoff``, ``resolve_instrument``, ``resolve_ticks``,
    ``resolve_bars``, ``remove_instrument``, ``set_account_level``,
    ``set_subscription_level`` and ``post_order_job``: the requests, and the
    jobs that answer them on the event thread.
    """

    def __init__(self, seed=1, start=DEFAULT_START, speed=None, step=1.0,
                 contracts=DEFAULT_CONTRACTS, accounts=DEFAULT_ACCOUNTS,
                 follow_answers=False, held=False, settlement_every=None,
                 empty_side_chance=0.0, tick_history=MAX_TICKS):
        if tick_history < 1:
            raise ValueError("a ticks collection keeps at least one tick")
        self.seed = seed
        # Manual clock: let simulated time run on by an answer's delay as soon
        # as it is asked for, so a late answer reaches a client that waits for
        # it (as it would on a live server) instead of never coming.
        self.follow_answers = follow_answers
        self.step = float(step)
        self.settlement_every = settlement_every
        self.empty_side_chance = float(empty_side_chance)
        self.tick_history = int(tick_history)
        self._next_settlement = settlement_every
        self.clock = SimClock(start, speed)
        if held:                         # one hold, for the client to release
            self.clock.hold()
        self.lock = threading.RLock()
        self.loop = EventLoop(self.clock, self.lock)
        self.market = Market(seed, contracts)
        self.faults = Faults()
        self.engine = MatchingEngine(self)
        self.accounts = [Account(*a) for a in accounts]
        self.rejections = []             # (order GUID, reason)
        self.logged_on = False
        self.connected = True
        self.trading_while_down = False
        self.account_level = C.aslNone
        self.instruments = {}            # full name -> Instrument (created)
        self.subscribed = []             # Instruments collection
        self.ticks = []                  # AllTicks
        self.timed_bars = []             # AllTimedBars
        self._ids = random.Random("%s:ids" % seed)
        self._started = False
        self.cel = CQGCEL(self)

    # -- control ---------------------------------------------------------------
    def start(self, sink):
        """Start delivering events to ``sink`` (its ``On...`` methods)."""
        if self._started:
            raise RuntimeError("a simulator runs once")
        self._started = True
        self.loop.sink = sink
        self.loop.start()
        self.loop.post(self._connect_data)
        self.loop.post_at(self.clock.seconds() + self.step, self._market_step)

    def stop(self):
        """Stop the event thread; no event is delivered after this returns
        (unless a handler is still running after a few seconds)."""
        self.loop.stop()

    def advance(self, seconds, wait=True):
        """Let ``seconds`` of simulated time pass (manual clock)."""
        self.clock.advance(seconds)
        self.loop.wake()
        if wait:
            self.wait_idle()

    def hold(self):
        """Stop the real-time clock until :meth:`release` (see SimClock.hold);
        safe to call from an event handler."""
        self.clock.hold()

    def release(self):
        self.clock.release()
        self.loop.wake()

    def wait_idle(self, timeout=10.0):
        if not self.loop.wait_idle(timeout):
            raise TimeoutError("simulator did not settle")

    def drop_connection(self, trading=False):
        """Drop the client's gateway and data connections. No order or
        account event reaches a client that is not connected, and its
        requests do not reach the server. With ``trading`` the exchange goes
        on matching the resting orders meanwhile: the client learns of those
        fills only by reading its orders and positions after the restore."""
        self.loop.post(lambda: self._drop(trading))

    def restore_connection(self):
        self.loop.post(self._restore)

    def mark_missing(self, symbol, fields, bars="all", daily=None):
        """From now on, bars of ``symbol`` report ``fields`` ("open", "high",
        "low", "close", "volume") as missing: in every finished bar of a
        history ("all"), its "oldest" or "newest" finished bar, or in the bar
        current when the history is sent and every bar after it ("live").
        Applies to requests resolved after the call; ``daily`` None means
        both periods."""
        full_name = self.market.resolve(symbol)
        if full_name is None:
            raise ValueError("unknown symbol %r" % (symbol,))
        with self.lock:
            self.market.add_missing(full_name, fields, bars, daily)

    def inject_ticks(self, symbol, ticks):
        """Send ``ticks`` ((price type, price, volume) each) to every
        streaming ticks collection of ``symbol``, as one OnTicksAdded each."""
        full_name = self.market.resolve(symbol)
        if full_name is None:
            raise ValueError("unknown symbol %r" % (symbol,))

        def send():
            now = self.clock.now()
            self._stream_ticks(full_name, [Tick(t, p, v, now)
                                           for t, p, v in ticks])
        self.loop.post(send)

    def connection_state(self, state):
        """Report the gateway connection in ``state`` (delayed, trouble...)
        without changing what the server does."""
        self.loop.post(lambda: self.loop.emit("OnGWConnectionStatusChanged", state))

    # -- order events the matching engine does not produce by itself --------
    def order_status(self, guid, status, change=C.ctChanged):
        """Move an order to ``status`` (expired, busted, rejected by the FCM,
        any number at all...) and report it as ``change``."""
        self.loop.post(lambda: self.engine.set_status(self.engine.order(guid), status, change))

    def remove_order(self, guid):
        """Report a finished order removed from the order list."""
        self.loop.post(lambda: self.engine.set_status(self.engine.order(guid), None, C.ctRemoved))

    def resend_fill(self, guid):
        """Deliver the order's last fill once more, as a server may after a
        hiccup: the same fill, the same id."""
        self.loop.post(lambda: self.engine.resend_fill(self.engine.order(guid)))

    def amend_fill(self, guid, status=C.fsBusted):
        """Report the order's last fill again with ``status`` (busted,
        corrected or cancelled) instead of fsNormal."""
        self.loop.post(lambda: self.engine.amend_fill(self.engine.order(guid), status))

    def inject_data_error(self, code=100, description="Simulated data error"):
        self.loop.post(lambda: self.loop.emit(
            "OnDataError", CQGError(code, description), description))

    # -- helpers ------------------------------------------------------------------
    def new_guid(self):
        return str(uuid.UUID(int=self._ids.getrandbits(128), version=4))

    def all_instruments(self):
        return list(self.instruments.values())

    def answer(self, kind, job):
        """Post the answer ``job(error)`` as the fault switches say."""
        faults = self.faults
        if kind in faults.dropped:
            return
        error = faults.errors.get(kind)
        delay = faults.delays.get(kind, 0.0)
        if kind in faults.muted:
            self.loop.post(lambda: self.loop.muted(
                "OnOrderChanged", lambda: job(error)), delay)
        else:
            self.loop.post(lambda: job(error), delay)
        if self.follow_answers and delay > 0 and self.clock.manual:
            self.advance(delay, wait=False)

    def post_order_job(self, method, order):
        kind = "order" if method == self.engine.place else "cancel"
        self.answer(kind, lambda error: method(order, error))

    def _instrument(self, full_name):
        instrument = self.instruments.get(full_name)
        if instrument is None:
            instrument = Instrument(self, self.market.books[full_name])
            self.instruments[full_name] = instrument
        return instrument

    # -- connection ------------------------------------------------------------
    def _connect_data(self):
        self.loop.emit("OnDataConnectionStatusChanged", C.csConnectionUp)

    def logon(self, user, password, error):
        if error is not None or not user:
            self.loop.emit("OnGWConnectionStatusChanged",
                           C.csConnectionNotLoggedOn)
            return
        self.logged_on = True
        if self.connected:
            self.loop.emit("OnGWConnectionStatusChanged", C.csConnectionUp)
            self._reload_accounts()

    def logoff(self, error):
        self.logged_on = False
        self.loop.emit("OnGWConnectionStatusChanged", C.csConnectionDown)

    def _drop(self, trading=False):
        if not self.connected:
            return
        self.connected = False
        self.trading_while_down = trading
        if self.logged_on:
            self.loop.emit("OnGWConnectionStatusChanged", C.csConnectionDown)
        self.loop.emit("OnDataConnectionStatusChanged", C.csConnectionDown)

    def _restore(self):
        if self.connected:
            return
        self.connected = True
        self.loop.emit("OnDataConnectionStatusChanged", C.csConnectionUp)
        if self.logged_on:
            self.loop.emit("OnGWConnectionStatusChanged", C.csConnectionUp)

    # -- accounts ---------------------------------------------------------------
    def set_account_level(self, level):
        with self.lock:
            raised = self.account_level == C.aslNone and level != C.aslNone
            self.account_level = level
        if raised:
            self.answer("accounts", lambda error: self._reload_accounts())

    def _reload_accounts(self):
        if self.logged_on and self.account_level != C.aslNone:
            self.loop.emit("OnAccountChanged", C.actAccountsReloaded, None, None)

    def position_filled(self, account, book, signed_qty, price):
        position, opened = account.apply_fill(book, signed_qty, price)
        if (not self.connected or self.account_level == C.aslNone
                or account.PositionSubcriptionLevel == C.pslNoPositions):
            return
        change = C.actPositionAdded if opened else C.actPositionChanged
        self.loop.emit("OnAccountChanged", change, account,
                       Snapshot(position, POSITION_FIELDS))
        self.loop.emit("OnAccountChanged", C.actAccountChanged, account, None)

    # -- instruments and quotes ---------------------------------------------------
    def resolve_instrument(self, symbol, error):
        full_name = self.market.resolve(symbol) if error is None else None
        if error is None and full_name is None:
            error = CQGError(ERR_UNKNOWN_SYMBOL, "Unknown symbol %s" % symbol)
        if error is not None:
            self.loop.emit("OnInstrumentResolved", symbol, None, error)
            return
        instrument = self._instrument(full_name)
        if instrument not in self.subscribed:
            self.subscribed.append(instrument)
        self.loop.emit("OnInstrumentResolved", symbol, instrument, None)

    def set_subscription_level(self, instrument, level):
        with self.lock:
            was = instrument._level
            instrument._level = level
        if was == C.dsNone and level != C.dsNone:
            self.loop.post(lambda: self._snapshot(instrument))

    def _snapshot(self, instrument):
        if instrument._level == C.dsNone or instrument not in self.subscribed:
            return
        book, now = instrument._book, self.clock.now()
        quotes = [Quote(C.qtDayOpen, book.day_open, 0, now),
                  Quote(C.qtDayHigh, book.day_high, 0, now),
                  Quote(C.qtDayLow, book.day_low, 0, now),
                  Quote(C.qtYesterdaySettlement, book.prev_settlement, 0, now),
                  Quote(C.qtSettlement, 0.0, 0, now, valid=False),
                  Quote(C.qtTrade, book.last, book.last_size, now),
                  Quote(C.qtBid, book.bid, book.bid_size, now),
                  Quote(C.qtAsk, book.ask, book.ask_size, now)]
        if self.connected:
            self.loop.emit("OnInstrumentChanged", instrument,
                           instrument._update(quotes), Collection([]))

    def remove_instrument(self, instrument):
        with self.lock:
            if instrument in self.subscribed:
                self.subscribed.remove(instrument)
            instrument._level = C.dsNone

    # -- ticks ------------------------------------------------------------------
    def resolve_ticks(self, ticks, error):
        request = ticks.Request
        full_name = self.market.resolve(request.Symbol)
        if error is None and full_name is None:
            error = CQGError(ERR_UNKNOWN_SYMBOL,
                             "Unknown symbol %s" % request.Symbol)
        if error is None and not (isinstance(request.Limit, int)
                                  and request.Limit >= 0):
            error = CQGError(ERR_BAD_REQUEST,
                             "Invalid tick limit %r" % (request.Limit,))
        if error is None:
            ticks.full_name = full_name
            ticks._bound(self.tick_history)
            book, now = self.market.books[full_name], self.clock.now()
            current = [Tick(C.tptTrade, book.last, book.last_size, now),
                       Tick(C.tptBid, book.bid, book.bid_size, now),
                       Tick(C.tptAsk, book.ask, book.ask_size, now)]
            limit = min(request.Limit, len(current))
            ticks._add(current[len(current) - limit:])
            ticks.streaming = request.Type == C.trtCurrentNotify
            self.ticks.append(ticks)
        self.loop.emit("OnTicksResolved", ticks, error)

    # -- timed bars ---------------------------------------------------------------
    def resolve_bars(self, bars, error):
        request = bars.Request
        full_name = self.market.resolve(request.Symbol)
        if error is None:
            error = self._check_bars_request(request, full_name)
        if error is not None:
            self.loop.emit("OnTimedBarsResolved", bars, error)
            return
        daily = request.IntradayPeriod != C.pfds1Min
        low, high = sorted((int(request.RangeStart), int(request.RangeEnd)))
        book = self.market.books[full_name]
        start = period_start(self.clock.now(), daily)
        history = self.market.history(book, start, -low, daily)
        finished, live = self.market.missing_in_history(
            full_name, daily, len(history) - 1)
        outputs = set(request.outputs)
        views = [TimedBar(bar, outputs, missing)
                 for bar, missing in zip(history, finished + [live])]
        bars._items.extend(views[:len(views) + high])
        bars.full_name, bars.daily = full_name, daily
        bars.live_missing = live
        bars.streaming = bool(request.UpdatesEnabled) and high == 0
        self.timed_bars.append(bars)
        self.loop.emit("OnTimedBarsResolved", bars, None)

    def _check_bars_request(self, request, full_name):
        if full_name is None:
            return CQGError(ERR_UNKNOWN_SYMBOL,
                            "Unknown symbol %s" % request.Symbol)
        if (request.IntradayPeriod != C.pfds1Min
                and request.HistoricalPeriod != C.hpDaily):
            return CQGError(ERR_BAD_REQUEST, "Unsupported bar period")
        ends = (request.RangeStart, request.RangeEnd)
        if not all(isinstance(v, int) and -MAX_BARS <= v <= 0 for v in ends):
            return CQGError(ERR_BAD_REQUEST, "Invalid bar range %r" % (ends,))
        return None

    # -- the market clock -----------------------------------------------------------
    def _market_step(self):
        now = self.clock.now()
        settle = (self._next_settlement is not None
                  and self.clock.seconds() >= self._next_settlement)
        if settle:
            self._next_settlement += self.settlement_every
        for full_name, book in self.market.books.items():
            trade = self.market.step(book, now)
            if self.connected:
                self._publish(full_name, book, trade, now, settle)
            if self.logged_on and (self.connected or self.trading_while_down):
                self.engine.on_market(book, trade)
        self.loop.post_at(self.clock.seconds() + self.step, self._market_step)

    def _publish(self, full_name, book, trade, now, settle=False):
        quotes = []
        ticks = []
        if trade is not None:
            price, volume = trade
            quotes.append(Quote(C.qtTrade, price, volume, now))
            ticks.append(Tick(C.tptTrade, price, volume, now))
            if price == book.day_high:
                quotes.append(Quote(C.qtDayHigh, price, 0, now))
            if price == book.day_low:
                quotes.append(Quote(C.qtDayLow, price, 0, now))
        quotes += [Quote(C.qtBid, book.bid, book.bid_size, now),
                   Quote(C.qtAsk, book.ask, book.ask_size, now)]
        if settle:
            ticks.append(Tick(C.tptSettlement, book.last, 0, now))
        shown = self.market.shown_size
        chance = self.empty_side_chance
        ticks += [Tick(C.tptBid, book.bid, shown(book, book.bid_size, chance), now),
                  Tick(C.tptAsk, book.ask, shown(book, book.ask_size, chance), now)]
        instrument = self.instruments.get(full_name)
        if (instrument is not None and instrument in self.subscribed
                and instrument._level != C.dsNone):
            self.loop.emit("OnInstrumentChanged", instrument,
                           instrument._update(quotes), Collection([]))
        self._stream_ticks(full_name, ticks)
        for collection in self.timed_bars:
            if collection.streaming and collection.full_name == full_name:
                self._roll_bars(collection, book, trade, now)

    def _stream_ticks(self, full_name, ticks):
        for collection in self.ticks:
            if collection.streaming and collection.full_name == full_name:
                self.loop.emit("OnTicksAdded", collection,
                               collection._add(ticks))

    def _roll_bars(self, collection, book, trade, now):
        current = self.market.current_bar(book, now, collection.daily)
        if collection._items[-1]._bar is not current:
            collection._items.append(
                TimedBar(current, collection._items[-1]._outputs,
                         collection.live_missing))
            self.loop.emit("OnTimedBarsAdded", collection)
        elif trade is not None:
            self.loop.emit("OnTimedBarsUpdated", collection,
                           collection.Count - 1)
