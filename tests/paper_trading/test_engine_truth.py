"""The engine keeps the broker's truth under faults: cancels refused, lost or
unanswered, database writes that fail for a while, placements whose id
never came, requests with words they do not take, a wind-down that cannot
finish, answers too long for the chat.  Every check reads the simulator's
own records (or the database), not the engine's beliefs."""
import sqlite3
from datetime import timedelta

import pytest

from engine_rig import SECURITY, Rig
from velmor_trader.core.constants import OrderType
from velmor_trader.gateways.cqg.simulator import constants as C
from velmor_trader.paper_trading import defaults, engine as engine_module
from velmor_trader.paper_trading.desk import MAX_MESSAGE, fit
from velmor_trader.paper_trading.strategy import MovingAverageCross

TENCENT, ES = SECURITY["00700"], SECURITY["EPZ4"]
LIMIT = "00700,100,l,o,l,CQG,330.0,None"      # well below the market: rests
WAIT = int(engine_module.CANCEL_WAIT.total_seconds())


@pytest.fixture
def rig(tmp_path):
    rig = Rig(tmp_path)
    yield rig
    rig.close()


def resting(rig):
    return [o.GUID for o in rig.sim.engine.orders if o in rig.sim.engine.resting]


def stored_fills(rig):
    return sorted((d["broker_deal_id"], d["filled_quantity"]) for d in rig.rows("trading_deal"))


def broker_fills(rig):
    return sorted((fill, qty) for fill, (_, qty) in rig.broker_fills().items())


def stored_orders(rig):
    return {o["broker_order_id"]: (o["status"], o["filled_quantity"])
            for o in rig.rows("trading_order")}


def broker_orders(rig):
    status = {C.osFilled: "FILLED", C.osCanceled: "CANCELLED", C.osRejectGW: "FAILED",
              C.osInOrderBook: "SUBMITTED"}
    return {o.GUID: (status[o.GWStatus], o.FilledQuantity) for o in rig.sim.engine.orders}


def notices(rig):
    return [m for m in rig.bot.sent if m.startswith("Notice: ")]


@pytest.mark.parametrize("fault", ["fail", "drop", "mute"])
def test_a_cancel_is_done_only_when_the_broker_says_so(rig, fault):
    rig.chat("send_order", order_string=LIMIT)
    (guid,) = resting(rig)
    getattr(rig.sim.faults, fault)("cancel")   # refused, lost on the way, or its answer lost
    assert rig.chat("cancel_orders") == ["/cancel_orders: cancelling 1 working orders"]
    rig.advance(1)
    # Still live at the broker (or cancelled unheard): still counted, and
    # the operator's next request acts on it again.
    live = fault != "mute"
    assert (guid in resting(rig)) == live
    # A refusal is heard at once, though the client drops its event.
    assert any("refused to cancel" in n for n in notices(rig)) == (fault == "fail")
    assert rig.chat("cancel_orders") == [
        f"/cancel_orders: cancelling {1 if live else 0} working orders"]
    assert [o.order_id for o, _ in rig.engine.working()] == ([guid] if live else [])
    rig.sim.faults.restore("cancel")
    rig.advance(WAIT + 61)                     # unanswered: read back, sent again
    assert resting(rig) == []
    assert stored_orders(rig) == broker_orders(rig) == {guid: ("CANCELLED", 0)}
    assert rig.engine.working() == []


def test_a_cancel_the_broker_keeps_refusing_is_reported_and_followed(rig):
    rig.chat("send_order", order_string=LIMIT)
    (guid,) = resting(rig)
    rig.sim.faults.fail("cancel")
    rig.chat("cancel_order", cancel_order_id=guid[:8], gateway_name="CQG")
    rig.advance(2 * WAIT + 120)
    assert resting(rig) == [guid]
    assert any("has not cancelled LIMIT LONG 100 00700 @ 330" in n and "sent again" in n
               for n in notices(rig)), rig.bot.sent
    assert rig.chat("cancel_order", cancel_order_id=guid[:8], gateway_name="CQG") == [
        f"/cancel_order: cancelling {guid}"]


