"""The native client against the simulated server: every answer and every
event comes on the server's own thread while the client waits."""
import gc
import threading
import tracemalloc
from types import SimpleNamespace

import pytest

from velmor_trader.core.constants import Direction, OrderStatus, OrderType
from velmor_trader.core.order import Order
from velmor_trader.core.security import Futures
from velmor_trader.gateways.cqg.gateway import CqgGateway
from velmor_trader.gateways.cqg.simulator import constants as C
from velmor_trader.gateways.cqg.wrapper.CELEnvironment import CELEnvironment

EP = Futures("EPZ4", "E-mini S&P 500")
ACCOUNT = 16001


@pytest.fixture
def quick(cb, monkeypatch):
    """No 2-second pause in the account subscription; short waits."""
    monkeypatch.setattr(cb, "time", SimpleNamespace(sleep=lambda s: None))
    monkeypatch.setattr(cb, "TIMEOUT", 3)
    return cb


class Session:
    def __init__(self, cb, **options):
        self.env = CELEnvironment()
        self.bridge = cb.CelBridge()
        self.env.Init(self.bridge, **options)
        self.sim = self.env.simulator
        self.gateway = CqgGateway([EP], self.env)
        self.bridge.Init(self.gateway)
        self.quotes, self.orders, self.deals = [], [], []
        self.gateway.on_quote(self.quotes.append)
        self.gateway.on_order(self.orders.append)
        self.gateway.on_deal(self.deals.append)

    def open(self):
        self.bridge.Logon("trader", "secret")
        self.bridge.subscribe_account_and_positions(ACCOUNT)
        self.bridge.subscribe_quote("EPZ4")
        self.sim.advance(2)

    def place(self, kind, direction=Direction.LONG, price=0.0, stop=None, quantity=1):
        return self.bridge.place_order(Order(EP, price, quantity, direction, kind, stop_price=stop))

    def updates(self, guid):
        return [o for o in self.orders if o["order_id"] == guid]

    def close(self):
        self.bridge.Logoff()
        self.env.Shutdown()


@pytest.fixture
def session(quick):
    s = Session(quick, seed=11)
    s.open()
    yield s
    s.env.Shutdown()


def test_session_through_every_kind_of_order(session):
    s, bridge = session, session.bridge
    assert bridge.eventGatewayIsUp.is_set() and bridge.GWAccountID == ACCOUNT
    assert bridge.account_balance.cash == 1_000_000.0 and bridge.positions == []
    assert s.quotes and s.quotes[-1].bid_price and s.quotes[-1].ask_price
    assert s.gateway.cqg_quotes[EP] is s.quotes[-1]

    market = s.place(OrderType.MARKET, quantity=2)
    s.sim.wait_idle()
    assert s.updates(market)[-1]["status"] == OrderStatus.FILLED
    assert sum(d["filled_quantity"] for d in s.deals if d["order_id"] == market) == 2

    ask = s.gateway.cqg_quotes[EP].ask_price
    limit = s.place(OrderType.LIMIT, price=ask + 5)          # marketable: fills at once
    stop = s.place(OrderType.STOP, Direction.SHORT, stop=ask - 0.5)
    resting = s.place(OrderType.LIMIT, price=ask - 50)       # rests until cancelled
    rejected = s.place(OrderType.MARKET, quantity=50_000)    # beyond the order size limit
    assert len({market, limit, stop, resting, rejected}) == 5
    for _ in range(30):
        s.sim.advance(20)
        if s.updates(stop) and s.updates(stop)[-1]["status"] == OrderStatus.FILLED:
            break
    bridge.cancel_order(resting)
    s.sim.wait_idle()

    assert [o["status"] for o in s.updates(limit)] == [OrderStatus.SUBMITTED, OrderStatus.FILLED]
    assert s.updates(stop)[0]["status"] == OrderStatus.SUBMITTED
    assert s.updates(stop)[-1]["status"] == OrderStatus.FILLED
    assert [o["status"] for o in s.updates(resting)][-2:] == [OrderStatus.UNKNOWN,
                                                             OrderStatus.CANCELLED]
    assert [o["status"] for o in s.updates(rejected)] == [OrderStatus.FAILED]
    assert {d["order_id"] for d in s.deals} == {market, limit, stop}
    assert all(d["updated_time"].microsecond == 0 for d in s.deals)

    bridge.update_positions()
    bridge.update_account_balance()
    (position,) = bridge.positions
    assert (position.security, position.direction, position.quantity) == (EP, Direction.LONG, 2)
    assert bridge.account_balance.maintenance_margin > 0
    bridge.unsubscribe_quote("EPZ4")
    s.close()
    assert bridge.eventGatewayIsDown.is_set() and not s.sim.loop.sink_errors


def test_order_changes_the_market_does_not_make(session):
    s = session
    guid = s.place(OrderType.MARKET)
    s.sim.wait_idle()
    deals = len(s.deals)
    s.sim.amend_fill(guid, C.fsBusted)          # a busted fill is no deal
    for status in (C.osExpired, C.osRejectFCM, C.osDisconnected, C.osInTransitTimeout):
        s.sim.order_status(guid, status)
    s.sim.remove_order(guid)
    s.sim.order_status(guid, 12345)             # outside the table
    s.sim.wait_idle()
    assert len(s.deals) == deals
    assert [o["status"] for o in s.updates(guid)][-6:] == [OrderStatus.FILLED] + [OrderStatus.FAILED] * 5
    (error,) = s.sim.loop.sink_errors
    assert str(error) == "Order status 12345 is not valid to be handled by velmor_trader."


