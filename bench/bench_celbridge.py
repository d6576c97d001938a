"""Broker client: native module against the plain-Python one, side by side.

    PYTHONPATH=. .venv/bin/python bench/bench_celbridge.py [--events N] [--rounds R]

The timed work is what a live engine spends its time on: the API's quote
events through OnInstrumentChanged to the gateway's process_quote, and its
order events through OnOrderChanged to process_order and process_deal.  The
COM layer is the simulator's stand-in: ``Dispatch`` is a Python-level call and
``constants`` answers every member through a Python-level ``__getattr__``, as a
dynamic-dispatch COM layer does.  The gateway is the framework's CqgGateway.

The floor is the same event's unavoidable calls alone (every Dispatch, every
enumeration member the behaviour reads, the event objects' members, the
gateway's calls), made from plain Python: no client can do with less.  The
machine is shared, so implementations are timed in alternating rounds and
each figure is the minimum over the rounds.  Prints microseconds per event,
the speed-up (plain time / native time) and the floor beside it.
"""
import argparse
import datetime as _dt
import importlib
import pathlib
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "pure"))
sys.path.insert(0, str(HERE.parent))

from velmor_trader.gateways.cqg.simulator import install_win32com  # noqa: E402

install_win32com()

import win32com.client  # noqa: E402

from velmor_trader.core.security import Futures  # noqa: E402
from velmor_trader.gateways.cqg.gateway import CqgGateway  # noqa: E402
from velmor_trader.gateways.cqg.simulator.objects import Collection, Quote  # noqa: E402
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


def make_client(module):
    gateway = CqgGateway([SECURITY])
    client = module.CelBridge()
    client.gateway = gateway
    return client


# -- the floor: the calls a client cannot avoid, and nothing else -------------

QUOTE_MEMBERS = ("qtAsk", "qtBid", "qtCohUndAsk", "qtCohUndBid", "qtDayHigh", "qtDayLow",
                 "qtDayOpen", "qtImpliedAsk", "qtImpliedBid", "qtIndicativeOpen", "qtMarker",
                 "qtOutrightAsk", "qtOutrightBid", "qtSettlement", "qtTodayMarker", "qtTrade",
                 "qtYesterdaySettlement")
STATUS_MEMBERS = ("osActiveAt", "osContingent", "osInCancel", "osInClient", "osInModify",
                  "osInTransit", "osNotSent", "osParked", "osInOrderBook", "osFilled")


def floor_quote(gateway, instrument, quotes, properties, last=[None]):
    com = win32com.client
    instrument = com.Dispatch(instrument)
    quotes = com.Dispatch(quotes)
    for quote in quotes:
        quote.IsValid
        security = gateway.get_vl_security_from_cqg_symbol("EPZ4")
        record = gateway.cqg_quotes[security]
        quote.Type
        for name in QUOTE_MEMBERS:          # the type named once per quote
            getattr(com.constants, name)
        quote.price
        gateway.cqg_quotes[security] = record
        gateway.process_quote(record)


def floor_order(gateway, change, order, old, fill, error):
    com = win32com.client
    k = com.constants
    order = com.Dispatch(order)
    properties = com.Dispatch(order.Properties)
    status = properties(k.opGWStatus).Value
    properties(k.opGUID).Value
    properties(k.opEventServerTimestamp).Value
    properties(k.opAverageFillPrice).Value
    properties(k.opFilledQuantity).Value
    for name in STATUS_MEMBERS:
        if getattr(k, name) == status:
            break
    k.ctAdded
    k.ctChanged
    gateway.process_order({"order_id": "x"})
    if fill:
        fill = com.Dispatch(fill)
        fill.Status == k.fsNormal
        fill.Timestamp, fill.Price, fill.Quantity, fill.Order.GUID, fill.Id
        gateway.process_deal({"deal_id": "x"})


# -- timing ---------------------------------------------------------------------

def time_quotes(handler, args, n):
    start = time.perf_counter()
    for _ in range(n):
        handler(*args)
    return (time.perf_counter() - start) / n


def time_orders(handler, events, n):
    start = time.perf_counter()
    for _ in range(n // len(events)):
        for event in events:
            handler(*event)
    return (time.perf_counter() - start) / (n // len(events) * len(events))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--events", type=int, default=20000)
    parser.add_argument("--rounds", type=int, default=9)
    options = parser.parse_args()

    modules = {
        "native": importlib.import_module("velmor_trader.gateways.cqg.wrapper.celbridge"),
        "plain": importlib.import_module("celbridge_py"),
    }
    clients = {name: make_client(module) for name, module in modules.items()}
    floor_gateway = CqgGateway([SECURITY])
    floor_gateway.cqg_quotes[SECURITY] = 0
    quote_args, events = quote_event(), order_events()
    cases = {
        "quote": {name: (lambda c=c: time_quotes(c.OnInstrumentChanged, quote_args, options.events))
                  for name, c in clients.items()},
        "order": {name: (lambda c=c: time_orders(c.OnOrderChanged, events, options.events))
                  for name, c in clients.items()},
    }
    cases["quote"]["floor"] = lambda: time_quotes(
        lambda *a: floor_quote(floor_gateway, *a), quote_args, options.events)
    cases["order"]["floor"] = lambda: time_orders(
        lambda *a: floor_order(floor_gateway, *a), events, options.events)

    best = {case: {name: float("inf") for name in timers} for case, timers in cases.items()}
    for _ in range(options.rounds):
        for case, timers in cases.items():
            for name, run in timers.items():
                best[case][name] = min(best[case][name], run())

    print("%-6s %10s %10s %10s %8s %14s" % ("event", "plain us", "native us", "floor us",
                                            "speed-up", "native/floor"))
    for case, figures in best.items():
        plain, native, floor = figures["plain"], figures["native"], figures["floor"]
        print("%-6s %10.2f %10.2f %10.2f %7.2fx %13.2fx" % (
            case, plain * 1e6, native * 1e6, floor * 1e6, plain / native, native / floor))


if __name__ == "__main__":
    main()
