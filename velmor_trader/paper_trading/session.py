"""One paper-trading session, from the embedded set-up to the report."""
import argparse
import contextlib
import json
import logging
import math
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

PROXY_VARS = ("HTTPS_PROXY", "https_proxy", "HTTP_PROXY", "http_proxy", "ALL_PROXY", "all_proxy")
PROG = "./run demo"
DB_FILE = "velmor_trader.db"
LOCK_FILE = "session.lock"
# Everything a session leaves in its folder, the database first and its -wal
# and -shm files with it (they belong to that database alone): a new session
# removes the lot before it writes anything, so that no file of the previous
# one is left to be read as its own.
OUTPUTS = (DB_FILE, DB_FILE + "-wal", DB_FILE + "-shm", DB_FILE + "-journal",
           "report.txt", "report.png", "chat.txt", "session.json", "session.log")
# sysexits' EX_TEMPFAIL: the folder is busy now; the same command works later.
BUSY = 75
STOP_SIGNALS = tuple(getattr(signal, name) for name in ("SIGINT", "SIGTERM")
                     if hasattr(signal, name))
SIGNAL_NAMES = {signal.SIGINT: "Ctrl-C"}
log = logging.getLogger("velmor_trader.paper_trading")


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog=PROG, description="A paper-trading session of the engine on a simulated "
        "broker, steered by a scripted operator through a local chat service, with a report.")
    parser.add_argument("--minutes", type=int, default=defaults.MINUTES,
                        help=f"simulated minutes of trading, {defaults.MIN_MINUTES} to "
                             f"{defaults.MAX_MINUTES} (default %(default)s)")
    parser.add_argument("--seed", type=int, default=defaults.SEED,
                        help="seed of the simulated market: the same seed, the same trades "
                             "(default %(default)s)")
    parser.add_argument("--out", default="paper-trading",
                        help="folder for the database, the report and the logs "
                             "(default ./%(default)s)")
    parser.add_argument("--speed", type=float, default=defaults.SPEED,
                        help=f"simulated seconds per real second, at least {defaults.MIN_SPEED:g} "
                             "(default %(default)g); the trades do not depend on it")
    parser.add_argument("--on-stop", choices=("close", "keep"), default=defaults.ON_STOP,
                        help="what a stop (/stop, Ctrl-C, SIGTERM) does with open positions: "
                             "close them at market (default), or keep them with their "
                             "protective stops working, as a live set-up may want")
    args = parser.parse_args(argv)
    if not defaults.MIN_MINUTES <= args.minutes <= defaults.MAX_MINUTES:
        parser.error(f"--minutes must be from {defaults.MIN_MINUTES} to {defaults.MAX_MINUTES} "
                     "(one trading day)")
    if not (math.isfinite(args.speed) and args.speed >= defaults.MIN_SPEED):
        parser.error(f"--speed must be a finite number of at least {defaults.MIN_SPEED:g} "
                     "(simulated seconds per real second)")
    args.out = Path(args.out).resolve()
    problem = _unusable(args.out)
    if problem:
        parser.error(f"--out {args.out}: {problem}")
    return args


def _unusable(out):
    """Why ``out`` cannot take a session, or None: tried for real, by making
    the folder and its lock file (permission bits do not tell root's story)."""
    if out.exists() and not out.is_dir():
        return "is a file, not a folder"
    try:
        out.mkdir(parents=True, exist_ok=True)
        os.close(os.open(out / LOCK_FILE, os.O_RDWR | os.O_CREAT, 0o644))
    except OSError as exc:
        return f"cannot be written ({exc.strerror or exc})"
    return None


class FolderLock:
    """One session per output folder: an exclusive lock on its lock file,
    taken without waiting.  The system drops the lock with the process
    however it ends, kill -9 included, so a dead session never blocks the
    folder.  The file itself stays: removing it would let two sessions lock
    two different files of the same name."""

    def __init__(self, folder):
        self.path = folder / LOCK_FILE
        self._fd = None

    def acquire(self):
        fd = os.open(self.path, os.O_RDWR | os.O_CREAT, 0o644)
        try:
            _lock(fd)
        except OSError:
            os.close(fd)
            return False
        self._fd = fd
        with contextlib.suppress(OSError):        # who holds it, for the next one's message
            os.ftruncate(fd, 0)
            os.write(fd, f"{os.getpid()}\n".encode())
        return True

    def holder(self):
        with contextlib.suppress(OSError, ValueError):
            return int(self.path.read_text().split()[0])
        return None

    def release(self):
        if self._fd is not None:
            os.close(self._fd)
            self._fd = None


if os.name == "nt":
    import msvcrt

    def _lock(fd):
        msvcrt.locking(fd, msvcrt.LK_NBLCK, 1)
else:
    import fcntl

    def _lock(fd):
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)


def _clear(out):
    """Remove the previous session's files; only while holding the folder's lock."""
    for name in OUTPUTS:
        (out / name).unlink(missing_ok=True)
    for partial in out.glob(".*.partial*"):
        partial.unlink(missing_ok=True)


