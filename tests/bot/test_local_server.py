"""The chat-service stand-in, spoken to by the client library itself."""
import json
import threading
import time
import urllib.error
import urllib.request

import pytest
import telegram
from telegram.error import BadRequest, Unauthorized

from bot_helpers import PROXY_VARS, TOKEN
from velmor_trader.plugins.telegram.local_server import LocalChatServer


@pytest.fixture
def server(monkeypatch):
    for var in PROXY_VARS:
        monkeypatch.delenv(var, raising=False)
    with LocalChatServer(token=TOKEN, max_poll_hold=2.0) as s:
        yield s


def client(server, token=TOKEN):
    return telegram.Bot(token=token, base_url=server.base_url)


def test_get_me_and_token_check(server):
    me = client(server).get_me()
    assert (me.id, me.is_bot, me.username) == (123456, True, server.username)
    with pytest.raises(Unauthorized):
        client(server, "999999:wrong").get_me()


def test_updates_are_confirmed_by_offset(server):
    bot = client(server)
    first = server.push_message("/orders -a", chat_id=5, user_id=9)
    server.push_message("hi", chat_id=-100)
    updates = bot.get_updates(timeout=0)
    assert [u.update_id for u in updates] == [first, first + 1]
    msg = updates[0].message
    assert (msg.text, msg.chat.id, msg.from_user.id) == ("/orders -a", 5, 9)
    assert msg.entities[0].type == "bot_command" and msg.entities[0].length == len("/orders")
    assert updates[1].message.chat.type == "group" and not updates[1].message.entities
    assert [u.message.text for u in bot.get_updates(offset=first + 1, timeout=0)] == ["hi"]
    assert bot.get_updates(offset=first + 2, timeout=0) == []
    assert server.pending_updates() == []


def test_long_poll_returns_when_a_message_arrives(server):
    threading.Timer(0.2, server.push_message, ("late", 5)).start()
    start = time.monotonic()
    updates = client(server).get_updates(timeout=10)
    assert [u.message.text for u in updates] == ["late"]
    assert time.monotonic() - start < 1.5
    start = time.monotonic()
    assert client(server).get_updates(offset=updates[0].update_id + 1, timeout=10) == []
    assert 1.5 < time.monotonic() - start < 4  # held for max_poll_hold, not the client's 10 s


def test_send_message_is_recorded(server):
    sent = client(server).send_message(chat_id=42, text="report")
    assert (sent.chat.id, sent.text) == (42, "report")
    with pytest.raises(BadRequest):
        client(server).send_message(chat_id=42, text="  ")
    assert server.sent_messages() == [{"chat_id": 42, "text": "report"}]


def test_unknown_method(server):
    with pytest.raises(urllib.error.HTTPError) as err:
        urllib.request.urlopen(urllib.request.Request(
            f"{server.base_url}{TOKEN}/setWebhook", data=b"{}", method="POST"), timeout=5)
    assert err.value.code == 404
    assert json.loads(err.value.read())["ok"] is False
