"""Whole sessions under a fault schedule drawn from a seed.

Each seed runs one session on the simulated broker's manual clock: the
broker client, gateway, store, engine with its strategy, and its desk
answering the real chat bot through the local chat service.  Meanwhile the
schedule makes order answers come late, never or with an error, cancels come
late, get refused or get lost, the connection drop (the exchange trading on
or not) and come back, fills arrive twice, another program hold the
database's write lock for a while, and the operator send bursts of requests:
hostile order strings, requests for another gateway, requests with words
they do not take, cancels of orders the broker has live, all at once or one
after another; the session stops at a random moment, by /stop or as a signal
would.

The broker's records are the truth the session is held to, not at its end
only: the wind-down reads everything back from the broker and closes it,
which would hide an engine that lost track on the way.  So ``invariants``
is checked at every simulated minute, a second after each fault clears, at
the stop before the wind-down, and after it; every answer to a trading
request is checked against what reached the broker meanwhile (``Ledger``);
and while requests wait on the bot's queue, their flags stay set.

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
import sqlite3
import sys
import tempfile
import threading
import time
import traceback
from datetime import timedelta
from pathlib import Path

from engine_rig import INITIAL, SECURITY, Rig, configure
from velmor_trader.gateways.cqg.simulator import constants as C
from velmor_trader.paper_trading import defaults
from velmor_trader.paper_trading import engine as engine_module
from velmor_trader.paper_trading.strategy import MovingAverageCross

TOKEN, CHAT_ID = "100000:fault-sessions", 424243
PROXY_VARS = ("HTTPS_PROXY", "https_proxy", "HTTP_PROXY", "http_proxy", "ALL_PROXY", "all_proxy")
# What the bot says when it accepts (and queues) a command.
ACKS = {"Fetching balance...": "balance", "Fetching positions...": "positions",
        "Fetching orders (": "orders", "Fetching deals (": "deals",
        "Canceling all active orders...": "cancel_orders", "Canceling order: ": "cancel_order",
        "Send order (": "send_order", "Closing positions...": "close_positions",
        "Terminating Velmor-Trader...": "stop"}
# An answer starts with its command; the engine's notices are neither
# answers nor the bot's replies.
ANSWER = re.compile(r"/(\w+)(?:: | takes no parameters)")
NOTICE = "Notice: "
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
# An order the desk passes and the broker rejects (over its largest quantity).
TOO_MANY = "00700,20000,l,o,l,CQG,330,None"
# Requests with words that would change what is meant: each must do nothing.
WORDED = ["/cancel_orders FUTU", "/cancel_orders CQG", "/cancel_orders all now",
          "/close_positions FUTU", "/send_order EPZ4,1,l,o,m,FUTU,None,None"]
# Faults counted as they fire, for the tests to see that each did.
FAULTS = ("cancels late", "cancels refused", "cancels lost", "cancels unanswered",
          "database locked", "database locked long")
# The broker's live orders, and what the client's requests look like.
LIVE = (C.osInTransit, C.osInOrderBook, C.osInCancel, C.osInModify)
# Real seconds the engine's database connection waits for another's lock: a
# locked database fails a write at once instead of after sqlite's 5 s.
LOCK_WAIT_MS = 5
# How long the engine may not know that the broker cancelled an order whose
# cancel went unanswered: its wait, then the minute that reads it back.
# (An engine without these waits is held to the same ones.)
UNHEARD = getattr(engine_module, "CANCEL_WAIT", timedelta(seconds=30)) + timedelta(seconds=65)
# Writes failing this long stop the engine opening positions.
BLOCKED_AFTER = getattr(engine_module, "WRITES_FAILING_MAX", timedelta(seconds=60)) \
    + timedelta(seconds=1)


class Errors(logging.Handler):
    """Every error the engine, gateway or simulator logged (``records``),
    and what else they said.  An error about the database while another
    program holds its lock is the fault at work (``excused``): what the
    engine does about it is judged by the invariants."""

    def __init__(self):
        super().__init__(logging.INFO)
        self.records, self.said, self.excused = [], [], []
        self.database_locked = False
        self.write_failed = lambda: None

    def emit(self, record):
        text = self.format(record)
        if record.levelno < logging.ERROR:
            self.said.append(text)
            if "to the database failed" in text:
                self.write_failed()
        elif self.database_locked and _about_the_database(record, text):
            self.excused.append(text)
        else:
            self.records.append(text)

    def count(self, text):
        return sum(text in line for line in self.said)


def _about_the_database(record, text):
    cause = record.exc_info[1] if record.exc_info else None
    return isinstance(cause, sqlite3.Error) or "database" in text.lower()


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
        self.said = collections.defaultdict(collections.deque)

    def reset(self):
        self.quiet()
        self.expected = 0               # the bot's own replies to what was said
        self.said.clear()
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
            if text.startswith(NOTICE):
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

    def quiet(self, serve=lambda: None, timeout=5.0, answered=True):
        """Serve until the bot has replied to every message and (with
        ``answered``) each request it acknowledged is answered, or
        ``timeout`` real seconds passed."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            serve()
            acked, told, replies = self.counts()
            if replies >= self.expected and (acked == told or not answered):
                return
            time.sleep(0.003)

    def say(self, messages, one_by_one, serve, queued=None):
        """Send ``messages``; with ``queued`` (the Ledger) all of them wait
        on the bot's queue before the engine takes the first, and the flags
        of what waits are watched."""
        for text in messages:
            # /orders tells its words before it acknowledges or refuses them.
            self.expected += 2 if text.split()[0] == "/orders" else 1
            # The bot queues these whatever their words: the ledger needs them.
            if text.split()[0] in ("/cancel_orders", "/stop"):
                self.said[text.split()[0][1:]].append(text)
            self.server.push_message(text, chat_id=CHAT_ID)
            if one_by_one and not queued:
                self.quiet(serve)
        if queued is not None:
            self.quiet(answered=False)
            queued.watch = True
        try:
            self.quiet(serve)
        finally:
            if queued is not None:
                queued.watch = False

    def close(self):
        self.module.bot.close()
        self.server.stop()