def test_delayed_and_troubled_connection_changes_nothing(session):
    s = session
    s.bridge.eventGatewayIsDown.clear()
    s.sim.connection_state(C.csConnectionDelayed)
    s.sim.connection_state(C.csConnectionTrouble)
    s.sim.wait_idle()
    assert s.bridge.eventGatewayIsUp.is_set() and not s.bridge.eventGatewayIsDown.is_set()


def test_late_answers_arrive_while_the_client_waits(quick):
    """Answers late by more than the wait on a manual clock that follows them."""
    s = Session(quick, seed=3, follow_answers=True)
    try:
        for kind in ("logon", "accounts", "instrument", "order"):
            s.sim.faults.delay(kind, 30)
        s.open()
        guid = s.place(OrderType.MARKET)
        assert s.sim.clock.seconds() >= 4 * 30
        s.sim.wait_idle()
        assert s.updates(guid)[-1]["status"] == OrderStatus.FILLED and s.quotes
        s.close()
    finally:
        s.env.Shutdown()


def test_fifty_sessions_leave_no_thread_and_no_memory_behind(quick):
    def one_session():
        s = Session(quick, seed=5)
        s.open()
        s.place(OrderType.MARKET)
        s.sim.wait_idle()
        assert s.deals and s.quotes
        s.close()

    # Threads other tests left behind may end meanwhile: only new ones count.
    threads = set(threading.enumerate())
    for _ in range(5):
        one_session()
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(45):
            one_session()
        gc.collect()
        growth = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert set(threading.enumerate()) <= threads
    assert growth < 256 * 1024, growth


# -- the placement handshake under late answers and threads -------------------

@pytest.fixture
def late(quick, monkeypatch):
    """Order answers 30 simulated seconds late on a manual clock, so they
    come only when the test lets time run; placements wait 0.2 s."""
    monkeypatch.setattr(quick, "TIMEOUT", 0.2)
    s = Session(quick, seed=11)
    s.open()
    s.sim.faults.delay("order", 30)
    yield s
    s.env.Shutdown()


def _placed_in(monkeypatch):
    """An event set once an order's Place has returned."""
    from velmor_trader.gateways.cqg.simulator.orders import Order as SimOrder
    placed, place = threading.Event(), SimOrder.Place
    monkeypatch.setattr(SimOrder, "Place", lambda self: (place(self), placed.set())[0])
    return placed


def _guid_of_last_order(s):
    return s.sim.engine.orders[-1].GUID


def test_late_answer_of_a_timed_out_order_completes_no_later_placement(late):
    s = late
    with pytest.raises(ValueError, match="Order id can not be obtained"):
        s.place(OrderType.MARKET)
    s.sim.advance(30)                # A's "added" arrives while nothing waits
    with pytest.raises(ValueError, match="Order id can not be obtained"):
        s.place(OrderType.MARKET)    # B times out too: it must not get A's id


def test_late_answer_arriving_while_another_placement_waits(late, quick, monkeypatch, capsys):
    s = late
    with pytest.raises(ValueError):
        s.place(OrderType.MARKET)                       # A times out
    placed = _placed_in(monkeypatch)
    monkeypatch.setattr(quick, "TIMEOUT", 5)
    result = {}
    b = threading.Thread(target=lambda: result.update(guid=s.place(OrderType.MARKET)))
    b.start()
    assert placed.wait(5)
    s.sim.advance(30)                # A's answer, then B's, while B waits
    b.join(10)
    a_guid, b_guid = (o.GUID for o in s.sim.engine.orders)
    assert result["guid"] == b_guid
    assert capsys.readouterr().out.splitlines() == [f"orderid {a_guid} is not placed by algo"]


def test_answer_during_place_completes_it(session, monkeypatch):
    from velmor_trader.gateways.cqg.simulator.orders import Order as SimOrder
    place = SimOrder.Place

    def place_and_answer(order):     # the "added" event comes before Place returns
        place(order)
        session.sim.wait_idle()
    monkeypatch.setattr(SimOrder, "Place", place_and_answer)
    assert session.place(OrderType.MARKET) == _guid_of_last_order(session)


def test_threads_placing_on_one_client_each_get_their_own_order(session):
    # Each thread's orders carry its own quantity: the broker's order with the
    # returned GUID tells whose it is.
    got = {quantity: [] for quantity in (1, 2, 3, 4)}

    def place_many(quantity):
        for _ in range(15):
            got[quantity].append(session.place(OrderType.MARKET, quantity=quantity))
    threads = [threading.Thread(target=place_many, args=(q,)) for q in got]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(30)
    quantity_of = {o.GUID: o.Quantity for o in session.sim.engine.orders}
    assert {q: [quantity_of[g] for g in guids] for q, guids in got.items()} == \
        {q: [q] * 15 for q in got}
