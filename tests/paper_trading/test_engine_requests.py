"""The chat desk against the simulated broker: hostile order strings, the
broker's verdict, other gateways, failing requests and requests that come
faster than the engine answers."""
import logging
import random
import threading
import time

import pytest

from engine_rig import FakeBot, Rig

LIMIT = "00700,100,l,o,l,CQG,330.0,None"      # well below the market: rests


@pytest.fixture
def rig(tmp_path):
    rig = Rig(tmp_path)
    yield rig
    rig.close()


def working_at_broker(rig):
    return [o for o in rig.sim.engine.orders if o in rig.sim.engine.resting]


def test_hostile_order_strings_are_refused_and_a_fill_is_stored(rig):
    hostile = ["00700,106,l,o,m,CQG,nan,None", "00700,100,l,o,l,CQG,1e309,None",
               "00700,1_08,l,o,m,CQG,None,None", "00700,\u0661\u0660\u0668,l,o,m,CQG,None,None",
               "00700,100,l,o,l,CQG,-330,None", "EPZ4,1,s,o,s,CQG,None,0",
               "00700,1" + "0" * 23 + ",l,o,m,CQG,None,None"]
    for text in hostile:
        (answer,) = rig.chat("send_order", order_string=text)
        assert answer.startswith("/send_order: refused ("), (text, answer)
    assert rig.sim.engine.orders == []
    (answer,) = rig.chat("send_order", order_string="00700,5000,l,o,m,CQG,None,None")
    assert answer.startswith("/send_order: placed and filled MARKET LONG 5000 00700"), answer
    (order,) = rig.rows("trading_order")
    assert (order["status"], order["filled_quantity"]) == ("FILLED", 5000)
    assert sum(d["filled_quantity"] for d in rig.rows("trading_deal")) == 5000
    assert rig.stored_positions() == rig.broker_positions() == {"00700": 5000}


def test_the_broker_rejection_is_answered_as_a_rejection(rig):
    # Within the desk's bound, above the simulated broker's.
    (answer,) = rig.chat("send_order", order_string="00700,20000,l,o,l,CQG,330.0,None")
    assert answer.startswith("/send_order: rejected by the broker: LIMIT LONG 20000 00700"), answer
    (answer,) = rig.chat("send_order", order_string=LIMIT)
    assert answer.startswith("/send_order: placed LIMIT LONG 100 00700 @ 330 as "), answer
    assert [o["status"] for o in rig.rows("trading_order")] == ["FAILED", "SUBMITTED"]


def test_requests_for_another_gateway_act_on_nothing(rig):
    rig.chat("send_order", order_string="EPZ4,2,l,o,m,CQG,None,None")
    rig.chat("send_order", order_string=LIMIT)
    (resting,) = working_at_broker(rig)
    answers = (rig.chat("close_positions", close_positions_gateway_name="FUTU")
               + rig.chat("cancel_order", cancel_order_id=resting.GUID[:8], gateway_name="FUTU")
               + rig.chat("send_order", order_string="EPZ4,2,s,c,m,FUTU,None,None"))
    assert len(answers) == 3 and all("gateway FUTU is not this engine's (CQG)" in a
                                     for a in answers), answers
    assert rig.broker_positions() == {"EPZ4": 2} and working_at_broker(rig) == [resting]
    # The engine's own gateway, in any case, and no name at all.
    (answer,) = rig.chat("cancel_order", cancel_order_id=resting.GUID[:8], gateway_name="cqg")
    assert answer == f"/cancel_order: cancelling {resting.GUID}"
    (answer,) = rig.chat("close_positions", close_positions_gateway_name=None)
    assert answer == "/close_positions: closing EPZ4 LONG 2"
    rig.advance(1)
    assert rig.broker_positions() == {} and working_at_broker(rig) == []


def test_a_failing_request_is_answered_and_the_engine_goes_on(rig, monkeypatch, caplog):
    def broken():
        raise RuntimeError("disk gone")
    monkeypatch.setattr(rig.store, "deals", broken)
    with caplog.at_level(logging.ERROR, logger="velmor_trader.paper_trading"):
        assert rig.chat("deals", num_deals_displayed=3) == [
            "/deals: failed (RuntimeError: disk gone)"]
    assert "disk gone" in caplog.text and "Traceback" in caplog.text
    assert rig.chat("positions") == ["/positions: no position"]


@pytest.mark.parametrize("spacing", ["burst", "one after another"])
def test_every_request_is_answered_once(tmp_path, spacing):
    rig = Rig(tmp_path, bot=FakeBot(latency=0.002))
    pace = random.Random(5)
    sent = rig.bot.sent

    def operator():
        # The bot's dispatcher thread, acknowledging as fast as it can.
        try:
            for n in range(30):
                command, arguments = REQUESTS[n // 2 % 4]   # each twice in a row
                rig.bot.request(command, **arguments)
                deadline = time.monotonic() + 5
                while spacing != "burst" and len(sent) <= n and time.monotonic() < deadline:
                    time.sleep(pace.random() / 2000)
            deadline = time.monotonic() + 10
            while len(sent) < 30 and time.monotonic() < deadline:
                time.sleep(0.01)
        finally:
            rig.engine.stop()
    thread = threading.Thread(target=operator)
    thread.start()
    try:
        rig.engine.run()
    finally:
        thread.join()
        rig.close()
    assert [a.split(": ")[0] for a in sent] == ["/" + REQUESTS[n // 2 % 4][0]
                                                for n in range(30)], sent
    assert not any("failed" in a for a in sent), sent
    assert len(rig.engine.working()) == 2             # each /cancel_orders left none
    assert not any(getattr(rig.bot, f) for f in ("get_balance", "send_order", "get_orders",
                                                  "cancel_orders"))


REQUESTS = [("balance", {}), ("send_order", {"order_string": LIMIT}),
            ("orders", {"active_orders": False, "num_orders_displayed": 1}),
            ("cancel_orders", {})]