class Broker:
    """The simulated broker's own records, and every placement and cancel
    that reached its door (``requests``: (kind, order GUID))."""

    def __init__(self, rig):
        from velmor_trader.gateways.cqg.wrapper.celbridge import convert_orderstatus_cqg2vl
        self.sim, self.status_of = rig.sim, convert_orderstatus_cqg2vl
        self.requests, self.problems = [], []
        self.unanswered = {}        # GUID -> when a cancel went out whose answer is lost
        self.cancel_sent = {}       # GUID -> when its last cancel went out
        self.down_at = None         # when the connection was last seen down
        self.check_at = []          # times by which the engine must have followed a cancel up
        self.opening_blocked = lambda: False
        door = self.sim.post_order_job

        def spy(method, order):
            kind = "place" if method == self.sim.engine.place else "cancel"
            self.requests.append((kind, order.GUID))
            if kind == "cancel":
                self.cancel_sent[order.GUID] = self.sim.clock.now()
                self.check_at.append(self.sim.clock.now() + UNHEARD)
            # Entries and the operator's orders that open rest as limits;
            # exits go at market, protection as stops.
            if kind == "place" and order.Type == C.otLimit and self.opening_blocked():
                self.problems.append(f"a limit order {order.GUID} was placed at "
                                     f"{self.sim.clock.now():%H:%M:%S} while database writes "
                                     f"had failed for over {BLOCKED_AFTER}")
            if kind in self.sim.faults.muted:
                self.unanswered[order.GUID] = self.sim.clock.now()
            return door(method, order)
        self.sim.post_order_job = spy

    def live(self):
        """{GUID: order} of the orders working at the broker."""
        return {o.GUID: o for o in self.sim.engine.orders if o.GWStatus in LIVE}

    def status(self, order):
        return self.status_of(order.GWStatus)

    @staticmethod
    def fills(order):
        return [f for f in order._fills if f.Status == C.fsNormal]

    def connected(self):
        return self.sim.connected and self.sim.logged_on

    def follow_up_due(self):
        """Whether the engine's wait for some cancel's answer just ended."""
        now = self.sim.clock.now()
        due = [t for t in self.check_at if t <= now]
        self.check_at = [t for t in self.check_at if t > now]
        return bool(due)

    def not_followed_up(self, order):
        """Whether ``order`` (live) had its cancel go unanswered past the
        engine's wait without being asked again.  A cancel sent before the
        connection last dropped may have been lost with it: the wait counts
        from when the connection was last seen down."""
        sent = self.cancel_sent.get(order.GUID)
        if sent is None:
            return False
        since = sent if self.down_at is None else max(sent, self.down_at)
        return self.sim.clock.now() - since > UNHEARD

    def unheard(self, order):
        """Whether the engine may not know yet how ``order`` ended: its
        cancel's answer was lost, and the engine's wait for it (and the
        minute at which it reads such orders back) is not over."""
        sent = self.unanswered.get(order.GUID)
        return sent is not None and self.sim.clock.now() - sent <= UNHEARD