def test_the_strategy_does_not_act_on_a_cross_while_a_cancel_is_unconfirmed(rig):
    instrument = next(i for i in defaults.INSTRUMENTS if i.security == ES)
    rig.engine.place(ES, -instrument.size, OrderType.MARKET, role="entry")
    rig.advance(1)
    stop = rig.engine.place(ES, instrument.size, OrderType.STOP, price=9000.0, stop=9000.0,
                            role="stop")
    rig.advance(1)
    placed = len(rig.sim.engine.orders)
    rig.sim.faults.fail("cancel")
    strategy = MovingAverageCross(5, 20, 2)
    closes = [10.0] * 20 + [20.0]              # the fast average crosses above the slow
    strategy.on_bar(instrument, closes, rig.sim.clock.now(), rig.engine)
    rig.advance(1)
    # No exit and no entry beside a stop the broker still has: its fill
    # would open a position of its own.
    assert len(rig.sim.engine.orders) == placed and resting(rig) == [stop.order_id]
    assert rig.broker_positions() == {"EPZ4": -instrument.size}
    rig.sim.faults.restore("cancel")
    rig.advance(WAIT + 61)                     # the cancel followed up and confirmed
    assert resting(rig) == []
    strategy.on_bar(instrument, closes, rig.sim.clock.now(), rig.engine)
    rig.advance(1)
    assert rig.broker_positions() == {}        # closed; the new entry waits at the bid
    assert len(resting(rig)) == 1


class Locked:
    """Another program holding the database's write lock (a backup does)."""

    def __init__(self, rig):
        self.connection = sqlite3.connect(rig.folder / "velmor_trader.db", timeout=0)
        self.connection.execute("BEGIN IMMEDIATE")

    def release(self):
        self.connection.rollback()
        self.connection.close()


def test_no_fill_is_lost_to_writes_that_fail_for_a_while(rig):
    lock = Locked(rig)
    try:
        # The broker accepts and fills while nothing can be written.
        filled = rig.engine.place(TENCENT, 5000, OrderType.MARKET, role="entry")
        assert filled is not None
        rig.advance(2)
        assert len(rig.broker_fills()) > 1 and rig.engine.backlog
        assert any("database writes fail" in n for n in notices(rig)), rig.bot.sent
        rig.advance(int(engine_module.WRITES_FAILING_MAX.total_seconds()) + 1)
        # Past the bound no new position; what protects the held one still goes.
        assert rig.engine.place(ES, 1, OrderType.MARKET, role="entry") is None
        assert "no new position" in rig.engine.last_refusal
        assert rig.engine.place(TENCENT, -5000, OrderType.STOP, price=1.0, stop=1.0,
                                role="stop") is not None
        assert rig.engine.reconcile(wait=0.2)  # still lagging: said so
    finally:
        lock.release()
    rig.advance(1)
    assert rig.engine.reconcile(wait=1.0) == []
    assert stored_fills(rig) == broker_fills(rig)
    assert stored_orders(rig) == broker_orders(rig)
    assert rig.stored_positions() == rig.broker_positions() == {"00700": 5000}
    assert any("writes work again" in n for n in notices(rig))


@pytest.mark.parametrize("fault", ["delay", "drop"])
def test_an_unconfirmed_placement_is_answered_so_and_followed_up(rig, fault):
    if fault == "delay":
        rig.sim.faults.delay("order", 5)       # the answer comes after the client gave up
    else:
        rig.sim.faults.drop("order")           # the request never reached the broker
    (answer,) = rig.chat("send_order", order_string="00700,100,l,o,m,CQG,None,None")
    assert answer.startswith("/send_order: sent but unconfirmed (no order id from the broker")
    assert answer.endswith("may still be placed: see /orders")
    rig.sim.faults.restore("order")
    rig.advance(WAIT + 61)
    (notice,) = notices(rig)
    if fault == "delay":
        (guid,) = broker_orders(rig)
        assert f"MARKET LONG 100 00700 as {guid} is placed" in notice
        assert stored_orders(rig) == broker_orders(rig) == {guid: ("FILLED", 100)}
    else:
        assert rig.sim.engine.orders == []
        assert notice.endswith("is not at the broker: it was not placed")


