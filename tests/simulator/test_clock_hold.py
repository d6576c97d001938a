"""Holding the real-time clock: what a client does under a hold meets the
market as it was when the hold was taken, however long it takes."""
import threading
import time

import pytest

from velmor_trader.gateways.cqg.simulator import Simulator, constants as C

SPEED = 6000.0                      # 100 simulated minutes a second


def test_a_held_start_stands_still_until_released(sink):
    sim = Simulator(speed=SPEED, held=True)
    sim.start(sink)
    try:
        time.sleep(0.1)
        sim.wait_idle()
        assert sim.clock.seconds() == 0.0
        sim.release()
        time.sleep(0.05)
        assert sim.clock.seconds() > 60
        with pytest.raises(RuntimeError):
            sim.release()
    finally:
        sim.stop()


class HoldingSink:
    """Holds the clock at the first trade quote after ``armed`` is set."""

    def __init__(self, sim, records):
        self.sim, self.records = sim, records
        self.armed, self.held = threading.Event(), threading.Event()
        self.at = None

    def __getattr__(self, name):
        return lambda *args: self.records.append((name, args))

    def OnInstrumentChanged(self, instrument, quotes, properties):
        if self.armed.is_set() and not self.held.is_set():
            self.sim.hold()
            self.at = self.sim.clock.now()
            self.held.set()


def test_an_order_placed_under_a_hold_fills_at_the_held_time():
    records = []
    sim = Simulator(seed=3, speed=SPEED, held=True)
    sink = HoldingSink(sim, records)
    sim.start(sink)
    cel = sim.cel
    try:
        cel.AccountSubscriptionLevel = C.aslAccountUpdatesAndOrders
        cel.GWLogon("trader", "secret")
        cel.NewInstrument("EPZ4")
        sim.wait_idle()
        instrument, account = cel.Instruments.Item(0), cel.Accounts.Item(0)
        instrument.DataSubscriptionLevel = C.dsQuotesAndBBA
        sink.armed.set()
        sim.release()
        assert sink.held.wait(5)
        ask = instrument.Ask.price
        time.sleep(0.1)                 # ten simulated minutes, were it not held
        cel.CreateOrder(C.otMarket, instrument, account, 1, C.osdBuy).Place()
        sim.wait_idle()
        fills = [args[3] for name, args in records if name == "OnOrderChanged" and args[3]]
        assert [(f.Timestamp, f.Price) for f in fills] == [(sink.at, ask)]
        sim.release()
    finally:
        sim.stop()
