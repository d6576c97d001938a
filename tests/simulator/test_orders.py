import pytest

from velmor_trader.gateways.cqg.simulator import constants as C
from velmor_trader.gateways.cqg.simulator.accounts import Account


def _book(sim):
    return sim.market.books["F.US.EPZ4"]


def _place(sim, account, instrument, order_type, side, quantity,
           limit=0.0, stop=0.0):
    order = sim.cel.CreateOrder(order_type, instrument, account, quantity,
                                side, limit, stop)
    order.Manual = 0
    order.Place()
    sim.wait_idle()
    return order


def _changes(sink, order):
    return [e.info for e in sink.of("OnOrderChanged")
            if e.info["guid"] == order.GUID]


def _run_until(sim, condition, limit=900):
    for _ in range(limit):
        if condition():
            return True
        sim.advance(1)
    return condition()


def test_market_order_fills_at_once_at_the_ask(online, sink):
    sim, account, instrument = online
    book = _book(sim)
    ask, size = book.ask, book.ask_size
    order = _place(sim, account, instrument, C.otMarket, C.osdBuy, 1.0)
    assert order.Quantity == 1 and type(order.Quantity) is int
    changes = _changes(sink, order)
    assert [(c["change"], c["status"]) for c in changes] == [
        (C.ctAdded, C.osInTransit), (C.ctChanged, C.osInOrderBook),
        (C.ctChanged, C.osFilled)]
    assert changes[0]["fill"] is None and changes[1]["fill"] is None
    fill = changes[2]["fill"]
    assert fill[:4] == (C.fsNormal, ask, 1, order.GUID)
    assert (changes[2]["avg"], changes[2]["filled"]) == (ask, 1)
    assert changes[2]["old_status"] == C.osInOrderBook
    assert size >= 1 and sim.cel.Orders.ItemByGuid(order.GUID) is order
    assert sink.names()[-2:] == ["OnAccountChanged", "OnAccountChanged"]
    assert [e.info[0] for e in sink.of("OnAccountChanged")] == [
        C.actPositionAdded, C.actAccountChanged]


def test_large_market_order_fills_partially_level_by_level(online, sink):
    sim, account, instrument = online
    book = _book(sim)
    quantity = book.bid_size * 2 + 1
    order = _place(sim, account, instrument, C.otMarket, C.osdSell, quantity)
    fills = [c for c in _changes(sink, order) if c["fill"]]
    assert len(fills) == 3
    assert [c["status"] for c in fills] == [C.osInOrderBook] * 2 + [C.osFilled]
    prices = [c["fill"][1] for c in fills]
    assert prices == [book.bid, book.bid - 0.25, book.bid - 0.5]
    done, value = 0, 0.0
    for change in fills:                 # properties follow every fill
        _, price, qty, _, _ = change["fill"]
        done, value = done + qty, value + qty * price
        assert change["filled"] == done
        assert change["avg"] == pytest.approx(value / done)
    assert done == quantity and len({c["fill"][4] for c in fills}) == 3


def test_limit_order_rests_then_fills_when_crossed(online, sink):
    sim, account, instrument = online
    book = _book(sim)
    limit = book.bid                     # below the ask: rests
    order = _place(sim, account, instrument, C.otLimit, C.osdBuy, 1, limit)
    assert order.GWStatus == C.osInOrderBook and not order.FilledQuantity
    assert _run_until(sim, lambda: order.GWStatus == C.osFilled)
    fill = _changes(sink, order)[-1]["fill"]
    assert fill[1] == limit              # filled at its limit


def test_marketable_limit_fills_at_the_better_price(online, sink):
    sim, account, instrument = online
    book = _book(sim)
    ask = book.ask
    order = _place(sim, account, instrument, C.otLimit, C.osdBuy, 1, ask + 1.0)
    assert order.GWStatus == C.osFilled and order.AveragePrice == ask


def test_limit_order_fills_up_to_limit_and_rests_the_rest(online, sink):
    sim, account, instrument = online
    book = _book(sim)
    size = book.ask_size
    order = _place(sim, account, instrument, C.otLimit, C.osdBuy, size + 5,
                   book.ask)
    assert order.GWStatus == C.osInOrderBook
    assert order.FilledQuantity == size


def test_resting_order_is_cancelled(online, sink):
    sim, account, instrument = online
    order = _place(sim, account, instrument, C.otLimit, C.osdBuy, 2,
                   _book(sim).bid - 50)
    sim.cel.Orders.ItemByGuid(order.GUID).Cancel()
    sim.wait_idle()
    assert [c["status"] for c in _changes(sink, order)][-2:] == [
        C.osInCancel, C.osCanceled]
    sink.clear()
    order.Cancel()                       # no longer working: nothing happens
    sim.advance(5)
    assert not _changes(sink, order) and order.GWStatus == C.osCanceled


@pytest.mark.parametrize("side, offset", [(C.osdBuy, 1.0), (C.osdSell, -1.0)])
def test_stop_order_waits_for_a_trade_through_the_stop(online, sink, side,
                                                       offset):
    sim, account, instrument = online
    book = _book(sim)
    stop = book.last + offset
    order = _place(sim, account, instrument, C.otStop, side, 1, 0.0, stop)
    assert order.GWStatus == C.osInOrderBook
    assert _run_until(sim, lambda: order.GWStatus == C.osFilled)
    trigger = book.last
    assert (trigger >= stop) if side == C.osdBuy else (trigger <= stop)
    assert order.FilledQuantity == 1


