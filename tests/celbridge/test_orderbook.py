import dataclasses
from types import SimpleNamespace
from typing import ClassVar

import pytest

from velmor_trader.gateways.cqg.simulator import constants as C

from market_support import Collection, make_client


@pytest.fixture
def cl(impl, modules, monkeypatch):
    return make_client(modules[impl], monkeypatch)


def tick(kind, price, volume):
    return SimpleNamespace(PriceType=kind, Price=price, Volume=volume)


def test_subscription_sends_the_request_then_waits(cl):
    cl.bridge.subscribe_orderbook("EPZ4")
    sent = cl.log[8][1]
    assert sent.Symbol == "EPZ4" and cl.log == [
        ("CreateTicksRequest",),
        ("set", "Symbol", "EPZ4"), ("set", "Type", C.trtCurrentNotify),
        ("set", "TickFilter", C.tfAll), ("set", "SessionsFilter", 31), ("set", "Limit", 10),
        ("Trace", "Limit: 10"), ("clear", "orderbook"),
        ("RequestTicks", sent),
        ("Trace", "Waiting for eventOrderbookDone in subscribe_orderbook(EPZ4)..."),
        ("wait", "orderbook", 0.25), ("Trace", "eventOrderbookDone is done.")]


@pytest.mark.parametrize("error", [None, object()])
def test_any_answer_releases_the_subscription(cl, error):
    cl.bridge.OnTicksResolved(object(), error)
    assert cl.bridge.eventOrderbookDone.is_set()


@pytest.mark.parametrize("symbols, asked, found", [
    (["F.US.EPZ4X", "F.US.EPZ4", "EPZ4"], "EPZ4", 1),   # exact beats an earlier containing one
    (["F.US.EPZ4X", "EPZ4X"], "EPZ4", 0),               # else the first containing one
    (["CLEF5"], "EPZ4", None)])
def test_lookups_by_symbol_prefer_the_exact_symbol(cl, symbols, asked, found):
    for kind, collection in (("ticks", cl.api.AllTicks), ("timedbars", cl.api.AllTimedBars)):
        collection.extend(Collection(s) for s in symbols)
        got = getattr(cl.bridge, "get_%s_from_cqg_symbol" % kind)(asked)
        assert got is (None if found is None else collection[found])


@pytest.mark.parametrize("subscribed", [False, True])
def test_unsubscribe_removes_what_was_found(cl, subscribed):
    if subscribed:
        cl.api.AllTicks.append(Collection("F.US.EPZ4"))
    cl.bridge.unsubscribe_orderbook("EPZ4")
    assert cl.log == ([("RemoveTicks", cl.api.AllTicks[0]), ("clear", "orderbook"),
                       ("Trace", "Successfully unsubscribe orderbook for EPZ4")] if subscribed else [])


@pytest.mark.parametrize("call", ["subscribe_orderbook", "unsubscribe_orderbook",
                                  "get_ticks_from_cqg_symbol"])
def test_symbols_must_be_text(cl, call):
    with pytest.raises(TypeError):
        getattr(cl.bridge, call)(b"EPZ4")
    assert cl.log == []


@pytest.mark.parametrize("count, added, used", [(5, 2, [3, 4]), (3, 0, []), (3, 3, [0, 1, 2])])
def test_the_added_ticks_are_the_newest(cl, monkeypatch, count, added, used):
    ticks = Collection("EPZ4", [tick(C.tptBid, 100 + i, 1) for i in range(count)])
    cl.gateway.cqg_orderbooks[cl.security] = SimpleNamespace(ask_price_1=1, ask_volume_1=1)
    seen = []
    monkeypatch.setattr(cl.mod, "replace", lambda book, **kw: (
        seen.append(kw["bid_price_1"]), SimpleNamespace(**{**vars(book), **kw}))[1])
    cl.bridge.OnTicksAdded(ticks, added)
    assert seen == [100 + i for i in used] and len(cl.gateway.books) == len(used)


