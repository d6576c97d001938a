"""The first call of a native function, made from two threads at once while
the first thread is held inside Python (an import hook or a garbage
collection callback that sleeps), finishes: no one-time set-up waits on a
C++ guard while holding the GIL. Each case runs in a fresh interpreter, so
the call is really the process's first."""
import os
import subprocess
import sys

import pytest

from velmor_trader.plugins.telegram.local_server import LocalChatServer

TIMEOUT = 30
PROXY_VARS = ("HTTPS_PROXY", "https_proxy", "HTTP_PROXY", "http_proxy", "ALL_PROXY", "all_proxy")


@pytest.fixture(scope="module")
def config_dir(tmp_path_factory):
    """A configuration for the chat bot against the local chat-service stand-in."""
    directory = tmp_path_factory.mktemp("config")
    with LocalChatServer(token="123456:first-call", max_poll_hold=0.2) as server:
        (directory / "velmor_trader_config.py").write_text(
            f"TELEGRAM_TOKEN = '123456:first-call'\nTELEGRAM_CHAT_ID = 1\n"
            f"TELEGRAM_BASE_URL = {server.base_url!r}\n")
        yield directory

# Shared by every case: the hooks, and two worker threads making the call.
PRELUDE = r'''
import builtins, gc, sys, threading, time

local = threading.local()
held = threading.Event()

def hold():
    # The first armed worker to get here sleeps, letting the other one in.
    if getattr(local, "armed", False) and not held.is_set():
        held.set()
        time.sleep(0.5)

def via_import():
    real = builtins.__import__
    def hooked(*args, **kwargs):
        hold()
        return real(*args, **kwargs)
    builtins.__import__ = hooked

def via_gc():
    gc.callbacks.append(lambda phase, info: phase == "start" and hold())
    gc.set_threshold(1)

def race(call, prepare=lambda: None):
    errors = []
    def work():
        kept = prepare()  # noqa: F841  (held while the call runs)
        local.armed = True
        try:
            call()
        except Exception as e:
            errors.append(type(e).__name__)
        local.armed = False
    workers = [threading.Thread(target=work, name=f"worker-{i}") for i in range(2)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    print("finished", sorted(errors))
'''

SECURITY = '''
from velmor_trader.core.security import Security
from velmor_trader.core.constants import Exchange
a = Security("700", "Tencent", exchange=Exchange.SEHK)
b = Security("700", "Tencent", exchange=Exchange.SEHK)
via_import()
'''

DB = '''
import datetime
from velmor_trader.plugins.sqlite3.db import DB
via_import()
'''

CASES = {
    "security hash": (SECURITY + "race(lambda: hash(a))", []),
    "security eq": (SECURITY + "race(lambda: a == b)", []),
    "db datetime value": (DB + "race(lambda: DB._parse_sql_value(None, datetime.datetime(2024, 1, 2)))", []),
    "db insert assertion": (DB + "race(lambda: DB.insert_records(None, 't'))",
                            ["AssertionError", "AssertionError"]),
    "db update assertion": (DB + "race(lambda: DB.update_records(None, 't', {}))",
                            ["AssertionError", "AssertionError"]),
    "bot send_message": ('''
import sys
sys.path.insert(0, sys.argv[1])
from velmor_trader.plugins.telegram import bot as module
module.bot.close()
class Client:
    def send_message(self, chat_id, text):
        pass
class Holder:
    pass
tb = module.TelegramBot.__new__(module.TelegramBot)
tb.updater = Holder()
tb.updater.bot = Client()
send = module.TelegramBot.send_message
via_gc()

def one_allocation_from_a_collection():
    # Small tuples come from a free list that never starts a collection:
    # empty it, then leave the count one short of the threshold, so that the
    # next tracked allocation (the keyword-names tuple) starts a collection.
    kept = [(i, i) for i in range(5000)]
    while gc.get_count()[0] != 1:
        kept.append([])
    return kept

race(lambda: send(tb, "report", 1), prepare=one_allocation_from_a_collection)
''', []),
}


@pytest.mark.parametrize("case", list(CASES))
def test_first_call_from_two_threads_finishes(case, config_dir):
    script, errors = CASES[case]
    env = {k: v for k, v in os.environ.items() if k not in PROXY_VARS}
    try:
        done = subprocess.run([sys.executable, "-P", "-c", PRELUDE + script, str(config_dir)],
                              capture_output=True, text=True, timeout=TIMEOUT, env=env,
                              stdin=subprocess.DEVNULL)
    except subprocess.TimeoutExpired:
        pytest.fail(f"{case}: the two first calls deadlocked")
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == f"finished {errors}"