def test_unknown_guid_finds_no_order(online):
    sim, _, _ = online
    assert sim.cel.Orders.ItemByGuid("no-such-order") is None


@pytest.mark.parametrize("case, reason", [
    ("foreign account", "Unknown account"),
    ("no account", "Unknown account"),
    ("no instrument", "Unknown instrument"),
    ("zero quantity", "Invalid quantity"),
    ("fractional quantity", "Invalid quantity"),
    ("huge quantity", "Invalid quantity"),
    ("limit without price", "Limit price required"),
    ("stop without price", "Stop price required"),
    ("bad side", "Invalid side"),
    ("logged off", "Not connected to the gateway"),
])
def test_rejected_orders(online, sink, case, reason):
    sim, account, instrument = online
    args = dict(order_type=C.otMarket, instrument=instrument, account=account,
                quantity=1, side=C.osdBuy)
    if case == "foreign account":
        args["account"] = Account(99, "OTHER", 0)
    elif case == "no account":
        args["account"] = None
    elif case == "no instrument":
        args["instrument"] = None
    elif case == "zero quantity":
        args["quantity"] = 0
    elif case == "fractional quantity":
        args["quantity"] = 1.5
    elif case == "huge quantity":
        args["quantity"] = 10 ** 6
    elif case == "limit without price":
        args["order_type"] = C.otLimit
    elif case == "stop without price":
        args["order_type"] = C.otStop
    elif case == "bad side":
        args["side"] = C.osdUndefined
    elif case == "logged off":
        sim.cel.GWLogoff()
    order = sim.cel.CreateOrder(**args)
    order.Place()
    sim.wait_idle()
    changes = _changes(sink, order)
    assert [(c["change"], c["status"], c["fill"]) for c in changes] == [
        (C.ctAdded, C.osInTransit, None), (C.ctChanged, C.osRejectGW, None)]
    assert sim.rejections == [(order.GUID, reason)]
    assert not sink.of("OnAccountChanged")


def test_account_follows_fills_through_open_reverse_and_close(online, sink):
    sim, account, instrument = online
    summary = account.Summary
    cash = summary.Balance(0)
    contract = _book(sim).contract
    buy = _place(sim, account, instrument, C.otMarket, C.osdBuy, 2)
    (position,) = account.Positions
    assert (position.Quantity, position.Side) == (2, C.osdBuy)
    assert position.AveragePrice == buy.AveragePrice
    assert summary.Collaterals(1) == 2 * contract.margin
    assert summary.MaintenanceMargin(1) == 2 * contract.maintenance
    sim.advance(20)
    assert summary.UPL(0) == pytest.approx(position.OTE)
    assert summary.NLV(0) == pytest.approx(summary.Balance(0) + summary.UPL(0))

    sell = _place(sim, account, instrument, C.otMarket, C.osdSell, 3)
    assert (position.Quantity, position.Side) == (-1, C.osdSell)
    realized = 2 * (sell._fills[0].Price - buy.AveragePrice) * contract.multiplier
    assert summary.ProfitLoss(0) == pytest.approx(realized)
    assert summary.Balance(0) == pytest.approx(cash + realized)
    assert position.AveragePrice == sell._fills[-1].Price

    _place(sim, account, instrument, C.otMarket, C.osdBuy, 1)
    assert position.Quantity == 0 and summary.Collaterals(1) == 0
    assert account.Positions.Count == 1          # closed, still listed
    changes = [e.info for e in sink.of("OnAccountChanged")
               if e.info[0] != C.actAccountChanged]
    assert [c[0] for c in changes] == (
        [C.actPositionAdded] + [C.actPositionChanged] * (len(changes) - 1))
    assert changes[-1][2] == 0
    with pytest.raises(IndexError):
        summary.Balance(2)


def test_no_position_events_without_position_subscription(online, sink):
    sim, account, instrument = online
    account.PositionSubcriptionLevel = C.pslNoPositions
    _place(sim, account, instrument, C.otMarket, C.osdBuy, 1)
    assert not sink.of("OnAccountChanged")
    assert account.Positions.Item(0).Quantity == 1


@pytest.mark.parametrize("order_type", [C.otMarket, C.otLimit])
def test_a_hong_kong_stock_fills_in_whole_board_lots(online, sink, order_type):
    sim, account, _ = online
    sim.cel.NewInstrument("00700")
    sim.wait_idle()
    stock = sink.of("OnInstrumentResolved")[-1].args[1]
    book = sim.market.books["S.HK.00700"]
    assert book.contract.lot_size == 100
    odd = _place(sim, account, stock, C.otMarket, C.osdBuy, 150)
    assert sim.rejections == [(odd.GUID, "Quantity is not a whole number of board lots (100)")]
    # more than the top of the book shows: it takes several levels
    quantity = book.ask_size * 3 + 100
    order = _place(sim, account, stock, order_type, C.osdBuy, quantity,
                   limit=round(book.ask + 0.2 * 10, 1) if order_type == C.otLimit else 0.0)
    assert order.GWStatus == C.osFilled
    fills = [c["fill"][2] for c in _changes(sink, order) if c["fill"]]
    assert sum(fills) == quantity and len(fills) > 1
    assert all(q % 100 == 0 for q in fills) and book.ask_size % 100 == 0
