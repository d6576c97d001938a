"""Orders, fills and the matching engine.

Market orders fill at once against the book, walking it level by level (each
level offers the size shown at the top), so a large order fills partially
several times. Limit orders fill up to the limit and rest with what is left;
a resting limit fills when the market crosses it. Stop orders rest until a
trade reaches the stop, then fill as market orders. Every change is reported
as the real server does: added (in transit), changed (in order book), changed
with each fill, and cancelled or rejected.
"""
from .constants import constants as C
from .objects import Collection, Snapshot

MAX_QUANTITY = 10000
SNAPSHOT_FIELDS = ("Properties", "GWStatus", "FilledQuantity", "AveragePrice",
                   "EventTimestamp", "Fills")


class Property:
    def __init__(self, value):
        self.Value = value


class Properties:
    """Callable property collection: ``Properties(opGUID).Value``."""

    def __init__(self, values):
        self._values = values

    def __call__(self, which):
        return Property(self._values[which])

    Item = __call__

    @property
    def Count(self):
        return len(self._values)


class Fill:
    def __init__(self, fill_id, order, price, quantity, timestamp,
                 status=C.fsNormal):
        self.Id = fill_id
        self.Order = order
        self.Price = price
        self.Quantity = quantity
        self.Timestamp = timestamp
        self.Status = status
        self.Side = order.Side


class Order:
    def __init__(self, engine, guid, order_type, instrument, account, quantity,
                 side, limit_price, stop_price):
        self._engine = engine
        self.GUID = guid
        self.Type = order_type
        self.Instrument = instrument
        self.Account = account
        if isinstance(quantity, float) and quantity.is_integer():
            quantity = int(quantity)       # as COM converts a whole number
        self.Quantity = quantity
        self.Side = side
        self.LimitPrice = limit_price
        self.StopPrice = stop_price
        self.Manual = 1
        self.GWStatus = C.osNotSent
        self.FilledQuantity = 0
        self.AveragePrice = 0.0
        self.EventTimestamp = None
        self.triggered = False
        self._fills = []

    @property
    def Fills(self):
        return Collection(list(self._fills))

    def _values(self):
        instrument = self.Instrument
        return {
            C.opGWStatus: self.GWStatus,
            C.opGUID: self.GUID,
            C.opEventServerTimestamp: self.EventTimestamp,
            C.opAverageFillPrice: self.AveragePrice,
            C.opFilledQuantity: self.FilledQuantity,
            C.opOrderType: self.Type,
            C.opSide: self.Side,
            C.opQuantity: self.Quantity,
            C.opLimitPrice: self.LimitPrice,
            C.opStopPrice: self.StopPrice,
            C.opInstrumentName: getattr(instrument, "FullName", None),
            C.opGWAccountID: getattr(self.Account, "GWAccountID", None),
        }

    @property
    def Properties(self):
        return Properties(self._values())

    @property
    def remaining(self):
        return self.Quantity - self.FilledQuantity

    def Place(self):
        self._engine.server.post_order_job(self._engine.place, self)

    def Cancel(self):
        self._engine.server.post_order_job(self._engine.cancel, self)