class DatabaseLock:
    """Another program holding the database's write lock (a backup, a
    report tool), on a connection of its own."""

    def __init__(self, rig, errors):
        self.path, self.errors, self.clock = rig.folder / "velmor_trader.db", errors, rig.sim.clock
        self.connection = None
        self.first_failure = None   # when the engine first failed to write meanwhile
        errors.write_failed = self._failed

    def _failed(self):
        if self.held and self.first_failure is None:
            self.first_failure = self.clock.now()

    def blocking(self):
        """Whether writes have failed long enough that no position may be
        opened (with a second to spare)."""
        return self.held and self.first_failure is not None and \
            self.clock.now() - self.first_failure > BLOCKED_AFTER

    @property
    def held(self):
        return self.connection is not None

    def take(self):
        if self.held:
            return
        self.connection = sqlite3.connect(self.path, timeout=1.0, isolation_level=None)
        self.connection.execute("BEGIN IMMEDIATE")
        self.errors.database_locked = True

    def release(self):
        if self.held:
            self.connection.execute("ROLLBACK")
            self.connection.close()
            self.connection = None
            self.first_failure = None
            self.errors.database_locked = False


def watch_writes(rig, problems):
    """What a kill -9 would leave after any write of an order's row: it
    counts just the fills whose deal rows are stored, and says FILLED only
    once all of them are."""
    store, seen = rig.store, set()
    query = ("SELECT o.broker_order_id FROM trading_order o LEFT JOIN (SELECT order_id, "
             "SUM(filled_quantity) AS q FROM trading_deal GROUP BY order_id) d "
             "ON d.order_id = o.id WHERE o.filled_quantity != COALESCE(d.q, 0) "
             "OR (o.status = 'FILLED' AND o.filled_quantity != o.quantity)")
    for name in ("update_order", "record_fill"):
        def written(*args, _write=getattr(store, name), **kwargs):
            done = _write(*args, **kwargs)
            for (guid,) in store.db.conn.execute(query).fetchall():
                if guid not in seen:
                    seen.add(guid)
                    problems.append(f"after a write, order {guid}'s row disagrees with its "
                                    "deal rows")
            return done
        setattr(store, name, written)


def flush(rig):
    """Try the writes the engine kept back, as the session's loop does
    between events."""
    getattr(rig.engine, "flush", lambda: None)()


def settle(rig):
    """Let the broker deliver everything due now and the engine handle it:
    what is still in flight then is nothing, and the invariants are exact."""
    for _ in range(100):
        rig.sim.wait_idle()
        if rig.engine.inbox.empty() and not getattr(rig.engine, "_deferred", None):
            return
        rig.engine.drain()


