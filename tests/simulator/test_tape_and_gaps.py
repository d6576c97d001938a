import pytest

from velmor_trader.gateways.cqg.simulator import INVALID, Simulator, constants as C

from test_market_data import _request_bars, _request_ticks

API = {"open": "Open", "high": "High", "low": "Low", "close": "Close",
       "volume": "ActualVolume"}


@pytest.fixture
def make_sim(new_sink):
    started = []

    def make(**options):
        sink = new_sink()
        sim = Simulator(seed=7, **options)
        sim.start(sink)
        sim.wait_idle()
        started.append(sim)
        return sim, sink
    yield make
    for sim in started:
        sim.stop()


def _missing(bar):
    return {name for name, api in API.items() if getattr(bar, api) == INVALID}


def _finished(bars):
    return [bars.Item(i) for i in range(bars.Count - 1)]


@pytest.mark.parametrize("where, fields", [
    ("all", {"open"}), ("oldest", {"high", "close"}),
    ("newest", {"low"}), ("newest", {"volume"})])
def test_history_fields_missing_on_purpose(sim, where, fields):
    # Minute bars also go missing by chance (no trades): compare with the
    # same history requested before the rule.
    before = [_missing(b) for b in _finished(_request_bars(sim, 30))]
    sim.mark_missing("EPZ4", fields, bars=where)
    after = [_missing(b) for b in _finished(_request_bars(sim, 30))]
    marked = {"all": range(31), "oldest": [0], "newest": [30]}[where]
    assert after == [b | fields if i in marked else b
                     for i, b in enumerate(before)]
    if fields == {"volume"}:
        newest = _request_bars(sim, 30).Item(30)
        assert newest.ContractVolume == INVALID and newest.Close != INVALID


def test_live_bars_miss_values_after_the_history(sim, sink):
    sim.mark_missing("EPZ4", {"close", "volume"}, bars="live", daily=False)
    bars = _request_bars(sim, 5)
    daily = _request_bars(sim, 5, daily=True)
    assert all(not _missing(b) or _missing(b) == set(API) for b in _finished(bars))
    sim.advance(190)
    added = [bars.Item(i) for i in range(6, bars.Count - 1)]
    assert len(added) == 3 and all(_missing(b) == {"close", "volume"} for b in added)
    assert added[0].Open != INVALID
    assert not any(_missing(b) for b in _finished(daily))


@pytest.mark.parametrize("args", [("EPZ4", {"bid"}), ("EPZ4", set()),
                                  ("EPZ4", {"open"}, "middle"), ("NOPE", {"open"})])
def test_bad_missing_rules_are_refused(sim, args):
    with pytest.raises(ValueError):
        sim.mark_missing(*args)


def _tape(sink):
    return [t for e in sink.of("OnTicksAdded") for t in e.info]


def test_settlement_ticks_at_their_interval(make_sim):
    sim, sink = make_sim(settlement_every=10)
    _request_ticks(sim)
    sim.advance(35)
    settlements = [t for t in _tape(sink) if t[0] == C.tptSettlement]
    assert len(settlements) == 3 and all(t[1] > 0 and t[2] == 0 for t in settlements)


def test_empty_sides_show_volume_zero_without_changing_the_walk(make_sim):
    plain, plain_sink = make_sim()
    gappy, gappy_sink = make_sim(empty_side_chance=0.3)
    for sim in (plain, gappy):
        _request_ticks(sim)
        sim.advance(40)
    plain_tape, gappy_tape = _tape(plain_sink), _tape(gappy_sink)
    assert [t[:2] for t in plain_tape] == [t[:2] for t in gappy_tape]
    emptied = [t for t in gappy_tape if t[2] == 0]
    assert emptied and {t[0] for t in emptied} <= {C.tptBid, C.tptAsk}


def test_ticks_collection_keeps_its_newest_ticks(make_sim):
    sim, sink = make_sim(tick_history=8)
    ticks = _request_ticks(sim)
    sim.advance(30)
    assert ticks.Count == 8
    assert [ticks.Item(i).PriceType for i in (6, 7)] == [C.tptBid, C.tptAsk]
    sim.inject_ticks("EPZ4", [(C.tptTrade, 1.0 + i, 1) for i in range(12)])
    sim.wait_idle()
    event = sink.of("OnTicksAdded")[-1]
    assert event.args[1] == 8
    assert [ticks.Item(i).Price for i in range(8)] == [5.0 + i for i in range(8)]


def test_injected_ticks_reach_streaming_collections_only(sim, sink):
    streaming = _request_ticks(sim)
    other = _request_ticks(sim, symbol="CLEF5")
    sent = [(C.tptAsk, 5950.5, 0), (C.tptSettlement, 5949.0, 0)]
    sim.inject_ticks("F.US.EPZ4", sent)
    sim.wait_idle()
    (event,) = sink.of("OnTicksAdded")
    assert event.args[0] is streaming and event.info == sent
    assert other.Count == 3


def test_empty_collections_are_true_like_com_objects(sim):
    assert _request_ticks(sim, limit=0)
    assert sim.cel.AllTicks.Count == 1
