"""Placement and its handshake, cancellation, order events and the status
table."""
import datetime as _dt
from types import SimpleNamespace

import pytest

from cel_fakes import EP, NQ, Com, method, stub
from velmor_trader.core.constants import Direction, OrderStatus, OrderType
from velmor_trader.core.order import Order


def _market(h, ack=True, guid="G-1"):
    """An API that creates orders and, when ``ack``, reports each one added
    from another thread as soon as it is placed."""
    stub(h.cel, Instruments=[Com(h.log, "instrument", FullName="F.US.EPZ4")],
         Accounts=[h.account(16001, "A")])
    h.client.GWAccountID = 16001

    def create(*args):
        h.log.append(("call", "CreateOrder") + tuple(
            a.label if hasattr(a, "label") else a for a in args))
        order = Com(h.log, "cqg order")
        event = h.order_event(guid, h.C._values["osInTransit"])
        place = (lambda: h.when_logged(("call", "Place"), lambda: h.client.OnOrderChanged(
            h.C._values["ctAdded"], event, None, None, None))) if ack else None
        stub(order, Place=method(h.log, "Place", then=place))
        return order
    stub(h.cel, CreateOrder=create)


def _order(kind=OrderType.LIMIT, direction=Direction.LONG, security=EP):
    return Order(security, 5950.5, 2, direction, kind, stop_price=5949.0,
                 create_time=_dt.datetime(2024, 1, 1))


@pytest.mark.parametrize("kind, args", [
    (OrderType.MARKET, ("otMarket", "instrument", "account A", 2, "osdSell")),
    (OrderType.LIMIT, ("otLimit", "instrument", "account A", 2, "osdSell", 5950.5)),
    (OrderType.STOP, ("otStop", "instrument", "account A", 2, "osdSell", 5950.5, 5949.0)),
])
def test_placement_handshake(run, kind, args):
    def scenario(h):
        _market(h)
        h.client.order_id = "stale"
        h.call("place_order", _order(kind, Direction.SHORT))
        h.log.append(("after", h.client.order_id, h.client.eventOrderPlaced.is_set()))
    h = run(scenario)
    C = h.C._values
    create = ("call", "CreateOrder") + tuple(C.get(a, a) if isinstance(a, str) else a
                                            for a in args)
    i = h.log.index(create)
    # Manual off, and the flag cleared (order_id still the stale one) before Place.
    assert h.log[i + 1:i + 4] == [("Dispatch", "cqg order"), ("set", "cqg order", "Manual", 0),
                                  ("call", "Place")]
    assert h.log[-3][:2] == ("Assert", True) and h.log[-3][2].startswith("Order placing timeout!\n")
    assert h.log[-2:] == [("return", "place_order", "G-1"), ("after", None, True)]


def test_placement_timeout_and_unacknowledged_orders(run):
    def scenario(h):
        _market(h, ack=False)
        order = _order()
        h.call("place_order", order)
        # A late "added" event still lands in the slot; another one is not ours.
        event = h.order_event("G-late", h.C._values["osInTransit"])
        h.client.OnOrderChanged(h.C._values["ctAdded"], event, None, None, None)
        h.client.OnOrderChanged(h.C._values["ctAdded"], h.order_event("G-x", h.C._values["osInTransit"]), None,
                                h.fill(event), None)
        h.log.append(("slot", h.client.order_id))
    h = run(scenario, timeout=0.05)
    text = "Order placing timeout!\n" + str(_order()) + " "
    assert ("Assert", False, text) in h.log
    assert ("raise", "place_order", "ValueError",
            "Order id can not be obtained!\n" + str(_order())) in h.log
    assert h.log[-2:] == [("print", "orderid G-x is not placed by algo"), ("slot", "G-late")]


@pytest.mark.parametrize("order, error", [
    (_order(security=NQ), "cqg_symbol ENQZ4 has not been subscribed."),
    (_order(kind="ICEBERG", direction="UP"), "Unsupported order type ICEBERG"),
    (_order(direction=None), "Unsupported order side None"),
])
def test_refused_orders_send_nothing(run, order, error):
    h = run(lambda h: (_market(h), h.call("place_order", order)))
    assert h.log[-1] == ("raise", "place_order", "ValueError", error)
    assert not [e for e in h.log if e[0] == "call"]


