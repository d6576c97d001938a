"""Type stub of velmor_trader.core.security, written by tools/gen_stubs.py from the built module."""
from dataclasses import dataclass as dataclass
from typing import Any
from velmor_trader.core.constants import Exchange as Exchange


class Security:
    code: str
    security_name: str
    lot_size: int | None
    exchange: Exchange | None
    expiry_date: str | None
    quote_currency: str
    def __init__(self, code: str, security_name: str, lot_size: int | None = None, exchange: Exchange | None = None, expiry_date: str | None = None, quote_currency: str = '') -> None: ...
    def __eq__(self, other): ...
    def __hash__(self): ...
    __match_args__ = ('code', 'security_name', 'lot_size', 'exchange', 'expiry_date', 'quote_currency')


class Stock(Security):
    code: str
    security_name: str
    lot_size: int
    exchange: Exchange
    expiry_date: None
    def __post_init__(self): ...
    def __init__(self, code: str, security_name: str, lot_size: int = 1, exchange: Exchange = ..., expiry_date: str | None = None, quote_currency: str = '') -> None: ...
    def __eq__(self, other): ...
    def __hash__(self): ...
    __match_args__ = ('code', 'security_name', 'lot_size', 'exchange', 'expiry_date', 'quote_currency')


class Currency(Security):
    code: str
    security_name: str
    lot_size: int
    exchange: Exchange
    expiry_date: None
    def __post_init__(self): ...
    def __init__(self, code: str, security_name: str, lot_size: int = 1000, exchange: Exchange = ..., expiry_date: str | None = None, quote_currency: str = '') -> None: ...
    def __eq__(self, other): ...
    def __hash__(self): ...
    __match_args__ = ('code', 'security_name', 'lot_size', 'exchange', 'expiry_date', 'quote_currency')


class Commodity(Security):
    code: str
    security_name: str
    lot_size: int
    exchange: Exchange
    expiry_date: None
    def __post_init__(self): ...
    def __init__(self, code: str, security_name: str, lot_size: int = 1000, exchange: Exchange = ..., expiry_date: str | None = None, quote_currency: str = '') -> None: ...
    def __eq__(self, other): ...
    def __hash__(self): ...
    __match_args__ = ('code', 'security_name', 'lot_size', 'exchange', 'expiry_date', 'quote_currency')


class Futures(Security):
    code: str
    security_name: str
    lot_size: int
    exchange: Exchange
    expiry_date: str
    def __post_init__(self): ...
    def __init__(self, code: str, security_name: str, lot_size: int = 1000, exchange: Exchange = ..., expiry_date: str | None = None, quote_currency: str = '') -> None: ...
    def __eq__(self, other): ...
    def __hash__(self): ...
    __match_args__ = ('code', 'security_name', 'lot_size', 'exchange', 'expiry_date', 'quote_currency')

