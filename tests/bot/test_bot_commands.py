"""Chat commands end to end: the client library polls the local server, the
dispatcher runs the handlers, and the engine side reads the requests through
the bot's properties."""
import logging
import re

import pytest

from bot_helpers import CHAT_ID, INITIAL, OTHER_CHAT_ID

STAMP = r"\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d(?:\.\d{6})?\] "

ORDERS_USAGE = ('/orders [parameters]: Fetch orders\n'
                '- filter:str (optional) if "-a", only return alive orders\n'
                '- n:int (optional) number of displayed records')
DEALS_USAGE = "/deals [parameters]: fetch done deals\n- n:int (optional) number of displayed records"
CANCEL_ORDER_USAGE = ("/cancel_order [parameters]: cancel an active order\n"
                      "- order_id: str, the id of the order\n"
                      "- gateway_name: str, the name of the gateway")
SEND_ORDER_USAGE = ("/send_order [parameters] send an order with string instruction:\n"
                    "- order_string: str, security_code, quantity, direction(l/s), offset(o/c),\n"
                    + " " * 16 + "order_type(m/l/s), gateway_name, price(None),\n"
                    + " " * 16 + "stop_price(None)")
CLOSE_POSITIONS_USAGE = "/close_positions [parameters]:\n- gateway_name: str, the name of the gateway"


def state(bot):
    return {name: getattr(bot, name) for name in INITIAL}


def changed(bot):
    return {k: v for k, v in state(bot).items() if v != INITIAL[k] or type(v) is not type(INITIAL[k])}


def assert_stamped(text, tail):
    assert re.fullmatch(STAMP + re.escape(tail), text), text


def test_echo_repeats_plain_text(bot, chat):
    assert chat.send("hello", 1) == ["[ECHO] hello"]
    assert changed(bot) == {}


@pytest.mark.parametrize("text", ["/help", "/help me", "/unknown", "/Balance_x"])
def test_unregistered_command_gets_no_reply(bot, chat, text):
    assert chat.send_unanswered(text) == [{"chat_id": CHAT_ID, "text": "[ECHO] barrier"}]
    assert changed(bot) == {}


@pytest.mark.parametrize("text, attribute, value, tail", [
    ("/stop", "velmor_trader_status", "Terminated", "Terminating Velmor-Trader..."),
    ("/stop now please", "velmor_trader_status", "Terminated", "Terminating Velmor-Trader..."),
    ("/balance", "get_balance", True, "Fetching balance..."),
    ("/balance all of it", "get_balance", True, "Fetching balance..."),
    ("/positions", "get_positions", True, "Fetching positions..."),
    ("/positions x", "get_positions", True, "Fetching positions..."),
    ("/cancel_orders", "cancel_orders", True, "Canceling all active orders..."),
    ("/cancel_orders 1 2", "cancel_orders", True, "Canceling all active orders..."),
])
def test_commands_without_arguments(bot, chat, text, attribute, value, tail):
    replies = chat.send(text, 1)
    assert len(replies) == 1
    assert_stamped(replies[0], tail)
    assert changed(bot) == {attribute: value}


@pytest.mark.parametrize("words, active, count", [
    ("", False, 1),
    ("-a", True, 1),
    ("5", False, 5),
    ("-a 5", True, 5),
    ("5 -a", True, 5),
    ("0", False, 0),
    ("-3", False, -3),
    ("1_0", False, 10),
])
def test_orders_accepted(bot, chat, words, active, count):
    ack, fetch = chat.send(f"/orders {words}".strip(), 2)
    assert_stamped(ack, str(words.split()) + "...")
    assert_stamped(fetch, f"Fetching orders (active_orders={active}, num_orders_displayed={count})...")
    expected = {"get_orders": True, "active_orders": active, "num_orders_displayed": count}
    assert changed(bot) == {k: v for k, v in expected.items() if v != INITIAL[k]}
    assert type(bot.num_orders_displayed) is int


@pytest.mark.parametrize("words", ["x", "-a x", "5 6", "1 2 3", "-a -a", "-a 1.5"])
def test_orders_rejected_after_acknowledgement(bot, chat, words):
    ack, usage = chat.send(f"/orders {words}", 2)
    assert_stamped(ack, str(words.split()) + "...")
    assert usage == ORDERS_USAGE
    assert chat.send("barrier", 1) == ["[ECHO] barrier"]  # nothing more was sent
    assert changed(bot) == {}