def test_non_text_order_id_is_refused(run):
    def scenario(h):
        _market(h, ack=False)
        h.client.eventOrderPlaced.set()
        stub(h.client.eventOrderPlaced, clear=lambda: setattr(h.client, "order_id", 42))
        h.call("place_order", _order())
    h = run(scenario)
    assert h.log[-1] == ("raise", "place_order", "TypeError", "Expected str, got int")


def test_cancel_order(run):
    def scenario(h):
        found = Com(h.log, "found", Cancel=method(h.log, "Cancel"))
        stub(h.cel, Orders=SimpleNamespace(ItemByGuid=method(h.log, "ItemByGuid", found)))
        h.call("cancel_order", "G-1")
        h.call("cancel_order", None)
    h = run(scenario)
    assert h.log == [("call", "ItemByGuid", "G-1"), ("call", "Cancel"),
                     ("return", "cancel_order", None),
                     ("raise", "cancel_order", "TypeError",
                      "Argument 'orderid' has incorrect type (expected str, got NoneType)")]


def _event(h, change, status="osFilled", fill="fsNormal", error=None):
    order = h.order_event("G-1", h.C._values.get(status, status))
    h.call("OnOrderChanged", h.C._values.get(change, change), order, None,
           h.fill(order, fill) if fill else None, error)


@pytest.mark.parametrize("change, fill, forwarded", [
    ("ctChanged", "fsNormal", ["gw.order", "gw.deal"]),
    ("ctRemoved", None, ["gw.order"]),
    ("ctChanged", "fsBusted", ["gw.order"]),
    ("ctAdded", "fsNormal", ["gw.deal"]),      # acknowledged, its fill still forwarded
    ("actAccountChanged", "fsNormal", ["gw.deal"]),   # not an order change type
])
def test_order_events(run, change, fill, forwarded):
    h = run(lambda h: _event(h, change, fill=fill))
    sent = [e for e in h.log if e[0].startswith("gw.")]
    assert [e[0] for e in sent] == forwarded
    for kind, content, keys in sent:
        if kind == "gw.order":
            assert keys == ["order_id", "updated_time", "filled_avg_price", "filled_quantity",
                            "status"]
            assert content == {"order_id": "G-1", "updated_time": _dt.datetime(2024, 11, 4, 9, 31, 7),
                               "filled_avg_price": 5950.25, "filled_quantity": 2,
                               "status": OrderStatus.FILLED}
        else:
            assert keys == ["deal_id", "order_id", "updated_time", "filled_avg_price",
                            "filled_quantity"]
            assert content == {"deal_id": "F7", "order_id": "G-1",
                               "updated_time": _dt.datetime(2024, 11, 4, 9, 31, 9),
                               "filled_avg_price": 5950.5, "filled_quantity": 1}


def test_order_events_dropped(run):
    def scenario(h):
        _event(h, "ctChanged", error=Com(h.log, "error"))
        _event(h, "ctChanged", status="osActiveAt")
        _event(h, "ctChanged", status=-1)        # outside the table
    h = run(scenario)
    assert [e for e in h.log if e[0] in ("raise", "return")] == [
        ("return", "OnOrderChanged", None), ("return", "OnOrderChanged", None),
        ("raise", "OnOrderChanged", "ValueError",
         "Order status -1 is not valid to be handled by velmor_trader.")]
    assert [e[1]["status"] for e in h.log if e[0] == "gw.order"] == [OrderStatus.UNKNOWN]
    assert h.log[0] == ("return", "OnOrderChanged", None)     # nothing read after an error


STATUSES = {"osActiveAt": "UNKNOWN", "osContingent": "UNKNOWN", "osInCancel": "UNKNOWN",
            "osInClient": "UNKNOWN", "osInModify": "UNKNOWN", "osInTransit": "UNKNOWN",
            "osNotSent": "UNKNOWN", "osParked": "UNKNOWN", "osInOrderBook": "SUBMITTED",
            "osFilled": "FILLED", "osBusted": "FILLED", "osCanceled": "CANCELLED",
            "osRejectFCM": "FAILED", "osRejectGW": "FAILED", "osDisconnected": "FAILED",
            "osExpired": "FAILED", "osInTransitTimeout": "FAILED"}


def test_status_table(run):
    def scenario(h):
        for name in STATUSES:
            h.log.append((name, h.module.convert_orderstatus_cqg2vl(h.C._values[name])))
    h = run(scenario)
    assert {name: status.name for name, status in h.log} == STATUSES
    # Each conversion reads the members in the table's order up to its match.
    order = list(STATUSES)
    assert h.reads == [name for i in range(len(order)) for name in order[:i + 1]]