def test_the_book_goes_out_once_both_sides_have_price_and_volume(cl, monkeypatch):
    stamps = iter(range(100))
    monkeypatch.setattr(cl.mod, "datetime", SimpleNamespace(now=lambda: next(stamps)))
    events = [tick(C.tptBid, 99.5, 4), tick(C.tptAsk, 100.0, 0), tick(C.tptTrade, 99.75, 2),
              tick(C.tptAsk, 100.0, 7), tick(C.tptSettlement, 98.0, 0), tick(C.tptBid, 99.75, 0)]
    passed = []
    for t in events:
        cl.bridge.OnTicksAdded(Collection("EPZ4", [t]), 1)
        passed.append(len(cl.gateway.books))
    assert passed == [0, 0, 0, 1, 2, 2]
    first, again = cl.gateway.books
    assert again is first      # a tick of neither side passes the same record again
    assert (first.bid_price_1, first.bid_volume_1, first.ask_price_1, first.ask_volume_1,
            first.datetime, first.security, first.exchange) == (99.5, 4, 100.0, 7, 3, cl.security, "CME")
    assert cl.gateway.cqg_orderbooks[cl.security].bid_volume_1 == 0


def test_unknown_securities_and_tick_types_raise_out_of_the_handler(cl):
    cl.gateway.cqg_orderbooks.clear()
    with pytest.raises(KeyError):
        cl.bridge.OnTicksAdded(Collection("EPZ4", [tick(C.tptBid, 1, 1)]), 1)
    cl.gateway.cqg_orderbooks[cl.security] = None
    with pytest.raises(KeyError):
        cl.bridge.OnTicksAdded(Collection("EPZ4", [tick(C.tptBid, 1, 1), tick(-5, 1, 1)]), 2)
    assert cl.gateway.cqg_orderbooks[cl.security].bid_price_1 == 1


def test_tick_types_are_named_from_the_constants_of_the_moment(cl, monkeypatch):
    names = [cl.mod.TickType2String(getattr(C, m))
             for m in ("tptAsk", "tptBid", "tptSettlement", "tptTrade")]
    assert names == ["Ask price", "Bid price", "Settlement price", "Trade price"]
    monkeypatch.setattr(cl.mod.win32com.client, "constants", SimpleNamespace(
        tptAsk=1, tptBid=2, tptSettlement=3, tptTrade=1))
    assert cl.mod.TickType2String(1) == "Trade price"      # the later entry wins, as in a dict
    with pytest.raises(KeyError) as raised:
        cl.mod.TickType2String(C.tptAsk)
    assert raised.value.args == (C.tptAsk,)


MADE = []     # ask prices of the books constructed, __post_init__ included


@dataclasses.dataclass(frozen=True)
class Book:
    security: object
    exchange: object
    datetime: object
    bid_price_1: float = 0
    bid_volume_1: float = 0
    ask_price_1: float = 0
    ask_volume_1: float = 0

    def __post_init__(self):
        MADE.append(self.ask_price_1)


@dataclasses.dataclass(frozen=True)
class Counted(Book):
    kind: ClassVar[str] = "counted"
    updates: int = dataclasses.field(default=0, init=False)


@dataclasses.dataclass(frozen=True, kw_only=True)
class Scaled(Book):
    unit: dataclasses.InitVar[int]

    def __post_init__(self, unit):
        MADE.append(self.ask_price_1)


class Plain:
    def __init__(self, **values):
        self.__dict__.update(values)


@pytest.mark.parametrize("kind", [Book, Counted, Scaled, Plain])
def test_records_are_replaced_as_dataclasses_replace_does(cl, monkeypatch, kind):
    monkeypatch.setattr(cl.mod, "datetime", SimpleNamespace(now=lambda: "now"))
    MADE.clear()
    record = kind(security=cl.security, exchange="CME", datetime="then", bid_price_1=99.0,
                  bid_volume_1=3, **({"unit": 1} if kind is Scaled else {}))
    if kind is Counted:
        object.__setattr__(record, "updates", 4)      # not an init field: not carried over
    try:
        want = dataclasses.replace(record, ask_volume_1=7, ask_price_1=100.0, datetime="now")
    except (TypeError, ValueError) as e:
        want = e
    cl.gateway.cqg_orderbooks[cl.security] = record
    try:
        cl.bridge.OnTicksAdded(Collection("EPZ4", [tick(C.tptAsk, 100.0, 7)]), 1)
        got = cl.gateway.cqg_orderbooks[cl.security]
    except (TypeError, ValueError) as e:
        assert (type(e), str(e)) == (type(want), str(want))
        return
    assert type(got) is kind and vars(got) == vars(want)
    assert MADE == [0, 100.0, 100.0] and cl.gateway.books == [got]


# What the client learned about a record class from one replace() must give
# way to whatever changes afterwards, as dataclasses.replace itself sees it.

