# The plain-Python twin of velmor_trader.plugins.telegram.bot: the same module
# body, handlers and classes, with the same namespace, texts and order of
# reads and calls.  Importing it creates ``bot`` and starts polling, exactly
# like the native module.  Its namespace is the native module's too: what
# the native module keeps in C++ the twin keeps in closures, its builders
# deleted once used.
from datetime import datetime
import logging
from telegram import Update
from telegram.ext import Updater
from telegram.ext import ExtBot
from telegram.ext import CallbackContext
from telegram.ext import CommandHandler
from telegram.ext import MessageHandler
from telegram.ext import Filters

from velmor_trader_config import TELEGRAM_TOKEN, TELEGRAM_CHAT_ID

# Optional: the Bot API server to use instead of the client's default (a
# self-hosted server, or the local stand-in).
TELEGRAM_BASE_URL = getattr(__import__("velmor_trader_config"), "TELEGRAM_BASE_URL", None)
logger = logging.getLogger(__name__)


class CustomedExtBot(ExtBot):
    __slots__ = ("velmor_trader_status",)


class _Command:
    """One handler call: handler(update, context)."""

    __slots__ = ("update", "context", "chat_id")

    def __init__(self, update, context):
        self.update, self.context, self.chat_id = update, context, None

    def admitted(self):
        # True when the update comes from the configured chat; logs it otherwise.
        chat = self.update.effective_chat
        chat_id = chat if chat is None else chat.id
        if chat_id is not None and chat_id == TELEGRAM_CHAT_ID:
            self.chat_id = chat_id
            return True
        logger.warning("Ignored an update from chat %s (not the configured chat)", chat_id)
        return False

    def edited(self):
        return self.update.edited_message is not None

    def queue_request(self, command, **arguments):
        request = (command, arguments)
        # A client the bot did not build (a test's, another bot's) has no
        # queue: the flags alone carry the request, as they did before there
        # was one.
        try:
            queue = self.context.bot.velmor_trader_requests
        except AttributeError:
            return
        queue.append(request)

    def queue_plain(self, command):
        # Words the command does not take go with the request, so that the
        # engine can tell "/cancel_orders FUTU" from "/cancel_orders".
        args = self.context.args
        if len(args) > 0:
            self.queue_request(command, words=args)
        else:
            self.queue_request(command)

    def reply(self, text):
        self.context.bot.send_message(chat_id=self.chat_id, text=text)

    def reply_stamped(self, *texts):
        self.reply("".join(("[", str(datetime.now()), "]") + texts))


def _command(body, edits_refused=True, _Command=_Command):
    """The gate of every handler: only the configured chat is served, and an
    edited command is answered, never carried out (the library hands edits
    to command handlers too)."""
    def handler(update: "Update", context: "CallbackContext"):
        cmd = _Command(update, context)
        if not cmd.admitted():
            return
        if edits_refused and cmd.edited():
            return cmd.reply_stamped(" Edited commands are not carried out: send the command "
                                     "again as a new message.")
        body(cmd)
    handler.__name__ = handler.__qualname__ = body.__name__
    handler.__doc__ = body.__doc__
    return handler


def echo(cmd):
    """Echo command"""
    # Edited messages and channel posts pass the text filter without a message.
    message = cmd.update.message
    if message is None:
        return
    text = message.text
    if text is None:
        return
    cmd.reply("[ECHO] " + text)


echo = _command(echo, edits_refused=False)


@_command
def stop(cmd):
    """/stop [no parameters]: Stop the engine"""
    cmd.context.bot.velmor_trader_status = "Terminated"
    cmd.queue_plain("stop")
    cmd.reply_stamped(" Terminating Velmor-Trader...")


@_command
def balance(cmd):
    """/balance [no parameters]: Fetch balance"""
    cmd.context.bot.get_balance = True
    cmd.queue_plain("balance")
    cmd.reply_stamped(" Fetching balance...")


@_command
def positions(cmd):
    """/positions [no parameters]: Fetch positions of all gateways"""
    cmd.context.bot.get_positions = True
    cmd.queue_plain("positions")
    cmd.reply_stamped(" Fetching positions...")


