"""Whole sessions under seeded faults (fault_sessions.py), in a child
interpreter: the chat bot's module connects once per process, and this
process may have imported it already for the bot's own tests.
``tools/fault-seeds --seeds N`` runs any number of seeds; ``tools/engine-mutants``
measures what this file catches."""
import os
import re
import sqlite3
import subprocess
import sys
import time
from pathlib import Path

from conftest import rows, run_session, start_session
from engine_rig import Rig
from velmor_trader.gateways.cqg.simulator import constants as C
from velmor_trader.paper_trading import engine as engine_module

HERE = Path(__file__).resolve().parent
SEEDS = (13, 19, 20, 28, 30)     # between them every kind of fault fires


def test_sessions_under_faults_keep_every_invariant():
    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    env["PYTHONPATH"] = os.pathsep.join([str(HERE)] + [p for p in [env.get("PYTHONPATH")] if p])
    done = subprocess.run([sys.executable, str(HERE / "fault_sessions.py"), "--first-failure"]
                          + [f"--seed={s}" for s in SEEDS], env=env, capture_output=True,
                          text=True, timeout=240, stdin=subprocess.DEVNULL)
    assert done.returncode == 0 and f"{len(SEEDS)} passed, 0 failed" in done.stdout, \
        done.stdout + done.stderr
    fired = {}
    for line in done.stdout.splitlines():
        for name, count in re.findall(r"(\D+?) (\d+)(?:,|\))", line.split("s; ", 1)[-1]):
            fired[name.strip(", ")] = fired.get(name.strip(", "), 0) + int(count)
    for name in ("timeouts", "recorded from the broker", "refreshed", "fills twice", "fills",
                 "answers checked", "requests for nothing", "cancels refused", "cancels lost",
                 "cancels unanswered", "database locked long", "writes failed",
                 "notices checked", "rejections"):
        assert fired.get(name), (name, done.stdout)


def deal_ids(db):
    try:
        return {d["broker_deal_id"] for d in rows(db, "trading_deal")}
    except sqlite3.Error:             # not a database, or one being written
        return set()


def test_a_session_killed_and_restarted_on_its_folder_keeps_the_killed_ones_records(tmp_path):
    out = tmp_path / "out"
    db = out / "velmor_trader.db"
    child = start_session(out, minutes=300, speed=300)
    try:
        deadline = time.monotonic() + 60
        while len(deal_ids(db)) < 2:
            assert time.monotonic() < deadline and child.poll() is None, "no deal"
            time.sleep(0.05)
    finally:
        child.kill()
        child.communicate()
    committed = deal_ids(db)
    assert [b["strategy_status"] for b in rows(db, "balance")] == ["RUNNING"]
    again = run_session(out, timeout=120)
    # Whether the folder was refused or its files moved aside, every deal the
    # killed session committed is still in a database of the folder, whose
    # balance still says how that session ended: it never said STOPPED.
    kept = [p for p in out.rglob("*") if p.is_file() and p.suffix not in (".wal", ".shm")
            and not p.name.endswith(("-wal", "-shm")) and committed <= deal_ids(p)
            and [b["strategy_status"] for b in rows(p, "balance")] == ["RUNNING"]]
    assert kept, (sorted(out.rglob("*")), again.stdout + again.stderr)
    if again.returncode == 0:
        assert [b["strategy_status"] for b in rows(db, "balance")] == ["STOPPED"]
        assert kept[0] != db
    else:
        assert kept == [db] and again.stderr, again.stdout + again.stderr


def test_a_cancel_lost_before_the_connection_dropped_is_sent_again(tmp_path):
    """The read-back after a reconnect must not forget a cancel sent before
    the drop: if it was lost, its wait runs out and it goes again."""
    rig = Rig(tmp_path)
    try:
        rig.chat("send_order", order_string="00700,100,l,o,l,CQG,330.0,None")   # rests
        rig.sim.faults.drop("cancel")
        rig.chat("cancel_orders")
        rig.advance(5)
        rig.sim.drop_connection(trading=True)
        rig.advance(10)
        rig.sim.faults.restore("cancel")
        rig.sim.restore_connection()
        rig.advance(engine_module.CANCEL_WAIT.total_seconds() + 61)
        assert [o.GWStatus for o in rig.sim.engine.orders] == [C.osCanceled]
    finally:
        rig.close()
