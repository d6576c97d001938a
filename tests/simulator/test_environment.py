import logging
import threading

import pytest

from velmor_trader.gateways.cqg.simulator import (
    Simulator, install_win32com, uninstall_win32com)
from velmor_trader.gateways.cqg.wrapper import CELEnvironment as env_module
from velmor_trader.gateways.cqg.wrapper.CELEnvironment import (
    AssertMessage, CELEnvironment, CELSinkBase, Trace)


@pytest.fixture
def win32com_client():
    installed = install_win32com()
    import win32com.client
    yield win32com.client
    if installed:
        uninstall_win32com()


class Bridge(CELSinkBase):
    """Waits like the broker client: the caller blocks on an event that
    the API's event thread sets."""

    def __init__(self, client):
        self.client = client
        self.up = threading.Event()
        self.resolved = threading.Event()
        self.quotes = []
        self.threads = set()

    def OnGWConnectionStatusChanged(self, status):
        self.threads.add(threading.current_thread())
        if status == self.client.constants.csConnectionUp:
            self.up.set()

    def OnInstrumentResolved(self, symbol, instrument, error):
        instrument = self.client.Dispatch(instrument)
        instrument.DataSubscriptionLevel = self.client.constants.dsQuotesAndBBA
        self.resolved.set()

    def OnInstrumentChanged(self, instrument, quotes, properties):
        self.threads.add(threading.current_thread())
        for quote in self.client.Dispatch(quotes):
            if quote.IsValid:
                self.quotes.append((quote.Type, quote.price))


def test_environment_runs_the_api_for_a_sink(win32com_client):
    bridge = Bridge(win32com_client)
    environment = CELEnvironment()
    cel = environment.Init(bridge, seed=3)
    assert environment.cqgCEL is cel and environment.simulator.seed == 3
    with pytest.raises(RuntimeError):
        environment.Init(bridge)
    try:
        cel.GWLogon("trader", "secret")
        assert bridge.up.wait(5)
        cel.NewInstrument("GCEG5")
        assert bridge.resolved.wait(5)
        environment.simulator.advance(10)
        assert len(bridge.quotes) > 20
        assert threading.current_thread() not in bridge.threads
    finally:
        environment.Shutdown()
    assert environment.cqgCEL is None
    environment.Shutdown()                       # a second stop is harmless


def test_environment_takes_another_server():
    started = []

    def factory(sink, **options):
        simulator = Simulator(**options)
        simulator.start(sink)
        started.append(simulator)
        return simulator, simulator.cel

    with CELEnvironment(factory) as environment:
        environment.Init(CELSinkBase(), speed=10.0)
        assert started[0].loop.running and environment.cqgCEL is started[0].cel
    assert not started[0].loop.running


def test_trace_and_assert_message_log(caplog):
    caplog.set_level(logging.INFO, logger=env_module.logger.name)
    Trace("hello")
    AssertMessage(True, "fine")
    AssertMessage(False, "timed out!")
    assert [(r.levelno, r.getMessage()) for r in caplog.records] == [
        (logging.INFO, "hello"), (logging.WARNING, "timed out!")]
