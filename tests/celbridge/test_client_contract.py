"""What matters most, checked directly (each also on both clients)."""
import datetime as _dt
import threading

import pytest

from cel_fakes import EP, NOW, NQ, Harness, method, stub
from twin_differences import TWIN_ONLY_NAMES
from velmor_trader.core.constants import Direction, OrderStatus, OrderType
from velmor_trader.core.order import Order


def test_module_and_class_surface(cb):
    assert (cb.TIMEOUT, cb.INVALID_VALUE, str(cb.TIMEZONE)) == (10, -2147483648, "Asia/Hong_Kong")
    assert type(cb.lock) is type(cb.threading.Lock())
    assert cb.CelBridge.__bases__ == (cb.CELSinkBase,)
    assert cb.CelBridge.__doc__ == "CQG Integrated Client API"
    twin_only = [n.partition(".")[2] for n in TWIN_ONLY_NAMES["celbridge"] if "." in n]
    members = [n for n in vars(cb.CelBridge)
               if (n == "__init__" or not n.startswith("__")) and n not in twin_only]
    assert len(members) == 36 and members[:4] == ["__init__", "Init", "Logon", "Logoff"]
    assert members[-2:] == ["OnGWConnectionStatusChanged", "OnDataConnectionStatusChanged"]
    assert cb.CelBridge.place_order.__annotations__ == {"order": "Order", "return": "str"}
    assert cb.CelBridge.unsubscribe_bar.__wrapped__.__qualname__ == "CelBridge.unsubscribe_bar"
    client = cb.CelBridge()
    assert len({id(getattr(client, n)) for n in vars(client) if n.startswith("event")}) == 7
    assert (client.subscribe_bars_data, client.positions, client.order_id) == ({}, [], None)


@pytest.mark.parametrize("names, symbol, found", [
    # An exact name (or last part) wins over an earlier one that merely contains it...
    (("F.US.EPZ45", "F.US.EPZ4"), "EPZ4", "F.US.EPZ4"),
    (("F.US.XEPZ4", "EPZ4", "F.US.EPZ4"), "EPZ4", "EPZ4"),
    # ...and without one, the first that contains it.
    (("F.US.ENQZ4", "F.US.EPZ45", "F.US.EPZ46"), "EPZ", "F.US.EPZ45"),
    (("F.US.ENQZ4",), "EPZ4", None),
])
def test_instrument_lookup_prefers_the_exact_contract(run, names, symbol, found):
    h = run(lambda h: (stub(h.cel, Instruments=[h.com(n, FullName=n) for n in names]),
                       h.call("get_instrument_from_cqg_symbol", symbol)))
    assert h.log == [("return", "get_instrument_from_cqg_symbol", found)]


def test_waits_are_released_by_the_event_thread(run):
    def scenario(h):
        K = h.K
        stub(h.cel, GWLogon=method(h.log, "GWLogon", then=lambda *a: h.when_logged(
            ("Trace", "Waiting for GW connection..."),
            lambda: h.client.OnGWConnectionStatusChanged(K["csConnectionUp"]))))
        h.call("Logon", "trader", "secret")
        stub(h.cel, Accounts=[h.com("A", GWAccountID=1, GWAccountName="A")],
             GWLogoff=method(h.log, "GWLogoff", then=lambda: h.when_logged(
                 ("call", "GWLogoff"),
                 lambda: h.client.OnGWConnectionStatusChanged(K["csConnectionDown"]))))
        h.client.GWAccountID = 1
        h.client.eventGatewayIsDown.set()
        h.call("Logoff")
    h = run(scenario)
    assert [e for e in h.log if e[0] == "Assert"] == [("Assert", True, "GW connection timeout!"),
                                                      ("Assert", True, "GW disconnection timeout!")]
    assert h.log[-2:] == [("Trace", "Successfully logoff account A"), ("return", "Logoff", None)]


def _market(h, ack=True, guid=None, answers=("G-1",)):
    """An API that creates orders (with ``guid`` as their GUID member, if
    any) and, when ``ack``, reports ``answers`` added from another thread
    once an order is placed."""
    stub(h.cel, Instruments=[h.com("instrument", FullName="F.US.EPZ4")],
         Accounts=[h.com("A", GWAccountID=16001, GWAccountName="A")])
    h.client.GWAccountID = 16001

    def create(*args):
        h.log.append(("call", "CreateOrder") + tuple(getattr(a, "label", a) for a in args))

        def added():
            for answer in answers:
                h.client.OnOrderChanged(h.K["ctAdded"], h.order_event(answer, "osInTransit"),
                                        None, None, None)
        place = (lambda: h.when_logged(("call", "Place"), added)) if ack else None
        order = stub(h.com("cqg order"), Place=method(h.log, "Place", then=place))
        return order if guid is None else stub(order, GUID=guid)
    stub(h.cel, CreateOrder=create)


def _order(kind=OrderType.LIMIT, direction=Direction.SHORT, security=EP):
    return Order(security, 5950.5, 2, direction, kind, stop_price=5949.0,
                 create_time=_dt.datetime(2024, 1, 1))


