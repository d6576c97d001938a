"""A session's exit code tells the truth about its stop: a wind-down with the
line down leaves positions open (3), a database locked by another program
through the wind-down lags the broker (4)."""
import subprocess
import sys

import pytest

from conftest import child_env, rows, session_command

# The session, with a fault switched on as its wind-down starts.
FAULTY = """
import sqlite3, sys
from velmor_trader.core.constants import OrderType
from velmor_trader.paper_trading import engine, session

fault = sys.argv.pop(1)
wind_down, reconcile = engine.Engine.wind_down, getattr(engine.Engine, "reconcile", None)
held = []

def faulty_wind_down(self, close_positions=True, wait=engine.WIND_DOWN_WAIT):
    # An order of the operator's still resting when the stop comes.
    tencent = next(i.security for i in self.instruments if i.security.code == "00700")
    self.place(tencent, 100, OrderType.LIMIT, price=330.0, role="operator")
    if fault == "line down":
        self.gateway.celEnvironment.simulator.drop_connection()
        self.pump(lambda: not self.connected, 1.0)
    else:                                    # another program takes the write lock
        out = sys.argv[sys.argv.index("--out") + 1]
        db = sqlite3.connect(out + "/velmor_trader.db", timeout=0)
        db.execute("BEGIN IMMEDIATE")
        held.append(db)
    return wind_down(self, close_positions, wait=min(wait, 1.0))

engine.Engine.wind_down = faulty_wind_down
if reconcile is not None:                    # a test need not wait out the real bound
    engine.Engine.reconcile = lambda self, wait=0: reconcile(self, wait=0.5)
sys.exit(session.main(sys.argv[1:]))
"""


@pytest.mark.parametrize("fault, code, said", [
    ("line down", 3, "left open against --on-stop close: "),
    ("database locked", 4, "the database still lags the broker: ")])
def test_a_stop_that_leaves_the_broker_and_the_database_apart_exits_non_zero(
        tmp_path, fault, code, said):
    out = tmp_path / "out"
    command = [sys.executable, "-c", FAULTY, fault] + session_command(out)[3:]
    done = subprocess.run(command, env=child_env(), cwd=tmp_path, capture_output=True, text=True,
                          timeout=180, stdin=subprocess.DEVNULL)
    assert done.returncode == code, done.stdout + done.stderr
    assert said in done.stdout
    (balance,) = rows(out / "velmor_trader.db", "balance")
    if code == 4:
        assert balance["strategy_status"] == "RUNNING"       # never claims a clean stop
    else:
        assert balance["strategy_status"] == "STOPPED"
        # What is still open stays listed as open.
        assert "SUBMITTED" in [o["status"] for o in rows(out / "velmor_trader.db",
                                                         "trading_order")]
    assert said.split(" --")[0] in (out / "chat.txt").read_text()
