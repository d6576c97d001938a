"""What the order-book and bar tests share: fakes of the API objects these
handlers touch, a light security key, and (for child interpreters, which
have no fixtures) the two clients."""
import functools
import importlib
from types import SimpleNamespace
from typing import Any, NamedTuple

from velmor_trader.gateways.cqg.simulator import install_win32com

INVALID = -2147483648


class Key(NamedTuple):
    """Stands in for a Security where only hashing, `code` and `exchange`
    matter."""
    code: str
    exchange: Any = "CME"


@functools.lru_cache(maxsize=None)
def module(kind):
    """The native extension module ("native") or its plain-Python twin
    ("twin"), as the `modules` fixture gives them."""
    install_win32com()
    if kind == "native":
        return importlib.import_module("velmor_trader.gateways.cqg.wrapper.celbridge")
    return importlib.import_module("velmor_trader.twins.celbridge")


class Recorder:
    """An API object that logs, in order, the properties set on it and the
    calls made to it; reading a property gives what was set."""

    def __init__(self, log, **values):
        object.__setattr__(self, "_log", log)
        self.__dict__.update(values)

    def __setattr__(self, name, value):
        self._log.append(("set", name, value))
        object.__setattr__(self, name, value)

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)
        return lambda *args: self._log.append((name,) + args)


class Event:
    """threading.Event's interface, logging clear and wait (never blocks)."""

    def __init__(self, log, name):
        self.log, self.name, self.flag = log, name, False

    def is_set(self):
        return self.flag

    def set(self):
        self.flag = True

    def clear(self):
        self.log.append(("clear", self.name))
        self.flag = False

    def wait(self, timeout):
        self.log.append(("wait", self.name, timeout))
        return self.flag


class Collection:
    """A ticks or timed-bars collection of one request."""

    def __init__(self, symbol, items=()):
        self.Request = SimpleNamespace(Symbol=symbol)
        self.items = list(items)

    @property
    def Count(self):
        return len(self.items)

    def Item(self, index):
        return self.items[index]


class Api(Recorder):
    def CreateTicksRequest(self):
        self._log.append(("CreateTicksRequest",))
        return Recorder(self._log)

    def CreateTimedBarsRequest(self):
        self._log.append(("CreateTimedBarsRequest",))
        return Recorder(self._log)


class Gateway:
    def __init__(self, api, securities):
        self.celEnvironment = SimpleNamespace(cqgCEL=api)
        self.symbols = {s.code: s for s in securities}
        self.cqg_orderbooks = {s: None for s in securities}
        self.cqg_quotes = {s: None for s in securities}
        self.books, self.quotes = [], []

    def get_vl_security_from_cqg_symbol(self, symbol):
        return self.symbols.get(symbol)

    def process_orderbook(self, book):
        self.books.append(book)

    def process_quote(self, quote):
        self.quotes.append(quote)


def make_client(mod, monkeypatch, securities=(Key("EPZ4"),)):
    """A bound client of module `mod` on fakes: its log holds, in order, the
    API's requests and calls, traces, prints, and the clear and wait of its
    order-book and bar events."""
    from velmor_trader.gateways.cqg.simulator import constants
    log = []
    api = Api(log, AllTicks=[], AllTimedBars=[])
    monkeypatch.setattr(mod, "win32com", SimpleNamespace(
        client=SimpleNamespace(Dispatch=lambda obj: obj, constants=constants)))
    monkeypatch.setattr(mod, "Trace", lambda text: log.append(("Trace", text)))
    monkeypatch.setattr(mod, "print", lambda text: log.append(("print", text)), raising=False)
    monkeypatch.setattr(mod, "TIMEOUT", 0.25)
    bridge = mod.CelBridge()
    gateway = Gateway(api, securities)
    bridge.Init(gateway)
    bridge.eventOrderbookDone = Event(log, "orderbook")
    bridge.eventBarDone = Event(log, "bar")
    return SimpleNamespace(mod=mod, bridge=bridge, log=log, api=api, gateway=gateway,
                           security=securities[0])
