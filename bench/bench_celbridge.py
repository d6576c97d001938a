"""Broker client: native module against the plain-Python one, side by side.

    PYTHONPATH=. .venv/bin/python bench/bench_celbridge.py [--events N] [--rounds R]

The timed work is what a live engine spends its time on: the API's quote
events through OnInstrumentChanged to the gateway's process_quote, its tick
events through OnTicksAdded to process_orderbook, and its order events through
OnOrderChanged to process_order and process_deal; what a strategy pulls:
get_subscribe_bars_data repairing a history of 10^4 bars with gaps; and what
it sends: place_order of a limit order whose "added" answer the API gives
while Place runs (so no time is spent waiting).  The
COM layer is the simulator's stand-in: ``Dispatch`` is a Python-level call and
``constants`` answers every member through a Python-level ``__getattr__``, as a
dynamic-dispatch COM layer does.  The gateway is the framework's CqgGateway.

The floor is the same event's unavoidable calls alone (every Dispatch, every
enumeration member the behaviour reads, the event objects' members, the
gateway's calls, the clock and each COM time converted, for each record
replaced its class called with every field, and a placement's timeout
message with the order's text),
made from plain Python: no client can do with less.  Its
enumeration reads call the stand-in's ``__getattr__`` directly, which is what
answering a member costs; plain ``getattr`` first builds and drops an
AttributeError on top of that.  The machine is shared, so implementations are
timed in alternating rounds, each figure is the minimum over the rounds, and
what is timed is this process's CPU time (wall time would count the time
other processes hold the cores).  Prints microseconds per event,
the speed-up (plain time / native time) and the floor beside it.
"""
import argparse
import datetime as _dt
import importlib
import sys
import threading
import time
from types import SimpleNamespace


from velmor_trader.gateways.cqg.simulator import install_win32com  # noqa: E402

install_win32com()

import win32com.client  # noqa: E402

import random  # noqa: E402

from velmor_trader.core.constants import Direction, OrderType  # noqa: E402
from velmor_trader.core.data import Bar, OrderBook, Quote as QuoteRecord  # noqa: E402
from velmor_trader.core.order import Order as VlOrder  # noqa: E402
from velmor_trader.core.security import Futures  # noqa: E402
from velmor_trader.gateways.cqg.gateway import CqgGateway  # noqa: E402
from velmor_trader.gateways.cqg.wrapper.CELEnvironment import AssertMessage  # noqa: E402
from velmor_trader.gateways.cqg.simulator.objects import (  # noqa: E402
    Collection, Quote, Tick, Ticks, TicksRequest)
from velmor_trader.gateways.cqg.simulator.orders import Properties  # noqa: E402

C = win32com.client.constants
STAMP = _dt.datetime(2024, 11, 4, 9, 30, 5)
SECURITY = Futures("EPZ4", "E-mini S&P 500")


class Instrument:
    FullName = "F.US.EPZ4"


class Order:
    def __init__(self, status):
        self.GUID = "6f1c2b9e-0000-4000-8000-000000000001"
        self.Properties = Properties({
            C.opGWStatus: status, C.opGUID: self.GUID, C.opEventServerTimestamp: STAMP,
            C.opAverageFillPrice: 5950.25, C.opFilledQuantity: 2})


class Fill:
    def __init__(self, order):
        self.Id, self.Order, self.Price, self.Quantity = "F1", order, 5950.25, 2
        self.Timestamp, self.Status = STAMP, C.fsNormal


def quote_event():
    """One market step as the server sends it: a trade, then bid and ask."""
    quotes = Collection([Quote(C.qtTrade, 5950.25, 3, STAMP), Quote(C.qtBid, 5950.0, 12, STAMP),
                         Quote(C.qtAsk, 5950.25, 9, STAMP)])
    return (Instrument(), quotes, Collection([]))


def order_events():
    """An order resting in the book, then its fill."""
    resting, filled = Order(C.osInOrderBook), Order(C.osFilled)
    return [(C.ctChanged, resting, Properties({}), None, None),
            (C.ctChanged, filled, Properties({}), Fill(filled), None)]


def tick_event():
    """One market step on the tick stream: a trade, then bid and ask."""
    request = TicksRequest()
    request.Symbol = "EPZ4"
    ticks = Ticks(request, "ticks-1")
    ticks._add([Tick(C.tptTrade, 5950.25, 3, STAMP), Tick(C.tptBid, 5950.0, 12, STAMP),
                Tick(C.tptAsk, 5950.25, 9, STAMP)])
    return (ticks, 3)


