"""What a session leaves in its folder, and the report's drawdown."""
from datetime import datetime, timedelta

import pandas as pd
import pytest

from velmor_trader.core.constants import Direction
from velmor_trader.core.deal import Deal
from velmor_trader.paper_trading import defaults, report


def test_the_maximum_drawdown_is_from_the_highest_equity_of_the_session():
    stock = defaults.INSTRUMENTS[2]
    start = datetime(2024, 11, 4, 9, 30)
    bought = Deal(security=stock.security, direction=Direction.LONG, filled_avg_price=100.0,
                  filled_quantity=100, order_id="o", deal_id="d", updated_time=start)
    # the peak at the first minute, then a fall longer than 252 minutes
    prices = [100.0, 110.0] + [110.0 - 20.0 * m / 300 for m in range(1, 301)]
    marks = [(start + timedelta(minutes=m), {stock.security.code: p}) for m, p in enumerate(prices)]
    orders = pd.DataFrame({"order_type": ["LIMIT"], "status": ["FILLED"]})
    figures, curve, *_ = report.build([bought], orders, marks, (stock,), 100_000.0,
                                      defaults.PERIODS_PER_YEAR)
    equity = curve["equity"]
    assert figures["max_drawdown"] == pytest.approx((equity.iloc[-1] / equity.iloc[1]) - 1)
