"""A session stopped by a signal, and the folder it holds meanwhile."""
import contextlib
import signal
import sqlite3
import time
from collections import Counter

import pytest

from conftest import rows, run_session, start_session

DONE = ("FILLED", "CANCELLED", "FAILED")


def signed(row, quantity="quantity"):
    return row[quantity] * (1 if row["direction"] == "LONG" else -1)


def holding(db):
    with contextlib.suppress(sqlite3.Error):        # until the tables are made
        return db.exists() and bool(rows(db, "position"))
    return False


@pytest.mark.parametrize("name, on_stop", [("SIGINT", "close"), ("SIGTERM", "close"),
                                           ("SIGTERM", "keep")])
def test_a_signal_winds_the_session_down_and_no_other_shares_its_folder(tmp_path, name, on_stop):
    out = tmp_path / "out"
    db = out / "velmor_trader.db"
    # slow enough that a position seen open is still open when the signal lands
    child = start_session(out, minutes=300, speed=100,
                          extra=["--on-stop", "keep"] if on_stop == "keep" else [])
    try:
        deadline = time.monotonic() + 60
        while not holding(db):
            assert time.monotonic() < deadline and child.poll() is None, "no position"
            time.sleep(0.02)
        log = (out / "session.log").read_text()
        second = run_session(out, timeout=30)
        child.send_signal(getattr(signal, name))
        console, errors = child.communicate(timeout=60)
    finally:
        child.kill()
    assert child.returncode == 128 + getattr(signal, name) and errors == "", console + errors
    assert "Report" in console and (out / "report.txt").exists()
    assert [b["strategy_status"] for b in rows(db, "balance")] == ["STOPPED"]
    net = Counter()
    for deal in rows(db, "trading_deal"):
        net[deal["security_code"]] += signed(deal, "filled_quantity")
    held = {p["security_code"]: signed(p) for p in rows(db, "position")}
    assert held == {code: q for code, q in net.items() if q} and bool(held) == (on_stop == "keep")
    # nothing works but, when kept, each position's stop
    working = [(o["security_code"], -signed(o), o["order_type"])
               for o in rows(db, "trading_order") if o["status"] not in DONE]
    assert sorted(working) == sorted((code, q, "STOP") for code, q in held.items())
    # the one that came meanwhile touched nothing
    assert second.returncode == 75 and second.stdout == ""
    assert second.stderr.splitlines() == [f"./run demo: {out} is in use by another session "
                                          f"(process {child.pid}); let it end or choose another "
                                          "--out"]
    assert (out / "session.log").read_text().startswith(log)


@pytest.mark.parametrize("name", ["SIGINT", "SIGTERM"])
def test_a_signal_during_the_logon_ends_the_session_in_a_line(tmp_path, name):
    child = start_session(tmp_path / "out", minutes=300)
    try:
        next(line for line in child.stdout if "logging on" in line)
        child.send_signal(getattr(signal, name))
        console, errors = child.communicate(timeout=60)
    finally:
        child.kill()
    assert child.returncode == 128 + getattr(signal, name) and errors == "", console + errors
    assert console.splitlines()[-1].endswith("during the logon: nothing was traded; the broker's "
                                             "session, the bot and the database are closed")
