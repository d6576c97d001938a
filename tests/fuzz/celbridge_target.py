"""The broker client's fuzz target: random sequences of the API's events and
of the gateway's requests, played through the recording harness of the
client's tests (a fake COM layer, API root and gateway whose every call,
write, trace and print lands in one log)."""
import importlib
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "celbridge"))

from cel_fakes import EP, Harness, stub  # noqa: E402
from twinfuzz import Target, load_twin  # noqa: E402

QUOTES = ("qtBid", "qtAsk", "qtTrade", "qtDayHigh", "qtDayLow", "qtDayOpen", "qtSettlement",
          "qtYesterdaySettlement", "qtMarker", -5)
PRICES = (5950.0, 5950.25, 1.0, 0.0, -1.0, float("inf"), None, "x")
STATES = ("csConnectionUp", "csConnectionDown", "csConnectionDelayed", "csConnectionTrouble",
          "csConnectionNotLoggedOn", -1)
CHANGES = ("ctAdded", "ctChanged", "ctRemoved", "actAccountChanged", -1)
STATUSES = ("osFilled", "osCanceled", "osBusted", "osInTransit", "osInOrderBook", "osRejected",
            "osNotSent", "osExpired", "osActiveAt", -1)
FILLS = (None, "fsNormal", "fsBusted", "fsCanceled")
ACCOUNT_CHANGES = ("actPositionAdded", "actPositionChanged", "actAccountChanged",
                   "actAccountsReloaded", -1)
SYMBOLS = ("F.US.EPZ4", "EPZ4", "ENQZ4", "F.US.ZZZ", "")


class CelbridgeTarget(Target):
    name = "celbridge"

    def __init__(self, native=None, twin=None):
        from velmor_trader.gateways.cqg.simulator import install_win32com
        install_win32com()
        if native is None:
            native = importlib.import_module("velmor_trader.gateways.cqg.wrapper.celbridge")
        super().__init__(native, twin if twin is not None else load_twin("celbridge"))

    def generate(self, rng):
        steps = []
        for _ in range(rng.randint(1, 6)):
            kind = rng.choice(("quotes", "quotes", "order", "order", "connection", "data",
                               "account", "error", "order_id"))
            if kind == "quotes":
                quotes = [(rng.choice(QUOTES), rng.choice(PRICES), rng.random() < 0.85)
                          for _ in range(rng.randint(0, 3))]
                steps.append(("quotes", rng.choice(SYMBOLS), quotes))
            elif kind == "order":
                steps.append(("order", rng.choice(CHANGES), rng.choice(("G-1", "G-2")),
                              rng.choice(STATUSES), rng.choice(FILLS), rng.random() < 0.1))
            elif kind == "connection":
                steps.append(("connection", rng.choice(STATES)))
            elif kind == "data":
                steps.append(("data", rng.choice(STATES)))
            elif kind == "account":
                steps.append(("account", rng.choice(ACCOUNT_CHANGES), rng.choice(SYMBOLS),
                              rng.choice((2, -2, 0, 2.5)), rng.choice((5950.25, 0.0, None))))
            elif kind == "error":
                steps.append(("error", rng.choice((None, 42)), rng.choice(("bad feed", ""))))
            else:
                steps.append(("order_id", rng.choice((None, "G-1", "G-2"))))
        return steps

    def step(self, h, step):
        K = h.K
        kind = step[0]
        if kind == "quotes":
            _, symbol, quotes = step
            h.call("OnInstrumentChanged", h.com("instrument", FullName=symbol),
                   [h.quote(q, p, v) for q, p, v in quotes], None)
        elif kind == "order":
            _, change, guid, status, fill, error = step
            order = h.order_event(guid, status)
            h.call("OnOrderChanged", K.get(change, change), order, None,
                   h.fill(order, fill) if fill else None, h.com("error") if error else None)
        elif kind == "connection":
            h.call("OnGWConnectionStatusChanged", K.get(step[1], step[1]))
            h.log.append((h.client.eventGatewayIsUp.is_set(), h.client.eventGatewayIsDown.is_set()))
        elif kind == "data":
            h.call("OnDataConnectionStatusChanged", K.get(step[1], step[1]))
        elif kind == "account":
            _, change, symbol, quantity, price = step
            position = h.com("p", InstrumentName=symbol, AveragePrice=price, Quantity=quantity,
                             OTE=12.5, ProfitLoss=-3.0)
            h.call("OnAccountChanged", K.get(change, change), h.com("a", GWAccountName="A"), position)
            h.log.append(h.client.eventAccountIsReady.is_set())
        elif kind == "error":
            error = None if step[1] is None else h.com("error", Code=step[1], Description=step[2])
            h.call("OnDataError", error, "ignored")
        else:
            h.client.order_id = step[1]

    def run(self, impl, case):
        h = Harness(impl, timeout=0.0)
        try:
            for step in case:
                self.step(h, step)
        finally:
            h.close()
        return h.log

    def signature(self, case, native, twin):
        for a, b in zip(native, twin):
            if a != b:
                return (self.name, a[0] if isinstance(a, tuple) else type(a).__name__,
                        b[0] if isinstance(b, tuple) else type(b).__name__)
        return (self.name, "length")
