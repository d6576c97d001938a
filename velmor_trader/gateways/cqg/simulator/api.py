"""The API root object the client talks to."""
from .objects import (Collection, Ticks, TicksRequest, TimedBars,
                      TimedBarsRequest)
from .orders import Order


class CQGCEL:
    """The API root object."""

    def __init__(self, simulator):
        self._sim = simulator

    # connection
    def GWLogon(self, user, password):
        self._sim.answer("logon",
                         lambda error: self._sim.logon(user, password, error))

    def GWLogoff(self):
        self._sim.answer("logoff", self._sim.logoff)

    # instruments
    def NewInstrument(self, symbol):
        self._sim.answer("instrument", lambda error:
                         self._sim.resolve_instrument(symbol, error))

    def RemoveInstrument(self, instrument):
        self._sim.remove_instrument(instrument)

    @property
    def Instruments(self):
        with self._sim.lock:
            return Collection(list(self._sim.subscribed))

    # ticks
    def CreateTicksRequest(self):
        return TicksRequest()

    def RequestTicks(self, request):
        ticks = Ticks(request, self._sim.new_guid())
        self._sim.answer("ticks",
                         lambda error: self._sim.resolve_ticks(ticks, error))
        return ticks

    def RemoveTicks(self, ticks):
        with self._sim.lock:
            if ticks in self._sim.ticks:
                self._sim.ticks.remove(ticks)

    @property
    def AllTicks(self):
        with self._sim.lock:
            return Collection(list(self._sim.ticks))

    # timed bars
    def CreateTimedBarsRequest(self):
        return TimedBarsRequest()

    def RequestTimedBars(self, request):
        bars = TimedBars(request, self._sim.new_guid())
        self._sim.answer("bars",
                         lambda error: self._sim.resolve_bars(bars, error))
        return bars

    def RemoveTimedBars(self, bars):
        with self._sim.lock:
            if bars in self._sim.timed_bars:
                self._sim.timed_bars.remove(bars)

    @property
    def AllTimedBars(self):
        with self._sim.lock:
            return Collection(list(self._sim.timed_bars))

    # orders
    def CreateOrder(self, order_type, instrument, account, quantity, side,
                    limit_price=0.0, stop_price=0.0):
        return Order(self._sim.engine, self._sim.new_guid(), order_type,
                     instrument, account, quantity, side, limit_price,
                     stop_price)

    @property
    def Orders(self):
        with self._sim.lock:
            return OrdersCollection(list(self._sim.engine.orders))

    # accounts
    @property
    def Accounts(self):
        with self._sim.lock:
            return Collection(list(self._sim.accounts)
                              if self._sim.logged_on else [])

    @property
    def AccountSubscriptionLevel(self):
        return self._sim.account_level

    @AccountSubscriptionLevel.setter
    def AccountSubscriptionLevel(self, level):
        self._sim.set_account_level(level)


class OrdersCollection(Collection):
    def ItemByGuid(self, guid):
        """The order with that GUID, or None."""
        for order in self._items:
            if order.GUID == guid:
                return order
        return None
