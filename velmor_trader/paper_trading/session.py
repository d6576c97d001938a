"""One paper-trading session, from the embedded set-up to the report."""
import argparse
import contextlib
import json
import logging
import math
import os
import signal
import sys
import threading
import types
from pathlib import Path

from . import defaults, logs, outdir, report
from .console import Console, Terminal
from .desk import Desk
from .engine import Engine
from .operator import ScriptedOperator, script
from .simtime import SimulatedTime
from .store import Store
from .strategy import MovingAverageCross

PROXY_VARS = ("HTTPS_PROXY", "https_proxy", "HTTP_PROXY", "http_proxy", "ALL_PROXY", "all_proxy")
PROG = "./run demo"
DB_FILE, LOCK_FILE = outdir.DB_FILE, outdir.LOCK_FILE
# sysexits' EX_TEMPFAIL: the folder is busy now; the same command works later.
BUSY = 75
# A stop left orders or positions open that its --on-stop policy finishes.
LEFT_OPEN = 3
# The database still lacks some of the broker's records at the exit.
LAGGING = 4
# Something other than the engine's loop failed (the operator, the console, a
# broker callback): the session was wound down and its files written.
FAILED = 1
# The reader of standard output went away (``| head``): what a Unix tool's
# exit status says when SIGPIPE ended it, 128 + 13, also where there is no SIGPIPE.
OUTPUT_CLOSED = 141
STOP_SIGNALS = tuple(getattr(signal, name) for name in ("SIGINT", "SIGTERM")
                     if hasattr(signal, name))
SIGNAL_NAMES = {signal.SIGINT: "Ctrl-C"}
log = logging.getLogger("velmor_trader.paper_trading")


def _version():
    from importlib import metadata
    try:
        return metadata.version("velmor_trader")
    except metadata.PackageNotFoundError:      # run from a source tree that was never installed
        return "unknown"


def parse_args(argv, prog=PROG):
    parser = argparse.ArgumentParser(
        prog=prog, description="A paper-trading session of the engine on a simulated "
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
    parser.add_argument("--log-level", choices=logs.LEVELS, default="INFO", type=str.upper,
                        help="what session.log keeps, from DEBUG (every line the broker "
                             "client prints, each bar) to ERROR (default %(default)s)")
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    args = parser.parse_args(argv)
    if not defaults.MIN_MINUTES <= args.minutes <= defaults.MAX_MINUTES:
        parser.error(f"--minutes must be from {defaults.MIN_MINUTES} to {defaults.MAX_MINUTES} "
                     "(one trading day)")
    if not (math.isfinite(args.speed) and args.speed >= defaults.MIN_SPEED):
        parser.error(f"--speed must be a finite number of at least {defaults.MIN_SPEED:g} "
                     "(simulated seconds per real second)")
    # What the person typed, from where they typed it.
    args.out = Path(args.out).expanduser().resolve()
    problem = _not_only_sessions(args.out) or _unusable(args.out)
    if problem:
        parser.error(f"--out {args.out}: {problem}")
    return args


def _not_only_sessions(out):
    """Why ``out`` holds files that are not a session's, or None."""
    with contextlib.suppress(OSError):        # an unreadable folder is _unusable's to say
        names = outdir.foreign(out)
        if names:
            shown = ", ".join(names[:3]) + (f" and {len(names) - 3} more" if len(names) > 3 else "")
            return (f"holds files no session wrote ({shown}); a session writes only into a "
                    "new or empty folder, or one of earlier sessions")
    return None


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


def _replace_whole(path, write):
    """Write a file through ``write(temporary path)`` and move it into place,
    so that neither a reader nor a kill ever meets half of it."""
    partial = outdir.partial_name(path)
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


def _configuration(out, chat):
    """The framework's configuration module, embedded: this folder, the local chat."""
    config = types.ModuleType("velmor_trader_config")
    config.DB = {"sqlite3": str(out)}
    config.TELEGRAM_TOKEN = defaults.TOKEN
    config.TELEGRAM_CHAT_ID = defaults.CHAT_ID
    config.TELEGRAM_BASE_URL = chat.base_url
    sys.modules["velmor_trader_config"] = config


def command():
    """The ``velmor-paper`` console command."""
    return main(prog="velmor-paper")


def main(argv=None, prog=PROG):
    args = parse_args(argv, prog)
    out = args.out
    lock = FolderLock(out)
    started = outdir.started_at(out)          # the earlier session's, before this one's pid
    try:
        free = lock.acquire()
    except OSError as exc:
        print(f"{prog}: error: --out {out}: cannot be written ({exc.strerror or exc})",
              file=sys.stderr)
        return 2
    if not free:
        holder = lock.holder()
        print(f"{prog}: {out} is in use by another session"
              f"{f' (process {holder})' if holder else ''}; let it end or choose another --out",
              file=sys.stderr)
        return BUSY
    terminal = Terminal(sys.stdout)
    try:
        earlier = outdir.set_aside(out, started)
        handlers, times, repeats = logs.configure(out / "session.log", terminal,
                                                  args.log_level)
        for var in PROXY_VARS:            # everything the session talks to is on this machine
            os.environ.pop(var, None)
        try:
            with contextlib.redirect_stdout(logs.Printed(logging.getLogger("stdout"))):
                session = Session(args, out, terminal, times)
                return session.run(earlier)
        finally:
            repeats.summary()
            for handler in handlers:
                handler.close()
            logging.getLogger().handlers[:] = []
    finally:
        lock.release()
        if terminal.closed:
            _quiet_stdout()


def _quiet_stdout():
    """Point standard output at the null device, so that the interpreter's
    last flush of what the closed pipe did not take ends quietly."""
    with contextlib.suppress(OSError, ValueError, AttributeError):
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)


