# The plain-Python twin of velmor_trader.core.security: the instrument
# record and its variants, with the native module's namespace, docstrings and
# order of reads.
from dataclasses import dataclass

from velmor_trader.core.constants import Exchange


@dataclass(frozen=True)
class Security:
    """Base class for different asset types"""
    code: "str"
    security_name: "str"
    lot_size: "int" = None
    exchange: "Exchange" = None
    expiry_date: "str" = None
    quote_currency: "str" = ""

    def __eq__(self, other):
        return (self.code == other.code and self.security_name == other.security_name
                and self.exchange.value == other.exchange.value)

    def __hash__(self):
        return hash(f"{self.security_name}|{self.code}|{self.exchange.value}")


@dataclass(frozen=True)
class Stock(Security):
    """Cash equity"""
    code: "str"
    security_name: "str"
    lot_size: "int" = 1
    exchange: "Exchange" = Exchange.SEHK
    expiry_date = None

    def __post_init__(self):
        pass


@dataclass(frozen=True)
class Currency(Security):
    """Foreign exchange"""
    code: "str"
    security_name: "str"
    lot_size: "int" = 1000
    exchange: "Exchange" = Exchange.IDEALPRO
    expiry_date = None

    def __post_init__(self):
        pass


@dataclass(frozen=True)
class Commodity(Security):
    """Commodity"""
    code: "str"
    security_name: "str"
    lot_size: "int" = 1000
    exchange: "Exchange" = Exchange.IDEALPRO
    expiry_date = None

    def __post_init__(self):
        pass


@dataclass(frozen=True)
class Futures(Security):
    """Futures"""
    code: "str"
    security_name: "str"
    lot_size: "int" = 1000
    exchange: "Exchange" = Exchange.SMART
    expiry_date = ""

    def __post_init__(self):
        pass
