"""The position record (minimal stand-in)."""
from dataclasses import dataclass
from datetime import datetime
from typing import Any

from velmor_trader.core.constants import Direction


@dataclass
class PositionData:
    security: Any
    direction: Direction
    holding_price: float
    quantity: float
    update_time: datetime
