"""Fixtures of the chat bot's tests.

The bot module connects and starts polling when it is imported, so the tests
first start the local chat-service stand-in on loopback, write a
configuration module pointing at it, and only then import the module.  The
body of an extension module runs once per process, so the import (and the
server it talks to) is shared by all the bot's tests of one run.
"""
import pathlib
import sys

import pytest

from bot_helpers import INITIAL, PROXY_VARS, TOKEN, Chat, write_config
from implementations import implementation, module_name
from velmor_trader.plugins.telegram.local_server import LocalChatServer


HERE = pathlib.Path(__file__).resolve().parent
_running = {}  # what the fixtures started, to stop after the last bot test


def _close_module():
    module = _running.pop("module", None)
    if module is not None:
        module.bot.close()


def _stop_running():
    _close_module()
    server = _running.pop("server", None)
    if server is not None:
        server.stop()


def pytest_runtest_teardown(item, nextitem):
    # Stop polling once the bot's tests are done, so that its threads do not
    # run (and allocate) during the rest of the suite.
    if nextitem is None or HERE not in pathlib.Path(str(nextitem.path)).resolve().parents:
        _stop_running()


@pytest.fixture(scope="session")
def chat_server():
    server = LocalChatServer(token=TOKEN, max_poll_hold=0.3).start()
    _running["server"] = server
    yield server
    _stop_running()


@pytest.fixture(scope="session")
def bot_config(chat_server, tmp_path_factory):
    """A configuration module pointing at the local server, on sys.path."""
    mp = pytest.MonkeyPatch()
    for var in PROXY_VARS:  # the client library would send loopback traffic to a proxy
        mp.delenv(var, raising=False)
    config_dir = tmp_path_factory.mktemp("bot_config")
    write_config(config_dir, chat_server.base_url)
    mp.syspath_prepend(str(config_dir))
    mp.delitem(sys.modules, "velmor_trader_config", raising=False)
    yield config_dir
    _stop_running()
    mp.undo()
    sys.modules.pop("velmor_trader_config", None)


@pytest.fixture
def botmod(impl, bot_config):
    """The bot module of the side under test, imported against the local server.

    Both sides talk to the same server, so only one polls at a time: the
    native bot is closed before its twin is imported (every native test
    runs first).  The body of an extension module runs once per process, so
    each side is imported once and shared by all of its tests."""
    if _running.get("impl") != impl:
        if impl in _running.setdefault("done", set()):
            raise RuntimeError(f"the {impl} bot was closed already; run each side's tests together")
        _close_module()
        sys.modules.pop(module_name("bot", impl), None)
        _running["module"] = implementation("bot", impl)
        _running["impl"] = impl
        _running["done"].add(impl)
    return _running["module"]


@pytest.fixture
def bot(botmod, chat_server):
    """The module's bot with every request cleared, as the engine would."""
    for name, value in INITIAL.items():
        setattr(botmod.bot, name, value)
    chat_server.wait_until_delivered()
    botmod.bot.requests.clear()
    chat_server.clear_sent()
    return botmod.bot


@pytest.fixture
def chat(bot, chat_server):
    return Chat(chat_server)