def test_a_trading_request_with_words_it_does_not_take_acts_on_nothing(rig):
    rig.chat("send_order", order_string=LIMIT)
    (guid,) = resting(rig)
    assert rig.chat("cancel_orders", words=["FUTU"]) == [
        "/cancel_orders takes no parameters: nothing done"]
    assert rig.chat("balance", words=["x"])[0].startswith("/balance: cash ")
    rig.advance(1)
    assert resting(rig) == [guid]
    (answer,) = rig.chat("stop", words=["FUTU"])
    assert answer.startswith("/stop takes no parameters (FUTU ignored): stopping: ")
    assert rig.engine.stopping


def test_a_wind_down_that_cannot_finish_says_what_it_left_open(rig):
    rig.engine.place(ES, 2, OrderType.MARKET, role="entry")
    entry = rig.engine.place(TENCENT, 100, OrderType.LIMIT, price=330.0, role="entry")
    rig.advance(1)
    rig.sim.drop_connection()
    rig.advance(1)
    summary = rig.engine.wind_down(close_positions=True, wait=0.3)
    assert rig.broker_positions() == {"EPZ4": 2} and resting(rig) == [entry.order_id]
    assert summary["left_open"] == [f"order LIMIT LONG 100 00700 @ 330 as {entry.order_id}",
                                    "position EPZ4 LONG 2"]
    assert any("left open against the stop's policy" in n for n in notices(rig))


@pytest.mark.parametrize("text", [
    "short answer",
    "\n".join(f"row {n:04d} " + "x" * 50 for n in range(300)),
    "; ".join(f"a1b2c3d4 00700 LONG {n} LIMIT 330 SUBMITTED filled 0" for n in range(300)),
    "field " + "\U0001F600" * 5000 + " end",    # two UTF-16 units each
])
def test_an_answer_is_split_into_messages_the_chat_takes(text):
    parts = fit(text)
    assert all(len(p.encode("utf-16-le")) // 2 <= MAX_MESSAGE for p in parts)
    if "\U0001F600" in text:
        (part,) = parts
        assert part.endswith("[... cut: too long for one message]")
    else:
        assert "\n".join(parts).replace(";\n", "; ") == text


def test_long_answers_reach_the_chat(rig):
    for _ in range(100):
        rig.engine.place(TENCENT, 100, OrderType.LIMIT, price=330.0, role="operator")
    rig.advance(1)
    rig.chat("orders", active_orders=True, num_orders_displayed=500)
    rig.chat("send_order", order_string="Z" * 100_000 + ",100,l,o,m,CQG,None,None")
    assert rig.bot.refused == []
    listing = [m for m in rig.bot.sent if "SUBMITTED filled 0" in m]
    assert len(listing) > 1 and sum(m.count("SUBMITTED") for m in listing) == 100
    (refusal,) = [m for m in rig.bot.sent if m.startswith("/send_order")]
    assert len(refusal) < 300 and "100,000 characters" in refusal


def test_the_local_chat_service_refuses_an_over_long_message():
    from velmor_trader.plugins.telegram.local_server import LocalChatServer
    server = LocalChatServer(token="1:T")
    assert server.call("sendMessage", {"chat_id": 1, "text": "\U0001F600" * 2048})[0] == 200
    status, reply = server.call("sendMessage", {"chat_id": 1, "text": "\U0001F600" * 2049})
    assert (status, reply["description"]) == (400, "Bad Request: message is too long")
    assert len(server.sent_messages()) == 1
