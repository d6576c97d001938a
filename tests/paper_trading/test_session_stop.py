"""A session stopped by a signal, and a folder one session holds."""
import json
import re
import signal
import sqlite3
import time
from collections import defaultdict

import pytest

from conftest import rows, run_session, start_session

DONE = ("FILLED", "CANCELLED", "FAILED")


def wait_for(predicate, what, timeout=60):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            if predicate():
                return
        except sqlite3.Error:                 # no tables yet
            pass
        time.sleep(0.02)
    raise AssertionError(f"no {what} within {timeout} s")


def protected_position(db):
    """Whether the session holds a position with its stop working."""
    stops = [o for o in rows(db, "trading_order") if o["order_type"] == "STOP"
             and o["status"] not in DONE]
    return bool(stops and rows(db, "position"))


def signed(row, quantity="quantity"):
    return row[quantity] * (1 if row["direction"] == "LONG" else -1)


def trade_then_signal(out, name, on_stop="close", speed=100):
    """Signal a session once it holds a position with its stop; returns the
    child and its output."""
    db = out / "velmor_trader.db"
    # Slow enough that a position seen open is still open when the signal lands.
    child = start_session(out, minutes=300, speed=speed, extra=["--on-stop", on_stop])
    try:
        wait_for(lambda: db.exists() and protected_position(db), "position with its stop")
        child.send_signal(getattr(signal, name))
        rest, errors = child.communicate(timeout=60)
    finally:
        child.kill()
    return child, rest, errors


def assert_wound_down(out, child, rest, errors, name, on_stop):
    assert child.returncode == 128 + getattr(signal, name), rest + errors
    assert errors == "" and "Traceback" not in rest
    assert f"Stopped by {'Ctrl-C' if name == 'SIGINT' else name}" in rest and "Report" in rest
    record = json.loads((out / "session.json").read_text())
    assert record["on_stop"] == on_stop and (out / "report.txt").read_text().strip()
    db = out / "velmor_trader.db"
    (balance,) = rows(db, "balance")
    assert balance["strategy_status"] == "STOPPED"
    orders, deals = rows(db, "trading_order"), rows(db, "trading_deal")
    stored = int(re.search(r"(\d+) deals of \d+ orders are stored", rest).group(1))
    assert stored == len(deals) == len({d["broker_deal_id"] for d in deals}) > 0
    filled, net = defaultdict(int), defaultdict(int)
    for deal in deals:
        filled[deal["order_id"]] += deal["filled_quantity"]
        net[deal["security_code"]] += signed(deal, "filled_quantity")
    assert all(o["filled_quantity"] == filled[o["id"]] for o in orders)
    held = {p["security_code"]: signed(p) for p in rows(db, "position")}
    assert held == {code: q for code, q in net.items() if q}
    working = [o for o in orders if o["status"] not in DONE]
    if on_stop == "close":
        assert held == {} and working == []
    else:                                       # each position keeps its stop, and only that
        assert held and all(o["order_type"] == "STOP" for o in working)
        assert sorted((o["security_code"], -signed(o)) for o in working) == sorted(held.items())


@pytest.mark.parametrize("name, on_stop", [("SIGINT", "close"), ("SIGTERM", "keep")])
def test_a_signal_winds_the_session_down(tmp_path, name, on_stop):
    out = tmp_path / "out"
    child, rest, errors = trade_then_signal(out, name, on_stop)
    assert_wound_down(out, child, rest, errors, name, on_stop)


@pytest.mark.parametrize("name", ["SIGINT", "SIGTERM"])
def test_a_signal_during_the_logon_ends_it_in_one_line(tmp_path, name):
    child = start_session(tmp_path / "out", minutes=300)
    try:
        for line in child.stdout:
            if "logging on" in line:
                break
        child.send_signal(getattr(signal, name))
        rest, errors = child.communicate(timeout=60)
    finally:
        child.kill()
    assert child.returncode == 128 + getattr(signal, name), rest + errors
    assert errors == "" and "Traceback" not in rest
    assert rest.strip().splitlines()[-1].endswith(
        "during the logon: nothing was traded; the broker's session, the bot and the database "
        "are closed")


def test_a_second_session_on_a_busy_folder_refuses(tmp_path):
    out = tmp_path / "out"
    db = out / "velmor_trader.db"
    first = start_session(out, minutes=300, speed=100)
    try:
        wait_for(lambda: db.exists() and protected_position(db), "position with its stop")
        log = (out / "session.log").read_text()
        second = run_session(out, timeout=30)
        first.send_signal(signal.SIGTERM)
        rest, errors = first.communicate(timeout=60)
    finally:
        first.kill()
    assert second.returncode == 75 and second.stdout == ""
    (line,) = second.stderr.splitlines()
    assert f"{out} is in use by another session (process {first.pid})" in line
    # the first session went on, undisturbed, and wound down as its own
    assert (out / "session.log").read_text().startswith(log)
    assert_wound_down(out, first, rest, errors, "SIGTERM", "close")
