"""The deal (execution) record (minimal stand-in)."""
from dataclasses import dataclass, field
from datetime import datetime
from typing import Any

from velmor_trader.core.constants import Direction


@dataclass
class Deal:
    security: Any
    direction: Direction
    filled_avg_price: float
    filled_quantity: float
    order_id: str = ""
    deal_id: str = ""
    gateway_name: str = ""
    updated_time: datetime = field(default_factory=datetime.now)
