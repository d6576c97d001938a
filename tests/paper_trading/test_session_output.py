"""What a session leaves in its folder, and the report's drawdown."""
import contextlib
import os
import shutil
import sqlite3
import sys
from datetime import datetime, timedelta

import pandas as pd
import pytest

from conftest import rows, run_session, session_command
from velmor_trader.core.constants import Direction
from velmor_trader.core.deal import Deal
from velmor_trader.paper_trading import defaults, report

# The session's interpreter with matplotlib unimportable, as without the demo extra.
WITHOUT_MATPLOTLIB = ("import runpy, sys; sys.modules['matplotlib'] = None; sys.argv[0] = 'x'; "
                      "runpy.run_module('velmor_trader.paper_trading', run_name='__main__')")


def test_earlier_sessions_records_are_kept_aside_even_a_crashed_ones(finished, tmp_path):
    out = tmp_path / "out"
    shutil.copytree(finished.out, out)          # its report.png included
    db = out / "velmor_trader.db"
    with contextlib.closing(sqlite3.connect(db)) as connection, connection:
        connection.execute("UPDATE balance SET strategy_status = 'RUNNING'")  # as after kill -9
    kept = {name: (out / name).read_bytes() for name in ("velmor_trader.db", "report.txt",
                                                         "report.png", "chat.txt", "session.log")}
    started = datetime(2026, 3, 4, 5, 6, 7)
    os.utime(out / "session.lock", (started.timestamp(), started.timestamp()))
    done = run_session(out, command=[sys.executable, "-c", WITHOUT_MATPLOTLIB,
                                     *session_command(out)[3:]])
    assert done.returncode == 0 and done.stderr == "", done.stdout + done.stderr
    assert "matplotlib is not installed" in done.stdout.splitlines()[1]
    crashed = out / "session-20260304-050607-crashed"
    assert f"kept in {crashed} (it crashed" in done.stdout
    assert {name: (crashed / name).read_bytes() for name in kept} == kept
    # nothing of the old session is left to pass for this one's
    assert not (out / "report.png").exists()
    # all but the picture is written: the same seed, the same report
    assert (out / "report.txt").read_text() == (finished.out / "report.txt").read_text()
    assert "/stop" in (out / "chat.txt").read_text() and (out / "session.json").exists()
    # the next session keeps this one's, which stopped, beside the crashed one's
    assert run_session(out).returncode == 0
    (stopped,) = [p for p in out.glob("session-*") if p != crashed]
    assert not stopped.name.endswith("crashed") and not (stopped / "report.png").exists()
    assert rows(stopped / "velmor_trader.db", "balance")[0]["strategy_status"] == "STOPPED"
    assert (crashed / "velmor_trader.db").read_bytes() == kept["velmor_trader.db"]
    assert (out / "report.png").exists()


def test_a_folder_with_a_persons_files_is_refused_in_a_line(tmp_path):
    mine = {"chat.txt": "my chat", "report.txt": "my report", "notes.md": "mine"}
    for name, text in mine.items():
        (tmp_path / name).write_text(text)
    # "." as typed in that folder: run_session starts the session in out's parent
    done = run_session(tmp_path / "out", command=session_command(tmp_path)[:-2] + ["--out", "."])
    assert done.returncode == 2 and done.stdout == "", done.stderr
    assert done.stderr.splitlines()[-1] == (
        f"./run demo: error: --out {tmp_path}: holds files no session wrote (chat.txt, "
        "notes.md, report.txt); a session writes only into a new or empty folder, or one of "
        "earlier sessions")
    assert {p.name: p.read_text() for p in tmp_path.iterdir()} == mine     # no lock file either


def test_the_maximum_drawdown_is_from_the_highest_equity_of_the_session():
    stock = defaults.INSTRUMENTS[2]
    start = datetime(2024, 11, 4, 9, 30)
    bought = Deal(security=stock.security, direction=Direction.LONG, filled_avg_price=100.0,
                  filled_quantity=100, order_id="o", deal_id="d", updated_time=start)
    # the peak at the first minute, then a fall longer than 252 minutes
    prices = [100.0, 110.0] + [110.0 - 20.0 * m / 300 for m in range(1, 301)]
    marks = [(start + timedelta(minutes=m), {stock.security.code: p}) for m, p in enumerate(prices)]
    orders = pd.DataFrame({"order_type": ["LIMIT"], "status": ["FILLED"]})
    result = report.build([bought], orders, marks, (stock,), 100_000.0,
                          defaults.PERIODS_PER_YEAR)
    figures, equity = result.figures, result.curve["equity"]
    assert figures["max_drawdown"] == pytest.approx((equity.iloc[-1] / equity.iloc[1]) - 1)
