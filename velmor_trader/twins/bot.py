"""Pure-Python version of velmor_trader.plugins.telegram.bot.

The benchmark's baseline: the same module body, handlers and classes as the
native module, written in Python.  Importing it creates ``bot`` and starts
polling, exactly like the native module.
"""
from __future__ import annotations

import collections
from datetime import datetime
import logging
import threading

from telegram import Update
from telegram.ext import Updater
from telegram.ext import ExtBot
from telegram.ext import CallbackContext
from telegram.ext import CommandHandler
from telegram.ext import MessageHandler
from telegram.ext import Filters

from velmor_trader_config import TELEGRAM_TOKEN, TELEGRAM_CHAT_ID

try:  # optional: a self-hosted Bot API server or the local stand-in
    from velmor_trader_config import TELEGRAM_BASE_URL
except ImportError:
    TELEGRAM_BASE_URL = None

logger = logging.getLogger(__name__)


# Polling threads are not daemons: every bot's updater still running is
# stopped at shutdown, before the interpreter waits for its threads.
_updaters = []


def _stop_polling_at_exit():
    for updater in list(_updaters):
        try:
            if updater.running:
                updater.stop()
        except Exception:
            logger.exception("Could not stop polling at exit")


threading._register_atexit(_stop_polling_at_exit)


class CustomedExtBot(ExtBot):
    __slots__ = ("velmor_trader_status",)


def _from_operator(update):
    """True when the update comes from the configured chat; logs it otherwise."""
    chat = update.effective_chat
    chat_id = None if chat is None else chat.id
    if chat_id is not None and chat_id == TELEGRAM_CHAT_ID:
        return True
    logger.warning("Ignored an update from chat %s (not the configured chat)", chat_id)
    return False


def _command(body):
    """Every command handler: only the configured chat is served, and an
    edited command is answered, never carried out (the library hands edits
    to command handlers too)."""
    def handler(update: Update, context: CallbackContext):
        if not _from_operator(update):
            return
        if update.edited_message is not None:
            _reply(update, context, "[" + str(datetime.now()) + "] Edited commands are not "
                   "carried out: send the command again as a new message.")
            return
        body(update, context)
    handler.__name__ = handler.__qualname__ = body.__name__
    handler.__doc__ = body.__doc__
    return handler


def _queue(context, command, **arguments):
    # A client the bot did not build has no queue: the flags carry the request.
    try:
        queue = context.bot.velmor_trader_requests
    except AttributeError:
        return
    queue.append((command, arguments))


def _reply(update, context, text):
    context.bot.send_message(chat_id=update.effective_chat.id, text=text)


def echo(update: Update, context: CallbackContext):
    """Echo command"""
    if not _from_operator(update):
        return
    message = update.message
    text = None if message is None else message.text
    if text is None:
        return
    _reply(update, context, "[ECHO] " + text)


@_command
def stop(update: Update, context: CallbackContext):
    """/stop [no parameters]: Stop the engine"""
    context.bot.velmor_trader_status = "Terminated"
    _queue(context, "stop")
    _reply(update, context, "[" + str(datetime.now()) + "] Terminating Velmor-Trader...")


@_command
def balance(update: Update, context: CallbackContext):
    """/balance [no parameters]: Fetch balance"""
    context.bot.get_balance = True
    _queue(context, "balance")
    _reply(update, context, "[" + str(datetime.now()) + "] Fetching balance...")


@_command
def positions(update: Update, context: CallbackContext):
    """/positions [no parameters]: Fetch positions of all gateways"""
    context.bot.get_positions = True
    _queue(context, "positions")
    _reply(update, context, "[" + str(datetime.now()) + "] Fetching positions...")


@_command
def orders(update: Update, context: CallbackContext):
    """/orders [parameters]: Fetch orders\n- filter:str (optional) if "-a", only return alive orders\n- n:int (optional) number of displayed records"""
    args = context.args
    _reply(update, context, "[" + str(datetime.now()) + "] " + str(args) + "...")
    n = len(args)
    if n > 2:
        _reply(update, context, orders.__doc__)
        return
    if n == 2:
        if "-a" not in args:
            _reply(update, context, orders.__doc__)
            return
        rest = [a for a in args if a != "-a"]
        if not rest:  # "-a" twice: no count given
            _reply(update, context, orders.__doc__)
            return
        try:
            count = int(rest[0])
        except ValueError:
            _reply(update, context, orders.__doc__)
            return
        context.bot.active_orders = True
        context.bot.num_orders_displayed = count
    elif n == 1:
        if args[0] == "-a":
            context.bot.active_orders = True
        else:
            try:
                count = int(args[0])
            except ValueError:
                _reply(update, context, orders.__doc__)
                return
            context.bot.num_orders_displayed = count
    context.bot.get_orders = True
    active, count = context.bot.active_orders, context.bot.num_orders_displayed
    _queue(context, "orders", active_orders=active, num_orders_displayed=count)
    _reply(update, context,
           "[" + str(datetime.now()) + "] Fetching orders (active_orders="
           + str(active) + ", num_orders_displayed=" + str(count) + ")...")


