"""Whole sessions under a fault schedule drawn from a seed.

Each seed runs one session on the simulated broker's manual clock: the
broker client, gateway, store, engine with its strategy, and its desk
answering the real chat bot through the local chat service.  Meanwhile the
schedule makes order answers come late, never or with an error, cancel
answers come late, the connection drop (the exchange trading on or not) and
come back, fills arrive twice, and the operator send bursts of requests,
hostile order strings and requests for another gateway among them, all at
once or one after another; the session stops at a random moment, by /stop
or as a signal would.  Then the session is checked against the simulator's
own records (see ``check``).

The chat bot's module connects once per process, so one chat server and one
bot serve every seed of a run; everything else is new for each seed.

    python fault_sessions.py --seeds 200        seeds 1 to 200
    python fault_sessions.py --seed 17 --seed 42
"""
import argparse
import collections
import contextlib
import io
import logging
import os
import random
import re
import sys
import tempfile
import threading
import time
import traceback
from pathlib import Path

from engine_rig import INITIAL, SECURITY, Rig, configure
from velmor_trader.core.constants import OrderType
from velmor_trader.gateways.cqg.simulator import constants as C
from velmor_trader.paper_trading import defaults
from velmor_trader.paper_trading.strategy import MovingAverageCross

TOKEN, CHAT_ID = "100000:fault-sessions", 424243
PROXY_VARS = ("HTTPS_PROXY", "https_proxy", "HTTP_PROXY", "http_proxy", "ALL_PROXY", "all_proxy")
# What the bot says when it accepts (and queues) a command.
ACKS = {"Fetching balance...": "balance", "Fetching positions...": "positions",
        "Fetching orders (": "orders", "Fetching deals (": "deals",
        "Canceling all active orders...": "cancel_orders", "Canceling order: ": "cancel_order",
        "Send order (": "send_order", "Closing positions...": "close_positions",
        "Terminating Velmor-Trader...": "stop"}
ANSWER = re.compile(r"/(\w+): ")
ORDERS = ["00700,100,l,o,m,CQG,None,None", "EPZ4,1,s,o,m,cqg,None,None",
          "CLEF5,2,l,o,l,CQG,60.0,None", "00700,100,s,o,l,CQG,450,None",
          "EPZ4,1,l,o,s,CQG,None,6100", "09988,100,s,c,m,CQG,None,None"]
HOSTILE = ["00700,106,l,o,m,CQG,nan,None", "00700,100,l,o,l,CQG,1e309,None",
           "00700,1_08,l,o,m,CQG,None,None", "00700,\u0661\u0660\u0668,l,o,m,CQG,None,None",
           "00700,100,l,o,l,CQG,-330,None", "EPZ4,1,s,o,s,CQG,None,0",
           "00700,1" + "0" * 23 + ",l,o,m,CQG,None,None", "EPZ4,1,l,o,m,FUTU,None,None",
           "00700,100,l,o,m,CQG,380,None", "00700,20000,l,o,l,CQG,330,None",
           "00005,100,l,o,m,CQG,None,None", ",,,,,,,"]
OTHER = ["/balance", "/positions", "/orders", "/orders -a 5", "/deals 3", "/cancel_orders",
         "/close_positions", "/close_positions FUTU", "/close_positions cqg",
         "/cancel_order 1234 FUTU", "/cancel_order zzzz CQG", "/orders x y z", "/send_order a,b",
         "/deals -1", "hello"]


class Errors(logging.Handler):
    """Every error the engine, gateway or simulator logged (``records``),
    and what else they said."""

    def __init__(self):
        super().__init__(logging.INFO)
        self.records, self.said = [], []

    def emit(self, record):
        (self.records if record.levelno >= logging.ERROR else self.said).append(
            self.format(record))

    def count(self, text):
        return sum(text in line for line in self.said)


