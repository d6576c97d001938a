"""No failure outside the engine's loop freezes a session: a reader that goes
away, or an exception in the operator, the console or a broker callback,
winds it down and leaves its files."""
import subprocess
import sys

import pytest

from conftest import child_env, rows, run_session, session_command

# Each prelude breaks one part of the session in its own interpreter.
FAILING = {
    "the operator": """
from velmor_trader.paper_trading.operator import ScriptedOperator
send = ScriptedOperator._send
def _send(self, command):
    if command.startswith("/deals"):
        raise RuntimeError("injected")
    return send(self, command)
ScriptedOperator._send = _send
""",
    "the console": """
from velmor_trader.paper_trading.console import Console
progress = Console.progress
def _progress(self, engine):
    if engine.minute == 4:
        raise RuntimeError("injected")
    return progress(self, engine)
Console.progress = _progress
""",
    "the broker's quote callback": """
import itertools
from velmor_trader.paper_trading.engine import Engine
arrived, calls = Engine._quote_arrived, itertools.count()
def _quote_arrived(self, quote):
    if next(calls) == 400:
        raise RuntimeError("injected")
    return arrived(self, quote)
Engine._quote_arrived = _quote_arrived
""",
}
RUN = ("import runpy, sys; sys.argv[0] = 'x'; "
       "runpy.run_module('velmor_trader.paper_trading', run_name='__main__')")


def stopped_cleanly(out):
    assert [b["strategy_status"] for b in rows(out / "velmor_trader.db", "balance")] == ["STOPPED"]
    assert all(o["status"] in ("FILLED", "CANCELLED", "FAILED")
               for o in rows(out / "velmor_trader.db", "trading_order"))
    assert (out / "report.txt").exists() and (out / "chat.txt").exists()


@pytest.mark.parametrize("lines", [3, 5])
def test_a_closed_output_ends_the_session_as_a_unix_tool_ends(tmp_path, lines):
    out = tmp_path / "out"
    child = subprocess.Popen(session_command(out, minutes=30), env=child_env(), cwd=tmp_path,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             stdin=subprocess.DEVNULL)
    try:
        for _ in range(lines):              # what `| head -N` reads before it exits
            child.stdout.readline()
        child.stdout.close()
        code = child.wait(timeout=60)
        errors = child.stderr.read().decode()
    finally:
        child.kill()
    assert code == 141 and errors == ""
    stopped_cleanly(out)
    assert "standard output was closed" in (out / "session.log").read_text()


@pytest.mark.parametrize("what", FAILING)
def test_an_exception_outside_the_engine_winds_the_session_down(tmp_path, what):
    out = tmp_path / "out"
    done = run_session(out, command=[sys.executable, "-c", FAILING[what] + RUN,
                                     *session_command(out, minutes=30)[3:]], timeout=60)
    assert done.returncode == 1 and done.stderr == "", done.stdout + done.stderr
    assert f"because {what} failed" in done.stdout and "Report" in done.stdout
    stopped_cleanly(out)
    log = (out / "session.log").read_text()
    assert f"{what} failed" in log and "RuntimeError: injected" in log