INVALID = -2147483648
BAR_FIELDS = ("open", "high", "low", "close", "volume")


def bar_history(n=10_000, gaps=0.1, seed=5):
    """n one-minute bars, each value missing with chance `gaps`, and the
    first few missing in every field (the backward pass has work too)."""
    rng = random.Random(seed)
    rows = []
    for i in range(n):
        close = round(5950 + rng.uniform(-20, 20), 2)
        row = [close - 0.25, close + 0.5, close - 0.5, close, rng.randint(1, 500)]
        rows.append(tuple(INVALID if i < 3 or rng.random() < gaps else v for v in row))
    bars = [Bar(datetime=STAMP, security=SECURITY, open=0, high=0, low=0, close=0, volume=0)
            for _ in rows]
    return bars, rows


def time_repair(client, bars, rows, n):
    """Seconds for one repair of the whole history; the gaps are put back
    (untimed) before each call, since the repair is in place."""
    client.subscribe_bars_data[SECURITY] = bars
    total = 0.0
    for _ in range(n):
        for bar, row in zip(bars, rows):
            bar.open, bar.high, bar.low, bar.close, bar.volume = row
        start = time.process_time()
        client.get_subscribe_bars_data(SECURITY)
        total += time.process_time() - start
    return total / n


def make_client(module):
    gateway = CqgGateway([SECURITY])
    client = module.CelBridge()
    client.gateway = gateway
    return client


class Account:
    GWAccountID, GWAccountName = 16001, "SIM-GW-16001"


class CreatedOrder:
    """What CreateOrder gives: Place reports the order added at once."""

    def __init__(self, sink):
        self._sink, self._added = sink, Order(C.osInTransit)
        self.GUID = self._added.GUID

    def Place(self):
        self._sink.OnOrderChanged(C.ctAdded, self._added, None, None, None)


class Api:
    def __init__(self, sink):
        self.sink = sink
        self.Instruments = Collection([Instrument()])
        self.Accounts = Collection([Account()])

    def CreateOrder(self, *args):
        return CreatedOrder(self.sink)


def placing_client(module):
    """A client ready to place on the stand-in API, its trace muted."""
    module.Trace = lambda text: None
    client = make_client(module)
    client.celEnvironment = SimpleNamespace(cqgCEL=Api(client))
    client.GWAccountID = Account.GWAccountID
    return client


def limit_order():
    return VlOrder(SECURITY, 5950.25, 1, Direction.LONG, OrderType.LIMIT,
                   create_time=STAMP)


def time_placing(client, order, n):
    start = time.process_time()
    for _ in range(n):
        client.place_order(order)
    return (time.process_time() - start) / n


# -- the floor: the calls a client cannot avoid, and nothing else -------------

QUOTE_MEMBERS = (("qtAsk", "Best ask"), ("qtBid", "Best bid"),
                 ("qtCohUndAsk", "Coherent underlying price for the best ask"),
                 ("qtCohUndBid", "Coherent underlying price for the best bid"),
                 ("qtDayHigh", "Current day high price"), ("qtDayLow", "Current day low price"),
                 ("qtDayOpen", "Day open price"), ("qtImpliedAsk", "Implied best ask"),
                 ("qtImpliedBid", "Implied best bid"), ("qtIndicativeOpen", "Indicative open"),
                 ("qtMarker", "Marker price"), ("qtOutrightAsk", "Outright best ask"),
                 ("qtOutrightBid", "Outright best bid"), ("qtSettlement", "Settlement price"),
                 ("qtTodayMarker", "Marker price"), ("qtTrade", "Last trade price"),
                 ("qtYesterdaySettlement", "Yesterday's settlement price"))
STATUS_MEMBERS = ("osActiveAt", "osContingent", "osInCancel", "osInClient", "osInModify",
                  "osInTransit", "osNotSent", "osParked", "osInOrderBook", "osFilled")


QUOTE_FIELDS = {"Last trade price": "last_price", "Best bid": "bid_price", "Best ask": "ask_price"}


def copied(record, changes):
    """The record's class called with every field, `changes` over the record's
    own values: what replacing a record costs at the least."""
    return type(record)(**{**vars(record), **changes})


