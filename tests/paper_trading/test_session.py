"""A whole session, checked against what the gateway received, the chat, the
fee schedules and figures recomputed from the stored deals."""
import json
import re
import sys
from collections import defaultdict
from datetime import datetime

import numpy as np
import pytest

from conftest import MINUTES, rows, run_session, session_command
from velmor_trader.core.constants import Direction
from velmor_trader.core.deal import Deal
from velmor_trader.gateways.futu.tollbook import TollbookHKFE, TollbookSEHK
from velmor_trader.paper_trading import defaults
from velmor_trader.paper_trading.operator import script

INSTRUMENT = {i.security.code: i for i in defaults.INSTRUMENTS}
TIME = "%Y-%m-%d %H:%M:%S"


def received(finished, kind):
    return [content for k, content in finished.record["received"] if k == kind]


def test_the_output_is_for_a_person(finished):
    out = finished.done.stdout
    assert finished.done.stderr == ""
    assert "WARNING" not in out and "Traceback" not in out
    assert out.count("minute") >= 3 and "Report" in out and "Sharpe ratio" in out
    assert (finished.out / "report.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_stored_rows_are_what_the_gateway_received(finished):
    deals, orders = finished.rows("trading_deal"), finished.rows("trading_order")
    got = received(finished, "deal")
    assert len(got) >= 5
    assert [(d["broker_deal_id"], d["broker_order_id"], d["filled_avg_price"],
             d["filled_quantity"], d["update_time"]) for d in deals] == \
        [(g["deal_id"], g["order_id"], g["filled_avg_price"], g["filled_quantity"],
          datetime.fromisoformat(g["updated_time"]).strftime(TIME)) for g in got]
    latest = {}
    for update in received(finished, "order"):
        latest[update["order_id"]] = update
    by_guid = {o["broker_order_id"]: o for o in orders}
    assert set(by_guid) == set(latest)
    for guid, update in latest.items():
        row = by_guid[guid]
        assert (row["status"], row["filled_quantity"], row["filled_avg_price"]) == \
            (update["status"], update["filled_quantity"], update["filled_avg_price"])
    filled = defaultdict(int)
    for deal in deals:
        order = next(o for o in orders if o["id"] == deal["order_id"])
        assert order["broker_order_id"] == deal["broker_order_id"]
        filled[order["id"]] += deal["filled_quantity"]
    assert all(o["filled_quantity"] == filled[o["id"]] for o in orders)
    assert {o["order_type"] for o in orders} == {"LIMIT", "MARKET", "STOP"}
    assert "CANCELLED" in {o["status"] for o in orders}
    # closed by /close_positions, nothing left working after /stop
    assert finished.rows("position") == []
    assert all(o["status"] in ("FILLED", "CANCELLED", "FAILED") for o in orders)


def test_the_chat_is_answered_and_ends_with_stop(finished):
    record = finished.record
    commands = [c for _, c in script(MINUTES)]
    assert record["commands"] == commands and record["unanswered"] == []
    for command, answer in zip(commands, record["answers"]):
        assert answer.startswith(command.split()[0] + ":")
    transcript = [text for who, text in record["transcript"] if who == "bot"]
    assert any(t.endswith("] Terminating Velmor-Trader...") for t in transcript)
    flags = record["flags_after"]                 # the flags and their arguments
    assert flags.pop("velmor_trader_status") == "Terminated"
    assert {"get_balance", "send_order", "order_string"} <= set(flags)
    assert not any(v for v in flags.values() if isinstance(v, bool)), flags
    (balance,) = finished.rows("balance")
    assert balance["strategy_status"] == "STOPPED"
    operator_orders = [o for o in finished.rows("trading_order") if o["price"] == 330.0]
    assert [o["status"] for o in operator_orders] == ["CANCELLED"]


def stored_deals(finished):
    return [Deal(security=INSTRUMENT[d["security_code"]].security, direction=Direction[d["direction"]],
                 filled_avg_price=d["filled_avg_price"], filled_quantity=d["filled_quantity"],
                 order_id=d["broker_order_id"], deal_id=d["broker_deal_id"],
                 updated_time=datetime.strptime(d["update_time"], TIME))
            for d in finished.rows("trading_deal")]


def test_fees_are_the_schedules_applied_to_each_orders_deals(finished):
    of_order = defaultdict(list)
    for deal in stored_deals(finished):
        of_order[deal.order_id].append(deal)
    kinds = dict.fromkeys(finished.record["figures"]["fees"], 0.0)
    remarks = {o["broker_order_id"]: o["remark"] for o in finished.rows("trading_order")}
    assert {type(d.security).__name__ for ds in of_order.values() for d in ds} == {"Futures", "Stock"}
    for guid, deals in of_order.items():
        schedule = TollbookSEHK if INSTRUMENT[deals[0].security.code].is_stock else TollbookHKFE
        fees = schedule(*deals)
        for kind in kinds:
            kinds[kind] += getattr(fees, kind)
        assert remarks[guid] == "fees %.2f" % fees.total_fees
    assert kinds == pytest.approx(finished.record["figures"]["fees"])


def test_report_figures_recomputed_from_the_stored_deals(finished):
    record, figures = finished.record, finished.record["figures"]
    deals = stored_deals(finished)
    fee_at, of_order = [], defaultdict(list)
    for deal in deals:                    # fees of an order grow with its deals
        before = _total(of_order[deal.order_id])
        of_order[deal.order_id].append(deal)
        fee_at.append(_total(of_order[deal.order_id]) - before)
    equity = []
    for when, prices in record["marks"]:
        when = datetime.fromisoformat(when)
        cash, held = record["start_cash"], defaultdict(float)
        for deal, fee in zip(deals, fee_at):
            if deal.updated_time <= when:
                signed = deal.filled_quantity * (1 if deal.direction == Direction.LONG else -1)
                cash -= signed * deal.filled_avg_price * INSTRUMENT[deal.security.code].multiplier + fee
                held[deal.security.code] += signed
        equity.append(cash + sum(q * prices[c] * INSTRUMENT[c].multiplier for c, q in held.items()))
    equity = np.array(equity)
    first = record["marks"][0][1]
    benchmark = np.array([np.mean([prices[c] / first[c] for c in first])
                          for _, prices in record["marks"]])
    returns, benchmark = equity[1:] / equity[:-1] - 1, benchmark[1:] / benchmark[:-1] - 1
    # one-minute returns of less than a day: per minute, not scaled to a year
    sharpe = returns.mean() / returns.std(ddof=1)
    m2 = sharpe * benchmark.std(ddof=1)                        # at the benchmark's risk
    drawdown = (equity / np.maximum.accumulate(equity) - 1).min()
    assert figures["end_equity"] == pytest.approx(equity[-1])
    assert (figures["sharpe"], figures["modigliani"]) == pytest.approx((sharpe, m2))
    text = (finished.out / "report.txt").read_text()
    assert re.search(rf"Sharpe ratio +{sharpe:+.3f}\n", text)
    assert f"per one-minute return, over {len(returns)} returns: too few" in text
    assert "nan" not in text.lower()
    assert figures["max_drawdown"] == pytest.approx(drawdown)
    assert figures["deals"] == len(deals)
    # flat at the end: the round trips' P&L is what the deals paid and got
    paid = sum((1 if d.direction == Direction.LONG else -1) * d.filled_quantity
               * d.filled_avg_price * INSTRUMENT[d.security.code].multiplier for d in deals)
    assert figures["gross_pnl"] == pytest.approx(-paid)
    assert figures["end_equity"] == pytest.approx(record["start_cash"] - paid - sum(fee_at))


def _total(deals):
    if not deals:
        return 0.0
    schedule = TollbookSEHK if INSTRUMENT[deals[0].security.code].is_stock else TollbookHKFE
    return schedule(*deals).total_fees


# A busy machine that keeps the engine's thread from its wind-down for a
# moment after /stop was answered, once it took in what was queued (whose
# holds would keep the market still): the market must not run on meanwhile.
BUSY_AFTER_STOP = """
import runpy, sys, time
from velmor_trader.paper_trading.session import Session
wind_down = Session._wind_down
def _wind_down(self, *args):
    self.engine.drain()
    time.sleep(0.3)
    return wind_down(self, *args)
Session._wind_down = _wind_down
sys.argv[0] = "x"
runpy.run_module("velmor_trader.paper_trading", run_name="__main__")
"""


def test_the_same_seed_gives_the_same_trades_and_report_at_another_speed(tmp_path):
    keys = ("broker_deal_id", "broker_order_id", "security_code", "direction", "update_time",
            "filled_avg_price", "filled_quantity")
    # The default session: nothing is left to close or fill after its /stop,
    # so nothing but the operator's /stop holds the market still then.
    sessions = {}
    for speed, command in ((300, ()), (40000, (sys.executable, "-c", BUSY_AFTER_STOP))):
        out = tmp_path / f"at{speed}"
        line = session_command(out, minutes=defaults.MINUTES, seed=defaults.SEED, speed=speed)
        done = run_session(out, command=[*command, *line[3:]] if command else line)
        assert done.returncode == 0, done.stdout + done.stderr
        sessions[speed] = ((out / "report.txt").read_bytes(),
                           json.loads((out / "session.json").read_text())["marks"],
                           [tuple(d[k] for k in keys)
                            for d in rows(out / "velmor_trader.db", "trading_deal")])
    assert sessions[300] == sessions[40000]


def test_hong_kong_stocks_fill_in_whole_board_lots(finished):
    lots = {i.security.code: i.security.lot_size for i in defaults.INSTRUMENTS if i.is_stock}
    assert set(lots.values()) == {100}
    of_stocks = [d for d in finished.rows("trading_deal") if d["security_code"] in lots]
    assert of_stocks        # the stored deals are the broker's fills, as checked above
    assert all(d["filled_quantity"] % lots[d["security_code"]] == 0 for d in of_stocks)
    assert all(o["quantity"] % lots[o["security_code"]] == 0
               for o in finished.rows("trading_order") if o["security_code"] in lots)


def test_the_log_has_levels_and_simulated_times_and_no_line_over_and_over(finished):
    lines = (finished.out / "session.log").read_text().splitlines()
    entries = [re.match(r"\d{4}-\d\d-\d\d [\d:,]+ (DEBUG|INFO|WARNING|ERROR) +"
                        r"\[sim (--:--:--|\d\d:\d\d:\d\d)\] \S+: (.*)", line)
               for line in lines]
    entries = [e for e in entries if e]          # a traceback's lines go on without a head
    assert len(entries) > 0.9 * len(lines)
    assert {e[2] for e in entries} - {"--:--:--"}, "no simulated time"
    assert not any(e[1] == "DEBUG" for e in entries)            # --log-level INFO
    said = [e[3] for e in entries]
    assert not any(s.startswith(("Bar index:", "[2] OnTimedBars")) for s in said)
    traced = [s for s in said if s.startswith("GW Account id")]
    assert len(traced) == len(set(traced)) >= 1
    assert any(re.match(r"written \d+ times .*: GW Account id", s) for s in said)
