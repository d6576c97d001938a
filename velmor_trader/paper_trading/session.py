"""One paper-trading session, from the embedded set-up to the report."""
import argparse
import contextlib
import json
import logging
import os
import signal
import sys
import types
from pathlib import Path

from . import defaults, report
from .console import Console
from .desk import Desk
from .engine import Engine
from .operator import ScriptedOperator, script
from .simtime import SimulatedTime
from .store import Store
from .strategy import MovingAverageCross

FLAGS = ("velmor_trader_status", "get_balance", "get_positions", "get_orders", "active_orders",
         "get_deals", "cancel_order", "cancel_orders", "send_order", "close_positions")
PROXY_VARS = ("HTTPS_PROXY", "https_proxy", "HTTP_PROXY", "http_proxy", "ALL_PROXY", "all_proxy")
log = logging.getLogger("velmor_trader.paper_trading")


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog="./run demo", description="A paper-trading session of the engine on a simulated "
        "broker, steered by a scripted operator through a local chat service, with a report.")
    parser.add_argument("--minutes", type=int, default=defaults.MINUTES,
                        help="simulated minutes of trading (default %(default)s)")
    parser.add_argument("--seed", type=int, default=defaults.SEED,
                        help="seed of the simulated market: the same seed, the same trades "
                             "(default %(default)s)")
    parser.add_argument("--out", default="paper-trading",
                        help="folder for the database, the report and the logs "
                             "(default ./%(default)s)")
    parser.add_argument("--speed", type=float, default=defaults.SPEED,
                        help="simulated seconds per real second (default %(default)g); "
                             "the trades do not depend on it")
    args = parser.parse_args(argv)
    if args.minutes < 2:
        parser.error("--minutes must be at least 2")
    return args


class _LogWriter:
    """Where library lines printed to standard output go: the session log."""

    def __init__(self, logger):
        self._logger, self._buffer = logger, ""

    def write(self, text):
        self._buffer += text
        *lines, self._buffer = self._buffer.split("\n")
        for line in lines:
            self._logger.info("%s", line)
        return len(text)

    def flush(self):
        pass


def _configure_logging(out, stream):
    root = logging.getLogger()
    root.setLevel(logging.INFO)
    to_file = logging.FileHandler(out / "session.log", mode="w", encoding="utf-8")
    to_file.setFormatter(logging.Formatter("%(asctime)s %(name)s: %(message)s"))
    to_console = logging.StreamHandler(stream)
    to_console.setLevel(logging.WARNING)
    to_console.setFormatter(logging.Formatter("  %(levelname)s %(name)s: %(message)s"))
    # Warnings of the chat library (its connection pool) say nothing a user
    # could act on; they stay in the log. Ours, and any error, are shown.
    to_console.addFilter(lambda r: r.name.startswith("velmor_trader") or r.levelno >= logging.ERROR)
    root.handlers[:] = [to_file, to_console]
    return [to_file, to_console]


def _configuration(out, chat):
    """The framework's configuration module, embedded: this folder, the local chat."""
    config = types.ModuleType("velmor_trader_config")
    config.DB = {"sqlite3": str(out)}
    config.TELEGRAM_TOKEN = defaults.TOKEN
    config.TELEGRAM_CHAT_ID = defaults.CHAT_ID
    config.TELEGRAM_BASE_URL = chat.base_url
    sys.modules["velmor_trader_config"] = config


def main(argv=None):
    args = parse_args(argv)
    out = Path(args.out).resolve()
    out.mkdir(parents=True, exist_ok=True)
    for name in ("velmor_trader.db", "report.png", "report.txt", "chat.txt", "session.json"):
        (out / name).unlink(missing_ok=True)
    stream = sys.stdout
    handlers = _configure_logging(out, stream)
    for var in PROXY_VARS:            # everything the session talks to is on this machine
        os.environ.pop(var, None)
    try:
        with contextlib.redirect_stdout(_LogWriter(logging.getLogger("stdout"))):
            return Session(args, out, stream).run()
    finally:
        for handler in handlers:
            handler.close()
        logging.getLogger().handlers[:] = []