def _replace_whole(path, write):
    """Write a file through ``write(temporary path)`` and move it into place,
    so that neither a reader nor a kill ever meets half of it."""
    partial = path.with_name(f".{path.stem}.partial{path.suffix}")
    write(partial)
    os.replace(partial, path)


def _write_text(path, text):
    _replace_whole(path, lambda partial: partial.write_text(text, encoding="utf-8"))


def mailbox(bot):
    """The bot's flags and their arguments: every property the engine may set
    (``requests``, read only, is the queue beside them)."""
    kind = type(bot)
    return {name: getattr(bot, name) for name, member in vars(kind).items()
            if isinstance(member, property) and member.fset is not None}


def _has_matplotlib():
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return False
    return True


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
    out = args.out
    lock = FolderLock(out)
    try:
        free = lock.acquire()
    except OSError as exc:
        print(f"{PROG}: error: --out {out}: cannot be written ({exc.strerror or exc})",
              file=sys.stderr)
        return 2
    if not free:
        holder = lock.holder()
        print(f"{PROG}: {out} is in use by another session"
              f"{f' (process {holder})' if holder else ''}; let it end or choose another --out",
              file=sys.stderr)
        return BUSY
    try:
        _clear(out)
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
    finally:
        lock.release()


class Stopped(BaseException):
    """A stop signal during the set-up: unwinds it as Ctrl-C would, but ends
    in a line, not a traceback.  Not an Exception, so that no library's
    ``except Exception`` swallows it."""

    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


