"""The order book and the bar histories of the native client against the
simulated API, events on the simulator's own thread."""
import datetime as dt

import pytest

from velmor_trader.core.security import Futures
from velmor_trader.gateways.cqg.gateway import CqgGateway
from velmor_trader.gateways.cqg.wrapper.CELEnvironment import CELEnvironment

from market_support import INVALID

VALUES = ("open", "high", "low", "close", "volume")


@pytest.fixture
def connect(cb):
    started = []

    def connect(**options):
        environment = CELEnvironment()
        bridge = cb.CelBridge()
        environment.Init(bridge, seed=3, **options)
        gateway = CqgGateway([Futures("EPZ4", "E-mini S&P 500"), Futures("CLEF5", "Crude oil")],
                             environment)
        bridge.Init(gateway)
        started.append(environment)
        return bridge, gateway, environment.simulator
    yield connect
    for environment in started:
        errors = environment.simulator.loop.sink_errors
        environment.Shutdown()
        assert errors == []


def test_order_book_goes_out_once_both_sides_are_there(connect):
    bridge, gateway, sim = connect(empty_side_chance=0.2, settlement_every=5)
    books, tape = [], []
    gateway.on_orderbook(books.append)
    bridge.subscribe_orderbook("EPZ4")
    ticks = sim.cel.AllTicks.Item(0)
    sim.advance(40)
    tape = [ticks.Item(i) for i in range(ticks.Count)]
    assert any(t.Volume == 0 for t in tape)
    assert len(books) > 40
    for book in books:
        assert 0 < book.bid_price_1 <= book.ask_price_1    # a side may move first
        assert book.bid_volume_1 > 0 and book.ask_volume_1 > 0
    assert gateway.cqg_orderbooks[books[0].security] is books[-1]
    assert gateway.cqg_orderbooks[bridge.gateway.get_vl_security_from_cqg_symbol("CLEF5")] is None
    bridge.unsubscribe_orderbook("EPZ4")
    sim.advance(10)
    assert sim.cel.AllTicks.Count == 0 and gateway.cqg_orderbooks[books[0].security] is books[-1]


def _times(bars):
    return [b.datetime for b in bars]


def test_bar_histories_fill_roll_and_repair(connect):
    bridge, gateway, sim = connect()
    minute, daily = (gateway.get_vl_security_from_cqg_symbol(s) for s in ("EPZ4", "CLEF5"))
    sim.mark_missing("EPZ4", {"close"}, bars="live")
    bridge.subscribe_bar("EPZ4", 30)
    bridge.subscribe_bar("CLEF5", 10, "1Day")
    minutes = bridge.subscribe_bars_data[minute]
    assert len(minutes) == 31 and _times(minutes)[-1] == dt.datetime(2024, 11, 4, 9, 29)
    assert any(b.open == INVALID for b in minutes)          # minutes without trades
    days = bridge.subscribe_bars_data[daily]
    assert len(days) == 11 and _times(days)[-1] == dt.datetime(2024, 11, 1)
    sim.advance(180)
    assert len(minutes) == 31 and _times(minutes)[-3:] == [
        dt.datetime(2024, 11, 4, 9, 30 + i) for i in range(3)]
    assert [b.close for b in minutes[-3:]] == [INVALID] * 3
    assert bridge.get_subscribe_bars_data(minute) is minutes
    assert not any(getattr(b, v) == INVALID for b in minutes for v in VALUES)
    assert [b.close for b in minutes[-4:]] == [minutes[-4].close] * 4
    assert bridge.get_subscribe_bars_data(daily) is days and len(days) == 11
    bridge.unsubscribe_bar("EPZ4")
    sim.advance(120)
    assert minute not in bridge.subscribe_bars_data and sim.cel.AllTimedBars.Count == 1


@pytest.mark.parametrize("fields, where, outcome", [
    ({"open"}, "all", "invalid"), ({"volume"}, "newest", "carried")])
def test_missing_values_on_purpose(connect, fields, where, outcome):
    bridge, gateway, sim = connect()
    sim.mark_missing("CLEF5", fields, bars=where, daily=True)
    bridge.subscribe_bar("CLEF5", 5, "1Day")
    security = gateway.get_vl_security_from_cqg_symbol("CLEF5")
    bars = bridge.subscribe_bars_data[security]
    if outcome == "invalid":
        with pytest.raises(ValueError, match="^The latest bar is INVALID: Bar"):
            bridge.get_subscribe_bars_data(security)
    else:
        assert bars[-1].volume == INVALID
        assert bridge.get_subscribe_bars_data(security)[-1].volume == bars[-2].volume != INVALID
