"""What a session leaves in its folder, and the report's drawdown."""
import json
import re
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
WITHOUT_MATPLOTLIB = ("import runpy, sys; sys.modules['matplotlib'] = None; "
                      "sys.argv[0] = 'velmor_trader.paper_trading'; "
                      "runpy.run_module('velmor_trader.paper_trading', run_name='__main__', "
                      "alter_sys=True)")


def leave_as_killed(folder):
    """Make ``folder`` what a kill -9 leaves: the database's last rows only
    in its write-ahead log."""
    db = folder / "velmor_trader.db"
    scratch = folder.parent / "scratch.db"
    shutil.copy(db, scratch)
    live = sqlite3.connect(scratch)
    live.execute("PRAGMA journal_mode=WAL")
    live.execute("CREATE TABLE stale (x)")
    live.commit()
    for suffix in ("", "-wal", "-shm"):
        shutil.copy(f"{scratch}{suffix}", f"{db}{suffix}")
    live.close()
    with open(folder / "session.log", "a") as log:
        log.write("a line of the old session\n")


def test_a_used_folder_takes_a_new_session_whole_even_without_matplotlib(finished, tmp_path):
    out = tmp_path / "out"
    shutil.copytree(finished.out, out)        # its report.png included
    leave_as_killed(out)
    done = run_session(out, command=[sys.executable, "-c", WITHOUT_MATPLOTLIB,
                                     *session_command(out)[3:]])
    assert done.returncode == 0 and done.stderr == "", done.stdout + done.stderr
    said = done.stdout.splitlines()
    assert "matplotlib is not installed" in said[1] and "Report" in said
    assert "Equity curve and drawdown: not drawn (matplotlib is not installed" in done.stdout
    # nothing of the old session is left to be taken for this one's
    assert not (out / "report.png").exists()
    assert "the old session" not in (out / "session.log").read_text()
    with sqlite3.connect(out / "velmor_trader.db") as db:
        assert "stale" not in {name for name, in db.execute("SELECT name FROM sqlite_master")}
    # and everything but the picture is written: the same seed, the same session
    assert (out / "report.txt").read_text() == (finished.out / "report.txt").read_text()
    unstamped = [re.sub(r"\[[^]]*\] ", "", (folder / "chat.txt").read_text())
                 for folder in (out, finished.out)]
    assert unstamped[0] == unstamped[1]
    assert json.loads((out / "session.json").read_text())["figures"] == finished.record["figures"]
    assert [d["broker_deal_id"] for d in rows(out / "velmor_trader.db", "trading_deal")] == \
        [d["broker_deal_id"] for d in finished.rows("trading_deal")]


def test_the_maximum_drawdown_is_from_the_highest_equity_of_the_session():
    stock = defaults.INSTRUMENTS[2]
    start = datetime(2024, 11, 4, 9, 30)
    bought = Deal(security=stock.security, direction=Direction.LONG, filled_avg_price=100.0,
                  filled_quantity=100, order_id="o", deal_id="d", updated_time=start)
    # the peak at the first minute, then a fall longer than 252 minutes
    prices = [100.0, 110.0] + [110.0 - 20.0 * m / 300 for m in range(1, 301)]
    marks = [(start + timedelta(minutes=m), {stock.security.code: p}) for m, p in enumerate(prices)]
    orders = pd.DataFrame({"order_type": ["LIMIT"], "status": ["FILLED"]})
    figures, curve, *_ = report.build([bought], orders, marks, (stock,), 100_000.0,
                                      defaults.PERIODS_PER_YEAR)
    equity = curve["equity"]
    assert figures["max_drawdown"] == pytest.approx((equity.iloc[-1] / equity.iloc[1]) - 1)
