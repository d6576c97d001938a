"""Whole interpreters: the connection check run as a program, and imports
that must never leave the interpreter hanging at exit."""
import socket
import subprocess
import sys

import pytest

from bot_helpers import CHAT_ID, TOKEN, subprocess_env, write_config
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


def test_close_lets_interpreter_exit(server, tmp_path):
    write_config(tmp_path, server.base_url)
    code = ("from velmor_trader.plugins.telegram.bot import bot\n"
            "bot.close()\n"
            "print(bot.velmor_trader_status)\n")
    done = run(["-c", code], tmp_path)
    assert (done.returncode, done.stdout) == (0, "Running\n"), done.stderr


def test_import_without_reachable_server_fails_and_exits(tmp_path):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]  # nothing listens here once closed
    write_config(tmp_path, f"http://127.0.0.1:{port}/bot")
    done = run(["-c", "import velmor_trader.plugins.telegram.bot"], tmp_path)
    assert done.returncode == 1
    assert "NetworkError" in done.stderr


def test_missing_configuration_name(tmp_path):
    (tmp_path / "velmor_trader_config.py").write_text(f"TELEGRAM_TOKEN = {TOKEN!r}\n")
    done = run(["-c", "import velmor_trader.plugins.telegram.bot"], tmp_path)
    assert done.returncode == 1
    assert "ImportError" in done.stderr and "TELEGRAM_CHAT_ID" in done.stderr
