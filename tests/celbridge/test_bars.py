import datetime as dt
import logging
import os
import subprocess
import sys
from types import SimpleNamespace

import pytest

from velmor_trader.gateways.cqg.simulator import constants as C

from market_support import Collection, make_client

HERE = os.path.dirname(os.path.abspath(__file__))
T0 = dt.datetime(2024, 11, 4, 9, 30)


@pytest.fixture
def cl(impl, modules, monkeypatch):
    return make_client(modules[impl], monkeypatch)


def api_bar(minute, close=100.0, volume=5):
    stamp = (T0 + dt.timedelta(minutes=minute, microseconds=250)).replace(tzinfo=dt.timezone.utc)
    return SimpleNamespace(Timestamp=stamp, Open=close - 1, High=close + 1, Low=close - 2,
                           Close=close, ActualVolume=volume)


def bars_of(*minutes):
    return Collection("EPZ4", [api_bar(m, close=100.0 + m) for m in minutes])


@pytest.mark.parametrize("args, period", [
    (("EPZ4", 100), ("IntradayPeriod", C.pfds1Min, -101)),
    (("EPZ4", 0, "1Day"), ("HistoricalPeriod", C.hpDaily, -1)),
    (("EPZ4", 7.9, "1Min"), ("IntradayPeriod", C.pfds1Min, -8))])
def test_bar_request_properties_in_order(cl, args, period):
    cl.bridge.subscribe_bar(*args)
    name, value, end = period
    freq = args[2] if len(args) > 2 else "1Min"
    sent = cl.log[12][1]
    assert cl.log == [
        ("Trace", "Create %s timed bars request for EPZ4" % freq), ("CreateTimedBarsRequest",),
        ("set", "Symbol", "EPZ4"), ("set", "RangeStart", 0), ("set", "RangeEnd", end),
        ("set", name, value), ("set", "DailyBarClose", C.dbcLastQuoteOrSettlement),
        ("set", "UpdatesEnabled", True),
        ("IncludeOutput", C.tbrContractVolume, True), ("IncludeOutput", C.tbrCommodityVolume, True),
        ("set", "SessionsFilter", "all"), ("clear", "bar"), ("RequestTimedBars", sent),
        ("Trace", "Waiting for eventBarDone in subscribe_bar(EPZ4)..."),
        ("wait", "bar", 0.25), ("Trace", "eventBarDone is done.")]
    assert sent.RangeEnd == end and type(sent.RangeEnd) is int


@pytest.mark.parametrize("args, error", [
    (("EPZ4", 10, "1H"), ValueError), (("EPZ4", 10, "1min"), ValueError),
    (("EPZ4", "10"), TypeError), (("EPZ4", 10, None), TypeError), ((b"EPZ4", 10), TypeError)])
def test_bad_bar_requests_send_nothing(cl, args, error):
    with pytest.raises(error) as raised:
        cl.bridge.subscribe_bar(*args)
    if error is ValueError:
        assert str(raised.value) == ("Parameter freq=%s is Not supported. Only ('1Day', '1Min') "
                                     "are allowed." % args[2])
    assert cl.log == []


@pytest.mark.parametrize("error, minutes, stored", [
    (object(), (0, 1, 2), None), (None, (), None), (None, (0,), []), (None, (0, 1, 2), [0, 1])])
def test_resolved_history_leaves_out_the_forming_bar(cl, error, minutes, stored):
    cl.bridge.OnTimedBarsResolved(bars_of(*minutes), error)
    assert cl.bridge.eventBarDone.is_set()
    bars = cl.bridge.subscribe_bars_data.get(cl.security)
    assert (None if bars is None else [b.close - 100 for b in bars]) == stored
    if stored:
        first = bars[0]
        assert (first.datetime, first.datetime.tzinfo, first.security, first.open, first.high,
                first.low, first.volume) == (T0, None, cl.security, 99.0, 101.0, 98.0, 5)
    if stored == []:
        assert cl.bridge.get_subscribe_bars_data(cl.security) is None


def test_a_filled_history_is_kept_on_a_new_answer(cl):
    cl.bridge.OnTimedBarsResolved(bars_of(0, 1, 2), None)
    kept = cl.bridge.subscribe_bars_data[cl.security]
    cl.bridge.OnTimedBarsResolved(bars_of(5, 6, 7, 8), None)
    assert cl.bridge.subscribe_bars_data[cl.security] is kept and len(kept) == 2


