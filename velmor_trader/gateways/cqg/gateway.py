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

What the client does not pass on, the gateway reads from the API itself: the
gateway connection's ups and downs (``watch_connection``), the requests the
broker refused (``watch_orders``: the client drops every order event that
carries an error object, so a refused cancel would otherwise go unheard), and
the broker's
own record of an order and its fills (``broker_order``, ``broker_orders``),
for orders the engine never got an id for and for catching up after a lost
connection.
"""
import logging
import threading
from datetime import datetime

from velmor_trader.core.constants import Direction, OrderType
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
        self._callbacks = {"quote": [], "orderbook": [], "order": [], "deal": [],
                           "connection": [], "refusal": []}

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

    def on_connection(self, callback):
        """``callback("up" | "down")`` on each change of the gateway
        connection, once ``watch_connection`` was called."""
        self._register("connection", callback)

    def on_refusal(self, callback):
        """``callback({"order_id", "status", "error"})`` for each order event
        that carries an error object, once ``watch_orders`` was called."""
        self._register("refusal", callback)

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

    # -- what the client does not pass on ------------------------------------
    def watch_connection(self, client):
        """Hear the gateway connection's changes that reach ``client`` (the
        API's event sink), after the client's own handler has run."""
        handler = client.OnGWConnectionStatusChanged

        def changed(status):
            try:
                handler(status)
            finally:
                constants = _constants()
                state = {constants.csConnectionUp: "up",
                         constants.csConnectionDown: "down"}.get(status)
                if state is not None:
                    self._notify("connection", state)
        client.OnGWConnectionStatusChanged = changed

    def watch_orders(self, client):
        """Hear the order events with an error object that reach ``client``
        (which ignores them), after the client's own handler has run."""
        handler = client.OnOrderChanged

        def changed(change, order, old, fill, error):
            try:
                handler(change, order, old, fill, error)
            finally:
                if error is not None:
                    self._refused(order, error)
        client.OnOrderChanged = changed

    def _refused(self, cqg_order, error):
        from velmor_trader.gateways.cqg.wrapper.celbridge import convert_orderstatus_cqg2vl
        constants = _constants()
        try:
            properties = cqg_order.Properties
            order_id = properties(constants.opGUID).Value
            status = convert_orderstatus_cqg2vl(properties(constants.opGWStatus).Value)
        except Exception:
            logger.exception("an order event with an error object could not be read")
            return
        self._notify("refusal", dict(order_id=order_id, status=status,
                                     error=str(getattr(error, "Description", error))))

    def broker_order(self, order_id):
        """The broker's record of one order (see ``broker_orders``), or None
        when the broker does not know it."""
        cqg_order = self.celEnvironment.cqgCEL.Orders.ItemByGuid(order_id)
        return None if cqg_order is None else self._describe(cqg_order)

    def broker_orders(self):
        """The broker's record of every order of this session: dicts with
        the keys of an order update (order_id, updated_time, filled_avg_price,
        filled_quantity, status) and security (None when no instrument of
        ours), direction, quantity, order_type, price, stop_price, and fills:
        the order's normal fills as deal dicts, oldest first."""
        return [self._describe(cqg_order) for cqg_order in self.celEnvironment.cqgCEL.Orders]

    def _describe(self, cqg_order):
        from velmor_trader.gateways.cqg.wrapper.celbridge import convert_orderstatus_cqg2vl
        constants = _constants()
        guid = cqg_order.GUID
        order_type = {constants.otMarket: OrderType.MARKET, constants.otLimit: OrderType.LIMIT,
                      constants.otStop: OrderType.STOP}.get(cqg_order.Type)
        limit, stop = cqg_order.LimitPrice, cqg_order.StopPrice
        fills = [dict(deal_id=fill.Id, order_id=guid, updated_time=_time(fill.Timestamp),
                      filled_avg_price=fill.Price, filled_quantity=fill.Quantity)
                 for fill in cqg_order.Fills if fill.Status == constants.fsNormal]
        return dict(
            order_id=guid, status=convert_orderstatus_cqg2vl(cqg_order.GWStatus),
            updated_time=_time(cqg_order.EventTimestamp),
            filled_avg_price=cqg_order.AveragePrice, filled_quantity=cqg_order.FilledQuantity,
            security=self.get_vl_security_from_cqg_symbol(
                getattr(cqg_order.Instrument, "FullName", None)),
            direction=Direction.LONG if cqg_order.Side == constants.osdBuy else Direction.SHORT,
            quantity=cqg_order.Quantity, order_type=order_type,
            price=stop if order_type == OrderType.STOP else limit if order_type == OrderType.LIMIT
            else 0.0,
            stop_price=stop if order_type == OrderType.STOP else None, fills=fills)


def _constants():
    import win32com.client
    return win32com.client.constants


def _time(stamp):
    # As the client stamps its updates: to the second, without a time zone.
    if stamp is None:
        return None
    return datetime(stamp.year, stamp.month, stamp.day, stamp.hour, stamp.minute, stamp.second)
