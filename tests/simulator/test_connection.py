import threading

from velmor_trader.gateways.cqg.simulator import CQGError, constants as C


def test_logon_and_logoff_report_gateway_status(sim, sink):
    assert sink.names() == ["OnDataConnectionStatusChanged"]
    assert sink.events[0].args == (C.csConnectionUp,)
    assert list(sim.cel.Accounts) == []          # nothing before logon
    sim.cel.GWLogon("trader", "secret")
    sim.wait_idle()
    assert sink.of("OnGWConnectionStatusChanged")[-1].args == (C.csConnectionUp,)
    assert sim.cel.Accounts.Count == 1
    sim.cel.GWLogoff()
    sim.wait_idle()
    assert [e.args[0] for e in sink.of("OnGWConnectionStatusChanged")] == [
        C.csConnectionUp, C.csConnectionDown]
    assert list(sim.cel.Accounts) == []


def test_events_come_from_one_event_thread_never_the_callers(sim, sink):
    sim.cel.GWLogon("trader", "secret")
    sim.cel.NewInstrument("EPZ4")
    sim.wait_idle()
    sink.of("OnInstrumentResolved")[0].args[1].DataSubscriptionLevel = \
        C.dsQuotesAndBBA
    sim.advance(3)
    threads = {e.thread for e in sink.events}
    assert threads == {"cqg-sim-events"}
    assert threading.current_thread().name not in threads


def test_empty_user_is_not_logged_on(sim, sink):
    sim.cel.GWLogon("", "")
    sim.wait_idle()
    assert sink.of("OnGWConnectionStatusChanged")[-1].args == (
        C.csConnectionNotLoggedOn,)
    assert not sim.logged_on


def test_accounts_reload_when_subscription_level_is_raised(sim, sink):
    sim.cel.GWLogon("trader", "secret")
    sim.wait_idle()
    assert not sink.of("OnAccountChanged")       # level still aslNone
    sim.cel.AccountSubscriptionLevel = C.aslAccountUpdatesAndOrders
    sim.wait_idle()
    assert [e.args for e in sink.of("OnAccountChanged")] == [
        (C.actAccountsReloaded, None, None)]
    sim.cel.AccountSubscriptionLevel = C.aslAccountUpdatesAndOrders
    sim.wait_idle()
    assert len(sink.of("OnAccountChanged")) == 1   # no raise, no reload


def test_dropped_connection_stops_data_until_restored(online, sink):
    sim, _, instrument = online
    instrument.DataSubscriptionLevel = C.dsQuotesAndBBA
    sim.wait_idle()
    sim.drop_connection()
    sim.wait_idle()
    assert [(e.name, e.args) for e in sink.events[-2:]] == [
        ("OnGWConnectionStatusChanged", (C.csConnectionDown,)),
        ("OnDataConnectionStatusChanged", (C.csConnectionDown,))]
    sink.clear()
    sim.advance(5)
    assert sink.events == []
    sim.restore_connection()
    sim.advance(1)
    assert sink.names()[:2] == ["OnDataConnectionStatusChanged",
                                "OnGWConnectionStatusChanged"]
    assert sink.events[1].args == (C.csConnectionUp,)
    assert "OnInstrumentChanged" in sink.names()


def test_injected_data_error_carries_error_object(sim, sink):
    sim.inject_data_error(42, "feed gap")
    sim.wait_idle()
    (event,) = sink.of("OnDataError")
    error, description = event.args
    assert isinstance(error, CQGError)
    assert (error.Code, error.Description, description) == (42, "feed gap",
                                                            "feed gap")


def test_failing_sink_handler_does_not_stop_the_event_thread(sim, sink):
    def broken(status):
        raise RuntimeError("boom")
    sink.OnGWConnectionStatusChanged = broken
    sim.cel.GWLogon("trader", "secret")
    sim.inject_data_error()
    sim.wait_idle()
    assert [type(e) for e in sim.loop.sink_errors] == [RuntimeError]
    assert sink.of("OnDataError")


def test_stop_ends_the_event_thread(sink):
    from velmor_trader.gateways.cqg.simulator import Simulator
    sim = Simulator()
    sim.start(sink)
    sim.wait_idle()
    sim.stop()
    assert not sim.loop.running
    sim.cel.GWLogon("trader", "secret")
    assert sink.of("OnGWConnectionStatusChanged") == []