def floor_quote(gateway, instrument, quotes, properties):
    com = win32com.client
    k, member = com.constants, type(com.constants).__getattr__
    instrument = com.Dispatch(instrument)
    quotes = com.Dispatch(quotes)
    names = {member(k, name): text for name, text in QUOTE_MEMBERS}  # the types named once per event
    for quote in quotes:
        quote.IsValid
        instrument.FullName
        security = gateway.get_vl_security_from_cqg_symbol("EPZ4")
        record = gateway.cqg_quotes[security]
        field = QUOTE_FIELDS.get(names[quote.Type])
        if field:
            record = copied(record, {field: quote.price, "datetime": _dt.datetime.now()})
        gateway.cqg_quotes[security] = record
        if record.last_price or (record.bid_price and record.ask_price):
            gateway.process_quote(record)


TICK_MEMBERS = (("tptAsk", "Ask price"), ("tptBid", "Bid price"), ("tptSettlement", "Settlement price"),
                ("tptTrade", "Trade price"))
TICK_SIDES = {"Ask price": ("ask_volume_1", "ask_price_1"), "Bid price": ("bid_volume_1", "bid_price_1")}


def floor_ticks(gateway, ticks, added):
    com = win32com.client
    k, member = com.constants, type(com.constants).__getattr__
    ticks = com.Dispatch(ticks)
    count = ticks.Count
    symbol = ticks.Request.Symbol
    names = {member(k, name): text for name, text in TICK_MEMBERS}  # the types named once per event
    for i in range(count - added, count):
        tick = ticks.Item(i)
        security = gateway.get_vl_security_from_cqg_symbol(symbol)
        record = gateway.cqg_orderbooks[security]
        side = TICK_SIDES.get(names[tick.PriceType])
        if side:
            record = copied(record, {side[0]: tick.Volume, side[1]: tick.Price,
                                     "datetime": _dt.datetime.now()})
        gateway.cqg_orderbooks[security] = record
        if record.bid_price_1 and record.ask_price_1 and record.bid_volume_1 and record.ask_volume_1:
            gateway.process_orderbook(record)


def stamp_of(value):
    """A COM time as the framework's datetime: its fields read, the class called."""
    return _dt.datetime(value.year, value.month, value.day, value.hour, value.minute, value.second)


def floor_order(gateway, change, order, old, fill, error):
    com = win32com.client
    k, member = com.constants, type(com.constants).__getattr__
    order = com.Dispatch(order)
    properties = com.Dispatch(order.Properties)
    status = properties(member(k, "opGWStatus")).Value
    properties(member(k, "opGUID")).Value
    stamp_of(properties(member(k, "opEventServerTimestamp")).Value)
    properties(member(k, "opAverageFillPrice")).Value
    properties(member(k, "opFilledQuantity")).Value
    for name in STATUS_MEMBERS:
        if member(k, name) == status:
            break
    member(k, "ctAdded")
    member(k, "ctChanged")
    gateway.process_order({"order_id": "x"})
    if fill:
        fill = com.Dispatch(fill)
        fill.Status == member(k, "fsNormal")
        stamp_of(fill.Timestamp), fill.Price, fill.Quantity, fill.Order.GUID, fill.Id
        gateway.process_deal({"deal_id": "x"})


class PlacingSink:
    """The floor's own event sink: the added event's unavoidable calls."""

    def __init__(self):
        self.placed = threading.Event()

    def OnOrderChanged(self, change, order, old, fill, error):
        com = win32com.client
        k, member = com.constants, type(com.constants).__getattr__
        order = com.Dispatch(order)
        properties = com.Dispatch(order.Properties)
        status = properties(member(k, "opGWStatus")).Value
        guid = properties(member(k, "opGUID")).Value
        stamp_of(properties(member(k, "opEventServerTimestamp")).Value)
        properties(member(k, "opAverageFillPrice")).Value
        properties(member(k, "opFilledQuantity")).Value
        for name in STATUS_MEMBERS:
            if member(k, name) == status:
                break
        member(k, "ctAdded")
        self.placed.is_set()
        self.guid = guid
        self.placed.set()