@pytest.mark.parametrize("kind, args", [
    (OrderType.MARKET, ("otMarket", "instrument", "A", 2, "osdSell")),
    (OrderType.LIMIT, ("otLimit", "instrument", "A", 2, "osdSell", 5950.5)),
    (OrderType.STOP, ("otStop", "instrument", "A", 2, "osdSell", 5950.5, 5949.0)),
])
def test_placement_handshake(run, kind, args):
    def scenario(h):
        _market(h)
        h.client.order_id = "stale"
        h.call("place_order", _order(kind))
        h.log.append(("after", h.client.order_id, h.client.eventOrderPlaced.is_set()))
    h = run(scenario)
    create = ("call", "CreateOrder") + tuple(h.K.get(a, a) if isinstance(a, str) else a for a in args)
    i = h.log.index(create)
    # Manual off and the flag cleared before Place; the GUID returned, the slot emptied.
    assert h.log[i + 1:i + 4] == [("Dispatch", "cqg order"), ("set", "cqg order", "Manual", 0),
                                  ("call", "Place")]
    assert h.log[-2:] == [("return", "place_order", "G-1"), ("after", None, True)]


def test_placement_timeout_then_late_and_foreign_acknowledgements(run):
    def scenario(h):
        _market(h, ack=False)
        h.call("place_order", _order())
        h.client.OnOrderChanged(h.K["ctAdded"], h.order_event("G-late", "osInTransit"), None, None, None)
        h.client.OnOrderChanged(h.K["ctAdded"], h.order_event("G-x", "osInTransit"), None, None, None)
        h.log.append(("slot", h.client.order_id))
    h = run(scenario, timeout=0.05)
    i = h.log.index(("Assert", False, "Order placing timeout!\n%s " % _order()))
    assert h.log[i + 1] == ("raise", "place_order", "ValueError",
                            "Order id can not be obtained!\n%s" % _order())
    assert h.log[-2:] == [("print", "orderid G-x is not placed by algo"), ("slot", "G-late")]


def test_placement_waits_for_its_own_guid(run):
    # Another order reported added while this one waits is not taken for it.
    h = run(lambda h: (_market(h, guid="G-1", answers=("G-x", "G-1")),
                       h.call("place_order", _order())))
    assert [e for e in h.log if e[0] == "print"] == [("print", "orderid G-x is not placed by algo")]
    assert h.log[-1] == ("return", "place_order", "G-1")


@pytest.mark.parametrize("order, error", [
    (_order(security=NQ), "cqg_symbol ENQZ4 has not been subscribed."),
    (_order(kind="ICEBERG", direction="UP"), "Unsupported order type ICEBERG"),
    (_order(direction=None), "Unsupported order side None"),
])
def test_refused_orders_send_nothing(run, order, error):
    h = run(lambda h: (_market(h), h.call("place_order", order)))
    assert h.log[-1] == ("raise", "place_order", "ValueError", error)
    assert not [e for e in h.log if e[0] == "call"]


STATUSES = {"osActiveAt": "UNKNOWN", "osContingent": "UNKNOWN", "osInCancel": "UNKNOWN",
            "osInClient": "UNKNOWN", "osInModify": "UNKNOWN", "osInTransit": "UNKNOWN",
            "osNotSent": "UNKNOWN", "osParked": "UNKNOWN", "osInOrderBook": "SUBMITTED",
            "osFilled": "FILLED", "osBusted": "FILLED", "osCanceled": "CANCELLED",
            "osRejectFCM": "FAILED", "osRejectGW": "FAILED", "osDisconnected": "FAILED",
            "osExpired": "FAILED", "osInTransitTimeout": "FAILED"}


def test_status_table_read_in_order(run):
    h = run(lambda h: h.log.extend(
        (n, h.module.convert_orderstatus_cqg2vl(h.K[n]).name) for n in STATUSES))
    assert dict(h.log) == STATUSES
    order = list(STATUSES)
    assert h.reads == [n for i in range(len(order)) for n in order[:i + 1]]


def _account(h, positions=()):
    summary = h.com("summary", **{n: (lambda row, n=n, v=v: (
        h.log.append((n, row, h.module.lock.locked())), v * 10 + row)[1])
        for n, v in (("Balance", 1000), ("Collaterals", 300), ("NLV", 900),
                     ("MaintenanceMargin", 200), ("ProfitLoss", 7), ("UPL", -5))})
    positions = list(positions)
    collection = h.com("positions", Count=len(positions), ItemByIndex=lambda i: positions[i])
    stub(h.cel, Accounts=[h.com("A", GWAccountID=16001, GWAccountName="A", Summary=summary,
                                Positions=collection)])
    h.client.GWAccountID = 16001