class Session:
    def __init__(self, args, out, stream):
        self.args, self.out = args, out
        self.console = Console(stream, args.minutes, start_cash=0.0)
        self.picture = _has_matplotlib()
        self.signalled = None           # the signal that stopped the session
        self.engine = None              # once trading, a signal stops the engine's loop
        self._unwind = False            # during the logon, a signal unwinds the set-up
        self._bot_open = True

    def _on_signal(self, signum, frame):
        # Only flags here: the handler interrupts the main thread anywhere.
        engine = self.engine
        if engine is not None:
            if self.signalled is None and not engine.stopping:
                self.signalled = signum
            engine.stop()
            return
        if self.signalled is None:
            self.signalled = signum
        if self._unwind:
            self._unwind = False
            raise Stopped(signum)

    def run(self):
        previous = {s: signal.signal(s, self._on_signal) for s in STOP_SIGNALS}
        try:
            return self._run()
        except Stopped as stop:
            self.console.line(f"\nStopped by {_name(stop.signum)} during the logon: nothing was "
                              "traded; the broker's session, the bot and the database are closed")
            return 128 + stop.signum
        finally:
            for s, handler in previous.items():
                signal.signal(s, handler)

    def _run(self):
        from velmor_trader.gateways.cqg.simulator import install_win32com
        from velmor_trader.plugins.telegram.local_server import LocalChatServer

        args, console = self.args, self.console
        console.line(f"Paper-trading session: {args.minutes} simulated minutes, seed {args.seed}, "
                     f"clock {args.speed:g}x; output in {self.out}")
        if not self.picture:
            console.line("  matplotlib is not installed (the demo extra): the report is written "
                         "without its picture")
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
                    self._close_bot(bot_module.bot)
            finally:
                environment.Shutdown()

    def _trade(self, bridge, gateway, clock, bot, chat):
        console = self.console
        store = Store(broker=dict(broker_name=defaults.GATEWAY_NAME, broker_environment="SIMULATE"),
                      account=dict(broker_account_id=defaults.ACCOUNT_ID,
                                   broker_account=f"SIM-GW-{defaults.ACCOUNT_ID}"))
        strategy = MovingAverageCross(defaults.FAST, defaults.SLOW, defaults.ENTRY_PATIENCE)
        engine = Engine(bridge, gateway, clock, store, strategy, console)
        engine.close_on_stop = self.args.on_stop == "close"
        console.line("  logging on to the simulated broker, subscribing the account, quotes, "
                     "order books and one-minute bars")
        logged_on = False
        try:
            self._unwind = True
            if self.signalled is not None:        # stopped while the simulator started
                self._unwind = False
                raise Stopped(self.signalled)
            bridge.Logon(defaults.USER, defaults.PASSWORD)
            logged_on = True
            bridge.subscribe_account_and_positions(defaults.ACCOUNT_ID)
            for instrument in defaults.INSTRUMENTS:
                symbol = gateway.get_cqg_symbol_from_vl_security(instrument.security)
                bridge.subscribe_quote(symbol)
                bridge.subscribe_orderbook(symbol)
                bridge.subscribe_bar(symbol, defaults.BAR_LOOKBACK, "1Min")
            start_cash = float(bridge.account_balance.cash)
            store.open_balance(bridge.account_balance, defaults.STRATEGY, clock.now())
            self.engine = engine          # from here on a signal winds the session down
            self._unwind = False
        except Stopped:
            self._unwind = False
            if logged_on:
                with contextlib.suppress(Exception):
                    bridge.Logoff()
            store.close()
            raise
        console.start_cash = start_cash
        engine.desk = Desk(bot, engine, console)
        operator = ScriptedOperator(chat, defaults.CHAT_ID, script(self.args.minutes), clock,
                                    console)
        engine.on_minute += [console.progress, operator.at_minute]
        try:
            engine.start()
            console.line(f"  trading {', '.join(i.security.code for i in defaults.INSTRUMENTS)} "
                         f"from {clock.now():%H:%M} (simulated), cash {start_cash:,.2f}")
            clock.release()               # the hold the simulator started with
            engine.run()
        finally:                          # whatever ended the loop, the positions are seen to
            try:
                finals = self._wind_down(engine, bridge, clock, store, bot)
            finally:
                operator.close()
        if self.signalled is not None:
            done = ("orders cancelled but the protective stops, positions kept with their "
                    "stops working"
                    if self.args.on_stop == "keep"
                    else "working orders cancelled, positions closed at market")
            console.line(f"\nStopped by {_name(self.signalled)} at {finals['time']:%H:%M} "
                         f"(simulated): {done}, logged off.\n{finals['deals']} deals of "
                         f"{finals['orders']} orders are stored in {self.out / DB_FILE}; "
                         "the report follows.")
        self._report(engine, operator, finals, start_cash)
        if self.signalled is not None:
            return 128 + self.signalled
        return 1 if finals["failed"] else 0

    def _close_bot(self, bot):
        if self._bot_open:
            self._bot_open = False
            try:
                if self.engine is not None and self.engine.desk is not None:
                    self.engine.desk.finish()     # what came since the wind-down is answered too
            finally:
                bot.close()

    def _wind_down(self, engine, bridge, clock, store, bot):
        """Cancel what works, close or keep the positions, take in every last
        event, log off, close."""
        clock.hold()
        try:
            closing = self.args.on_stop == "close"
            try:
                left = engine.wind_down(close_positions=closing)
            except Exception:
                # Logging off and closing matter more than what went wrong here.
                log.exception("the wind-down failed")
                self.console.note("the wind-down failed (see session.log); logging off all "
                                  "the same")
                left = None
            else:
                if (closing and left["working"]) or left["positions"]:
                    self.console.note(f"left after the wind-down: working orders "
                                      f"{left['working']}, positions {left['positions']}")
            engine.marks.append((clock.now(), dict(engine.marks[-1][1])))
            for instrument in defaults.INSTRUMENTS:
                symbol = engine.gateway.get_cqg_symbol_from_vl_security(instrument.security)
                bridge.unsubscribe_bar(symbol)
                bridge.unsubscribe_orderbook(symbol)
                bridge.unsubscribe_quote(symbol)
            bridge.update_account_balance()
            store.update_balance(bridge.account_balance, clock.now(), status="STOPPED")
            self._close_bot(bot)          # the desk still reads the store to answer
            flags = mailbox(bot)
            bridge.Logoff()
            finals = dict(time=clock.now(), flags=flags, orders_frame=store.orders(),
                          deals_frame=store.deals(), failed=left is None)
            finals.update(orders=len(finals["orders_frame"]), deals=len(finals["deals_frame"]))
            store.close()
        finally:
            clock.release()
        return finals

    def _report(self, engine, operator, finals, start_cash):
        console, out = self.console, self.out
        deals = report.stored_deals(finals["deals_frame"], defaults.INSTRUMENTS)
        result = report.build(deals, finals["orders_frame"], engine.marks, defaults.INSTRUMENTS,
                              start_cash, defaults.PERIODS_PER_YEAR)
        figures = result.figures
        text = report.table(result)
        _write_text(out / "report.txt", text + "\n")
        if self.picture:
            _replace_whole(out / "report.png", lambda partial: report.plot(
                result, partial, f"Moving-average cross, {self.args.minutes} simulated "
                f"minutes, seed {self.args.seed}"))
        transcript = operator.transcript()
        _write_text(out / "chat.txt", "".join(f"{who:>8}: {text}\n" for who, text in transcript))
        record = dict(seed=self.args.seed, minutes=self.args.minutes, start_cash=start_cash,
                      marks=[(t.isoformat(), p) for t, p in engine.marks],
                      received=[(kind, _plain(c)) for kind, c in engine.received],
                      commands=[c for _, c in operator.sent], unanswered=operator.unanswered,
                      answers=[a for _, a in engine.desk.answered], transcript=transcript,
                      flags_after=finals["flags"], figures=figures, on_stop=self.args.on_stop,
                      stopped_by=_name(self.signalled) if self.signalled else "/stop")
        _write_text(out / "session.json", json.dumps(record, indent=1))
        console.line("\nReport\n")
        console.line(text)
        console.line("\nPicture (returns, drawdown, prices with the fills): " + (
            str(out / "report.png") if self.picture
            else "not drawn (matplotlib is not installed: pip install matplotlib)"))
        console.line(f"Database: {out / DB_FILE}; chat: {out / 'chat.txt'}; "
                     f"log: {out / 'session.log'}")


def _name(signum):
    return SIGNAL_NAMES.get(signum) or signal.Signals(signum).name


def _plain(content):
    return {k: (v.name if hasattr(v, "name") else v.isoformat() if hasattr(v, "isoformat") else v)
            for k, v in content.items()}
