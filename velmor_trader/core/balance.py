"""The account-balance record (minimal stand-in); every field has a default."""
from dataclasses import dataclass, field
from typing import Dict


@dataclass
class AccountBalance:
    cash: float = 0.0
    cash_by_currency: Dict[str, float] = field(default_factory=dict)
    available_cash: float = 0.0
    max_power_short: float = 0.0
    net_cash_power: float = 0.0
    maintenance_margin: float = 0.0
    realized_pnl: float = 0.0
    unrealized_pnl: float = 0.0