@_command
def deals(update: Update, context: CallbackContext):
    """/deals [parameters]: fetch done deals\n- n:int (optional) number of displayed records"""
    args = context.args
    if len(args) > 1:
        _reply(update, context, deals.__doc__)
        return
    if len(args) == 1:
        try:
            count = int(args[0])
        except ValueError:
            _reply(update, context, deals.__doc__)
            return
        context.bot.num_deals_displayed = count
    context.bot.get_deals = True
    count = context.bot.num_deals_displayed
    _queue(context, "deals", num_deals_displayed=count)
    _reply(update, context,
           "[" + str(datetime.now()) + "] Fetching deals (num_deals_displayed=" + str(count) + ")...")


@_command
def cancel_orders(update: Update, context: CallbackContext):
    """/cancel_orders [no parameters]: cancel all active orders"""
    context.bot.cancel_orders = True
    _queue(context, "cancel_orders")
    _reply(update, context, "[" + str(datetime.now()) + "] Canceling all active orders...")


@_command
def cancel_order(update: Update, context: CallbackContext):
    """/cancel_order [parameters]: cancel an active order\n- order_id: str, the id of the order\n- gateway_name: str, the name of the gateway"""
    args = context.args
    if len(args) != 2:
        _reply(update, context, cancel_order.__doc__)
        return
    context.bot.cancel_order_id = str(args[0])
    context.bot.gateway_name = str(args[1])
    context.bot.cancel_order = True
    _queue(context, "cancel_order", cancel_order_id=str(args[0]), gateway_name=str(args[1]))
    _reply(update, context,
           "[" + str(datetime.now()) + "] Canceling order: order_id=" + args[0]
           + ",gateway_name=" + args[1] + "...")


@_command
def send_order(update: Update, context: CallbackContext):
    """/send_order [parameters] send an order with string instruction:\n- order_string: str, security_code, quantity, direction(l/s), offset(o/c),\n                order_type(m/l/s), gateway_name, price(None),\n                stop_price(None)"""
    args = context.args
    if len(args) != 1 or len(args[0].split(",")) != 8:
        _reply(update, context, send_order.__doc__)
        return
    context.bot.order_string = args[0]
    context.bot.send_order = True
    _queue(context, "send_order", order_string=args[0])
    _reply(update, context, "[" + str(datetime.now()) + "] Send order (" + str(args) + ")...")


@_command
def close_positions(update: Update, context: CallbackContext):
    """/close_positions [parameters]:\n- gateway_name: str, the name of the gateway"""
    args = context.args
    if len(args) > 1:
        _reply(update, context, close_positions.__doc__)
        return
    if len(args) == 1:
        context.bot.close_positions_gateway_name = args[0]
    context.bot.close_positions = True
    _queue(context, "close_positions",
           close_positions_gateway_name=args[0] if len(args) == 1 else None)
    _reply(update, context, "[" + str(datetime.now()) + "] Closing positions...")


def _is_number(obj):
    t = type(obj)
    return hasattr(t, "__index__") or hasattr(t, "__int__") or hasattr(t, "__float__") \
        or isinstance(obj, complex)


