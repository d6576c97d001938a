"""Instrument lookup, quote subscriptions and the quote stream."""
import pytest

from cel_fakes import EP, NOW, Com, stub


def _instruments(h, *names):
    stub(h.cel, Instruments=[Com(h.log, name, FullName=name) for name in names])


@pytest.mark.parametrize("names, symbol, found", [
    # An exact name wins over an earlier one that merely contains the symbol.
    (("F.US.EPZ45", "F.US.EPZ4"), "EPZ4", "F.US.EPZ4"),
    (("F.US.XEPZ4", "EPZ4"), "EPZ4", "EPZ4"),
    (("F.US.EPZ4", "F.US.EPZ4"), "EPZ4", "F.US.EPZ4"),
    # Without an exact one, the first that contains it.
    (("F.US.ENQZ4", "F.US.EPZ45", "F.US.EPZ46"), "EPZ", "F.US.EPZ45"),
    (("F.US.ENQZ4",), "EPZ4", None),
])
def test_instrument_lookup_prefers_the_exact_contract(run, names, symbol, found):
    h = run(lambda h: (_instruments(h, *names), h.call("get_instrument_from_cqg_symbol", symbol)))
    assert h.log == [("return", "get_instrument_from_cqg_symbol", found)]


def _subscribe(h, answer):
    def new_instrument(symbol):
        h.log.append(("call", "NewInstrument", symbol))
        if answer:
            error = None if answer == "ok" else Com(h.log, "error")
            instrument = Com(h.log, "instrument", FullName="F.US." + symbol)
            h.when_logged(("Trace", "Waiting for eventQuoteDone in subscribe_quote(EPZ4)..."),
                          lambda: h.client.OnInstrumentResolved(symbol, instrument, error))
    stub(h.cel, NewInstrument=new_instrument)
    h.call("subscribe_quote", "EPZ4")
    h.log.append(("done", h.client.eventQuoteDone.is_set()))
    h.call("subscribe_quote", 4)


@pytest.mark.parametrize("answer", ["ok", "error", None])
def test_subscribe_quote(run, answer):
    h = run(lambda h: _subscribe(h, answer), timeout=5.0 if answer else 0.05)
    start = [("call", "NewInstrument", "EPZ4"),
             ("Trace", "Waiting for eventQuoteDone in subscribe_quote(EPZ4)...")]
    ok = [("Dispatch", "instrument"), ("set", "instrument", "DataSubscriptionLevel",
                                       h.C._values["dsQuotesAndBBA"])]
    end = [("Trace", "eventQuoteDone is done."), ("return", "subscribe_quote", None),
           ("done", answer is not None)]
    assert h.log[:-1] == start + (ok if answer == "ok" else []) + end
    assert h.log[-1][2:] == ("TypeError", "Argument 'cqg_symbol' has incorrect type "
                                          "(expected str, got int)")


def test_unsubscribe_quote(run):
    def scenario(h):
        _instruments(h, "F.US.EPZ4")
        h.client.eventQuoteDone.set()
        h.call("unsubscribe_quote", "ENQZ4")
        h.call("unsubscribe_quote", "EPZ4")
        h.log.append(("done", h.client.eventQuoteDone.is_set()))
    h = run(scenario)
    assert h.log == [("return", "unsubscribe_quote", None),
                     ("call", "RemoveInstrument", "F.US.EPZ4"),
                     ("Trace", "Successfully unsubscribe quote for EPZ4"),
                     ("return", "unsubscribe_quote", None), ("done", False)]


def _stream(h, events):
    instrument = Com(h.log, "instrument", FullName="F.US.EPZ4")
    for quotes in events:
        quotes = [h.quote(*q) for q in quotes]
        h.call("OnInstrumentChanged", instrument, quotes, None)
        h.log.append(("cache", h.gateway.cqg_quotes[EP]))


def _sent(h):
    return [e[1] for e in h.log if e[0] == "gw.quote"]


def test_quotes_pass_on_once_a_side_or_a_trade_is_there(run):
    h = run(lambda h: _stream(h, [
        [("qtBid", 5950.0)],                           # no ask yet: cached only
        [("qtAsk", 5950.25), ("qtDayHigh", 5951.0)],   # both sides: one call per quote
        [("qtSettlement", 1.0), ("qtMarker", 2.0)],    # no field, passed on unchanged
        [("qtTrade", 5950.5, False)],                  # invalid: nothing
    ]))
    sent = _sent(h)
    assert [(q.bid_price, q.ask_price, q.high_price) for q in sent] == [
        (5950.0, 5950.25, 0), (5950.0, 5950.25, 5951.0), (5950.0, 5950.25, 5951.0),
        (5950.0, 5950.25, 5951.0)]
    assert sent[0].datetime == NOW and sent[0].security is EP and sent[0].exchange is EP.exchange
    assert h.log[-1] == ("cache", sent[-1])


def test_trade_alone_passes_on_and_unknown_symbols_are_skipped(run):
    def scenario(h):
        _stream(h, [[("qtYesterdaySettlement", 5940.0), ("qtTrade", 5950.5)]])
        h.call("OnInstrumentChanged", Com(h.log, "other", FullName="F.US.ZZZ"),
               [h.quote("qtTrade", 1.0)], None)
    h = run(scenario)
    sent = _sent(h)
    assert [(q.prev_close_price, q.last_price) for q in sent] == [(5940.0, 5950.5)]
    assert h.log[-2:] == [("gw.security", "ZZZ"), ("return", "OnInstrumentChanged", None)]


def test_quote_errors_propagate_and_stop_the_event(run):
    def scenario(h):
        instrument = Com(h.log, "instrument", FullName="F.US.EPZ4")
        unknown_type = Com(h.log, "quote", Type=-5, price=1.0, IsValid=True)
        h.call("OnInstrumentChanged", instrument, [unknown_type, h.quote("qtTrade", 1.0)], None)
        del h.gateway.cqg_quotes[EP]
        h.call("OnInstrumentChanged", instrument, [h.quote("qtTrade", 1.0)], None)
    h = run(scenario)
    assert [e[2:] for e in h.log if e[0] == "raise"] == [("KeyError", "-5"),
                                                         ("KeyError", repr(EP))]
    assert not _sent(h)


def test_quote_type_names(run, cb):
    names = ["qtAsk", "qtBid", "qtCohUndAsk", "qtCohUndBid", "qtDayHigh", "qtDayLow",
             "qtDayOpen", "qtImpliedAsk", "qtImpliedBid", "qtIndicativeOpen", "qtMarker",
             "qtOutrightAsk", "qtOutrightBid", "qtSettlement", "qtTodayMarker", "qtTrade",
             "qtYesterdaySettlement"]

    def scenario(h):
        for name in names:
            h.log.append((name, h.module.QuoteType2String(h.C._values[name])))
        try:
            h.module.QuoteType2String(None)
        except KeyError as exc:
            h.log.append(("KeyError", exc.args))
    h = run(scenario)
    assert dict(h.log[:-1])["qtTodayMarker"] == dict(h.log[:-1])["qtMarker"] == "Marker price"
    assert h.log[-1] == ("KeyError", (None,))
    assert h.reads == names * (len(names) + 1)