def invariants(rig, broker, when):
    """What must hold whenever the engine has drained its queue with the
    connection up and the database writable, against the broker's records:
    each order working at the broker is one the engine counts as working,
    with the broker's status and filled quantity, and so is its row; each
    order the database has carries the broker's status and filled quantity;
    each fill the broker made is stored once; the stored positions are the
    broker's."""
    problems = []
    settle(rig)
    working = {order.order_id: order for order, _ in rig.engine.working()}
    rows = {r["broker_order_id"]: r for r in rig.rows("trading_order")}
    for guid, order in broker.live().items():
        status = broker.status(order)
        seen = working.get(guid)
        if seen is None:
            problems.append(f"{when}: order {guid} works at the broker but not for the engine")
        elif (seen.status, seen.filled_quantity) != (status, order.FilledQuantity):
            problems.append(f"{when}: order {guid} is {seen.status.name} filled "
                            f"{seen.filled_quantity:g} for the engine, {status.name} filled "
                            f"{order.FilledQuantity} at the broker")
        if guid not in rows:
            problems.append(f"{when}: order {guid} works at the broker and has no row")
        if broker.not_followed_up(order):
            problems.append(f"{when}: order {guid} still works at the broker "
                            f"{broker.sim.clock.now() - broker.cancel_sent[guid]} after a cancel "
                            "went unanswered, and the engine has not asked again")
    for order in rig.sim.engine.orders:
        row = rows.get(order.GUID)
        if row is None:
            if broker.fills(order):
                problems.append(f"{when}: order {order.GUID} filled at the broker has no row")
            continue
        status = broker.status(order)
        if broker.unheard(order):
            continue
        if (row["status"], row["filled_quantity"]) != (status.name, order.FilledQuantity):
            problems.append(f"{when}: order {order.GUID}'s row says {row['status']} filled "
                            f"{row['filled_quantity']}, the broker {status.name} filled "
                            f"{order.FilledQuantity}")
    fills = {f.Id for o in rig.sim.engine.orders for f in broker.fills(o)}
    stored = collections.Counter(d["broker_deal_id"] for d in rig.rows("trading_deal"))
    missing = sorted(fills - set(stored))
    twice = sorted(d for d, n in stored.items() if n > 1)
    unknown = sorted(set(stored) - fills)
    if missing or twice or unknown:
        problems.append(f"{when}: fills not stored exactly once: missing {missing}, twice "
                        f"{twice}, not the broker's {unknown}")
    if rig.stored_positions() != rig.broker_positions():
        problems.append(f"{when}: stored positions {rig.stored_positions()} are not the "
                        f"broker's {rig.broker_positions()}")
    return problems


