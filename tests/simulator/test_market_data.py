import datetime as dt

import pytest

from velmor_trader.gateways.cqg.simulator import INVALID, constants as C


def _subscribe_quotes(sim, sink, instrument):
    instrument.DataSubscriptionLevel = C.dsQuotesAndBBA
    sim.wait_idle()


def test_unknown_symbol_resolves_with_error(sim, sink):
    sim.cel.NewInstrument("NOPE")
    sim.wait_idle()
    symbol, instrument, error = sink.of("OnInstrumentResolved")[0].args
    assert (symbol, instrument) == ("NOPE", None)
    assert error.Code and "NOPE" in error.Description
    assert sim.cel.Instruments.Count == 0


@pytest.mark.parametrize("symbol", ["EPZ4", "F.US.EPZ4", "EP"])
def test_symbols_resolve_to_full_name(sim, sink, symbol):
    sim.cel.NewInstrument(symbol)
    sim.wait_idle()
    _, instrument, error = sink.of("OnInstrumentResolved")[0].args
    assert error is None and instrument.FullName == "F.US.EPZ4"
    assert [i.FullName for i in sim.cel.Instruments] == ["F.US.EPZ4"]


def test_quotes_start_with_snapshot_then_stream(online, sink):
    sim, _, instrument = online
    sim.advance(5)
    assert not sink.events                 # nothing before the level is raised
    _subscribe_quotes(sim, sink, instrument)
    (snapshot,) = sink.of("OnInstrumentChanged")
    name, quotes = snapshot.info
    assert name == "F.US.EPZ4"
    types = {q[0]: q for q in quotes}
    assert set(types) == {C.qtDayOpen, C.qtDayHigh, C.qtDayLow, C.qtTrade,
                          C.qtYesterdaySettlement, C.qtSettlement, C.qtBid,
                          C.qtAsk}
    assert types[C.qtSettlement][1] is False   # no settlement during the day
    assert types[C.qtBid][2] < types[C.qtAsk][2]
    sim.advance(30)
    updates = sink.of("OnInstrumentChanged")[1:]
    assert len(updates) == 30                  # one per simulated second
    for event in updates:
        quotes = {q[0]: q for q in event.info[1]}
        assert all(q[1] for q in quotes.values())
        assert quotes[C.qtBid][3] > 0 and quotes[C.qtAsk][3] > 0
        assert quotes[C.qtAsk][2] - quotes[C.qtBid][2] == pytest.approx(0.25)
    trades = [q for e in updates for q in e.info[1] if q[0] == C.qtTrade]
    assert trades and all(q[3] > 0 for q in trades)
    assert instrument.Bid.price == updates[-1].info[1][-2][2]


def test_removed_instrument_stops_streaming(online, sink):
    sim, _, instrument = online
    _subscribe_quotes(sim, sink, instrument)
    sim.cel.RemoveInstrument(instrument)
    sink.clear()
    sim.advance(5)
    assert not sink.events and sim.cel.Instruments.Count == 0


def _request_ticks(sim, symbol="EPZ4", limit=10):
    request = sim.cel.CreateTicksRequest()
    request.Symbol = symbol
    request.Type = C.trtCurrentNotify
    request.TickFilter = C.tfAll
    request.SessionsFilter = 31
    request.Limit = limit
    ticks = sim.cel.RequestTicks(request)
    sim.wait_idle()
    return ticks


@pytest.mark.parametrize("limit, count", [(0, 0), (2, 2), (10, 3)])
def test_tick_limit_bounds_the_initial_ticks(sim, sink, limit, count):
    ticks = _request_ticks(sim, limit=limit)
    assert ticks.Count == count
    if count:
        assert ticks.Item(count - 1).PriceType == C.tptAsk


def test_ticks_resolve_then_add_bid_ask_and_trades(sim, sink):
    ticks = _request_ticks(sim)
    assert sink.names()[-1] == "OnTicksResolved"
    assert sink.events[-1].info == (3, None)
    assert list(sim.cel.AllTicks) == [ticks]
    assert ticks.Request.Symbol == "EPZ4"
    sim.advance(20)
    added = sink.of("OnTicksAdded")
    assert len(added) == 20
    seen = set()
    for event in added:
        for price_type, price, volume in event.info:
            seen.add(price_type)
            assert price > 0 and volume > 0
    assert seen == {C.tptBid, C.tptAsk, C.tptTrade}
    assert ticks.Count == 3 + sum(len(e.info) for e in added)
    sim.cel.RemoveTicks(ticks)
    sink.clear()
    sim.advance(3)
    assert not sink.of("OnTicksAdded") and sim.cel.AllTicks.Count == 0