def test_balance_mapping_under_the_lock(run, cb):
    h = run(lambda h: (_account(h), h.call("update_account_balance")))
    assert [e for e in h.log if len(e) == 3 and e[2] is True] == [
        ("Balance", 0, True), ("Collaterals", 1, True), ("NLV", 0, True),
        ("MaintenanceMargin", 1, True), ("ProfitLoss", 0, True), ("UPL", 0, True)]
    b = h.client.account_balance
    assert (b.cash, b.available_cash, b.net_cash_power, b.maintenance_margin, b.realized_pnl,
            b.unrealized_pnl) == (10000, 10000 - 3001, 9000, 2001, 70, -50)
    assert b.cash_by_currency is None and b.max_power_short is None and not cb.lock.locked()


def test_positions_mapping(run, cb):
    def position(h, name, quantity, side="osdBuy"):
        return h.com(name, InstrumentName=name, Quantity=quantity, AveragePrice=5950.25,
                     Side=h.K[side])

    def scenario(h):
        _account(h, [position(h, "F.US.EPZ4", -3, "osdSell"), position(h, "F.US.ENQZ4", 0),
                     position(h, "F.US.ZZZ", 4), position(h, "ENQZ4", 1),
                     position(h, "F.US.EPZ4", 2, "osdUndefined"), position(h, "F.US.EPZ4", 9)])
        h.call("update_positions")
    h = run(scenario)
    assert [(p.security, p.direction, p.quantity, p.holding_price, p.update_time)
            for p in h.client.positions] == [(EP, Direction.SHORT, 3, 5950.25, NOW),
                                             (NQ, Direction.LONG, 1, 5950.25, NOW)]
    assert h.log[-1] == ("raise", "update_positions", "ValueError",
                         "Return CQG Position Side %d is invalid!" % h.K["osdUndefined"])
    assert not cb.lock.locked()


def test_refreshes_never_interleave_and_wait_without_the_gil(cb):
    h = Harness(cb)
    try:
        inside, release = threading.Event(), threading.Event()
        _account(h)
        stub(h.cel.Accounts[0].Summary, UPL=lambda row: (inside.set(), release.wait(5), 0)[2])
        balance = threading.Thread(target=h.client.update_account_balance)
        balance.start()
        assert inside.wait(5)
        positions = threading.Thread(target=h.client.update_positions)
        positions.start()
        positions.join(0.2)
        assert positions.is_alive()              # blocked on the lock, the GIL given up
        release.set()
        balance.join(5), positions.join(5)
        assert not balance.is_alive() and not positions.is_alive()
    finally:
        h.close()


def test_names_are_looked_up_when_used(run):
    class Lock:                                  # threading.Lock: __enter__ is acquire
        def __init__(self, log):
            self.log = log

        def acquire(self):
            self.log.append("acquire")

        def release(self):
            self.log.append("release")

        __enter__ = acquire
        __exit__ = lambda self, *exc: self.release()  # noqa: E731

    def scenario(h):
        h.K["csConnectionUp"] = 77               # the COM layer changed its mind
        h.client.OnGWConnectionStatusChanged(77)
        m = h.module
        m.QuoteType2String = lambda kind: "Best bid"
        m.convert_orderstatus_cqg2vl = lambda status: ("mapped", status)
        m.Quote = lambda **kw: ("Quote", sorted(kw))
        m.replace = lambda record, **kw: record + (sorted(kw),)
        m.lock = Lock(h.log)
        h.call("OnInstrumentChanged", h.com("i", FullName="F.US.EPZ4"), [h.quote("qtTrade", 1.0)], None)
        h.call("OnOrderChanged", h.K["ctChanged"], h.order_event("G", 5), None, None, None)
        h.call("update_positions")
    h = run(scenario)
    assert h.log[0] == ("Trace", "GW connection is UP!")
    assert h.reads[:2] == ["csConnectionUp", "csConnectionDown"]
    assert h.gateway.cqg_quotes[EP] == ("Quote", ["datetime", "exchange", "security"],
                                        ["bid_price", "datetime"])
    assert [e[1]["status"] for e in h.log if e[0] == "gw.order"] == [("mapped", 5)]
    assert h.log[-3:-1] == ["acquire", "release"]


def test_quote_type_names(run):
    names = ["qtAsk", "qtBid", "qtCohUndAsk", "qtCohUndBid", "qtDayHigh", "qtDayLow",
             "qtDayOpen", "qtImpliedAsk", "qtImpliedBid", "qtIndicativeOpen", "qtMarker",
             "qtOutrightAsk", "qtOutrightBid", "qtSettlement", "qtTodayMarker", "qtTrade",
             "qtYesterdaySettlement"]
    def scenario(h):
        h.log.extend((n, h.module.QuoteType2String(h.K[n])) for n in names)
        try:
            h.module.QuoteType2String(None)
        except KeyError as exc:
            h.log.append(("KeyError", exc.args))
    h = run(scenario)
    texts = dict(h.log[:-1])
    assert texts["qtTodayMarker"] == texts["qtMarker"] == "Marker price"
    assert len(set(texts.values())) == 16 and h.log[-1] == ("KeyError", (None,))
    assert h.reads == names * (len(names) + 1)
