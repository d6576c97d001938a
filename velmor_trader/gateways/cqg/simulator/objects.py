"""Plain API objects: collections, errors, instruments and quotes, ticks and
timed bars, with the member names the real server's objects carry."""
from .constants import constants as C
from .market import INVALID


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
        self._server._set_subscription_level(self, level)

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
    def __init__(self, request, ticks_id):
        super().__init__([])
        self.Request = request
        self.Id = ticks_id
        self.full_name = None
        self.streaming = False


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


class TimedBar:
    """View of one bar; the newest bar keeps changing while it is current."""

    def __init__(self, bar, outputs):
        self._bar = bar
        self._outputs = outputs

    Timestamp = property(lambda self: self._bar.start)
    Open = property(lambda self: self._bar.open)
    High = property(lambda self: self._bar.high)
    Low = property(lambda self: self._bar.low)
    Close = property(lambda self: self._bar.close)
    ActualVolume = property(lambda self: self._bar.volume)
    ActualVolumeFractional = ActualVolume
    TickVolume = property(lambda self: self._bar.ticks)

    def _optional(self, output):
        if output in self._outputs and self._bar.volume != INVALID:
            return self._bar.volume
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
