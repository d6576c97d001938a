"""Recording fakes: a ``Harness`` binds one client (native or plain) to a
fake COM layer, API root and gateway, and patches the module's globals so
that everything the client does lands in one log. Enumeration reads go to
``reads`` instead: the plain client names a quote type again for every
comparison, which the native one need not do."""
import datetime as _dt
import threading
import time
from types import SimpleNamespace

from velmor_trader.core.security import Futures
from velmor_trader.gateways.cqg.simulator.constants import constants as _sim

NOW = _dt.datetime(2024, 11, 4, 9, 30, 1, 250000)
STAMP = _dt.datetime(2024, 11, 4, 9, 31, 7, 999)
EP, NQ = Futures("EPZ4", "E-mini S&P 500"), Futures("ENQZ4", "E-mini Nasdaq")


class FixedDatetime(_dt.datetime):
    @classmethod
    def now(cls, tz=None):
        return NOW


class Constants:
    def __init__(self, reads):
        object.__setattr__(self, "_reads", reads)
        object.__setattr__(self, "_values", dict(_sim._values))

    def __getattr__(self, name):
        self._reads.append(name)
        try:
            return self._values[name]
        except KeyError:
            raise AttributeError(name) from None


def label(obj):
    if isinstance(obj, list):
        return [label(item) for item in obj]
    return getattr(obj, "label", obj)


class Com:
    """A COM object with the given members; the client's writes are logged."""

    def __init__(self, log, label, **members):
        object.__setattr__(self, "_log", log)
        object.__setattr__(self, "label", label)
        self.__dict__.update(members)

    def __setattr__(self, name, value):
        self._log.append(("set", self.label, name, value))
        object.__setattr__(self, name, value)

    def __call__(self, which):          # an order's property collection
        return SimpleNamespace(Value=self.values[which])


def stub(obj, **members):
    """Sets members of a fake without logging them."""
    obj.__dict__.update(members)
    return obj


def method(log, name, result=None, then=None):
    def call(*args):
        log.append(("call", name) + tuple(label(a) for a in args))
        if then is not None:
            then(*args)
        return result
    return call


class Gateway:
    def __init__(self, log):
        self.log = log
        self.cqg_quotes = {EP: None, NQ: None}

    def get_vl_security_from_cqg_symbol(self, symbol):
        self.log.append(("gw.security", symbol))
        return {"EPZ4": EP, "ENQZ4": NQ}.get(symbol)

    def get_cqg_symbol_from_vl_security(self, security):
        return security.code

    def process_quote(self, quote):
        self.log.append(("gw.quote", quote))

    def process_order(self, content):
        self.log.append(("gw.order", content, list(content)))

    def process_deal(self, content):
        self.log.append(("gw.deal", content, list(content)))


class Harness:
    def __init__(self, module, timeout=5.0):
        self.module, self.log, self.reads, self.threads = module, [], [], []
        self.C = Constants(self.reads)
        self.K = self.C._values
        names = {
            "win32com": SimpleNamespace(client=SimpleNamespace(Dispatch=self._dispatch,
                                                               constants=self.C)),
            "Trace": lambda text: self.log.append(("Trace", text)),
            "AssertMessage": lambda ok, text: self.log.append(("Assert", ok, text)),
            "print": lambda text: self.log.append(("print", text)),
            "TIMEOUT": timeout,
            "time": SimpleNamespace(sleep=lambda s: self.log.append(("sleep", s))),
            "datetime": FixedDatetime,
        }
        self._saved = dict(module.__dict__)
        module.__dict__.update(names)
        log = self.log
        self.cel = Com(log, "cel", Instruments=[], Accounts=[],
                       **{m: method(log, m) for m in ("GWLogon", "GWLogoff", "NewInstrument",
                                                      "RemoveInstrument")})
        self.gateway = Gateway(log)
        self.gateway.celEnvironment = SimpleNamespace(cqgCEL=self.cel)
        self.client = module.CelBridge()
        self.client.Init(self.gateway)

    def close(self):
        for thread in self.threads:
            thread.join(10)
        self.module.__dict__.clear()
        self.module.__dict__.update(self._saved)

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
        """Runs ``action()`` on another thread once ``entry`` is logged, as
        the API's event thread answers a request the client waits for."""
        def run():
            deadline = time.monotonic() + 5
            while entry not in self.log and time.monotonic() < deadline:
                time.sleep(0.001)
            action()
        self.threads.append(threading.Thread(target=run))
        self.threads[-1].start()

    def com(self, label, **members):
        return Com(self.log, label, **members)

    def quote(self, kind, price, valid=True):
        return self.com("quote", Type=self.K.get(kind, kind), price=price, IsValid=valid)

    def order_event(self, guid, status):
        K = self.K
        values = {K["opGWStatus"]: K.get(status, status), K["opGUID"]: guid,
                  K["opEventServerTimestamp"]: STAMP, K["opAverageFillPrice"]: 5950.25,
                  K["opFilledQuantity"]: 2}
        return self.com("order " + guid, Properties=self.com("properties", values=values),
                        GUID=guid)

    def fill(self, order, status="fsNormal"):
        return self.com("fill", Status=self.K[status], Timestamp=STAMP, Price=5950.5,
                        Quantity=1, Order=order, Id="F7")
