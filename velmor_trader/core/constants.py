"""Enumerations shared by the framework's records (minimal stand-in)."""
from enum import Enum


class Exchange(Enum):
    SEHK = "SEHK"          # Stock Exchange of Hong Kong
    HKFE = "HKFE"          # Hong Kong Futures Exchange
    SMART = "SMART"        # broker smart routing
    IDEALPRO = "IDEALPRO"  # FX venue
    CME = "CME"
    CBOT = "CBOT"
    NYMEX = "NYMEX"
    COMEX = "COMEX"
    CRYPTO = "CRYPTO"


class Direction(Enum):
    LONG = "LONG"
    SHORT = "SHORT"
    NET = "NET"


class Offset(Enum):
    NONE = ""
    OPEN = "OPEN"
    CLOSE = "CLOSE"


class OrderType(Enum):
    LIMIT = "LIMIT"
    MARKET = "MARKET"
    STOP = "STOP"


class OrderStatus(Enum):
    UNKNOWN = "UNKNOWN"
    SUBMITTING = "SUBMITTING"
    SUBMITTED = "SUBMITTED"
    PART_FILLED = "PART_FILLED"
    FILLED = "FILLED"
    CANCELLED = "CANCELLED"
    FAILED = "FAILED"
