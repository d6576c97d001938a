"""Recording fakes for the broker client's unit tests.

A ``Harness`` binds one client (native or plain Python) to a fake COM layer,
a fake API root object and a fake gateway, and patches the module's globals
(Trace, AssertMessage, print, TIMEOUT, time, datetime, win32com) so that
everything the client does lands in one log.  Reads of enumeration members go
to a separate list: the plain client names a quote type again for every
comparison, which the native one need not do.
"""
import datetime as _dt
import threading
import time
from types import SimpleNamespace

from velmor_trader.core.security import Futures
from velmor_trader.gateways.cqg.simulator.constants import constants as _sim

VALUES = dict(_sim._values)
NOW = _dt.datetime(2024, 11, 4, 9, 30, 1, 250000)


class FixedDatetime(_dt.datetime):
    @classmethod
    def now(cls, tz=None):
        return NOW


class Constants:
    def __init__(self, reads):
        object.__setattr__(self, "_reads", reads)
        object.__setattr__(self, "_values", dict(VALUES))

    def __getattr__(self, name):
        self._reads.append(name)
        try:
            return self._values[name]
        except KeyError:
            raise AttributeError(name) from None


class Com:
    """A COM object: members given by keyword; writes are logged."""

    def __init__(self, log, label, **members):
        object.__setattr__(self, "_log", log)
        object.__setattr__(self, "label", label)
        self.__dict__.update(members)

    def __setattr__(self, name, value):
        self._log.append(("set", self.label, name, value))
        object.__setattr__(self, name, value)

    def __repr__(self):
        return "<%s>" % self.label


def stub(obj, **members):
    """Sets up members of a fake without logging them."""
    obj.__dict__.update(members)
    return obj


def label(obj):
    """What the log keeps of an object: fakes by their label."""
    if isinstance(obj, list):
        return [label(item) for item in obj]
    return getattr(obj, "label", obj)


def method(log, name, result=None, then=None):
    """A recorded call; ``then(*args)`` runs after it is logged."""
    def call(*args):
        log.append(("call", name) + tuple(label(a) for a in args))
        if then is not None:
            then(*args)
        return result
    return call


class Properties:
    """An order's property collection: properties(member).Value."""
    label = "properties"

    def __init__(self, values):
        self._values = values

    def __call__(self, which):
        return SimpleNamespace(Value=self._values[which])


class Gateway:
    def __init__(self, log, securities):
        self.log = log
        self.by_symbol = {s.code: s for s in securities}
        self.cqg_quotes = {s: None for s in securities}
        self.cqg_orderbooks = {s: None for s in securities}

    def get_vl_security_from_cqg_symbol(self, symbol):
        self.log.append(("gw.security", symbol))
        return self.by_symbol.get(symbol)

    def get_cqg_symbol_from_vl_security(self, security):
        self.log.append(("gw.symbol", security.code))
        return security.code

    def process_quote(self, quote):
        self.log.append(("gw.quote", quote))

    def process_order(self, content):
        self.log.append(("gw.order", content, list(content)))

    def process_deal(self, content):
        self.log.append(("gw.deal", content, list(content)))


EP = Futures("EPZ4", "E-mini S&P 500")
NQ = Futures("ENQZ4", "E-mini Nasdaq")


class Harness:
    def __init__(self, module, timeout=5.0):
        self.module = module
        self.log, self.reads = [], []
        self.C = Constants(self.reads)
        self.threads = []
        client = SimpleNamespace(Dispatch=self._dispatch, constants=self.C)
        self._patch({
            "win32com": SimpleNamespace(client=client),
            "Trace": lambda text: self.log.append(("Trace", text)),
            "AssertMessage": lambda ok, text: self.log.append(("Assert", ok, text)),
            "print": lambda text: self.log.append(("print", text)),
            "TIMEOUT": timeout,
            "time": SimpleNamespace(sleep=lambda s: self.log.append(("sleep", s))),
            "datetime": FixedDatetime,
        })
        log = self.log
        self.cel = Com(log, "cel", Instruments=[], Accounts=[],
                       GWLogon=method(log, "GWLogon"), GWLogoff=method(log, "GWLogoff"),
                       NewInstrument=method(log, "NewInstrument"),
                       RemoveInstrument=method(log, "RemoveInstrument"))
        self.gateway = Gateway(log, [EP, NQ])
        self.gateway.celEnvironment = SimpleNamespace(cqgCEL=self.cel)
        self.client = module.CelBridge()
        self.client.Init(self.gateway)

    def _patch(self, names):
        self._saved = {n: self.module.__dict__.get(n) for n in names}
        self.module.__dict__.update(names)

    def close(self):
        for thread in self.threads:
            thread.join(10)
        for name, value in self._saved.items():
            if value is None:
                self.module.__dict__.pop(name, None)
            else:
                self.module.__dict__[name] = value

    def _dispatch(self, obj):
        self.log.append(("Dispatch", label(obj)))
        return obj

    def call(self, name, *args, **kwargs):
        """Calls a client member; its result or error goes to the log."""
        try:
            result = getattr(self.client, name)(*args, **kwargs)
        except Exception as exc:
            self.log.append(("raise", name, type(exc).__name__, str(exc)))
            return exc
        self.log.append(("return", name, label(result)))
        return result

    def when_logged(self, entry, action):
        """Runs ``action()`` on another thread once ``entry`` is in the log,
        as the API's event thread answers a request the client waits for."""
        def run():
            deadline = time.monotonic() + 5
            while entry not in self.log and time.monotonic() < deadline:
                time.sleep(0.001)
            action()
        thread = threading.Thread(target=run)
        self.threads.append(thread)
        thread.start()

    # -- API objects ------------------------------------------------------
    def account(self, gw_id, name, **members):
        return Com(self.log, "account %s" % name, GWAccountID=gw_id, GWAccountName=name, **members)

    def quote(self, kind, price, valid=True):
        return Com(self.log, "quote", Type=self.C._values[kind], price=price, IsValid=valid)

    def order_event(self, guid, status, stamp=_dt.datetime(2024, 11, 4, 9, 31, 7, 999)):
        values = {self.C._values["opGWStatus"]: status, self.C._values["opGUID"]: guid,
                  self.C._values["opEventServerTimestamp"]: stamp,
                  self.C._values["opAverageFillPrice"]: 5950.25,
                  self.C._values["opFilledQuantity"]: 2}
        return Com(self.log, "order " + guid, Properties=Properties(values), GUID=guid)

    def fill(self, order, status="fsNormal", stamp=_dt.datetime(2024, 11, 4, 9, 31, 9, 5)):
        return Com(self.log, "fill", Status=self.C._values[status], Timestamp=stamp, Price=5950.5,
                   Quantity=1, Order=order, Id="F7")