@pytest.mark.parametrize("symbol, limit", [("NOPE", 10), ("EPZ4", -1),
                                           ("EPZ4", "ten")])
def test_bad_tick_requests_resolve_with_error(sim, sink, symbol, limit):
    ticks = _request_ticks(sim, symbol, limit)
    count, error = sink.of("OnTicksResolved")[0].info
    assert count == 0 and error is not None
    assert sim.cel.AllTicks.Count == 0
    sim.advance(2)
    assert ticks.Count == 0


def _request_bars(sim, lookback, daily=False, symbol="EPZ4", volumes=True):
    request = sim.cel.CreateTimedBarsRequest()
    request.Symbol = symbol
    request.RangeStart = 0
    request.RangeEnd = -lookback - 1
    if daily:
        request.HistoricalPeriod = C.hpDaily
    else:
        request.IntradayPeriod = C.pfds1Min
    request.DailyBarClose = C.dbcLastQuoteOrSettlement
    request.UpdatesEnabled = True
    if volumes:
        request.IncludeOutput(C.tbrContractVolume, True)
        request.IncludeOutput(C.tbrCommodityVolume, True)
    request.SessionsFilter = "all"
    bars = sim.cel.RequestTimedBars(request)
    sim.wait_idle()
    return bars


def test_minute_bars_cover_the_range_oldest_first(sim, sink):
    bars = _request_bars(sim, 100)
    assert sink.of("OnTimedBarsResolved")[0].info == (102, None)
    stamps = [bars.Item(i).Timestamp for i in range(bars.Count)]
    assert stamps[-1] == dt.datetime(2024, 11, 4, 9, 30)     # current bar
    assert all(b - a == dt.timedelta(minutes=1)
               for a, b in zip(stamps, stamps[1:]))
    complete = [bars.Item(i) for i in range(bars.Count - 1)]
    missing = [b for b in complete if b.Open == INVALID]
    assert missing and all(b.ActualVolume == INVALID for b in missing)
    for bar in complete:
        if bar.Open != INVALID:
            assert bar.Low <= min(bar.Open, bar.Close)
            assert bar.High >= max(bar.Open, bar.Close)
            assert bar.ActualVolume > 0 and bar.TickVolume > 0
            assert bar.ContractVolume == bar.ActualVolume


def test_optional_volumes_are_missing_unless_requested(sim):
    bars = _request_bars(sim, 5, volumes=False)
    assert {bars.Item(i).ContractVolume for i in range(bars.Count)} == {INVALID}


def test_daily_bars_skip_weekends(sim):
    bars = _request_bars(sim, 10, daily=True)
    stamps = [bars.Item(i).Timestamp for i in range(bars.Count)]
    assert len(stamps) == 12 and stamps[-1] == dt.datetime(2024, 11, 4)
    assert all(s.weekday() < 5 and s.hour == 0 for s in stamps)


def test_minute_bars_roll_over_with_the_clock(sim, sink):
    bars = _request_bars(sim, 3)
    sim.advance(150)
    assert len(sink.of("OnTimedBarsAdded")) == 2
    assert bars.Count == 7
    assert bars.Item(bars.Count - 2).Timestamp == dt.datetime(2024, 11, 4, 9, 31)
    finished = bars.Item(4)            # the bar that was current at 9:30
    assert finished.Open != INVALID and finished.ActualVolume > 0
    assert sink.of("OnTimedBarsUpdated")
    sim.cel.RemoveTimedBars(bars)
    sink.clear()
    sim.advance(120)
    assert not sink.events and sim.cel.AllTimedBars.Count == 0


@pytest.mark.parametrize("change", [
    {"Symbol": "NOPE"},
    {"RangeEnd": 5},
    {"RangeEnd": "yesterday"},
    {"IntradayPeriod": None},
])
def test_bad_bar_requests_resolve_with_error(sim, sink, change):
    request = sim.cel.CreateTimedBarsRequest()
    request.Symbol = "EPZ4"
    request.RangeEnd = -5
    request.IntradayPeriod = C.pfds1Min
    for name, value in change.items():
        setattr(request, name, value)
    sim.cel.RequestTimedBars(request)
    sim.wait_idle()
    count, error = sink.of("OnTimedBarsResolved")[0].info
    assert count == 0 and error is not None and error.Description
