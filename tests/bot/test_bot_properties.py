"""The engine's side: request properties, send_message and the bot's
lifecycle methods."""
from decimal import Decimal
from fractions import Fraction

import pytest

from bot_helpers import CHAT_ID, INITIAL, TOKEN
from velmor_trader.plugins.telegram.local_server import LocalChatServer

FLAGS = ["get_balance", "get_positions", "get_orders", "active_orders", "get_deals",
         "cancel_order", "cancel_orders", "send_order", "close_positions"]
VALUES = ["num_orders_displayed", "num_deals_displayed", "cancel_order_id", "gateway_name",
          "order_string", "close_positions_gateway_name"]


class Falsy:
    def __bool__(self):
        return False


class BadTruth:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


class BadInt:
    def __int__(self):
        raise ValueError("no int")


@pytest.fixture
def second_bot(botmod, monkeypatch):
    """A second TelegramBot talking to a server of its own; closed afterwards."""
    server = LocalChatServer(token=TOKEN, max_poll_hold=0.2).start()
    monkeypatch.setattr(botmod, "TELEGRAM_BASE_URL", server.base_url)
    made = []

    def make():
        made.append(botmod.TelegramBot(TOKEN))
        return made[-1], server

    yield make
    for b in made:
        b.close()
    server.stop()


def test_fresh_bot_holds_initial_values(botmod, second_bot):
    fresh, server = second_bot()
    assert {name: getattr(fresh, name) for name in INITIAL} == INITIAL
    assert type(fresh.updater.bot) is botmod.CustomedExtBot
    assert fresh.updater.bot.base_url == server.base_url + TOKEN
    assert [c[0] for c in server.calls][:2] == ["getMe", "deleteWebhook"]


@pytest.mark.parametrize("name", FLAGS)
@pytest.mark.parametrize("val, stored", [(0, False), ("yes", True), ([], False), (Falsy(), False),
                                         (2.5, True), (True, True)])
def test_flag_setters_store_truth_value(bot, name, val, stored):
    setattr(bot, name, val)
    assert getattr(bot, name) is stored
    assert getattr(bot.updater.bot, name) is stored


@pytest.mark.parametrize("name", FLAGS)
def test_flag_setter_truth_failure_stores_nothing(bot, name):
    setattr(bot, name, True)
    with pytest.raises(ZeroDivisionError):
        setattr(bot, name, BadTruth())
    assert getattr(bot, name) is True


@pytest.mark.parametrize("name", VALUES)
@pytest.mark.parametrize("val", [5, None, "x", 2.5, ["a"], BadTruth()])
def test_value_setters_store_unchanged(bot, name, val):
    setattr(bot, name, val)
    assert getattr(bot, name) is val


def test_status_setter(bot):
    bot.velmor_trader_status = "Paused"
    assert bot.velmor_trader_status == "Paused"

    class Text(str):
        pass

    for bad in (None, 1, Text("Running"), b"Running"):
        with pytest.raises(TypeError):
            bot.velmor_trader_status = bad
    assert bot.updater.bot.velmor_trader_status == "Paused"


def test_getters_read_the_client_afresh(bot):
    bot.updater.bot.num_deals_displayed = 9
    bot.updater.bot.get_balance = True
    assert (bot.num_deals_displayed, bot.get_balance) == (9, True)


@pytest.mark.parametrize("name", FLAGS[:2] + VALUES[:2])
def test_properties_have_no_deleter(bot, name):
    with pytest.raises(AttributeError):
        delattr(bot, name)


@pytest.mark.parametrize("kwargs, chat_id", [
    ({}, CHAT_ID),
    ({"chat_id": 12}, 12),
    ({"chat_id": 12.0}, 12),
    ({"chat_id": 12.9}, 12),
    ({"chat_id": Fraction(25, 2)}, 12),
    ({"chat_id": Decimal("-5")}, -5),
])
def test_send_message_converts_chat_id(bot, chat_server, kwargs, chat_id):
    assert bot.send_message("x y", **kwargs) is None
    assert chat_server.wait_for_messages(1) == [{"chat_id": chat_id, "text": "x y"}]


class Text(str):
    pass


@pytest.mark.parametrize("args, kwargs, error", [
    (("x",), {"chat_id": "12"}, TypeError),
    (("x",), {"chat_id": None}, TypeError),
    (("x",), {"chat_id": [12]}, TypeError),
    (("x",), {"chat_id": 1j}, TypeError),
    (("x",), {"chat_id": BadInt()}, ValueError),
    ((5,), {}, TypeError),
    ((None,), {}, TypeError),
    ((Text("x"),), {}, TypeError),
    ((b"x",), {"chat_id": 12}, TypeError),
])
def test_send_message_refusals_send_nothing(bot, chat_server, args, kwargs, error):
    with pytest.raises(error):
        bot.send_message(*args, **kwargs)
    bot.send_message("after")
    assert [m["text"] for m in chat_server.wait_for_messages(1)] == ["after"]


# The texts of the shared layer's argument checks, the same on both sides.
@pytest.mark.parametrize("call, text", [
    (lambda b: setattr(b, "velmor_trader_status", None),
     "'val' has incorrect type (expected str, got NoneType)"),
    (lambda b: b.send_message("x", chat_id="12"),
     "'chat_id' has incorrect type (expected int, got str)"),
    (lambda b: b.send_message(5), "'msg' has incorrect type (expected str, got int)"),
    (lambda b: b.send_message(Text("x")), "'msg' has incorrect type (expected str, got Text)"),
    (lambda b: type(b)(token=b"t"), "'token' has incorrect type (expected str, got bytes)"),
])
def test_type_error_texts(bot, call, text):
    with pytest.raises(TypeError) as caught:
        call(bot)
    assert str(caught.value) == "Argument " + text


@pytest.mark.parametrize("token", [None, 123456, b"123456:abc", Text("123456:abc")])
def test_constructor_refuses_non_text_token_before_connecting(botmod, second_bot, token):
    _, server = second_bot()
    calls = len(server.calls)
    bots = []
    with pytest.raises(TypeError):
        bots.append(botmod.TelegramBot(token=token))
    assert not bots
    assert all(method != "getMe" for method, _ in server.calls[calls:])


def test_echo_filter_read_as_written(botmod, second_bot, monkeypatch):
    """Filters.text & ~Filters.command: text is read first."""
    import telegram.ext
    read = []

    class Recording:
        def __getattr__(self, name):
            read.append(name)
            return getattr(telegram.ext.Filters, name)

    monkeypatch.setattr(botmod, "Filters", Recording())
    second_bot()
    assert read == ["text", "command"]


def test_get_chat_id_without_pending_update(bot):
    with pytest.raises(IndexError):
        bot.get_chat_id()
    assert bot.updates == []


def test_get_chat_id_reads_oldest_pending_update(second_bot, capsys):
    fresh, server = second_bot()
    fresh.close()  # stop polling so the updates stay pending
    fresh.velmor_trader_status = "Stopped"
    server.push_message("first", chat_id=CHAT_ID, user_id=31)
    server.push_message("second", chat_id=CHAT_ID, user_id=32)
    assert fresh.get_chat_id() == 31
    assert [u.message.text for u in fresh.updates] == ["first", "second"]
    assert "first" in capsys.readouterr().out
    assert fresh.velmor_trader_status == "Stopped"  # close() keeps the requests
