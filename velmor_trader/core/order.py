"""The order record (minimal stand-in)."""
from dataclasses import dataclass, field
from datetime import datetime
from typing import Any, Optional

from velmor_trader.core.constants import Direction, OrderStatus, OrderType


@dataclass
class Order:
    security: Any
    price: float
    quantity: float
    direction: Direction
    order_type: OrderType = OrderType.LIMIT
    stop_price: Optional[float] = None
    gateway_name: str = ""
    order_id: str = ""
    status: OrderStatus = OrderStatus.UNKNOWN
    filled_avg_price: float = 0
    filled_quantity: float = 0
    create_time: datetime = field(default_factory=datetime.now)
    updated_time: Optional[datetime] = None

    def __str__(self) -> str:
        return (f"Order[{self.order_id}|{self.security.code}|{self.direction.name}|"
                f"{self.order_type.name}|{self.quantity}@{self.price}|"
                f"stop={self.stop_price}|{self.status.name}]")