class Chat:
    """The operator's side: the local chat server and the bot's module."""

    def __init__(self, folder):
        from velmor_trader.plugins.telegram.local_server import LocalChatServer
        for var in PROXY_VARS:        # all traffic stays on this machine
            os.environ.pop(var, None)
        self.server = LocalChatServer(token=TOKEN, max_poll_hold=0.2).start()
        configure(folder, TELEGRAM_TOKEN=TOKEN, TELEGRAM_CHAT_ID=CHAT_ID,
                  TELEGRAM_BASE_URL=self.server.base_url)
        from velmor_trader.plugins.telegram import bot as bot_module
        self.module = bot_module
        self.bot = bot_module.bot
        self.expected = 0

    def reset(self):
        self.quiet()
        self.expected = 0               # the bot's own replies to what was said
        for name, value in INITIAL.items():
            setattr(self.bot, name, value)
        self.bot.requests.clear()
        self.server.clear_sent()

    def texts(self):
        return [m["text"] for m in self.server.sent_messages()]

    def counts(self):
        """(acknowledged, answered, the bot's own replies): Counters of
        commands, and a count."""
        acked, answered, replies = collections.Counter(), collections.Counter(), 0
        for text in self.texts():
            if text.startswith("Notice: "):      # the engine's own, told unasked
                continue
            match = ANSWER.match(text)
            if match:
                answered[match.group(1)] += 1
                continue
            replies += 1
            command = next((c for ack, c in ACKS.items() if ack in text), None)
            if text.startswith("[") and command is not None:
                acked[command] += 1
        return acked, answered, replies

    def quiet(self, serve=lambda: None, timeout=5.0):
        """Serve until the bot has replied to every message and each request
        it acknowledged is answered (or ``timeout`` real seconds passed)."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            serve()
            acked, answered, replies = self.counts()
            if replies >= self.expected and acked == answered:
                return
            time.sleep(0.003)

    def say(self, messages, one_by_one, serve):
        for text in messages:
            # /orders tells its words before it acknowledges or refuses them.
            self.expected += 2 if text.split()[0] == "/orders" else 1
            self.server.push_message(text, chat_id=CHAT_ID)
            if one_by_one:
                self.quiet(serve)
        self.quiet(serve)

    def close(self):
        self.module.bot.close()
        self.server.stop()


def schedule(rng, stop_at):
    """{second: [action(rig, chat, serve)]} of one session."""
    plan = collections.defaultdict(list)

    def at(second, action):
        plan[max(1, min(second, stop_at - 1))].append(action)

    for _ in range(rng.randint(1, 3)):                    # order answers
        start, length = rng.randrange(stop_at), rng.randint(20, 120)
        kind = rng.choice(["late", "late", "dropped", "failing"])
        if kind == "late":
            delay = rng.choice([3, 10, 45])
            at(start, lambda rig, *_, d=delay: rig.sim.faults.delay("order", d))
        elif kind == "dropped":
            at(start, lambda rig, *_: rig.sim.faults.drop("order"))
        else:
            at(start, lambda rig, *_: rig.sim.faults.fail("order"))
        at(start + length, lambda rig, *_: rig.sim.faults.restore("order"))
    if rng.random() < 0.5:                                # cancel answers
        start, delay = rng.randrange(stop_at), rng.choice([5, 30])
        at(start, lambda rig, *_, d=delay: rig.sim.faults.delay("cancel", d))
        at(start + rng.randint(20, 90), lambda rig, *_: rig.sim.faults.restore("cancel"))
    for _ in range(rng.randint(0, 2)):                    # the connection
        start, trading = rng.randrange(stop_at), rng.random() < 0.8
        if rng.random() < 0.7:           # orders resting at the best prices when it drops
            near = rng.sample(NEAR, 2)
            at(start - 1, lambda rig, chat, serve, n=near: chat.say([t(rig) for t in n], False,
                                                                    serve))
        at(start, lambda rig, *_, t=trading: rig.sim.drop_connection(trading=t))
        at(start + rng.randint(30, 240), lambda rig, *_: rig.sim.restore_connection())
    for _ in range(rng.randint(1, 4)):                    # fills twice
        at(rng.randrange(stop_at), lambda rig, *_: resend_a_fill(rig, rng))
    for _ in range(rng.randint(2, 5)):                    # the operator
        count = rng.randint(1, 12)
        messages = [rng.choice([lambda: "/send_order " + rng.choice(ORDERS),
                                lambda: "/send_order " + rng.choice(HOSTILE),
                                lambda: rng.choice(OTHER), lambda: rng.choice(NEAR)])()
                    for _ in range(count)]
        if rng.random() < 0.1:
            messages.insert(rng.randrange(len(messages) + 1), "/stop")
        one_by_one = rng.random() < 0.4
        at(rng.randrange(stop_at), lambda rig, chat, serve, m=messages, o=one_by_one:
           chat.say([text(rig) if callable(text) else text for text in m], o, serve))
    return plan


def _near(code, quantity, side):
    """A limit order at the best price on its side: it rests and may fill."""
    def text(rig):
        quote = rig.engine.quote(SECURITY[code])
        price = 1.0 if quote is None else quote.bid_price if side == "l" else quote.ask_price
        return f"/send_order {code},{quantity},{side},o,l,CQG,{price},None"
    return text


NEAR = [_near("00700", 100, "l"), _near("00700", 100, "s"), _near("EPZ4", 1, "l"),
        _near("EPZ4", 1, "s")]


def resend_a_fill(rig, rng):
    filled = [o.GUID for o in rig.sim.engine.orders if o._fills]
    if filled:
        rig.sim.resend_fill(rng.choice(filled))


@contextlib.contextmanager
def market_going_on(sim):
    """Simulated time runs on, a second every few milliseconds, as it would
    while a live engine winds down (the only part of a session whose timing
    is not the seed's)."""
    done = threading.Event()

    def tick():
        while not done.wait(0.003):
            sim.advance(1)
    ticker = threading.Thread(target=tick, daemon=True)
    ticker.start()
    try:
        yield
    finally:
        done.set()
        ticker.join()


def run_seed(seed, chat, folder, seen=None):
    """One session; returns the invariants it broke, as texts (and puts
    what happened in ``seen``)."""
    rng = random.Random(seed)
    stop_at = rng.randint(120, 600)
    plan = schedule(rng, stop_at)
    by_chat, close = rng.random() < 0.5, rng.random() < 0.8
    chat.reset()
    errors = Errors()
    logging.getLogger("velmor_trader").addHandler(errors)
    problems, rig = [], None
    try:
        rig = Rig(folder, seed=seed, bot=chat.bot, timeout=0.25, strategy=MovingAverageCross(
            defaults.FAST, defaults.SLOW, defaults.ENTRY_PATIENCE))
        serve = rig.desk.serve
        for second in range(stop_at):
            for action in plan.get(second, []):
                action(rig, chat, serve)
            if rig.engine.stopping:
                break
            rig.advance(1)
            serve()
        if not rig.engine.stopping:                       # the stop at a random moment
            if by_chat:
                chat.say(["/stop"], True, serve)
            else:
                rig.engine.stop()
        # A broker that never answers cannot be wound down: at the stop it
        # answers again, late answers reaching a client that waits for them.
        for kind in ("order", "cancel"):
            if kind in rig.sim.faults.dropped or kind in rig.sim.faults.errors:
                rig.sim.faults.restore(kind)
        rig.sim.follow_answers = True
        rig.sim.restore_connection()
        with market_going_on(rig.sim):
            summary = rig.engine.wind_down(close_positions=close)
        chat.quiet(rig.desk.finish)
        problems += check(rig, chat, summary, close)
        if seen is not None:
            seen.update(seconds=second + 1, orders=len(rig.sim.engine.orders),
                        fills=sum(len(o._fills) for o in rig.sim.engine.orders),
                        answers=sum(chat.counts()[1].values()),
                        timeouts=errors.count("no order id from the broker"),
                        ids_of_another_order=errors.count("the id of another order"),
                        recorded_from_the_broker=errors.count("never came: recorded")
                        + errors.count("not placed by the engine: recorded"),
                        refreshed=errors.count("connection to the broker is back"),
                        fills_twice=errors.count("delivered again"))
    except Exception:
        problems.append("an exception escaped: " + traceback.format_exc())
    finally:
        logging.getLogger("velmor_trader").removeHandler(errors)
        if rig is not None:
            rig.close()
    problems += [f"an error was logged: {e}" for e in errors.records]
    if rig is not None and rig.sim.loop.sink_errors:
        problems.append(f"the broker client raised on events: {rig.sim.loop.sink_errors!r}")
    return problems


def check(rig, chat, summary, closed):
    """The invariants of a stopped session, against the simulator's records."""
    problems = []
    fills = {f.Id: (o.GUID, f.Quantity) for o in rig.sim.engine.orders for f in o._fills
             if f.Status == C.fsNormal}
    deals, orders = rig.rows("trading_deal"), rig.rows("trading_order")
    stored = collections.Counter(d["broker_deal_id"] for d in deals)
    order_of = {o["id"]: o for o in orders}
    missing = sorted(set(fills) - set(stored))
    twice = sorted(d for d, n in stored.items() if n > 1)
    unknown = sorted(set(stored) - set(fills))
    if missing or twice or unknown:
        problems.append(f"fills not stored exactly once: missing {missing}, twice {twice}, "
                        f"not the broker's {unknown}")
    wrong = [d["broker_deal_id"] for d in deals if d["broker_deal_id"] in fills and (
        order_of[d["order_id"]]["broker_order_id"] != d["broker_order_id"]
        or d["broker_order_id"] != fills[d["broker_deal_id"]][0]
        or d["filled_quantity"] != fills[d["broker_deal_id"]][1])]
    if wrong:
        problems.append(f"deals stored with another order or quantity: {wrong}")
    miscounted = [o["broker_order_id"] for o in orders if o["filled_quantity"] != sum(
        d["filled_quantity"] for d in deals if d["order_id"] == o["id"])]
    if miscounted:
        problems.append(f"orders counting other fills than their deal rows: {miscounted}")
    if rig.stored_positions() != rig.broker_positions():
        problems.append(f"stored positions {rig.stored_positions()} are not the broker's "
                        f"{rig.broker_positions()}")
    acked, answered, replies = chat.counts()
    if replies != chat.expected:
        problems.append(f"the bot replied {replies} times to {chat.expected} replies' worth")
    if acked != answered:
        problems.append(f"acknowledged requests {dict(acked)} but answers {dict(answered)}")
    resting = [o for o in rig.sim.engine.resting
               if closed or o.Type != C.otStop]
    if resting or any(o.GWStatus in (C.osInTransit, C.osInCancel)
                      for o in rig.sim.engine.orders):
        problems.append(f"left working after the stop: {[o.GUID for o in resting]}")
    if closed and (rig.broker_positions() or summary["positions"] or summary["working"]):
        problems.append(f"not flat after the stop: {rig.broker_positions()}, {summary}")
    return problems


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seeds", type=int, default=0, help="run seeds 1 to N")
    parser.add_argument("--seed", type=int, action="append", default=[], help="run this seed")
    args = parser.parse_args(argv)
    seeds = args.seed + list(range(1, args.seeds + 1))
    if not seeds:
        parser.error("no seed: give --seeds N or --seed S")
    logging.getLogger("velmor_trader").setLevel(logging.INFO)
    failed = 0
    with tempfile.TemporaryDirectory() as folder:
        chat = Chat(Path(folder))
        try:
            for seed in seeds:
                out = Path(folder) / f"seed-{seed}"
                out.mkdir()
                began, seen = time.monotonic(), {}
                with contextlib.redirect_stdout(io.StringIO()):   # the client's prints
                    problems = run_seed(seed, chat, out, seen)
                took = time.monotonic() - began
                for problem in problems:
                    print(f"seed {seed}: FAILED {problem}", flush=True)
                if not problems:
                    print(f"seed {seed}: ok ({took:.1f} s; " + ", ".join(
                        f"{k.replace('_', ' ')} {v}" for k, v in seen.items()) + ")", flush=True)
                failed += bool(problems)
        finally:
            chat.close()
    print(f"{len(seeds) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
