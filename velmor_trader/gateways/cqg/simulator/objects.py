"""Plain API objects: collections, errors, instruments and quotes, ticks and
timed bars, with the member names the real server's objects carry."""
from collections import deque

from .constants import constants as C
from .market import INVALID

MAX_TICKS = 1000               # ticks a ticks collection keeps, newest last


class Collection:
    """A read-only, indexable collection (a snapshot or a live list)."""

    def __init__(self, items):
        self._items = items

    @property
    def Count(self):
        return len(self._items)

    def Item(self, index):
        return self._items[index]

    ItemByIndex = Item

    def __iter__(self):
        return iter(list(self._items))

    def __len__(self):
        return len(self._items)

    def __getitem__(self, index):
        return self._items[index]


class CQGError:
    """The error object events carry: ``Code`` and ``Description``."""

    def __init__(self, code, description):
        self.Code = code
        self.Description = description

    def __repr__(self):
        return "CQGError(%r, %r)" % (self.Code, self.Description)


class Quote:
    """One quote of an instrument, frozen at the moment it was sent."""

    def __init__(self, type_, price, volume, timestamp, valid=True):
        self.Type = type_
        self.Price = price
        self.Volume = volume
        self.ServerTimestamp = timestamp
        self.IsValid = valid

    @property
    def price(self):            # COM names are case-insensitive
        return self.Price


class Instrument:
    def __init__(self, server, book):
        self._server = server
        self._book = book
        self.FullName = book.contract.full_name
        self.TickSize = book.contract.tick_size
        self._level = C.dsNone
        self._quotes = {}

    @property
    def DataSubscriptionLevel(self):
        return self._level

    @DataSubscriptionLevel.setter
    def DataSubscriptionLevel(self, level):
        self._server.set_subscription_level(self, level)

    @property
    def Quotes(self):
        return Collection(list(self._quotes.values()))

    @property
    def Bid(self):
        return self._quotes.get(C.qtBid)

    @property
    def Ask(self):
        return self._quotes.get(C.qtAsk)

    @property
    def Trade(self):
        return self._quotes.get(C.qtTrade)

    def _update(self, quotes):
        for quote in quotes:
            self._quotes[quote.Type] = quote
        return Collection(list(quotes))


class TicksRequest:
    def __init__(self):
        self.Symbol = ""
        self.Type = C.trtCurrentNotify
        self.TickFilter = C.tfAll
        self.SessionsFilter = 31
        self.Limit = 100


class Tick:
    def __init__(self, price_type, price, volume, timestamp):
        self.PriceType = price_type
        self.Price = price
        self.Volume = volume
        self.Timestamp = timestamp


class Ticks(Collection):
    """The ticks of one request. Only the newest ``history`` ticks are kept,
    so a collection streaming all day stays the same size; ``Count`` and
    ``Item`` see what is kept (index 0 the oldest kept)."""

    def __init__(self, request, ticks_id, history=MAX_TICKS):
        super().__init__(deque(maxlen=history))
        self.Request = request
        self.Id = ticks_id
        self.full_name = None
        self.streaming = False

    def __bool__(self):         # a COM object is true, even when empty
        return True

    def _bound(self, history):
        self._items = deque(self._items, maxlen=history)

    def _add(self, ticks):
        """Append ``ticks``; returns how many of them the collection holds."""
        self._items.extend(ticks)
        return min(len(ticks), len(self._items))


class TimedBarsRequest:
    def __init__(self):
        self.Symbol = ""
        self.RangeStart = 0
        self.RangeEnd = -10
        self.HistoricalPeriod = None
        self.IntradayPeriod = None
        self.DailyBarClose = C.dbcLastQuoteOrSettlement
        self.UpdatesEnabled = False
        self.SessionsFilter = "all"
        self.outputs = set()

    def IncludeOutput(self, output, include):
        if include:
            self.outputs.add(output)
        else:
            self.outputs.discard(output)


def _bar_value(name):
    return property(lambda self: INVALID if name in self._missing
                    else getattr(self._bar, name))


class TimedBar:
    """View of one bar; the newest bar keeps changing while it is current.
    The fields in ``missing`` read as INVALID whatever the bar holds."""

    def __init__(self, bar, outputs, missing=frozenset()):
        self._bar = bar
        self._outputs = outputs
        self._missing = missing

    Timestamp = property(lambda self: self._bar.start)
    Open = _bar_value("open")
    High = _bar_value("high")
    Low = _bar_value("low")
    Close = _bar_value("close")
    ActualVolume = _bar_value("volume")
    ActualVolumeFractional = ActualVolume
    TickVolume = property(lambda self: self._bar.ticks)

    def _optional(self, output):
        volume = self.ActualVolume
        if output in self._outputs and volume != INVALID:
            return volume
        return INVALID

    ContractVolume = property(lambda self: self._optional(C.tbrContractVolume))
    CommodityVolume = property(
        lambda self: self._optional(C.tbrCommodityVolume))
    ContractVolumeFractional = ContractVolume
    CommodityVolumeFractional = CommodityVolume


class TimedBars(Collection):
    def __init__(self, request, bars_id):
        super().__init__([])
        self.Request = request
        self.Id = bars_id
        self.full_name = None
        self.daily = False
        self.streaming = False
        self.live_missing = frozenset()   # fields missing in bars added later

    def __bool__(self):         # a COM object is true, even when empty
        return True


class Snapshot:
    """An object as it stood when an event was sent.

    Events are delivered after the step that caused them, by which time the
    live object may have changed again; the snapshot keeps the event's values
    of ``fields`` and passes every other member to the live object.
    """

    def __init__(self, live, fields):
        self._live = live
        self._frozen = {name: getattr(live, name) for name in fields}

    def __getattr__(self, name):
        frozen = self.__dict__["_frozen"]
        if name in frozen:
            return frozen[name]
        return getattr(self.__dict__["_live"], name)
