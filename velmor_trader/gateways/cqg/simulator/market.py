"""The simulated market: contracts, a seeded random walk of the top of book
and trades, and the bar histories behind timed-bar requests.

Each contract draws from its own random generator, seeded from the
simulator's seed and the contract's name, so what one contract does never
depends on which others are watched.
"""
import datetime as _dt
import random
from dataclasses import dataclass, field
from typing import Optional

INVALID = -2147483648          # what the server puts where it has no data

MINUTE = _dt.timedelta(minutes=1)
DAY = _dt.timedelta(days=1)

BAR_FIELDS = ("open", "high", "low", "close", "volume")
WHERE_MISSING = ("all", "oldest", "newest", "live")


@dataclass(frozen=True)
class Contract:
    full_name: str             # e.g. "F.US.EPZ4"; the last part is the symbol
    price: float               # opening price of the simulation
    tick_size: float
    multiplier: float          # currency per point
    margin: float              # initial margin per contract
    maintenance: float         # maintenance margin per contract
    # The exchange's board lot: every order, fill and shown size is a whole
    # number of lots (a Hong Kong stock trades in lots of 100 or more shares).
    lot_size: int = 1

    @property
    def symbol(self):
        return self.full_name.rsplit(".", 1)[-1]


DEFAULT_CONTRACTS = (
    Contract("F.US.EPZ4", 5950.00, 0.25, 50.0, 15000.0, 13500.0),
    Contract("F.US.ENQZ4", 20800.00, 0.25, 20.0, 26000.0, 23500.0),
    Contract("F.US.CLEF5", 69.50, 0.01, 1000.0, 6500.0, 5900.0),
    Contract("F.US.GCEG5", 2745.0, 0.1, 100.0, 11000.0, 10000.0),
    # Stocks: a quantity is a number of shares, fully paid for (the margin of
    # a share is its opening price), traded in board lots.
    Contract("S.HK.00700", 380.20, 0.20, 1.0, 380.20, 380.20, lot_size=100),
    Contract("S.HK.09988", 84.50, 0.05, 1.0, 84.50, 84.50, lot_size=100),
)


@dataclass
class Bar:
    start: _dt.datetime
    open: float
    high: float
    low: float
    close: float
    volume: int
    ticks: int

    def add_trade(self, price, volume):
        if self.open == INVALID:
            self.open = self.high = self.low = price
            self.volume = self.ticks = 0
        self.high = max(self.high, price)
        self.low = min(self.low, price)
        self.close = price
        self.volume += volume
        self.ticks += 1


def period_start(when, daily):
    if daily:
        return _dt.datetime(when.year, when.month, when.day)
    return when.replace(second=0, microsecond=0)


def previous_period(start, daily):
    if not daily:
        return start - MINUTE
    start -= DAY
    while start.weekday() >= 5:           # no daily bars at weekends
        start -= DAY
    return start


@dataclass(frozen=True)
class MissingValues:
    """Bar fields a contract reports as missing on purpose.

    ``bars`` says which bars: "all" (every finished bar of a history),
    "oldest" or "newest" (the first or the last finished bar of a history),
    "live" (the bar that is current when the history is sent and every bar
    that starts after it). ``daily`` None means both periods.
    """
    full_name: str
    fields: frozenset
    bars: str
    daily: Optional[bool] = None

    def applies(self, full_name, daily):
        return self.full_name == full_name and self.daily in (None, daily)


@dataclass
class Book:
    """State of one contract: top of book, last trade, today's figures."""
    contract: Contract
    rng: random.Random
    bid: float
    ask: float
    bid_size: int
    ask_size: int
    last: float
    last_size: int
    day_open: float
    day_high: float
    day_low: float
    prev_settlement: float
    bars: dict = field(default_factory=dict)   # daily? -> current Bar
    # Draws for what the tape shows beyond the walk (emptied levels), kept
    # apart so that switching them on leaves the walk itself unchanged.
    tape_rng: random.Random = None

    def round(self, price):
        ticks = round(price / self.contract.tick_size)
        return round(ticks * self.contract.tick_size, 10)


