"""The framework side of the CQG broker client.

``CqgGateway`` is the object handed to ``CelBridge.Init``: it carries the API
environment, maps CQG symbols to the framework's ``Security`` records and
back, keeps the latest quote and order book of every security, and receives
the client's market data, order updates and deals, passing each to the
callbacks registered for it.  A user's own gateway usually starts from it::

    environment = CELEnvironment()
    bridge = CelBridge()
    environment.Init(bridge)
    gateway = CqgGateway([Futures("EPZ4", "E-mini S&P 500")], environment)
    bridge.Init(gateway)
    gateway.on_quote(print)

The client calls ``process_*`` on the API's event thread; callbacks run
there too and must not block it (a callback that waits for another event of
the API would wait forever).
"""
import logging
import threading

from velmor_trader.gateways.base_gateway import BaseGateway

logger = logging.getLogger(__name__)


class CqgGateway(BaseGateway):
    """Symbol mapping, market-data caches and event callbacks for one client.

    ``securities`` lists the instruments the engine trades; ``symbols``
    optionally maps a security to its CQG symbol (by default its ``code``).
    A CQG full name such as "F.US.EPZ4" resolves through its last part.
    """

    def __init__(self, securities, celEnvironment=None, symbols=None, gateway_name="CQG"):
        super().__init__(securities, gateway_name)
        self.celEnvironment = celEnvironment
        symbols = dict(symbols or {})
        self._symbol_of = {}
        self._security_of = {}
        for security in self.securities:
            symbol = symbols.get(security, security.code)
            self._symbol_of[security] = symbol
            self._security_of[symbol] = security
        # One entry per security, None until its first record arrives.
        self.cqg_quotes = {security: None for security in self.securities}
        self.cqg_orderbooks = {security: None for security in self.securities}
        self.orders = {}            # order id -> latest order-update dict
        self.deals = {}             # deal id -> deal dict, in arrival order
        self._lock = threading.Lock()
        self._callbacks = {"quote": [], "orderbook": [], "order": [], "deal": []}

    # -- symbol mapping ------------------------------------------------------
    def get_vl_security_from_cqg_symbol(self, cqg_symbol):
        security = self._security_of.get(cqg_symbol)
        if security is None and isinstance(cqg_symbol, str):
            security = self._security_of.get(cqg_symbol.rsplit(".", 1)[-1])
        return security

    def get_cqg_symbol_from_vl_security(self, security):
        return self._symbol_of[security]

    # -- callbacks -----------------------------------------------------------
    def on_quote(self, callback):
        self._register("quote", callback)

    def on_orderbook(self, callback):
        self._register("orderbook", callback)

    def on_order(self, callback):
        self._register("order", callback)

    def on_deal(self, callback):
        self._register("deal", callback)

    def _register(self, kind, callback):
        with self._lock:
            self._callbacks[kind] = self._callbacks[kind] + [callback]

    def _notify(self, kind, record):
        # A failing callback must not stop the client's event handling, nor
        # keep the other callbacks from their record.
        for callback in self._callbacks[kind]:
            try:
                callback(record)
            except Exception:
                logger.exception("%s callback failed", kind)

    # -- what the client calls -----------------------------------------------
    def process_quote(self, quote):
        self._notify("quote", quote)

    def process_orderbook(self, orderbook):
        self._notify("orderbook", orderbook)

    def process_order(self, content):
        with self._lock:
            self.orders[content["order_id"]] = content
        self._notify("order", content)

    def process_deal(self, content):
        with self._lock:
            self.deals[content["deal_id"]] = content
        self._notify("deal", content)