class Ledger:
    """Each request the desk takes off the bot's queue, with its answer and
    the placements and cancels that reached the broker meanwhile; checked
    against the broker as it was when the request was taken."""

    def __init__(self, rig, chat, broker, lock):
        self.rig, self.chat, self.broker, self.lock = rig, chat, broker, lock
        self.problems, self.checked = [], collections.Counter()
        self.nothing = 0            # requests that had to do nothing
        self.unconfirmed = []       # GUIDs of /send_order answered "may still be placed"
        self.absent = set()         # ... of those, told as not at the broker
        self.notices = 0
        notify = getattr(rig.desk, "notify", None)

        def told(text):
            self._notice(text)
            return notify(text)
        if notify is not None:
            rig.desk.notify = told
        self.watch = False          # whether the bot is quiet while the desk serves
        desk = rig.desk
        take = desk._one

        def one():
            queue = rig.bot.requests
            if not queue:
                return take()
            command, arguments = queue[0]
            said = self.chat.said[command].popleft() if self.chat.said[command] else None
            quiet = not rig.engine.stopping and broker.connected() and rig.engine.connected
            if quiet:
                settle(rig)         # the request meets the broker as it is now
            live = set(broker.live())
            sent, answered = len(broker.requests), len(desk.answered)
            done = take()
            answer = desk.answered[answered][1] if len(desk.answered) > answered else ""
            if self.watch:
                self._flags_of_what_waits(command)
            self._verify(command, arguments, said, answer, broker.requests[sent:], live,
                         quiet)
            return done
        desk._one = one

    def _flags_of_what_waits(self, taken):
        """A request still queued keeps its flag set: the bot's handlers and
        the operator read it as "still to do"."""
        from velmor_trader.paper_trading.desk import FLAGS
        for command, _ in list(self.rig.bot.requests):
            for flag, idle in list(FLAGS.get(command, {}).items())[:1]:
                if getattr(self.rig.bot, flag) == idle:
                    self.problems.append(f"the flag {flag} was cleared after a /{taken} while "
                                         f"a /{command} waited on the queue")

    def _verify(self, command, arguments, said, answer, requests, live, exact):
        wrong = self.problems.append
        text = answer.split(": ", 1)[-1]
        places = [g for k, g in requests if k == "place"]
        cancels = [g for k, g in requests if k == "cancel"]
        words = said is not None and len(said.split()) > 1
        self.checked[command] += 1
        if command == "stop":
            if not self.rig.engine.stopping:
                wrong(f"{said!r} answered {answer!r} and the engine goes on")
            return
        if text.startswith("refused (the engine is stopping)"):
            if requests:
                wrong(f"/{command} was refused as the engine stopped, but sent {requests}")
            return
        gateway = arguments.get("gateway_name") or arguments.get("close_positions_gateway_name")
        elsewhere = gateway is not None and str(gateway).upper() != "CQG"
        if words and command == "cancel_orders" or elsewhere:
            self.nothing += 1
            if requests or "nothing done" not in text:
                wrong(f"{said or command!r} {arguments} answered {answer!r} and sent {requests}")
            return
        if command == "cancel_orders":
            counted = re.match(r"cancelling (\d+) working orders(?:; (\d+) not)?", text)
            if counted is None:
                wrong(f"/cancel_orders answered {answer!r}")
            elif exact and (int(counted.group(1)) + int(counted.group(2) or 0) != len(live)
                            or not set(cancels) <= live):
                wrong(f"/cancel_orders answered {answer!r} with {len(live)} orders live at the "
                      f"broker, and asked to cancel {cancels}")
        elif command == "cancel_order":
            prefix = str(arguments.get("cancel_order_id"))
            matches = [g for g in live if g.startswith(prefix)]
            if len(matches) == 1 and exact:
                if not text.startswith(f"cancelling {matches[0]}") or cancels != matches:
                    wrong(f"/cancel_order {prefix} of a live order answered {answer!r} and "
                          f"asked to cancel {cancels}")
            elif not matches and (cancels or not text.startswith("no single working order")):
                wrong(f"/cancel_order {prefix} of no live order answered {answer!r} and "
                      f"asked to cancel {cancels}")
        elif command == "send_order":
            self._placement(text, answer, places)
        elif command == "close_positions" and text.startswith("closing nothing") and places:
            wrong(f"/close_positions answered {answer!r} and placed {places}")

    def _placement(self, text, answer, places):
        wrong = self.problems.append
        orders = {o.GUID: o for o in self.rig.sim.engine.orders}
        if text.startswith(("refused", "not placed")):
            # "not placed" promises the broker never got it.
            if places:
                wrong(f"/send_order answered {answer!r} but the broker got {places}")
        elif text.startswith(("placed", "rejected")):
            guid = text.rsplit(" as ", 1)[-1].split(",")[0]
            mine = [g for g in places if g.startswith(guid)]
            if len(places) != 1 or not mine:
                wrong(f"/send_order answered {answer!r} but the broker got {places}")
            elif (orders[mine[0]].GWStatus == C.osRejectGW) != text.startswith("rejected"):
                wrong(f"/send_order answered {answer!r} but the broker has it "
                      f"{self.broker.status(orders[mine[0]]).name}")
        elif len(places) != 1:
            wrong(f"/send_order answered {answer!r} after {len(places)} placements")
        else:
            self.unconfirmed += places

    def _notice(self, text):
        """A notice about an unconfirmed /send_order, against the broker."""
        orders = {o.GUID: o for o in self.rig.sim.engine.orders}
        heard = re.search(r"sent without the broker's answer: .* as (\S+) is (.*)", text)
        if heard:
            self.notices += 1
            guid, verdict = heard.groups()
            order = orders.get(guid)
            if guid not in self.unconfirmed or order is None or \
                    (order.GWStatus == C.osRejectGW) != verdict.startswith("rejected"):
                where = "nowhere" if order is None else self.broker.status(order).name
                self.problems.append(f"told {text!r}, the broker has {guid} {where}")
        elif "is not at the broker" in text:
            self.notices += 1
            absent = [g for g in self.unconfirmed if g not in orders and g not in self.absent]
            if not absent:
                self.problems.append(f"told {text!r}, but every unconfirmed /send_order "
                                     "reached the broker")
            else:
                self.absent.add(absent[0])


