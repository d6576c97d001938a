"""Whole interpreters: the connection check run as a program, and imports
that must never leave the interpreter hanging at exit."""
import socket
import subprocess
import sys

import pytest

from bot_helpers import CHAT_ID, TOKEN, subprocess_env, write_config
from implementations import module_name
from velmor_trader.plugins.telegram.local_server import LocalChatServer


@pytest.fixture
def server():
    with LocalChatServer(token=TOKEN, max_poll_hold=0.2) as s:
        yield s


def run(args, config_dir, timeout=30):
    return subprocess.run([sys.executable] + args, env=subprocess_env(config_dir), cwd=config_dir,
                          capture_output=True, text=True, timeout=timeout, stdin=subprocess.DEVNULL)


def test_connection_check_program(server, tmp_path):
    write_config(tmp_path, server.base_url)
    done = run(["-m", "velmor_trader.plugins.telegram"], tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "Closed.\n"
    assert server.sent_messages() == [{"chat_id": CHAT_ID, "text": "Yes I am here!"}]


def test_connection_check_closes_bot_when_sending_fails(server, tmp_path):
    write_config(tmp_path, server.base_url, chat_id="not a number")
    done = run(["-m", "velmor_trader.plugins.telegram"], tmp_path)
    assert done.returncode == 1
    assert "TypeError" in done.stderr
    assert "Closed." not in done.stdout
    assert server.sent_messages() == []


def test_close_lets_interpreter_exit(impl, server, tmp_path):
    write_config(tmp_path, server.base_url)
    code = (f"from {module_name('bot', impl)} import bot\n"
            "bot.close()\n"
            "print(bot.velmor_trader_status)\n")
    done = run(["-c", code], tmp_path)
    assert (done.returncode, done.stdout) == (0, "Running\n"), done.stderr


def test_import_without_reachable_server_fails_and_exits(impl, tmp_path):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]  # nothing listens here once closed
    write_config(tmp_path, f"http://127.0.0.1:{port}/bot")
    done = run(["-c", f"import {module_name('bot', impl)}"], tmp_path)
    assert done.returncode == 1
    assert "NetworkError" in done.stderr


def test_missing_configuration_name(impl, tmp_path):
    (tmp_path / "velmor_trader_config.py").write_text(f"TELEGRAM_TOKEN = {TOKEN!r}\n")
    done = run(["-c", f"import {module_name('bot', impl)}"], tmp_path)
    assert done.returncode == 1
    assert "ImportError" in done.stderr and "TELEGRAM_CHAT_ID" in done.stderr


# Counts the updater's stops, then imports the bot (which starts polling).
COUNTED_IMPORT = (
    "import telegram.ext\n"
    "stop = telegram.ext.Updater.stop\n"
    "def counted(self):\n"
    "    print('stop', flush=True)\n"
    "    stop(self)\n"
    "telegram.ext.Updater.stop = counted\n"
    "from {module} import bot\n")


@pytest.mark.parametrize("ending, code, out", [
    ("print('end')\n", 0, ["end", "stop"]),                       # returns without close()
    ("raise RuntimeError('engine died')\n", 1, ["stop"]),         # crashes without close()
    ("bot.close()\nprint('end')\n", 0, ["stop", "end"]),          # closes: stopped once
])
def test_polling_stops_when_the_interpreter_shuts_down(impl, server, tmp_path, ending, code, out):
    write_config(tmp_path, server.base_url)
    program = COUNTED_IMPORT.format(module=module_name("bot", impl)) + ending
    try:
        done = run(["-c", program], tmp_path, timeout=10)
    except subprocess.TimeoutExpired:
        pytest.fail("the interpreter was still running 10 s after the program ended")
    assert (done.returncode, done.stdout.split()) == (code, out), done.stderr
    assert ("engine died" in done.stderr) == (code == 1)
    assert "Exception ignored" not in done.stderr


def test_failure_to_stop_at_exit_is_reported_as_unraisable(impl, server, tmp_path):
    write_config(tmp_path, server.base_url)
    program = (
        "import logging, telegram.ext\n"
        "logged = logging.StreamHandler()\n"
        "logged.setFormatter(logging.Formatter('LOGGED %(message)s'))\n"
        "logging.getLogger('velmor_trader').addHandler(logged)\n"
        "stop = telegram.ext.Updater.stop\n"
        "def failing(self):\n"
        "    stop(self)\n"
        "    raise RuntimeError('stop failed')\n"
        "telegram.ext.Updater.stop = failing\n"
        f"from {module_name('bot', impl)} import bot\n"
        "print('end')\n")
    done = run(["-c", program], tmp_path, timeout=10)
    assert (done.returncode, done.stdout) == (0, "end\n"), done.stderr
    assert "Exception ignored in: <telegram.ext.updater.Updater object" in done.stderr
    assert "RuntimeError: stop failed" in done.stderr and "LOGGED" not in done.stderr