@pytest.mark.parametrize("history, added, closes", [
    ((0, 1, 2), (0, 1, 2, 3), [1, 2]),        # a later bar rolls the window
    ((0, 1, 2), (0, 1, 1, 3), [0, 1]),        # the same time again is ignored
    ((0, 1, 2), (0,), [0, 1]),                # fewer than two bars: nothing to take
    ((0,), (0, 1), [0])])                     # an empty history starts with the bar
def test_added_bars_roll_the_window(cl, history, added, closes):
    cl.bridge.OnTimedBarsResolved(bars_of(*history), None)
    cl.bridge.OnTimedBarsAdded(bars_of(*added))
    stored = cl.bridge.subscribe_bars_data[cl.security]
    assert [b.close - 100 for b in stored] == closes
    rolled = closes != sorted(history)[:-1]
    assert [e[0] for e in cl.log].count("print") == rolled
    if rolled:
        assert cl.log[-1] == ("print", "[2] OnTimedBarsAdded: " + str(stored[-1]))


@pytest.mark.parametrize("entry, error", [(None, AssertionError), ("absent", KeyError)])
def test_bars_added_before_the_history(cl, entry, error):
    if entry != "absent":
        cl.bridge.subscribe_bars_data[cl.security] = entry
    with pytest.raises(error) as raised:
        cl.bridge.OnTimedBarsAdded(bars_of(0, 1))
    if error is AssertionError:
        assert raised.value.args == ("We should have initiated data in OnTimedBarsResolved first!",)


def test_without_assertions_no_assertion_error():
    import velmor_trader
    code = """if True:
        import pytest, test_bars, market_support
        for kind in ("native", "twin"):
            cl = test_bars.make_client(market_support.module(kind), pytest.MonkeyPatch())
            for entry in ("none", "absent"):
                if entry == "none":
                    cl.bridge.subscribe_bars_data[cl.security] = None
                try:
                    cl.bridge.OnTimedBarsAdded(test_bars.bars_of(0, 1))
                except Exception as e:
                    print(kind, type(e).__name__)
                cl.bridge.subscribe_bars_data.clear()
    """
    root = os.path.dirname(os.path.dirname(velmor_trader.__file__))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([HERE, root]))
    out = subprocess.run([sys.executable, "-O", "-c", code], capture_output=True, text=True,
                         env=env, timeout=120)
    assert out.returncode == 0, out.stderr
    # None where a list should be fails on the missing last bar instead
    assert out.stdout.split() == ["native", "TypeError", "native", "KeyError",
                                  "twin", "TypeError", "twin", "KeyError"]


@pytest.mark.parametrize("subscribed", [False, True])
def test_unsubscribe_drops_the_history(cl, subscribed):
    cl.bridge.subscribe_bars_data[cl.security] = ["bars"]
    if subscribed:
        cl.api.AllTimedBars.append(Collection("F.US.EPZ4"))
    assert cl.bridge.unsubscribe_bar("EPZ4") is None
    assert (cl.security in cl.bridge.subscribe_bars_data) is not subscribed
    assert cl.log == ([("RemoveTimedBars", cl.api.AllTimedBars[0]), ("clear", "bar"),
                       ("Trace", "Successfully unsubscribe timedbar for EPZ4")] if subscribed else [])


def test_unsubscribe_errors_are_logged_by_safe_call(cl, caplog):
    with caplog.at_level(logging.ERROR):
        assert cl.bridge.unsubscribe_bar(None) is None
    assert "TypeError" in caplog.text and cl.log == []


def test_dump_bar_traces_every_field(cl):
    bar = SimpleNamespace(Timestamp=T0, Open=1.5, High=2, Low=1, Close=1.75,
                          ActualVolumeFractional=3.0, CommodityVolumeFractional=4,
                          ContractVolumeFractional=None, TickVolume=9)
    assert cl.bridge.dumpBar(bar, 7) is None
    assert cl.log == [("Trace", "Bar index: 7 Timestamp 2024-11-04 09:30:00 Open 1.5 High 2 Low 1 "
                       "Close 1.75 ActualVolumeFractional 3.0 CommodityVolumeFractional 4 "
                       "ContractVolumeFractional None TickVolume 9")]
