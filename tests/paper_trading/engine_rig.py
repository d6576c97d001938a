"""The engine on the simulated broker's manual clock, without the session:
the broker client, gateway, store, engine and desk of a session, a fake bot
(or the real one), driven a simulated second at a time from the caller's
thread.  Shared by the engine's tests and the fault-injection sessions."""
import io
import sqlite3
import sys
import time
import types
from collections import deque
from types import SimpleNamespace

from velmor_trader.gateways.cqg.simulator import install_win32com
from velmor_trader.paper_trading import defaults
from velmor_trader.paper_trading.console import Console
from velmor_trader.paper_trading.desk import Desk
from velmor_trader.paper_trading.engine import Engine
from velmor_trader.paper_trading.simtime import SimulatedTime
from velmor_trader.paper_trading.store import Store

INITIAL = {"velmor_trader_status": "Running", "get_balance": False, "get_positions": False,
           "get_orders": False, "active_orders": False, "num_orders_displayed": 1,
           "get_deals": False, "num_deals_displayed": 1, "cancel_order": False,
           "cancel_order_id": None, "gateway_name": None, "cancel_orders": False,
           "send_order": False, "order_string": "", "close_positions": False,
           "close_positions_gateway_name": None}
SECURITY = {i.security.code: i.security for i in defaults.INSTRUMENTS}
# The flags the bot's handler of each command sets.
FLAGS = {"balance": ["get_balance"], "positions": ["get_positions"], "orders": ["get_orders"],
         "deals": ["get_deals"], "cancel_order": ["cancel_order"],
         "cancel_orders": ["cancel_orders"], "send_order": ["send_order"],
         "close_positions": ["close_positions"], "stop": []}


class Idle:
    """A strategy that trades nothing: only what a test sends happens."""

    def on_bar(self, instrument, closes, now, trader):
        pass


class FakeBot:
    """The bot's side the desk sees: flags, the request queue, messages."""

    def __init__(self, latency=0.0):
        for name, value in INITIAL.items():
            setattr(self, name, value)
        self.requests = deque()
        self.sent = []
        self.refused = []               # messages the chat service would refuse
        self.latency = latency

    def request(self, command, **arguments):
        # As the bot's handlers do: the flag first, then the queue.
        for name, value in arguments.items():
            if name in INITIAL and value is not None:
                setattr(self, name, value)
        for flag in FLAGS[command]:
            setattr(self, flag, True)
        if command == "stop":
            self.velmor_trader_status = "Terminated"
        self.requests.append((command, arguments))

    def send_message(self, text):
        if len(text.encode("utf-16-le")) // 2 > 4096:
            # As the chat service: the whole message is lost.
            self.refused.append(text)
            raise RuntimeError("Bad Request: message is too long")
        # The chat shows a message before its sender hears back.
        self.sent.append(text)
        time.sleep(self.latency)


def configure(folder, **extra):
    config = types.ModuleType("velmor_trader_config")
    config.DB = {"sqlite3": str(folder)}
    for name, value in extra.items():
        setattr(config, name, value)
    sys.modules["velmor_trader_config"] = config
    return config


class Rig:
    def __init__(self, folder, seed=3, strategy=None, bot=None, timeout=0.3, **sim_options):
        install_win32com()
        from velmor_trader.gateways.cqg.gateway import CqgGateway
        from velmor_trader.gateways.cqg.wrapper import celbridge
        from velmor_trader.gateways.cqg.wrapper.CELEnvironment import CELEnvironment

        if "velmor_trader_config" in sys.modules:
            sys.modules["velmor_trader_config"].DB = {"sqlite3": str(folder)}
        else:
            configure(folder)
        self.folder = folder
        # A placement's answer is waited for this long (real seconds), and
        # the account subscription does not pause.
        self._restore = (celbridge, celbridge.TIMEOUT, celbridge.time)
        celbridge.TIMEOUT = timeout
        celbridge.time = SimpleNamespace(sleep=lambda seconds: None)
        self.env = CELEnvironment()
        self.bridge = celbridge.CelBridge()
        self.env.Init(self.bridge, seed=seed, **sim_options)
        self.sim = self.env.simulator
        self.gateway = CqgGateway([i.security for i in defaults.INSTRUMENTS], self.env,
                                  gateway_name=defaults.GATEWAY_NAME)
        self.bridge.Init(self.gateway)
        self.store = Store(broker=dict(broker_name="CQG", broker_environment="SIMULATE"),
                           account=dict(broker_account_id=defaults.ACCOUNT_ID,
                                        broker_account=f"SIM-GW-{defaults.ACCOUNT_ID}"))
        self.console = Console(io.StringIO(), 60, start_cash=0.0)
        self.engine = Engine(self.bridge, self.gateway, SimulatedTime(self.sim), self.store,
                             strategy or Idle(), self.console)
        self.bridge.Logon(defaults.USER, defaults.PASSWORD)
        self.bridge.subscribe_account_and_positions(defaults.ACCOUNT_ID)
        for instrument in defaults.INSTRUMENTS:
            symbol = self.gateway.get_cqg_symbol_from_vl_security(instrument.security)
            self.bridge.subscribe_quote(symbol)
            self.bridge.subscribe_orderbook(symbol)
            self.bridge.subscribe_bar(symbol, defaults.BAR_LOOKBACK, "1Min")
        self.sim.advance(1)
        self.store.open_balance(self.bridge.account_balance, defaults.STRATEGY,
                                self.sim.clock.now())
        self.bot = bot if bot is not None else FakeBot()
        self.desk = self.engine.desk = Desk(self.bot, self.engine, self.console)
        self.engine.start()
        self.engine.drain()

    def advance(self, seconds=1):
        for _ in range(int(seconds)):
            self.sim.advance(1)
            self.engine.drain()

    def chat(self, command, **arguments):
        """One request through the fake bot; returns the answers it got."""
        before = len(self.bot.sent)
        self.bot.request(command, **arguments)
        self.desk.serve()
        return self.bot.sent[before:]

    def rows(self, table):
        connection = sqlite3.connect(self.folder / "velmor_trader.db")
        connection.row_factory = sqlite3.Row
        try:
            return [dict(r) for r in connection.execute(f"SELECT * FROM {table} ORDER BY id")]
        finally:
            connection.close()

    def broker_positions(self):
        """{code: signed quantity} as the simulated account holds it."""
        held = {}
        for account in self.sim.accounts:
            for position in account.Positions:
                if position.Quantity:
                    held[position.InstrumentName.rsplit(".", 1)[-1]] = position.Quantity
        return held

    def stored_positions(self):
        return {p["security_code"]: p["quantity"] * (1 if p["direction"] == "LONG" else -1)
                for p in self.rows("position")}

    def broker_fills(self):
        """{fill id: (order GUID, quantity)} of every fill the broker made."""
        return {f.Id: (o.GUID, f.Quantity) for o in self.sim.engine.orders for f in o._fills}

    def close(self):
        try:
            self.env.Shutdown()
        finally:
            self.store.close()
            celbridge, timeout, clock = self._restore
            celbridge.TIMEOUT, celbridge.time = timeout, clock
