"""The engine follows the broker: placements whose id never came, fills
delivered twice, a lost connection, stale quotes, a fill's rows written
together and the wind-down."""
import logging

import pytest

from engine_rig import SECURITY, Rig
from velmor_trader.core.constants import OrderType

TENCENT, ES = SECURITY["00700"], SECURITY["EPZ4"]


@pytest.fixture
def rig(tmp_path):
    rig = Rig(tmp_path)
    yield rig
    rig.close()


def stored_fills(rig):
    return sorted((d["broker_deal_id"], d["broker_order_id"], d["filled_quantity"])
                  for d in rig.rows("trading_deal"))


def broker_fills(rig):
    return sorted((fill, guid, qty) for fill, (guid, qty) in rig.broker_fills().items())


def consistent(rig):
    """Every stored order counts exactly the fills of its stored deal rows."""
    deals = rig.rows("trading_deal")
    return all(o["filled_quantity"] == sum(d["filled_quantity"] for d in deals
                                           if d["order_id"] == o["id"])
               for o in rig.rows("trading_order"))


def test_a_placement_that_timed_out_but_lived_is_followed(rig):
    rig.sim.faults.delay("order", 5)          # the answer comes after the client gave up
    assert rig.engine.place(TENCENT, 5000, OrderType.MARKET, role="entry") is None
    rig.sim.faults.restore("order")
    rig.advance(6)
    (guid,) = [o.GUID for o in rig.sim.engine.orders]
    assert len(rig.broker_fills()) > 1                      # walked the book
    assert stored_fills(rig) == broker_fills(rig)
    (order,) = rig.rows("trading_order")
    assert (order["broker_order_id"], order["status"], order["filled_quantity"]) == \
        (guid, "FILLED", 5000)
    assert rig.stored_positions() == rig.broker_positions() == {"00700": 5000}
    rig.sim.resend_fill(guid)                               # a fill delivered twice
    rig.advance(1)
    assert stored_fills(rig) == broker_fills(rig)
    assert rig.engine.tracked[guid].role == "entry"       # matched to its placement
    assert "no order id from the broker" in rig.engine.last_refusal


def test_after_a_lost_connection_the_engine_reads_back_before_it_trades(rig, caplog):
    bid = rig.engine.quote(ES).bid_price
    resting = rig.engine.place(ES, 1, OrderType.LIMIT, price=bid, role="entry")
    waiting = rig.engine.place(ES, -1, OrderType.LIMIT, price=bid + 50, role="entry")
    rig.sim.drop_connection(trading=True)
    rig.advance(1)
    assert not rig.engine.connected
    assert rig.engine.cancel(waiting) is False
    with caplog.at_level(logging.WARNING, logger="velmor_trader.paper_trading"):
        assert rig.engine.place(ES, 1, OrderType.MARKET) is None
    assert "connection to the broker is down" in caplog.text
    rig.advance(240)                          # the resting order fills meanwhile, unheard
    assert rig.sim.engine.order(resting.order_id).FilledQuantity == 1
    assert rig.rows("trading_deal") == [] and rig.stored_positions() == {}
    rig.sim.restore_connection()
    rig.advance(1)
    assert rig.engine.connected
    assert stored_fills(rig) == broker_fills(rig) and consistent(rig)
    assert rig.stored_positions() == rig.broker_positions() == {"EPZ4": 1}
    assert [o.order_id for o, _ in rig.engine.working()] == [waiting.order_id]


def test_no_order_on_a_stale_quote(rig, caplog):
    rig.bridge.unsubscribe_quote("EPZ4")
    rig.advance(61)
    with caplog.at_level(logging.WARNING, logger="velmor_trader.paper_trading"):
        assert rig.engine.place(ES, 1, OrderType.MARKET) is None
        assert rig.engine.place(TENCENT, 100, OrderType.MARKET) is not None
    assert "the last quote of EPZ4 is 61 s old (at most 60 s)" in caplog.text


def test_a_fill_counts_in_its_order_only_with_its_deal_row(rig, monkeypatch):
    rig.engine.place(TENCENT, 5000, OrderType.MARKET)
    rig.sim.wait_idle()
    events = 0
    while not rig.engine.inbox.empty():       # one event at a time, as a kill -9 could cut
        rig.engine._handle(*rig.engine.inbox.get_nowait())
        rig.engine.clock.release()
        events += 1
        assert consistent(rig)
    assert events > 3 and len(rig.rows("trading_deal")) > 1
    # A failure inside a fill's transaction writes none of it.
    monkeypatch.setattr(rig.store, "_positions", lambda *a: 1 / 0)
    before = (rig.rows("trading_order"), rig.rows("trading_deal"), rig.rows("balance"))
    rig.engine.place(TENCENT, -100, OrderType.MARKET)
    rig.engine.drain()
    assert (rig.rows("trading_order")[0], rig.rows("trading_deal"), rig.rows("balance")) == \
        (before[0][0], before[1], before[2])
    assert consistent(rig)


@pytest.mark.parametrize("close", [True, False])
def test_wind_down(rig, close):
    rig.engine.place(ES, 2, OrderType.MARKET, role="entry")
    stop = rig.engine.place(ES, -2, OrderType.STOP, price=5000.0, stop=5000.0, role="stop")
    entry = rig.engine.place(TENCENT, 100, OrderType.LIMIT, price=330.0, role="entry")
    rig.engine.drain()
    summary = rig.engine.wind_down(close_positions=close)
    resting = {o.GUID for o in rig.sim.engine.resting}
    if close:
        assert summary == dict(cancelled=[stop.order_id, entry.order_id],
                               closed=[("EPZ4", "LONG", 2)], working=[], positions=[],
                               left_open=[])
        assert resting == set() and rig.broker_positions() == {}
    else:
        assert summary == dict(cancelled=[entry.order_id], closed=[],
                               working=[stop.order_id], positions=[], left_open=[])
        assert resting == {stop.order_id} and rig.broker_positions() == {"EPZ4": 2}
    assert rig.stored_positions() == rig.broker_positions() and consistent(rig)
