import pytest

from velmor_trader.gateways.cqg.simulator import CQGError, Faults, constants as C


def _ask(sim, kind, account=None, instrument=None):
    """Send the request whose answer is ``kind``; returns the answering
    event's name."""
    cel = sim.cel
    if kind == "logon":
        cel.GWLogon("trader", "secret")
        return "OnGWConnectionStatusChanged"
    if kind == "logoff":
        cel.GWLogoff()
        return "OnGWConnectionStatusChanged"
    if kind == "instrument":
        cel.NewInstrument("CLEF5")
        return "OnInstrumentResolved"
    if kind == "ticks":
        request = cel.CreateTicksRequest()
        request.Symbol = "CLEF5"
        cel.RequestTicks(request)
        return "OnTicksResolved"
    if kind == "bars":
        request = cel.CreateTimedBarsRequest()
        request.Symbol = "CLEF5"
        request.IntradayPeriod = C.pfds1Min
        cel.RequestTimedBars(request)
        return "OnTimedBarsResolved"
    if kind == "accounts":
        cel.AccountSubscriptionLevel = C.aslNone
        cel.AccountSubscriptionLevel = C.aslAccountUpdatesAndOrders
        return "OnAccountChanged"
    order = cel.CreateOrder(C.otLimit, instrument, account, 1, C.osdBuy,
                            sim.market.books["F.US.EPZ4"].bid - 20)
    order.Place()
    return "OnOrderChanged"


ALL_KINDS = ["logon", "logoff", "instrument", "ticks", "bars", "order",
             "cancel", "accounts"]


def _name_for(kind):
    return {"logon": "OnGWConnectionStatusChanged",
            "logoff": "OnGWConnectionStatusChanged",
            "instrument": "OnInstrumentResolved", "ticks": "OnTicksResolved",
            "bars": "OnTimedBarsResolved", "order": "OnOrderChanged",
            "cancel": "OnOrderChanged", "accounts": "OnAccountChanged"}[kind]


def _send_faulty(sim, sink, kind, account, instrument, switch_on):
    """Switch the fault on and send the request of ``kind``; returns how
    many answering events there were before."""
    if kind == "cancel":                     # place normally, then cancel
        _ask(sim, "order", account, instrument)
        sim.wait_idle()
        switch_on()
        before = len(sink.of("OnOrderChanged"))
        sim.engine.orders[-1].Cancel()
        return before
    switch_on()
    before = len(sink.of(_name_for(kind)))
    _ask(sim, kind, account, instrument)
    return before


@pytest.mark.parametrize("kind", ALL_KINDS)
def test_delayed_answer_arrives_after_the_delay(online, sink, kind):
    sim, account, instrument = online
    before = _send_faulty(sim, sink, kind, account, instrument,
                          lambda: sim.faults.delay(kind, 30))
    sim.advance(29)
    assert sink.of(_name_for(kind))[before:] == []
    sim.advance(1)
    assert sink.of(_name_for(kind))[before:]


@pytest.mark.parametrize("kind", ALL_KINDS)
def test_dropped_answer_never_arrives(online, sink, kind):
    sim, account, instrument = online
    before = _send_faulty(sim, sink, kind, account, instrument,
                          lambda: sim.faults.drop(kind))
    sim.advance(120)
    assert sink.of(_name_for(kind))[before:] == []


@pytest.mark.parametrize("kind, position", [
    ("instrument", 2), ("ticks", 1), ("bars", 1)])
def test_failed_resolution_carries_the_error(online, sink, kind, position):
    sim, account, instrument = online
    sim.faults.fail(kind, 7, "server busy")
    name = _ask(sim, kind)
    sim.wait_idle()
    error = sink.of(name)[-1].args[position]
    assert isinstance(error, CQGError)
    assert (error.Code, error.Description) == (7, "server busy")


def test_failed_order_is_rejected_with_error_events(online, sink):
    sim, account, instrument = online
    sim.faults.fail("order", 9, "risk check failed")
    _ask(sim, "order", account, instrument)
    sim.wait_idle()
    changes = [e.info for e in sink.of("OnOrderChanged")]
    assert [(c["status"], c["error"].Code) for c in changes] == [
        (C.osInTransit, 9), (C.osRejectGW, 9)]


def test_failed_cancel_leaves_order_working(online, sink):
    sim, account, instrument = online
    _ask(sim, "order", account, instrument)
    sim.wait_idle()
    order = sim.engine.orders[-1]
    sim.faults.fail("cancel")
    order.Cancel()
    sim.wait_idle()
    changes = [e.info for e in sink.of("OnOrderChanged")][-2:]
    assert [c["status"] for c in changes] == [C.osInCancel, C.osInOrderBook]
    assert all(c["error"] is not None for c in changes)
    assert order in sim.engine.resting


def test_failed_logon_is_not_logged_on(sim, sink):
    sim.faults.fail("logon")
    sim.cel.GWLogon("trader", "secret")
    sim.wait_idle()
    assert sink.of("OnGWConnectionStatusChanged")[-1].args == (
        C.csConnectionNotLoggedOn,)
    assert not sim.logged_on


def test_fault_switches_check_their_kind_and_can_be_restored(online, sink):
    faults = Faults()
    with pytest.raises(ValueError):
        faults.delay("quotes", 1)
    with pytest.raises(ValueError):
        faults.fail("accounts")
    sim, _, _ = online
    sim.faults.drop("instrument")
    sim.faults.restore("instrument")
    sim.cel.NewInstrument("CLEF5")
    sim.wait_idle()
    assert sink.of("OnInstrumentResolved")[-1].args[2] is None


@pytest.mark.parametrize("kind", ["order", "cancel"])
def test_muted_request_takes_effect_without_telling_the_client(online, sink, kind):
    sim, account, instrument = online
    if kind == "cancel":
        _ask(sim, "order", account, instrument)
        sim.wait_idle()
    sim.faults.mute(kind)
    before = len(sink.of("OnOrderChanged"))
    if kind == "order":
        _ask(sim, "order", account, instrument)
    else:
        sim.engine.orders[-1].Cancel()
    sim.wait_idle()
    assert len(sink.of("OnOrderChanged")) == before
    expected = C.osInOrderBook if kind == "order" else C.osCanceled
    assert sim.engine.orders[-1].GWStatus == expected
    sim.faults.restore(kind)
    assert not sim.faults.muted
    with pytest.raises(ValueError):
        sim.faults.mute("bars")
