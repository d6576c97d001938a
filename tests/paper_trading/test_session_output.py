"""What a session leaves in its folder, and the report's drawdown."""
import shutil
import sys
from datetime import datetime, timedelta

import pandas as pd
import pytest

from conftest import run_session, session_command
from velmor_trader.core.constants import Direction
from velmor_trader.core.deal import Deal
from velmor_trader.paper_trading import defaults, report

# The session's interpreter with matplotlib unimportable, as without the demo extra.
WITHOUT_MATPLOTLIB = ("import runpy, sys; sys.modules['matplotlib'] = None; sys.argv[0] = 'x'; "
                      "runpy.run_module('velmor_trader.paper_trading', run_name='__main__')")


def test_a_used_folder_takes_a_new_session_whole_even_without_matplotlib(finished, tmp_path):
    out = tmp_path / "out"
    shutil.copytree(finished.out, out)          # its report.png included
    (out / "session.log").write_text("the old session's log\n")
    done = run_session(out, command=[sys.executable, "-c", WITHOUT_MATPLOTLIB,
                                     *session_command(out)[3:]])
    assert done.returncode == 0 and done.stderr == "", done.stdout + done.stderr
    assert "matplotlib is not installed" in done.stdout.splitlines()[1]
    # nothing of the old session is left to pass for this one's
    assert not (out / "report.png").exists()
    assert "the old session's" not in (out / "session.log").read_text()
    # all but the picture is written: the same seed, the same report
    assert (out / "report.txt").read_text() == (finished.out / "report.txt").read_text()
    assert "/stop" in (out / "chat.txt").read_text() and (out / "session.json").exists()


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
