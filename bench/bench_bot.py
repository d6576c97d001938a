"""Chat bot: native module against the plain-Python one, side by side.

    PYTHONPATH=. .venv/bin/python bench/bench_bot.py [--calls N] [--repeat R]

Both modules are imported against the local chat-service stand-in (each
starts its polling bot, as on import in production; polling is then stopped).  The timed work is what
runs in this process for every chat command and every engine poll: the
handlers on stand-in update/context objects whose client only records the
reply, the request properties, and send_message's argument checks.  Network
time is left out: it is the same for both.  Prints seconds per N calls and the
speed-up (plain time / native time).

The engine's reads and send_message also time a floor: the same reads and
the same call made without either module.  The floor's request properties
have C getters (operator.attrgetter through updater.bot, each read by the
generic lookup); the native getters, whose reads skip that lookup, may come
in under it, so its ratio says how native moves against a fixed reference
from one interpreter to the next rather than a bound.  send_message's floor
is the client's send_message called by keyword.  The setters have none: no
C callable stores through self.updater.bot.
"""
import argparse
import collections
import importlib
import logging
import operator
import os
import pathlib
import sys
import tempfile
import time


from velmor_trader.plugins.telegram.local_server import LocalChatServer  # noqa: E402

TOKEN = "123456:bench-token"
CHAT_ID = 4242


class Client:
    """Stands in for the library's client: holds requests, records replies."""

    def __init__(self):
        self.velmor_trader_status = "Running"
        self.get_balance = self.get_positions = self.get_orders = False
        self.active_orders = self.get_deals = self.cancel_order = False
        self.cancel_orders = self.send_order = self.close_positions = False
        self.num_orders_displayed = self.num_deals_displayed = 1
        self.cancel_order_id = self.gateway_name = self.close_positions_gateway_name = None
        self.order_string = ""
        # The engine empties the queue every turn; here it keeps the last one.
        self.velmor_trader_requests = collections.deque(maxlen=1)
        self.last = None

    def send_message(self, chat_id, text):
        self.last = text


class Obj:
    def __init__(self, **kw):
        self.__dict__.update(kw)


def update(text, chat_id=CHAT_ID):
    return Obj(effective_chat=Obj(id=chat_id), message=Obj(text=text), edited_message=None)


def context(args, client):
    return Obj(bot=client, args=args)


def handler_cases(mod, client):
    def call(name, text, chat_id=CHAT_ID):
        fn = getattr(mod, name)
        words = text.split()[1:]
        u, c = update(text, chat_id), context(words, client)
        return lambda: fn(u, c)
    return [
        ("echo", call("echo", "hello there")),
        ("/balance", call("balance", "/balance")),
        ("/orders -a 5", call("orders", "/orders -a 5")),
        ("/orders x (usage)", call("orders", "/orders x")),
        ("/deals 3", call("deals", "/deals 3")),
        ("/cancel_order 1 GW", call("cancel_order", "/cancel_order 123 GW")),
        ("/send_order", call("send_order", "/send_order 700,100,l,o,m,FUTU,None,None")),
        ("/close_positions GW", call("close_positions", "/close_positions GW")),
        ("other chat", call("balance", "/balance", chat_id=CHAT_ID + 1)),
    ]


def engine_cases(mod):
    tb = mod.TelegramBot.__new__(mod.TelegramBot)
    tb.updater = Obj(bot=Client())

    def poll():  # what an engine loop reads every turn
        return (tb.velmor_trader_status, tb.get_balance, tb.get_positions, tb.get_orders,
                tb.get_deals, tb.cancel_order, tb.cancel_orders, tb.send_order,
                tb.close_positions)

    def clear():
        tb.get_orders = False
        tb.active_orders = 0
        tb.num_orders_displayed = 1

    def status():
        tb.velmor_trader_status = "Running"

    return [("poll 9 properties", poll), ("clear 3 properties", clear),
            ("status setter", status), ("send_message", lambda: tb.send_message("report", 12.0))]


PROPERTIES = ("velmor_trader_status", "get_balance", "get_positions", "get_orders", "get_deals",
              "cancel_order", "cancel_orders", "send_order", "close_positions")


def floor_cases():
    """The unavoidable calls of the engine's reads and of send_message, by case name."""
    floor = type("Floor", (), {name: property(operator.attrgetter(f"updater.bot.{name}"))
                               for name in PROPERTIES})
    tb = floor()
    tb.updater = Obj(bot=Client())

    def poll():
        return (tb.velmor_trader_status, tb.get_balance, tb.get_positions, tb.get_orders,
                tb.get_deals, tb.cancel_order, tb.cancel_orders, tb.send_order,
                tb.close_positions)

    def send_message():
        tb.updater.bot.send_message(chat_id=12, text="report")

    return {"poll 9 properties": poll, "send_message": send_message}


def best(fn, calls, repeat):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        for _ in range(calls):
            fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--calls", type=int, default=20000)
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()
    for var in ("HTTPS_PROXY", "https_proxy"):
        os.environ.pop(var, None)
    logging.disable(logging.WARNING)  # the other-chat case logs every call
    with LocalChatServer(token=TOKEN, max_poll_hold=0.2) as server, \
            tempfile.TemporaryDirectory() as cfg:
        pathlib.Path(cfg, "velmor_trader_config.py").write_text(
            f"TELEGRAM_TOKEN = {TOKEN!r}\nTELEGRAM_CHAT_ID = {CHAT_ID}\n"
            f"TELEGRAM_BASE_URL = {server.base_url!r}\n")
        sys.path.insert(0, cfg)
        plain = importlib.import_module("velmor_trader.twins.bot")
        native = importlib.import_module("velmor_trader.plugins.telegram.bot")
        # Polling is not timed; stopping it keeps its threads out of the figures.
        plain.bot.close()
        native.bot.close()
        try:
            pc, nc = Client(), Client()
            rows = list(zip(handler_cases(plain, pc), handler_cases(native, nc)))
            rows += list(zip(engine_cases(plain), engine_cases(native)))
            print(f"{args.calls} calls, best of {args.repeat}")
            floors = floor_cases()
            print(f"{'case':22}{'python s':>11}{'native s':>11}{'ratio':>8}"
                  f"{'floor s':>11}{'native/floor':>14}")
            for (name, fp), (_, fn) in rows:
                fp(), fn()
                if pc.last is not None or nc.last is not None:  # same reply, stamps aside
                    assert pc.last.split("] ")[-1] == nc.last.split("] ")[-1], (pc.last, nc.last)
                tp = best(fp, args.calls, args.repeat)
                tn = best(fn, args.calls, args.repeat)
                floor = floors.get(name)
                tf = best(floor, args.calls, args.repeat) if floor else None
                print(f"{name:22}{tp:11.4f}{tn:11.4f}{tp / tn:7.1f}x"
                      + (f"{tf:11.4f}{tn / tf:13.2f}x" if tf else f"{'-':>11}{'-':>14}"))
        finally:
            plain.bot.close()
            native.bot.close()


if __name__ == "__main__":
    main()
