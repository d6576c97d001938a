"""The bot's fuzz target: its handlers called with fake updates and contexts
whose client records every read, write and message."""
import collections
import importlib
import sys

from twinfuzz import Log, Rec, Target, failure, load_twin, show

HANDLERS = ("echo", "stop", "balance", "positions", "orders", "deals", "cancel_orders",
            "cancel_order", "send_order", "close_positions")
WORDS = ("-a", "-a", "5", "0", "-1", "x", "１２", " 7", "3.5", "", "GW", "gw",
         "1,2,3,4,5,6,7,8", "a,b", ",,,,,,,", "10000000000000000000000",
         "\x1c7\t", "1_000", "+-1", "1__0", "٣", "7e", "\x0b-2\x1f")
INITIAL = {
    "velmor_trader_status": "Running", "get_balance": False, "get_positions": False,
    "get_orders": False, "active_orders": False, "num_orders_displayed": 1, "get_deals": False,
    "num_deals_displayed": 1, "cancel_order": False, "cancel_order_id": None,
    "gateway_name": None, "cancel_orders": False, "send_order": False, "order_string": "",
    "close_positions": False, "close_positions_gateway_name": None,
}


class FixedClock:
    """Stands in for the module's `datetime`: now() is always the same."""

    @staticmethod
    def now():
        return "2024-01-02 03:04:05.000006"


class RecordingLogger:
    def __init__(self, log):
        self.log = log

    def warning(self, *args):
        self.log.note("warning", tuple(show(a) for a in args))

    def exception(self, *args):
        self.log.note("exception", tuple(show(a) for a in args))


class BotTarget(Target):
    name = "bot"

    def __init__(self, native=None, twin=None):
        super().__init__(native, twin)
        self.chat_id = self.native.TELEGRAM_CHAT_ID

    def generate(self, rng):
        calls = []
        state = {k: rng.choice((v, True, 3, "x")) if rng.random() < 0.1 else v
                 for k, v in INITIAL.items()}
        for _ in range(rng.randint(1, 4)):
            handler = rng.choice(HANDLERS)
            chat = rng.choice(("ours",) * 6 + ("other", "none", "no-chat"))
            edited = rng.random() < 0.1
            message = rng.choice(("text", "text", "none", "no-text"))
            args = [rng.choice(WORDS) for _ in range(rng.choice((0, 0, 1, 1, 2, 3)))]
            calls.append((handler, chat, edited, message, args))
        return (rng.random() < 0.8, list(state.items()), calls)

    def update(self, log, chat, edited, message):
        attrs = {}
        if chat == "ours":
            attrs["effective_chat"] = Rec(log, "chat", id=self.chat_id)
        elif chat == "other":
            attrs["effective_chat"] = Rec(log, "chat", id=777)
        elif chat == "none":
            attrs["effective_chat"] = Rec(log, "chat", id=None)
        else:
            attrs["effective_chat"] = None
        attrs["edited_message"] = Rec(log, "edit") if edited else None
        if message == "none":
            attrs["message"] = None
        else:
            attrs["message"] = Rec(log, "message", text=None if message == "no-text" else "hi there")
        return Rec(log, "update", **attrs)

    def run(self, impl, case):
        queued, state, calls = case
        log = Log()

        def send_message(chat_id=None, text=None):
            log.note("send_message", show(chat_id), show(text))

        attrs = dict(state, send_message=send_message)
        if queued:
            attrs["velmor_trader_requests"] = collections.deque()
        client = Rec(log, "client", **attrs)
        saved = impl.datetime, impl.logger
        impl.datetime, impl.logger = FixedClock, RecordingLogger(log)
        out = []
        try:
            for handler, chat, edited, message, args in calls:
                # The library's words are texts: a non-text word is outside
                # what the handlers take (the reply joins the words as given).
                context = Rec(log, "context", bot=client, args=list(args))
                try:
                    result = ("ok", show(getattr(impl, handler)(self.update(log, chat, edited, message),
                                                                context)))
                except Exception as exc:
                    result = failure(exc)
                out.append((handler, result, tuple(log)))
                del log[:]
        finally:
            impl.datetime, impl.logger = saved
        requests = attrs.get("velmor_trader_requests")
        out.append(("queue", tuple((c, tuple((k, show(v)) for k, v in a.items()))
                                   for c, a in (requests or ()))))
        return out


def import_both(base_url=None):
    """The native bot module and its twin, both with their polling stopped:
    imported against the configuration on sys.path (the local chat service
    the caller started)."""
    native = importlib.import_module("velmor_trader.plugins.telegram.bot")
    twin = load_twin("bot")
    twin.bot.close()
    return native, twin