class Session:
    def __init__(self, args, out, stream):
        self.args, self.out = args, out
        self.console = Console(stream, args.minutes, start_cash=0.0)
        self.interrupted = False

    def run(self):
        from velmor_trader.gateways.cqg.simulator import install_win32com
        from velmor_trader.plugins.telegram.local_server import LocalChatServer

        args, console = self.args, self.console
        console.line(f"Paper-trading session: {args.minutes} simulated minutes, seed {args.seed}, "
                     f"clock {args.speed:g}x; output in {self.out}")
        with LocalChatServer(token=defaults.TOKEN) as chat:
            _configuration(self.out, chat)
            install_win32com()            # the broker's COM layer is simulated here
            from velmor_trader.gateways.cqg.gateway import CqgGateway
            from velmor_trader.gateways.cqg.wrapper.celbridge import CelBridge
            from velmor_trader.gateways.cqg.wrapper.CELEnvironment import CELEnvironment

            environment, bridge = CELEnvironment(), CelBridge()
            environment.Init(bridge, seed=args.seed, speed=args.speed, held=True)
            try:
                clock = SimulatedTime(environment.simulator)
                gateway = CqgGateway([i.security for i in defaults.INSTRUMENTS], environment,
                                     gateway_name=defaults.GATEWAY_NAME)
                bridge.Init(gateway)
                from velmor_trader.plugins.telegram import bot as bot_module
                try:
                    return self._trade(bridge, gateway, clock, bot_module.bot, chat)
                finally:
                    bot_module.bot.close()
            finally:
                environment.Shutdown()

    def _trade(self, bridge, gateway, clock, bot, chat):
        console = self.console
        store = Store(broker=dict(broker_name=defaults.GATEWAY_NAME, broker_environment="SIMULATE"),
                      account=dict(broker_account_id=defaults.ACCOUNT_ID,
                                   broker_account=f"SIM-GW-{defaults.ACCOUNT_ID}"))
        strategy = MovingAverageCross(defaults.FAST, defaults.SLOW, defaults.ENTRY_PATIENCE)
        engine = Engine(bridge, gateway, clock, store, strategy, console)
        console.line("  logging on to the simulated broker, subscribing the account, quotes, "
                     "order books and one-minute bars")
        bridge.Logon(defaults.USER, defaults.PASSWORD)
        bridge.subscribe_account_and_positions(defaults.ACCOUNT_ID)
        for instrument in defaults.INSTRUMENTS:
            symbol = gateway.get_cqg_symbol_from_vl_security(instrument.security)
            bridge.subscribe_quote(symbol)
            bridge.subscribe_orderbook(symbol)
            bridge.subscribe_bar(symbol, defaults.BAR_LOOKBACK, "1Min")
        start_cash = float(bridge.account_balance.cash)
        console.start_cash = start_cash
        store.open_balance(bridge.account_balance, defaults.STRATEGY, clock.now())
        engine.desk = Desk(bot, engine, console)
        operator = ScriptedOperator(chat, defaults.CHAT_ID, script(self.args.minutes), clock,
                                    console)
        engine.on_minute += [console.progress, operator.at_minute]
        engine.start()
        console.line(f"  trading {', '.join(i.security.code for i in defaults.INSTRUMENTS)} "
                     f"from {clock.now():%H:%M} (simulated), cash {start_cash:,.2f}")
        previous = signal.signal(signal.SIGINT, self._interrupt(engine))
        try:
            clock.release()               # the hold the simulator started with
            engine.run()
            finals = self._wind_down(engine, bridge, clock, store, bot)
        finally:
            signal.signal(signal.SIGINT, previous)
            operator.close()
        if self.interrupted:
            console.line(f"\nInterrupted at {finals['time']:%H:%M} (simulated): "
                         f"{finals['deals']} deals of {finals['orders']} orders are stored in "
                         f"{self.out / 'velmor_trader.db'}")
            return 130
        return self._report(engine, operator, finals, start_cash)

    def _interrupt(self, engine):
        def handler(signum, frame):
            self.interrupted = True
            engine.stop()
        return handler

    def _wind_down(self, engine, bridge, clock, store, bot):
        """Cancel what works, take in every last event, log off, close."""
        clock.hold()
        try:
            for order, _ in engine.working():
                engine.cancel(order)
            engine.drain()
            engine.drain()
            engine.marks.append((clock.now(), dict(engine.marks[-1][1])))
            for instrument in defaults.INSTRUMENTS:
                symbol = engine.gateway.get_cqg_symbol_from_vl_security(instrument.security)
                bridge.unsubscribe_bar(symbol)
                bridge.unsubscribe_orderbook(symbol)
                bridge.unsubscribe_quote(symbol)
            bridge.update_account_balance()
            store.update_balance(bridge.account_balance, clock.now(), status="STOPPED")
            flags = {name: getattr(bot, name) for name in FLAGS}
            bridge.Logoff()
            finals = dict(time=clock.now(), flags=flags, orders_frame=store.orders(),
                          deals_frame=store.deals())
            finals.update(orders=len(finals["orders_frame"]), deals=len(finals["deals_frame"]))
            store.close()
        finally:
            clock.release()
        return finals

    def _report(self, engine, operator, finals, start_cash):
        console, out = self.console, self.out
        deals = report.stored_deals(finals["deals_frame"], defaults.INSTRUMENTS)
        figures, curve, drawdown, trips, by_half_hour = report.build(
            deals, finals["orders_frame"], engine.marks, defaults.INSTRUMENTS, start_cash,
            defaults.PERIODS_PER_YEAR)
        text = report.table(figures, by_half_hour)
        (out / "report.txt").write_text(text + "\n", encoding="utf-8")
        report.plot(curve, drawdown, out / "report.png",
                    f"Moving-average cross, {self.args.minutes} simulated minutes, "
                    f"seed {self.args.seed}")
        transcript = operator.transcript()
        (out / "chat.txt").write_text("".join(f"{who:>8}: {text}\n" for who, text in transcript),
                                      encoding="utf-8")
        record = dict(seed=self.args.seed, minutes=self.args.minutes, start_cash=start_cash,
                      marks=[(t.isoformat(), p) for t, p in engine.marks],
                      received=[(kind, _plain(c)) for kind, c in engine.received],
                      commands=[c for _, c in operator.sent], unanswered=operator.unanswered,
                      answers=[a for _, a in engine.desk.answered], transcript=transcript,
                      flags_after=finals["flags"], figures=figures)
        (out / "session.json").write_text(json.dumps(record, indent=1), encoding="utf-8")
        console.line("\nReport\n")
        console.line(text)
        console.line(f"\nEquity curve and drawdown: {out / 'report.png'}")
        console.line(f"Database: {out / 'velmor_trader.db'}; chat: {out / 'chat.txt'}; "
                     f"log: {out / 'session.log'}")
        return 0


def _plain(content):
    return {k: (v.name if hasattr(v, "name") else v.isoformat() if hasattr(v, "isoformat") else v)
            for k, v in content.items()}