def test_orders_reports_pending_filter(bot, chat):
    chat.send("/orders -a", 2)
    _, fetch = chat.send("/orders 5", 2)
    assert_stamped(fetch, "Fetching orders (active_orders=True, num_orders_displayed=5)...")


def test_engine_clears_through_setters(bot, chat):
    chat.send("/orders -a 3", 2)
    bot.get_orders = False
    bot.active_orders = 0
    assert (bot.get_orders, bot.active_orders) == (False, False)
    _, fetch = chat.send("/orders", 2)
    assert_stamped(fetch, "Fetching orders (active_orders=False, num_orders_displayed=3)...")
    assert bot.get_orders is True


def test_second_request_overwrites_only_what_it_writes(bot, chat):
    chat.send("/orders -a 3", 2)
    chat.send("/orders 7", 2)
    chat.send("/deals 4", 1)
    chat.send("/deals", 1)
    assert changed(bot) == {"get_orders": True, "active_orders": True, "num_orders_displayed": 7,
                            "get_deals": True, "num_deals_displayed": 4}


@pytest.mark.parametrize("words, count", [("", 1), ("3", 3), ("-2", -2)])
def test_deals_accepted(bot, chat, words, count):
    replies = chat.send(f"/deals {words}".strip(), 1)
    assert len(replies) == 1
    assert_stamped(replies[0], f"Fetching deals (num_deals_displayed={count})...")
    assert changed(bot) == {k: v for k, v in {"get_deals": True, "num_deals_displayed": count}.items()
                            if v != INITIAL[k]}


@pytest.mark.parametrize("text, usage", [
    ("/deals x", DEALS_USAGE),
    ("/deals 1 2", DEALS_USAGE),
    ("/cancel_order", CANCEL_ORDER_USAGE),
    ("/cancel_order 123", CANCEL_ORDER_USAGE),
    ("/cancel_order 1 2 3", CANCEL_ORDER_USAGE),
    ("/send_order", SEND_ORDER_USAGE),
    ("/send_order 700,100,l,o,m,GW,None", SEND_ORDER_USAGE),
    ("/send_order 700,100,l,o,m,GW,None,None,x", SEND_ORDER_USAGE),
    ("/send_order 700, 100, l, o, m, GW, None, None", SEND_ORDER_USAGE),
    ("/close_positions A B", CLOSE_POSITIONS_USAGE),
])
def test_rejected_arguments_get_usage_only(bot, chat, text, usage):
    assert chat.send(text, 1) == [usage]
    assert chat.send("barrier", 1) == ["[ECHO] barrier"]
    assert changed(bot) == {}


def test_cancel_order(bot, chat):
    (reply,) = chat.send("/cancel_order 123 GW", 1)
    assert_stamped(reply, "Canceling order: order_id=123,gateway_name=GW...")
    assert changed(bot) == {"cancel_order": True, "cancel_order_id": "123", "gateway_name": "GW"}


@pytest.mark.parametrize("word", ["700,100,l,o,m,FUTU,None,None", ",,,,,,,"])
def test_send_order(bot, chat, word):
    (reply,) = chat.send(f"/send_order {word}", 1)
    assert_stamped(reply, f"Send order (['{word}'])...")
    assert changed(bot) == {"send_order": True, "order_string": word}


@pytest.mark.parametrize("words, gateway", [("GW", "GW"), ("", None)])
def test_close_positions(bot, chat, words, gateway):
    (reply,) = chat.send(f"/close_positions {words}".strip(), 1)
    assert_stamped(reply, "Closing positions...")
    assert bot.close_positions_gateway_name == gateway
    assert bot.close_positions is True


def test_close_positions_keeps_pending_gateway(bot, chat):
    chat.send("/close_positions GW", 1)
    chat.send("/close_positions", 1)
    assert bot.close_positions_gateway_name == "GW"


@pytest.mark.parametrize("text", ["hello", "/stop", "/balance", "/orders -a 5", "/orders",
                                  "/cancel_order 1 GW", "/send_order ,,,,,,,", "/close_positions GW"])
