import pytest

from velmor_trader.gateways.cqg.simulator import INVALID, Simulator, constants as C

from test_market_data import _request_bars, _request_ticks

API = {"open": "Open", "high": "High", "low": "Low", "close": "Close", "volume": "ActualVolume"}


@pytest.fixture
def make_sim(new_sink):
    started = []

    def make(**options):
        sim, sink = Simulator(seed=7, **options), new_sink()
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
    return [_missing(bars.Item(i)) for i in range(bars.Count - 1)]


@pytest.mark.parametrize("where, fields, marked", [
    ("all", {"open"}, range(31)), ("oldest", {"high", "close"}, [0]),
    ("newest", {"low"}, [30]), ("newest", {"volume"}, [30])])
def test_history_fields_missing_on_purpose(sim, where, fields, marked):
    # Minute bars also go missing by chance (no trades): compare with the
    # same history requested before the rule.
    before = _finished(_request_bars(sim, 30))
    sim.mark_missing("EPZ4", fields, bars=where)
    assert _finished(_request_bars(sim, 30)) == [
        b | fields if i in marked else b for i, b in enumerate(before)]
    if fields == {"volume"}:
        assert _request_bars(sim, 30).Item(30).ContractVolume == INVALID


def test_live_bars_miss_values_after_the_history(sim):
    sim.mark_missing("EPZ4", {"close", "volume"}, bars="live", daily=False)
    bars, daily = _request_bars(sim, 5), _request_bars(sim, 5, daily=True)
    assert all(m in (set(), set(API)) for m in _finished(bars))
    sim.advance(190)
    assert _finished(bars)[6:] == [{"close", "volume"}] * 3
    assert not any(_finished(daily))
    with pytest.raises(ValueError):
        sim.mark_missing("EPZ4", {"bid"})


def test_tape_with_settlements_and_emptied_sides(make_sim):
    plain, plain_sink = make_sim()
    tape, tape_sink = make_sim(settlement_every=10, empty_side_chance=0.3)
    for sim in (plain, tape):
        _request_ticks(sim)
        sim.advance(35)
    plain_ticks, ticks = ([t for e in s.of("OnTicksAdded") for t in e.info]
                          for s in (plain_sink, tape_sink))
    settlements = [t for t in ticks if t[0] == C.tptSettlement]
    assert len(settlements) == 3 and all(t[2] == 0 for t in settlements)
    # the walk is the same: only what the tape shows of it differs
    rest = [t for t in ticks if t[0] != C.tptSettlement]
    assert [t[:2] for t in rest] == [t[:2] for t in plain_ticks]
    assert {t[0] for t in rest if t[2] == 0} == {C.tptBid, C.tptAsk}


def test_ticks_collection_keeps_its_newest_ticks(make_sim):
    sim, sink = make_sim(tick_history=8)
    ticks, _ = _request_ticks(sim), _request_ticks(sim, symbol="CLEF5")
    sim.advance(30)
    assert ticks.Count == 8 and ticks.Item(7).PriceType == C.tptAsk
    before = len(sink.of("OnTicksAdded"))
    sim.inject_ticks("F.US.EPZ4", [(C.tptTrade, 1.0 + i, 0) for i in range(12)])
    sim.wait_idle()
    (event,) = sink.of("OnTicksAdded")[before:]      # the other symbol's ticks get none
    assert event.args == (ticks, 8)
    assert [ticks.Item(i).Price for i in range(8)] == [5.0 + i for i in range(8)]
    assert _request_ticks(sim, limit=0)           # true when empty, as COM objects are
