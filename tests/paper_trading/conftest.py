"""A paper-trading session runs in a child interpreter of its own: the chat
bot's module connects when it is imported, once per process."""
import json
import os
import sqlite3
import subprocess
import sys

import pytest

PROXY_VARS = ("HTTPS_PROXY", "https_proxy", "HTTP_PROXY", "http_proxy", "ALL_PROXY", "all_proxy")
# Short and fast, with the operator's eight commands spread over it.
MINUTES, SEED, SPEED = 12, 6, 3000


def session_command(out, minutes=MINUTES, seed=SEED, speed=SPEED, extra=()):
    return [sys.executable, "-m", "velmor_trader.paper_trading", "--minutes", str(minutes),
            "--seed", str(seed), "--speed", str(speed), "--out", str(out), *extra]


def child_env():
    return {k: v for k, v in os.environ.items() if k not in PROXY_VARS}


def run_session(out, command=None, timeout=120, **options):
    return subprocess.run(command or session_command(out, **options), env=child_env(),
                          cwd=out.parent, capture_output=True, text=True, timeout=timeout,
                          stdin=subprocess.DEVNULL)


def start_session(out, **options):
    out.parent.mkdir(parents=True, exist_ok=True)
    return subprocess.Popen(session_command(out, **options), env=child_env(), cwd=out.parent,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            stdin=subprocess.DEVNULL)


def rows(db_path, table):
    connection = sqlite3.connect(db_path)
    connection.row_factory = sqlite3.Row
    try:
        return [dict(r) for r in connection.execute(f"SELECT * FROM {table} ORDER BY id")]
    finally:
        connection.close()


class Finished:
    def __init__(self, out, done):
        self.out, self.done = out, done
        self.record = json.loads((out / "session.json").read_text())
        self.db = out / "velmor_trader.db"

    def rows(self, table):
        return rows(self.db, table)


@pytest.fixture(scope="session")
def finished(tmp_path_factory):
    out = tmp_path_factory.mktemp("session") / "out"
    done = run_session(out)
    assert done.returncode == 0, done.stdout + done.stderr
    return Finished(out, done)