class MatchingEngine:
    def __init__(self, server):
        self.server = server
        self.orders = []          # every placed order, in placing order
        self.resting = []
        self._fill_count = 0

    # -- events --------------------------------------------------------------
    def _change(self, order, change, status=None, fill=None, error=None):
        old = Properties(order._values())
        if status is not None:
            order.GWStatus = status
        order.EventTimestamp = self.server.clock.now()
        if not self.server.connected:
            return                                   # lost with the connection
        self.server.loop.emit("OnOrderChanged", change,
                              Snapshot(order, SNAPSHOT_FIELDS), old, fill, error)

    def _reject(self, order, reason, error=None):
        self.server.rejections.append((order.GUID, reason))
        self._change(order, C.ctChanged, C.osRejectGW, error=error)

    # -- requests (jobs on the event thread) ---------------------------------
    def place(self, order, error=None):
        if order in self.orders:
            return                                   # placed once only
        self.orders.append(order)
        self._change(order, C.ctAdded, C.osInTransit, error=error)
        reason = self._check(order)
        if error is not None:
            reason = error.Description
        if reason is not None:
            self._reject(order, reason, error)
            return
        self._change(order, C.ctChanged, C.osInOrderBook)
        book = order.Instrument._book
        if order.Type == C.otMarket:
            self._sweep(order, book, None)
        elif order.Type == C.otLimit:
            self._sweep(order, book, order.LimitPrice)
        if order.GWStatus == C.osInOrderBook:
            self.resting.append(order)

    def _check(self, order):
        server = self.server
        if not server.logged_on or not server.connected:
            return "Not connected to the gateway"
        if order.Account not in server.accounts:
            return "Unknown account"
        if order.Instrument not in server.all_instruments():
            return "Unknown instrument"
        quantity = order.Quantity
        if (isinstance(quantity, bool) or not isinstance(quantity, int)
                or not 0 < quantity <= MAX_QUANTITY):
            return "Invalid quantity"
        lot = order.Instrument._book.contract.lot_size
        if quantity % lot:
            return "Quantity is not a whole number of board lots (%d)" % lot
        if order.Side not in (C.osdBuy, C.osdSell):
            return "Invalid side"
        if order.Type not in (C.otMarket, C.otLimit, C.otStop):
            return "Unsupported order type"
        if order.Type == C.otLimit and not _positive(order.LimitPrice):
            return "Limit price required"
        if order.Type == C.otStop and not _positive(order.StopPrice):
            return "Stop price required"
        return None

    def cancel(self, order, error=None):
        if (order.GWStatus != C.osInOrderBook or order not in self.orders
                or not self.server.connected):       # a request lost on the way
            return
        self._change(order, C.ctChanged, C.osInCancel, error=error)
        if error is not None:
            self._change(order, C.ctChanged, C.osInOrderBook, error=error)
            return
        self._change(order, C.ctChanged, C.osCanceled)
        self.resting.remove(order)

    # -- changes the market does not make ------------------------------------
    def order(self, guid):
        for order in self.orders:
            if order.GUID == guid:
                return order
        raise KeyError(guid)

    def set_status(self, order, status, change):
        if order in self.resting and status not in (None, C.osInOrderBook):
            self.resting.remove(order)
        self._change(order, change, status)

    def resend_fill(self, order):
        self._change(order, C.ctChanged, fill=order._fills[-1])

    def amend_fill(self, order, status):
        last = order._fills[-1]
        fill = Fill(last.Id, order, last.Price, last.Quantity, self.server.clock.now(), status)
        self._change(order, C.ctChanged,
                     C.osBusted if status == C.fsBusted else None, fill=fill)

    # -- matching -------------------------------------------------------------
    def on_market(self, book, trade):
        """Match the resting orders of one contract after a market step."""
        for order in list(self.resting):
            if order.Instrument._book is not book:
                continue
            if order.Type == C.otStop and not order.triggered:
                if trade is None or not _stop_reached(order, trade[0]):
                    continue
                order.triggered = True
            if order.Type == C.otLimit:
                self._fill_resting_limit(order, book)
            else:
                self._sweep(order, book, None)
            if order.GWStatus != C.osInOrderBook:
                self.resting.remove(order)

    def _sweep(self, order, book, limit):
        """Take liquidity level by level, not beyond ``limit``."""
        buy = order.Side == C.osdBuy
        price = book.ask if buy else book.bid
        size = book.ask_size if buy else book.bid_size
        step = book.contract.tick_size if buy else -book.contract.tick_size
        lot = book.contract.lot_size
        while order.remaining > 0:
            if limit is not None and (price > limit if buy else price < limit):
                break
            quantity = _lots(min(size, order.remaining), lot)
            if not quantity:
                break
            self._fill(order, quantity, price)
            price = book.round(price + step)

    def _fill_resting_limit(self, order, book):
        buy = order.Side == C.osdBuy
        lot = book.contract.lot_size
        if buy and book.ask <= order.LimitPrice:
            size = book.ask_size
        elif not buy and book.bid >= order.LimitPrice:
            size = book.bid_size
        else:
            return
        quantity = _lots(min(size, order.remaining), lot)
        if quantity:
            self._fill(order, quantity, order.LimitPrice)

    def _fill(self, order, quantity, price):
        self._fill_count += 1
        now = self.server.clock.now()
        fill = Fill("F%d" % self._fill_count,
                    order, price, quantity, now)
        total = order.FilledQuantity + quantity
        order.AveragePrice = (order.AveragePrice * order.FilledQuantity
                              + price * quantity) / total
        order.FilledQuantity = total
        order._fills.append(fill)
        status = C.osFilled if order.remaining == 0 else C.osInOrderBook
        self._change(order, C.ctChanged, status, fill=fill)
        signed = quantity if order.Side == C.osdBuy else -quantity
        self.server.position_filled(order.Account, order.Instrument._book,
                                    signed, price)


def _lots(quantity, lot):
    """``quantity`` down to whole lots."""
    return quantity - quantity % lot


def _positive(value):
    return isinstance(value, (int, float)) and value > 0


def _stop_reached(order, price):
    if order.Side == C.osdBuy:
        return price >= order.StopPrice
    return price <= order.StopPrice