@_command
def orders(cmd):
    """/orders [parameters]: Fetch orders\n- filter:str (optional) if "-a", only return alive orders\n- n:int (optional) number of displayed records"""
    args = cmd.context.args
    cmd.reply_stamped(" ", str(args), "...")
    n = len(args)
    if n > 2:
        return cmd.reply(orders.__doc__)
    # At most one "-a" and one count, in either order; "-a -a" gives no count.
    all_ = False
    word = None
    for i in range(n):
        nxt = args[i]
        flag = nxt == "-a"
        if (all_ if flag else word is not None):
            return cmd.reply(orders.__doc__)
        if flag:
            all_ = True
        else:
            word = nxt
    given = None
    if word is not None:
        try:
            given = int(word)
        except ValueError:
            return cmd.reply(orders.__doc__)
    if all_:
        cmd.context.bot.active_orders = True
    if given is not None:
        cmd.context.bot.num_orders_displayed = given
    cmd.context.bot.get_orders = True
    # The request is what the answer below reports, earlier values included:
    # context.bot.active_orders, then context.bot.num_orders_displayed.
    active = cmd.context.bot.active_orders
    count = cmd.context.bot.num_orders_displayed
    cmd.queue_request("orders", active_orders=active, num_orders_displayed=count)
    cmd.reply_stamped(" Fetching orders (active_orders=", str(active),
                      ", num_orders_displayed=", str(count), ")...")


@_command
def deals(cmd):
    """/deals [parameters]: fetch done deals\n- n:int (optional) number of displayed records"""
    args = cmd.context.args
    n = len(args)
    if n > 1:
        return cmd.reply(deals.__doc__)
    if n == 1:
        try:
            count = int(args[0])
        except ValueError:
            return cmd.reply(deals.__doc__)
        cmd.context.bot.num_deals_displayed = count
    cmd.context.bot.get_deals = True
    count = cmd.context.bot.num_deals_displayed
    cmd.queue_request("deals", num_deals_displayed=count)
    cmd.reply_stamped(" Fetching deals (num_deals_displayed=", str(count), ")...")


@_command
def cancel_orders(cmd):
    """/cancel_orders [no parameters]: cancel all active orders"""
    cmd.context.bot.cancel_orders = True
    cmd.queue_plain("cancel_orders")
    cmd.reply_stamped(" Canceling all active orders...")


@_command
def cancel_order(cmd):
    """/cancel_order [parameters]: cancel an active order\n- order_id: str, the id of the order\n- gateway_name: str, the name of the gateway"""
    args = cmd.context.args
    if len(args) != 2:
        return cmd.reply(cancel_order.__doc__)
    order_id, gateway = str(args[0]), str(args[1])
    cmd.context.bot.cancel_order_id = order_id
    cmd.context.bot.gateway_name = gateway
    cmd.context.bot.cancel_order = True
    cmd.queue_request("cancel_order", cancel_order_id=order_id, gateway_name=gateway)
    cmd.reply_stamped(" Canceling order: order_id=", order_id, ",gateway_name=", gateway, "...")


@_command
def send_order(cmd):
    """/send_order [parameters] send an order with string instruction:\n- order_string: str, security_code, quantity, direction(l/s), offset(o/c),\n                order_type(m/l/s), gateway_name, price(None),\n                stop_price(None)"""
    args = cmd.context.args
    word = args[0] if len(args) == 1 else None
    if word is None or len(word.split(",")) != 8:
        return cmd.reply(send_order.__doc__)
    cmd.context.bot.order_string = word
    cmd.context.bot.send_order = True
    cmd.queue_request("send_order", order_string=word)
    cmd.reply_stamped(" Send order (", str(args), ")...")


@_command
def close_positions(cmd):
    """/close_positions [parameters]:\n- gateway_name: str, the name of the gateway"""
    args = cmd.context.args
    n = len(args)
    if n > 1:
        return cmd.reply(close_positions.__doc__)
    # The queued request names the gateway this command gave, None for all.
    gateway = None
    if n == 1:
        gateway = args[0]
        cmd.context.bot.close_positions_gateway_name = gateway
    cmd.context.bot.close_positions = True
    cmd.queue_request("close_positions", close_positions_gateway_name=gateway)
    cmd.reply_stamped(" Closing positions...")