class TelegramBot:
    """
    <Velmor-Trader TelegramBot> Available commands:"
    1. /stop
    2. /balance
    3. /positions
    4. /orders
    5. /deals
    6. /cancel_order
    7. /cancel_orders
    8. /send_order
    9. /close_positions
    10. /help
    """

    def __init__(self, token: str):
        if type(token) is not str:
            raise TypeError(f"token must be str, not {type(token).__name__}")
        if TELEGRAM_BASE_URL is None:
            client = CustomedExtBot(token=token)
        else:
            client = CustomedExtBot(token=token, base_url=TELEGRAM_BASE_URL)
        self.updater = Updater(use_context=True, bot=client)
        self.updater.bot.velmor_trader_status = "Running"
        self.updater.bot.get_balance = False
        self.updater.bot.get_positions = False
        self.updater.bot.get_orders = False
        self.updater.bot.active_orders = False
        self.updater.bot.num_orders_displayed = 1
        self.updater.bot.get_deals = False
        self.updater.bot.num_deals_displayed = 1
        self.updater.bot.cancel_order = False
        self.updater.bot.cancel_order_id = None
        self.updater.bot.gateway_name = None
        self.updater.bot.cancel_orders = False
        self.updater.bot.send_order = False
        self.updater.bot.order_string = ""
        self.updater.bot.close_positions = False
        self.updater.bot.close_positions_gateway_name = None
        self.updater.bot.velmor_trader_requests = collections.deque()
        dispatcher = self.updater.dispatcher
        stop_handler = CommandHandler("stop", stop)
        balance_handler = CommandHandler("balance", balance)
        positions_handler = CommandHandler("positions", positions)
        orders_handler = CommandHandler("orders", orders)
        deals_handler = CommandHandler("deals", deals)
        cancel_order_handler = CommandHandler("cancel_order", cancel_order)
        cancel_orders_handler = CommandHandler("cancel_orders", cancel_orders)
        send_order_handler = CommandHandler("send_order", send_order)
        close_positions_handler = CommandHandler("close_positions", close_positions)
        echo_handler = MessageHandler(Filters.text & ~Filters.command, echo)
        dispatcher.add_handler(echo_handler)
        dispatcher.add_handler(stop_handler)
        dispatcher.add_handler(balance_handler)
        dispatcher.add_handler(positions_handler)
        dispatcher.add_handler(orders_handler)
        dispatcher.add_handler(deals_handler)
        dispatcher.add_handler(cancel_order_handler)
        dispatcher.add_handler(cancel_orders_handler)
        dispatcher.add_handler(send_order_handler)
        dispatcher.add_handler(close_positions_handler)
        _updaters[:] = [u for u in _updaters if u.running] + [self.updater]
        self.updater.start_polling()

    @property
    def velmor_trader_status(self):
        return self.updater.bot.velmor_trader_status

    @velmor_trader_status.setter
    def velmor_trader_status(self, val: str):
        if type(val) is not str:
            raise TypeError(f"velmor_trader_status must be str, not {type(val).__name__}")
        self.updater.bot.velmor_trader_status = val

    @property
    def get_balance(self):
        return self.updater.bot.get_balance

    @get_balance.setter
    def get_balance(self, val: bool):
        self.updater.bot.get_balance = bool(val)

    @property
    def get_positions(self):
        return self.updater.bot.get_positions

    @get_positions.setter
    def get_positions(self, val: bool):
        self.updater.bot.get_positions = bool(val)

    @property
    def get_orders(self):
        return self.updater.bot.get_orders

    @get_orders.setter
    def get_orders(self, val: bool):
        self.updater.bot.get_orders = bool(val)

    @property
    def num_orders_displayed(self):
        return self.updater.bot.num_orders_displayed

    @num_orders_displayed.setter
    def num_orders_displayed(self, val):
        self.updater.bot.num_orders_displayed = val

    @property
    def active_orders(self):
        return self.updater.bot.active_orders

    @active_orders.setter
    def active_orders(self, val: bool):
        self.updater.bot.active_orders = bool(val)

    @property
    def get_deals(self):
        return self.updater.bot.get_deals

    @get_deals.setter
    def get_deals(self, val: bool):
        self.updater.bot.get_deals = bool(val)

    @property
    def num_deals_displayed(self):
        return self.updater.bot.num_deals_displayed

    @num_deals_displayed.setter
    def num_deals_displayed(self, val):
        self.updater.bot.num_deals_displayed = val

    @property
    def cancel_order(self):
        return self.updater.bot.cancel_order

    @cancel_order.setter
    def cancel_order(self, val: bool):
        self.updater.bot.cancel_order = bool(val)

    @property
    def cancel_order_id(self):
        return self.updater.bot.cancel_order_id

    @cancel_order_id.setter
    def cancel_order_id(self, val):
        self.updater.bot.cancel_order_id = val

    @property
    def gateway_name(self):
        return self.updater.bot.gateway_name

    @gateway_name.setter
    def gateway_name(self, val):
        self.updater.bot.gateway_name = val

    @property
    def cancel_orders(self):
        return self.updater.bot.cancel_orders

    @cancel_orders.setter
    def cancel_orders(self, val: bool):
        self.updater.bot.cancel_orders = bool(val)

    @property
    def send_order(self):
        return self.updater.bot.send_order

    @send_order.setter
    def send_order(self, val: bool):
        self.updater.bot.send_order = bool(val)

    @property
    def order_string(self):
        return self.updater.bot.order_string

    @order_string.setter
    def order_string(self, val):
        self.updater.bot.order_string = val

    @property
    def close_positions(self):
        return self.updater.bot.close_positions

    @close_positions.setter
    def close_positions(self, val: bool):
        self.updater.bot.close_positions = bool(val)

    @property
    def close_positions_gateway_name(self):
        return self.updater.bot.close_positions_gateway_name

    @close_positions_gateway_name.setter
    def close_positions_gateway_name(self, val):
        self.updater.bot.close_positions_gateway_name = val

    @property
    def requests(self):
        return self.updater.bot.velmor_trader_requests

    def send_message(self, msg: str, chat_id: int = TELEGRAM_CHAT_ID):
        if type(chat_id) is not int:
            if not _is_number(chat_id):
                raise TypeError(f"chat_id must be a number, not {type(chat_id).__name__}")
            chat_id = int(chat_id)
        if type(msg) is not str:
            raise TypeError(f"msg must be str, not {type(msg).__name__}")
        self.updater.bot.send_message(chat_id=chat_id, text=msg)

    def close(self):
        self.updater.stop()

    def get_updates(self):
        self.updates = self.updater.bot.get_updates()
        print(self.updates[0])

    def get_chat_id(self):
        self.get_updates()
        return self.updates[0].message.from_user.id


bot = TelegramBot(token=TELEGRAM_TOKEN)

if __name__ == "__main__":
    chat_id = TELEGRAM_CHAT_ID
    try:
        bot.send_message(chat_id=chat_id, msg="Yes I am here!")
    finally:
        bot.close()
    print("Closed.")