def fresh_book():
    @dataclasses.dataclass(frozen=True)
    class Fresh:
        security: object
        exchange: object
        datetime: object
        bid_price_1: float = 0
        bid_volume_1: float = 0
        ask_price_1: float = 0
        ask_volume_1: float = 0
        last_price: float = 0                    # a quote's trade
    return Fresh


def _field(cls, name):
    return cls.__dataclass_fields__[name]


def _add_field(cls, name):
    added = dataclasses.field()
    added.name, added.type, added._field_type = name, object, dataclasses._FIELD
    cls.__dataclass_fields__[name] = added


TWISTS = {
    "nothing": lambda cls, record, mp: None,
    "field made init=False": lambda cls, record, mp: setattr(_field(cls, "bid_volume_1"), "init", False),
    "field made a class variable": lambda cls, record, mp: setattr(
        _field(cls, "bid_volume_1"), "_field_type", dataclasses._FIELD_CLASSVAR),
    "field renamed": lambda cls, record, mp: setattr(_field(cls, "bid_volume_1"), "name", "bid_price_1"),
    "field renamed, instance dict made": lambda cls, record, mp: (
        setattr(_field(cls, "bid_volume_1"), "name", "bid_price_1"), record.__dict__),
    "field added": lambda cls, record, mp: _add_field(cls, "bid_price_2"),
    "field dropped": lambda cls, record, mp: cls.__dataclass_fields__.pop("bid_volume_1"),
    "property over a field": lambda cls, record, mp: setattr(cls, "bid_price_1", property(lambda s: 42.0)),
    "instance shadows the fields": lambda cls, record, mp: object.__setattr__(
        record, "__dataclass_fields__", {}),
    "instance dict made": lambda cls, record, mp: record.__dict__,
    "class swapped": lambda cls, record, mp: object.__setattr__(record, "__class__", fresh_book()),
    "dataclasses.replace rebound": lambda cls, record, mp: mp.setattr(
        dataclasses, "replace", lambda *a, **k: "not called by the client"),
}


# Each event replaces its records through its own sites: a tick's ask side,
# a quote's trade price. (the gateway's records, the event, the changes)
def tick_event(cl, price, volume):
    cl.bridge.OnTicksAdded(Collection("EPZ4", [tick(C.tptAsk, price, volume)]), 1)


def quote_event(cl, price, volume):
    quote = SimpleNamespace(IsValid=True, Type=C.qtTrade, price=price)
    cl.bridge.OnInstrumentChanged(SimpleNamespace(FullName="F.US.EPZ4"), [quote], None)


EVENTS = {
    "tick": ("cqg_orderbooks", tick_event, lambda p, v: {"ask_volume_1": v, "ask_price_1": p}),
    "quote": ("cqg_quotes", quote_event, lambda p, v: {"last_price": p}),
}


@pytest.mark.parametrize("event", EVENTS)
@pytest.mark.parametrize("twist", TWISTS)
def test_a_learned_record_class_follows_later_changes(cl, monkeypatch, twist, event):
    records, send, changes = EVENTS[event]
    records = getattr(cl.gateway, records)
    monkeypatch.setattr(cl.mod, "datetime", SimpleNamespace(now=lambda: "now"))
    Fresh = fresh_book()
    records[cl.security] = Fresh(cl.security, "CME", "then", 99.0, 3)
    for price in (98.0, 99.0):                   # the client learns the class
        send(cl, price, 5)
    record = records[cl.security]
    real_replace = dataclasses.replace
    TWISTS[twist](Fresh, record, monkeypatch)
    try:
        want = real_replace(record, **changes(100.0, 7), datetime="now")
    except (TypeError, ValueError, AttributeError) as e:
        want = (type(e), str(e))
    try:
        send(cl, 100.0, 7)
        got = records[cl.security]
    except (TypeError, ValueError, AttributeError) as e:
        assert (type(e), str(e)) == want
        return
    assert type(got) is type(want) and vars(got) == vars(want)


class VolumeFails:
    PriceType, Price = C.tptAsk, 100.0

    @property
    def Volume(self):
        raise ValueError("the tick's volume")


def test_the_module_replace_is_read_before_the_tick(cl, monkeypatch):
    # replace(book, ask_volume_1=tick.Volume, ...) names replace first.
    monkeypatch.delattr(cl.mod, "replace")
    with pytest.raises(NameError):
        cl.bridge.OnTicksAdded(Collection("EPZ4", [VolumeFails()]), 1)
