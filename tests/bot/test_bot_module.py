"""The bot module's namespace, signatures and texts."""
import datetime as dt
import inspect

import pytest
import telegram
import telegram.ext

from bot_helpers import CHAT_ID, TOKEN

HANDLERS = ["echo", "stop", "balance", "positions", "orders", "deals", "cancel_orders",
            "cancel_order", "send_order", "close_positions"]
PROPERTIES = ["velmor_trader_status", "get_balance", "get_positions", "get_orders",
              "num_orders_displayed", "active_orders", "get_deals", "num_deals_displayed",
              "cancel_order", "cancel_order_id", "gateway_name", "cancel_orders", "send_order",
              "order_string", "close_positions", "close_positions_gateway_name"]
HELP = ("\n" + "".join("    " + line + "\n" for line in [
    '<Velmor-Trader TelegramBot> Available commands:"', "1. /stop", "2. /balance",
    "3. /positions", "4. /orders", "5. /deals", "6. /cancel_order", "7. /cancel_orders",
    "8. /send_order", "9. /close_positions", "10. /help"]) + "    ")


def as_compiled(doc):
    """``doc`` as the running host's compiler keeps a class's docstring
    (from 3.13 it strips the indentation)."""
    namespace = {}
    exec(f"class C:\n    {doc!r}\n", namespace)
    return namespace["C"].__doc__


def test_namespace(botmod):
    assert botmod.datetime is dt.datetime
    assert botmod.Update is telegram.Update
    for name in ["Updater", "ExtBot", "CallbackContext", "CommandHandler", "MessageHandler",
                 "Filters"]:
        assert getattr(botmod, name) is getattr(telegram.ext, name)
    assert (botmod.TELEGRAM_TOKEN, botmod.TELEGRAM_CHAT_ID) == (TOKEN, CHAT_ID)
    assert isinstance(botmod.bot, botmod.TelegramBot)


def test_customed_ext_bot(botmod):
    cls = botmod.CustomedExtBot
    assert cls.__bases__ == (telegram.ext.ExtBot,)
    assert cls.__slots__ == ("velmor_trader_status",)
    assert isinstance(botmod.bot.updater.bot, cls)


@pytest.mark.parametrize("name", HANDLERS)
def test_handler_signature(botmod, name):
    func = getattr(botmod, name)
    assert func.__name__ == name
    sig = inspect.signature(func)
    assert list(sig.parameters) == ["update", "context"]
    assert func.__annotations__ == {"update": "Update", "context": "CallbackContext"}


@pytest.mark.parametrize("name, doc", [
    ("echo", "Echo command"),
    ("stop", "/stop [no parameters]: Stop the engine"),
    ("balance", "/balance [no parameters]: Fetch balance"),
    ("positions", "/positions [no parameters]: Fetch positions of all gateways"),
    ("cancel_orders", "/cancel_orders [no parameters]: cancel all active orders"),
])
def test_one_line_usage_texts(botmod, name, doc):
    assert getattr(botmod, name).__doc__ == doc


def test_multi_line_usage_texts(botmod):
    from test_bot_commands import (CANCEL_ORDER_USAGE, CLOSE_POSITIONS_USAGE, DEALS_USAGE,
                                   ORDERS_USAGE, SEND_ORDER_USAGE)
    assert botmod.orders.__doc__ == ORDERS_USAGE
    assert botmod.deals.__doc__ == DEALS_USAGE
    assert botmod.cancel_order.__doc__ == CANCEL_ORDER_USAGE
    assert botmod.send_order.__doc__ == SEND_ORDER_USAGE
    assert botmod.close_positions.__doc__ == CLOSE_POSITIONS_USAGE


def test_telegram_bot_class(botmod):
    cls = botmod.TelegramBot
    assert cls.__doc__ == as_compiled(HELP)
    assert cls.__bases__ == (object,)
    # The request queue follows the sixteen request properties, read-only.
    assert [n for n, v in vars(cls).items() if isinstance(v, property)] == PROPERTIES + ["requests"]
    assert cls.requests.fset is None
    for name in PROPERTIES:
        prop = vars(cls)[name]
        assert prop.fdel is None
        assert list(inspect.signature(prop.fset).parameters) == ["self", "val"]
    assert vars(cls)["velmor_trader_status"].fset.__annotations__ == {"val": "str"}
    assert vars(cls)["get_balance"].fset.__annotations__ == {"val": "bool"}
    assert list(inspect.signature(cls.__init__).parameters) == ["self", "token"]
    assert cls.__init__.__annotations__ == {"token": "str"}


def test_send_message_signature(botmod):
    func = botmod.TelegramBot.send_message
    sig = inspect.signature(func)
    assert list(sig.parameters) == ["self", "msg", "chat_id"]
    assert sig.parameters["chat_id"].default == CHAT_ID
    assert func.__annotations__ == {"msg": "str", "chat_id": "int"}
    for name in ["close", "get_updates", "get_chat_id"]:
        assert list(inspect.signature(getattr(botmod.TelegramBot, name)).parameters) == ["self"]


def test_handlers_take_keywords(botmod, bot, chat_server):
    class Context:
        args = []
        def __init__(self, client):
            self.bot = client

    update = type("U", (), {"edited_message": None})()
    update.effective_chat = type("C", (), {"id": CHAT_ID})()
    botmod.balance(update=update, context=Context(bot.updater.bot))
    assert bot.get_balance is True
    assert chat_server.wait_for_messages(1)[0]["text"].endswith("] Fetching balance...")


@pytest.mark.parametrize("message", [None, type("M", (), {"text": None})()])
def test_echo_without_message_text(botmod, bot, chat_server, message):
    update = type("U", (), {"message": message})()
    update.effective_chat = type("C", (), {"id": CHAT_ID})()
    context = type("Ctx", (), {"bot": bot.updater.bot, "args": []})()
    assert botmod.echo(update, context) is None
    bot.send_message("after")
    assert [m["text"] for m in chat_server.wait_for_messages(1)] == ["after"]