class Market:
    def __init__(self, seed, contracts=DEFAULT_CONTRACTS):
        self.seed = seed
        self.books = {}
        self.missing = []          # MissingValues rules, in the order added
        for contract in contracts:
            self.add_contract(contract)

    def add_contract(self, contract):
        rng = random.Random("%s:%s" % (self.seed, contract.full_name))
        tick, lot = contract.tick_size, contract.lot_size
        price = contract.price
        book = Book(contract, rng, bid=price - tick, ask=price,
                    bid_size=rng.randint(1, 40) * lot, ask_size=rng.randint(1, 40) * lot,
                    last=price, last_size=1, day_open=price, day_high=price,
                    day_low=price,
                    prev_settlement=price - tick * rng.randint(-40, 40))
        book.prev_settlement = book.round(book.prev_settlement)
        book.tape_rng = random.Random("%s:%s:tape" % (self.seed, contract.full_name))
        self.books[contract.full_name] = book
        return book

    def resolve(self, symbol):
        """The full name for a symbol: a full name, its last part, or the
        commodity root of a contract (the first listed)."""
        if symbol in self.books:
            return symbol
        for name, book in self.books.items():
            if symbol == book.contract.symbol:
                return name
        for name, book in self.books.items():
            root = book.contract.symbol[:-2]
            if symbol and symbol == root:
                return name
        return None

    def add_missing(self, full_name, fields, bars="all", daily=None):
        fields = frozenset(fields)
        unknown = fields - set(BAR_FIELDS)
        if unknown or not fields:
            raise ValueError("bar fields are %s, not %r"
                             % (", ".join(BAR_FIELDS), sorted(unknown)))
        if bars not in WHERE_MISSING:
            raise ValueError("bars is one of %s, not %r"
                             % (", ".join(WHERE_MISSING), bars))
        self.missing.append(MissingValues(full_name, fields, bars, daily))

    def missing_in_history(self, full_name, daily, count):
        """The fields reported missing for each of ``count`` finished bars
        (oldest first) of a history, and for the live bars after them."""
        finished = [set() for _ in range(count)]
        live = set()
        for rule in self.missing:
            if not rule.applies(full_name, daily):
                continue
            if rule.bars == "live":
                live |= rule.fields
            elif rule.bars == "all":
                for fields in finished:
                    fields |= rule.fields
            elif count:
                finished[0 if rule.bars == "oldest" else -1] |= rule.fields
        return [frozenset(f) for f in finished], frozenset(live)

    def shown_size(self, book, size, empty_chance):
        """The size a bid or ask tick shows: now and then 0, a level emptied
        for a moment (the matching engine still sees ``size``)."""
        if empty_chance and book.tape_rng.random() < empty_chance:
            return 0
        return size

    def step(self, book, when):
        """Move one contract's market by one step; returns the trade
        (price, volume) or None when no trade happened."""
        rng = book.rng
        tick, lot = book.contract.tick_size, book.contract.lot_size
        move = rng.choice((-1, 0, 0, 1))
        book.bid = book.round(book.bid + move * tick)
        book.ask = book.round(book.bid + tick)
        # Sizes and volumes in lots: the same draws whatever the lot size.
        book.bid_size = rng.randint(1, 40) * lot
        book.ask_size = rng.randint(1, 40) * lot
        if rng.random() < 0.3:
            return None
        price = book.ask if rng.random() < 0.5 else book.bid
        volume = rng.randint(1, 10) * lot
        self.record_trade(book, price, volume, when)
        return price, volume

    def record_trade(self, book, price, volume, when):
        book.last, book.last_size = price, volume
        book.day_high = max(book.day_high, price)
        book.day_low = min(book.day_low, price)
        for daily in (False, True):
            self.current_bar(book, when, daily).add_trade(price, volume)

    def current_bar(self, book, when, daily):
        start = period_start(when, daily)
        bar = book.bars.get(daily)
        if bar is None or bar.start != start:
            bar = Bar(start, INVALID, INVALID, INVALID, INVALID, 0, 0)
            book.bars[daily] = bar
        return bar

    def history(self, book, start, count, daily):
        """``count`` finished bars before the period ``start`` (oldest first)
        followed by the current bar of that period.

        History walks backwards from the current price with a generator seeded
        from the contract and the period, so it is the same on every request.
        Minute bars without trades carry INVALID prices and volume.
        """
        current = self.current_bar(book, start, daily)
        bars = []
        close = book.last
        stamp = start
        rng = random.Random("%s:%s:%s:%s" % (self.seed, book.contract.full_name,
                                             daily, start.isoformat()))
        span = 40 if daily else 4
        for _ in range(count):
            stamp = previous_period(stamp, daily)
            if not daily and rng.random() < 0.05:
                bars.append(Bar(stamp, INVALID, INVALID, INVALID, INVALID,
                                INVALID, 0))
                continue
            open_ = book.round(close + book.contract.tick_size
                               * rng.randint(-span, span))
            high = max(open_, close) + book.contract.tick_size * rng.randint(0, span)
            low = min(open_, close) - book.contract.tick_size * rng.randint(0, span)
            volume = rng.randint(50, 5000) * (200 if daily else 1)
            bars.append(Bar(stamp, open_, book.round(high), book.round(low),
                            close, volume, max(1, volume // 3)))
            close = open_
        bars.reverse()
        bars.append(current)
        return bars