def _updaters_stopped_at_exit():
    """A new list of updaters that are stopped at shutdown if still running.

    The chat library's polling threads are not daemons: a program that ends
    without close() would wait for them for ever.  threading's own exit hooks
    run before the interpreter waits for its threads; the atexit module's
    only after."""
    updaters = []

    def write_unraisable(exc, obj):
        # sys.unraisablehook takes only the interpreter's own argument type,
        # which is not exposed: one object whose destructor fails yields it.
        import sys
        seen = []
        hook, sys.unraisablehook = sys.unraisablehook, seen.append
        try:
            type("_Probe", (), {"__del__": lambda self: None.fail})()
        finally:
            sys.unraisablehook = hook
        sys.unraisablehook(type(seen[0])((type(exc), exc, exc.__traceback__, None, obj)))

    def _stop_polling_at_exit():
        # One updater that fails to stop is reported as unraisable, like an
        # error in a destructor, and keeps neither the others from stopping
        # nor the interpreter from going on with its shutdown.
        for updater in list(updaters):
            try:
                if updater.running:
                    updater.stop()
            except Exception as exc:
                write_unraisable(exc, updater)

    __import__("threading")._register_atexit(_stop_polling_at_exit)
    return updaters


def _telegram_bot_init(updaters):
    from velmor_trader.twins._host import incorrect_type

    def __init__(self, token: "str"):
        if type(token) is not str:
            raise incorrect_type("token", "str", token)
        base_url = TELEGRAM_BASE_URL
        client_class = CustomedExtBot
        if base_url is None:
            client = client_class(token=token)
        else:
            client = client_class(token=token, base_url=base_url)
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
        # The request queue beside the flags: (command, arguments) of every
        # accepted command, in the order they came.  A deque, so that the
        # dispatcher's thread appends and the engine's thread pops without a lock.
        self.updater.bot.velmor_trader_requests = __import__("collections").deque()
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
        # Stopped at exit; those stopped since (close()) are not kept alive.
        updater = self.updater
        updaters[:] = [u for u in list(updaters) if u.running] + [updater]
        updater.start_polling()
    __init__.__qualname__ = "TelegramBot.__init__"
    return __init__


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

    __init__ = _telegram_bot_init(_updaters_stopped_at_exit())

    @property
    def velmor_trader_status(self):
        return self.updater.bot.velmor_trader_status

    @velmor_trader_status.setter
    def velmor_trader_status(self, val: "str"):
        if type(val) is not str:
            from velmor_trader.twins._host import incorrect_type
            raise incorrect_type("val", "str", val)
        self.updater.bot.velmor_trader_status = val

    @property
    def get_balance(self):
        return self.updater.bot.get_balance

    @get_balance.setter
    def get_balance(self, val: "bool"):
        self.updater.bot.get_balance = bool(val)

    @property
    def get_positions(self):
        return self.updater.bot.get_positions

    @get_positions.setter
    def get_positions(self, val: "bool"):
        self.updater.bot.get_positions = bool(val)

    @property
    def get_orders(self):
        return self.updater.bot.get_orders

    @get_orders.setter
    def get_orders(self, val: "bool"):
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
    def active_orders(self, val: "bool"):
        self.updater.bot.active_orders = bool(val)

    @property
    def get_deals(self):
        return self.updater.bot.get_deals

    @get_deals.setter
    def get_deals(self, val: "bool"):
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
    def cancel_order(self, val: "bool"):
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
    def cancel_orders(self, val: "bool"):
        self.updater.bot.cancel_orders = bool(val)

    @property
    def send_order(self):
        return self.updater.bot.send_order

    @send_order.setter
    def send_order(self, val: "bool"):
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
    def close_positions(self, val: "bool"):
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

    def send_message(self, msg: "str", chat_id: "int" = TELEGRAM_CHAT_ID):
        if type(chat_id) is not int or type(msg) is not str:
            # The checks' helpers are imported here, off the common path,
            # to keep the module's namespace the native module's.
            from velmor_trader.twins._host import incorrect_type, to_int
            chat_id = to_int(chat_id, "chat_id")
            if type(msg) is not str:
                raise incorrect_type("msg", "str", msg)
        self.updater.bot.send_message(chat_id=chat_id, text=msg)

    def close(self):
        self.updater.stop()

    def get_updates(self):
        self.updates = self.updater.bot.get_updates()
        print(self.updates[0])

    def get_chat_id(self):
        self.get_updates()
        return self.updates[0].message.from_user.id


del _Command, _command, _updaters_stopped_at_exit, _telegram_bot_init  # builders, used

bot = TelegramBot(token=TELEGRAM_TOKEN)

if __name__ == "__main__":
    chat_id = TELEGRAM_CHAT_ID
    try:
        bot.send_message(chat_id=chat_id, msg="Yes I am here!")
    finally:
        bot.close()
    print("Closed.")