class Stopped(BaseException):
    """A stop signal during the set-up: unwinds it as Ctrl-C would, but ends
    in a line, not a traceback.  Not an Exception, so that no library's
    ``except Exception`` swallows it."""

    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


class Session:
    def __init__(self, args, out, terminal, times=None):
        self.args, self.out = args, out
        self.console = Console(terminal, args.minutes, start_cash=0.0)
        terminal.on_closed = self._output_closed
        self.times = times              # the log's simulated time, once there is a clock
        self.picture = _has_matplotlib()
        self.signalled = None           # the signal that stopped the session
        self.failure = None             # what failed outside the engine's loop
        self.output_closed = False
        self.engine = None              # once trading, a signal stops the engine's loop
        self._unwind = False            # during the logon, a signal unwinds the set-up
        self._bot_open = True

    # -- what stops a session besides /stop and signals ---------------------------------
    def _output_closed(self):
        self.output_closed = True
        log.warning("standard output was closed: winding the session down")
        self._stop_engine()

    def fail(self, what):
        """Something outside the engine's loop failed (the caller logged it
        with its traceback): wind the session down, then exit non-zero."""
        if self.failure is None:
            self.failure = what
        self._stop_engine()

    def _stop_engine(self):
        engine = self.engine
        if engine is not None:
            engine.stop()

    def _guarded(self, what, callback):
        """``callback(argument)`` whose failure stops the session: the engine
        or the gateway that calls it would log it and go on without it."""
        def guarded(argument):
            try:
                callback(argument)
            except Exception:
                log.exception("%s failed: stopping the session", what)
                self.fail(what)
        return guarded

    def _watch_callbacks(self, gateway):
        """The engine's callbacks run on the broker's event thread; the
        gateway logs a failing one and goes on, which would leave the engine
        without its minutes or its orders' news.  Each one is made to stop
        the session instead."""
        for kind, callbacks in gateway._callbacks.items():
            gateway._callbacks[kind] = [
                self._guarded(f"the broker's {kind} callback", c) for c in callbacks]

    def _thread_died(self, args):
        if issubclass(args.exc_type, SystemExit):
            return
        name = args.thread.name if args.thread is not None else "a thread"
        log.error("the thread %s died: stopping the session", name,
                  exc_info=(args.exc_type, args.exc_value, args.exc_traceback))
        self.fail(f"the thread {name}")

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

    def run(self, earlier=None):
        previous = {s: signal.signal(s, self._on_signal) for s in STOP_SIGNALS}
        hook, threading.excepthook = threading.excepthook, self._thread_died
        self.earlier = earlier
        try:
            return self._run()
        except Stopped as stop:
            self.console.line(f"\nStopped by {_name(stop.signum)} during the logon: nothing was "
                              "traded; the broker's session, the bot and the database are closed")
            return 128 + stop.signum
        finally:
            threading.excepthook = hook
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
        if self.earlier is not None:
            aside, crashed = self.earlier
            console.line(f"  the earlier session's files are kept in {aside}"
                         + (" (it crashed: its balance still said RUNNING)" if crashed else ""))
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
                if self.times is not None:
                    self.times.clock = clock
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
        self._watch_callbacks(gateway)
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
            if self.failure is not None or self.output_closed:
                engine.stop()             # came while logging on: straight to the wind-down
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
                                    console, on_failure=lambda exc: self.fail("the operator"))
        engine.on_minute += [self._guarded("the console", console.progress),
                             self._guarded("the operator", operator.at_minute)]
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
        elif self.failure is not None:
            console.line(f"\nStopped at {finals['time']:%H:%M} (simulated) because {self.failure} "
                         f"failed (the traceback is in {self.out / 'session.log'}); wound down "
                         f"by --on-stop {self.args.on_stop}, logged off; the report follows.")
        self._report(engine, operator, finals, start_cash)
        # What the broker and the database hold matters more than how the
        # stop came: a lagging database first, then what was left open.
        if finals["lagging"]:
            return LAGGING
        if finals["left_open"]:
            return LEFT_OPEN
        if self.signalled is not None:
            return 128 + self.signalled
        if self.failure is not None:
            return FAILED
        if finals["failed"]:
            return FAILED
        return OUTPUT_CLOSED if self.output_closed else 0

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
                if left["left_open"]:
                    self.console.note("left open against --on-stop " + self.args.on_stop + ": "
                                      + "; ".join(left["left_open"]))
            engine.marks.append((clock.now(), dict(engine.marks[-1][1])))
            for instrument in defaults.INSTRUMENTS:
                symbol = engine.gateway.get_cqg_symbol_from_vl_security(instrument.security)
                bridge.unsubscribe_bar(symbol)
                bridge.unsubscribe_orderbook(symbol)
                bridge.unsubscribe_quote(symbol)
            # The balance says STOPPED only over records that match the broker's.
            lagging = engine.reconcile()
            bridge.update_account_balance()
            balance, when = bridge.account_balance, clock.now()
            if not lagging:
                engine.write("the balance", lambda: store.update_balance(balance, when,
                                                                         status="STOPPED"))
                lagging = [] if engine.flush(force=True) else ["the balance not marked STOPPED"]
            if lagging:
                self.console.note("the database still lags the broker: " + "; ".join(lagging))
                engine.tell("the database still lags the broker: " + "; ".join(lagging))
            self._close_bot(bot)          # the desk still reads the store to answer
            flags = mailbox(bot)
            bridge.Logoff()
            finals = dict(time=clock.now(), flags=flags, orders_frame=store.orders(),
                          deals_frame=store.deals(), failed=left is None, lagging=lagging,
                          left_open=left["left_open"] if left else [])
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
