"""Type stub of velmor_trader.gateways.futu.tollbook, written by tools/gen_stubs.py from the built module."""
from typing import Any
from velmor_trader.core.deal import Deal as Deal
from velmor_trader.gateways.base_gateway import BaseFees as BaseFees
import math as math


class TollbookSEHK(BaseFees):
    def __init__(self, *deals: Deal): ...


class TollbookHKFE(BaseFees):
    def __init__(self, *deals: Deal): ...


class TollbookCrypto(BaseFees):
    COMMISSION_RATE: float
    PLATFORM_FEE_RATE: float
    PLATFORM_FEE_MIN_USD: float
    def __init__(self, *deals: Deal): ...