def schedule(rng, stop_at):
    """{second: [(action(rig, chat, serve, fault), clears, name)]} of one
    session; an action that ``clears`` a fault is followed a second later
    by a check of the invariants; a ``name`` counts what fired."""
    plan = collections.defaultdict(list)

    def at(second, action, clears=False, name=None):
        plan[max(1, min(second, stop_at - 1))].append((action, clears, name))

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
        at(start + length, lambda rig, *_: rig.sim.faults.restore("order"), clears=True)
    if rng.random() < 0.7:                                # cancels
        start = rng.randrange(stop_at)
        kind = rng.choice(["late", "refused", "lost", "unanswered"])
        if kind == "late":
            at(start, lambda rig, *_, d=rng.choice([5, 30]): rig.sim.faults.delay("cancel", d),
               name="cancels late")
        elif kind == "refused":
            at(start, lambda rig, *_: rig.sim.faults.fail("cancel", 5, "Cancel refused"),
               name="cancels refused")
        elif kind == "lost":           # the request never reaches the broker
            at(start, lambda rig, *_: rig.sim.faults.drop("cancel"), name="cancels lost")
        else:                          # the broker cancels, its answer is lost
            at(start, lambda rig, *_: rig.sim.faults.mute("cancel"), name="cancels unanswered")
        # Orders resting while cancels fail, and the operator cancelling them.
        at(start + 1, lambda rig, chat, serve, *_, n=rng.sample(NEAR, 2): chat.say(
            [t(rig) for t in n], False, serve))
        at(start + rng.randint(2, 15), lambda rig, chat, serve, *_: chat.say(
            ["/cancel_orders"], True, serve))
        # ... and again, now that the first cancels may have gone unanswered.
        at(start + rng.randint(16, 25), lambda rig, chat, serve, *_: chat.say(
            ["/cancel_orders"] + cancel_one(rig, "CQG"), True, serve))
        at(start + rng.randint(20, 90), lambda rig, *_: rig.sim.faults.restore("cancel"),
           clears=True)
    if rng.random() < 0.5:                                # another program's lock
        start, length = rng.randrange(stop_at), rng.choice([rng.randint(5, 40),
                                                            rng.randint(80, 150)])
        at(start, lambda rig, chat, serve, fault: fault["lock"].take(), name="database locked")
        if length > BLOCKED_AFTER.total_seconds() + 10:
            # An order that fails to be written, and one that must then not be placed.
            for second in (start + 1, start + length - 3):
                at(second, lambda rig, chat, serve, *_, n=rng.choice(NEAR): chat.say(
                    [n(rig)], True, serve), name="database locked long")
        at(start + length, lambda rig, chat, serve, fault: fault["lock"].release(),
           clears=True)
    for _ in range(rng.randint(0, 2)):                    # the connection
        start, trading = rng.randrange(stop_at), rng.random() < 0.8
        if rng.random() < 0.7:           # orders resting at the best prices when it drops
            near = rng.sample(NEAR, 2)
            at(start - 1, lambda rig, chat, serve, *_, n=near: chat.say([t(rig) for t in n],
                                                                        False, serve))
        at(start, lambda rig, *_, t=trading: rig.sim.drop_connection(trading=t))
        at(start + rng.randint(30, 240), lambda rig, *_: rig.sim.restore_connection(),
           clears=True)
    for _ in range(rng.randint(1, 4)):                    # fills twice
        at(rng.randrange(stop_at), lambda rig, *_: resend_a_fill(rig, rng))
    for _ in range(rng.randint(2, 5)):                    # the operator
        count = rng.randint(1, 12)
        messages = [rng.choice([lambda: "/send_order " + rng.choice(ORDERS),
                                lambda: "/send_order " + rng.choice(HOSTILE),
                                lambda: rng.choice(OTHER), lambda: rng.choice(NEAR),
                                lambda: rng.choice(WORDED),
                                lambda: lambda rig: cancel_one(rig, rng.choice(["CQG", "FUTU"]))
                                ])()
                    for _ in range(count)]
        if rng.random() < 0.1:
            messages.insert(rng.randrange(len(messages) + 1), "/stop")
        one_by_one = rng.random() < 0.4
        at(rng.randrange(stop_at), lambda rig, chat, serve, *_, m=messages, o=one_by_one:
           chat.say(_flat(text(rig) if callable(text) else text for text in m), o, serve))
    # The same requests waiting on the queue together.
    at(rng.randrange(stop_at), lambda rig, chat, serve, fault: chat.say(
        ["/balance", "/cancel_orders", "/deals 2", "/balance", "/cancel_orders",
         "/send_order " + TOO_MANY], False, serve, queued=fault["ledger"]))
    return plan


