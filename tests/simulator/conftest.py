import threading
from dataclasses import dataclass

import pytest

from velmor_trader.gateways.cqg.simulator import Simulator, constants as C


@dataclass
class Event:
    name: str
    args: tuple
    info: object      # values read at delivery time (objects change later)
    thread: str


def _quotes(quotes):
    return [(q.Type, q.IsValid, q.price, q.Volume) for q in quotes]


def _order(change, order, old, fill, error):
    props = order.Properties
    return {
        "change": change,
        "status": props(C.opGWStatus).Value,
        "old_status": old(C.opGWStatus).Value,
        "guid": props(C.opGUID).Value,
        "time": props(C.opEventServerTimestamp).Value,
        "avg": props(C.opAverageFillPrice).Value,
        "filled": props(C.opFilledQuantity).Value,
        "fill": None if not fill else (fill.Status, fill.Price, fill.Quantity,
                                       fill.Order.GUID, fill.Id),
        "error": error,
    }


def _account(change, account, position):
    if position is None:
        return (change, None)
    return (change, position.InstrumentName, position.Quantity,
            position.AveragePrice)


INFO = {
    "OnInstrumentChanged": lambda i, q, p: (i.FullName, _quotes(q)),
    "OnTicksAdded": lambda t, n: [(x.PriceType, x.Price, x.Volume)
                                  for x in list(t)[t.Count - n:]],
    "OnTicksResolved": lambda t, e: (t.Count, e),
    "OnTimedBarsResolved": lambda b, e: (b.Count, e),
    "OnTimedBarsAdded": lambda b: b.Count,
    "OnOrderChanged": _order,
    "OnAccountChanged": _account,
}


class RecordingSink:
    """Records every event with what it carried at delivery time."""

    def __init__(self):
        self.events = []
        self._cond = threading.Condition()

    def __getattr__(self, name):
        if not name.startswith("On"):
            raise AttributeError(name)

        def handler(*args):
            info = INFO.get(name, lambda *a: a)(*args)
            with self._cond:
                self.events.append(Event(name, args, info,
                                         threading.current_thread().name))
                self._cond.notify_all()
        return handler

    def of(self, name):
        return [e for e in self.events if e.name == name]

    def names(self):
        return [e.name for e in self.events]

    def clear(self):
        self.events.clear()

    def wait_for(self, name, timeout=5.0):
        with self._cond:
            return self._cond.wait_for(lambda: self.of(name), timeout)


@pytest.fixture
def sink():
    return RecordingSink()


@pytest.fixture
def new_sink():
    """Makes further sinks (for tests that run several simulators)."""
    return RecordingSink


@pytest.fixture
def sim(sink):
    simulator = Simulator(seed=7)
    simulator.start(sink)
    simulator.wait_idle()
    yield simulator
    simulator.stop()


@pytest.fixture
def online(sim, sink):
    """Logged on, accounts subscribed, one instrument streaming quotes."""
    cel = sim.cel
    cel.AccountSubscriptionLevel = C.aslAccountUpdatesAndOrders
    cel.GWLogon("trader", "secret")
    sim.wait_idle()
    account = cel.Accounts.Item(0)
    account.PositionSubcriptionLevel = C.pslSnapshotAndUpdates
    cel.NewInstrument("EPZ4")
    sim.wait_idle()
    instrument = sink.of("OnInstrumentResolved")[-1].args[1]
    sink.clear()
    return sim, account, instrument