def test_other_chat_is_ignored_and_logged(botmod, bot, chat, caplog, text):
    with caplog.at_level(logging.WARNING):
        assert chat.send_unanswered(text, chat_id=OTHER_CHAT_ID) == [
            {"chat_id": CHAT_ID, "text": "[ECHO] barrier"}]
    assert changed(bot) == {}
    logged = [r for r in caplog.records if str(OTHER_CHAT_ID) in r.getMessage()]
    assert len(logged) == 1
    assert logged[0].name == botmod.__name__


def test_echo_ignores_update_without_message(bot, chat):
    # An edited text message passes the echo filter but carries no `message`.
    assert chat.send_unanswered("hello again", edited=True) == [
        {"chat_id": CHAT_ID, "text": "[ECHO] barrier"}]


COMMANDS = ["/stop", "/balance", "/positions", "/orders -a 5", "/deals 3", "/cancel_order 1 GW",
            "/cancel_orders", "/send_order 00700,101,l,o,m,CQG,None,None", "/close_positions GW"]


@pytest.mark.parametrize("text", COMMANDS)
def test_edited_command_is_answered_not_carried_out(bot, chat, text):
    (reply,) = chat.send(text, 1, edited=True)
    assert_stamped(reply, "Edited commands are not carried out: send the command again as a new message.")
    assert chat.send("barrier", 1) == ["[ECHO] barrier"]
    assert changed(bot) == {} and not bot.requests


def test_every_accepted_request_is_queued_in_order(bot, chat):
    # The flags keep one pending request of a kind; the queue keeps them all.
    chat.send("/send_order A,1,l,o,m,CQG,None,None", 1)
    chat.send("/send_order B,2,s,o,m,CQG,None,None", 1)
    chat.send("/orders -a 5", 2)
    chat.send("/orders 7", 2)
    chat.send("/orders x", 2)                       # refused: not queued
    chat.send("/deals", 1)
    chat.send("/close_positions GW", 1)
    chat.send("/close_positions", 1)
    chat.send("/cancel_order 12 GW", 1)
    chat.send("/stop", 1)
    assert list(bot.requests) == [
        ("send_order", {"order_string": "A,1,l,o,m,CQG,None,None"}),
        ("send_order", {"order_string": "B,2,s,o,m,CQG,None,None"}),
        ("orders", {"active_orders": True, "num_orders_displayed": 5}),
        ("orders", {"active_orders": True, "num_orders_displayed": 7}),
        ("deals", {"num_deals_displayed": 1}),
        ("close_positions", {"close_positions_gateway_name": "GW"}),
        ("close_positions", {"close_positions_gateway_name": None}),
        ("cancel_order", {"cancel_order_id": "12", "gateway_name": "GW"}),
        ("stop", {}),
    ]
    assert bot.order_string == "B,2,s,o,m,CQG,None,None"


@pytest.mark.parametrize("text, request_", [
    ("/cancel_orders FUTU", ("cancel_orders", {"words": ["FUTU"]})),
    ("/stop now please", ("stop", {"words": ["now", "please"]})),
    ("/balance", ("balance", {})),
    ("/positions CQG", ("positions", {"words": ["CQG"]}))])
def test_words_a_command_does_not_take_go_with_its_request(bot, chat, text, request_):
    # The acknowledgement stays as for the bare command; the engine decides.
    chat.send(text, 1)
    assert list(bot.requests) == [request_]


@pytest.mark.parametrize("handler, words, attribute, value", [
    ("balance", [], "get_balance", True),
    ("orders", ["-a", "3"], "num_orders_displayed", 3),
    ("close_positions", ["GW"], "close_positions_gateway_name", "GW"),
])
def test_handler_serves_a_client_the_bot_did_not_build(botmod, handler, words, attribute, value):
    """A client without the request queue (another bot's, a test's) still
    gets its flags written and an answer: the queue is the bot's own."""
    from types import SimpleNamespace

    sent = []
    client = SimpleNamespace(**INITIAL, send_message=lambda chat_id, text: sent.append((chat_id, text)))
    update = SimpleNamespace(effective_chat=SimpleNamespace(id=CHAT_ID), edited_message=None)
    getattr(botmod, handler)(update, SimpleNamespace(bot=client, args=words))
    assert getattr(client, attribute) == value
    assert sent and all(chat_id == CHAT_ID for chat_id, _ in sent)
    assert not hasattr(client, "velmor_trader_requests")