def _flat(texts):
    out = []
    for text in texts:
        out += text if isinstance(text, list) else [text]
    return out


def _near(code, quantity, side):
    """A limit order at the best price on its side: it rests and may fill."""
    def text(rig):
        quote = rig.engine.quote(SECURITY[code])
        price = 1.0 if quote is None else quote.bid_price if side == "l" else quote.ask_price
        return f"/send_order {code},{quantity},{side},o,l,CQG,{price},None"
    return text


NEAR = [_near("00700", 100, "l"), _near("00700", 100, "s"), _near("EPZ4", 1, "l"),
        _near("EPZ4", 1, "s")]


def cancel_one(rig, gateway):
    """/cancel_order of an order the broker has live (by the first 8
    characters of its id, as /orders shows it), if there is one."""
    live = sorted(o.GUID for o in rig.sim.engine.orders if o.GWStatus in LIVE)
    return [f"/cancel_order {live[0][:8]} {gateway}"] if live else []


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
    stop_words = rng.choice(["", "", " now"])
    chat.reset()
    errors = Errors()
    logging.getLogger("velmor_trader").addHandler(errors)
    problems, rig, checks, ledger = [], None, 0, None
    # A kept write is tried again at every turn of the loop: the session's
    # pause between tries is real time, which a manual clock does not pass.
    retry_every = getattr(engine_module, "RETRY_EVERY", None)
    if retry_every is not None:
        engine_module.RETRY_EVERY = 0.0
    try:
        rig = Rig(folder, seed=seed, bot=chat.bot, timeout=0.25, strategy=MovingAverageCross(
            defaults.FAST, defaults.SLOW, defaults.ENTRY_PATIENCE))
        rig.store.db.conn.execute(f"PRAGMA busy_timeout={LOCK_WAIT_MS}")
        broker = Broker(rig)
        fault = dict(lock=DatabaseLock(rig, errors))
        ledger = fault["ledger"] = Ledger(rig, chat, broker, fault["lock"])
        broker.opening_blocked = fault["lock"].blocking
        watch_writes(rig, problems)
        serve = rig.desk.serve
        fired = collections.Counter()

        def exact():
            return (broker.connected() and rig.engine.connected and not fault["lock"].held
                    and not rig.engine.stopping)
        for second in range(stop_at):
            cleared = False
            for action, clears, name in plan.get(second, []):
                action(rig, chat, serve, fault)
                cleared |= clears
                fired[name] += name is not None
            if rig.engine.stopping:
                break
            rig.advance(1)
            flush(rig)                 # as the session's loop does between events
            serve()
            if not broker.connected():
                broker.down_at = rig.sim.clock.now()
            due = broker.follow_up_due()
            if (cleared or due or (second + 1) % 60 == 0) and exact():
                problems += invariants(rig, broker, f"second {second + 1}")
                checks += 1
        if not rig.engine.stopping:                       # the stop at a random moment
            if by_chat:
                chat.say(["/stop" + stop_words], True, serve)
            else:
                rig.engine.stop()
        # A broker that never answers cannot be wound down: at the stop it
        # answers again, late answers reaching a client that waits for them.
        for kind in ("order", "cancel"):
            if kind in rig.sim.faults.dropped or kind in rig.sim.faults.errors \
                    or kind in rig.sim.faults.muted:
                rig.sim.faults.restore(kind)
        fault["lock"].release()
        rig.sim.restore_connection()
        rig.advance(1)
        flush(rig)
        # What the engine knows as it stops, before the wind-down reads the
        # broker back: a lost track must show here, not be mended unseen.
        problems += invariants(rig, broker, "at the stop")
        rig.sim.follow_answers = True
        with market_going_on(rig.sim):
            summary = rig.engine.wind_down(close_positions=close)
        chat.quiet(rig.desk.finish)
        problems += invariants(rig, broker, "after the wind-down")
        problems += check(rig, chat, summary, close)
        problems += ledger.problems + broker.problems
        if seen is not None:
            seen.update(seconds=second + 1, orders=len(rig.sim.engine.orders),
                        fills=sum(len(o._fills) for o in rig.sim.engine.orders),
                        checks=checks + 2, answers=sum(chat.counts()[1].values()),
                        answers_checked=sum(ledger.checked.values()),
                        timeouts=errors.count("no order id from the broker"),
                        ids_of_another_order=errors.count("the id of another order"),
                        recorded_from_the_broker=errors.count("never came: recorded")
                        + errors.count("not placed by the engine: recorded"),
                        refreshed=errors.count("connection to the broker is back"),
                        fills_twice=errors.count("delivered again"),
                        cancels=sum(k == "cancel" for k, _ in broker.requests),
                        writes_failed=errors.count("to the database failed"),
                        requests_for_nothing=ledger.nothing,
                        notices_checked=ledger.notices,
                        rejections=sum("rejected by the broker" in t for _, t in
                                       rig.desk.answered),
                        **{name.replace(" ", "_"): fired[name] for name in FAULTS})
    except Exception:
        problems.append("an exception escaped: " + traceback.format_exc())
    finally:
        if retry_every is not None:
            engine_module.RETRY_EVERY = retry_every
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
    order_of = {o["id"]: o for o in orders}
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
    parser.add_argument("--first-failure", action="store_true",
                        help="stop at the first seed that breaks an invariant")
    args = parser.parse_args(argv)
    seeds = args.seed + list(range(1, args.seeds + 1))
    if not seeds:
        parser.error("no seed: give --seeds N or --seed S")
    logging.getLogger("velmor_trader").setLevel(logging.INFO)
    failed = ran = 0
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
                ran += 1
                for problem in problems:
                    print(f"seed {seed}: FAILED {problem}", flush=True)
                if not problems:
                    print(f"seed {seed}: ok ({took:.1f} s; " + ", ".join(
                        f"{k.replace('_', ' ')} {v}" for k, v in seen.items()) + ")", flush=True)
                failed += bool(problems)
                if problems and args.first_failure:
                    break
        finally:
            chat.close()
    print(f"{ran - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