def floor_place(gateway, api, order, sink, lock, trace):
    com = win32com.client
    k, member = com.constants, type(com.constants).__getattr__
    with lock:
        symbol = gateway.get_cqg_symbol_from_vl_security(order.security)
        for instrument in api.Instruments:
            instrument.FullName
        member(k, "otLimit")
        member(k, "osdBuy")
        for account in com.Dispatch(api.Accounts):
            trace("GW Account id")
            account.GWAccountID
            trace("[Found] GW Account id")
        created = com.Dispatch(api.CreateOrder(symbol))
        created.Manual = 0
        created.GUID
        sink.placed.clear()
        created.Place()
        AssertMessage(sink.placed.wait(10), "Order placing timeout!\n" + format(order) + " ")
        return sink.guid


# -- timing ---------------------------------------------------------------------

def time_quotes(handler, args, n):
    start = time.process_time()
    for _ in range(n):
        handler(*args)
    return (time.process_time() - start) / n


def time_orders(handler, events, n):
    start = time.process_time()
    for _ in range(n // len(events)):
        for event in events:
            handler(*event)
    return (time.process_time() - start) / (n // len(events) * len(events))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--events", type=int, default=20000)
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--repairs", type=int, default=5, help="repairs of 10^4 bars per round")
    options = parser.parse_args()

    modules = {
        "native": importlib.import_module("velmor_trader.gateways.cqg.wrapper.celbridge"),
        "plain": importlib.import_module("velmor_trader.twins.celbridge"),
    }
    clients = {name: make_client(module) for name, module in modules.items()}
    floor_gateway = CqgGateway([SECURITY])
    floor_gateway.cqg_quotes[SECURITY] = QuoteRecord(security=SECURITY, exchange=SECURITY.exchange,
                                                     datetime=STAMP)
    floor_gateway.cqg_orderbooks[SECURITY] = OrderBook(security=SECURITY, exchange=SECURITY.exchange,
                                                       datetime=STAMP)
    quote_args, events, order = quote_event(), order_events(), limit_order()
    tick_args = tick_event()
    history = {name: bar_history() for name in clients}
    cases = {
        "quote": {name: (lambda c=c: time_quotes(c.OnInstrumentChanged, quote_args, options.events))
                  for name, c in clients.items()},
        "tick": {name: (lambda c=c: time_quotes(c.OnTicksAdded, tick_args, options.events))
                 for name, c in clients.items()},
        "order": {name: (lambda c=c: time_orders(c.OnOrderChanged, events, options.events))
                  for name, c in clients.items()},
        "bars": {name: (lambda c=c, h=history[name]: time_repair(c, *h, options.repairs))
                 for name, c in clients.items()},
        "place": {name: (lambda c=placing_client(module): time_placing(c, order, options.events))
                  for name, module in modules.items()},
    }
    cases["quote"]["floor"] = lambda: time_quotes(
        lambda *a: floor_quote(floor_gateway, *a), quote_args, options.events)
    cases["tick"]["floor"] = lambda: time_quotes(
        lambda *a: floor_ticks(floor_gateway, *a), tick_args, options.events)
    cases["order"]["floor"] = lambda: time_orders(
        lambda *a: floor_order(floor_gateway, *a), events, options.events)
    sink, lock = PlacingSink(), threading.Lock()
    api = Api(sink)
    cases["place"]["floor"] = lambda: time_quotes(
        lambda: floor_place(floor_gateway, api, order, sink, lock, lambda text: None), (),
        options.events)

    best = {case: {name: float("inf") for name in timers} for case, timers in cases.items()}
    for _ in range(options.rounds):
        for case, timers in cases.items():
            for name, run in timers.items():
                best[case][name] = min(best[case][name], run())

    print("%-6s %10s %10s %10s %8s %14s" % ("event", "plain us", "native us", "floor us",
                                            "speed-up", "native/floor"))
    for case, figures in best.items():
        plain, native, floor = figures["plain"], figures["native"], figures.get("floor")
        # The repair reaches no COM object and no gateway: it has no floor.
        floor_text = ("%10.2f" % (floor * 1e6), "%13.2fx" % (native / floor)) if floor else (
            "%10s" % "-", "%14s" % "-")
        print("%-6s %10.2f %10.2f %s %7.2fx %s" % (
            case, plain * 1e6, native * 1e6, floor_text[0], plain / native, floor_text[1]))
    print("(bars: microseconds per repair of 10^4 bars; place: per placed order; the others "
          "per event)")


if __name__ == "__main__":
    main()
