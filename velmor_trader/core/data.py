"""Market-data records (minimal stand-in).

``Quote`` and ``OrderBook`` are immutable snapshots, updated with
``dataclasses.replace``; a price or level not yet received is 0.
``Bar`` is mutable: a bar in progress is updated in place.
"""
from dataclasses import dataclass
from datetime import datetime as Datetime
from typing import Any


@dataclass(frozen=True)
class Quote:
    security: Any
    exchange: Any
    datetime: Datetime
    last_price: float = 0
    open_price: float = 0
    high_price: float = 0
    low_price: float = 0
    prev_close_price: float = 0
    volume: float = 0
    bid_price: float = 0
    ask_price: float = 0


@dataclass(frozen=True)
class OrderBook:
    security: Any
    exchange: Any
    datetime: Datetime
    bid_price_1: float = 0
    bid_price_2: float = 0
    bid_price_3: float = 0
    bid_price_4: float = 0
    bid_price_5: float = 0
    ask_price_1: float = 0
    ask_price_2: float = 0
    ask_price_3: float = 0
    ask_price_4: float = 0
    ask_price_5: float = 0
    bid_volume_1: float = 0
    bid_volume_2: float = 0
    bid_volume_3: float = 0
    bid_volume_4: float = 0
    bid_volume_5: float = 0
    ask_volume_1: float = 0
    ask_volume_2: float = 0
    ask_volume_3: float = 0
    ask_volume_4: float = 0
    ask_volume_5: float = 0


@dataclass
class Bar:
    datetime: Datetime
    security: Any
    open: float
    high: float
    low: float
    close: float
    volume: float

    def __str__(self) -> str:
        return (f"Bar[{self.datetime}|{self.security.code}|O={self.open}|H={self.high}|"
                f"L={self.low}|C={self.close}|V={self.volume}]")
